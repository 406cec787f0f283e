#include "fleet/ZDDiscovery.h"

#include "dispatch/ZDAggregation.h"
#include "dispatch/ZDBackgroundPool.h"

#include "dnssd/ZDDNSSDBrowser.h"
#include "dispatch/ZDErrorCallback.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"
#include "process/ZDThreads.h"

#include <QSettings>
#include <QScopeGuard>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <mutex>

namespace {

// The group a computer belongs to: by its own key, or else by an address stored the
// old way, which the first computer claiming it takes over (the others on that address
// stay out). *migrated says an entry changed.
ZDServiceGroupPtr groupOf(const QList<ZDServiceGroupPtr> &groups, const ZDServicePtr &service, bool *migrated)
{
    const QString key = service->groupKey();
    for (const ZDServiceGroupPtr &g : groups)
        if (!key.isEmpty() && g->containsHostName(key))
            return g;
    const QString legacy = service->hostKey();
    if (key.isEmpty() || legacy.isEmpty())
        return {};
    for (const ZDServiceGroupPtr &g : groups) {
        if (g->containsHostName(legacy)) {
            g->removeHostName(legacy);
            g->addHostName(key);
            *migrated = true;
            return g;
        }
    }
    return {};
}

constexpr int kMaxStoredConnections = 10000;
constexpr qsizetype kMaxStoredText = 1024;

const QString kName = QStringLiteral("name");
const QString kIp = QStringLiteral("ip");
const QString kPort = QStringLiteral("port");

// The integer a text starts with, as the settings have always read a port:
// leading blanks, an optional sign, then digits; 0 when there are none.
int leadingInt(const QString &text)
{
    return int(std::clamp<qint64>(ZDAggregation::integerValue(text), std::numeric_limits<int>::min(),
                                  std::numeric_limits<int>::max()));
}

bool isDecimalText(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

QString dotted(const QString &host)
{
    return host.endsWith(QLatin1Char('.')) ? host : host + QLatin1Char('.');
}

bool sameNetService(const ZDDNSSDService &a, const ZDDNSSDService &b)
{
    return a.name == b.name && a.type == b.type && a.domain == b.domain;
}

} // namespace

struct ZDDiscovery::Private
{
    std::shared_ptr<ZDErrorCallback> errorCallback;
    QString settingsPath;
    QThread *browserThread = nullptr;
    ZDDNSSDBrowser *browser = nullptr;
    int resolveTimeoutMs = ZDDNSSDBrowser::kDefaultResolveTimeoutMs;
    bool available = false;
    // Browsing's progress, on the object's thread.
    QSet<QString> found;
    QSet<QString> unresolved;

    mutable std::mutex mutex;
    QList<ZDServicePtr> topLevel;
    QList<ZDServiceGroupPtr> groups;

