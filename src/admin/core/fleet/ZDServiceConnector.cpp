#include "fleet/ZDServiceConnector.h"

#include "fleet/ZDConsoleSecurity.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"

#include <QHostAddress>

namespace {

bool isNumericAddress(const QString &text)
{
    const QHostAddress address(text);
    return address.protocol() == QAbstractSocket::IPv4Protocol || address.protocol() == QAbstractSocket::IPv6Protocol;
}

} // namespace

ZDServiceConnector::Result ZDServiceConnector::connect(
    const Target &target, const std::function<bool()> &givenStopped,
    const std::function<bool(const std::shared_ptr<ZDConnection> &)> &adopt)
{
    ZDConnectionOptions options;
    options.serveMode = ZDServeMode::OwnerThread;
    options.ownerThread = target.servingThread;
    options.localName = QStringLiteral("KestraAdmin");
    Result result;
    // TLS from the first byte, to every agent: a peer that does not complete the
    // handshake (or drops it) is unreachable, never talked to in plain text.
    auto changed = std::make_shared<std::atomic<bool>>(false);
    const bool tls = !target.pinKey.isEmpty() && ZDConsoleSecurity::useTls(options, target.pinKey, changed);
    const auto stopped = [&] { return givenStopped() || changed->load(); };
    auto open = [&](const QString &host, const QString &expectedName) {
        if (!tls)
            throw ZDLinkException::linkFailure(QStringLiteral("this console has no key pair, and agents are reached over TLS only"));
        return ZDConnection::connectToHost(host, target.port, expectedName, options);
    };
    // The probe is a round trip: a proxy that answers it is a working link.
    auto attempt = [&](const QString &host, const QString &expectedName) {
        auto connection = open(host, expectedName);
        if (!adopt(connection)) {
            connection->invalidate();
            return;
        }
        auto proxy = connection->rootProxy();
        proxy->respondsToSelector(QString::fromLatin1(ZDOrv::kFetchInitialConfiguration));
        result.connection = connection;
        result.proxy = proxy;
    };
    auto failed = [&](const ZDLinkException &e, bool log) {
        if (log || changed->load())
            ZDLog::appendLog(QStringLiteral("Connection exception: %@"), e.reason());
        result = Result();
        result.error = e.reason();
    };

    // By registered name, at the resolved address (".local" names need not
    // resolve through the system's resolver); IPv4 first.
    if (!target.registeredName.isEmpty() && !stopped()) {
        ZDLog::appendLog(QStringLiteral("Connecting to %@..."), target.registeredName);
        ZDLog::appendLog(QStringLiteral("Address count: %i"), target.addresses.size());
        QString host = target.manual && !target.manualIP.isEmpty() ? target.manualIP : target.dottedHost;
        if (!target.addresses.isEmpty())
            host = target.addresses.constFirst();
        for (const QString &a : target.addresses) {
            if (QHostAddress(a).protocol() == QAbstractSocket::IPv4Protocol) {
                host = a;
                break;
            }
        }
        try {
            attempt(host, target.registeredName);
        } catch (const ZDLinkException &e) {
            failed(e, false); // only ends the stage
        }
    }

    const QString host = target.manual ? target.manualIP : target.dottedHost;
    if (!result.isValid() && !host.isEmpty() && !stopped()) {
        ZDLog::appendLog(QStringLiteral("Trying to connect to host %@:%i"), host, int(target.port));
        try {
            attempt(host, QString());
        } catch (const ZDLinkException &e) {
            failed(e, true);
        }
    }

    if (!result.isValid() && !stopped()) {
        ZDLog::appendLog(QStringLiteral("Unable to connect; trying alternate addresses..."));
        QStringList candidates;
        if (target.manual) {
            ZDLog::appendLog(QStringLiteral("Connection is manual."));
            candidates << target.manualIP;
        } else {
            candidates = target.addresses;
        }
        // One resolved address was already tried by the stages above.
        if (candidates.size() > 1 || target.manual) {
            for (const QString &candidate : std::as_const(candidates)) {
                if (result.isValid() || stopped())
                    break;
                const QString text = candidate.trimmed();
                if (!isNumericAddress(text) && !(target.manual && text == QLatin1String("localhost"))) {
                    ZDLog::appendLog(QStringLiteral("The address family is unknown"));
                    continue;
                }
                try {
                    attempt(text, QString());
                } catch (const ZDLinkException &e) {
                    failed(e, true);
                }
            }
        }
    }
    result.certificateChanged = changed->load();
    return result;
}
