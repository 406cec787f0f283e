#include "dispatch/ZDDispatcher.h"

#include "dispatch/ZDCallback.h"
#include "dispatch/ZDCredentialPrompt.h"
#include "dispatch/ZDCredentialStore.h"
#include "dispatch/ZDErrorCallback.h"
#include "log/ZDException.h"
#include "rpc/ZDLinkException.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteObject.h"
#include "process/ZDThreads.h"

#include <QCoreApplication>
#include <QSet>
#include <QThread>

#include <thread>
#include <vector>

namespace {

using namespace Qt::StringLiterals;

const QString kAuthName = QString::fromLatin1(ZDCredentialStore::kAuthName);
const QString kAuthPass = QString::fromLatin1(ZDCredentialStore::kAuthPass);

QString hostOf(const ZDServicePtr &service)
{
    return ZDDispatcher::answerKey(service);
}

// What the administrator reads when a call cannot be made: no selector names.
QString unsupported(const QString &op, bool connected)
{
    return connected ? QStringLiteral("its agent has no operation \"%1\" (an older or different agent)").arg(op.section(u':', 0, 0))
                     : QStringLiteral("not connected");
}

// As many arguments as the operation has labels; missing ones travel as null.
QVariantList argumentsFor(const QString &op, const QVariant &obj1, const QVariant &obj2)
{
    const int count = ZDRemoteObject::argumentCount(op);
    QVariantList args;
    for (int i = 0; i < count; ++i)
        args << (i == 0 ? obj1 : i == 1 ? obj2 : QVariant());
    return args;
}

bool isValue(const QVariant &v)
{
    return v.isValid() && !v.isNull();
}

} // namespace

struct ZDDispatcher::Worker
{
    std::thread thread;
    std::atomic<bool> done{false};
};

// Results of one read, shared by its workers: a late worker still has somewhere to write.
struct ZDDispatcher::Batch
{
    std::mutex mutex;
    QVariantMap results;

    // Readers only ever get a snapshot taken under the lock, so inserting in place
    // keeps them seeing whole dictionaries without copying one per computer.
    void set(const QString &host, const QVariant &value)
    {
        std::lock_guard lock(mutex);
        results.insert(host, value);
    }
    QVariantMap snapshot()
    {
        std::lock_guard lock(mutex);
        return results;
    }
};

ZDDispatcher::ZDDispatcher(ServiceProvider allServices, QObject *parent)
    : QObject(parent), m_allServices(std::move(allServices)), m_cores(std::max(1, QThread::idealThreadCount())),
      m_readGroups(std::max(m_cores.load(), kReadGroups)),
      m_credentials(std::make_unique<ZDCredentialStore>())
{
    m_credentials->rememberPinsBeforeKeyedPasswords();
}

ZDDispatcher::~ZDDispatcher()
{
    cancelProcessing();
    reapWorkers(true);
}

// ---- selection ------------------------------------------------------------------

void ZDDispatcher::setSelectionProvider(ServiceProvider selection)
{
    std::lock_guard lock(m_mutex);
    m_selection = std::move(selection);
}

ZDDispatcher::ServiceList ZDDispatcher::allServices() const
{
    return m_allServices ? m_allServices() : ServiceList();
}

ZDDispatcher::ServiceList ZDDispatcher::selectedServices() const
{
    ServiceProvider selection;
    {
        std::lock_guard lock(m_mutex);
        selection = m_selection;
    }
    // A provider's answer is final: an empty group selected means no computer, not all.
    const ServiceList chosen = selection ? selection() : allServices();
    ServiceList unique;
    QSet<const ZDService *> seen;
    for (const ZDServicePtr &s : std::as_const(chosen)) {
        if (s && !seen.contains(s.get())) {
            seen.insert(s.get());
            unique << s;
        }
    }
    return unique;
}

QList<ZDDispatcher::ServiceList> ZDDispatcher::selectedServicesForCores(const ServiceList &services, int cores)
{
    const qsizetype n = services.size();
    const qsizetype c = std::max(1, cores);
    QList<ServiceList> groups;
    if (n == 0)
        return groups;
    if (n <= c) {
        for (const ZDServicePtr &s : services)
            groups << ServiceList{s};
        return groups;
    }
    // n / c each, and one more for the first n % c groups: nobody is left out.
    const qsizetype base = n / c;
    const qsizetype extra = n % c;
    qsizetype at = 0;
    for (qsizetype g = 0; g < c; ++g) {
        const qsizetype size = base + (g < extra ? 1 : 0);
        groups << services.mid(at, size);
        at += size;
    }
    return groups;
}

