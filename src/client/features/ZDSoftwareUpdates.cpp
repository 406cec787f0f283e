#include "features/ZDSoftwareUpdates.h"

#include "features/ZDApplications.h"
#include "features/ZDPackageUpdates.h"
#include "bus/ZDNotificationCenter.h"
#include "bus/ZDClientNotifications.h"
#include "files/ZDArchive.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientPreferences.h"
#include "agent/ZDClientTasks.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDRemoteObject.h"
#include "session/ZDFetchWork.h"
#include "process/ZDTaskEx.h"
#include "agent/ZDToolCatalog.h"
#include "trust/ZDUpdateManifest.h"
#include "trust/ZDUpdateSignature.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <csignal>

namespace {
constexpr int kMaxUpdates = 1000;
const QString kCountKey = QStringLiteral("availableUpdateCount");
const QString kCountDateKey = QStringLiteral("availableUpdateCountLastUpdate");

int bundleVersion(const QString &bundle)
{
    bool ok = false;
    const int v = ZDPropertyList::readDictionary(bundle + QStringLiteral("/Contents/Info.plist"))
                      .value(QStringLiteral("CFBundleVersion")).toString().toInt(&ok);
    return ok ? v : -1;
}

// What reaches a tool run with rights: short tokens and a reverse-DNS identifier.
bool validType(const QString &type)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    return re.match(type).hasMatch();
}
bool validBundleID(const QString &id)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9-]{1,63}(\\.[A-Za-z0-9-]{1,63}){1,8}$"));
    return id.size() <= 255 && re.match(id).hasMatch();
}
} // namespace

ZDSoftwareUpdates::ZDSoftwareUpdates(ZDClientTasks &tasks, ZDCallbackRegistry &registry, ZDClientPreferences &prefs,
                                     std::function<void()> clearCancelled, QObject *parent)
    : QObject(parent), m_tasks(tasks), m_registry(registry), m_prefs(prefs), m_clearCancelled(std::move(clearCancelled)),
      m_recount(new QTimer(this))
{
    m_recount->setSingleShot(true);
    m_recount->setInterval(std::chrono::seconds(kRecountSeconds));
    connect(m_recount, &QTimer::timeout, this, [this] {
        // The listing blocks for up to a minute: never on the main thread.
        QThread *worker = QThread::create([this] { availableUpdateCount(false); });
        connect(worker, &QThread::finished, worker, &QObject::deleteLater);
        worker->start();
    });
}

ZDSoftwareUpdates::~ZDSoftwareUpdates()
{
    const std::lock_guard lock(m_alive->mutex);
    m_alive->on = false;
}

void ZDSoftwareUpdates::addOperations(ZDRemoteObject &root)
{
    const QVariant none;
    root.serve("listZendrelNuvells", [this](const QVariantList &) {
        m_clearCancelled();
        return listUpdates();
    });
    root.serve("fetchNuvellAvailableUpdateCount", [this, none](const QVariantList &) {
        m_clearCancelled();
        return fetchAvailableUpdateCount(), none;
    });
    root.serve(ZDOrv::kInstallZendrelNuvellSettings, [this, none](const QVariantList &a) {
        m_clearCancelled();
        return install(a.value(0).toMap(), a.value(1).toMap()), none;
    });
    root.serve("nuvellManualInstall:", [this, none](const QVariantList &a) {
        m_clearCancelled();
        return manualInstall(a.value(0).toString()), none;
    });
}

QUrl ZDSoftwareUpdates::serverRoot() const
{
    const QString set = m_prefs.objectForPreferenceDictionaryKey(QLatin1String(kServerSetting)).toString();
    const QUrl url(set.isEmpty() ? QLatin1String(kDefaultServer) : set);
    return ZDUpdateSignature::isAllowedURL(url, plainHTTP()) ? url : QUrl(QLatin1String(kDefaultServer));
}

bool ZDSoftwareUpdates::plainHTTP() const
{
    return m_prefs.integerPreference(QLatin1String(kPlainHTTPSetting), 0) == 1;
}

