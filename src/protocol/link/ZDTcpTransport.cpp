#include "link/ZDTcpTransport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QThreadPool>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

class TcpLink final : public ZDStreamLink
{
public:
    using ZDStreamLink::ZDStreamLink;

protected:
    Step readable(std::vector<char> &buffer, QString *reason) override
    {
        const ssize_t got = receive(buffer.data(), buffer.size(), 0, reason);
        if (got < 0)
            return Step::Stop;
        if (got > 0) {
            lastReceive = nowMs();
            deliver(buffer.data(), got);
        }
        return Step::Go;
    }
};

} // namespace

namespace {

using Done = ZDTcpTransport::ConnectDone;

QString cannotConnect(const QString &host, quint16 port, const QString &why)
{
    return QStringLiteral("cannot connect to %1 port %2: %3").arg(host).arg(port).arg(why);
}

// One connect in flight: the addresses left to try and what to tell at the end.
struct PendingConnect
{
    QString host;
    quint16 port = 0;
    qint64 deadline = 0;
    Done done;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses{nullptr, &::freeaddrinfo};
    addrinfo *next = nullptr;
    QString lastError = QStringLiteral("no address");
    int fd = -1;
};

void tell(PendingConnect &pending, int fd, const QString &error)
{
    try {
        pending.done(fd, error);
    } catch (...) {
        // Not this thread's to end over: the caller has its answer either way.
    }
}

// Sockets waiting for their peer to answer, on one thread for the whole process: a
// silent peer costs a table entry until its time-out, not a thread.
class ConnectWaiter
{
public:
    static ConnectWaiter &instance()
    {
        static ConnectWaiter *const waiter = new ConnectWaiter; // never ends: see stop()
        return *waiter;
    }

    // Tries the addresses in turn until one connects or the time is up.
    void begin(std::unique_ptr<PendingConnect> pending)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return; // the program is ending: no one waits for the answer
            m_incoming.push_back(std::move(pending));
        }
        const quint64 one = 1;
        [[maybe_unused]] const auto n = ::write(m_wake, &one, sizeof one);
    }

private:
    ConnectWaiter()
        : m_epoll(::epoll_create1(EPOLL_CLOEXEC))
        , m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = m_wake;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev);
        std::thread([this] { run(); }).detach();
        // As the links' I/O threads: no answer reaches objects the exit is destroying.
        if (QCoreApplication::instance())
            qAddPostRoutine(&ConnectWaiter::stop);
        std::atexit(&ConnectWaiter::stop);
    }

    static void stop()
    {
        ConnectWaiter &w = instance();
        std::lock_guard lock(w.m_mutex);
        w.m_stopping = true;
        const quint64 one = 1;
        [[maybe_unused]] const auto n = ::write(w.m_wake, &one, sizeof one);
    }

    void run()
    {
        std::vector<epoll_event> events(256);
        for (;;) {
            int timeout = -1;
            if (!m_deadlines.empty())
                timeout = int(std::clamp<qint64>(m_deadlines.begin()->first - ZDStreamLink::nowMs(), 0, 60000));
            const int n = ::epoll_wait(m_epoll, events.data(), int(events.size()), timeout);
            std::vector<std::unique_ptr<PendingConnect>> incoming;
            {
                std::lock_guard lock(m_mutex);
                if (m_stopping)
                    return;
                incoming.swap(m_incoming);
            }
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_wake) {
                    quint64 count = 0;
                    [[maybe_unused]] const auto r = ::read(m_wake, &count, sizeof count);
                    continue;
                }
                auto pending = take(fd);
                if (!pending)
                    continue;
                int soError = 0;
                socklen_t len = sizeof soError;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
                    soError = errno;
                if (soError == 0) {
                    connected(std::move(pending));
                } else {
                    pending->lastError = ZDStreamLink::errnoText(soError);
                    ::close(std::exchange(pending->fd, -1));
                    advance(std::move(pending));
                }
            }
            const qint64 now = ZDStreamLink::nowMs();
            while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
                auto pending = take(m_deadlines.begin()->second);
                pending->lastError = ZDStreamLink::errnoText(ETIMEDOUT);
                ::close(std::exchange(pending->fd, -1));
                advance(std::move(pending));
            }
            for (auto &pending : incoming)
                advance(std::move(pending));
        }
    }

    std::unique_ptr<PendingConnect> take(int fd)
    {
        const auto it = m_waiting.find(fd);
        if (it == m_waiting.end())
            return nullptr;
        auto pending = std::move(it->second);
        m_waiting.erase(it);
        m_deadlines.erase({pending->deadline, fd});
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        return pending;
    }

    static void connected(std::unique_ptr<PendingConnect> pending)
    {
        const int fd = std::exchange(pending->fd, -1);
        ZDTcpTransport::tuneSocket(fd);
        tell(*pending, fd, QString());
    }

    // The next address, until one connects, waits, or none is left in time.
    void advance(std::unique_ptr<PendingConnect> pending)
    {
        while (pending->next && ZDStreamLink::nowMs() < pending->deadline) {
            const addrinfo *ai = std::exchange(pending->next, pending->next->ai_next);
            const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0) {
                pending->lastError = ZDStreamLink::errnoText(errno);
                continue;
            }
            pending->fd = fd;
            if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
                connected(std::move(pending));
                return;
            }
            if (errno == EINPROGRESS) {
                epoll_event ev{};
                ev.events = EPOLLOUT;
                ev.data.fd = fd;
                if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) == 0) {
                    m_deadlines.emplace(pending->deadline, fd);
                    m_waiting.emplace(fd, std::move(pending));
                    return;
                }
            }
            pending->lastError = ZDStreamLink::errnoText(errno);
            ::close(std::exchange(pending->fd, -1));
        }
        tell(*pending, -1, cannotConnect(pending->host, pending->port, pending->lastError));
    }

    const int m_epoll;
    const int m_wake;
    std::mutex m_mutex;
    bool m_stopping = false;
    std::vector<std::unique_ptr<PendingConnect>> m_incoming;
    // The waiter's thread only.
    std::unordered_map<int, std::unique_ptr<PendingConnect>> m_waiting;
    std::set<std::pair<qint64, int>> m_deadlines;
};