QList<ZDDispatcher::ServiceList> ZDDispatcher::selectedServicesForCores() const
{
    return selectedServicesForCores(selectedServices(), m_cores);
}

int ZDDispatcher::coreCount() const
{
    return m_cores;
}

void ZDDispatcher::setCoreCount(int cores)
{
    m_cores = std::max(1, cores);
    m_readGroups = m_cores.load();
}

// ---- credentials: configuration -----------------------------------------------------

void ZDDispatcher::setCredentialPrompt(std::shared_ptr<ZDCredentialPrompt> prompt)
{
    std::lock_guard lock(m_mutex);
    m_prompt = std::move(prompt);
}

std::shared_ptr<ZDCredentialPrompt> ZDDispatcher::prompt() const
{
    std::lock_guard lock(m_mutex);
    return m_prompt;
}

ZDCredentialStore &ZDDispatcher::credentialStore() const
{
    return *m_credentials;
}

void ZDDispatcher::removeStoredPasswordForHost(const QString &host)
{
    if (host.isEmpty())
        return;
    QString key = host;
    for (const ZDServicePtr &s : allServices()) {
        if (s && (s->credentialKey() == host || s->credentialHost() == host || s->hostKey() == host)) {
            key = s->hostKey();
            // The password is filed under the computer's agent key.
            if (!s->credentialKey().isEmpty())
                m_credentials->removeStoredPasswordForHost(key, s->credentialKey());
            break;
        }
    }
    m_credentials->removeStoredPasswordForHost(key, host);
}

void ZDDispatcher::setErrorCallback(ZDErrorCallback *errorCallback, bool countTaskFinished)
{
    if (!errorCallback)
        return;
    connect(errorCallback, &ZDErrorCallback::credentialsRejected, this,
            [this](const QString &host) { removeStoredPasswordForHost(host); }, Qt::DirectConnection);
    if (countTaskFinished)
        connect(errorCallback, &ZDErrorCallback::taskFinished, this, [this] { decrementTaskThreadCount(); },
                Qt::DirectConnection);
}

bool ZDDispatcher::removeAllStoredPasswords()
{
    return m_credentials->removeAllStoredPasswords();
}

// ---- thread bookkeeping ------------------------------------------------------------

bool ZDDispatcher::isMainThread()
{
    return ZDThreads::isMainThread();
}

int ZDDispatcher::taskThreadCount() const
{
    std::lock_guard lock(m_mutex);
    return m_taskThreadCount;
}

bool ZDDispatcher::isProcessing() const
{
    std::lock_guard lock(m_mutex);
    return m_processing;
}

void ZDDispatcher::incrementTaskThreadCount()
{
    int count = 0;
    {
        std::lock_guard lock(m_mutex);
        count = ++m_taskThreadCount;
    }
    ZDLog::fastAppendLog(u"Task threads: %i"_s, count);
}

void ZDDispatcher::decrementTaskThreadCount()
{
    int count = 0;
    {
        std::lock_guard lock(m_mutex);
        count = --m_taskThreadCount;
    }
    ZDLog::fastAppendLog(u"Task threads: %i"_s, count);
    if (count < 1)
        cancelTaskThreads();
}

void ZDDispatcher::cancelTaskThreads()
{
    {
        std::lock_guard lock(m_mutex);
        m_processing = false;
        m_taskThreadCount = 0;
    }
    m_condition.notify_all();
    if (!m_installingUpdate)
        Q_EMIT progressFinished();
}

bool ZDDispatcher::waitOnProcessingWithTimeout(double seconds)
{
    if (isMainThread()) {
        ZDLog::appendLog(u"Error: trying to wait on main thread. Aborting..."_s);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::unique_lock lock(m_mutex);
    // Steps of 20 ms; cancelTaskThreads and cancelProcessing wake us at once.
    while (m_processing && !m_cancelled) {
        if (seconds > 0 && std::chrono::steady_clock::now() >= deadline)
            break;
        m_condition.wait_for(lock, std::chrono::milliseconds(kWaitStepMs));
    }
    return !m_processing;
}

void ZDDispatcher::cancelProcessing()
{
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
    }
    m_condition.notify_all();
}

void ZDDispatcher::startWorker(std::function<void()> body)
{
    reapWorkers(false);
    auto worker = std::make_unique<Worker>();
    Worker *w = worker.get();
    worker->thread = std::thread([body = std::move(body), w] {
        body();
        w->done = true;
    });
    std::lock_guard lock(m_workersMutex);
    m_workers.push_back(std::move(worker));
}