QString ZDSoftwareUpdates::defaultToolFolder()
{
    return ZDLocalPaths::applicationDirectory(false) + QStringLiteral("/Zendrel");
}

void ZDSoftwareUpdates::cleanupMountedDisks()
{
    const QDir folder(defaultToolFolder());
    const QFileInfoList left = folder.entryInfoList({QLatin1String(kStagingPrefix) + QLatin1Char('*')},
                                                    QDir::Dirs | QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &item : left) {
        ZDLog::appendLog(QStringLiteral("Removing staging folder %@ of an interrupted update"), item.filePath());
        if (item.isSymLink() || !item.isDir())
            QFile::remove(item.filePath());
        else
            QDir(item.filePath()).removeRecursively();
    }
}

QString ZDSoftwareUpdates::toolExecutable(ZDToolCatalog::Run run) const
{
    const QString path = m_tasks.exePathForAppWithBundleID(QLatin1String(kToolID), run);
    return !path.isEmpty() && ZDTaskEx::isRunnable(path) ? path : QString();
}

QVariant ZDSoftwareUpdates::listUpdates()
{
    const std::lock_guard lock(m_listMutex);
    ZDLog::appendLog(QStringLiteral("Getting Zendrel software updates..."));
    QString why;
    const std::optional<QVariantList> packages = ZDPackageUpdates::list(&why);
    if (!packages)
        ZDLog::appendLog(QStringLiteral("No package updates: %@"), why);
    const QVariant fromTool = toolUpdates();
    // Neither source answered: only why the packages are missing still tells the console something.
    if (!fromTool.isValid() && !packages)
        return QVariantMap{{QStringLiteral("updates"), QVariantList()}, {QLatin1String(ZDOrv::kPackagesProblemKey), why}};
    QVariantMap result = fromTool.toMap();
    QVariantList updates = result.value(QStringLiteral("updates")).toList();
    for (const QVariant &entry : packages.value_or(QVariantList())) {
        if (updates.size() >= kMaxUpdates)
            break;
        updates << entry;
    }
    // The agent itself goes first, alone.
    for (const QVariant &entry : std::as_const(updates)) {
        if (entry.toMap().value(QStringLiteral("bundleid")).toString().compare(QLatin1String(kSelfID), Qt::CaseInsensitive) == 0) {
            updates = {entry};
            break;
        }
    }
    result.insert(QStringLiteral("updates"), updates);
    if (!packages)
        result.insert(QLatin1String(ZDOrv::kPackagesProblemKey), why);
    m_prefs.setObject(qint64(updates.size()), kCountKey);
    m_prefs.setObject(QDateTime::currentDateTimeUtc(), kCountDateKey);
    return result;
}

QVariant ZDSoftwareUpdates::toolUpdates()
{
    QString exe = toolExecutable(ZDClientTasks::Run::AsUser);
    if (!exe.isEmpty()) {
        // "<bundle>/Contents/MacOS/<name>"
        const QString bundle = exe.section(QLatin1Char('/'), 0, -4);
        if (bundleVersion(bundle) < kMinimumToolVersion)
            exe = downloadAndInstallTool(QFileInfo(bundle).absolutePath());
    } else {
        exe = downloadAndInstallTool({});
    }
    if (exe.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Cannot find the location of the Zendrel Nuvell application"));
        return {};
    }
    ZDLog::appendLog(QStringLiteral("Found application at path %@ for bundle ID %@"), exe, QString::fromLatin1(kToolID));
    // Only a stale run of ours can be left: listings are one at a time.
    ZDLog::appendLog(QStringLiteral("Killing existing tasks..."));
    for (const int pid : ZDApplications::processesRunning(exe))
        ::kill(pid, SIGTERM);
    ZDLog::appendLog(QStringLiteral("Launching task..."));
    const auto data = ZDTaskEx::dataFromTask(
        exe, {QStringLiteral("-list"), QStringLiteral("-forceIDs"), QLatin1String(ZDToolCatalog::kSuiteGroupID)},
        kListTimeout);
    if (!data || data->isEmpty()) {
        ZDLog::appendLog(QStringLiteral("No data from Nuvell task"));
        return {};
    }
    const QVariant parsed = ZDPropertyList::fromData(*data);
    const QVariant given = parsed.toMap().value(QStringLiteral("updates"));
    if (parsed.userType() != QMetaType::QVariantMap || given.userType() != QMetaType::QVariantList) {
        ZDLog::appendLog(QStringLiteral("Could not convert data to dictionary"));
        return {};
    }
    QVariantList updates;
    for (const QVariant &entry : given.toList()) {
        if (entry.userType() != QMetaType::QVariantMap || updates.size() >= kMaxUpdates)
            continue;
        updates << entry;
    }
    QVariantMap result = parsed.toMap();
    result.insert(QStringLiteral("updates"), updates);
    return result;
}

