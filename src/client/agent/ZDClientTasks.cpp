#include "agent/ZDClientTasks.h"

#include "rights/ZDAuthorization.h"
#include "agent/ZDCallbackRegistry.h"
#include "rights/ZDEncryption.h"
#include "log/ZDException.h"
#include "rpc/ZDLinkException.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "bus/ZDNotificationCenter.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "process/ZDTaskEx.h"
#include "process/ZDThreads.h"
#include "agent/ZDToolCatalog.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <chrono>
#include <future>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kTaskTableFile = QLatin1String(ZDToolCatalog::kTaskTableFile);
const QString kTasksKey = QLatin1String(ZDToolCatalog::kTasksKey);
const QString kAuthUser = QStringLiteral("authUser");
const QString kAuthPass = QStringLiteral("authPass");
const QString kOutput = QStringLiteral("output");

// Bounds for what a request may carry.
constexpr int kMaxIdentifierLength = 1024;
constexpr int kCallbackRegistrationWaitMs = 10000;
constexpr qsizetype kMaxWaitingCallbacks = 16;
// A task entry's list of the only options a console may append to it.
constexpr const char *kAllowedOptionsKey = "allowedOptions";

// A request refused before anything runs; the reason goes to the log only.
class ZDBadRequest : public ZDNamedException
{
public:
    explicit ZDBadRequest(const QString &reason)
        : ZDNamedException(QStringLiteral("ZDInvalidArgumentException"), reason)
    {
    }
};

QString textArgument(const QVariant &value, const char *what, int maxLength = kMaxIdentifierLength)
{
    if (!value.isValid() || value.isNull())
        return {};
    if (value.userType() != QMetaType::QString)
        throw ZDBadRequest(QStringLiteral("%1 must be text").arg(QLatin1String(what)));
    const QString text = value.toString();
    if (text.size() > maxLength || text.contains(QChar(0)))
        throw ZDBadRequest(QStringLiteral("%1 is too long or holds a NUL character").arg(QLatin1String(what)));
    return text;
}

// Options become separate program arguments: text only, bounded, no NUL.
QStringList optionsArgument(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return {};
    if (value.userType() != QMetaType::QVariantList && value.userType() != QMetaType::QStringList)
        throw ZDBadRequest(QStringLiteral("options must be an array of text"));
    const QVariantList list = value.toList();
    if (list.size() > ZDClientTasks::kMaxOptions)
        throw ZDBadRequest(QStringLiteral("too many options"));
    QStringList options;
    for (const QVariant &v : list) {
        if (v.userType() != QMetaType::QString)
            throw ZDBadRequest(QStringLiteral("options must be an array of text"));
        const QString option = v.toString();
        if (option.size() > ZDClientTasks::kMaxArgumentLength || option.contains(QChar(0)))
            throw ZDBadRequest(QStringLiteral("an option is too long or holds a NUL character"));
        options << option;
    }
    return options;
}

QByteArray passwordArgument(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return {};
    if (value.userType() != QMetaType::QByteArray)
        throw ZDBadRequest(QStringLiteral("the password must be data"));
    const QByteArray data = value.toByteArray();
    if (data.size() > ZDClientTasks::kMaxPasswordBytes)
        throw ZDBadRequest(QStringLiteral("the password is too long"));
    return data;
}

// The user name and decrypted password of a maintenance service's credentials;
// anything malformed counts as empty, which no check accepts.
std::pair<QString, QString> credentialsOf(const QVariantMap &authInfo)
{
    const QVariant user = authInfo.value(kAuthUser);
    const QVariant pass = authInfo.value(kAuthPass);
    const QByteArray data = pass.userType() == QMetaType::QByteArray && pass.toByteArray().size() <= ZDClientTasks::kMaxPasswordBytes
        ? pass.toByteArray() : QByteArray();
    return {user.userType() == QMetaType::QString ? user.toString() : QString(), ZDEncryption::decryptCredential(data)};
}