    std::unique_ptr<QSettings> settings() const
    {
        if (settingsPath.isEmpty())
            return std::make_unique<QSettings>();
        return std::make_unique<QSettings>(settingsPath, QSettings::IniFormat);
    }
};

ZDDiscovery::ZDDiscovery(std::shared_ptr<ZDErrorCallback> errorCallback, const QString &settingsPath, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    qRegisterMetaType<ZDDNSSDService>();
    qRegisterMetaType<ZDServicePtr>();
    d->errorCallback = std::move(errorCallback);
    d->settingsPath = settingsPath;
    if (d->errorCallback) {
        d->errorCallback->setListedRecords(this, [this] { return allServices(); });
        // The record whose connection said it, never another one found by its name.
        connect(d->errorCallback.get(), &ZDErrorCallback::serviceWillDisconnect, this, [this](const ZDServicePtr &s) {
            if (allServices().contains(s))
                s->invalidate(true);
        });
        connect(d->errorCallback.get(), &ZDErrorCallback::serviceConfigurationChanged, this,
                [this](const ZDServicePtr &s) {
                    if (allServices().contains(s))
                        refreshConfiguration(s);
                });
    }
}

ZDDiscovery::~ZDDiscovery()
{
    if (d->errorCallback)
        d->errorCallback->setListedRecords(this, {});
    stop();
    ZDService::invalidateServices(allServices(), false);
}

// --- browsing ---------------------------------------------------------------

void ZDDiscovery::start()
{
    if (!d->browserThread) {
        ZDLog::appendLog(QStringLiteral("Browsing for services..."));
        d->browserThread = new QThread(this);
        d->browserThread->setObjectName(QStringLiteral("ZDDiscovery browser"));
        d->browser = new ZDDNSSDBrowser;
        d->browser->moveToThread(d->browserThread);
        connect(d->browserThread, &QThread::finished, d->browser, &QObject::deleteLater);
        connect(d->browser, &ZDDNSSDBrowser::serviceFound, this, [this](const ZDDNSSDService &s) {
            ZDLog::appendLog(QStringLiteral("Service found: %@"), s.name);
            ZDLog::appendLog(QStringLiteral("Resolving %@..."), s.name);
            d->found.insert(s.name);
            d->unresolved.insert(s.name);
            Q_EMIT browsingProgressed();
        });
        connect(d->browser, &ZDDNSSDBrowser::serviceResolved, this, [this](const ZDDNSSDService &s) {
            ZDLog::appendLog(QStringLiteral("Resolved %@"), s.name);
            // Told once the record is listed (or kept), whichever way this ends.
            const auto progressed = qScopeGuard([this, name = s.name] {
                if (d->unresolved.remove(name))
                    Q_EMIT browsingProgressed();
            });
            for (const auto &existing : allServices()) {
                if (!existing->hasNetService() || !sameNetService(existing->netService(), s))
                    continue;
                // Listed under this name: keep it unless its agent came back on another port.
                if (existing->isConnected() || existing->port() == int(s.port))
                    return;
                removeService(existing);
            }
            auto record = ZDService::serviceWithNetService(s, d->errorCallback);
            addServiceToList(record);
            for (const auto &service : allServices())
                service->setEnabled(true);
            updateAvailableServices();
        });
        connect(d->browser, &ZDDNSSDBrowser::resolveFailed, this,
                [this](const ZDDNSSDService &s, ZDDNSSDBrowser::Error, const QString &message) {
                    ZDLog::appendLog(QStringLiteral("Unable to resolve %@: %@"), s.name, message);
                    if (d->unresolved.remove(s.name))
                        Q_EMIT browsingProgressed();
                });
        connect(d->browser, &ZDDNSSDBrowser::serviceRemoved, this, [this](const ZDDNSSDService &s) {
            ZDLog::appendLog(QStringLiteral("Service removed: %@"), s.name);
            d->found.remove(s.name);
            d->unresolved.remove(s.name);
            for (const auto &service : allServices()) {
                if (service->hasNetService() && sameNetService(service->netService(), s))
                    removeService(service);
            }
            updateAvailableServices();
            Q_EMIT browsingProgressed();
        });
        connect(d->browser, &ZDDNSSDBrowser::failed, this, [this](ZDDNSSDBrowser::Error, const QString &message) {
            ZDLog::appendLog(QStringLiteral("Browsing failed: %@"), message);
            Q_EMIT browsingFailed(message);
        });
        d->browserThread->start();
        ZDDNSSDBrowser *browser = d->browser;
        const int timeout = d->resolveTimeoutMs;
        ZDThreads::post(browser, [browser, timeout] {
            browser->setResolveTimeout(timeout);
            if (browser->start(QString::fromLatin1(ZDOrv::kServiceType)))
                ZDLog::appendLog(QStringLiteral("Browser run loop started"));
        });
    }
    processManualConnections();
}

void ZDDiscovery::stop()
{
    if (!d->browserThread)
        return;
    d->browserThread->quit();
    d->browserThread->wait();
    delete d->browserThread;
    d->browserThread = nullptr;
    d->browser = nullptr; // deleted on its thread as it finished
    d->found.clear();
    d->unresolved.clear();
    ZDLog::appendLog(QStringLiteral("Browser run loop finished"));
}

bool ZDDiscovery::isBrowsing() const { return d->browserThread && d->browserThread->isRunning(); }

bool ZDDiscovery::browsingCaughtUp() const { return isBrowsing() && d->unresolved.isEmpty(); }

QStringList ZDDiscovery::foundNames() const { return d->found.values(); }

void ZDDiscovery::setResolveTimeout(int msec)
{
    d->resolveTimeoutMs = msec;
    if (ZDDNSSDBrowser *browser = d->browser)
        ZDThreads::post(browser, [browser, msec] { browser->setResolveTimeout(msec); });
}

// --- the list ---------------------------------------------------------------

QList<ZDServicePtr> ZDDiscovery::topLevelServices() const
{
    std::lock_guard lock(d->mutex);
    return d->topLevel;
}

QList<ZDServiceGroupPtr> ZDDiscovery::groups() const
{
    std::lock_guard lock(d->mutex);
    return d->groups;
}

void ZDDiscovery::setGroups(const QList<ZDServiceGroupPtr> &groups)
{
    bool migrated = false;
    {
        std::lock_guard lock(d->mutex);
        d->groups = groups;
        QList<ZDServicePtr> remaining;
        for (const auto &service : std::as_const(d->topLevel)) {
            if (const ZDServiceGroupPtr group = groupOf(d->groups, service, &migrated))
                group->addChild(service);
            else
                remaining.append(service);
        }
        d->topLevel = remaining;
    }
    Q_EMIT listChanged();
    if (migrated)
        Q_EMIT groupsMigrated();
}

bool ZDDiscovery::moveService(const ZDServicePtr &service, const ZDServiceGroupPtr &group)
{
    if (!service)
        return false;
    const QString key = service->groupKey();
    {
        std::lock_guard lock(d->mutex);
        if (group && !d->groups.contains(group))
            return false;
        bool listed = d->topLevel.contains(service);
        for (const auto &g : std::as_const(d->groups))
            listed = listed || g->children().contains(service);
        if (!listed)
            return false;
        // The key leaves every group: the first group listing it would win on the next start.
        for (const auto &g : std::as_const(d->groups)) {
            g->removeChild(service.get());
            if (!key.isEmpty())
                g->removeHostName(key);
        }
        QList<ZDServicePtr> list = d->topLevel;
        list.removeAll(service);
        if (group) {
            group->addChild(service);
            group->addHostName(key);
        } else {
            list.append(service);
            std::stable_sort(list.begin(), list.end(),
                             [](const ZDServicePtr &a, const ZDServicePtr &b) { return a->compareTitle(*b) < 0; });
        }
        d->topLevel = list;
    }
    Q_EMIT listChanged();
    return true;
}

bool ZDDiscovery::removeGroup(const ZDServiceGroupPtr &group)
{
    if (!group)
        return false;
    {
        std::lock_guard lock(d->mutex);
        QList<ZDServiceGroupPtr> groups = d->groups;
        if (groups.removeAll(group) == 0)
            return false;
        d->groups = groups;
        QList<ZDServicePtr> list = d->topLevel;
        for (const auto &child : group->children()) {
            group->removeChild(child.get());
            if (!list.contains(child))
                list.append(child);
        }
        std::stable_sort(list.begin(), list.end(),
                         [](const ZDServicePtr &a, const ZDServicePtr &b) { return a->compareTitle(*b) < 0; });
        d->topLevel = list;
    }
    Q_EMIT listChanged();
    return true;
}

QList<ZDServicePtr> ZDDiscovery::allServices() const
{
    std::lock_guard lock(d->mutex);
    QList<ZDServicePtr> all = d->topLevel;
    for (const auto &group : std::as_const(d->groups))
        all += group->children();
    return all;
}

void ZDDiscovery::addServiceToList(const ZDServicePtr &service)
{
    if (!service)
        return;
    ZDService *raw = service.get();
    // The records' notices, on this thread.
    connect(raw, &ZDService::serviceInvalidated, this, [this](ZDService *s) {
        ZDLog::appendLog(QStringLiteral("Invalidating service..."));
        if (!s->hasNetService())
            return; // a manual record stays, disconnected
        const ZDDNSSDService net = s->netService();
        bool found = false;
        for (const auto &other : allServices()) {
            if (other->hasNetService() && sameNetService(other->netService(), net)) {
                removeService(other);
                found = true;
            }
        }
        if (!found)
            ZDLog::appendLog(QStringLiteral("Unable to invalidate service - service not found."));
        updateAvailableServices();
        // An agent that said goodbye and came straight back is still announced
        // without a change the browser would report: ask for it once more.
        resolveAgainLater(net, kResolveAgainAfterGoodbyeMs);
    });
    connect(raw, &ZDService::serviceConnected, this, [this](ZDService *) { updateAvailableServices(); });
    connect(raw, &ZDService::serviceConnectFailed, this, [this](ZDService *s) {
        ZDLog::appendLog(QStringLiteral("Service connection failed."));
        // Its agent may listen on another port by now.
        if (s->hasNetService())
            resolveAgainLater(s->netService(), 0);
        Q_EMIT serviceConnectionFailed(s);
        updateAvailableServices();
    });
    connect(raw, &ZDService::adminOutdated, this, [this](ZDService *s) {
        ZDLog::appendLog(QStringLiteral("Admin is outdated."));
        Q_EMIT adminIsOutdated(s);
    });
    connect(raw, &ZDService::postLocalError, this, [this](int code, const QString &host) {
        Q_EMIT localError(code, host);
        updateAvailableServices();
    });
    connect(raw, &ZDService::serviceRefresh, this, [this](ZDService *s) {
        Q_EMIT serviceRefreshed(s);
        updateAvailableServices();
    });

    ZDLog::appendLog(QStringLiteral("Adding host %@ to list..."), service->hostKey());
    bool migrated = false;
    {
        std::lock_guard lock(d->mutex);
        if (const ZDServiceGroupPtr group = groupOf(d->groups, service, &migrated)) {
            group->addChild(service);
        } else {
            QList<ZDServicePtr> list = d->topLevel;
            list.append(service);
            std::stable_sort(list.begin(), list.end(),
                             [](const ZDServicePtr &a, const ZDServicePtr &b) { return a->compareTitle(*b) < 0; });
            d->topLevel = list;
        }
    }
    Q_EMIT serviceAdded(service);
    Q_EMIT listChanged();
    if (migrated)
        Q_EMIT groupsMigrated();
}

void ZDDiscovery::resolveAgainLater(const ZDDNSSDService &service, int delayMs)
{
    if (!d->browser)
        return;
    ZDDNSSDBrowser *browser = d->browser;
    // On the browser's thread, with a timer the browser owns: dropped with the browser,
    // never left behind when the program ends first.
    QMetaObject::invokeMethod(browser, [browser, service, delayMs] {
        auto *timer = new QTimer(browser);
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, browser, [browser, service, timer] {
            timer->deleteLater();
            browser->resolveAgain(service);
        });
        timer->start(delayMs);
    });
}