qint64 ZDSoftwareUpdates::availableUpdateCount(bool force)
{
    if (m_prefs.integerPreference(QStringLiteral("autoUpdateCheck"), 1) == 0)
        return 0;
    const QVariant count = m_prefs.objectForPreferenceDictionaryKey(kCountKey);
    const QDateTime last = m_prefs.objectForPreferenceDictionaryKey(kCountDateKey).toDateTime();
    // A date in the future is not fresh: a clock set back must not freeze the count.
    const qint64 age = last.isValid() ? last.secsTo(QDateTime::currentDateTimeUtc()) : -1;
    if (force || !count.isValid() || age < 0 || age >= kCountFreshSeconds)
        listUpdates();
    QMetaObject::invokeMethod(this, [this] { restartRecountTimer(); }, Qt::QueuedConnection);
    m_registry.performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kUpdateConfig), {ZDClientPreferences::hostName()});
    return m_prefs.objectForPreferenceDictionaryKey(kCountKey).toLongLong();
}

void ZDSoftwareUpdates::restartRecountTimer()
{
    m_recount->start();
}

void ZDSoftwareUpdates::fetchAvailableUpdateCount()
{
    const qint64 count = availableUpdateCount(false);
    m_registry.performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kSetNuvellCountHostname),
                                            {count, ZDClientPreferences::hostName()});
}

void ZDSoftwareUpdates::install(const QVariantMap &auth, const QVariantMap &settings)
{
    const QString type = settings.value(QStringLiteral("obj1")).toString();
    const QString bundleID = settings.value(QStringLiteral("obj2")).toString();
    ZDLog::appendLog(QStringLiteral("Installing update for %@"), bundleID.left(255));
    if (type.isEmpty())
        return ZDLog::appendLog(QStringLiteral("Error: no type data found"));
    if (bundleID.isEmpty())
        return ZDLog::appendLog(QStringLiteral("Error: no bundle ID specified"));
    if (!validType(type) || !validBundleID(bundleID)) {
        ZDLog::appendLog(QStringLiteral("Refused update type or bundle ID"));
        return m_registry.postErrorString(QStringLiteral("Error: the update's type or bundle identifier was refused."));
    }
    if (type == QLatin1String(ZDPackageUpdates::kType))
        return installPackages(auth, bundleID);
    const QString exe = toolExecutable(auth.isEmpty() ? ZDClientTasks::Run::AsUser : ZDClientTasks::Run::WithRights);
    if (exe.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Cannot find the location of the Zendrel Nuvell application"));
        return m_registry.postErrorWithCode(ZDOrv::kErrorApplicationMissing, QLatin1String(kToolID));
    }
    ZDLog::appendLog(QStringLiteral("Found application at path %@ for bundle ID %@"), exe, QString::fromLatin1(kToolID));
    ZDLog::appendLog(QStringLiteral("Launching task..."));
    m_registry.shouldPostFinishedTaskWithTimeout(kInstallNoticeSeconds);
    const QStringList arguments{QStringLiteral("-install"), type, bundleID};
    if (!auth.isEmpty()) {
        // The tool says when it is done; a launch that failed never will.
        if (m_tasks.launchAuthTask(exe, arguments, auth))
            m_registry.postFinishedTask();
        return;
    }
    // Without credentials the tool runs as the agent's user, as the maker's other tools do.
    const int code = ZDTaskEx::terminationCodeFromTask(exe, arguments, kListTimeout);
    if (code != 0)
        m_registry.postErrorWithCode(code);
    m_registry.postFinishedTask();
}

