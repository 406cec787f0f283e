#include "ZDTcpTransport.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString describePeer(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return QStringLiteral("(unknown peer)");
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr *>(&addr), len, host, sizeof host, port, sizeof port,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return QStringLiteral("(unknown peer)");
    return addr.ss_family == AF_INET6 ? QStringLiteral("[%1]:%2").arg(QString::fromLatin1(host), QString::fromLatin1(port))
                                      : QStringLiteral("%1:%2").arg(QString::fromLatin1(host), QString::fromLatin1(port));
}

} // namespace

struct ZDTcpTransport::State
{
    int fd = -1;
    int wakeFd = -1;
    qint64 maxQueued = 0;
    QString peer;
    std::weak_ptr<Handler> handler;

    std::mutex mutex;
    QByteArray out;
    qsizetype outPos = 0;
    bool closed = false;
    QString closeReason;
    std::atomic<bool> closeReported{false};

    ~State()
    {
        if (fd >= 0)
            ::close(fd);
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    void wake() const
    {
        const quint64 one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
    }

    // Writes what the socket takes now; false with closeReason set on a hard error.
    bool flushLocked()
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

    void closeLocked(const QString &reason)
    {
        if (closed)
            return;
        closed = true;
        closeReason = reason;
        ::shutdown(fd, SHUT_RDWR);
        wake();
    }
};

ZDTcpTransport::ZDTcpTransport(int fd, qint64 maxQueuedBytes)
    : m_state(std::make_shared<State>())
{
    m_state->fd = fd;
    m_state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_state->maxQueued = maxQueuedBytes;
    m_state->peer = describePeer(fd);
}

ZDTcpTransport::~ZDTcpTransport()
{
    close();
    if (m_thread.joinable()) {
        // The last owner may let go from inside a callback on the I/O thread itself.
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

void ZDTcpTransport::start(std::weak_ptr<Handler> handler)
{
    m_state->handler = std::move(handler);
    m_thread = std::thread([state = m_state] { run(state); });
}

bool ZDTcpTransport::send(const QByteArray &bytes)
{
    State &s = *m_state;
    std::lock_guard lock(s.mutex);
    if (s.closed)
        return false;
    const bool wasIdle = s.outPos == s.out.size();
    if ((s.out.size() - s.outPos) + bytes.size() > s.maxQueued) {
        s.closeLocked(QStringLiteral("send queue overflow (peer not reading)"));
        return false;
    }
    if (wasIdle) {
        s.out = bytes;
        s.outPos = 0;
        if (!s.flushLocked())
            return false;
        if (s.outPos < s.out.size())
            s.wake();
    } else {
        s.out.append(bytes);
    }
    return true;
}

void ZDTcpTransport::close()
{
    std::lock_guard lock(m_state->mutex);
    m_state->closeLocked(QStringLiteral("closed locally"));
}

QString ZDTcpTransport::peerDescription() const
{
    return m_state->peer;
}

void ZDTcpTransport::run(const std::shared_ptr<State> &state)
{
    State &s = *state;
    // One per connection: a console with a thousand links keeps a thousand of these.
    std::vector<char> buffer(64 * 1024);
    qint64 lastReceive = nowMs();
    qint64 lastTick = lastReceive;
    QString reason;
    for (;;) {
        bool wantWrite = false;
        {
            std::lock_guard lock(s.mutex);
            if (s.closed) {
                reason = s.closeReason;
                break;
            }
            wantWrite = s.outPos < s.out.size();
        }
        pollfd fds[2] = {{s.fd, short(POLLIN | (wantWrite ? POLLOUT : 0)), 0}, {s.wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, kTickMs);
        if (n < 0 && errno != EINTR) {
            reason = errnoText(errno);
            break;
        }
        if (fds[1].revents & POLLIN) {
            quint64 count = 0;
            [[maybe_unused]] const auto r = ::read(s.wakeFd, &count, sizeof count);
        }
        if (fds[0].revents & POLLOUT) {
            std::lock_guard lock(s.mutex);
            s.flushLocked();
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::recv(s.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got > 0) {
                lastReceive = nowMs();
                if (auto h = s.handler.lock())
                    h->transportReceived(buffer.data(), got);
            } else if (got == 0) {
                reason = QStringLiteral("connection closed by peer");
                break;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                reason = errnoText(errno);
                break;
            }
        }
        const qint64 now = nowMs();
        if (now - lastTick >= kTickMs) {
            lastTick = now;
            if (auto h = s.handler.lock())
                h->transportTick(now - lastReceive);
        }
    }
    {
        std::lock_guard lock(s.mutex);
        s.closeLocked(reason);
        reason = s.closeReason;
    }
    if (!s.closeReported.exchange(true))
        if (auto h = s.handler.lock())
            h->transportClosed(reason);
}

int ZDTcpTransport::connectTo(const QString &host, quint16 port, int timeoutMs, QString *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int rc = ::getaddrinfo(host.toUtf8().constData(), service.constData(), &hints, &found);
    if (rc != 0) {
        if (error)
            *error = QStringLiteral("cannot resolve %1: %2").arg(host, QString::fromLocal8Bit(::gai_strerror(rc)));
        return -1;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    const qint64 deadline = nowMs() + timeoutMs;
    QString lastError = QStringLiteral("no address");
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            lastError = errnoText(errno);
            continue;
        }
        int result = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int waited;
            do {
                waited = ::poll(&p, 1, int(qMax<qint64>(0, deadline - nowMs())));
            } while (waited < 0 && errno == EINTR);
            int soError = 0;
            socklen_t len = sizeof soError;
            if (waited == 0) {
                soError = ETIMEDOUT;
            } else if (waited < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
                soError = errno;
            }
            result = soError == 0 ? 0 : -1;
            errno = soError;
        }
        if (result == 0) {
            // Back to blocking-free use by the transport, which sends with MSG_DONTWAIT.
            tuneSocket(fd);
            return fd;
        }
        lastError = errnoText(errno);
        ::close(fd);
        if (nowMs() >= deadline)
            break;
    }
    if (error)
        *error = QStringLiteral("cannot connect to %1 port %2: %3").arg(host).arg(port).arg(lastError);
    return -1;
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