bool ZDDiscovery::removeService(const ZDServicePtr &service)
{
    if (!service)
        return false;
    service->invalidate(false);
    bool removed = false;
    {
        std::lock_guard lock(d->mutex);
        for (const auto &group : std::as_const(d->groups))
            removed = group->removeChild(service.get()) || removed;
        QList<ZDServicePtr> list = d->topLevel;
        if (list.removeAll(service) > 0) {
            removed = true;
            d->topLevel = list;
        }
    }
    QObject::disconnect(service.get(), nullptr, this, nullptr);
    if (removed && d->errorCallback && !service->hostName().isEmpty())
        d->errorCallback->removeErrorsForHost(service->hostName());
    if (removed) {
        Q_EMIT serviceRemoved(service);
        Q_EMIT listChanged();
    }
    return removed;
}

void ZDDiscovery::refreshConfiguration(const ZDServicePtr &service)
{
    if (!service->isConnected())
        return; // its next connection asks anyway
    // A remote call: never on this (possibly the window's) thread.
    ZDBackgroundPool::start([service] {
        if (service->isConnected() && !service->isInvalidated())
            service->fetchInitialConfiguration();
    });
}

bool ZDDiscovery::disconnectService(const ZDServicePtr &service)
{
    if (!service || !allServices().contains(service))
        return false;
    ZDLog::appendLog(QStringLiteral("Removing %@ from the list until it is found again."), service->name());
    // Ending the record may wait for its connection thread: on the caller's thread,
    // which a window keeps off its own; the list changes on the list's thread.
    // Invalidated before its link is cut, so a dispatcher sees why its call ended.
    service->invalidate(false);
    ZDThreads::runOn(this, [this, service] {
        removeService(service);
        updateAvailableServices();
    });
    return true;
}