// Every launch with administrator rights: check, launch, withdraw the rights, all
// under the agent's one privileged session, so another task's end cannot withdraw
// them between this one's check and its launch. None: the credentials were refused.
std::optional<ZDAuthorization::ExecResult> launchWithRights(std::mutex &session, const std::function<bool()> &authorize,
                                                            const QString &executable, const QStringList &arguments,
                                                            ZDAuthorization::Launch launch = ZDAuthorization::Launch::Detached)
{
    std::lock_guard lock(session);
    if (!authorize())
        return std::nullopt;
    ZDAuthorization &auth = ZDAuthorization::sharedController(ZDAuthorization::Dialog::Never);
    ZDLog::appendLog(QStringLiteral("Executing auth task..."));
    const ZDAuthorization::ExecResult started = auth.authExecTask(executable, arguments, launch);
    ZDLog::appendLog(QStringLiteral("Ending authorization..."));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auth.authEnd();
    return started;
}

// The task table a tool runs from: Resources first, then Contents.
QString taskTablePath(const QString &bundlePath)
{
    const QString resources = bundlePath + QStringLiteral("/Contents/Resources/") + kTaskTableFile;
    if (QFileInfo(resources).isFile())
        return resources;
    return bundlePath + QStringLiteral("/Contents/") + kTaskTableFile;
}

// The canonical path when nobody but root (or this user) can change it; else empty, logged.
QString trusted(const QString &path)
{
    QString reason;
    const QString canonical = ZDAuthorization::trustedPath(path, &reason);
    if (canonical.isEmpty())
        ZDLog::appendLog(QStringLiteral("Refusing %@ for a run with rights: %@"), path, reason);
    return canonical;
}

// A bundle fit for runs with rights: protected, and never inside the user's own
// applications folder, which the user (or whatever runs as the user) may fill.
QString protectedBundle(const QString &bundlePath)
{
    const QString canonical = trusted(bundlePath);
    const QString userApps = QFileInfo(ZDLocalPaths::applicationDirectory(true)).canonicalFilePath();
    if (!canonical.isEmpty() && !userApps.isEmpty()
        && (canonical == userApps || canonical.startsWith(userApps + QLatin1Char('/')))) {
        ZDLog::appendLog(QStringLiteral("Refusing %@ for a run with rights: it is in the user's applications folder"),
                         bundlePath);
        return {};
    }
    return canonical;
}

bool accessible(const QString &path, int mode)
{
    return ::access(QFile::encodeName(path).constData(), mode) == 0;
}

// Removable by this user: the parent is writable and, when sticky, one of the two is ours.
bool deletable(const QString &path)
{
    const QString parent = QFileInfo(path).absolutePath();
    if (!accessible(parent, W_OK | X_OK))
        return false;
    struct stat parentStat {};
    struct stat itemStat {};
    if (::stat(QFile::encodeName(parent).constData(), &parentStat) != 0
        || ::lstat(QFile::encodeName(path).constData(), &itemStat) != 0)
        return false;
    if (!(parentStat.st_mode & S_ISVTX) || ::geteuid() == 0)
        return true;
    return itemStat.st_uid == ::geteuid() || parentStat.st_uid == ::geteuid();
}

} // namespace

struct ZDClientTasks::Failure
{
    int code;
    QString logLine;      // as the current user and with rights alike, unless authLogLine
    QString authLogLine;  // the privileged forms' own wording, when they differ
    QString callbackText; // the answer of the callback form
    bool userGetsInfo;    // as the current user, the bundle identifier goes along
};

ZDClientTasks::ZDClientTasks(ZDCallbackRegistry &registry, ZDNotificationCenter *center, QObject *parent)
    : QObject(parent)
    , m_registry(registry)
    , m_center(center)
{
}

ZDClientTasks::~ZDClientTasks()
{
    std::lock_guard lock(m_callbackMutex);
    if (m_center && QThread::currentThread() == m_center->thread()) {
        for (const int id : std::as_const(m_callbackObservers))
            m_center->removeObserver(id);
    }
    m_callbackObservers.clear();
}

void ZDClientTasks::setClearProcessingCancelled(std::function<void()> hook)
{
    m_clearCancelled = std::move(hook);
}

void ZDClientTasks::setConnectionTimedOutHandler(std::function<void()> hook)
{
    m_timedOut = std::move(hook);
}

