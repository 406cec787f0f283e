#include "link/ZDTcpTransport.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
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

ZDTcpTransport::ZDTcpTransport(int fd, qint64 maxQueuedBytes)
    : ZDStreamTransport(std::make_shared<TcpLink>(fd, maxQueuedBytes))
{
}

bool ZDTcpTransport::send(const QByteArray &bytes)
{
    std::lock_guard lock(m_link->mutex);
    return !m_link->closed && m_link->pushLocked(bytes);
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
    const qint64 deadline = ZDStreamLink::nowMs() + timeoutMs;
    QString lastError = QStringLiteral("no address");
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            lastError = ZDStreamLink::errnoText(errno);
            continue;
        }
        int result = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int waited;
            do {
                waited = ::poll(&p, 1, int(qMax<qint64>(0, deadline - ZDStreamLink::nowMs())));
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
        lastError = ZDStreamLink::errnoText(errno);
        ::close(fd);
        if (ZDStreamLink::nowMs() >= deadline)
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
