#include "ZDUpdater.h"

#include "files/ZDArchive.h"
#include "files/ZDFileTree.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "plist/ZDPropertyList.h"
#include "process/ZDRunningProcesses.h"
#include "trust/ZDSoftwareUpdatesFetch.h"
#include "trust/ZDUpdateManifest.h"
#include "files/ZDTrash.h"
#include "trust/ZDUpdateSignature.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

using namespace Qt::StringLiterals;

namespace {
constexpr std::chrono::milliseconds kQuitCheck{100};
constexpr std::chrono::seconds kTermWait{10};

QVariantMap infoOf(const QString &bundle)
{
    return ZDPropertyList::readDictionary(bundle + u"/Contents/Info.plist"_s);
}

// "<bundle>/Contents/MacOS/<CFBundleExecutable>", the name a plain file name; empty otherwise.
QString executableOf(const QString &bundle)
{
    const QString name = infoOf(bundle).value(u"CFBundleExecutable"_s).toString();
    if (name.isEmpty() || name.size() > 255 || name.contains(u'/') || name == "."_L1 || name == ".."_L1)
        return {};
    return bundle + u"/Contents/MacOS/"_s + name;
}

bool onReadOnlyVolume(const QString &path)
{
    struct statvfs fs {};
    return ::statvfs(QFile::encodeName(path).constData(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0;
}

bool renameItem(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// The first entry that is an application and not its uninstaller, whatever the letter case.
QString findApplication(const QString &volume)
{
    const QFileInfoList entries = QDir(volume).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (name.endsWith(u".app"_s, Qt::CaseInsensitive) && !name.contains(u"Uninstall"_s, Qt::CaseInsensitive))
            return entry.isDir() && !entry.isSymLink() ? entry.filePath() : QString();
    }
    return {};
}
} // namespace

std::optional<ZDUpdater::Arguments> ZDUpdater::parse(const QStringList &arguments)
{
    QHash<QString, QString> named;
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i).startsWith(u'-')) {
            named.insert(arguments.at(i).mid(1), arguments.at(i + 1));
            ++i;
        }
    }
    Arguments parsed{named.value(u"app"_s), named.value(u"url"_s)};
    if (parsed.url.isEmpty())
        parsed.url = named.value(u"updateCheckPath"_s);
    if (parsed.appPath.isEmpty() || parsed.url.isEmpty())
        return std::nullopt;
    parsed.appPath = QDir::cleanPath(QFileInfo(parsed.appPath).absoluteFilePath());
    return parsed;
}

ZDUpdater::ZDUpdater(Arguments arguments, QObject *parent) : QObject(parent), m_args(std::move(arguments)) {}

ZDUpdater::~ZDUpdater()
{
    wait();
}

void ZDUpdater::wait()
{
    m_stop.request_stop();
    if (m_worker)
        m_worker->wait();
}

void ZDUpdater::start()
{
    m_worker.reset(QThread::create([this] { run(); }));
    m_worker->start();
}

void ZDUpdater::cancel()
{
    ZDLog::appendLog(u"Update cancelled."_s);
    m_stop.request_stop();
}

QString ZDUpdater::appName() const
{
    return ZDFileTree::deletingExtension(ZDFileTree::lastComponent(m_args.appPath));
}

QString ZDUpdater::reopenPath() const
{
    const std::lock_guard lock(m_mutex);
    return m_installedPath.isEmpty() ? m_args.appPath : m_installedPath;
}

bool ZDUpdater::open(const QString &bundlePath)
{
    const QString exe = executableOf(bundlePath);
    if (exe.isEmpty() || !QFileInfo(exe).isExecutable())
        return false;
    ZDLog::appendLog(u"Opening %@..."_s, bundlePath);
    // Never in the updater's own folder, which goes as it quits.
    return QProcess::startDetached(exe, {}, QFileInfo(QDir::homePath()).isDir() ? QDir::homePath() : u"/"_s);
}

bool ZDUpdater::fail(const QString &title, const QString &text)
{
    ZDLog::appendLog(u"%@ - %@"_s, title, text);
    Q_EMIT failed(title, text);
    return false;
}