bool ZDClientTasks::timedOutHere(const std::exception &e)
{
    const auto *link = dynamic_cast<const ZDLinkException *>(&e);
    return link && link->kind() == ZDLinkException::Kind::Timeout;
}

void ZDClientTasks::clearCancelled() const
{
    if (m_clearCancelled)
        m_clearCancelled();
}

QVariant ZDClientTasks::guarded(const char *op, const std::function<QVariant()> &body,
                                const std::function<void()> &timedOut)
{
    try {
        return body();
    } catch (const std::exception &e) {
        ZDException::logException(e, op);
        if (timedOutHere(e) && timedOut)
            timedOut();
    } catch (...) {
        ZDException::logUnknownException(op);
    }
    return {};
}

void ZDClientTasks::addOperations(ZDRemoteObject &root)
{
    // What a console hears of a request it got wrong, whether the contract or the
    // finer checks below refused it.
    const auto invalidTask = [this](const QString &reason, bool releaseConsole) {
        ZDLog::appendLog(QStringLiteral("Invalid task request: %@."), reason);
        m_registry.postErrorString(QStringLiteral("Error: Invalid task request."));
        if (releaseConsole) // a console waiting for the task's end must be released
            m_registry.postFinishedTask();
        return QVariant();
    };
    const auto invalidCallbackTask = [](const QString &reason, const QVariantList &args) {
        ZDLog::appendLog(QStringLiteral("Invalid task request: %@."), reason);
        if (const ZDRemoteProxyPtr callback = ZDRemoteProxy::fromVariant(args.value(5)))
            callback->callOneway(QString::fromLatin1(ZDOrv::kPostCallback),
                                 {QVariantMap{{kOutput, QStringLiteral("Error: Invalid task request.")}}});
        return QVariant();
    };
    const auto invalidCheck = [](const QString &reason) {
        ZDLog::appendLog(QStringLiteral("Invalid credential check: %@."), reason);
        return QVariant(false);
    };

    root.serve(ZDOrv::kZdAppTasks, [this](const QVariantList &) { return QVariant(zdAppTasks()); });

    root.serve(ZDOrv::kExecuteTask, [this, invalidTask](const QVariantList &args) {
        QString taskID, bundleID;
        QStringList options;
        try {
            taskID = textArgument(args.value(0), "the task id");
            bundleID = textArgument(args.value(1), "the bundle identifier");
            options = optionsArgument(args.value(2));
        } catch (const ZDBadRequest &e) {
            return invalidTask(e.reason(), false);
        }
        executeTask(taskID, bundleID, options);
        return QVariant();
    }, [invalidTask](const QVariantList &, const QString &reason) { return invalidTask(reason, false); });

    root.serve(ZDOrv::kAuthExecuteTask, [this, invalidTask](const QVariantList &args) {
        try {
            const QString taskID = textArgument(args.value(0), "the task id");
            const QString bundleID = textArgument(args.value(1), "the bundle identifier");
            const QStringList options = optionsArgument(args.value(2));
            const QString username = textArgument(args.value(3), "the user name");
            const QByteArray password = passwordArgument(args.value(4));
            authExecuteTask(taskID, bundleID, options, username, password);
        } catch (const ZDBadRequest &e) {
            return invalidTask(e.reason(), true);
        } catch (...) {
            m_registry.postFinishedTask();
            throw;
        }
        return QVariant();
    }, [invalidTask](const QVariantList &, const QString &reason) { return invalidTask(reason, true); });

    root.serve(ZDOrv::kAuthExecuteTaskCallback, [this, invalidCallbackTask](const QVariantList &args) {
        const ZDRemoteProxyPtr callback = ZDRemoteProxy::fromVariant(args.value(5));
        QString taskID, bundleID, username, callbackName;
        QStringList options;
        QByteArray password;
        try {
            taskID = textArgument(args.value(0), "the task id");
            bundleID = textArgument(args.value(1), "the bundle identifier");
            options = optionsArgument(args.value(2));
            username = textArgument(args.value(3), "the user name");
            password = passwordArgument(args.value(4));
            callbackName = textArgument(args.value(6), "the callback name", ZDNotificationCenter::kMaxNameLength);
            if (callback && !ZDNotificationCenter::isValidName(callbackName))
                throw ZDBadRequest(QStringLiteral("the callback name cannot be a notification name"));
        } catch (const ZDBadRequest &e) {
            return invalidCallbackTask(e.reason(), args);
        }
        authExecuteTaskWithCallback(taskID, bundleID, options, username, password, callback, callbackName);
        return QVariant();
    }, [invalidCallbackTask](const QVariantList &args, const QString &reason) {
        return invalidCallbackTask(reason, args);
    });

    root.serve(ZDOrv::kValidateUsernamePassword, [this, invalidCheck](const QVariantList &args) {
        try {
            return QVariant(validateUsername(textArgument(args.value(0), "the user name"),
                                             passwordArgument(args.value(1))));
        } catch (const ZDBadRequest &e) {
            return invalidCheck(e.reason());
        }
    }, [invalidCheck](const QVariantList &, const QString &reason) { return invalidCheck(reason); });

    root.serve(ZDOrv::kNeedsAdminAccess, [this](const QVariantList &args) {
        const QVariantList list = args.value(0).toList();
        QStringList paths;
        for (const QVariant &v : list)
            paths << v.toString();
        return QVariant(needsAdminAccess(paths));
    }, [](const QVariantList &, const QString &reason) {
        ZDLog::appendLog(QStringLiteral("Invalid path list for an access check: %@."), reason);
        return QVariant(false);
    });
}


