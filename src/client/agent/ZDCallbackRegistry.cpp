#include "agent/ZDCallbackRegistry.h"

#include "link/ZDConnection.h"
#include "rpc/ZDLinkException.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteObject.h"
#include "process/ZDThreads.h"
#include "wire/ZDWireMessage.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace {

constexpr qsizetype kMaxToolErrorText = 64 * 1024;

// Only a link that failed, or a console that stopped answering, is gone; a call
// that could not be encoded or a console's error answer says nothing about the link.
bool linkGone(const ZDLinkException &e)
{
    return e.kind() == ZDLinkException::Kind::LinkFailure || e.kind() == ZDLinkException::Kind::Timeout;
}

bool sameRemoteObject(const ZDRemoteProxyPtr &a, const ZDRemoteProxyPtr &b)
{
    if (a == b)
        return true;
    return a && b && a->connection() == b->connection() && a->objectId() == b->objectId();
}

} // namespace

ZDCallbackRegistry::ZDCallbackRegistry(std::function<QString()> hostName, QObject *parent)
    : QObject(parent)
    , m_hostName(std::move(hostName))
    , m_registry(std::make_shared<const QList<ZDRemoteProxyPtr>>())
    , m_finishTimer(new QTimer(this))
{
    m_finishTimer->setSingleShot(true);
    connect(m_finishTimer, &QTimer::timeout, this, [this] { taskFinishTimeout(m_timerGeneration); });
}

ZDCallbackRegistry::~ZDCallbackRegistry() = default;

QList<ZDRemoteProxyPtr> ZDCallbackRegistry::callbacks() const
{
    std::lock_guard lock(m_registryMutex);
    return *m_registry;
}

int ZDCallbackRegistry::count() const
{
    std::lock_guard lock(m_registryMutex);
    return int(m_registry->size());
}

QList<ZDRemoteProxyPtr> ZDCallbackRegistry::probeDead()
{
    // Silent consoles, probed one after the other, would hold a registration for all
    // their time-outs; a round per registration would multiply the threads.
    std::shared_future<QList<ZDRemoteProxyPtr>> round;
    {
        std::lock_guard lock(m_probeMutex);
        if (!m_probe.valid() || m_probe.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            m_probe = std::async(std::launch::async, [entries = callbacks()] {
                std::vector<std::future<bool>> alive;
                for (const ZDRemoteProxyPtr &entry : entries) {
                    alive.push_back(std::async(std::launch::async, [entry] {
                        try {
                            if (!entry->respondsToSelector(QString::fromLatin1(ZDOrv::kPing)))
                                return false;
                            entry->call(QString::fromLatin1(ZDOrv::kPing));
                            return true;
                        } catch (const ZDLinkException &e) {
                            return !linkGone(e);
                        }
                    }));
                }
                QList<ZDRemoteProxyPtr> dead;
                for (qsizetype i = 0; i < entries.size(); ++i) {
                    if (!alive[size_t(i)].get())
                        dead << entries.at(i);
                }
                return dead;
            }).share();
        }
        round = m_probe;
    }
    return round.get();
}

namespace {
QString consoleKey(const ZDRemoteProxyPtr &proxy)
{
    return proxy && proxy->connection() ? proxy->connection()->peerKey() : QString();
}
} // namespace

void ZDCallbackRegistry::setErrorCallback(const ZDRemoteProxyPtr &callback)
{
    // Probe without the lock: a slow console must not hold up deliveries to the others.
    const QList<ZDRemoteProxyPtr> dead = probeDead();
    if (callback)
        callback->setReplyTimeout(kPingTimeoutMs);

    std::lock_guard lock(m_registryMutex);
    auto next = std::make_shared<QList<ZDRemoteProxyPtr>>();
    for (const ZDRemoteProxyPtr &entry : *m_registry) {
        const bool isDead = std::any_of(dead.cbegin(), dead.cend(),
                                        [&](const ZDRemoteProxyPtr &d) { return d == entry; });
        if (!isDead)
            next->append(entry);
    }
    if (callback && callback->isValid()
        && std::none_of(next->cbegin(), next->cend(),
                        [&](const ZDRemoteProxyPtr &e) { return sameRemoteObject(e, callback); })) {
        // A console's key holds a few places and a new registration takes the
        // oldest of them: a console that reconnects from other addresses (or
        // another key's flood) never locks it out.
        const QString key = consoleKey(callback);
        if (!key.isEmpty()) {
            const auto ofKey = [&](const ZDRemoteProxyPtr &e) { return consoleKey(e) == key; };
            if (std::count_if(next->cbegin(), next->cend(), ofKey) >= kMaxCallbacksPerConsole)
                next->erase(std::find_if(next->begin(), next->end(), ofKey));
        }
        // Every message goes to every entry: a peer registering objects without end must not grow it so.
        const auto sameLink = std::count_if(next->cbegin(), next->cend(), [&](const ZDRemoteProxyPtr &e) {
            return e->connection() == callback->connection();
        });
        if (next->size() < kMaxCallbacks && sameLink < kMaxCallbacksPerConnection)
            next->append(callback);
        else
            ZDLog::appendLog(QStringLiteral("Too many error callbacks registered. Ignoring the new one..."));
    }
    m_registry = std::move(next);
}