// The caller is quitting: give it a moment, then ask what is left of it to quit.
void ZDUpdater::stopApplication(std::chrono::milliseconds grace)
{
    const QString exe = QFileInfo(executableOf(m_args.appPath)).canonicalFilePath();
    bool asked = false;
    for (auto waited = std::chrono::milliseconds(0); waited < grace + kTermWait; waited += kQuitCheck) {
        const QList<int> pids = ZDRunningProcesses::ofExecutable(exe);
        if (pids.isEmpty())
            return;
        if (waited >= grace && !asked) {
            ZDLog::appendLog(u"Asking %@ to quit..."_s, appName());
            for (const int pid : pids)
                ::kill(pid, SIGTERM);
            asked = true;
        }
        QThread::msleep(std::chrono::milliseconds(kQuitCheck).count());
    }
}

void ZDUpdater::run()
{
    stopApplication(kQuitWait);
    Q_EMIT statusChanged(u"Downloading %1..."_s.arg(appName()));
    const std::optional<QByteArray> archive = download();
    const bool installed = archive && !wasCancelled() && verify(*archive) && install(*archive);
    Q_EMIT finished(installed);
}

std::optional<QByteArray> ZDUpdater::download()
{
    const QUrl url(m_args.url.left(4096));
    ZDLog::appendLog(u"Creating download request for URL %@..."_s, url.toString());
    if (!ZDUpdateSignature::isAllowedURL(url)) {
        ZDLog::appendLog(u"Unable to initiate download."_s);
        fail(u"Unable to initiate download."_s, u"Please install this update manually."_s);
        return std::nullopt;
    }
    ZDLog::appendLog(u"Downloader initialized successfully..."_s);
    const auto progress = [this](qint64 received, qint64 total) { Q_EMIT progressChanged(received, total); };
    auto result = ZDSoftwareUpdatesFetch::get(url, kMaxArchiveBytes, kDownloadTimeout, progress, false, m_stop.get_token());
    Q_EMIT downloadFinished();
    if (wasCancelled())
        return std::nullopt;
    if (!result.data) {
        ZDLog::appendLog(u"Download failed - %@"_s, result.error);
        fail(u"Download failed."_s, result.error);
        return std::nullopt;
    }
    ZDLog::appendLog(u"Download finished."_s);
    Q_EMIT statusChanged(u"Finishing download..."_s);
    return std::move(result.data);
}

// Against the key, identifier and version of the application being replaced, before anything touches the disk.
bool ZDUpdater::verify(const QByteArray &archive)
{
    QUrl url(m_args.url.left(4096));
    url.setPath(url.path() + QLatin1String(ZDUpdateManifest::kSuffix));
    const auto manifest = ZDSoftwareUpdatesFetch::get(url, ZDUpdateManifest::kMaxBytes, kDownloadTimeout, {}, false,
                                                      m_stop.get_token());
    if (wasCancelled())
        return false;
    const QVariantMap installed = infoOf(m_args.appPath);
    QString why;
    const auto fields = ZDUpdateManifest::check(manifest.data.value_or(QByteArray()),
                                                ZDUpdateSignature::publicKeyOfBundle(m_args.appPath), archive,
                                                installed.value(u"CFBundleIdentifier"_s).toString(),
                                                ZDUpdateManifest::versionNumber(installed.value(u"CFBundleVersion"_s).toString()),
                                                &why);
    if (fields) {
        m_manifestVersion = fields->version;
        return true;
    }
    ZDLog::appendLog(u"Refused the update from %@: %@"_s, m_args.url.left(4096), why);
    return fail(u"Unable to install %1"_s.arg(appName()), why + u" Nothing was changed."_s);
}

