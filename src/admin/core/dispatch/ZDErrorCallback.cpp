#include "dispatch/ZDErrorCallback.h"

#include "console/ZDAdminSettings.h"
#include "dispatch/ZDBackgroundPool.h"
#include "dispatch/ZDCredentialStore.h"
#include "log/ZDException.h"
#include "platform/ZDFormat.h"
#include "rpc/ZDLinkException.h"
#include "log/ZDLog.h"
#include "platform/ZDMainBundle.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "fleet/ZDService.h"
#include "process/ZDThreads.h"
#include "platform/ZDBoundedRead.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace {

const QString kDescription = QStringLiteral("description");
const QString kDate = QStringLiteral("date");
const QString kHostname = QStringLiteral("hostname");
const QString kErrorCode = QStringLiteral("errorcode");
const QString kActionType = QStringLiteral("actionType");
const QString kAppName = QStringLiteral("appName");

// Enough of a refused name to recognise it in the log.
constexpr int kMaxLoggedNameLength = 256;
// Refusals logged per connection: an honest agent makes none, a few show the attack,
// and more would let one peer grow the console's log without end.
constexpr int kMaxLoggedRefusals = 20;

// DNS names: the final dot is optional and case does not matter.
bool sameHost(const QString &a, const QString &b)
{
    auto plain = [](const QString &h) { return h.endsWith(QLatin1Char('.')) ? h.chopped(1) : h; };
    return !a.isEmpty() && plain(a).compare(plain(b), Qt::CaseInsensitive) == 0;
}

QString op(const char *name)
{
    return QString::fromLatin1(name);
}

bool isText(const QVariant &v)
{
    return v.metaType().id() == QMetaType::QString;
}

QString cut(const QString &text, int max = ZDErrorCallback::kMaxTextLength)
{
    return text.size() > max ? text.left(max) : text;
}

// Null when the value cannot name a computer.
QString validHostname(const QVariant &v)
{
    if (!isText(v))
        return {};
    const QString host = v.toString();
    if (host.isEmpty() || host.size() > ZDErrorCallback::kMaxHostNameLength)
        return {};
    return host;
}

[[noreturn]] void refuse(const QString &operation, const QString &why)
{
    throw ZDLinkException::invalid(QStringLiteral("%1: %2").arg(operation, why));
}

QString hostArgument(const QString &operation, const QVariant &v)
{
    const QString host = validHostname(v);
    if (host.isNull())
        refuse(operation, QStringLiteral("the host name must be a non-empty text of at most %1 characters")
                              .arg(ZDErrorCallback::kMaxHostNameLength));
    return host;
}

QVariantMap userInfoArgument(const QString &operation, const QVariant &v)
{
    if (v.metaType().id() != QMetaType::QVariantMap)
        refuse(operation, QStringLiteral("the user information must be a dictionary"));
    const QVariantMap info = v.toMap();
    if (validHostname(info.value(kHostname)).isNull())
        refuse(operation, QStringLiteral("the user information lacks a valid \"hostname\""));
    if (info.contains(kAppName) && !isText(info.value(kAppName)))
        refuse(operation, QStringLiteral("\"appName\" must be a text"));
    return info;
}

bool integerValue(const QVariant &v, qint64 *out)
{
    switch (v.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        *out = v.toLongLong();
        return true;
    case QMetaType::ULongLong:
    case QMetaType::ULong:
        if (v.toULongLong() > quint64(std::numeric_limits<qint64>::max()))
            return false;
        *out = v.toLongLong();
        return true;
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = v.toDouble();
        if (!(d >= -9.0e18 && d <= 9.0e18) || d != qint64(d))
            return false;
        *out = qint64(d);
        return true;
    }
    default:
        return false;
    }
}

// The "date" of an entry as NSDate prints it.
QString dateText(const QVariant &date)
{
    return date.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" +0000");
}

} // namespace

// The remote object outlives this one when a connection still holds it: its handlers
// reach the receiver through this guard and do nothing once it is gone.
struct ZDErrorCallback::Guard
{
    std::shared_mutex mutex;
    ZDErrorCallback *self = nullptr;
};

