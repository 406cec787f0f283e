#include "fleet/ZDServiceLink.h"

#include "fleet/ZDConsoleSecurity.h"
#include "log/ZDException.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"
#include "fleet/ZDService.h"
#include "fleet/ZDServiceConnector.h"
#include "process/ZDThreads.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

namespace {

// Connecting waits on the network, not on the console's cores: many at once,
// yet bounded. An idle pool thread goes after a short while.
constexpr int kConnectThreads = 32;
constexpr int kConnectThreadIdleMs = 2000;
constexpr uint kConnectThreadStack = 1024 * 1024;

QThreadPool *connectPool()
{
    static QThreadPool *const pool = [] {
        auto *p = new QThreadPool; // never deleted: an attempt may still wait on a dead peer as the program ends
        p->setMaxThreadCount(kConnectThreads);
        p->setExpiryTimeout(kConnectThreadIdleMs);
        p->setStackSize(kConnectThreadStack);
        return p;
    }();
    return pool;
}

// The threads that run agents' calls to the console, a few for every link. Each
// has an anchor object to post work to. They end with the application; the
// objects stay (a late post to a finished thread is simply never run).
class ServingThreads
{
public:
    static ServingThreads &instance()
    {
        static ServingThreads *const threads = new ServingThreads; // ended by the post routine, see below
        return *threads;
    }
    QThread *next()
    {
        return m_threads[m_next.fetch_add(1, std::memory_order_relaxed) % m_threads.size()];
    }
    QObject *anchorOf(const QThread *thread) const
    {
        for (size_t i = 0; i < m_threads.size(); ++i)
            if (m_threads[i] == thread)
                return m_anchors[i];
        return nullptr;
    }

private:
    ServingThreads()
    {
        const int count = std::clamp(QThread::idealThreadCount(), 2, 4);
        for (int i = 0; i < count; ++i) {
            auto *thread = new QThread;
            thread->setObjectName(QStringLiteral("ZDService calls"));
            auto *anchor = new QObject;
            anchor->moveToThread(thread);
            thread->start();
            m_threads.push_back(thread);
            m_anchors.push_back(anchor);
        }
        // Stopped before the application's objects go, so that no agent's call
        // runs into a console that is being torn down.
        if (QCoreApplication::instance())
            qAddPostRoutine(&ServingThreads::stopAll);
    }
    static void stopAll()
    {
        for (QThread *thread : instance().m_threads)
            thread->quit();
        for (QThread *thread : instance().m_threads)
            thread->wait(2000);
    }

    std::vector<QThread *> m_threads;
    std::vector<QObject *> m_anchors;
    std::atomic<size_t> m_next{0};
};

} // namespace

bool ZDServiceLink::postAfterQueuedCalls(std::function<void()> work)
{
    std::lock_guard lock(mutex);
    if (!serving || !servingThread)
        return false;
    QObject *anchor = ServingThreads::instance().anchorOf(servingThread);
    if (!anchor)
        return false;
    // Posted after the calls already queued on that thread, so it runs after them.
    ZDThreads::post(anchor, std::move(work));
    return true;
}

void ZDServiceLink::start(std::weak_ptr<ZDService> weak, std::shared_ptr<ZDServiceLink> link,
                          ZDRemoteObjectPtr callbackObject)
{
    {
        std::lock_guard lock(link->mutex);
        link->servingThread = ServingThreads::instance().next();
    }
    connectPool()->start([weak = std::move(weak), link = std::move(link), callbackObject = std::move(callbackObject)] {
        connectAndConfigure(weak, link, callbackObject);
    });
}

void ZDServiceLink::scheduleEnd(const std::weak_ptr<ZDService> &weak, const std::shared_ptr<ZDServiceLink> &link)
{
    QObject *anchor = nullptr;
    {
        std::lock_guard lock(link->mutex);
        if (link->ending)
            return;
        link->ending = true;
        anchor = ServingThreads::instance().anchorOf(link->servingThread);
    }
    // Never inline: the handler may run under a caller's lock that the end takes.
    const bool lost = !link->stopped();
    if (anchor && anchor->thread()->isRunning())
        ZDThreads::post(anchor, [weak, link, lost] { end(weak, link, lost); });
    else
        connectPool()->start([weak, link, lost] { end(weak, link, lost); });
}