// --- Installed tools.

void ZDClientTasks::populateZDApps()
{
    m_catalog.populate();
}

bool ZDClientTasks::zdAppsPopulated() const
{
    return m_catalog.populated();
}

QStringList ZDClientTasks::zdAppArray() const
{
    return m_catalog.apps();
}

QStringList ZDClientTasks::zdAppsInFolder(const QString &folder) const
{
    return m_catalog.appsInFolder(folder);
}

QVariantMap ZDClientTasks::orvVersion()
{
    return m_catalog.orvVersion();
}

QVariantList ZDClientTasks::zdAppTasks()
{
    return m_catalog.appTasks();
}

QString ZDClientTasks::pathForAppWithBundleID(const QString &bundleID, Run run) const
{
    return m_catalog.pathForAppWithBundleID(bundleID, run);
}

QString ZDClientTasks::pathForBundleID(const QString &bundleID, const QString &folder)
{
    return ZDToolCatalog::pathForBundleID(bundleID, folder);
}

QString ZDClientTasks::exePathForAppWithBundleID(const QString &bundleID, Run run) const
{
    return m_catalog.executableForAppWithBundleID(bundleID, run);
}

// --- Running a task.

void ZDClientTasks::fail(Mode mode, const Failure &failure, const QString &bundleID, const CallbackTarget &callbackName)
{
    ZDLog::appendLog(mode != Mode::User && !failure.authLogLine.isEmpty() ? failure.authLogLine : failure.logLine);
    switch (mode) {
    case Mode::User:
        m_registry.postErrorWithCode(failure.code, failure.userGetsInfo ? bundleID : QString());
        break;
    case Mode::Auth:
        m_registry.postErrorWithCode(failure.code, bundleID);
        m_registry.postFinishedTask();
        break;
    case Mode::AuthCallback:
        if (failure.code == ZDOrv::kErrorWrongCredentials)
            m_registry.postErrorWithCode(failure.code);
        answerRequest(callbackName, {{kOutput, failure.callbackText}});
        break;
    }
}

