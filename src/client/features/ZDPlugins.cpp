#include "features/ZDPlugins.h"

#include "files/ZDArchive.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientTasks.h"
#include "files/ZDFileManager.h"
#include "files/ZDFileTree.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "features/ZDPluginsFolders.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDRemoteObject.h"
#include "features/ZDSystemProfile.h"
#include "process/ZDTaskEx.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QStringList kExtensions{QStringLiteral("txt"),    QStringLiteral("fcfcc"), QStringLiteral("bundle"),
                              QStringLiteral("fxplug"), QStringLiteral("component"), QStringLiteral("plugin"),
                              QStringLiteral("vst"),    QStringLiteral("vst3"),  QStringLiteral("lv2"),
                              QStringLiteral("ofx"),    QStringLiteral("so")};

bool isPackage(const QString &path)
{
    return QFileInfo(path + QStringLiteral("/Contents/Info.plist")).isFile();
}

void listFolder(const QString &folder, const ZDPluginFolder &row, bool disabled, int depth, QVariantList &out)
{
    if (depth > ZDPlugins::kMaxDepth)
        return;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (out.size() >= ZDPlugins::kMaxRecords)
            return;
        const QString path = entry.filePath();
        const QString extension = entry.suffix().toLower();
        const QStringList &extensions = row.extensions.isEmpty() ? kExtensions : row.extensions;
        if (entry.isDir() && row.folderPlugins && depth == 0)
            out << ZDPlugins::recordFor(path, row.type, disabled);
        else if (entry.isDir() && entry.fileName().indexOf(QLatin1Char('.')) < 0 && !isPackage(path))
            listFolder(path, row, disabled, depth + 1, out);
        else if (extensions.contains(extension))
            out << ZDPlugins::recordFor(path, row.type, disabled);
    }
}

// Only plain files and folders anywhere below path: no link, hard link, device or set-id bit.
QString treeProblem(const QString &path)
{
    const auto problem = [](const QString &item) -> QString {
        struct stat st {};
        if (::lstat(QFile::encodeName(item).constData(), &st) != 0)
            return QStringLiteral("cannot read %1").arg(item);
        if (S_ISLNK(st.st_mode))
            return QStringLiteral("%1 is a link").arg(item);
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
            return QStringLiteral("%1 is not a file or folder").arg(item);
        if (S_ISREG(st.st_mode) && st.st_nlink > 1)
            return QStringLiteral("%1 is a hard link").arg(item);
        if (st.st_mode & (S_ISUID | S_ISGID | S_IWGRP | S_IWOTH))
            return QStringLiteral("%1 has unsafe permissions").arg(item);
        return {};
    };
    if (QString why = problem(path); !why.isEmpty())
        return why;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (QString why = problem(it.next()); !why.isEmpty())
            return why;
    }
    return {};
}

bool renamePath(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// Whether writing at path (or creating it) needs rights: the nearest existing folder decides.
bool needsRightsAt(const QString &path)
{
    QString probe = QFileInfo(path).absolutePath();
    for (int i = 0; i < 64 && !QFileInfo::exists(probe); ++i)
        probe = QFileInfo(probe).absolutePath();
    return ::access(QFile::encodeName(probe).constData(), W_OK) != 0
        || (QFileInfo::exists(path) && ::access(QFile::encodeName(path).constData(), W_OK) != 0);
}

QString safeName(const QString &fileName)
{
    const QString name = ZDFileTree::lastComponent(fileName);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.startsWith(u'.')
        || name.size() > 255 || name.contains(QChar(0)))
        return {};
    return name;
}

} // namespace

ZDPlugins::ZDPlugins(ZDClientTasks *tasks, std::function<void()> clearCancelled,
                     std::function<void(const QString &)> postError)
    : m_tasks(tasks), m_clearCancelled(std::move(clearCancelled)), m_postError(std::move(postError))
{
}

