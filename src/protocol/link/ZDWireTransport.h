#pragma once
// The byte stream under a connection: plain TCP or TLS over the same accepted or
// connected descriptor (both on ZDStreamTransport), so the layers above do not change.
#include <QByteArray>
#include <QString>

#include <memory>

class ZDWireTransport
{
public:
    // Called on the link's I/O thread (shared with other links), one call at a
    // time; a handler must not wait there for anything but its own locks.
    class Handler
    {
    public:
        virtual ~Handler() = default;
        virtual void transportReceived(const char *data, qsizetype size) = 0;
        // Regularly while open, with the time since bytes last arrived.
        virtual void transportTick(qint64 msSinceReceive) = 0;
        // Once, when the stream has ended for any reason.
        virtual void transportClosed(const QString &reason) = 0;
        // Reading went on again after setReading(false) then true.
        virtual void transportResumed() {}
    };

    virtual ~ZDWireTransport() = default;
    virtual void start(std::weak_ptr<Handler> handler) = 0;
    // Thread-safe; never blocks on the peer. False once the stream is closed.
    virtual bool send(const QByteArray &bytes) = 0;
    virtual void close() = 0;
    // Thread-safe. Off: no more bytes are read from the peer until it is turned on
    // again (what arrived already may still be delivered once).
    virtual void setReading(bool on) { (void)on; }
    virtual QString peerDescription() const = 0;
    // The key the peer proved it holds (TLS), empty when none.
    virtual QString peerKey() const { return {}; }
    // What the accepting side's policy granted this peer (its own flags), decided
    // before any of the peer's bytes reach the layers above; all when no policy.
    virtual unsigned peerGrant() const { return ~0u; }
};
