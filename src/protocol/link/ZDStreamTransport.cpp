#include "link/ZDStreamTransport.h"

#include <QByteArray>
#include <QCoreApplication>

#include <netdb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_map>

namespace {

QString describePeer(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0
        || ::getnameinfo(reinterpret_cast<sockaddr *>(&addr), len, host, sizeof host, port, sizeof port,
                         NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return QStringLiteral("(unknown peer)");
    return addr.ss_family == AF_INET6 ? QStringLiteral("[%1]:%2").arg(QString::fromLatin1(host), QString::fromLatin1(port))
                                      : QStringLiteral("%1:%2").arg(QString::fromLatin1(host), QString::fromLatin1(port));
}

} // namespace

// One I/O thread and the links it serves. Links come and go through a queue the
// thread takes on its eventfd; only the thread touches its table, so a link's
// memory stays while the thread may still see an event for it.
class ZDIoLoop
{
public:
    ZDIoLoop()
        : m_epoll(::epoll_create1(EPOLL_CLOEXEC))
        , m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev);
        // Lives as long as the process: links may end during its exit.
        std::thread([this] {
            {
                std::lock_guard lock(m_mutex);
                m_thread = std::this_thread::get_id();
            }
            run();
        }).detach();
    }

    // Nothing is read, written or delivered once this returns: the program is
    // ending and what a handler would reach may already be gone. Bounded, in
    // case a handler is stuck.
    void stop()
    {
        std::unique_lock lock(m_mutex);
        if (m_stopped)
            return;
        m_stopping = true;
        const quint64 one = 1;
        [[maybe_unused]] const auto n = ::write(m_wake, &one, sizeof one);
        if (m_thread == std::this_thread::get_id())
            return; // a handler ending the program: the loop stops when it returns
        m_stoppedCv.wait_for(lock, std::chrono::seconds(2), [this] { return m_stopped; });
    }

    // The thread looks at the link soon: to take it on, to end it, to resume it.
    void post(std::shared_ptr<ZDStreamLink> link)
    {
        bool first = false;
        {
            std::lock_guard lock(m_mutex);
            first = m_queue.empty();
            m_queue.push_back(std::move(link));
        }
        if (first) {
            const quint64 one = 1;
            [[maybe_unused]] const auto n = ::write(m_wake, &one, sizeof one);
        }
    }

    void setInterest(ZDStreamLink &link, std::uint32_t events, int op) const
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = &link;
        ::epoll_ctl(m_epoll, op, link.fd, &ev);
    }