std::optional<ZDClientTasks::ResolvedTask> ZDClientTasks::resolveTask(const QString &taskID, const QString &bundleID,
                                                                      const QStringList &options, Mode mode,
                                                                      const CallbackTarget &callbackName)
{
    const Failure missing {ZDOrv::kErrorApplicationMissing, QStringLiteral("Application doesn't exist"), QStringLiteral("Cannot find application"),
                           QStringLiteral("Error: Cannot find application"), true};
    // Anything that will run as root comes only from folders nobody else may change.
    const bool withRights = mode != Mode::User || ZDLocalPaths::isRoot();
    QString path = m_catalog.pathForAppWithBundleID(bundleID, withRights ? Run::WithRights : Run::AsUser);
    ZDLog::appendLog(QStringLiteral("Found application at path %@ for bundle ID %@"), path, bundleID);
    if (withRights && !path.isEmpty()) {
        path = protectedBundle(path);
        if (path.isEmpty()) {
            fail(mode, missing, bundleID, callbackName);
            return std::nullopt;
        }
    }
    if (path.isEmpty() || !QFileInfo(path).isDir()) {
        fail(mode, missing, bundleID, callbackName);
        return std::nullopt;
    }
    if (ZDPropertyList::readDictionary(path + QStringLiteral("/Contents/Info.plist")).isEmpty()) {
        fail(mode, {ZDOrv::kErrorInfoPlistMissing, QStringLiteral("Cannot find application Info.plist"), {},
                    QStringLiteral("Error: Cannot find application's Info.plist file"), true},
             bundleID, callbackName);
        return std::nullopt;
    }
    const QString tablePath = taskTablePath(path);
    if (withRights && QFileInfo::exists(tablePath) && trusted(tablePath).isEmpty()) {
        fail(mode, missing, bundleID, callbackName);
        return std::nullopt;
    }
    const QVariant tasks = ZDPropertyList::readDictionary(tablePath).value(kTasksKey);
    if (tasks.userType() != QMetaType::QVariantList) {
        fail(mode, {ZDOrv::kErrorOldTaskFormat, QStringLiteral("Application uses old task format. Please update this application."), {},
                    QStringLiteral("Error: Application uses old task format. Please update the application."), true},
             bundleID, callbackName);
        return std::nullopt;
    }
    QStringList command;
    bool commandValid = false;
    bool optionsAllowed = true;
    for (const QVariant &entry : tasks.toList()) {
        const QVariantMap task = entry.toMap();
        if (task.value(QStringLiteral("id")).userType() != QMetaType::QString
            || task.value(QStringLiteral("id")).toString() != taskID)
            continue;
        // The first task with that id; its command must be text words, bounded like options.
        const QVariantList words = task.value(QStringLiteral("command")).toList();
        commandValid = !words.isEmpty() && words.size() <= kMaxOptions;
        for (const QVariant &word : words) {
            if (word.userType() != QMetaType::QString || word.toString().size() > kMaxArgumentLength
                || word.toString().contains(QChar(0))) {
                commandValid = false;
                break;
            }
            command << word.toString();
        }
        // A table may name the only extra words a console may add to the task.
        const QVariant allowed = task.value(QLatin1String(kAllowedOptionsKey));
        if (allowed.isValid()) {
            const QStringList permitted = allowed.userType() == QMetaType::QVariantList ? allowed.toStringList() : QStringList();
            for (const QString &option : options)
                optionsAllowed = optionsAllowed && permitted.contains(option);
        }
        break;
    }
    if (!commandValid) {
        fail(mode, {ZDOrv::kErrorTaskNotFound, QStringLiteral("Task not found"), {}, QStringLiteral("Error: Task not found."), false},
             bundleID, callbackName);
        return std::nullopt;
    }
    if (!optionsAllowed) {
        fail(mode, {ZDOrv::kErrorTaskNotFound, QStringLiteral("Task %1 does not take these options").arg(taskID), {},
                    QStringLiteral("Error: Invalid task request."), false},
             bundleID, callbackName);
        return std::nullopt;
    }
    QString executable = ZDToolCatalog::executablePathForBundle(path);
    if (withRights)
        executable = trusted(executable);
    if (!ZDTaskEx::isRunnable(executable)) {
        fail(mode, missing, bundleID, callbackName);
        return std::nullopt;
    }
    return ResolvedTask {executable, command + options};
}

