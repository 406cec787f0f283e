#pragma once
// TLS 1.3 over the same socket and frames, on the I/O threads every link shares,
// like the plain TCP transport. OpenSSL works on memory buffers and the I/O thread
// moves the bytes between them and the non-blocking socket: sends never block or
// raise SIGPIPE, a handshake never holds up another link, and one lock guards the
// engine.
// Nothing the layers above send leaves before the handshake finished and the
// peer's key was accepted; nothing the peer sent reaches them before that.
#include "trust/ZDTlsIdentity.h"
#include "link/ZDStreamTransport.h"

#include <functional>
#include <memory>

class ZDTlsContext
{
public:
    // Both sides show their certificate and ask for the peer's; trust is the
    // policy's check of the peer's fingerprint, not a certificate authority.
    static std::shared_ptr<ZDTlsContext> create(const ZDTlsIdentity &identity, bool server, QString *error);
    ~ZDTlsContext();
    ZDTlsContext(const ZDTlsContext &) = delete;
    ZDTlsContext &operator=(const ZDTlsContext &) = delete;
    void *nativeHandle() const;
    bool isServer() const { return m_server; }
    QString fingerprint() const { return m_fingerprint; }

private:
    ZDTlsContext() = default;
    void *m_ctx = nullptr;
    bool m_server = false;
    QString m_fingerprint;
};

struct ZDTlsPolicy
{
    std::shared_ptr<ZDTlsContext> context;
    // Accepting side: a peer whose first byte does not open a TLS handshake is
    // served as plain TCP when true, else refused.
    bool allowPlain = false;
    // After the handshake, with the peer's fingerprint (empty when it showed no
    // certificate) and address: empty accepts, else the reason the link closes.
    std::function<QString(const QString &fingerprint, const QString &peer)> check;
    // Accepting side: what the peer gets, from its fingerprint (empty over plain TCP
    // or without a certificate); peerGrant() reports it. Unset: everything.
    std::function<unsigned(const QString &fingerprint)> grant;
};

class ZDTlsTransport final : public ZDStreamTransport
{
public:
    // Takes ownership of a connected socket.
    ZDTlsTransport(int fd, bool accepted, ZDTlsPolicy policy, qint64 maxQueuedBytes);

    bool send(const QByteArray &bytes) override;
    QString peerKey() const override;
    unsigned peerGrant() const override;

    // For ZDConnectionOptions::transportFactory; the policy is asked once per link.
    static std::function<std::unique_ptr<ZDWireTransport>(int fd, bool accepted)>
    factory(std::function<ZDTlsPolicy()> policy, qint64 maxQueuedBytes);

private:
    struct State;
};