void ZDServiceLink::end(const std::weak_ptr<ZDService> &weak, const std::shared_ptr<ZDServiceLink> &link, bool lost)
{
    std::shared_ptr<ZDConnection> connection;
    bool wasServing = false;
    {
        std::lock_guard lock(link->mutex);
        wasServing = std::exchange(link->serving, false);
        link->proxy.reset();
        connection = std::move(link->connection);
    }
    if (wasServing)
        ZDLog::fastAppendLog(QStringLiteral("Run loop finished"));
    if (lost) {
        // Not asked to stop: the agent went away. Retried like any computer that failed.
        if (auto still = weak.lock(); still && !link->stopped()) {
            ZDLog::appendLog(QStringLiteral("Lost the connection to %@"), still->name());
            still->setConnectedFlag(false);
            ZDService *raw = still.get();
            ZDThreads::post(raw, [raw] { Q_EMIT raw->serviceConnectFailed(raw); });
            still->armRetry();
        }
    }
    if (connection)
        connection->invalidate();
    connection.reset();
    if (auto still = weak.lock())
        still->linkEnded(link.get());
    link->finish();
}

namespace {

// Marks the calling pool thread as the link's worker while it lives.
class WorkerMark
{
public:
    explicit WorkerMark(ZDServiceLink &link)
        : m_link(link)
    {
        std::lock_guard lock(m_link.mutex);
        m_link.worker = std::this_thread::get_id();
    }
    ~WorkerMark()
    {
        // The next step may run, and be marked, before this one has returned.
        std::lock_guard lock(m_link.mutex);
        if (m_link.worker == std::this_thread::get_id())
            m_link.worker = {};
    }
    WorkerMark(const WorkerMark &) = delete;
    WorkerMark &operator=(const WorkerMark &) = delete;

private:
    ZDServiceLink &m_link;
};

} // namespace

void ZDServiceLink::connectAndConfigure(const std::weak_ptr<ZDService> &weak,
                                        const std::shared_ptr<ZDServiceLink> &link,
                                        const ZDRemoteObjectPtr &callbackObject)
{
    const WorkerMark mark(*link);
    auto self = weak.lock();
    if (!self || link->stopped()) {
        end(weak, link, false);
        return;
    }
    ZDService *s = self.get();
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
            end(weak, link, false);
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
        target.servingThread = link->servingThread;
        // A computer that does not answer holds no pool thread while it is waited for.
        ZDServiceConnector::connect(
            target, [link] { return link->stopped(); },
            [link](const std::shared_ptr<ZDConnection> &c) {
                std::lock_guard lock(link->mutex);
                if (link->stop)
                    return false;
                link->connection = c; // so that a stop request can cut it
                return true;
            },
            [](std::function<void()> step) { connectPool()->start(std::move(step)); },
            [weak, link, callbackObject](ZDServiceConnector::Result result) {
                configure(weak, link, callbackObject, std::move(result));
            });
        return;
    } catch (const std::exception &e) {
        ZDException::logException(e, "-[ZDService connect:]");
        s->setConnectedFlag(false);
        s->stopSpinner();
        s->armRetry();
    }
    end(weak, link, false);
}

void ZDServiceLink::configure(const std::weak_ptr<ZDService> &weak, const std::shared_ptr<ZDServiceLink> &link,
                              const ZDRemoteObjectPtr &callbackObject, ZDServiceConnector::Result result)
{
    const WorkerMark mark(*link);
    std::shared_ptr<ZDConnection> connection = std::move(result.connection);
    ZDRemoteProxyPtr proxy = std::move(result.proxy);
    auto self = weak.lock();
    if (!self) {
        if (connection)
            connection->invalidate();
        end(weak, link, false);
        return;
    }
    ZDService *s = self.get();
    try {
        if (proxy && connection && connection->isValid() && !link->stopped()) {
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
                    // The agent's calls now run on the serving thread until the link
                    // ends; the record may go away meanwhile. An agent that goes away
                    // ends the link, as a stop request does: its end runs on the
                    // serving thread, after the agent's last calls (a willDisconnect:
                    // comes right before the close).
                    if (connection) {
                        {
                            std::lock_guard lock(link->mutex);
                            link->serving = true;
                        }
                        connection->setInvalidationHandler([weak, link](const QString &) {
                            scheduleEnd(weak, link);
                        });
                        // It may have ended before the handler was there.
                        if (!connection->isValid() || link->stopped())
                            scheduleEnd(weak, link);
                        return;
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
        s->setConnectedFlag(false);
        s->stopSpinner();
        s->armRetry();
    }
    proxy.reset();
    if (connection)
        connection->invalidate();
    connection.reset();
    end(weak, link, false);
}
