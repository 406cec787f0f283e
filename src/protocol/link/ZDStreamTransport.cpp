#include "link/ZDStreamTransport.h"

#include <QByteArray>

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

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

ZDStreamLink::ZDStreamLink(int fd, qint64 maxQueuedBytes)
    : fd(fd)
    , wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , maxQueued(maxQueuedBytes)
    , peer(describePeer(fd))
{
}

ZDStreamLink::~ZDStreamLink()
{
    if (fd >= 0)
        ::close(fd);
    if (wakeFd >= 0)
        ::close(wakeFd);
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

void ZDStreamLink::wake() const
{
    const quint64 one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
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
    if (outPos < out.size())
        wake();
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
    wake();
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

void ZDStreamLink::run()
{
    // One per connection: a console with a thousand links keeps a thousand of these.
    std::vector<char> buffer(64 * 1024);
    lastReceive = nowMs();
    qint64 lastTick = lastReceive;
    QString reason;
    begin();
    for (;;) {
        bool wantWrite = false;
        {
            std::lock_guard lock(mutex);
            if (closed) {
                reason = closeReason;
                break;
            }
            wantWrite = outPos < out.size();
        }
        pollfd fds[2] = {{fd, short(POLLIN | (wantWrite ? POLLOUT : 0)), 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, kTickMs);
        if (n < 0 && errno != EINTR) {
            reason = errnoText(errno);
            break;
        }
        if (fds[1].revents & POLLIN) {
            quint64 count = 0;
            [[maybe_unused]] const auto r = ::read(wakeFd, &count, sizeof count);
        }
        if (fds[0].revents & POLLOUT) {
            std::lock_guard lock(mutex);
            flushLocked();
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const Step step = readable(buffer, &reason);
            if (step == Step::Stop)
                break;
            if (step == Step::Again)
                continue;
        }
        const qint64 now = nowMs();
        if (now - lastTick >= kTickMs) {
            lastTick = now;
            if (auto h = handler.lock())
                h->transportTick(now - lastReceive);
        }
    }
    {
        std::lock_guard lock(mutex);
        closeLocked(reason);
        reason = closeReason;
    }
    if (!m_closeReported.exchange(true))
        if (auto h = handler.lock())
            h->transportClosed(reason);
}

ZDStreamTransport::ZDStreamTransport(std::shared_ptr<ZDStreamLink> link)
    : m_link(std::move(link))
{
}

ZDStreamTransport::~ZDStreamTransport()
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

void ZDStreamTransport::start(std::weak_ptr<Handler> handler)
{
    m_link->handler = std::move(handler);
    m_thread = std::thread([link = m_link] { link->run(); });
}

void ZDStreamTransport::close()
{
    std::lock_guard lock(m_link->mutex);
    m_link->closeLocked(QStringLiteral("closed locally"));
}

QString ZDStreamTransport::peerDescription() const
{
    return m_link->peer;
}
