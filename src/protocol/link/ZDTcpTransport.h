#pragma once
// A TCP stream on the shared I/O threads. Senders write straight to the socket
// when it takes the bytes at once; the rest is queued (bounded) and flushed when
// the socket is writable again, so a sender never waits for a slow or frozen peer.
#include "link/ZDStreamTransport.h"

#include <functional>

class ZDTcpTransport final : public ZDStreamTransport
{
public:
    // Takes ownership of a connected socket.
    ZDTcpTransport(int fd, qint64 maxQueuedBytes);

    bool send(const QByteArray &bytes) override;

    // A connected socket (host name or address, IPv4 or IPv6), or -1 and a reason.
    // done runs once, later, on a thread of the transport's own (never inline): it
    // must not block. Waiting for a silent peer holds no thread.
    using ConnectDone = std::function<void(int fd, const QString &error)>;
    static void connectAsync(const QString &host, quint16 port, int timeoutMs, ConnectDone done);
    // No delay, keepalive and a user time-out, so a vanished peer is noticed in seconds.
    static void tuneSocket(int fd);
};