void ZDCallbackRegistry::dropDead(const QList<ZDRemoteProxyPtr> &dead)
{
    if (dead.isEmpty())
        return;
    std::lock_guard lock(m_registryMutex);
    auto next = std::make_shared<QList<ZDRemoteProxyPtr>>(*m_registry);
    next->removeIf([&](const ZDRemoteProxyPtr &e) { return dead.contains(e); });
    m_registry = std::move(next);
}

void ZDCallbackRegistry::performErrorCallbackSelector(const QString &op, const QVariantList &args)
{
    // Operations take as many arguments as their name has colons; absent ones travel as none.
    const int argumentCount = ZDRemoteObject::argumentCount(op);
    QVariantList sent = args.mid(0, argumentCount);
    while (sent.size() < argumentCount)
        sent << QVariant();

    // Checked once, before anyone gets it: a call that cannot travel (grown past the
    // frame limit by what the agent adds to a peer's values) is refused, and costs no console its place.
    QString error;
    if (ZDWireMessage::call(0, 0, op, sent, true).toFrame(nullptr, ZDWireLimits(), &error).isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Error: %@ cannot be sent to the consoles (%@). Dropping it..."), op, error);
        return;
    }

    QList<ZDRemoteProxyPtr> dead;
    for (const ZDRemoteProxyPtr &entry : callbacks()) {
        try {
            if (!entry->respondsToSelector(op)) {
                ZDLog::appendLog(QStringLiteral("Error: error callback object does not respond to selector %@."), op);
                break;
            }
            // Oneway: a console busy or gone never holds up the agent.
            entry->callOneway(op, sent);
        } catch (const ZDLinkException &e) {
            if (linkGone(e))
                dead << entry;
            else
                ZDLog::appendLog(QStringLiteral("Error: %@ was not delivered to one console: %@"), op, e.reason());
        }
    }
    dropDead(dead);
}

void ZDCallbackRegistry::postError(const ZDRemoteError &error)
{
    performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kAddErrorToQueueHostname),
                                 {QVariant::fromValue(error), m_hostName ? m_hostName() : QString()});
}

void ZDCallbackRegistry::postErrorUserInfo(const ZDRemoteError &error, const QVariantMap &info)
{
    QVariantMap withHost = info;
    withHost.insert(QStringLiteral("hostname"), m_hostName ? m_hostName() : QString());
    performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kAddErrorToQueueUserInfo),
                                 {QVariant::fromValue(error), withHost});
}

void ZDCallbackRegistry::postErrorWithCode(int code, const QString &infoString)
{
    QVariantMap errorInfo;
    if (!infoString.isNull())
        errorInfo.insert(QStringLiteral("info"), infoString);
    postErrorUserInfo(ZDRemoteError(QString::fromLatin1(ZDOrv::kErrorDomain), code, errorInfo), {});
}

void ZDCallbackRegistry::postErrorString(const QString &text)
{
    performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kAddStringToQueueHostname),
                                 {text.isNull() ? QVariant() : QVariant(text), m_hostName ? m_hostName() : QString()});
}

void ZDCallbackRegistry::postErrorStringUserInfo(const QString &text, const QVariantMap &info)
{
    QVariantMap withHost = info;
    withHost.insert(QStringLiteral("hostname"), m_hostName ? m_hostName() : QString());
    performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kAddStringToQueueUserInfo),
                                 {text.isNull() ? QVariant() : QVariant(text), withHost});
}

void ZDCallbackRegistry::incrementRemoteProgress()
{
    performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kIncrementProgress));
}

void ZDCallbackRegistry::postFinishedTask()
{
    // The exchange makes one armed task give exactly one notice, however many threads race here.
    if (!m_shouldPostFinishedTask.exchange(false))
        return;
    invalidateTaskFinishTimeoutTimer();
    performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kTaskFinished));
}

void ZDCallbackRegistry::shouldPostFinishedTaskWithTimeout(double seconds)
{
    constexpr double kMaxSeconds = 24 * 3600;
    const double bounded = std::isfinite(seconds) ? std::clamp(seconds, 0.0, kMaxSeconds) : 0.0;
    const quint64 generation = ++m_finishGeneration;
    m_shouldPostFinishedTask = true;
    scheduleFinishTimer(generation, int(std::lround(bounded * 1000)));
}

