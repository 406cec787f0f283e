#include "fleet/ZDService.h"

#include "trust/ZDTlsIdentity.h"

#include "dispatch/ZDBackgroundPool.h"
#include "link/ZDConnection.h"
#include "dispatch/ZDErrorCallback.h"
#include "log/ZDException.h"
#include "log/ZDLog.h"
#include "platform/ZDMainBundle.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "fleet/ZDServiceLink.h"
#include "fleet/ZDServiceIcons.h"
#include "process/ZDThreads.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

constexpr qsizetype kMaxTextLength = 1024;
constexpr int kStopWaitMs = 2000;

std::atomic<int> g_configTimeoutMs{20000};
std::atomic<int> g_retryMs{8000};
std::atomic<int> g_minClient{-1};
std::atomic<int> g_minOrv{-1};
std::atomic<int> g_adminVersion{-1};

int bundleInt(const char *key)
{
    bool ok = false;
    const int value = ZDMainBundle::infoDictionary().value(QLatin1String(key)).toString().toInt(&ok);
    return ok ? value : 0;
}

// A number from an untrusted value: integers, reals and numeric text; otherwise the fallback.
int intOf(const QVariant &value, int fallback)
{
    switch (value.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Bool: {
        const double v = value.toDouble();
        if (v > 2147483647.0)
            return 2147483647;
        if (v < -2147483648.0)
            return -2147483647 - 1;
        return static_cast<int>(v);
    }
    case QMetaType::QString: {
        bool ok = false;
        const int v = value.toString().trimmed().toInt(&ok);
        return ok ? v : fallback;
    }
    default:
        return fallback;
    }
}

bool isLinkFailure(const std::exception &e)
{
    const auto *link = dynamic_cast<const ZDLinkException *>(&e);
    return link && (link->kind() == ZDLinkException::Kind::LinkFailure || link->kind() == ZDLinkException::Kind::Timeout);
}

} // namespace

struct ZDService::Private
{
    mutable std::mutex mutex;
    QString name;
    QString hostName;
    QString manualIP;
    int port = 0;
    bool isManual = false;
    bool hasNetService = false;
    ZDDNSSDService netService;
    QByteArray icon;
    QVariantMap configDict;
    ZDServiceGroup *parent = nullptr;
    std::shared_ptr<ZDErrorCallback> errorCallback;
    ZDRemoteObjectPtr remote;
    std::shared_ptr<ZDServiceLink> link;

    std::atomic<bool> connected{false};
    std::atomic<bool> runLoopRunning{false};
    std::atomic<bool> needsMaintenance{false};
    std::atomic<bool> processing{false};
    std::atomic<bool> enabled{true};
    std::atomic<bool> invalidated{false};
    std::atomic<bool> disconnected{false}; // on purpose: no retry
    std::atomic<bool> awaitingConfiguration{false};
    std::atomic<bool> linkEnded{false}; // the current link is done
    std::atomic<int> errorCode{0};

    // Live on the record's thread, made when first needed.
    QTimer *retryTimer = nullptr;
    QTimer *configTimer = nullptr;
};

ZDService::ZDService()
    : d(std::make_unique<Private>())
{
}

ZDService::~ZDService()
{
    d->invalidated = true;
    d->connected = false;
    stopLink(kStopWaitMs);
}

std::shared_ptr<ZDService> ZDService::make()
{
    // The last reference may drop on any thread; the QObject goes on its own.
    std::shared_ptr<ZDService> service(new ZDService, [](ZDService *s) {
        QThread *owner = s->thread();
        if (owner == QThread::currentThread() || !owner || owner->isFinished())
            delete s;
        else
            s->deleteLater();
    });
    std::weak_ptr<ZDService> weak = service;
    service->d->remote = ZDRemoteObject::create();
    service->d->remote->setContract(ZDOrv::Side::ComputerRecord);
    service->d->remote->serve(ZDOrv::kProcessConfiguration, [weak](const QVariantList &args) {
        if (auto self = weak.lock())
            self->processConfiguration(args.value(0));
        return QVariant();
    });
    return service;
}

