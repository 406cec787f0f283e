#pragma once
// What the TCP and TLS transports share: one connected, non-blocking socket served
// by a small fixed set of I/O threads (epoll) that every link of the process
// shares, a bounded send queue that senders write through without waiting for the
// peer, and the end reported once. Each transport adds what it does with arriving
// bytes and how it says goodbye.
#include "link/ZDWireTransport.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class ZDIoLoop;

class ZDStreamLink : public std::enable_shared_from_this<ZDStreamLink>
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

    // Hands the link to one of the I/O threads.
    void attach(std::weak_ptr<Handler> handler);
    // Queues bytes behind what waits and writes what the socket takes now; false
    // when that closed the link (overflow or a hard error).
    bool pushLocked(const QByteArray &bytes);
    // Writes what the socket takes now; false with closeReason set on a hard error.
    bool flushLocked();
    void closeLocked(const QString &reason);
    // Reading stops until resumed; on resuming the handler hears transportResumed.
    void setReadingLocked(bool on);
    void deliver(const char *data, qsizetype size) const;

    const int fd;
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
    // On the I/O thread, before the first event.
    virtual void begin() {}
    // The socket is readable or hung up. Again waits for the next event; Stop ends
    // the link with *reason.
    virtual Step readable(std::vector<char> &buffer, QString *reason) = 0;
    // Lock held, just before the socket shuts down.
    virtual void closingLocked() {}

private:
    friend class ZDIoLoop;
    void updateInterestLocked();
    void notifyLoopLocked();

    // Under the mutex.
    ZDIoLoop *m_loop = nullptr;
    bool m_registered = false;
    bool m_readPaused = false;
    bool m_resumePending = false;
    std::uint32_t m_interest = 0;
    // I/O thread only.
    enum class Stage { New, Live, Done } m_stage = Stage::New;
    bool m_closeReported = false;
};

class ZDStreamTransport : public ZDWireTransport
{
public:
    ~ZDStreamTransport() override;
    ZDStreamTransport(const ZDStreamTransport &) = delete;
    ZDStreamTransport &operator=(const ZDStreamTransport &) = delete;

    void start(std::weak_ptr<Handler> handler) override;
    void close() override;
    void setReading(bool on) override;
    QString peerDescription() const override;

    static constexpr int kTickMs = ZDStreamLink::kTickMs;

protected:
    explicit ZDStreamTransport(std::shared_ptr<ZDStreamLink> link);
    const std::shared_ptr<ZDStreamLink> m_link;
};