template <typename F>
void ZDErrorCallback::post(F &&f)
{
    ZDThreads::post(this, std::forward<F>(f));
}

ZDErrorCallback::ZDErrorCallback(QObject *parent)
    : QObject(parent)
    , m_guard(std::make_shared<Guard>())
    , m_remote(ZDRemoteObject::create())
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
    qRegisterMetaType<ZDErrorCallback::UploadResult>();
    m_guard->self = this;
    buildRemoteObject(m_remote, Caller{});
}

ZDErrorCallback::~ZDErrorCallback()
{
    {
        std::unique_lock lock(m_guard->mutex);
        m_guard->self = nullptr;
    }
    if (m_reply) {
        // No result signal from a half-destroyed object.
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

ZDRemoteObjectPtr ZDErrorCallback::remoteObject() const
{
    return m_remote;
}

ZDRemoteObjectPtr ZDErrorCallback::remoteObjectFor(const std::shared_ptr<ZDService> &record)
{
    ZDRemoteObjectPtr object = ZDRemoteObject::create();
    buildRemoteObject(object, Caller{true, record, std::make_shared<std::atomic<int>>(0)});
    return object;
}

QString ZDErrorCallback::hostFor(const Caller &caller, const char *operation, const QString &claimed,
                                 QString *credentialHost) const
{
    if (!caller.bound) {
        if (credentialHost)
            *credentialHost = claimed;
        return claimed;
    }
    const std::shared_ptr<ZDService> record = caller.record.lock();
    const QString own = record ? record->hostName() : QString();
    // A name DNS-SD or the administrator vouches for is the record's alone; one its agent gave
    // itself yields to another listed computer that goes by it, even one listed later.
    const bool vouched = record && !own.isEmpty() && record->credentialHost() == own;
    const bool allowed = record && (own.isEmpty() || sameHost(own, claimed))
        && (vouched || !isHostNameOfAnother(claimed, record.get()));
    if (!allowed) {
        const int logged = caller.refusals->fetch_add(1);
        if (logged < kMaxLoggedRefusals)
            ZDLog::appendLog(QStringLiteral("%@ from %@ names %@: ignored."), op(operation),
                             record ? record->name() : QStringLiteral("a computer no longer listed"),
                             claimed.left(kMaxLoggedNameLength));
        else if (logged == kMaxLoggedRefusals)
            ZDLog::appendLog(QStringLiteral("Further calls naming other computers on this connection are ignored unlogged."));
        return {};
    }
    if (credentialHost)
        *credentialHost = record->credentialKey(); // where its stored password is filed
    return claimed;
}

void ZDErrorCallback::setListedRecords(const void *owner, ListedRecords records)
{
    std::unique_lock lock(m_listedMutex);
    if (!records && owner != m_listedOwner)
        return; // another list took over meanwhile
    m_listedOwner = records ? owner : nullptr;
    m_listed = std::move(records);
}

bool ZDErrorCallback::isHostNameOfAnother(const QString &hostName, const ZDService *self) const
{
    std::shared_lock lock(m_listedMutex);
    if (!m_listed)
        return false;
    const QList<std::shared_ptr<ZDService>> records = m_listed();
    return std::any_of(records.cbegin(), records.cend(), [&](const std::shared_ptr<ZDService> &s) {
        return s && s.get() != self && sameHost(s->hostName(), hostName);
    });
}

void ZDErrorCallback::buildRemoteObject(const ZDRemoteObjectPtr &target, const Caller &from)
{
    using Body = std::function<void(ZDErrorCallback *, const Caller &, const QVariantList &)>;
    // Served as the contract says, with checked arguments; runs body with the
    // receiver alive, or not at all.
    target->setContract(ZDOrv::Side::Console);
    auto with = [this, &target, &from](const char *name, Body body) {
        target->serve(name, [guard = m_guard, caller = from, body = std::move(body)](const QVariantList &args) -> QVariant {
            std::shared_lock lock(guard->mutex);
            if (guard->self)
                body(guard->self, caller, args);
            return QVariant();
        });
    };
    // An error report: queued under the host it names, if the caller may name it.
    auto report = [](ZDErrorCallback *self, const Caller &caller, const char *operation, const ZDRemoteError &error,
                     const QString &claimed, const QVariant &appName, Match match) {
        QString credentialHost;
        const QString host = self->hostFor(caller, operation, claimed, &credentialHost);
        if (!host.isNull())
            self->addError(error, host, credentialHost, appName, match);
    };
    with(ZDOrv::kAddErrorToQueueHostname, [report](ZDErrorCallback *self, const Caller &caller, const QVariantList &args) {
        const char *name = ZDOrv::kAddErrorToQueueHostname;
        report(self, caller, name, args[0].value<ZDRemoteError>(), hostArgument(op(name), args[1]), QVariant(), {});
    });
    with(ZDOrv::kAddErrorToQueueUserInfo, [report](ZDErrorCallback *self, const Caller &caller, const QVariantList &args) {
        const char *name = ZDOrv::kAddErrorToQueueUserInfo;
        const QVariantMap info = userInfoArgument(op(name), args[1]);
        report(self, caller, name, args[0].value<ZDRemoteError>(), info.value(kHostname).toString(),
               info.value(kAppName), {true, true});
    });
    with(ZDOrv::kAddStringToQueueHostname, [](ZDErrorCallback *self, const Caller &caller, const QVariantList &args) {
        const char *name = ZDOrv::kAddStringToQueueHostname;
        const QString host = self->hostFor(caller, name, hostArgument(op(name), args[1]));
        if (!host.isNull())
            self->addStringToQueue(args[0].toString(), host);
    });
    with(ZDOrv::kAddStringToQueueUserInfo, [](ZDErrorCallback *self, const Caller &caller, const QVariantList &args) {
        const char *name = ZDOrv::kAddStringToQueueUserInfo;
        const QVariantMap info = userInfoArgument(op(name), args[1]);
        if (!self->hostFor(caller, name, info.value(kHostname).toString()).isNull())
            self->addStringToQueue(args[0].toString(), info);
    });
    with(ZDOrv::kIncrementProgress, [](ZDErrorCallback *self, const Caller &, const QVariantList &) {
        self->post([self] { Q_EMIT self->progressIncremented(); });
    });
    with(ZDOrv::kTaskFinished, [](ZDErrorCallback *self, const Caller &, const QVariantList &) {
        self->post([self] { Q_EMIT self->taskFinished(); });
    });
    // Calls about the computer itself: the name signal, and the record's when bound.
    using RecordSignal = std::function<void(ZDErrorCallback *, const std::shared_ptr<ZDService> &)>;
    auto about = [&with](const char *name, void (ZDErrorCallback::*named)(const QString &), RecordSignal recordSignal) {
        with(name, [name, named, recordSignal](ZDErrorCallback *self, const Caller &caller, const QVariantList &args) {
            const QString host = self->hostFor(caller, name, hostArgument(op(name), args[0]));
            if (host.isNull())
                return;
            if (named == &ZDErrorCallback::willDisconnect)
                ZDLog::appendLog(QStringLiteral("%@ will disconnect."), host);
            // Weak: a call still queued when the program ends must not be what destroys the
            // record (that happens under Qt's posted-event lock, which the record's objects take).
            self->post([self, host, named, weak = caller.record, recordSignal] {
                Q_EMIT(self->*named)(host);
                if (const std::shared_ptr<ZDService> record = weak.lock())
                    recordSignal(self, record);
            });
        });
    };
    about(ZDOrv::kUpdateConfig, &ZDErrorCallback::updateConfig,
          [](ZDErrorCallback *self, const auto &record) { Q_EMIT self->serviceConfigurationChanged(record); });
    about(ZDOrv::kWillDisconnect, &ZDErrorCallback::willDisconnect,
          [](ZDErrorCallback *self, const auto &record) { Q_EMIT self->serviceWillDisconnect(record); });
    about(ZDOrv::kRequestMaintenance, &ZDErrorCallback::requestMaintenance,
          [](ZDErrorCallback *self, const auto &record) { Q_EMIT self->serviceMaintenanceRequested(record, true); });
    about(ZDOrv::kCancelMaintenance, &ZDErrorCallback::cancelMaintenance,
          [](ZDErrorCallback *self, const auto &record) { Q_EMIT self->serviceMaintenanceRequested(record, false); });
    with(ZDOrv::kQuellarAddLogsHostName, [](ZDErrorCallback *self, const Caller &caller, const QVariantList &args) {
        const char *name = ZDOrv::kQuellarAddLogsHostName;
        const QVariantList logs = args[0].toList();
        if (logs.size() > kMaxCrashLogs)
            refuse(op(name), QStringLiteral("more than %1 crash logs").arg(kMaxCrashLogs));
        for (const QVariant &log : logs) {
            if (log.metaType().id() != QMetaType::QVariantMap)
                refuse(op(name), QStringLiteral("every crash log must be a dictionary"));
        }
        const QString host = self->hostFor(caller, name, hostArgument(op(name), args[1]));
        if (!host.isNull())
            self->post([self, logs, host] { Q_EMIT self->crashLogsAdded(logs, host); });
    });
    with(ZDOrv::kSetNuvellCountHostname, [](ZDErrorCallback *self, const Caller &caller, const QVariantList &args) {
        const char *name = ZDOrv::kSetNuvellCountHostname;
        qint64 count = 0;
        if (!integerValue(args[0], &count))
            refuse(op(name), QStringLiteral("the count must be an integer"));
        const QString host = self->hostFor(caller, name, hostArgument(op(name), args[1]));
        if (!host.isNull())
            self->post([self, count, host, weak = caller.record] {
                Q_EMIT self->nuvellCount(count, host);
                if (const std::shared_ptr<ZDService> record = weak.lock())
                    Q_EMIT self->serviceNuvellCount(record, count);
            });
    });
    with(ZDOrv::kCancelProcessing, [](ZDErrorCallback *, const Caller &, const QVariantList &) {});
    with(ZDOrv::kPing, [](ZDErrorCallback *, const Caller &, const QVariantList &) {});
}

void ZDErrorCallback::setClock(Clock clock)
{
    QMutexLocker lock(&m_mutex);
    m_clock = clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); });
}