void ZDDispatcher::reapWorkers(bool all)
{
    std::list<std::unique_ptr<Worker>> finished;
    {
        std::lock_guard lock(m_workersMutex);
        for (auto it = m_workers.begin(); it != m_workers.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = m_workers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto &w : finished) {
        if (w->thread.joinable())
            w->thread.join();
    }
}

// Starts the progress for a batch: clears an old cancel, marks the console busy.
void ZDDispatcher::startBatch(qsizetype total)
{
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = false;
        m_processing = true;
    }
    Q_EMIT progressStarted(int(total));
}

// ---- batches -------------------------------------------------------------------------

void ZDDispatcher::startGroupWorkers(const QList<ServiceList> &groups,
                                     const std::function<void(const ZDServicePtr &)> &each)
{
    startPipelinedGroupWorkers(groups, [each](const ZDServicePtr &service) {
        each(service);
        return Finish();
    });
}

void ZDDispatcher::startPipelinedGroupWorkers(const QList<ServiceList> &groups,
                                              const std::function<Finish(const ZDServicePtr &)> &begin)
{
    qsizetype total = 0;
    for (const ServiceList &g : groups)
        total += g.size();
    startBatch(total);
    // Count every worker before any starts, so an early finisher cannot end the batch.
    for (qsizetype i = 0; i < groups.size(); ++i)
        incrementTaskThreadCount();
    qsizetype started = 0;
    for (const ServiceList &group : groups) {
        if (m_cancelled)
            break;
        ++started;
        startWorker([this, group, begin] {
            // Each computer's call goes out before the first answer is waited for: answers
            // come in while the rest are asked, and one already in costs no wait.
            std::vector<Finish> finishes;
            finishes.reserve(size_t(group.size()));
            for (const ZDServicePtr &service : group) {
                if (m_cancelled)
                    break;
                // A computer taken off the list meanwhile has no part in the batch any more.
                Finish finish;
                if (service && service->isInvalidated())
                    fail(service, QString::fromLatin1(kRemovedReason));
                else
                    finish = begin(service);
                if (finish)
                    finishes.push_back(std::move(finish));
                else
                    Q_EMIT progressAdvanced();
            }
            for (Finish &finish : finishes) {
                if (m_cancelled)
                    break;
                finish();
                finish = nullptr;
                Q_EMIT progressAdvanced();
            }
            // Calls not finished after a cancel drop their replies here.
            finishes.clear();
            decrementTaskThreadCount();
        });
    }
    for (qsizetype i = started; i < groups.size(); ++i)
        decrementTaskThreadCount();
}

void ZDDispatcher::executeRemoteTasks(const QString &taskID, const QString &bundleID, const QVariant &options)
{
    const QList<ServiceList> groups = selectedServicesForCores();
    if (groups.isEmpty())
        return;
    startGroupWorkers(groups, [this, taskID, bundleID, options](const ZDServicePtr &service) {
        executeRemoteTask(taskID, bundleID, options, service);
    });
}

void ZDDispatcher::executeRemoteMethods(const QString &op, const QVariant &obj1, const QVariant &obj2)
{
    if (isMainThread()) {
        ZDLog::appendLog(u"Error: trying to wait on main thread. Aborting..."_s);
        return;
    }
    const QList<ServiceList> groups = selectedServicesForCores();
    if (groups.isEmpty())
        return;
    startGroupWorkers(groups, [this, op, obj1, obj2](const ZDServicePtr &service) {
        executeRemoteMethod(op, obj1, obj2, service);
    });
    waitOnProcessing();
}

QString ZDDispatcher::answerKey(const ZDServicePtr &service)
{
    if (!service)
        return QString();
    const QString host = service->hostName();
    return host.isEmpty() ? service->name() : host;
}

QStringList ZDDispatcher::hostsOf(const ServiceList &services, const HostOf &hostOf)
{
    QStringList hosts;
    for (const ZDServicePtr &s : services)
        hosts << hostOf(s);
    return hosts;
}

ZDServicePtr ZDDispatcher::serviceNamed(const ServiceList &services, const HostOf &hostOf, const QString &host)
{
    for (const ZDServicePtr &s : services) {
        if (hostOf(s) == host)
            return s;
    }
    return {};
}