void ZDClientTasks::executeTask(const QString &taskID, const QString &bundleID, const QStringList &options)
{
    clearCancelled();
    ZDLog::appendLog(QStringLiteral("Executing task %@ in %@ with options %@..."), taskID, bundleID, options);
    const auto task = resolveTask(taskID, bundleID, options, Mode::User, {});
    if (!task)
        return;
    ZDLog::appendLog(QStringLiteral("Executing task..."));
    const int status = ZDTaskEx::terminationCodeFromTask(task->executable, task->arguments, kTaskTimeout);
    if (status == 0) {
        ZDLog::appendLog(QStringLiteral("Task finished successfully."));
        return;
    }
    ZDLog::appendLog(QStringLiteral("Task finished with an error."));
    m_registry.postErrorWithCode(status);
}

bool ZDClientTasks::authorize(const QString &username, const QString &password)
{
    // Asked again under the lock: guesses sent at once were all admitted before it.
    if (!m_throttle.admits(username, password))
        return false;
    ZDAuthorization &auth = ZDAuthorization::sharedController(ZDAuthorization::Dialog::Never);
    // Running as root grants every request by itself: the console's credentials
    // must still name an administrator.
    const bool granted = ZDLocalPaths::isRoot()
        ? ZDAuthorization::validateAdministrator(username, password) && auth.authStartWithUser(username, password)
        : auth.authStartWithUser(username, password);
    m_throttle.record(username, password, granted);
    return granted;
}

void ZDClientTasks::runPrivileged(const ResolvedTask &task, const QString &username, const QByteArray &password,
                                  Mode mode, const QString &bundleID, const CallbackTarget &callbackName)
{
    const Failure refused {ZDOrv::kErrorWrongCredentials,
                           QStringLiteral("Unable to authorize. Username and password may be incorrect."), {},
                           QStringLiteral("Error: Unable to authorize. Username and password may be incorrect."),
                           true};
    const QString clear = ZDEncryption::decryptCredential(password);
    // Refused before the lock: a guessing peer never holds up the real tasks.
    const auto started = m_throttle.admits(username, clear)
        ? launchWithRights(m_privilegedMutex, [&] { return authorize(username, clear); }, task.executable, task.arguments)
        : std::nullopt;
    if (!started) {
        fail(mode, refused, bundleID, callbackName);
        return;
    }
    // A tool that never started would never report its end: say so now.
    if (*started == ZDAuthorization::ExecResult::ToolMissing)
        fail(mode, {ZDOrv::kErrorApplicationMissing, QStringLiteral("Cannot find application"), {}, QStringLiteral("Error: Cannot find application"), true},
             bundleID, callbackName);
    else if (*started != ZDAuthorization::ExecResult::Started)
        fail(mode, refused, bundleID, callbackName);
}

void ZDClientTasks::authExecuteTask(const QString &taskID, const QString &bundleID, const QStringList &options,
                                    const QString &username, const QByteArray &password)
{
    clearCancelled();
    ZDLog::appendLog(QStringLiteral("Auth executing task %@ in %@ with options %@ for user %@..."), taskID, bundleID,
                     options, username);
    const auto task = resolveTask(taskID, bundleID, options, Mode::Auth, {});
    if (task)
        runPrivileged(*task, username, password, Mode::Auth, bundleID, {});
}

void ZDClientTasks::authExecuteTaskWithCallback(const QString &taskID, const QString &bundleID,
                                                const QStringList &options, const QString &username,
                                                const QByteArray &password, const ZDRemoteProxyPtr &callback,
                                                const QString &callbackName)
{
    clearCancelled();
    if (!callback) {
        ZDLog::appendLog(QStringLiteral("Error: No callback specified."));
        return;
    }
    setupCallbackListener(callback, callbackName);
    ZDLog::appendLog(QStringLiteral("Auth executing task %@ in %@ with options %@ for user %@ (with callback)..."),
                     taskID, bundleID, options, username);
    const CallbackTarget target {callbackName, callback};
    const auto task = resolveTask(taskID, bundleID, options, Mode::AuthCallback, target);
    if (task)
        runPrivileged(*task, username, password, Mode::AuthCallback, bundleID, target);
}

bool ZDClientTasks::validateUsername(const QString &username, const QByteArray &password)
{
    clearCancelled();
    const QString clear = ZDEncryption::decryptCredential(password);
    if (!m_throttle.admits(username, clear))
        return false;
    std::lock_guard lock(m_privilegedMutex);
    // A check: the rights it grants end with it.
    const bool valid = authorize(username, clear);
    ZDAuthorization::sharedController(ZDAuthorization::Dialog::Never).authEnd();
    return valid;
}