void ZDErrorCallback::setSettingsPath(const QString &path)
{
    QMutexLocker lock(&m_mutex);
    m_settingsPath = path;
}

QString ZDErrorCallback::settingsPath() const
{
    QMutexLocker lock(&m_mutex);
    return m_settingsPath;
}

void ZDErrorCallback::setApplicationVersion(const QString &version)
{
    QMutexLocker lock(&m_mutex);
    m_version = version;
    m_versionSet = true;
}

QString ZDErrorCallback::applicationVersion() const
{
    QMutexLocker lock(&m_mutex);
    return m_versionSet ? m_version : ZDMainBundle::infoString(QStringLiteral("CFBundleShortVersionString"));
}

QUrl ZDErrorCallback::uploadUrl() const
{
    const QVariant server = ZDAdminSettings::open(settingsPath())->value(QLatin1String(kUploadServerSetting));
    QString base = isText(server) ? server.toString().trimmed() : QString();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    QUrl url(base + QLatin1String(kUploadPath));
    if (base.isEmpty() || !url.isValid() || url.host().isEmpty())
        url = QUrl(QLatin1String(kDefaultUploadServer) + QLatin1String(kUploadPath));
    return url;
}

QVariantList ZDErrorCallback::errorQueue() const
{
    QMutexLocker lock(&m_mutex);
    return m_queue;
}