// --- look-ups ---------------------------------------------------------------

ZDServicePtr ZDDiscovery::serviceWithHostName(const QString &hostName) const
{
    if (hostName.isEmpty())
        return nullptr;
    const QString wanted = dotted(hostName);
    for (const auto &service : allServices()) {
        const QString host = service->hostName();
        if (!host.isEmpty() && dotted(host) == wanted)
            return service;
    }
    return nullptr;
}

ZDServicePtr ZDDiscovery::serviceWithIPAddress(const QString &address) const
{
    if (address.isEmpty())
        return nullptr;
    for (const auto &service : allServices()) {
        if (service->ipAddress() == address)
            return service;
    }
    return nullptr;
}

ZDServicePtr ZDDiscovery::serviceWithManualIP(const QString &address) const
{
    if (address.isEmpty())
        return nullptr;
    for (const auto &service : allServices()) {
        if (service->manualIP() == address)
            return service;
    }
    return nullptr;
}

bool ZDDiscovery::servicesAvailable() const { return d->available; }

void ZDDiscovery::updateAvailableServices()
{
    const auto all = allServices();
    const bool available = std::any_of(all.cbegin(), all.cend(), [](const ZDServicePtr &s) {
        return s->isConnected() && s->isEnabled() && s->errorCode() == 0;
    });
    if (available == d->available)
        return;
    d->available = available;
    Q_EMIT servicesAvailableChanged(available);
}