QString ZDPlugins::hashOf(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

bool ZDPlugins::refuse(const QString &why) const
{
    const QString text = QStringLiteral("Refused the plug-in: %1").arg(why);
    ZDLog::appendLog(text);
    if (m_postError)
        m_postError(text);
    return false;
}

QVariantMap ZDPlugins::recordFor(const QString &path, const QString &type, bool disabled)
{
    const QFileInfo info(path);
    const bool package = isPackage(path);
    QVariantMap record{{QStringLiteral("fullPath"), path},
                       {QStringLiteral("moddate"), info.lastModified()},
                       {QStringLiteral("type"), type},
                       {QStringLiteral("disabled"), disabled},
                       {QStringLiteral("accessType"), ZDPluginsFolders::accessTypeForPath(path)},
                       {QStringLiteral("package"), package}};
    QString name = ZDFileTree::deletingExtension(info.fileName());
    QString version;
    if (package) {
        const QVariantMap plist = ZDPropertyList::readDictionary(path + QStringLiteral("/Contents/Info.plist"));
        if (const QString bundleName = plist.value(QStringLiteral("CFBundleName")).toString(); !bundleName.isEmpty())
            name = bundleName;
        version = plist.value(QStringLiteral("CFBundleShortVersionString")).toString();
        if (version.isEmpty())
            version = plist.value(QStringLiteral("CFBundleVersion")).toString();
        if (const QString id = plist.value(QStringLiteral("CFBundleIdentifier")).toString(); !id.isEmpty())
            record.insert(QStringLiteral("bundleIdentifier"), id.left(256));
    }
    if (version.isEmpty() && info.isDir()) {
        // A VST3 bundle describes itself in its module information.
        QFile json(path + QStringLiteral("/Contents/Resources/moduleinfo.json"));
        if (json.open(QIODevice::ReadOnly))
            version = QJsonDocument::fromJson(json.read(1024 * 1024)).object().value(QStringLiteral("Version")).toString();
    }
    record.insert(QStringLiteral("name"), name.left(1024));
    if (!version.isEmpty())
        record.insert(QStringLiteral("version"), version.left(256));
    return record;
}

QVariantList ZDPlugins::plugins(bool withDisabled)
{
    QVariantList out;
    const QString mirror = ZDPluginsFolders::disabledRoot();
    for (const ZDPluginFolder &row : ZDPluginsFolders::folders()) {
        for (const QString &folder : {row.computer, row.user}) {
            if (folder.isEmpty())
                continue;
            listFolder(folder, row, false, 0, out);
            if (withDisabled)
                listFolder(mirror + folder, row, true, 0, out);
        }
    }
    return out;
}

QVariant ZDPlugins::pluginData(const QVariantMap &record) const
{
    const QString given = record.value(QStringLiteral("fullPath")).toString();
    if (given.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to determine plugin path"));
        return {};
    }
    const QString path = ZDPluginsFolders::resolveInside(given);
    if (path.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to locate file %@"), given);
        return {};
    }
    ZDLog::appendLog(QStringLiteral("Compressing file..."));
    QTemporaryDir work;
    const QString zip = work.filePath(QStringLiteral("plugin.zip"));
    // A bundle folder always travels with its own name, so that it unpacks as itself.
    if (!work.isValid() || !ZDArchive::createZip(path, zip, true).ok) {
        ZDLog::appendLog(QStringLiteral("Unable to compress plugin %@"), path);
        return {};
    }
    const qint64 size = QFileInfo(zip).size();
    if (size > kMaxDataBytes) {
        ZDLog::appendLog(QStringLiteral("Plugin %@ is too large to send: %@ bytes compressed, at most %@."), path,
                         QString::number(size), QString::number(kMaxDataBytes));
        return {};
    }
    ZDLog::appendLog(QStringLiteral("Loading data..."));
    QFile file(zip);
    if (!file.open(QIODevice::ReadOnly)) {
        ZDLog::appendLog(QStringLiteral("Unable to load data from file %@"), zip);
        return {};
    }
    return file.readAll();
}

bool ZDPlugins::stageAndSwap(const QString &folder, const QString &name, const QByteArray &data, const QString &oldPath,
                             bool withRights, const QString &expectedHash)
{
    if (data.size() > kMaxDataBytes)
        return refuse(QStringLiteral("its data is larger than %1 bytes").arg(kMaxDataBytes));
    if (!expectedHash.isEmpty()) {
        const QString hash = hashOf(data);
        if (expectedHash.compare(hash, Qt::CaseInsensitive) != 0)
            return refuse(QStringLiteral("its SHA-256 %1 is not the %2 the console was shown").arg(hash, expectedHash.left(64)));
        ZDLog::appendLog(QStringLiteral("Plugin data has the SHA-256 the console was shown: %@"), hash);
    }
    // Held to the archive rule before anything is written near the plug-in folder.
    if (const ZDFileTree::Result checked = ZDArchive::checkData(data); !checked.ok)
        return refuse(checked.description());
    // Next to the destination, the swap is a rename on one file system; a folder only
    // rights may change gets the new copy from a private folder through them.
    const bool writable = ::access(QFile::encodeName(folder).constData(), W_OK) == 0;
    const auto stagingDir = writable ? std::make_unique<QTemporaryDir>(folder + QStringLiteral("/.kestra-plugin-XXXXXX"))
                                     : std::make_unique<QTemporaryDir>();
    QTemporaryDir &staging = *stagingDir;
    const auto move = [writable](const QString &from, const QString &to) {
        return renamePath(from, to) || (!writable && ZDFileManager::moveFile(from, to, std::chrono::seconds(30), true));
    };
    const QString zip = staging.filePath(QStringLiteral("plugin.zip"));
    ZDLog::appendLog(QStringLiteral("Writing data to compressed file %@..."), zip);
    QFile file(zip);
    if ((!writable && !withRights) || !staging.isValid() || !file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.flush()) {
        ZDLog::appendLog(QStringLiteral("Unable to write plugin data to disk."));
        return false;
    }
    file.close();
    const QString unpacked = staging.filePath(QStringLiteral("new"));
    ZDLog::appendLog(QStringLiteral("Decompressing to %@..."), unpacked);
    if (const ZDFileTree::Result extracted = ZDArchive::extractZip(zip, unpacked); !extracted.ok) {
        if (extracted.text.startsWith(QLatin1String("refused")))
            return refuse(extracted.description());
        ZDLog::appendLog(QStringLiteral("Unable to decompress plugin %@"), extracted.description());
        return false;
    }
    const QStringList items = QDir(unpacked).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (items.size() != 1)
        return refuse(QStringLiteral("the archive must hold exactly one plug-in"));
    const QString staged = unpacked + QLatin1Char('/') + items.first();
    // The whole tree, not just its top: a link anywhere would reach out of the plug-in folder.
    if (const QString why = treeProblem(staged); !why.isEmpty())
        return refuse(why.mid(unpacked.size() + 1));
    const QString target = folder + QLatin1Char('/') + name;
    const QString old = !oldPath.isEmpty() ? oldPath : (ZDFileTree::exists(target) ? target : QString());
    // Aside on the old copy's own file system, so that putting it back is a rename too.
    const QString kept = writable ? staging.filePath(QStringLiteral("old"))
                                  : folder + QStringLiteral("/.kestra-old-") + ZDLocalPaths::randomString(12);
    if (!old.isEmpty() && !move(old, kept)) {
        ZDLog::appendLog(QStringLiteral("Unable to move old plugin %@ aside."), old);
        return false;
    }
    if (!move(staged, target)) {
        ZDLog::appendLog(QStringLiteral("Unable to move new plugin into place at %@."), target);
        if (!old.isEmpty() && !move(kept, old))
            ZDLog::appendLog(QStringLiteral("Unable to put old plugin %@ back."), old);
        return false;
    }
    // The old copy goes with the staging folder, or now that the new one is in place.
    if (!old.isEmpty() && !writable && !ZDFileManager::removeFile(kept, std::chrono::seconds(30), true))
        ZDLog::appendLog(QStringLiteral("Unable to remove old plugin %@."), kept);
    return true;
}

bool ZDPlugins::installPlugin(const QVariantMap &record, const QByteArray &data)
{
    ZDLog::appendLog(QStringLiteral("Installing plugin %@"), record.value(QStringLiteral("filename")).toString());
    if (data.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Error: no plugin data found"));
        return false;
    }
    const QString type = record.value(QStringLiteral("type")).toString();
    const QString folder = ZDPluginsFolders::installFolderForType(type);
    if (folder.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unknown plugin type %@"), type);
        return false;
    }
    const QString name = safeName(record.value(QStringLiteral("filename")).toString());
    if (name.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to determine destination filename"));
        return false;
    }
    if (!QFileInfo::exists(folder)) {
        ZDLog::appendLog(QStringLiteral("Creating folder %@"), folder);
        if (!QDir().mkpath(folder)) {
            ZDLog::appendLog(QStringLiteral("Unable to create directory %@"), folder);
            return false;
        }
    }
    return stageAndSwap(folder, name, data, QString(), false, record.value(QStringLiteral("sha256")).toString());
}

bool ZDPlugins::updatePlugin(const QVariantMap &auth, const QVariantMap &settings)
{
    const QVariantMap record = settings.value(QStringLiteral("obj1")).toMap();
    const QByteArray data = settings.value(QStringLiteral("obj2")).toByteArray();
    ZDLog::appendLog(QStringLiteral("Updating plugin %@"), record.value(QStringLiteral("fullPath")).toString());
    if (data.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Error: no plugin data found"));
        return false;
    }
    const QString old = ZDPluginsFolders::resolveInside(record.value(QStringLiteral("fullPath")).toString());
    if (old.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to determine destination filename"));
        return false;
    }
    ZDRightsScope rights;
    if (!auth.isEmpty() && (!m_tasks || !(rights = m_tasks->rightsFor(auth))))
        return false;
    const QFileInfo info(old);
    return stageAndSwap(info.absolutePath(), info.fileName(), data, old, !auth.isEmpty(),
                        record.value(QStringLiteral("sha256")).toString());
}

bool ZDPlugins::runTool(const QStringList &arguments, const QVariantMap &auth) const
{
    const auto run = auth.isEmpty() ? ZDClientTasks::Run::AsUser : ZDClientTasks::Run::WithRights;
    const QString tool = m_tasks ? m_tasks->exePathForAppWithBundleID(QLatin1String(kToolBundleID), run) : QString();
    if (tool.isEmpty() || !QFileInfo(tool).isExecutable()) {
        ZDLog::appendLog(QStringLiteral("Cannot find the location of the Brindel application"));
        return false;
    }
    if (!auth.isEmpty())
        return !m_tasks->launchAuthTask(tool, arguments, auth);
    return ZDTaskEx::terminationCodeFromTask(tool, arguments, std::chrono::seconds(20)) == 0;
}

bool ZDPlugins::enablePlugin(const QVariantMap &auth, const QVariantMap &settings)
{
    const QString given = settings.value(QStringLiteral("obj1")).toString();
    const bool disable = settings.value(QStringLiteral("obj2")).toInt() != 0;
    ZDLog::appendLog(disable ? QStringLiteral("Disabling Brindel plugin %@...") : QStringLiteral("Enabling Brindel plugin %@..."),
                     given);
    const QString path = ZDPluginsFolders::resolveInside(given);
    if (path.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to locate file %@"), given);
        return false;
    }
    return runTool({disable ? QStringLiteral("-disable") : QStringLiteral("-enable"), path}, auth);
}

bool ZDPlugins::changeAccess(const QVariantMap &auth, const QVariantMap &settings)
{
    const QString given = settings.value(QStringLiteral("obj1")).toString();
    const int mode = settings.value(QStringLiteral("obj2")).toInt() != 0 ? 1 : 0;
    ZDLog::appendLog(mode ? QStringLiteral("Changing access type of Brindel plugin %@ to Current User...")
                          : QStringLiteral("Changing access type of Brindel plugin %@ to All Users..."),
                     given);
    const QString path = ZDPluginsFolders::resolveInside(given);
    if (path.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to locate file %@"), given);
        return false;
    }
    return runTool({QStringLiteral("-setaccess"), QString::number(mode), path}, auth);
}

bool ZDPlugins::needsAdminAccess(const QVariantList &records, const QVariantMap &settings) const
{
    const QVariant destDisabled = settings.value(QStringLiteral("destDisabled"));
    const QVariant destAccess = settings.value(QStringLiteral("destAccess"));
    for (const QVariant &value : records.mid(0, kMaxRecords)) {
        const QVariantMap record = value.toMap();
        const QString path = ZDPluginsFolders::resolveInside(record.value(QStringLiteral("fullPath")).toString());
        if (path.isEmpty())
            continue;
        if (needsRightsAt(path))
            return true;
        const bool disabled = destDisabled.isValid() ? destDisabled.toBool() : ZDPluginsFolders::isDisabledPath(path);
        const QString destination =
            ZDPluginsFolders::destination(path, destAccess.isValid() ? destAccess.toInt() : -1, disabled);
        if (!destination.isEmpty() && needsRightsAt(destination))
            return true;
    }
    return false;
}

void ZDPlugins::addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                              const std::function<void()> &clearCancelled)
{
    auto self = std::make_shared<ZDPlugins>(tasks, clearCancelled, [registry](const QString &text) {
        if (registry)
            registry->postErrorString(text);
    });
    auto profile = std::make_shared<ZDSystemProfile>([] { return plugins(false); });
    // A plug-in operation that changed something: the profile is computed again on its next request.
    const auto changed = [profile](bool done) {
        if (done)
            profile->invalidate();
        return done;
    };
    ZDSystemProfile::addOperations(root, profile, clearCancelled);
    // Ahead of the first request, once the agent is up (on two cores it would hold up the
    // listener); a request meanwhile waits for this one computation.
    const auto ahead = [profile] { QThreadPool::globalInstance()->start([profile] { profile->computeAhead(); }); };
    if (QCoreApplication::instance())
        QTimer::singleShot(0, QCoreApplication::instance(), ahead);
    else
        ahead();

    const auto clear = [self] {
        if (self->m_clearCancelled)
            self->m_clearCancelled();
    };
    root.serve("brindelPluginList", [clear](const QVariantList &) -> QVariant {
        clear();
        ZDLog::appendLog(QStringLiteral("Getting Brindel plugin list..."));
        return plugins(true);
    });
    root.serve("brindelPluginData:", [self, clear](const QVariantList &args) -> QVariant {
        clear();
        return self->pluginData(args.value(0).toMap());
    });
    root.serve("brindelInstallPlugin:withData:", [self, clear, changed](const QVariantList &args) -> QVariant {
        clear();
        return changed(self->installPlugin(args.value(0).toMap(), args.value(1).toByteArray()));
    });
    root.serve("brindelUpdatePlugin:settings:", [self, clear, changed](const QVariantList &args) -> QVariant {
        clear();
        return changed(self->updatePlugin(args.value(0).toMap(), args.value(1).toMap()));
    });
    root.serve("brindelEnablePlugin:settings:", [self, clear, changed](const QVariantList &args) -> QVariant {
        clear();
        return changed(self->enablePlugin(args.value(0).toMap(), args.value(1).toMap()));
    });
    root.serve("brindelChangeAccess:settings:", [self, clear, changed](const QVariantList &args) -> QVariant {
        clear();
        return changed(self->changeAccess(args.value(0).toMap(), args.value(1).toMap()));
    });
    root.serve("brindelNeedsAdminAccess:settings:", [self, clear](const QVariantList &args) -> QVariant {
        clear();
        return self->needsAdminAccess(args.value(0).toList(), args.value(1).toMap());
    });
}