QVariantMap ZDDispatcher::answersBy(const QVariantMap &answers, const ServiceList &services, const HostOf &hostOf)
{
    QVariantMap keyed;
    for (const ZDServicePtr &s : services) {
        const QString key = answerKey(s);
        if (answers.contains(key))
            keyed.insert(hostOf(s), answers.value(key));
    }
    return keyed;
}

QVariantMap ZDDispatcher::objectsFromRemoteMethod(const QString &op, const QVariant &obj1, const QVariant &obj2)
{
    if (isMainThread()) {
        ZDLog::appendLog(u"Error: trying to wait on main thread. Aborting..."_s);
        return {};
    }
    // A read waits on the network, not on this side's cores: more calls in flight
    // than cores, so the answers of some come in while others are asked.
    const QList<ServiceList> groups = selectedServicesForCores(selectedServices(), m_readGroups);
    // Nothing to ask: answer at once instead of waiting out the time limit.
    if (groups.isEmpty())
        return {};
    auto batch = std::make_shared<Batch>();
    startPipelinedGroupWorkers(groups, [this, op, obj1, obj2, batch](const ZDServicePtr &service) -> Finish {
        auto answer = beginObjectFromRemoteMethod(op, obj1, obj2, service);
        if (!answer)
            return {};
        return [this, service, batch, answer = std::move(answer)] {
            const QVariant value = answer();
            // An agent without the tool suite sends no host name: its answer must not
            // vanish, so it is kept under the record's name.
            const QString host = hostOf(service);
            if (isValue(value) && !host.isEmpty())
                batch->set(host, value);
        };
    });
    waitOnProcessingWithTimeout(kObjectsTimeoutSeconds);
    return batch->snapshot();
}

void ZDDispatcher::authExecuteRemoteMethods(const QString &op, const QVariant &obj1, const QVariant &obj2)
{
    if (isMainThread()) {
        ZDLog::appendLog(u"Error: trying to wait on main thread. Aborting..."_s);
        return;
    }
    const ServiceList services = selectedServices();
    if (services.isEmpty())
        return;
    // One worker for all: the credential question comes up for one computer at a time.
    startGroupWorkers({services}, [this, op, obj1, obj2](const ZDServicePtr &service) {
        authExecuteRemoteMethod(op, obj1, obj2, service);
    });
    waitOnProcessing();
}

// ---- one computer ------------------------------------------------------------------------

void ZDDispatcher::fail(const ZDServicePtr &service, const QString &reason)
{
    Q_EMIT serviceFailed(hostOf(service), reason);
}

void ZDDispatcher::linkFailed(const ZDServicePtr &service, const std::exception &e, const char *method)
{
    const QString text = ZDException::logException(e, method);
    // A refused call or an argument that cannot travel leaves the link as it was.
    const auto *link = dynamic_cast<const ZDLinkException *>(&e);
    const bool linkIntact =
        link && (link->kind() == ZDLinkException::Kind::Remote || link->kind() == ZDLinkException::Kind::Invalid);
    // Taking a computer off the list cuts its link: its pending call is abandoned.
    if (service && service->isInvalidated()) {
        fail(service, QString::fromLatin1(kRemovedReason));
        return;
    }
    if (service && !linkIntact)
        service->setConnected(false);
    fail(service, ZDException::reasonOf(e).isEmpty() ? text : ZDException::reasonOf(e));
}

bool ZDDispatcher::passGate(const ZDServicePtr &service, const QString &op, Gate gate)
{
    // Taken off the list before its turn came: say so, not that it could not be reached.
    if (service->isInvalidated()) {
        fail(service, QString::fromLatin1(kRemovedReason));
        return false;
    }
    const int code = service->errorCode();
    if (code > 0) {
        const bool exempt = gate == Gate::AuthMethod
                                ? ZDOrv::isTaken(op.toStdString(), ZDOrv::TakenWithErrorWithRights)
                                : gate != Gate::Task && ZDOrv::isTaken(op.toStdString(), ZDOrv::TakenWithError);
        if (!exempt) {
            fail(service, zdFormat(u"skipped: error %i"_s, code));
            return false;
        }
    }
    if (!service->isEnabled() && !(gate == Gate::Object && ZDOrv::isTaken(op.toStdString(), ZDOrv::TakenWhenDisabled))) {
        fail(service, u"skipped: not enabled"_s);
        return false;
    }
    if (!service->isConnected() || !service->proxyObject()) {
        // One attempt at a time: a computer already connecting keeps its attempt.
        if (!service->isProcessing())
            service->connectOnThread();
        if (!service->isConnected() || !service->proxyObject()) {
            const QString text = (gate == Gate::Method || gate == Gate::Object) ? u"Unable to connect to server %@"_s
                                                                                : u"Unable to connect to %@"_s;
            const QString line = zdFormat(text, service->name());
            ZDLog::appendLog(line);
            fail(service, line);
            return false;
        }
    }
    if ((gate == Gate::Task || gate == Gate::AuthMethod) && !service->mayReceiveCredentials()) {
        // Before any password is asked for, looked up or sent.
        const QString line = zdFormat(u"%@ has not enrolled this console: no password is sent to it. Pair it first "
                                      "(\"kestra enroll-token\" here, then \"KestraClient -enroll TOKEN\" as root there)."_s,
                                      service->name());
        ZDLog::appendLog(line);
        fail(service, line);
        return false;
    }
    return true;
}

