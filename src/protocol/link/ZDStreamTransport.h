#pragma once
// What the TCP and TLS transports share: one connected socket on one I/O thread,
// a bounded send queue that senders write through without waiting for the peer,
// and the loop that polls, flushes, ticks and reports the end once. Each
// transport adds what it does with arriving bytes and how it says goodbye.
#include "link/ZDWireTransport.h"

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ZDStreamLink
{
public:
    using Handler = ZDWireTransport::Handler;

    // Takes ownership of a connected socket.
    ZDStreamLink(int fd, qint64 maxQueuedBytes);
    virtual ~ZDStreamLink();
    ZDStreamLink(const ZDStreamLink &) = delete;
    ZDStreamLink &operator=(const ZDStreamLink &) = delete;

    static constexpr int kTickMs = 250;
    static qint64 nowMs();
    static QString errnoText(int code);

    // The I/O thread: returns once the link closed and the handler heard why.
    void run();

    void wake() const;
    // Queues bytes behind what waits and writes what the socket takes now; false
    // when that closed the link (overflow or a hard error).
    bool pushLocked(const QByteArray &bytes);
    // Writes what the socket takes now; false with closeReason set on a hard error.
    bool flushLocked();
    void closeLocked(const QString &reason);
    void deliver(const char *data, qsizetype size) const;

    const int fd;
    const int wakeFd;
    const qint64 maxQueued;
    const QString peer;
    std::weak_ptr<Handler> handler;

    std::mutex mutex;
    QByteArray out;
    qsizetype outPos = 0;
    bool closed = false;
    QString closeReason;
    qint64 lastReceive = 0; // I/O thread only

protected:
    enum class Step { Go, Again, Stop };
    // recv() without waiting: bytes read, 0 when none are there yet, or -1 at the
    // end with *reason set.
    ssize_t receive(void *data, size_t size, int flags, QString *reason) const;
    // On the I/O thread, before the loop.
    virtual void begin() {}
    // The socket is readable or hung up. Again goes straight back to the poll;
    // Stop ends the link with *reason.
    virtual Step readable(std::vector<char> &buffer, QString *reason) = 0;
    // Lock held, just before the socket shuts down.
    virtual void closingLocked() {}

private:
    std::atomic<bool> m_closeReported{false};
};

class ZDStreamTransport : public ZDWireTransport
{
public:
    ~ZDStreamTransport() override;
    ZDStreamTransport(const ZDStreamTransport &) = delete;
    ZDStreamTransport &operator=(const ZDStreamTransport &) = delete;

    void start(std::weak_ptr<Handler> handler) override;
    void close() override;
    QString peerDescription() const override;

    static constexpr int kTickMs = ZDStreamLink::kTickMs;

protected:
    explicit ZDStreamTransport(std::shared_ptr<ZDStreamLink> link);
    const std::shared_ptr<ZDStreamLink> m_link;

private:
    std::thread m_thread;
};