int ZDErrorCallback::errorCount() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_queue.size());
}

bool ZDErrorCallback::addErrorToQueue(const ZDRemoteError &error, const QString &hostname)
{
    const QString host = validHostname(hostname);
    if (host.isNull()) {
        ZDLog::appendLog(QStringLiteral("Error report without a valid host name ignored."));
        return false;
    }
    return addError(error, host, host, QVariant(), {});
}

bool ZDErrorCallback::addErrorToQueue(const ZDRemoteError &error, const QVariantMap &userInfo)
{
    const QString host = validHostname(userInfo.value(kHostname));
    if (host.isNull()) {
        ZDLog::appendLog(QStringLiteral("Error report without a valid host name ignored."));
        return false;
    }
    return addError(error, host, host, userInfo.value(kAppName), {true, true});
}

bool ZDErrorCallback::addError(const ZDRemoteError &error, const QString &host, const QString &credentialHost,
                               const QVariant &appName, const Match &match)
{
    if (error.domain() == QLatin1String(ZDOrv::kErrorDomain) && error.code() == ZDOrv::kErrorWrongCredentials)
        rejectCredentials(credentialHost);
    QVariantMap entry{{kDescription, cut(descriptionForError(error))},
                      {kHostname, host},
                      {kErrorCode, error.code()},
                      {kActionType, actionTypeForCode(error.code())}};
    if (match.byAppName && isText(appName))
        entry.insert(kAppName, cut(appName.toString()));
    return addEntry(std::move(entry), match);
}