QVariant ZDDispatcher::objectFromRemoteTask(const QString &taskID, const QString &bundleID, const QVariant &options,
                                            const ZDServicePtr &service)
{
    ZDLog::appendLog(u"Getting object from remote task %@ for app %@ with options %@ on host %@"_s, taskID, bundleID,
                     options, hostOf(service));
    if (!service) {
        ZDLog::appendLog(u"Service doesn't exist"_s);
        return {};
    }
    try {
        if (!passGate(service, QString::fromLatin1(ZDOrv::kExecuteTask), Gate::Task))
            return {};
        ZDLog::appendLog(u"Launching task..."_s);
        const ZDRemoteProxyPtr proxy = service->proxyObject();
        const QString op = QString::fromLatin1(ZDOrv::kExecuteTask);
        if (proxy && proxy->respondsToSelector(op))
            return proxy->call(op, {taskID, bundleID, options});
        ZDLog::appendLog(zdFormat(u"Proxy object doesn't respond to selector %@"_s, op));
        fail(service, unsupported(op, proxy != nullptr));
    } catch (const std::exception &e) {
        linkFailed(service, e, "-[AppController objectFromRemoteTask:bundleID:options:forService:]");
    }
    return {};
}

void ZDDispatcher::executeRemoteTask(const QString &taskID, const QString &bundleID, const QVariant &options,
                                     const ZDServicePtr &service)
{
    objectFromRemoteTask(taskID, bundleID, options, service);
}

QVariant ZDDispatcher::objectFromRemoteMethod(const QString &op, const QVariant &obj1, const QVariant &obj2,
                                              const ZDServicePtr &service)
{
    const std::function<QVariant()> answer = beginObjectFromRemoteMethod(op, obj1, obj2, service);
    return answer ? answer() : QVariant();
}

std::function<QVariant()> ZDDispatcher::beginObjectFromRemoteMethod(const QString &op, const QVariant &obj1,
                                                                    const QVariant &obj2, const ZDServicePtr &service)
{
    static constexpr char kMethod[] = "-[AppController objectFromRemoteMethod:withObject:withObject:service:]";
    // Lines of every computer of a batch are queued, not waited for: a read across
    // a thousand computers must not wait on the log file.
    ZDLog::fastAppendLog(u"Getting object from remote method %@ on host %@"_s, op, hostOf(service));
    if (!service) {
        ZDLog::appendLog(u"Service doesn't exist"_s);
        return {};
    }
    const auto notAnswered = [this, op, service](bool hasProxy) {
        ZDLog::appendLog(zdFormat(u"Proxy object doesn't respond to selector %@"_s, op));
        fail(service, unsupported(op, hasProxy));
    };
    try {
        if (!passGate(service, op, Gate::Object))
            return {};
        const ZDRemoteProxyPtr proxy = service->proxyObject();
        if (!proxy) {
            notAnswered(false);
            return {};
        }
        // The question and the call in one round trip: a read across a fleet is
        // mostly waiting for answers.
        ZDLog::fastAppendLog(u"Performing method on remote object..."_s);
        auto begun = std::make_shared<ZDRemoteProxy::Begun>(proxy->beginIfResponds(op, argumentsFor(op, obj1, obj2)));
        return [this, service, proxy, begun, notAnswered]() -> QVariant {
            try {
                if (std::optional<QVariant> value = proxy->finish(std::move(*begun)))
                    return std::move(*value);
                notAnswered(true);
            } catch (const std::exception &e) {
                linkFailed(service, e, kMethod);
            }
            return {};
        };
    } catch (const std::exception &e) {
        linkFailed(service, e, kMethod);
    }
    return {};
}