std::shared_ptr<ZDService> ZDService::serviceWithNetService(const ZDDNSSDService &service,
                                                            const std::shared_ptr<ZDErrorCallback> &errorCallback)
{
    auto record = make();
    {
        std::lock_guard lock(record->d->mutex);
        record->d->name = service.name.left(kMaxTextLength);
        record->d->hostName = service.hostName.left(kMaxTextLength);
        record->d->port = service.port;
        record->d->hasNetService = true;
        record->d->netService = service;
        record->d->errorCallback = errorCallback;
    }
    record->d->processing = true;
    if (!service.txt.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Getting TXT record..."));
        const QString model = service.txt.value(QLatin1String(ZDOrv::kTxtModel)).toString();
        const QImage icon = iconForMacModel(model, ZDServiceIcons::kListIconSize);
        if (!icon.isNull())
            record->setIconData(ZDServiceIcons::pngData(icon));
    }
    record->connectOnThread();
    return record;
}

std::shared_ptr<ZDService> ZDService::serviceWithName(const QString &name, const QString &hostName, const QString &ip,
                                                      int port, const std::shared_ptr<ZDErrorCallback> &errorCallback)
{
    auto record = make();
    {
        std::lock_guard lock(record->d->mutex);
        record->d->name = name.left(kMaxTextLength);
        record->d->hostName = hostName.left(kMaxTextLength);
        record->d->manualIP = ip.left(kMaxTextLength);
        record->d->port = port;
        record->d->isManual = true;
        record->d->errorCallback = errorCallback;
    }
    record->d->processing = true;
    record->connectOnThread();
    return record;
}

// --- accessors --------------------------------------------------------------

QString ZDService::name() const
{
    std::lock_guard lock(d->mutex);
    return d->name;
}

QString ZDService::hostName() const
{
    std::lock_guard lock(d->mutex);
    return d->hostName;
}

QString ZDService::hostKey() const
{
    std::lock_guard lock(d->mutex);
    return d->isManual && !d->manualIP.isEmpty() ? d->manualIP : d->hostName;
}

QString ZDService::groupKey() const
{
    std::lock_guard lock(d->mutex);
    if (d->isManual)
        return QStringLiteral("manual:%1:%2").arg(d->manualIP).arg(d->port);
    return d->name.isEmpty() ? QString() : QStringLiteral("service:") + d->name;
}

QString ZDService::credentialHost() const
{
    const QString host = hostName();
    if (host.isEmpty())
        return hostKey();
    if (!isManual())
        return host;
    // The agent may name itself anything: its name counts only where the administrator gave the same one.
    const QString plain = host.endsWith(QLatin1Char('.')) ? host.chopped(1) : host;
    const QString given = name();
    const bool agrees = plain.compare(given, Qt::CaseInsensitive) == 0
        || plain.section(QLatin1Char('.'), 0, 0).compare(given, Qt::CaseInsensitive) == 0;
    return agrees ? host : hostKey();
}

QString ZDService::credentialKey() const
{
    std::shared_ptr<ZDServiceLink> link;
    {
        std::lock_guard lock(d->mutex);
        link = d->link;
    }
    if (!link)
        return {};
    std::lock_guard lock(link->mutex);
    const QString key = link->connection && link->connection->isValid()
        ? ZDTlsIdentity::normalizeFingerprint(link->connection->peerKey())
        : QString();
    return key.isEmpty() ? QString() : QStringLiteral("sha256:") + key;
}

QString ZDService::manualIP() const
{
    std::lock_guard lock(d->mutex);
    return d->manualIP;
}

int ZDService::port() const
{
    std::lock_guard lock(d->mutex);
    return d->port;
}

bool ZDService::isManual() const
{
    std::lock_guard lock(d->mutex);
    return d->isManual;
}

QString ZDService::ipAddress() const
{
    std::lock_guard lock(d->mutex);
    if (d->isManual)
        return d->manualIP;
    if (!d->hasNetService)
        return {};
    for (const QString &text : d->netService.addresses) {
        const QHostAddress address(text);
        if (address.protocol() == QAbstractSocket::IPv4Protocol && address != QHostAddress(QHostAddress::AnyIPv4))
            return address.toString();
    }
    return {};
}

