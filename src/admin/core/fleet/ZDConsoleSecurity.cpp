#include "fleet/ZDConsoleSecurity.h"

#include "trust/ZDEnrollToken.h"
#include "trust/ZDKnownAgents.h"
#include "log/ZDLog.h"
#include "fleet/ZDService.h"
#include "link/ZDTlsTransport.h"

#include <mutex>

namespace {

struct ConsoleKeys
{
    ZDTlsIdentity identity;
    std::shared_ptr<ZDTlsContext> context;
};

// Loaded again when the user's data folder moved (a sandbox, a benchmark's runs).
ConsoleKeys keys()
{
    static std::mutex mutex;
    static ConsoleKeys cached;
    static QString folder;
    const std::lock_guard lock(mutex);
    const QString now = ZDKnownAgents::securityFolder();
    if (folder != now) {
        folder = now;
        QString error;
        cached = ConsoleKeys();
        cached.identity = ZDKnownAgents::consoleIdentity(&error);
        if (cached.identity.isValid())
            cached.context = ZDTlsContext::create(cached.identity, false, &error);
        if (!cached.context)
            ZDLog::appendLog(QStringLiteral("No secure connections: %@"), error);
    }
    return cached;
}

bool tlsWithCheck(ZDConnectionOptions &options, std::function<QString(const QString &, const QString &)> check)
{
    const auto context = keys().context;
    if (!context)
        return false;
    ZDTlsPolicy policy;
    policy.context = context;
    policy.check = std::move(check);
    options.transportFactory = ZDTlsTransport::factory([policy] { return policy; }, ZDConnection::sendQueueLimit(options));
    return true;
}

} // namespace

QString ZDConsoleSecurity::fingerprint()
{
    return keys().identity.fingerprint;
}

bool ZDConsoleSecurity::useTls(ZDConnectionOptions &options, const QString &pinKey,
                               std::shared_ptr<std::atomic<bool>> changed)
{
    return tlsWithCheck(options, [pinKey, changed](const QString &fp, const QString &peer) -> QString {
        switch (ZDKnownAgents().check(pinKey, fp)) {
        case ZDKnownAgents::Verdict::Trusted:
            return {};
        case ZDKnownAgents::Verdict::FirstUse:
            ZDLog::appendLog(QStringLiteral("Pinned the key of %@ (%@): %@"), pinKey, peer, fp);
            return {};
        case ZDKnownAgents::Verdict::Changed:
            break;
        }
        changed->store(true);
        return QStringLiteral("the agent's certificate changed (key %1, pinned %2); run \"kestra trust\" to accept it")
            .arg(fp.isEmpty() ? QStringLiteral("none") : fp, ZDKnownAgents().pinned(pinKey));
    });
}

QString ZDConsoleSecurity::pinKey(const ZDService &service)
{
    if (service.isManual())
        return QStringLiteral("%1:%2").arg(service.manualIP()).arg(service.port());
    return service.registeredName();
}

bool ZDConsoleSecurity::useTlsAnyKey(ZDConnectionOptions &options)
{
    return tlsWithCheck(options, [](const QString &fp, const QString &) -> QString {
        return fp.isEmpty() ? QStringLiteral("the agent showed no certificate") : QString();
    });
}

QString ZDConsoleSecurity::enrollToken(const QDateTime &expiry, QString *error)
{
    const QString token = keys().identity.isValid() ? ZDEnrollToken::make(keys().identity, expiry) : QString();
    if (token.isEmpty() && error)
        *error = QStringLiteral("this console has no key pair");
    return token;
}

QString ZDConsoleSecurity::trust(const QString &host, quint16 port, const QString &pinKey, const QString &expected,
                                 QString *error)
{
    auto seen = std::make_shared<QString>();
    ZDConnectionOptions options;
    options.localName = QStringLiteral("KestraAdmin");
    const bool ok = tlsWithCheck(options, [seen](const QString &fp, const QString &) -> QString {
        *seen = fp;
        return fp.isEmpty() ? QStringLiteral("the agent showed no certificate") : QString();
    });
    if (!ok) {
        *error = QStringLiteral("this console has no key pair");
        return {};
    }
    try {
        ZDConnection::connectToHost(host, port, QString(), options)->invalidate();
    } catch (const ZDLinkException &e) {
        *error = e.reason();
        return {};
    }
    const QString want = ZDTlsIdentity::normalizeFingerprint(expected);
    if (!expected.isEmpty() && want != *seen) {
        *error = QStringLiteral("the agent shows %1, not %2").arg(*seen, expected);
        return {};
    }
    if (!ZDKnownAgents().pin(pinKey, *seen)) {
        *error = QStringLiteral("cannot keep the pin");
        return {};
    }
    ZDLog::appendLog(QStringLiteral("Trusted the key of %@: %@"), pinKey, *seen);
    return *seen;
}