// Names that are not addresses go through the system's resolver, which blocks
// (a missing ".local" name for seconds): threads of their own, there only while
// names are looked up, so that a slow lookup holds up no connect to an address.
QThreadPool *resolverPool()
{
    static QThreadPool *const pool = [] {
        auto *p = new QThreadPool; // never deleted: a lookup may still wait as the program ends
        p->setMaxThreadCount(16);
        p->setExpiryTimeout(2000);
        return p;
    }();
    return pool;
}

} // namespace

ZDTcpTransport::ZDTcpTransport(int fd, qint64 maxQueuedBytes)
    : ZDStreamTransport(std::make_shared<TcpLink>(fd, maxQueuedBytes))
{
}

bool ZDTcpTransport::send(const QByteArray &bytes)
{
    std::lock_guard lock(m_link->mutex);
    return !m_link->closed && m_link->pushLocked(bytes);
}

void ZDTcpTransport::connectAsync(const QString &host, quint16 port, int timeoutMs, ConnectDone done)
{
    auto pending = std::make_unique<PendingConnect>();
    pending->host = host;
    pending->port = port;
    pending->deadline = ZDStreamLink::nowMs() + timeoutMs;
    pending->done = std::move(done);
    const auto resolve = [](PendingConnect &p, int flags) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = flags;
        addrinfo *found = nullptr;
        const QByteArray service = QByteArray::number(p.port);
        const int rc = ::getaddrinfo(p.host.toUtf8().constData(), service.constData(), &hints, &found);
        p.addresses.reset(rc == 0 ? found : nullptr);
        p.next = p.addresses.get();
        return rc;
    };
    if (resolve(*pending, AI_NUMERICHOST) == 0) {
        ConnectWaiter::instance().begin(std::move(pending));
        return;
    }
    auto held = std::make_shared<std::unique_ptr<PendingConnect>>(std::move(pending));
    resolverPool()->start([held, resolve] {
        std::unique_ptr<PendingConnect> p = std::move(*held);
        const int rc = resolve(*p, 0);
        if (rc == 0) {
            ConnectWaiter::instance().begin(std::move(p));
            return;
        }
        tell(*p, -1, QStringLiteral("cannot resolve %1: %2").arg(p->host, QString::fromLocal8Bit(::gai_strerror(rc))));
    });
}

void ZDTcpTransport::tuneSocket(int fd)
{
    const int on = 1;
    const int keepIdle = 5;
    const int keepInterval = 2;
    const int keepCount = 2;
    const unsigned userTimeout = 9000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepIdle, sizeof keepIdle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepInterval, sizeof keepInterval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keepCount, sizeof keepCount);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}