// --- manual connections -----------------------------------------------------

bool ZDDiscovery::validateManualConnectionSettings(const QString &name, const QString &ip, const QString &port)
{
    if (name.isEmpty() || name.size() > 255)
        return false;
    if (ip.size() < 7 || ip.size() > 15)
        return false;
    if (ip != QLatin1String("localhost")) {
        const QStringList parts = ip.split(QLatin1Char('.'));
        if (parts.size() != 4)
            return false;
        for (const QString &part : parts) {
            // Its own integer written back: no sign, letter, blank or leading zero.
            if (!isDecimalText(part) || QString::number(part.toLongLong()) != part)
                return false;
        }
    }
    const QString portText = port.trimmed();
    if (!isDecimalText(portText) || portText.size() > 5)
        return false;
    const int value = portText.toInt();
    return value >= ZDOrv::kMinPort && value <= ZDOrv::kMaxPort;
}

QVariantList ZDDiscovery::manualConnections() const
{
    const QVariant stored = d->settings()->value(QLatin1String(kManualConnectionsKey));
    QVariantList result;
    if (stored.typeId() != QMetaType::QVariantList)
        return result;
    const QVariantList list = stored.toList();
    for (const QVariant &entry : list) {
        if (result.size() >= kMaxStoredConnections)
            break;
        if (entry.typeId() != QMetaType::QVariantMap && entry.typeId() != QMetaType::QVariantHash)
            continue;
        const QVariantMap map = entry.toMap();
        result.append(QVariantMap{{kName, map.value(kName).toString().left(kMaxStoredText)},
                                  {kIp, map.value(kIp).toString().left(kMaxStoredText)},
                                  {kPort, map.value(kPort).toString().left(kMaxStoredText)}});
    }
    return result;
}