void ZDDispatcher::executeRemoteMethod(const QString &op, const QVariant &obj1, const QVariant &obj2,
                                       const ZDServicePtr &service)
{
    ZDLog::fastAppendLog(u"Executing remote method %@ on host %@"_s, op, hostOf(service));
    if (!service) {
        ZDLog::appendLog(u"Service doesn't exist"_s);
        return;
    }
    try {
        if (!passGate(service, op, Gate::Method))
            return;
        const ZDRemoteProxyPtr proxy = service->proxyObject();
        if (proxy && proxy->respondsToSelector(op)) {
            ZDLog::fastAppendLog(u"Performing method on remote object..."_s);
            proxy->call(op, argumentsFor(op, obj1, obj2));
            return;
        }
        ZDLog::appendLog(zdFormat(u"Proxy object doesn't respond to selector %@"_s, op));
        fail(service, unsupported(op, proxy != nullptr));
    } catch (const std::exception &e) {
        linkFailed(service, e, "-[AppController executeRemoteMethod:withObject:withObject:service:]");
    }
}

bool ZDDispatcher::authExecuteRemoteTask(const QString &taskID, const QString &bundleID, const QVariant &options,
                                         const ZDServicePtr &service, const std::shared_ptr<ZDCallback> &callback)
{
    m_authSkipped = false;
    ZDLog::appendLog(u"Auth executing task %@ for app %@ with options %@ on host %@"_s, taskID, bundleID, options,
                     hostOf(service));
    if (!service) {
        ZDLog::appendLog(u"Service doesn't exist"_s);
        return false;
    }
    try {
        if (!passGate(service, QString::fromLatin1(ZDOrv::kAuthExecuteTask), Gate::Task))
            return false;
        const std::optional<QVariantMap> credentials = credentialsForService(service, true);
        if (!credentials)
            return false;
        ZDLog::appendLog(u"Launching auth task..."_s);
        const ZDRemoteProxyPtr proxy = service->proxyObject();
        const QVariant user = credentials->value(kAuthName);
        const QVariant pass = credentials->value(kAuthPass);
        const QString op = QString::fromLatin1(callback ? ZDOrv::kAuthExecuteTaskCallback : ZDOrv::kAuthExecuteTask);
        if (!proxy || !proxy->respondsToSelector(op)) {
            ZDLog::appendLog(zdFormat(u"Proxy object doesn't respond to selector %@"_s, op));
            fail(service, unsupported(op, proxy != nullptr));
            return false;
        }
        if (callback)
            proxy->call(op, {taskID, bundleID, options, user, pass, QVariant::fromValue(callback->remoteObject()),
                             callback->name()});
        else
            proxy->call(op, {taskID, bundleID, options, user, pass});
        return true;
    } catch (const std::exception &e) {
        linkFailed(service, e, "-[AppController authExecuteRemoteTask:bundleID:options:forService:callback:]");
    }
    return false;
}

bool ZDDispatcher::authExecuteRemoteMethod(const QString &op, const QVariant &obj1, const QVariant &obj2,
                                           const ZDServicePtr &service)
{
    ZDLog::appendLog(u"Auth executing remote method %@ on host %@"_s, op, hostOf(service));
    if (!service) {
        ZDLog::appendLog(u"Service doesn't exist"_s);
        return false;
    }
    try {
        if (!passGate(service, op, Gate::AuthMethod))
            return false;
        const ZDRemoteProxyPtr proxy = service->proxyObject();
        if (!proxy || !proxy->respondsToSelector(op)) {
            ZDLog::appendLog(zdFormat(u"Proxy object doesn't respond to selector %@"_s, op));
            fail(service, unsupported(op, proxy != nullptr));
            return false;
        }
        const std::optional<QVariantMap> credentials = credentialsForService(service, false);
        if (!credentials)
            return false;
        ZDLog::appendLog(u"Launching auth task..."_s);
        QVariantMap auth{{u"authUser"_s, credentials->value(kAuthName)}};
        if (credentials->contains(kAuthPass))
            auth.insert(u"authPass"_s, credentials->value(kAuthPass));
        QVariantMap arguments;
        if (isValue(obj1))
            arguments.insert(u"obj1"_s, obj1);
        if (isValue(obj2))
            arguments.insert(u"obj2"_s, obj2);
        QVariantList args{auth, arguments};
        while (args.size() > ZDRemoteObject::argumentCount(op))
            args.removeLast();
        proxy->call(op, args);
        return true;
    } catch (const std::exception &e) {
        linkFailed(service, e, "-[AppController authExecuteRemoteMethod:withObject:withObject:forService:]");
    }
    return false;
}