bool ZDErrorCallback::addExceptionToQueue(const std::exception &exception, const QString &hostname)
{
    return addStringToQueue(ZDException::reasonOf(exception), hostname);
}

bool ZDErrorCallback::addStringToQueue(const QString &text, const QString &hostname)
{
    const QString host = validHostname(hostname);
    if (host.isNull()) {
        ZDLog::appendLog(QStringLiteral("Error report without a valid host name ignored."));
        return false;
    }
    return addEntry({{kDescription, cut(text.isNull() ? QString(QLatin1String("")) : text)}, {kHostname, host}},
                    {false, false});
}

bool ZDErrorCallback::addStringToQueue(const QString &text, const QVariantMap &userInfo)
{
    const QString host = validHostname(userInfo.value(kHostname));
    if (host.isNull()) {
        ZDLog::appendLog(QStringLiteral("Error report without a valid host name ignored."));
        return false;
    }
    QVariantMap entry{{kDescription, cut(text.isNull() ? QString(QLatin1String("")) : text)}, {kHostname, host}};
    const QVariant app = userInfo.value(kAppName);
    if (isText(app))
        entry.insert(kAppName, cut(app.toString()));
    return addEntry(std::move(entry), {false, true});
}

bool ZDErrorCallback::postLocalError(const QVariantMap &userInfo)
{
    qint64 code = 0;
    if (!integerValue(userInfo.value(kErrorCode), &code) || code < 1)
        return false;
    return addErrorToQueue(ZDRemoteError(QString::fromLatin1(ZDOrv::kErrorDomain), code),
                           validHostname(userInfo.value(kHostname)));
}

bool ZDErrorCallback::addEntry(QVariantMap entry, const Match &match)
{
    bool added = false;
    {
        QMutexLocker lock(&m_mutex);
        const QDateTime now = m_clock();
        const QString key = match.byCode ? kErrorCode : kDescription;
        // Only the two newest entries are looked at: an older report comes again.
        for (int i = 0; i < 2 && i < m_queue.size(); ++i) {
            const QVariantMap old = m_queue.at(i).toMap();
            if (old.value(key) != entry.value(key) || old.value(kHostname) != entry.value(kHostname))
                continue;
            if (match.byAppName && old.value(kAppName) != entry.value(kAppName))
                continue;
            if (old.value(kDate).toDateTime().secsTo(now) < kDuplicateSeconds)
                return false;
        }
        entry.insert(kDate, now);
        QVariantList queue = m_queue;
        queue.prepend(entry);
        if (queue.size() > kMaxQueueLength) {
            qsizetype ofHost = 0, oldestOfHost = -1;
            for (qsizetype i = 0; i < queue.size(); ++i) {
                if (sameHost(queue.at(i).toMap().value(kHostname).toString(), entry.value(kHostname).toString()))
                    ++ofHost, oldestOfHost = i;
            }
            if (ofHost > kMaxEntriesPerHost)
                queue.removeAt(oldestOfHost);
        }
        while (queue.size() > kMaxQueueLength)
            queue.removeLast();
        m_queue = std::move(queue);
        added = true;
    }
    post([this] { Q_EMIT errorQueueChanged(); });
    return added;
}

