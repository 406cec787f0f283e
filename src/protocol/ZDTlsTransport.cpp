#include "ZDTlsTransport.h"

#include "ZDLog.h"
#include "ZDTcpTransport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <netdb.h>
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

constexpr unsigned char kTlsHandshakeRecord = 0x16;
constexpr int kMaxReadPerRound = 256 * 1024;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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

QString sslErrorText()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("the handshake failed");
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return QStringLiteral("the handshake failed (%1)").arg(QString::fromLatin1(text));
}

// A flood of refused peers must not flood the log: a few lines a minute, then a count.
void logRefusal(const QString &peer, const QString &why)
{
    static std::mutex mutex;
    static qint64 windowStart = 0;
    static int logged = 0;
    static int unlogged = 0;
    const std::lock_guard lock(mutex);
    const qint64 now = nowMs();
    if (now - windowStart >= 60 * 1000) {
        if (unlogged > 0)
            ZDLog::appendLog(QStringLiteral("Refused %@ more connections in the last minute."), unlogged);
        windowStart = now;
        logged = 0;
        unlogged = 0;
    }
    if (logged < 5) {
        ++logged;
        ZDLog::appendLog(QStringLiteral("Refused connection from %@: %@."), peer, why);
    } else {
        ++unlogged;
    }
}

int acceptAnyCertificate(int, X509_STORE_CTX *)
{
    return 1; // self-signed by design: the fingerprint check decides
}

} // namespace

std::shared_ptr<ZDTlsContext> ZDTlsContext::create(const ZDTlsIdentity &identity, bool server, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::shared_ptr<ZDTlsContext>();
    };
    std::shared_ptr<ZDTlsContext> context(new ZDTlsContext);
    SSL_CTX *ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx)
        return fail(QStringLiteral("cannot make a TLS context"));
    context->m_ctx = ctx;
    context->m_server = server;
    context->m_fingerprint = identity.fingerprint;
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, acceptAnyCertificate);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    std::unique_ptr<BIO, decltype(&BIO_free)> certBio(
        BIO_new_mem_buf(identity.certificatePem.constData(), int(identity.certificatePem.size())), &BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(
        BIO_new_mem_buf(identity.privateKeyPem.constData(), int(identity.privateKeyPem.size())), &BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr, &EVP_PKEY_free);
    // The key first: a certificate that does not match it then drops it, and the
    // handshake cannot prove a key this side does not hold.
    if (!cert || !key || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_use_certificate(ctx, cert.get()) != 1) {
        ERR_clear_error();
        return fail(QStringLiteral("cannot use the key pair for TLS"));
    }
    return context;
}

ZDTlsContext::~ZDTlsContext()
{
    SSL_CTX_free(static_cast<SSL_CTX *>(m_ctx));
}

void *ZDTlsContext::nativeHandle() const
{
    return m_ctx;
}

struct ZDTlsTransport::State
{
    enum class Mode { Detect, Handshake, Open, Plain };

    int fd = -1;
    int wakeFd = -1;
    qint64 maxQueued = 0;
    bool accepted = false;
    QString peer;
    ZDTlsPolicy policy;
    std::weak_ptr<Handler> handler;

    std::mutex mutex;
    Mode mode = Mode::Detect;
    SSL *ssl = nullptr;
    BIO *rbio = nullptr; // owned by ssl
    BIO *wbio = nullptr; // owned by ssl
    QByteArray out;      // bytes for the socket
    qsizetype outPos = 0;
    QByteArray held;     // sent from above before the link was open
    bool closed = false;
    QString closeReason;
    std::atomic<bool> closeReported{false};