bool ZDDiscovery::submitManualConnection(const QString &name, const QString &ip, const QString &port,
                                         QString *errorTitle, QString *errorText)
{
    auto refuse = [&](const QString &title, const QString &text) {
        if (errorTitle)
            *errorTitle = title;
        if (errorText)
            *errorText = text;
        return false;
    };
    if (!validateManualConnectionSettings(name, ip, port))
        return refuse(QStringLiteral("Invalid connection settings"),
                      QStringLiteral("Enter a name of 1 to 255 characters, an IPv4 address and a port from 1025 to 65535."));
    const int portValue = leadingInt(port);
    bool duplicate = false;
    for (const auto &service : allServices())
        duplicate = duplicate || (service->isManual() && service->manualIP() == ip && service->port() == portValue);
    QVariantList stored = manualConnections();
    for (const QVariant &entry : std::as_const(stored)) {
        const QVariantMap map = entry.toMap();
        duplicate = duplicate || (map.value(kIp).toString() == ip && leadingInt(map.value(kPort).toString()) == portValue);
    }
    if (duplicate)
        return refuse(QStringLiteral("Connection already exists"),
                      QStringLiteral("There is already a service with this IP address and port."));

    stored.append(QVariantMap{{kName, name}, {kIp, ip}, {kPort, port}});
    auto settings = d->settings();
    settings->setValue(QLatin1String(kManualConnectionsKey), stored);
    settings->sync();
    if (settings->status() != QSettings::NoError)
        return refuse(QStringLiteral("Unable to save connection"),
                      QStringLiteral("The connection could not be stored in the settings."));
    addManualConnection(name, ip, portValue);
    return true;
}

ZDServicePtr ZDDiscovery::addManualConnection(const QString &name, const QString &ip, int port)
{
    if (name.isEmpty() || ip.isEmpty() || port <= 0 || port > ZDOrv::kMaxPort)
        return nullptr;
    auto record = ZDService::serviceWithName(name, QString(), ip, port, d->errorCallback);
    addServiceToList(record);
    for (const auto &service : allServices())
        service->setEnabled(true);
    updateAvailableServices();
    return record;
}

void ZDDiscovery::processManualConnections()
{
    const QVariantList stored = manualConnections();
    for (const QVariant &entry : stored) {
        const QVariantMap map = entry.toMap();
        const QString name = map.value(kName).toString();
        const QString ip = map.value(kIp).toString();
        const int port = leadingInt(map.value(kPort).toString());
        bool listed = false;
        for (const auto &service : allServices())
            listed = listed || (service->isManual() && service->manualIP() == ip && service->port() == port);
        if (!listed)
            addManualConnection(name, ip, port);
    }
}

bool ZDDiscovery::removeManualService(const ZDServicePtr &service)
{
    if (!service || !service->isManual())
        return false;
    QVariantList stored = manualConnections();
    for (qsizetype i = 0; i < stored.size(); ++i) {
        const QVariantMap map = stored.at(i).toMap();
        if (map.value(kName).toString() == service->name() && map.value(kIp).toString() == service->manualIP()
            && leadingInt(map.value(kPort).toString()) == service->port()) {
            stored.removeAt(i);
            auto settings = d->settings();
            settings->setValue(QLatin1String(kManualConnectionsKey), stored);
            settings->sync();
            break;
        }
    }
    const bool removed = removeService(service);
    updateAvailableServices();
    return removed;
}

bool ZDDiscovery::removeManualConnection(const QString &name)
{
    const QVariantList stored = manualConnections();
    QVariantList kept;
    for (const QVariant &entry : stored) {
        if (entry.toMap().value(kName).toString() != name)
            kept.append(entry);
    }
    bool removed = kept.size() != stored.size();
    if (removed) {
        auto settings = d->settings();
        settings->setValue(QLatin1String(kManualConnectionsKey), kept);
        settings->sync();
    }
    for (const auto &service : allServices()) {
        if (service->isManual() && service->name() == name)
            removed = removeService(service) || removed;
    }
    if (removed)
        updateAvailableServices();
    return removed;
}