void ZDErrorCallback::installQueue(QVariantList queue)
{
    {
        QMutexLocker lock(&m_mutex);
        if (queue == m_queue)
            return;
        m_queue = std::move(queue);
    }
    post([this] { Q_EMIT errorQueueChanged(); });
}

void ZDErrorCallback::clearErrorQueue()
{
    installQueue({});
}

void ZDErrorCallback::removeErrorsForHost(const QString &hostname)
{
    QVariantList kept;
    for (const QVariant &entry : errorQueue()) {
        if (entry.toMap().value(kHostname).toString() != hostname)
            kept << entry;
    }
    installQueue(std::move(kept));
}

int ZDErrorCallback::indexOfError(qint64 code, const QString &hostname) const
{
    const QVariantList queue = errorQueue();
    for (int i = 0; i < queue.size(); ++i) {
        const QVariantMap entry = queue.at(i).toMap();
        if (entry.contains(kErrorCode) && entry.value(kErrorCode).toLongLong() == code
            && entry.value(kHostname).toString() == hostname)
            return i;
    }
    return -1;
}

int ZDErrorCallback::errorToHighlight(qint64 code, const QString &hostname, bool createIfMissing)
{
    const int index = indexOfError(code, hostname);
    if (index >= 0 || !createIfMissing || code < 1)
        return index;
    addErrorToQueue(ZDRemoteError(QString::fromLatin1(ZDOrv::kErrorDomain), code), hostname);
    return indexOfError(code, hostname);
}

QString ZDErrorCallback::stringRepresentation() const
{
    return representation(errorQueue());
}

QString ZDErrorCallback::representation(const QVariantList &queue)
{
    QString text;
    for (const QVariant &v : queue) {
        const QVariantMap entry = v.toMap();
        text += zdFormat(QStringLiteral("%@ - %@ - %@\n"), entry.value(kHostname).toString(),
                         dateText(entry.value(kDate)), entry.value(kDescription).toString());
    }
    return text;
}

bool ZDErrorCallback::removeStoredPasswordForHost(const QString &hostname) const
{
    const ZDCredentialStore store(settingsPath());
    const QString user = store.storedUser(hostname);
    if (user.isEmpty())
        return true; // nothing stored for this host
    if (store.deleteKeychainPassword(user, hostname))
        return true;
    ZDLog::appendLog(QStringLiteral("Unable to remove the stored password for %@."), hostname);
    return false;
}

void ZDErrorCallback::rejectCredentials(const QString &hostname)
{
    if (QThread::currentThread() != thread()) {
        removeStoredPasswordForHost(hostname);
        post([this, hostname] { Q_EMIT credentialsRejected(hostname); });
        return;
    }
    // The keyring answers over the bus: keep that wait off this object's (GUI) thread.
    ZDBackgroundPool::start([guard = m_guard, hostname] {
        std::shared_lock lock(guard->mutex);
        if (!guard->self)
            return;
        ZDErrorCallback *const self = guard->self;
        self->removeStoredPasswordForHost(hostname);
        self->post([self, hostname] { Q_EMIT self->credentialsRejected(hostname); });
    });
}

QString ZDErrorCallback::descriptionForError(const ZDRemoteError &error)
{
    if (error.domain() != QLatin1String(ZDOrv::kErrorDomain))
        return error.localizedDescription();
    return descriptionForCode(error.code(), error.userInfo().value(QStringLiteral("info")));
}