bool ZDService::hasNetService() const
{
    std::lock_guard lock(d->mutex);
    return d->hasNetService;
}

ZDDNSSDService ZDService::netService() const
{
    std::lock_guard lock(d->mutex);
    return d->netService;
}

QString ZDService::registeredName() const
{
    std::lock_guard lock(d->mutex);
    QString host = d->hasNetService && !d->netService.hostName.isEmpty() ? d->netService.hostName : d->hostName;
    if (host.isEmpty())
        return {};
    if (!host.endsWith(QLatin1Char('.')))
        host += QLatin1Char('.');
    QString name = QLatin1String(ZDOrv::kRegisteredNamePrefix) + host;
    if (d->hasNetService) {
        const QString txtName = d->netService.txt.value(QLatin1String(ZDOrv::kTxtName)).toString();
        if (!txtName.isEmpty())
            name = txtName;
    }
    if (name.size() > ZDOrv::kMaxRegisteredNameLength)
        name.truncate(ZDOrv::kMaxRegisteredNameLength);
    return name;
}

bool ZDService::isConnected() const { return d->connected; }
bool ZDService::needsMaintenance() const { return d->needsMaintenance; }
bool ZDService::isProcessing() const { return d->processing; }
bool ZDService::isEnabled() const { return d->enabled; }
void ZDService::setEnabled(bool enabled) { d->enabled = enabled; }
int ZDService::errorCode() const { return d->errorCode; }
bool ZDService::isInvalidated() const { return d->invalidated; }

void ZDService::setNeedsMaintenance(bool needs)
{
    if (d->needsMaintenance.exchange(needs) != needs)
        refreshServiceView();
}

void ZDService::setConnectedFlag(bool connected) { d->connected = connected; }
void ZDService::setRunLoopRunning(bool running) { d->runLoopRunning = running; }

void ZDService::linkEnded(const ZDServiceLink *link)
{
    std::lock_guard lock(d->mutex);
    if (d->link.get() != link)
        return; // a newer link owns the state now
    d->runLoopRunning = false;
    d->connected = false;
    d->linkEnded = true;
    refreshServiceView();
}

bool ZDService::isConnectionThreadRunning() const
{
    std::shared_ptr<ZDServiceLink> link;
    {
        std::lock_guard lock(d->mutex);
        link = d->link;
    }
    return link && link->isRunning();
}

bool ZDService::isSettled() const
{
    // Connected counts only with the configuration handled: before that the
    // record may not be usable yet.
    return d->invalidated || d->disconnected || d->linkEnded || (d->connected && !d->processing);
}

void ZDService::setErrorCode(int code)
{
    d->errorCode = code;
    if (code == 0)
        return;
    const QString host = hostName();
    onOwnThread([this, code, host] { Q_EMIT postLocalError(code, host); });
}

QVariantMap ZDService::configDict() const
{
    std::lock_guard lock(d->mutex);
    return d->configDict;
}

bool ZDService::mayReceiveCredentials() const
{
    std::shared_ptr<ZDServiceLink> link;
    bool enrolled = false;
    {
        std::lock_guard lock(d->mutex);
        link = d->link;
        enrolled = intOf(d->configDict.value(QLatin1String(ZDOrv::kConfigConsoleEnrolled)), 0) == 1;
    }
    if (!link || !enrolled)
        return false;
    std::lock_guard lock(link->mutex);
    return link->connection && link->connection->isValid() && !link->connection->peerKey().isEmpty();
}

bool ZDService::isOpenMode() const
{
    if (intOf(configDict().value(QLatin1String(ZDOrv::kConfigOpenMode)), 0) == 1)
        return true;
    return hasNetService() && netService().txt.value(QLatin1String(ZDOrv::kTxtOpen)).toString() == QLatin1String("1");
}

QByteArray ZDService::icon() const
{
    std::lock_guard lock(d->mutex);
    return d->icon;
}

void ZDService::setIconData(const QByteArray &png)
{
    std::lock_guard lock(d->mutex);
    d->icon = png;
}