void ZDSoftwareUpdates::installPackages(const QVariantMap &auth, const QString &bundleID)
{
    // The console waits for this computer's notice, whatever the outcome.
    m_registry.shouldPostFinishedTaskWithTimeout(kInstallNoticeSeconds);
    // The administrator's credentials first, as for any install; polkit then decides for PackageKit.
    if (auth.isEmpty() || m_tasks.authWithDict(auth)) {
        ZDLog::appendLog(QStringLiteral("Unable to authorize. Username and password may be incorrect."));
        m_registry.postErrorWithCode(ZDOrv::kErrorWrongCredentials);
        return m_registry.postFinishedTask();
    }
    const QStringList packages = ZDPackageUpdates::packagesFor(bundleID);
    if (packages.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("No package stands for %@ on this computer"), bundleID);
        m_registry.postErrorString(QStringLiteral("No package stands for %1 on this computer.").arg(bundleID));
        return m_registry.postFinishedTask();
    }
    // A transaction may run for minutes: the console's call returns at once. The agent may
    // quit meanwhile: the worker then tells nobody.
    QThread *worker = QThread::create([this, packages, alive = m_alive] {
        auto tell = [&alive](const auto &what) {
            const std::lock_guard lock(alive->mutex);
            if (alive->on)
                what();
        };
        int sent = 0;
        bool updatedClient = false;
        const QString error = ZDPackageUpdates::install(
            packages,
            [this, &sent, &tell](int percent) {
                // Ten steps per computer, as the console counts them.
                for (; sent < percent / 10; ++sent)
                    tell([this] { m_registry.incrementRemoteProgress(); });
            },
            &updatedClient);
        tell([&] {
            if (!error.isEmpty())
                m_registry.postErrorString(error);
            m_registry.postFinishedTask();
        });
        if (updatedClient) {
            ZDLog::appendLog(QStringLiteral("The agent's own package was updated: relaunching"));
            ZDNotificationCenter::postNotification(ZDClientNotification::relaunch);
        }
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void ZDSoftwareUpdates::manualInstall(const QString &text)
{
    const QUrl url(text.left(4096));
    const QUrl root = serverRoot();
    if (!ZDUpdateSignature::sameOrigin(url, root) || !ZDUpdateSignature::isAllowedURL(url, plainHTTP())
        || !url.path().startsWith(root.path())) {
        const QString why = QStringLiteral("Unable to initiate manual download - invalid URL.");
        ZDLog::appendLog(why);
        return m_registry.postErrorString(why);
    }
    ZDLog::appendLog(QStringLiteral("Beginning manual download of %@..."), url.toString());
    QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

QString ZDSoftwareUpdates::downloadAndInstallTool(const QString &folder)
{
    const std::lock_guard lock(m_installMutex);
    ZDLog::appendLog(QStringLiteral("Downloading and installing Zendrel software updater..."));
    const QString dir = folder.isEmpty() ? defaultToolFolder() : folder;
    QUrl feedURL = serverRoot();
    feedURL.setPath(feedURL.path().chopped(feedURL.path().endsWith(QLatin1Char('/')) ? 1 : 0)
                    + QStringLiteral("/rss/appcasts/com.zendrel.Nuvell.xml"));
    const auto feed = ZDFetchWork::get(feedURL, kMaxFeedBytes, kFetchTimeout, plainHTTP());
    const QVariantMap map = feed.data ? ZDPropertyList::fromData(*feed.data).toMap() : QVariantMap();
    const QUrl archiveURL = feedURL.resolved(QUrl(map.value(QStringLiteral("alternateURL")).toString()));
    if (!feed.data || !ZDUpdateSignature::sameOrigin(feedURL, archiveURL)) {
        ZDLog::appendLog(QStringLiteral("Unable to read the software updater feed %@: %@"), feedURL.toString(),
                         feed.data ? QStringLiteral("no usable URL on the feed's own server") : feed.error);
        return {};
    }
    const auto archive = ZDFetchWork::get(archiveURL, kMaxArchiveBytes, kFetchTimeout, plainHTTP());
    QUrl manifestURL = archiveURL;
    manifestURL.setPath(archiveURL.path() + QLatin1String(ZDUpdateManifest::kSuffix));
    const auto manifest = archive.data
        ? ZDFetchWork::get(manifestURL, ZDUpdateManifest::kMaxBytes, kFetchTimeout, plainHTTP())
        : ZDSoftwareUpdatesFetch::Result{};
    if (!archive.data || archive.data->isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to download %@: %@"), archiveURL.toString(), archive.error);
        return {};
    }
    const QString target = dir + QLatin1Char('/') + QLatin1String(kToolName) + QStringLiteral(".app");
    // Never back to an older or the same version than the copy it replaces.
    const qint64 installed = QFileInfo::exists(target) ? bundleVersion(target) : 0;
    QString why;
    const auto fields = ZDUpdateManifest::check(manifest.data.value_or(QByteArray()), ZDUpdateSignature::bundledPublicKey(),
                                                *archive.data, QLatin1String(kToolID), qMax<qint64>(installed, 0), &why);
    if (!fields) {
        why = QStringLiteral("Refused the software updater from %1: %2").arg(archiveURL.toString(), why);
        ZDLog::appendLog(why);
        m_registry.postErrorString(why);
        return {};
    }
    // Staged beside the old copy, which gives way only once the new one is complete.
    if (!QDir().mkpath(dir)) {
        ZDLog::appendLog(QStringLiteral("Unable to install software updater - cannot create %@"), dir);
        return {};
    }
    QTemporaryDir staging(dir + QLatin1Char('/') + QLatin1String(kStagingPrefix) + QStringLiteral("XXXXXX"));
    QSaveFile zip(staging.filePath(QStringLiteral("download.zip")));
    const QString unpacked = staging.filePath(QStringLiteral("unpacked"));
    const QString fresh = unpacked + QLatin1Char('/') + QLatin1String(kToolName) + QStringLiteral(".app");
    ZDFileTree::Result extracted;
    if (!staging.isValid() || !zip.open(QIODevice::WriteOnly) || zip.write(*archive.data) != archive.data->size()
        || !zip.commit() || !(extracted = ZDArchive::extractZip(zip.fileName(), unpacked, ZDArchive::kApplication)).ok
        || QFileInfo(fresh).isSymLink() || ZDToolCatalog::bundleIdentifierOf(fresh) != QLatin1String(kToolID)
        || bundleVersion(fresh) != fields->version
        || !ZDTaskEx::isRunnable(ZDToolCatalog::executablePathForBundle(fresh))) {
        ZDLog::appendLog(QStringLiteral("Unable to install software updater - error code %@"),
                         extracted.ok ? QStringLiteral("(no updater in the archive)") : extracted.description());
        return {};
    }
    const QString previous = staging.filePath(QStringLiteral("previous"));
    const bool hadOld = QFileInfo(target).exists() || QFileInfo(target).isSymLink();
    if ((hadOld && !QFile::rename(target, previous)) || !QFile::rename(fresh, target)) {
        if (hadOld && !QFileInfo::exists(target))
            QFile::rename(previous, target);
        ZDLog::appendLog(QStringLiteral("Unable to install software updater - cannot replace %@"), target);
        return {};
    }
    const QString exe = ZDToolCatalog::executablePathForBundle(target);
    ZDLog::appendLog(QStringLiteral("Installed the software updater at %@"), target);
    return exe;
}