QString ZDErrorCallback::descriptionForCode(qint64 code, const QVariant &info)
{
    // An agent that names no application still gets a sentence an administrator can read.
    if (!info.isValid() || info.isNull() || info.toString().isEmpty()) {
        switch (code) {
        case ZDOrv::kErrorApplicationMissing:
            return QStringLiteral("The application was not found.");
        case ZDOrv::kErrorInfoPlistMissing:
            return QStringLiteral("The application's Info.plist file was not found.");
        case ZDOrv::kErrorOldTaskFormat:
            return QStringLiteral("The application is outdated. Please update this application.");
        case ZDOrv::kErrorTaskNotFound:
            return QStringLiteral("The task was not found in the application. Please update this application.");
        default:
            break;
        }
    }
    switch (code) {
    case 0:
        return QString(QLatin1String(""));
    case ZDOrv::kErrorApplicationMissing:
        return zdFormat(QStringLiteral("Application %@ not found."), info);
    case ZDOrv::kErrorInfoPlistMissing:
        return zdFormat(QStringLiteral("Could not find Info.plist file for application %@ not found."), info);
    case ZDOrv::kErrorOldTaskFormat:
        return zdFormat(QStringLiteral("Application %@ is outdated. Please update this application."), info);
    case ZDOrv::kErrorTaskNotFound:
        return zdFormat(QStringLiteral("Task not found for application %@. Please update this application."), info);
    case ZDOrv::kErrorComputerBusy:
        return QStringLiteral("The task was canceled because the destination computer was too busy. Switch off this "
                              "setting in the application's preferences in order to prevent this in the future.");
    case ZDOrv::kErrorWrongCredentials:
        return QStringLiteral("Incorrect username or password.");
    case ZDOrv::kErrorNoConfiguration:
        return QStringLiteral("Kestra Maintenance Tools is not installed properly or the version you are using is "
                              "outdated. Please install a recent version of Kestra Maintenance Tools on this "
                              "computer.");
    case ZDOrv::kErrorClientOutdated:
        return QStringLiteral("Kestra Client is outdated on this machine. Please install a more recent version.");
    case ZDOrv::kErrorToolsOutdated:
        return QStringLiteral(
            "Kestra Maintenance Tools is outdated on this machine. Please install a more recent version.");
    case ZDOrv::kErrorCertificateChanged:
        return QStringLiteral("The agent's certificate changed since it was first seen. It is not contacted until "
                              "you accept the new one (kestra trust).");
    case ZDOrv::kErrorConnectionTimedOut:
        return QStringLiteral(
            "Connection timed out. Please make sure that you have the latest version of the client software.");
    default:
        return QStringLiteral("Unknown error. Please check error logs on the local machine.");
    }
}

int ZDErrorCallback::actionTypeForCode(qint64 code)
{
    return ((code >= ZDOrv::kErrorTaskFirst && code <= ZDOrv::kErrorTaskNotFound) || code == ZDOrv::kErrorNoConfiguration
            || code == ZDOrv::kErrorClientOutdated || code == ZDOrv::kErrorToolsOutdated)
        ? 1
        : 0;
}

QString ZDErrorCallback::friendlyServiceName(const QString &hostname)
{
    for (const QLatin1String suffix : {QLatin1String(".local."), QLatin1String(".virtual.")}) {
        if (hostname.endsWith(suffix))
            return hostname.left(hostname.size() - suffix.size());
    }
    return hostname;
}

QString ZDErrorCallback::errorButtonTitle(int count)
{
    if (count <= 0)
        return {};
    return zdFormat(QStringLiteral("%i error%@"), count, count == 1 ? QString(QLatin1String("")) : QStringLiteral("s"));
}

QByteArray ZDErrorCallback::generateFormData(const FormFields &fields, const QString &boundary)
{
    QByteArray body;
    for (const auto &[key, value] : fields) {
        body += zdFormat(QStringLiteral("--%@\r\n"), boundary).toUtf8();
        if (value.metaType() == QMetaType::fromType<QUrl>() && value.toUrl().isLocalFile()) {
            const QString path = value.toUrl().toLocalFile();
            QFile file(path);
            if (QFileInfo(path).size() > kMaxFormFileBytes || !file.open(QIODevice::ReadOnly)) {
                ZDLog::appendLog(QStringLiteral("Unable to build form data: cannot read %@"), path);
                return {};
            }
            body += zdFormat(QStringLiteral("Content-Disposition: form-data; name=\"%@\"; filename=\"%@\"\r\n"), key,
                             QFileInfo(path).fileName())
                        .toUtf8();
            body += "Content-Type: application/octet-stream\r\n\r\n";
            const QByteArray data = ZDBoundedRead::upTo(file, kMaxFormFileBytes + 1);
            if (data.size() > kMaxFormFileBytes) {
                ZDLog::appendLog(QStringLiteral("Unable to build form data: %@ is too large"), path);
                return {};
            }
            body += data;
        } else {
            body += zdFormat(QStringLiteral("Content-Disposition: form-data; name=\"%@\"\r\n\r\n"), key).toUtf8();
            body += zdFormat(QStringLiteral("%@"), value).toUtf8();
        }
        body += "\r\n";
    }
    body += zdFormat(QStringLiteral("--%@--\r\n"), boundary).toUtf8();
    return body;
}