void ZDCallbackRegistry::invalidateTaskFinishTimeoutTimer()
{
    scheduleFinishTimer(++m_finishGeneration, -1);
}

bool ZDCallbackRegistry::shouldPostFinishedTask() const
{
    return m_shouldPostFinishedTask;
}

void ZDCallbackRegistry::scheduleFinishTimer(quint64 generation, int ms)
{
    auto apply = [this, generation, ms] {
        // A later arming or cancelling has already spoken.
        if (generation != m_finishGeneration)
            return;
        m_finishTimer->stop();
        m_timerGeneration = generation;
        if (ms >= 0)
            m_finishTimer->start(ms);
    };
    ZDThreads::runOn(this, apply);
}

void ZDCallbackRegistry::taskFinishTimeout(quint64 generation)
{
    if (generation != m_finishGeneration || !m_shouldPostFinishedTask)
        return;
    ZDLog::appendLog(QStringLiteral("Task timed out. Finishing..."));
    postFinishedTask();
}

void ZDCallbackRegistry::taskIncrementProgress()
{
    incrementRemoteProgress();
}

void ZDCallbackRegistry::taskFinished()
{
    postFinishedTask();
    performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kUpdateConfig), {m_hostName ? m_hostName() : QString()});
}

void ZDCallbackRegistry::taskError(const QVariantMap &userInfo)
{
    // The notice comes from another process: only an integer code and a bounded text count.
    const QVariant code = userInfo.value(QStringLiteral("errorCode"));
    bool codeOk = false;
    const qlonglong number = code.toLongLong(&codeOk);
    const bool codeIsNumber = code.typeId() != QMetaType::QString && code.typeId() != QMetaType::QByteArray
                              && code.typeId() != QMetaType::Bool;
    if (code.isValid() && codeOk && codeIsNumber && number >= INT_MIN && number <= INT_MAX) {
        postErrorWithCode(int(number), QString());
        return;
    }
    const QVariant text = userInfo.value(QStringLiteral("errorString"));
    if (!text.isValid())
        ZDLog::appendLog(QStringLiteral("Task error returned but no error data was found. User info: %@"),
                         QVariant(userInfo));
    const QString errorString = text.typeId() == QMetaType::QString ? text.toString().left(kMaxToolErrorText) : QString();
    postErrorStringUserInfo(errorString, {});
}

void ZDCallbackRegistry::setProcessing(bool processing)
{
    std::lock_guard lock(m_conditionMutex);
    m_isProcessing = processing;
}

bool ZDCallbackRegistry::isProcessing() const
{
    std::lock_guard lock(m_conditionMutex);
    return m_isProcessing;
}

void ZDCallbackRegistry::resetThreadedObjectDict()
{
    std::lock_guard lock(m_countMutex);
    m_threadedObjectDict = QVariantMap();
}

void ZDCallbackRegistry::threadedObjectDictSetObject(const QVariant &object, const QString &key)
{
    if (!object.isValid() || key.isNull())
        return;
    std::lock_guard lock(m_countMutex);
    QVariantMap next = m_threadedObjectDict;
    next.insert(key, object);
    m_threadedObjectDict = std::move(next);
}

QVariantMap ZDCallbackRegistry::threadedObjectDict() const
{
    std::lock_guard lock(m_countMutex);
    return m_threadedObjectDict;
}

void ZDCallbackRegistry::incrementTaskThreadCount()
{
    std::lock_guard lock(m_countMutex);
    ++m_taskThreadCount;
}

void ZDCallbackRegistry::decrementTaskThreadCount()
{
    std::lock_guard lock(m_countMutex);
    if (--m_taskThreadCount >= 1)
        return;
    m_taskThreadCount = 0;
    // Cleared and woken under the waiters' own lock, so no wake-up falls between test and wait.
    std::lock_guard conditionLock(m_conditionMutex);
    m_isProcessing = false;
    m_condition.notify_all();
}

int ZDCallbackRegistry::taskThreadCount() const
{
    std::lock_guard lock(m_countMutex);
    return m_taskThreadCount;
}

void ZDCallbackRegistry::waitOnProcessing()
{
    if (ZDThreads::isMainThread()) {
        ZDLog::appendLog(QStringLiteral("Error: trying to wait on main thread. Aborting..."));
        return;
    }
    // One condition variable for every waiter: replacing it per wait would strand
    // earlier waiters on the old one.
    std::unique_lock lock(m_conditionMutex);
    m_condition.wait(lock, [this] { return !m_isProcessing; });
}