private:
    void run()
    {
        // One buffer per I/O thread, not per link.
        std::vector<char> buffer(64 * 1024);
        std::vector<epoll_event> events(256);
        qint64 nextTick = ZDStreamLink::nowMs() + ZDStreamLink::kTickMs;
        for (;;) {
            if (stopRequested())
                return;
            const int timeout = int(std::max<qint64>(0, nextTick - ZDStreamLink::nowMs()));
            const int n = ::epoll_wait(m_epoll, events.data(), int(events.size()), timeout);
            if (stopRequested())
                return;
            for (int i = 0; i < n; ++i) {
                if (!events[i].data.ptr) {
                    quint64 count = 0;
                    [[maybe_unused]] const auto r = ::read(m_wake, &count, sizeof count);
                    continue;
                }
                const auto it = m_links.find(static_cast<ZDStreamLink *>(events[i].data.ptr));
                if (it == m_links.end())
                    continue; // ended earlier in this round
                const std::shared_ptr<ZDStreamLink> link = it->second;
                serve(link, events[i].events, buffer);
            }
            takeQueue();
            const qint64 now = ZDStreamLink::nowMs();
            if (now >= nextTick) {
                nextTick = now + ZDStreamLink::kTickMs;
                tick(now);
            }
        }
    }

    // Says so to stop() when it is the case.
    bool stopRequested()
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopping)
            return false;
        m_stopped = true;
        m_stoppedCv.notify_all();
        return true;
    }

    void serve(const std::shared_ptr<ZDStreamLink> &link, std::uint32_t events, std::vector<char> &buffer)
    {
        bool paused = false;
        {
            std::lock_guard lock(link->mutex);
            if ((events & EPOLLOUT) != 0 && !link->closed) {
                link->flushLocked();
                link->updateInterestLocked();
            }
            paused = link->m_readPaused;
        }
        // A paused link is still read once it hangs up, so its end is seen.
        if ((events & (EPOLLHUP | EPOLLERR)) != 0 || ((events & EPOLLIN) != 0 && !paused)) {
            QString reason;
            if (link->readable(buffer, &reason) == ZDStreamLink::Step::Stop) {
                finish(link, reason);
                return;
            }
        }
        endIfClosed(link);
    }

    bool endIfClosed(const std::shared_ptr<ZDStreamLink> &link)
    {
        {
            std::lock_guard lock(link->mutex);
            if (!link->closed)
                return false;
        }
        finish(link, QString());
        return true;
    }

    void finish(const std::shared_ptr<ZDStreamLink> &link, const QString &why)
    {
        QString reason;
        {
            std::lock_guard lock(link->mutex);
            link->closeLocked(why);
            reason = link->closeReason;
            if (link->m_registered) {
                setInterest(*link, 0, EPOLL_CTL_DEL);
                link->m_registered = false;
            }
        }
        link->m_stage = ZDStreamLink::Stage::Done;
        m_links.erase(link.get());
        if (!std::exchange(link->m_closeReported, true))
            if (auto h = link->handler.lock())
                h->transportClosed(reason);
    }

    void takeQueue()
    {
        std::vector<std::shared_ptr<ZDStreamLink>> queue;
        {
            std::lock_guard lock(m_mutex);
            queue.swap(m_queue);
        }
        for (const auto &link : queue) {
            switch (link->m_stage) {
            case ZDStreamLink::Stage::New: {
                link->m_stage = ZDStreamLink::Stage::Live;
                link->lastReceive = ZDStreamLink::nowMs();
                m_links.emplace(link.get(), link);
                link->begin();
                {
                    std::lock_guard lock(link->mutex);
                    if (!link->closed) {
                        link->m_registered = true;
                        link->m_interest = 0;
                        setInterest(*link, 0, EPOLL_CTL_ADD);
                        link->updateInterestLocked();
                    }
                }
                endIfClosed(link);
                break;
            }
            case ZDStreamLink::Stage::Live: {
                if (endIfClosed(link))
                    break;
                bool resumed = false;
                {
                    std::lock_guard lock(link->mutex);
                    resumed = std::exchange(link->m_resumePending, false);
                }
                if (resumed)
                    if (auto h = link->handler.lock())
                        h->transportResumed();
                break;
            }
            case ZDStreamLink::Stage::Done:
                break;
            }
        }
    }

    void tick(qint64 now)
    {
        std::vector<std::shared_ptr<ZDStreamLink>> links;
        links.reserve(m_links.size());
        for (const auto &[raw, link] : m_links)
            links.push_back(link);
        for (const auto &link : links) {
            if (link->m_stage != ZDStreamLink::Stage::Live || endIfClosed(link))
                continue;
            if (auto h = link->handler.lock())
                h->transportTick(now - link->lastReceive);
        }
    }

    const int m_epoll;
    const int m_wake;
    std::mutex m_mutex;
    std::condition_variable m_stoppedCv;
    bool m_stopping = false;
    bool m_stopped = false;
    std::thread::id m_thread;
    std::vector<std::shared_ptr<ZDStreamLink>> m_queue;
    std::unordered_map<ZDStreamLink *, std::shared_ptr<ZDStreamLink>> m_links; // I/O thread only
};

namespace {

// Few threads whatever the number of links: two keep one busy TLS handshake from
// holding up every other link, more would only share the same cores.
class IoReactor
{
public:
    static IoReactor &instance()
    {
        static IoReactor *const reactor = new IoReactor; // never ends: links may close during exit
        return *reactor;
    }
    // Started with the first link.
    ZDIoLoop *pick() { return m_loops[m_next++ % m_loops.size()].get(); }

private:
    IoReactor()
    {
        const int count = std::clamp(int(std::thread::hardware_concurrency()), 1, 2);
        for (int i = 0; i < count; ++i)
            m_loops.push_back(std::make_unique<ZDIoLoop>());
        // The links still open when the program ends are its peers' to notice:
        // no handler runs into objects the exit is destroying.
        if (QCoreApplication::instance())
            qAddPostRoutine(&IoReactor::stopAll);
        std::atexit(&IoReactor::stopAll);
    }
    static void stopAll()
    {
        for (const auto &loop : instance().m_loops)
            loop->stop();
    }
    std::vector<std::unique_ptr<ZDIoLoop>> m_loops;
    std::atomic<unsigned> m_next{0};
};

} // namespace