bool ZDErrorCallback::uploadErrorLog()
{
    const QVariantList queue = errorQueue();
    if (queue.isEmpty() || m_reply)
        return false;
    FormFields fields{{QStringLiteral("logData"), representation(queue)}};
    const QString version = applicationVersion();
    if (!version.isEmpty())
        fields.append({QStringLiteral("version"), version});
    if (!postDictionary(fields, uploadUrl()))
        return false;
    m_sentEntries = queue;
    return true;
}

bool ZDErrorCallback::postDictionary(const FormFields &fields, const QUrl &url)
{
    if (m_reply)
        return false;
    m_uploadCancelled = false;
    m_answer.clear();
    m_sentEntries.clear();
    const QString boundary = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QByteArray body = generateFormData(fields, boundary);
    const QString scheme = url.scheme().toLower();
    if (body.isEmpty() || !url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        ZDLog::appendLog(QStringLiteral("Failed to establish a connection. Please try again later."));
        post([this] {
            Q_EMIT uploadFinished(UploadResult::ConnectionFailed, QStringLiteral("Please try again later."));
        });
        return false;
    }
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      zdFormat(QStringLiteral("multipart/form-data; boundary=%@"), boundary));
    request.setTransferTimeout(kUploadTimeoutMs);
    m_reply = m_network->post(request, body);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        if (!m_reply || !m_reply->isOpen())
            return;
        m_answer += m_reply->read(kMaxUploadAnswerBytes + 1 - m_answer.size());
        if (m_answer.size() > kMaxUploadAnswerBytes)
            m_reply->abort();
    });
    connect(m_reply, &QNetworkReply::finished, this, &ZDErrorCallback::uploadReplyFinished);
    ZDLog::appendLog(QStringLiteral("Sending data to Zendrel..."));
    return true;
}

void ZDErrorCallback::uploadReplyFinished()
{
    QNetworkReply *const reply = m_reply;
    if (!reply)
        return;
    m_reply = nullptr;
    reply->deleteLater();
    const QVariantList sent = std::exchange(m_sentEntries, {});
    if (reply->isOpen() && m_answer.size() <= kMaxUploadAnswerBytes)
        m_answer += reply->read(kMaxUploadAnswerBytes + 1 - m_answer.size());
    if (m_uploadCancelled) {
        Q_EMIT uploadFinished(UploadResult::Cancelled, QString());
        return;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        // No answer at all: the queue stays for another try.
        ZDLog::appendLog(QStringLiteral("Connection failed - %@"), reply->errorString());
        Q_EMIT uploadFinished(UploadResult::ConnectionFailed, reply->errorString());
        return;
    }
    const int code = status.toInt();
    if (code >= 200 && code < 300 && m_answer == "OK") {
        ZDLog::appendLog(QStringLiteral("Data successfully uploaded"));
        // Reports that came in while sending were not part of the upload: they stay.
        QVariantList kept;
        for (const QVariant &entry : errorQueue()) {
            if (!sent.contains(entry))
                kept << entry;
        }
        installQueue(std::move(kept));
        Q_EMIT uploadFinished(UploadResult::Uploaded, QString());
        return;
    }
    // Anything but exactly "OK" is a failed upload. The queue is kept: clearing it
    // would lose reports that never reached the server.
    const QString received = QString::fromUtf8(m_answer.left(kMaxTextLength));
    ZDLog::appendLog(QStringLiteral("Error when uploading data. Received data: %@"), received);
    Q_EMIT uploadFinished(UploadResult::Rejected, received);
}

void ZDErrorCallback::cancelUpload()
{
    if (!m_reply)
        return;
    m_uploadCancelled = true;
    m_reply->abort();
}

bool ZDErrorCallback::isUploading() const
{
    return !m_reply.isNull();
}
