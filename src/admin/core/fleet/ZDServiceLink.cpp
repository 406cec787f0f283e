#include "fleet/ZDServiceLink.h"

#include "fleet/ZDConsoleSecurity.h"
#include "log/ZDException.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"
#include "fleet/ZDService.h"
#include "fleet/ZDServiceConnector.h"
#include "process/ZDThreads.h"

void ZDServiceLink::run(std::weak_ptr<ZDService> weak, std::shared_ptr<ZDServiceLink> link, ZDRemoteObjectPtr callbackObject)
{
    // Whatever happens below, waiters learn that this thread is done.
    const std::unique_ptr<ZDServiceLink, void (*)(ZDServiceLink *)> finished(link.get(), [](ZDServiceLink *l) { l->finish(); });
    auto self = weak.lock();
    if (!self || link->stopped())
        return;
    ZDService *s = self.get();
    std::shared_ptr<ZDConnection> connection;
    ZDRemoteProxyPtr proxy;
    try {
        s->startSpinner();
        ZDLog::appendLog(QStringLiteral("Connecting to %@..."), s->name());

        const bool manual = s->isManual();
        const bool hasNet = s->hasNetService();
        const ZDDNSSDService net = s->netService();
        const QString hostName = s->hostName();
        const QString manualIP = s->manualIP();
        const auto port = static_cast<quint16>(s->port());
        if (!manual && !hasNet) {
            ZDLog::appendLog(QStringLiteral("Net service not found."));
            s->stopSpinner();
            return;
        }

        ZDServiceConnector::Target target;
        target.manual = manual;
        target.manualIP = manualIP;
        target.dottedHost = hasNet && !net.hostName.isEmpty() ? net.hostName : hostName;
        if (!target.dottedHost.isEmpty() && !target.dottedHost.endsWith(QLatin1Char('.')))
            target.dottedHost += QLatin1Char('.');
        target.addresses = net.addresses;
        target.port = port;
        target.registeredName = s->registeredName();
        target.pinKey = ZDConsoleSecurity::pinKey(*s);
        const auto result = ZDServiceConnector::connect(
            target, [&link] { return link->stopped(); },
            [&link](const std::shared_ptr<ZDConnection> &c) {
                std::lock_guard lock(link->mutex);
                if (link->stop)
                    return false;
                link->connection = c; // so that a stop request can cut it
                return true;
            });
        connection = result.connection;
        proxy = result.proxy;

        if (result.isValid() && !link->stopped()) {
            ZDLog::appendLog(QStringLiteral("Proxy found. Connection successful."));
            ZDLog::appendLog(QStringLiteral("Connected, starting run loop..."));
            {
                std::lock_guard lock(link->mutex);
                link->proxy = proxy;
            }
            s->setRunLoopRunning(true);
            if (s->icon().isEmpty())
                s->setServiceIcon();
            if (!s->fetchInitialConfiguration()) {
                // An agent that cannot be asked is left alone; a dead link is retried.
                s->setRunLoopRunning(false);
                s->stopSpinner();
            } else {
                bool ok = true;
                if (callbackObject && proxy->respondsToSelector(QString::fromLatin1(ZDOrv::kSetErrorCallback))) {
                    try {
                        proxy->call(QString::fromLatin1(ZDOrv::kSetErrorCallback), {QVariant::fromValue(callbackObject)});
                    } catch (const ZDLinkException &e) {
                        // An agent in open mode serves reads to a console it has not
                        // enrolled, but takes no registration from it: no notices then.
                        if (ZDException::nameOf(e) == QLatin1String("ZDNotEnrolledException")) {
                            ZDLog::appendLog(QStringLiteral("%@ has not enrolled this console: no notices from it."), s->name());
                        } else {
                            s->callFailed(e, "-[ZDService connect:]");
                            ok = false;
                        }
                    }
                }
                if (ok && !link->stopped()) {
                    s->setConnectedFlag(true);
                    ZDThreads::post(s, [s] { Q_EMIT s->serviceConnected(s); });
                    // Serve the agent's calls until told to stop; the record may
                    // go away meanwhile.
                    s = nullptr;
                    self.reset();
                    // An agent that goes away ends the loop, as a stop request does.
                    if (connection)
                        connection->setInvalidationHandler([link](const QString &) {
                            std::lock_guard lock(link->mutex);
                            link->died = true;
                            if (link->loop)
                                ZDThreads::post(link->loop, [loop = link->loop] { loop->quit(); });
                        });
                    QEventLoop loop;
                    bool run = false;
                    {
                        std::lock_guard lock(link->mutex);
                        if (!link->stop && !link->died) {
                            link->loop = &loop;
                            run = true;
                        }
                    }
                    if (run)
                        loop.exec();
                    {
                        std::lock_guard lock(link->mutex);
                        link->loop = nullptr;
                    }
                    ZDLog::fastAppendLog(QStringLiteral("Run loop finished"));
                    // Not asked to stop: the agent went away. Retried like any computer that failed.
                    if (auto still = weak.lock(); still && !link->stopped()) {
                        ZDLog::appendLog(QStringLiteral("Lost the connection to %@"), still->name());
                        still->setConnectedFlag(false);
                        ZDService *raw = still.get();
                        ZDThreads::post(raw, [raw] { Q_EMIT raw->serviceConnectFailed(raw); });
                        still->armRetry();
                    }
                }
            }
        } else if (result.certificateChanged && !link->stopped()) {
            // Not retried: the administrator accepts the new key first ("kestra trust").
            s->stopSpinner();
            s->setConnectedFlag(false);
            ZDLog::appendLog(QStringLiteral("Not talking to %@: %@"), s->name(), result.error);
            s->setErrorCode(ZDOrv::kErrorCertificateChanged);
            ZDThreads::post(s, [s] { Q_EMIT s->serviceConnectFailed(s); });
        } else if (!link->stopped()) {
            s->stopSpinner();
            s->setConnectedFlag(false);
            ZDLog::appendLog(QStringLiteral("Unable to connect"));
            ZDThreads::post(s, [s] { Q_EMIT s->serviceConnectFailed(s); });
            s->armRetry();
        }
    } catch (const std::exception &e) {
        ZDException::logException(e, "-[ZDService connect:]");
        if (s) {
            s->setConnectedFlag(false);
            s->stopSpinner();
            s->armRetry();
        }
    }
    {
        std::lock_guard lock(link->mutex);
        link->proxy.reset();
        link->connection.reset();
    }
    proxy.reset();
    if (connection)
        connection->invalidate();
    connection.reset();
    if (auto still = weak.lock())
        still->linkEnded(link.get());
}
