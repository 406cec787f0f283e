#pragma once
// The byte stream under a connection: plain TCP or TLS over the same accepted or
// connected descriptor (both on ZDStreamTransport), so the layers above do not change.
#include <QByteArray>
#include <QString>

#include <memory>

class ZDWireTransport
{
public:
    // Called on the transport's own thread, one call at a time.
    class Handler
    {
    public:
        virtual ~Handler() = default;
        virtual void transportReceived(const char *data, qsizetype size) = 0;
        // Regularly while open, with the time since bytes last arrived.
        virtual void transportTick(qint64 msSinceReceive) = 0;
        // Once, when the stream has ended for any reason.
        virtual void transportClosed(const QString &reason) = 0;
    };

    virtual ~ZDWireTransport() = default;
    virtual void start(std::weak_ptr<Handler> handler) = 0;
    // Thread-safe; never blocks on the peer. False once the stream is closed.
    virtual bool send(const QByteArray &bytes) = 0;
    virtual void close() = 0;
    virtual QString peerDescription() const = 0;
    // The key the peer proved it holds (TLS), empty when none.
    virtual QString peerKey() const { return {}; }
    // What the accepting side's policy granted this peer (its own flags), decided
    // before any of the peer's bytes reach the layers above; all when no policy.
    virtual unsigned peerGrant() const { return ~0u; }
};
