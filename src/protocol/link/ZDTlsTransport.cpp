#include "link/ZDTlsTransport.h"

#include "log/ZDLog.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <mutex>
#include <utility>
#include <vector>

namespace {

constexpr unsigned char kTlsHandshakeRecord = 0x16;
constexpr int kMaxReadPerRound = 256 * 1024;

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
    const qint64 now = ZDStreamLink::nowMs();
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
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(ZDTlsIdentity::readPrivateKey(identity.privateKeyPem),
                                                            &EVP_PKEY_free);
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

struct ZDTlsTransport::State final : ZDStreamLink
{
    enum class Mode { Detect, Handshake, Open, Plain };

    State(int fd, bool accepted, ZDTlsPolicy policy, qint64 maxQueuedBytes)
        : ZDStreamLink(fd, maxQueuedBytes)
        , accepted(accepted)
        , policy(std::move(policy))
    {
        if (this->policy.grant)
            granted = 0;
    }

    ~State() override
    {
        SSL_free(ssl);
    }

    const bool accepted;
    const ZDTlsPolicy policy;

    Mode mode = Mode::Detect;
    SSL *ssl = nullptr;
    BIO *rbio = nullptr; // owned by ssl
    BIO *wbio = nullptr; // owned by ssl
    QByteArray held;     // sent from above before the link was open
    QString acceptedKey; // set before the first byte goes up
    unsigned granted = ~0u;

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

    void refuse(const QString &why)
    {
        if (accepted)
            logRefusal(peer, why);
        std::lock_guard lock(mutex);
        closeLocked(why);
    }

    QString peerFingerprint()
    {
        std::lock_guard lock(mutex);
        X509 *cert = SSL_get0_peer_certificate(ssl);
        return cert ? ZDTlsIdentity::fingerprintOfCertificate(cert) : QString();
    }

protected:
    void begin() override
    {
        std::lock_guard lock(mutex);
        if (!policy.context || policy.context->isServer() != accepted) {
            closeLocked(QStringLiteral("no TLS context for this side"));
        } else if (!accepted) {
            startTlsLocked();
            QByteArray none;
            pumpLocked(&none); // the client speaks first
        }
    }

    Step readable(std::vector<char> &buffer, QString *reason) override
    {
        Mode current;
        {
            std::lock_guard lock(mutex);
            current = mode;
        }
        if (current == Mode::Detect) {
            unsigned char first = 0;
            const ssize_t peeked = receive(&first, 1, MSG_PEEK, reason);
            if (peeked <= 0)
                return peeked < 0 ? Step::Stop : Step::Again;
            if (first != kTlsHandshakeRecord && !policy.allowPlain) {
                refuse(QStringLiteral("not a TLS connection, and only enrolled consoles are served"));
                return Step::Again;
            }
            const unsigned plainGrant = first != kTlsHandshakeRecord && policy.grant ? policy.grant(QString()) : ~0u;
            std::lock_guard lock(mutex);
            if (first == kTlsHandshakeRecord) {
                startTlsLocked();
            } else {
                granted = plainGrant;
                mode = Mode::Plain;
                pushLocked(std::exchange(held, QByteArray()));
            }
            current = mode;
        }
        const ssize_t got = receive(buffer.data(), buffer.size(), 0, reason);
        if (got <= 0)
            return got < 0 ? Step::Stop : Step::Again;
        lastReceive = nowMs();
        if (current == Mode::Plain) {
            deliver(buffer.data(), got);
            return Step::Go;
        }
        QByteArray plain;
        bool finished = false;
        {
            std::lock_guard lock(mutex);
            BIO_write(rbio, buffer.data(), int(got));
            finished = pumpLocked(&plain);
        }
        if (finished) {
            const QString key = peerFingerprint();
            const QString refusal = policy.check ? policy.check(key, peer) : QString();
            if (!refusal.isEmpty()) {
                refuse(refusal);
                return Step::Again;
            }
            const unsigned grant = policy.grant ? policy.grant(key) : ~0u;
            std::lock_guard lock(mutex);
            acceptedKey = key;
            granted = grant;
            mode = Mode::Open;
            if (encryptLocked(std::exchange(held, QByteArray())))
                readLocked(&plain); // what came with the peer's last handshake bytes
        }
        deliver(plain.constData(), plain.size());
        return Step::Go;
    }

    // A clean close_notify, so the peer tells a goodbye from a cut.
    void closingLocked() override
    {
        if (mode != Mode::Open || !ssl)
            return;
        SSL_shutdown(ssl);
        QByteArray notify;
        char chunk[1024];
        int n;
        while ((n = BIO_read(wbio, chunk, sizeof chunk)) > 0)
            notify.append(chunk, n);
        [[maybe_unused]] const auto sent = ::send(fd, notify.constData(), size_t(notify.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
};

ZDTlsTransport::ZDTlsTransport(int fd, bool accepted, ZDTlsPolicy policy, qint64 maxQueuedBytes)
    : ZDStreamTransport(std::make_shared<State>(fd, accepted, std::move(policy), maxQueuedBytes))
{
}

bool ZDTlsTransport::send(const QByteArray &bytes)
{
    State &s = static_cast<State &>(*m_link);
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

QString ZDTlsTransport::peerKey() const
{
    State &s = static_cast<State &>(*m_link);
    std::lock_guard lock(s.mutex);
    return s.acceptedKey;
}

unsigned ZDTlsTransport::peerGrant() const
{
    State &s = static_cast<State &>(*m_link);
    std::lock_guard lock(s.mutex);
    return s.granted;
}

std::function<std::unique_ptr<ZDWireTransport>(int, bool)>
ZDTlsTransport::factory(std::function<ZDTlsPolicy()> policy, qint64 maxQueuedBytes)
{
    return [policy = std::move(policy), maxQueuedBytes](int fd, bool accepted) -> std::unique_ptr<ZDWireTransport> {
        return std::make_unique<ZDTlsTransport>(fd, accepted, policy(), maxQueuedBytes);
    };
}