ZDRightsScope &ZDRightsScope::operator=(ZDRightsScope &&other) noexcept
{
    if (this != &other) {
        end();
        m_lock = std::move(other.m_lock);
        refusal = std::move(other.refusal);
    }
    return *this;
}

ZDRightsScope::~ZDRightsScope()
{
    end();
}

void ZDRightsScope::end()
{
    if (!m_lock.owns_lock())
        return;
    ZDAuthorization::sharedController(ZDAuthorization::Dialog::Never).authEnd();
    m_lock.unlock();
}

ZDRightsScope ZDClientTasks::rightsFor(const QVariantMap &authInfo)
{
    ZDRightsScope scope;
    try {
        const auto credentials = credentialsOf(authInfo);
        if (m_throttle.admits(credentials.first, credentials.second)) {
            std::unique_lock lock(m_privilegedMutex);
            if (authorize(credentials.first, credentials.second)) {
                scope.m_lock = std::move(lock);
                return scope;
            }
        }
        ZDLog::appendLog(QStringLiteral("Unable to authorize. Username and password may be incorrect."));
        scope.refusal = ZDRemoteError(QString::fromLatin1(ZDOrv::kErrorDomain), ZDOrv::kErrorWrongCredentials);
        return scope;
    } catch (const std::exception &e) {
        ZDException::logException(e, "authWithDict:");
    }
    scope.refusal = ZDRemoteError(QString::fromLatin1(ZDOrv::kErrorDomain), ZDOrv::kErrorException);
    return scope;
}

std::optional<ZDRemoteError> ZDClientTasks::authWithDict(const QVariantMap &authInfo)
{
    return rightsFor(authInfo).refusal;
}

std::optional<ZDRemoteError> ZDClientTasks::launchAuthTask(const QString &path, const QStringList &arguments,
                                                           const QVariantMap &authInfo, ZDAuthorization::Launch launch)
{
    try {
        const auto credentials = credentialsOf(authInfo);
        const auto started = m_throttle.admits(credentials.first, credentials.second)
            ? launchWithRights(m_privilegedMutex, [&] { return authorize(credentials.first, credentials.second); }, path, arguments, launch)
            : std::nullopt;
        if (started == ZDAuthorization::ExecResult::Started)
            return std::nullopt;
        // Nothing runs that could report its end: tell the consoles now.
        if (!started)
            ZDLog::appendLog(QStringLiteral("Unable to authorize. Username and password may be incorrect."));
        else
            ZDLog::appendLog(QStringLiteral("Unable to launch %@ with administrator rights."), path);
        const int code = started == ZDAuthorization::ExecResult::ToolMissing ? ZDOrv::kErrorApplicationMissing
                                                                             : ZDOrv::kErrorWrongCredentials;
        m_registry.postErrorWithCode(code);
        return ZDRemoteError(QString::fromLatin1(ZDOrv::kErrorDomain), code);
    } catch (const std::exception &e) {
        ZDException::logException(e, "launchAuthTask:arguments:authInfo:");
    }
    return ZDRemoteError(QString::fromLatin1(ZDOrv::kErrorDomain), ZDOrv::kErrorException);
}

bool ZDClientTasks::needsAdminAccess(const QStringList &paths)
{
    clearCancelled();
    for (const QString &path : paths) {
        // Only absolute paths mean the same thing here as on the console.
        if (!QDir::isAbsolutePath(path))
            continue;
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            continue;
        const QString parent = info.absolutePath();
        if (!accessible(path, W_OK) || !deletable(path) || !accessible(parent, W_OK) || !deletable(parent))
            return true;
    }
    return false;
}

// --- The callback of a task that answers.