    ~State()
    {
        SSL_free(ssl);
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
            closeLocked(n < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("send failed"));
            return false;
        }
        out.clear();
        outPos = 0;
        return true;
    }

    bool pushLocked(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return true;
        if ((out.size() - outPos) + bytes.size() > maxQueued) {
            closeLocked(QStringLiteral("send queue overflow (peer not reading)"));
            return false;
        }
        const bool wasIdle = outPos == out.size();
        if (wasIdle) {
            out = bytes;
            outPos = 0;
        } else {
            out.append(bytes);
        }
        if (!wasIdle)
            return true;
        if (!flushLocked())
            return false;
        if (outPos < out.size())
            wake();
        return true;
    }

    // What the engine wrote, on its way to the socket.
    bool drainLocked()
    {
        QByteArray bytes;
        char chunk[16384];
        int n;
        while ((n = BIO_read(wbio, chunk, sizeof chunk)) > 0)
            bytes.append(chunk, n);
        return pushLocked(bytes);
    }

    bool encryptLocked(const QByteArray &plain)
    {
        if (plain.isEmpty())
            return true;
        ERR_clear_error();
        if (SSL_write(ssl, plain.constData(), int(plain.size())) != int(plain.size())) {
            closeLocked(sslErrorText());
            return false;
        }
        return drainLocked();
    }

    void startTlsLocked()
    {
        ssl = SSL_new(static_cast<SSL_CTX *>(policy.context->nativeHandle()));
        rbio = BIO_new(BIO_s_mem());
        wbio = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(rbio, -1);
        SSL_set_bio(ssl, rbio, wbio);
        if (accepted)
            SSL_set_accept_state(ssl);
        else
            SSL_set_connect_state(ssl);
        mode = Mode::Handshake;
    }

    // Runs the engine on what arrived; plain text read goes to `plain`. True when
    // the handshake finished in this step.
    bool pumpLocked(QByteArray *plain)
    {
        ERR_clear_error();
        if (mode == Mode::Handshake) {
            const int r = SSL_do_handshake(ssl);
            if (r != 1) {
                const int e = SSL_get_error(ssl, r);
                if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                    const QString why = sslErrorText();
                    if (accepted)
                        logRefusal(peer, why);
                    drainLocked(); // the alert tells the peer why
                    closeLocked(why);
                    return false;
                }
                drainLocked();
                return false;
            }
            drainLocked();
            return true;
        }
        readLocked(plain);
        return false;
    }

    void readLocked(QByteArray *plain)
    {
        char chunk[16384];
        while (plain->size() < kMaxReadPerRound) {
            const int n = SSL_read(ssl, chunk, sizeof chunk);
            if (n > 0) {
                plain->append(chunk, n);
                continue;
            }
            const int e = SSL_get_error(ssl, n);
            if (e == SSL_ERROR_ZERO_RETURN)
                closeLocked(QStringLiteral("connection closed by peer"));
            else if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
                closeLocked(sslErrorText());
            break;
        }
        drainLocked();
    }

    void closeLocked(const QString &reason)
    {
        if (closed)
            return;
        closed = true;
        closeReason = reason;
        if (mode == Mode::Open && ssl) {
            SSL_shutdown(ssl);
            QByteArray notify;
            char chunk[1024];
            int n;
            while ((n = BIO_read(wbio, chunk, sizeof chunk)) > 0)
                notify.append(chunk, n);
            [[maybe_unused]] const auto sent = ::send(fd, notify.constData(), size_t(notify.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        ::shutdown(fd, SHUT_RDWR);
        wake();
    }

    void refuse(const QString &why)
    {
        if (accepted)
            logRefusal(peer, why);
        std::lock_guard lock(mutex);
        closeLocked(why);
    }
};

ZDTlsTransport::ZDTlsTransport(int fd, bool accepted, ZDTlsPolicy policy, qint64 maxQueuedBytes)
    : m_state(std::make_shared<State>())
{
    m_state->fd = fd;
    m_state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_state->maxQueued = maxQueuedBytes;
    m_state->accepted = accepted;
    m_state->peer = describePeer(fd);
    m_state->policy = std::move(policy);
}

ZDTlsTransport::~ZDTlsTransport()
{
    close();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

void ZDTlsTransport::start(std::weak_ptr<Handler> handler)
{
    m_state->handler = std::move(handler);
    m_thread = std::thread([state = m_state] { run(state); });
}

bool ZDTlsTransport::send(const QByteArray &bytes)
{
    State &s = *m_state;
    std::lock_guard lock(s.mutex);
    if (s.closed)
        return false;
    switch (s.mode) {
    case State::Mode::Open:
        return s.encryptLocked(bytes);
    case State::Mode::Plain:
        return s.pushLocked(bytes);
    default:
        if (s.held.size() + bytes.size() > s.maxQueued) {
            s.closeLocked(QStringLiteral("send queue overflow (peer not reading)"));
            return false;
        }
        s.held.append(bytes);
        return true;
    }
}

void ZDTlsTransport::close()
{
    std::lock_guard lock(m_state->mutex);
    m_state->closeLocked(QStringLiteral("closed locally"));
}

QString ZDTlsTransport::peerDescription() const
{
    return m_state->peer;
}

std::function<std::unique_ptr<ZDWireTransport>(int, bool)>
ZDTlsTransport::factory(std::function<ZDTlsPolicy()> policy, qint64 maxQueuedBytes)
{
    return [policy = std::move(policy), maxQueuedBytes](int fd, bool accepted) -> std::unique_ptr<ZDWireTransport> {
        return std::make_unique<ZDTlsTransport>(fd, accepted, policy(), maxQueuedBytes);
    };
}

void ZDTlsTransport::run(const std::shared_ptr<State> &state)
{
    State &s = *state;
    std::vector<char> buffer(64 * 1024);
    qint64 lastReceive = nowMs();
    qint64 lastTick = lastReceive;
    QString reason;
    if (!s.policy.context || s.policy.context->isServer() != s.accepted) {
        std::lock_guard lock(s.mutex);
        s.closeLocked(QStringLiteral("no TLS context for this side"));
    } else if (!s.accepted) {
        std::lock_guard lock(s.mutex);
        s.startTlsLocked();
        QByteArray none;
        s.pumpLocked(&none); // the client speaks first
    }
    auto deliver = [&s](const char *data, qsizetype size) {
        if (size > 0)
            if (auto h = s.handler.lock())
                h->transportReceived(data, size);
    };
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
        const int n = ::poll(fds, 2, ZDTcpTransport::kTickMs);
        if (n < 0 && errno != EINTR) {
            reason = QString::fromLocal8Bit(std::strerror(errno));
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
            State::Mode mode;
            {
                std::lock_guard lock(s.mutex);
                mode = s.mode;
            }
            if (mode == State::Mode::Detect) {
                unsigned char first = 0;
                const ssize_t got = ::recv(s.fd, &first, 1, MSG_PEEK | MSG_DONTWAIT);
                if (got == 0) {
                    reason = QStringLiteral("connection closed by peer");
                    break;
                }
                if (got < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                        continue;
                    reason = QString::fromLocal8Bit(std::strerror(errno));
                    break;
                }
                if (first != kTlsHandshakeRecord && !s.policy.allowPlain) {
                    s.refuse(QStringLiteral("not a TLS connection, and only enrolled consoles are served"));
                    continue;
                }
                std::lock_guard lock(s.mutex);
                if (first == kTlsHandshakeRecord) {
                    s.startTlsLocked();
                } else {
                    s.mode = State::Mode::Plain;
                    s.pushLocked(std::exchange(s.held, QByteArray()));
                }
                mode = s.mode;
            }
            const ssize_t got = ::recv(s.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got == 0) {
                reason = QStringLiteral("connection closed by peer");
                break;
            }
            if (got < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                    continue;
                reason = QString::fromLocal8Bit(std::strerror(errno));
                break;
            }
            lastReceive = nowMs();
            if (mode == State::Mode::Plain) {
                deliver(buffer.data(), got);
            } else {
                QByteArray plain;
                bool finished = false;
                {
                    std::lock_guard lock(s.mutex);
                    BIO_write(s.rbio, buffer.data(), int(got));
                    finished = s.pumpLocked(&plain);
                }
                if (finished) {
                    QString fingerprint;
                    {
                        std::lock_guard lock(s.mutex);
                        if (X509 *cert = SSL_get0_peer_certificate(s.ssl)) {
                            unsigned char *der = nullptr;
                            const int size = i2d_X509(cert, &der);
                            if (size > 0) {
                                fingerprint = ZDTlsIdentity::fingerprintOfCertificate(
                                    QByteArray(reinterpret_cast<const char *>(der), size));
                                OPENSSL_free(der);
                            }
                        }
                    }
                    const QString refusal = s.policy.check ? s.policy.check(fingerprint, s.peer) : QString();
                    if (!refusal.isEmpty()) {
                        s.refuse(refusal);
                        continue;
                    }
                    std::lock_guard lock(s.mutex);
                    s.mode = State::Mode::Open;
                    if (s.encryptLocked(std::exchange(s.held, QByteArray())))
                        s.readLocked(&plain); // what came with the peer's last handshake bytes
                }
                deliver(plain.constData(), plain.size());
            }
        }
        const qint64 now = nowMs();
        if (now - lastTick >= ZDTcpTransport::kTickMs) {
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