ZDStreamLink::ZDStreamLink(int fd, qint64 maxQueuedBytes)
    : fd(fd)
    , maxQueued(maxQueuedBytes)
    , peer(describePeer(fd))
{
}

ZDStreamLink::~ZDStreamLink()
{
    if (fd >= 0)
        ::close(fd);
}

qint64 ZDStreamLink::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString ZDStreamLink::errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

void ZDStreamLink::attach(std::weak_ptr<Handler> h)
{
    handler = std::move(h);
    ZDIoLoop *loop = IoReactor::instance().pick();
    {
        std::lock_guard lock(mutex);
        m_loop = loop;
    }
    loop->post(shared_from_this());
}

void ZDStreamLink::updateInterestLocked()
{
    if (!m_registered || closed)
        return;
    const std::uint32_t want = (m_readPaused ? 0u : std::uint32_t(EPOLLIN)) | (outPos < out.size() ? std::uint32_t(EPOLLOUT) : 0u);
    if (want == m_interest)
        return;
    m_interest = want;
    m_loop->setInterest(*this, want, EPOLL_CTL_MOD);
}

void ZDStreamLink::notifyLoopLocked()
{
    if (m_loop)
        m_loop->post(shared_from_this());
}

void ZDStreamLink::setReadingLocked(bool on)
{
    if (m_readPaused == !on)
        return;
    m_readPaused = !on;
    updateInterestLocked();
    if (on) {
        m_resumePending = true;
        notifyLoopLocked();
    }
}

bool ZDStreamLink::pushLocked(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return true;
    if ((out.size() - outPos) + bytes.size() > maxQueued) {
        closeLocked(QStringLiteral("send queue overflow (peer not reading)"));
        return false;
    }
    if (outPos < out.size()) {
        out.append(bytes);
        return true;
    }
    out = bytes;
    outPos = 0;
    if (!flushLocked())
        return false;
    updateInterestLocked();
    return true;
}

bool ZDStreamLink::flushLocked()
{
    while (outPos < out.size()) {
        const ssize_t n = ::send(fd, out.constData() + outPos, size_t(out.size() - outPos), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            outPos += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        closeLocked(n < 0 ? errnoText(errno) : QStringLiteral("send failed"));
        return false;
    }
    out.clear();
    outPos = 0;
    return true;
}

void ZDStreamLink::closeLocked(const QString &reason)
{
    if (closed)
        return;
    closed = true;
    closeReason = reason;
    closingLocked();
    ::shutdown(fd, SHUT_RDWR);
    notifyLoopLocked();
}

void ZDStreamLink::deliver(const char *data, qsizetype size) const
{
    if (size > 0)
        if (auto h = handler.lock())
            h->transportReceived(data, size);
}

ssize_t ZDStreamLink::receive(void *data, size_t size, int flags, QString *reason) const
{
    const ssize_t got = ::recv(fd, data, size, flags | MSG_DONTWAIT);
    if (got > 0)
        return got;
    if (got == 0) {
        *reason = QStringLiteral("connection closed by peer");
        return -1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    *reason = errnoText(errno);
    return -1;
}

ZDStreamTransport::ZDStreamTransport(std::shared_ptr<ZDStreamLink> link)
    : m_link(std::move(link))
{
}

ZDStreamTransport::~ZDStreamTransport()
{
    // The I/O thread keeps the link until it saw the end; the handler it calls is
    // held weakly, so nothing here waits for it.
    close();
}

void ZDStreamTransport::start(std::weak_ptr<Handler> handler)
{
    m_link->attach(std::move(handler));
}

void ZDStreamTransport::close()
{
    std::lock_guard lock(m_link->mutex);
    m_link->closeLocked(QStringLiteral("closed locally"));
}

void ZDStreamTransport::setReading(bool on)
{
    std::lock_guard lock(m_link->mutex);
    m_link->setReadingLocked(on);
}

QString ZDStreamTransport::peerDescription() const
{
    return m_link->peer;
}