void ZDClientTasks::setupCallbackListener(const ZDRemoteProxyPtr &callback, const QString &name)
{
    ZDLog::appendLog(QStringLiteral("Setting up callback listener"));
    {
        std::lock_guard lock(m_callbackMutex);
        // Bounded: a request whose tool never answers gives up its place to newer ones.
        QList<ZDRemoteProxyPtr> &waiting = m_callbacks[name];
        if (waiting.size() >= kMaxWaitingCallbacks)
            waiting.removeFirst();
        waiting.append(callback);
        if (m_callbackObservers.contains(name))
            return;
    }
    if (!m_center || !ZDNotificationCenter::isValidName(name))
        return;
    // Observers belong to the center's thread. The tool starts only once the
    // observer is in place, but a busy main thread must not hold the task forever.
    auto registered = std::make_shared<std::promise<int>>();
    std::future<int> id = registered->get_future();
    QPointer<ZDClientTasks> self(this);
    const auto addObserver = [self, center = m_center, name, registered] {
        int observer = 0;
        if (self && center) {
            {
                // Another task may have asked for the same name meanwhile.
                std::lock_guard lock(self->m_callbackMutex);
                if (self->m_callbackObservers.contains(name)) {
                    registered->set_value(self->m_callbackObservers.value(name));
                    return;
                }
            }
            observer = center->addObserver(name, [self, name](const QString &, const QVariantMap &userInfo) {
                if (self)
                    self->executeCallback(name, userInfo);
            });
            std::lock_guard lock(self->m_callbackMutex);
            if (observer > 0)
                self->m_callbackObservers.insert(name, observer);
        }
        registered->set_value(observer);
    };
    if (QThread::currentThread() == m_center->thread()) {
        addObserver();
    } else {
        ZDThreads::post(m_center, addObserver);
        if (id.wait_for(std::chrono::milliseconds(kCallbackRegistrationWaitMs)) != std::future_status::ready)
            ZDLog::appendLog(QStringLiteral("Warning: callback listener %@ is not ready yet."), name);
    }
}

void ZDClientTasks::removeCallbackObserver(int id)
{
    if (!m_center || id <= 0)
        return;
    ZDThreads::runOn(m_center, [center = m_center, id] {
        if (center)
            center->removeObserver(id);
    });
}

void ZDClientTasks::executeCallback(const QString &name, const QVariantMap &userInfo)
{
    ZDLog::appendLog(QStringLiteral("Posting callback"));
    ZDRemoteProxyPtr callback;
    int observer = 0;
    {
        std::lock_guard lock(m_callbackMutex);
        auto waiting = m_callbacks.find(name);
        if (waiting != m_callbacks.end() && !waiting->isEmpty())
            callback = waiting->takeFirst();
        if (waiting == m_callbacks.end() || waiting->isEmpty()) {
            m_callbacks.remove(name);
            observer = m_callbackObservers.take(name);
        }
    }
    removeCallbackObserver(observer);
    post(callback, userInfo);
}

void ZDClientTasks::answerRequest(const CallbackTarget &target, const QVariantMap &userInfo)
{
    ZDLog::appendLog(QStringLiteral("Posting callback"));
    bool waited = false;
    int observer = 0;
    {
        std::lock_guard lock(m_callbackMutex);
        auto waiting = m_callbacks.find(target.name);
        if (waiting != m_callbacks.end()) {
            waited = waiting->removeOne(target.proxy);
            if (waiting->isEmpty()) {
                m_callbacks.erase(waiting);
                observer = m_callbackObservers.take(target.name);
            }
        }
    }
    removeCallbackObserver(observer);
    post(waited ? target.proxy : ZDRemoteProxyPtr(), userInfo);
}

void ZDClientTasks::post(const ZDRemoteProxyPtr &callback, const QVariantMap &userInfo)
{
    if (!callback) {
        ZDLog::appendLog(QStringLiteral("Error: callback object not found."));
        return;
    }
    try {
        callback->callOneway(QString::fromLatin1(ZDOrv::kPostCallback), {userInfo});
    } catch (const std::exception &e) {
        ZDException::logException(e, "executeCallback:");
        if (timedOutHere(e) && m_timedOut)
            m_timedOut();
    }
}

bool ZDClientTasks::hasPendingCallback() const
{
    std::lock_guard lock(m_callbackMutex);
    return !m_callbacks.isEmpty();
}