bool ZDUpdater::install(const QByteArray &archive)
{
    if (wasCancelled())
        return false;
    const QString name = appName();
    const QString title = u"Unable to install %1"_s.arg(name);
    ZDLog::appendLog(u"Installing Sparkle app %@..."_s, name);
    Q_EMIT statusChanged(u"Installing %1..."_s.arg(name));
    Q_EMIT indeterminate();
    stopApplication(std::chrono::milliseconds(0));

    QString destination = m_args.appPath;
    if (onReadOnlyVolume(QFileInfo(destination).absolutePath()))
        destination = ZDLocalPaths::applicationDirectory(false) + u'/' + ZDFileTree::lastComponent(destination);
    // Staged beside the destination, so that the swap is a rename on one file system.
    QTemporaryDir staging(QFileInfo(destination).absolutePath() + u'/' + QLatin1String(kStagingPrefix) + u"XXXXXX"_s);
    if (!staging.isValid())
        return fail(title, u"Please check you have the necessary permissions to write to %1."_s.arg(destination));

    ZDLog::appendLog(u"Mounting disk image..."_s);
    QSaveFile file(staging.filePath(u"update.zip"_s));
    const QString volume = staging.filePath(u"image"_s);
    if (!file.open(QIODevice::WriteOnly) || file.write(archive) != archive.size() || !file.commit())
        return fail(title, u"Please check you have the necessary permissions to write to %1."_s.arg(destination));
    const ZDFileTree::Result unpacked = ZDArchive::extractZip(file.fileName(), volume, ZDArchive::kApplication);
    if (!unpacked.ok) {
        ZDLog::appendLog(u"Unable to unpack the update: %@"_s, unpacked.description());
        return fail(title, u"Cannot mount disk image."_s);
    }
    if (wasCancelled())
        return false;

    ZDLog::appendLog(u"Searching for app on mounted volume..."_s);
    const QString fresh = findApplication(volume);
    const QString freshExe = fresh.isEmpty() ? QString() : executableOf(fresh);
    if (freshExe.isEmpty() || QFileInfo(freshExe).isSymLink() || !QFileInfo(freshExe).isExecutable())
        return fail(title, u"Cannot find executable file on disk image."_s);
    const QString identifier = infoOf(m_args.appPath).value(u"CFBundleIdentifier"_s).toString();
    if (identifier.isEmpty() || infoOf(fresh).value(u"CFBundleIdentifier"_s).toString() != identifier)
        return fail(title, u"The disk image holds another application than %1."_s.arg(name));
    if (ZDUpdateManifest::versionNumber(infoOf(fresh).value(u"CFBundleVersion"_s).toString()) != m_manifestVersion)
        return fail(title, u"The disk image holds another version than its manifest names."_s);

    // The old copy gives way only once the new one is complete, and comes back if the swap fails.
    ZDLog::appendLog(u"Copying new app from disk image..."_s);
    const QString previous = staging.filePath(u"previous/"_s) + ZDFileTree::lastComponent(destination);
    const bool hadOld = ZDFileTree::exists(destination);
    if (!QDir().mkpath(QFileInfo(previous).absolutePath()) || (hadOld && !renameItem(destination, previous)))
        return fail(title, u"Please check you have the necessary permissions to write to %1."_s.arg(destination));
    if (!renameItem(fresh, destination)) {
        if (hadOld)
            renameItem(previous, destination);
        return fail(title, u"Please check you have the necessary permissions to write to %1."_s.arg(destination));
    }
    {
        const std::lock_guard lock(m_mutex);
        m_installedPath = destination;
    }
    if (hadOld) {
        ZDLog::appendLog(u"Moving old app to Trash..."_s);
        const ZDFileTree::Result trashed = ZDTrash::trashItem(previous, nullptr, destination);
        if (!trashed.ok)
            ZDLog::appendLog(u"Unable to move the old copy to the Trash: %@"_s, trashed.description());
    }
    ::utimensat(AT_FDCWD, QFile::encodeName(destination).constData(), nullptr, AT_SYMLINK_NOFOLLOW);
    ZDLog::appendLog(u"Unmounting disk image..."_s);
    ZDLog::appendLog(u"Removing temp files..."_s);
    ZDLog::appendLog(u"Removing temp folder..."_s);
    staging.remove();
    ZDLog::appendLog(u"Installed %@ at %@"_s, name, destination);
    return true;
}
