#include "link/ZDConnectionServer.h"

#include "log/ZDLog.h"
#include "link/ZDTcpTransport.h"
#include "rpc/ZDWorkerPool.h"

#include <QHash>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

struct ZDConnectionServer::State
{
    ZDConnectionOptions options;
    std::shared_ptr<ZDWorkerPool> pool;
    std::shared_ptr<QObject> ownerContext;

    mutable std::mutex mutex;
    ZDRemoteObjectPtr root;
    std::function<void(const std::shared_ptr<ZDConnection> &)> onNew;
    std::unordered_map<ZDConnection *, std::shared_ptr<ZDConnection>> connections;
    QHash<ZDConnection *, QString> addressOf;
    QHash<QString, int> perAddress;

    // Accepting thread only.
    qint64 refusalWindowStart = 0;
    int refusalsLogged = 0;
    int refusalsUnlogged = 0;

    int listenFd = -1;
    int wakeFd = -1;
    quint16 port = 0;
    std::thread acceptThread;

    std::function<void(const QString &)> onListenFailed;

    static void acceptLoop(const std::shared_ptr<State> &state, int listenFd, int wakeFd);
    void listenFailed(const QString &reason);
    bool hasListenFailedHandler() const
    {
        std::lock_guard lock(mutex);
        return bool(onListenFailed);
    }
    void accepted(const std::shared_ptr<State> &self, int fd);
    void refused(int fd, const QString &address, const QString &why);
};

namespace {

QString errnoText(int error = errno)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A peer that gave up before being accepted, or a network error the new
// connection already carries: the listening socket itself is fine.
bool isTransientAcceptError(int error)
{
    switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// A flood of refused connections must not flood the log: a few lines a minute,
// then one count of the rest.
constexpr int kRefusalLinesPerWindow = 5;
constexpr qint64 kRefusalWindowMs = 60 * 1000;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The peer's numeric address without its port: what per-address limits count.
QString peerHost(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    char host[NI_MAXHOST] = {};
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0
        || ::getnameinfo(reinterpret_cast<sockaddr *>(&addr), len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return QStringLiteral("(unknown peer)");
    return QString::fromLatin1(host);
}

} // namespace

void ZDConnectionServer::State::acceptLoop(const std::shared_ptr<State> &state, int listenFd, int wakeFd)
{
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            state->listenFailed(QStringLiteral("cannot wait for connections: %1").arg(errnoText()));
            return;
        }
        if (fds[1].revents)
            return;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            state->listenFailed(QStringLiteral("the listening socket reported %1")
                                    .arg(fds[0].revents & POLLNVAL ? QStringLiteral("it is closed")
                                                                   : QStringLiteral("an error or hang-up")));
            return;
        }
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                state->accepted(state, fd);
            } else if (!isTransientAcceptError(errno)) {
                const int error = errno;
                const bool exhausted = error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
                // Without an owner to start over, running out is waited out here.
                if (exhausted && !state->hasListenFailedHandler()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    continue;
                }
                state->listenFailed(QStringLiteral("cannot accept: %1").arg(errnoText(error)));
                return;
            }
        }
    }
}

void ZDConnectionServer::State::listenFailed(const QString &reason)
{
    ZDLog::appendLog(QStringLiteral("Listening stopped: %@."), reason);
    std::function<void(const QString &)> handler;
    {
        std::lock_guard lock(mutex);
        handler = std::move(onListenFailed);
    }
    if (handler)
        handler(reason);
}

void ZDConnectionServer::State::refused(int fd, const QString &address, const QString &why)
{
    ::close(fd);
    const qint64 now = nowMs();
    if (now - refusalWindowStart >= kRefusalWindowMs) {
        if (refusalsUnlogged > 0)
            ZDLog::appendLog(QStringLiteral("Refused %@ more connections in the last minute."), refusalsUnlogged);
        refusalWindowStart = now;
        refusalsLogged = 0;
        refusalsUnlogged = 0;
    }
    if (refusalsLogged < kRefusalLinesPerWindow) {
        ++refusalsLogged;
        ZDLog::appendLog(QStringLiteral("Refused connection from %@: %@."), address, why);
    } else {
        ++refusalsUnlogged;
    }
}

void ZDConnectionServer::State::accepted(const std::shared_ptr<State> &self, int fd)
{
    const QString address = peerHost(fd);
    ZDRemoteObjectPtr vended;
    std::function<void(const std::shared_ptr<ZDConnection> &)> handler;
    ZDConnectionOptions current;
    QString refusal;
    {
        std::lock_guard lock(mutex);
        vended = root;
        handler = onNew;
        current = options;
        if (int(connections.size()) >= options.maxConnections)
            refusal = QStringLiteral("%1 connections are open, the most taken").arg(connections.size());
        else if (perAddress.value(address) >= options.maxConnectionsPerAddress)
            refusal = QStringLiteral("%1 connections from that address are open, the most taken from one")
                          .arg(perAddress.value(address));
    }
    if (!refusal.isEmpty())
        return refused(fd, address, refusal);
    ZDTcpTransport::tuneSocket(fd);
    auto connection = ZDConnection::create(ZDConnection::makeTransport(fd, true, current), current, vended, pool,
                                           ownerContext);
    {
        std::lock_guard lock(mutex);
        connections.emplace(connection.get(), connection);
        addressOf.insert(connection.get(), address);
        ++perAddress[address];
    }
    std::weak_ptr<State> weak = self;
    ZDConnection *key = connection.get();
    connection->setInvalidationHandler([weak, key](const QString &) {
        std::shared_ptr<ZDConnection> gone;
        if (auto s = weak.lock()) {
            std::lock_guard lock(s->mutex);
            const auto it = s->connections.find(key);
            if (it != s->connections.end()) {
                gone = std::move(it->second);
                s->connections.erase(it);
                const QString from = s->addressOf.take(key);
                if (--s->perAddress[from] <= 0)
                    s->perAddress.remove(from);
            }
        }
    });
    if (handler)
        handler(connection);
}