ZDServiceGroup *ZDService::parentGroup() const
{
    std::lock_guard lock(d->mutex);
    return d->parent;
}

void ZDService::setParentGroup(ZDServiceGroup *group)
{
    std::lock_guard lock(d->mutex);
    d->parent = group;
}

ZDRemoteProxyPtr ZDService::proxyObject() const
{
    std::shared_ptr<ZDServiceLink> link;
    {
        std::lock_guard lock(d->mutex);
        link = d->link;
    }
    if (!link)
        return {};
    std::lock_guard lock(link->mutex);
    return link->proxy;
}

ZDRemoteObjectPtr ZDService::remoteObject() const { return d->remote; }

int ZDService::compareTitle(const ZDService &other) const
{
    const int c = QString::compare(name(), other.name(), Qt::CaseInsensitive);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// --- plumbing ---------------------------------------------------------------

void ZDService::onOwnThread(std::function<void()> task)
{
    ZDThreads::runOn(this, std::move(task));
}

void ZDService::startSpinner()
{
    d->processing = true;
    refreshServiceView();
}

void ZDService::stopSpinner()
{
    d->processing = false;
    refreshServiceView();
}

void ZDService::refreshServiceView()
{
    ZDThreads::post(this, [this] { Q_EMIT serviceRefresh(this); });
}

// A failing call means the link is gone: disconnected, and the retry takes over.
void ZDService::callFailed(const std::exception &e, const char *method)
{
    ZDException::logException(e, method);
    if (isLinkFailure(e)) {
        setConnected(false);
        armRetry();
    }
}

// --- connecting -------------------------------------------------------------

void ZDService::setConnected(bool connected)
{
    if (connected) {
        d->connected = true;
        return;
    }
    const bool was = d->connected.exchange(false);
    std::shared_ptr<ZDServiceLink> link;
    {
        std::lock_guard lock(d->mutex);
        link = d->link;
    }
    if (link)
        link->requestStop();
    if (was && !d->invalidated && !d->disconnected)
        armRetry();
}

bool ZDService::flushIncomingCalls(int waitMs)
{
    std::shared_ptr<ZDServiceLink> link;
    {
        std::lock_guard lock(d->mutex);
        link = d->link;
    }
    if (!link)
        return true;
    auto served = std::make_shared<QSemaphore>();
    if (!link->postAfterQueuedCalls([served] { served->release(); }))
        return true;
    return served->tryAcquire(1, waitMs);
}

bool ZDService::stopLink(int waitMs)
{
    std::shared_ptr<ZDServiceLink> link;
    {
        std::lock_guard lock(d->mutex);
        link = d->link;
    }
    if (!link)
        return true;
    link->requestStop();
    return link->waitFinished(waitMs);
}

void ZDService::connectOnThread()
{
    if (d->invalidated)
        return;
    if (d->connected)
        disconnect();
    else
        stopLink(kStopWaitMs); // a connection attempt still under way
    d->disconnected = false;

    std::shared_ptr<ZDErrorCallback> callback;
    {
        std::lock_guard lock(d->mutex);
        callback = d->errorCallback;
    }
    auto link = std::make_shared<ZDServiceLink>();
    std::weak_ptr<ZDService> weak = weak_from_this();
    // Each connection gets its own callback object: what its agent reports concerns this record only.
    ZDRemoteObjectPtr callbackObject = callback ? callback->remoteObjectFor(shared_from_this()) : nullptr;
    {
        std::lock_guard lock(d->mutex);
        d->link = link;
        d->linkEnded = false;
    }
    ZDServiceLink::start(weak, link, callbackObject);
}

void ZDService::armRetry()
{
    if (d->invalidated || d->disconnected)
        return;
    onOwnThread([this] {
        if (d->connected || d->invalidated || d->disconnected)
            return;
        if (!d->retryTimer) {
            d->retryTimer = new QTimer(this);
            d->retryTimer->setSingleShot(true);
            QObject::connect(d->retryTimer, &QTimer::timeout, this, [this] {
                if (!d->connected && !d->invalidated && !d->disconnected)
                    connectOnThread();
            });
        }
        d->retryTimer->start(g_retryMs.load());
        ZDLog::appendLog(QStringLiteral("Attempting to reconnect to %@ in 8 seconds..."), name());
    });
}

void ZDService::disconnect() { endConnection(kStopWaitMs); }

void ZDService::endConnection(int waitMs)
{
    try {
        ZDLog::appendLog(QStringLiteral("Disconnecting %@..."), name());
        d->disconnected = true;
        d->awaitingConfiguration = false;
        d->connected = false;
        onOwnThread([this] {
            if (d->retryTimer)
                d->retryTimer->stop();
            if (d->configTimer)
                d->configTimer->stop();
        });
        d->processing = false;
        stopLink(waitMs);
        refreshServiceView();
        ZDLog::appendLog(QStringLiteral("Disconnected"));
    } catch (const std::exception &e) {
        ZDException::logException(e, "-[ZDService disconnect]");
    }
}

void ZDService::invalidate(bool notify) { endRecord(notify, kStopWaitMs); }

void ZDService::endRecord(bool notify, int waitMs)
{
    try {
        ZDLog::appendLog(QStringLiteral("Invalidating %@..."), name());
        d->invalidated = true;
        endConnection(waitMs);
        if (notify)
            ZDThreads::post(this, [this] { Q_EMIT serviceInvalidated(this); });
    } catch (const std::exception &e) {
        ZDException::logException(e, "-[ZDService invalidate:]");
    }
}

void ZDService::invalidateServices(const QList<std::shared_ptr<ZDService>> &services, bool notify)
{
    QList<std::shared_ptr<ZDServiceLink>> links;
    for (const auto &service : services) {
        if (!service)
            continue;
        service->d->invalidated = true;
        service->d->disconnected = true;
        service->d->connected = false;
        std::lock_guard lock(service->d->mutex);
        if (service->d->link) {
            service->d->link->requestStop();
            links.append(service->d->link);
        }
    }
    const QDeadlineTimer deadline(kStopWaitMs);
    for (const auto &link : std::as_const(links))
        link->waitFinished(int(qMax<qint64>(0, deadline.remainingTime())));
    for (const auto &service : services) {
        if (service)
            service->endRecord(notify, 0); // timers, logs, notices; the threads are done or end on their own
    }
}

bool ZDService::ping()
{
    const auto proxy = proxyObject();
    if (!proxy)
        return false;
    try {
        if (!proxy->respondsToSelector(QString::fromLatin1(ZDOrv::kPing)))
            return false;
        proxy->call(QString::fromLatin1(ZDOrv::kPing));
        return true;
    } catch (const ZDLinkException &e) {
        callFailed(e, "-[ZDService ping]");
        return false;
    }
}

// --- configuration ----------------------------------------------------------

bool ZDService::fetchInitialConfiguration()
{
    startSpinner();
    const auto proxy = proxyObject();
    const QString op = QString::fromLatin1(ZDOrv::kFetchInitialConfiguration);
    try {
        if (!proxy || !proxy->respondsToSelector(op)) {
            ZDLog::appendLog(QStringLiteral("Error: proxy object does not respond to selector %@."), op);
            d->connected = false;
            return false;
        }
        setErrorCode(0);
        d->awaitingConfiguration = true;
        armConfigurationTimer();
        proxy->call(op, {QVariant::fromValue(d->remote)});
        return true;
    } catch (const ZDLinkException &e) {
        d->awaitingConfiguration = false;
        cancelConfigurationTimer();
        callFailed(e, "-[ZDService fetchInitialConfiguration:]");
        d->connected = false;
        return false;
    }
}

void ZDService::armConfigurationTimer()
{
    onOwnThread([this] {
        if (!d->awaitingConfiguration)
            return; // the configuration was faster
        if (!d->configTimer) {
            d->configTimer = new QTimer(this);
            d->configTimer->setSingleShot(true);
            QObject::connect(d->configTimer, &QTimer::timeout, this, &ZDService::connectionTimedOut);
        }
        d->configTimer->start(g_configTimeoutMs.load());
    });
}

void ZDService::cancelConfigurationTimer()
{
    onOwnThread([this] {
        if (d->configTimer)
            d->configTimer->stop();
    });
}

void ZDService::connectionTimedOut()
{
    if (!d->awaitingConfiguration.exchange(false))
        return;
    ZDLog::appendLog(QStringLiteral("Connection timed out for %@."), hostName());
    stopSpinner();
    setErrorCode(ZDOrv::kErrorConnectionTimedOut);
    Q_EMIT serviceConnectFailed(this);
}

void ZDService::processConfiguration(const QVariant &configuration)
{
    std::weak_ptr<ZDService> weak = weak_from_this();
    ZDBackgroundPool::start([weak, configuration] {
        if (auto self = weak.lock())
            self->processConfigurationOnThread(configuration);
    });
}

void ZDService::processConfigurationOnThread(const QVariant &configuration)
{
    d->awaitingConfiguration = false;
    cancelConfigurationTimer();
    const bool isDict = configuration.typeId() == QMetaType::QVariantMap;
    const QVariantMap config = isDict ? configuration.toMap() : QVariantMap();
    const int version = intOf(config.value(QLatin1String(ZDOrv::kConfigVersion)), 0);
    if (!isDict) {
        ZDLog::appendLog(QStringLiteral("No dictionary found"));
        setErrorCode(ZDOrv::kErrorNoConfiguration);
    } else {
        {
            std::lock_guard lock(d->mutex);
            d->configDict = config;
        }
        d->needsMaintenance = config.value(QLatin1String(ZDOrv::kConfigMaintenanceRequested)).toBool();
        if (version > 0 && version < minClientVersion())
            setErrorCode(ZDOrv::kErrorClientOutdated);
        if (intOf(config.value(QLatin1String(ZDOrv::kConfigOrvVersion)), 0) < minOrvVersion())
            setErrorCode(ZDOrv::kErrorToolsOutdated);
        const QVariant preferred = config.value(QLatin1String(ZDOrv::kConfigPreferredHostName));
        if (preferred.typeId() == QMetaType::QString && hostName().isEmpty()) {
            const QString claimed = preferred.toString().left(kMaxTextLength);
            std::shared_ptr<ZDErrorCallback> callback;
            {
                std::lock_guard lock(d->mutex);
                callback = d->errorCallback;
            }
            // Asked without this record's lock: the question reads every record's name.
            if (callback && callback->isHostNameOfAnother(claimed, this)) {
                ZDLog::appendLog(QStringLiteral("The agent of %@ gives the host name of another computer, %@: not taken."),
                                 name(), claimed);
            } else {
                std::lock_guard lock(d->mutex);
                if (d->hostName.isEmpty())
                    d->hostName = claimed;
            }
        }
        if (icon().isEmpty())
            setServiceIcon();
    }

    if (version >= 1030) {
        const QVariant count = config.value(QLatin1String(ZDOrv::kConfigAvailableUpdateCount));
        const QVariant date = config.value(QLatin1String(ZDOrv::kConfigAvailableUpdateCountLastUpdate));
        const QDateTime when = date.typeId() == QMetaType::QDateTime ? date.toDateTime() : QDateTime();
        const bool fresh = when.isValid() && when.secsTo(QDateTime::currentDateTimeUtc()) < 86400;
        if (count.isValid() && fresh) {
            const int n = intOf(count, 0);
            const QString host = hostName();
            onOwnThread([this, n, host] { Q_EMIT updateCountReceived(n, host); });
        } else if (!fresh) {
            onOwnThread([this] { Q_EMIT updateCountRefreshRequested(this); });
        }
    }
    const QVariant minAdmin = config.value(QLatin1String(ZDOrv::kConfigMinAdminVersion));
    if (minAdmin.isValid() && intOf(minAdmin, 0) > adminVersion())
        onOwnThread([this] { Q_EMIT adminOutdated(this); });
    stopSpinner();
    const QVariant crashLog = config.value(QLatin1String(ZDOrv::kConfigSelfCrashLog));
    if (crashLog.typeId() == QMetaType::QString) {
        const QString log = crashLog.toString();
        onOwnThread([this, log] { Q_EMIT crashLogReceived(this, log); });
    }
}

// --- icons ------------------------------------------------------------------

QString ZDService::cacheDirectory() { return ZDServiceIcons::cacheDirectory(); }
QString ZDService::iconCachePath() { return ZDServiceIcons::cachePath(); }

QImage ZDService::iconForMacModel(const QString &model, int size)
{
    ZDLog::appendLog(QStringLiteral("Getting icon for machine type %@..."), model);
    return ZDServiceIcons::iconForModel(model, size);
}

void ZDService::setServiceIcon()
{
    std::weak_ptr<ZDService> weak = weak_from_this();
    ZDBackgroundPool::start([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        const QByteArray icon = ZDServiceIcons::listIcon(self->fetchServiceIcon());
        if (icon.isEmpty())
            return;
        self->setIconData(icon);
        self->refreshServiceView();
    });
}

QByteArray ZDService::fetchServiceIcon()
{
    const QString host = hostName();
    if (host.isEmpty())
        return {};
    try {
        const QByteArray cached = ZDServiceIcons::cachedIcon(host);
        if (!cached.isEmpty()) {
            ZDLog::appendLog(QStringLiteral("Getting cached icon for service %@..."), name());
            return cached;
        }
        ZDLog::appendLog(QStringLiteral("Getting remote icon for service %@..."), name());
        const auto proxy = proxyObject();
        const QString op = QString::fromLatin1(ZDOrv::kComputerIcon);
        if (!proxy || !proxy->respondsToSelector(op))
            return {};
        const QVariant answer = proxy->call(op);
        if (answer.typeId() != QMetaType::QByteArray || ZDServiceIcons::decode(answer.toByteArray()).isNull())
            return {};
        ZDServiceIcons::storeIcon(host, answer.toByteArray());
        return answer.toByteArray();
    } catch (const ZDLinkException &e) {
        callFailed(e, "-[ZDService fetchServiceIcon]");
        return {};
    }
}

// --- archive ----------------------------------------------------------------

void ZDService::archive(QDataStream &out) const
{
    std::lock_guard lock(d->mutex);
    out << d->name << d->hostName << d->icon << qint32(d->port) << bool(d->connected) << bool(d->needsMaintenance);
}

std::shared_ptr<ZDService> ZDService::serviceFromArchive(QDataStream &in)
{
    QString name;
    QString hostName;
    QByteArray icon;
    qint32 port = 0;
    bool connected = false;
    bool maintenance = false;
    in >> name >> hostName >> icon >> port >> connected >> maintenance;
    if (in.status() != QDataStream::Ok || name.size() > kMaxTextLength || hostName.size() > kMaxTextLength
        || icon.size() > ZDServiceIcons::kMaxIconBytes)
        return nullptr;
    auto record = make();
    std::lock_guard lock(record->d->mutex);
    record->d->name = name;
    record->d->hostName = hostName;
    record->d->icon = icon;
    record->d->port = port;
    record->d->connected = connected;
    record->d->needsMaintenance = maintenance;
    record->d->disconnected = true; // a picture of a record: it never connects by itself
    return record;
}

// --- settings ---------------------------------------------------------------

int ZDService::minClientVersion()
{
    const int v = g_minClient.load();
    return v >= 0 ? v : bundleInt("ZDMinClientVersion");
}

int ZDService::minOrvVersion()
{
    const int v = g_minOrv.load();
    return v >= 0 ? v : bundleInt("ZDMinOrvVersion");
}

int ZDService::adminVersion()
{
    const int v = g_adminVersion.load();
    return v >= 0 ? v : bundleInt("CFBundleVersion");
}

void ZDService::setMinimumVersions(int minClientVersion, int minOrvVersion)
{
    g_minClient = minClientVersion;
    g_minOrv = minOrvVersion;
}

void ZDService::setAdminVersion(int version) { g_adminVersion = version; }
void ZDService::setConfigurationTimeout(int msec) { g_configTimeoutMs = qMax(1, msec); }
int ZDService::configurationTimeout() { return g_configTimeoutMs; }
void ZDService::setRetryInterval(int msec) { g_retryMs = qMax(1, msec); }
int ZDService::retryInterval() { return g_retryMs; }