ZDConnectionServer::ZDConnectionServer(ZDConnectionOptions options)
    : m_state(std::make_shared<State>())
{
    m_state->options = std::move(options);
    if (m_state->options.serveMode == ZDServeMode::WorkerThreads)
        m_state->pool = std::make_shared<ZDWorkerPool>();
    else
        m_state->ownerContext = ZDConnection::makeOwnerContext();
}

ZDConnectionServer::~ZDConnectionServer()
{
    close();
}

ZDConnectionOptions ZDConnectionServer::defaultOptions()
{
    ZDConnectionOptions options;
    options.serveMode = ZDServeMode::WorkerThreads;
    return options;
}

void ZDConnectionServer::setRootObject(ZDRemoteObjectPtr root)
{
    std::lock_guard lock(m_state->mutex);
    m_state->root = std::move(root);
}

void ZDConnectionServer::setRegisteredName(const QString &name)
{
    std::lock_guard lock(m_state->mutex);
    m_state->options.localName = name;
}

QString ZDConnectionServer::registeredName() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->options.localName;
}

void ZDConnectionServer::setNewConnectionHandler(std::function<void(const std::shared_ptr<ZDConnection> &)> handler)
{
    std::lock_guard lock(m_state->mutex);
    m_state->onNew = std::move(handler);
}

void ZDConnectionServer::setListenFailedHandler(std::function<void(const QString &reason)> handler)
{
    std::lock_guard lock(m_state->mutex);
    m_state->onListenFailed = std::move(handler);
}

bool ZDConnectionServer::listen(const QString &address, quint16 port, QString *error, int backlog)
{
    auto failWith = [error](const QString &reason, int fd) {
        if (fd >= 0)
            ::close(fd);
        if (error)
            *error = reason;
        return false;
    };
    if (m_state->listenFd >= 0)
        return failWith(QStringLiteral("already listening"), -1);

    sockaddr_storage addr{};
    socklen_t len = 0;
    int family = AF_INET6;
    const QByteArray text = address.toLatin1();
    auto *v4 = reinterpret_cast<sockaddr_in *>(&addr);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&addr);
    if (address.isEmpty()) {
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else if (::inet_pton(AF_INET, text.constData(), &v4->sin_addr) == 1) {
        family = AF_INET;
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else if (::inet_pton(AF_INET6, text.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else {
        return failWith(QStringLiteral("not an IP address: %1").arg(address), -1);
    }

    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 && address.isEmpty()) {
        // No IPv6 on this machine: every IPv4 address then.
        family = AF_INET;
        addr = {};
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        v4->sin_port = htons(port);
        len = sizeof *v4;
        fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    if (fd < 0)
        return failWith(errnoText(), -1);
    const int on = 1;
    const int off = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        ZDLog::appendLog(QStringLiteral("Error setting reuse address flag"));
    if (family == AF_INET6 && address.isEmpty())
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0)
        return failWith(QStringLiteral("cannot bind to port %1: %2").arg(port).arg(errnoText()), fd);
    if (::listen(fd, backlog) != 0)
        return failWith(QStringLiteral("cannot listen: %1").arg(errnoText()), fd);
    sockaddr_storage bound{};
    socklen_t boundLen = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &boundLen) != 0)
        return failWith(QStringLiteral("cannot determine port number: %1").arg(errnoText()), fd);
    const quint16 boundPort = bound.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port)
                                                         : ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port);
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
        return failWith(errnoText(), fd);
    m_state->listenFd = fd;
    m_state->wakeFd = wakeFd;
    m_state->port = boundPort;
    m_state->acceptThread = std::thread([state = m_state, fd, wakeFd] { State::acceptLoop(state, fd, wakeFd); });
    return true;
}

quint16 ZDConnectionServer::port() const
{
    return m_state->port;
}

bool ZDConnectionServer::isListening() const
{
    return m_state->listenFd >= 0;
}

void ZDConnectionServer::close()
{
    if (m_state->listenFd >= 0) {
        const quint64 one = 1;
        [[maybe_unused]] const auto n = ::write(m_state->wakeFd, &one, sizeof one);
        if (m_state->acceptThread.joinable())
            m_state->acceptThread.join();
        ::close(m_state->listenFd);
        ::close(m_state->wakeFd);
        m_state->listenFd = -1;
        m_state->wakeFd = -1;
        m_state->port = 0;
    }
    std::unordered_map<ZDConnection *, std::shared_ptr<ZDConnection>> open;
    {
        std::lock_guard lock(m_state->mutex);
        open.swap(m_state->connections);
        m_state->addressOf.clear();
        m_state->perAddress.clear();
    }
    for (auto &[key, connection] : open)
        connection->invalidate();
}

QList<std::shared_ptr<ZDConnection>> ZDConnectionServer::connections() const
{
    QList<std::shared_ptr<ZDConnection>> list;
    std::lock_guard lock(m_state->mutex);
    for (const auto &[key, connection] : m_state->connections)
        list.append(connection);
    return list;
}
