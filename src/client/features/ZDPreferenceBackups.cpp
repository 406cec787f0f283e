#include "features/ZDPreferenceBackups.h"

#include "files/ZDArchive.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientTasks.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "catalog/ZDPreferenceKinds.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDRemoteObject.h"
#include "process/ZDTaskEx.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <memory>

namespace PK = ZDPreferenceKinds;
using namespace std::chrono_literals;

namespace {

// The parent resolved, the last component kept as it is (never followed).
QString resolvedKeepingLast(const QString &path)
{
    const QFileInfo info(path);
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (parent.isEmpty() || info.fileName().isEmpty())
        return {};
    return parent + QLatin1Char('/') + info.fileName();
}

} // namespace

ZDPreferenceBackups::ZDPreferenceBackups(std::function<QString()> executable,
                                         std::function<void(const QString &)> postError,
                                         std::function<void(int, const QString &)> postCode)
    : m_executable(std::move(executable)), m_postError(std::move(postError)), m_postCode(std::move(postCode))
{
}

void ZDPreferenceBackups::addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                                        std::function<void()> clearCancelled)
{
    const auto self = std::make_shared<ZDPreferenceBackups>(
        [tasks]() -> QString {
            return tasks ? tasks->exePathForAppWithBundleID(QString::fromLatin1(kBundleID), ZDClientTasks::Run::AsUser)
                         : QString();
        },
        [registry](const QString &text) {
            if (registry)
                registry->postErrorString(text);
        },
        [registry](int code, const QString &info) {
            if (registry)
                registry->postErrorWithCode(code, info);
        });
    // Every operation first clears the agent's cancel flag.
    const auto serve = [&](const char *op, std::function<QVariant(const QVariantList &)> body) {
        root.serve(op, [clearCancelled, body = std::move(body)](const QVariantList &args) {
            clearCancelled();
            return body(args);
        });
    };
    const QVariant none;
    serve("stowelBackups", [self](const QVariantList &) { return self->backups(); });
    serve("stowelBackup:type:", [self, none](const QVariantList &a) {
        return self->backup(a.value(0).toString(), a.value(1).toLongLong()), none;
    });
    serve("stowelBackupSelected:", [self, none](const QVariantList &a) {
        return self->backupSelected(a.value(0).toMap()), none;
    });
    serve("stowelBackupData:", [self](const QVariantList &a) { return self->backupData(a.value(0).toString()); });
    serve("stowelRestoreRemoteBackup:", [self, none](const QVariantList &a) {
        return self->restoreRemoteBackup(a.value(0).toByteArray()), none;
    });
    serve("stowelRestoreLocalBackup:", [self, none](const QVariantList &a) {
        return self->restoreLocalBackup(a.value(0).toString()), none;
    });
    serve("stowelTrashSelected:", [self, none](const QVariantList &a) { return self->trashSelected(a.value(0)), none; });
    serve("stowelLockSelected:", [self, none](const QVariantList &a) { return self->lockSelected(a.value(0)), none; });
    serve("stowelUnlockSelected:", [self, none](const QVariantList &a) {
        return self->unlockSelected(a.value(0)), none;
    });
}

QString ZDPreferenceBackups::tool() const
{
    const QString path = m_executable ? m_executable() : QString();
    if (path.isEmpty() || !ZDTaskEx::isRunnable(path)) {
        ZDLog::appendLog(QStringLiteral("Cannot find the location of the Stowel application"));
        return {};
    }
    return path;
}

QString ZDPreferenceBackups::toolOrReport() const
{
    const QString path = tool();
    if (path.isEmpty() && m_postCode)
        m_postCode(kToolNotFound, QString::fromLatin1(kBundleID));
    return path;
}

void ZDPreferenceBackups::report(const QString &text) const
{
    ZDLog::appendLog(text);
    if (m_postError)
        m_postError(text);
}

void ZDPreferenceBackups::run(const QStringList &arguments, std::chrono::seconds timeout) const
{
    const QString path = toolOrReport();
    if (path.isEmpty())
        return;
    if (const int status = ZDTaskEx::terminationCodeFromTask(path, arguments, timeout); status != 0) {
        report(QStringLiteral("Error: %1 failed with status %2 (%3).")
                   .arg(QLatin1String(kBundleID), QString::number(status), arguments.value(0)));
    }
}

QVariant ZDPreferenceBackups::backups() const
{
    ZDLog::appendLog(QStringLiteral("Listing Stowel backups..."));
    const QString path = tool();
    if (path.isEmpty())
        return {};
    const std::optional<QByteArray> output = ZDTaskEx::dataFromTask(path, {QStringLiteral("-list")}, 20s);
    if (!output || output->isEmpty()) {
        ZDLog::appendLog(QStringLiteral("No data from Stowel task"));
        return {};
    }
    QString error;
    const QVariant list = ZDPropertyList::fromData(*output, &error);
    if (list.userType() != QMetaType::QVariantMap) {
        ZDLog::appendLog(QStringLiteral("Could not convert output of Stowel task to dictionary. %@"),
                         error.isEmpty() ? QStringLiteral("not a dictionary") : error);
        return {};
    }
    return list;
}

void ZDPreferenceBackups::backup(const QString &name, qint64 type) const
{
    ZDLog::appendLog(QStringLiteral("Backing up preferences to %@ with type %i"), name, type);
    if (const QString why = PK::backupNameProblem(name); !why.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Refused backup name: %@"), why);
        return;
    }
    run({QStringLiteral("-backup"), name}, 30s);
}

void ZDPreferenceBackups::backupSelected(const QVariantMap &request) const
{
    const QString name = request.value(QStringLiteral("backupName")).toString();
    const QString keys = request.value(QStringLiteral("keys")).toString();
    ZDLog::appendLog(QStringLiteral("Backing up selected preferences: %@"), keys);
    QString why = PK::backupNameProblem(name);
    if (why.isEmpty())
        why = PK::keyListProblem(keys);
    if (!why.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Refused backup request: %@"), why);
        return;
    }
    run({QStringLiteral("-backup"), name, keys}, 15s);
}

QString ZDPreferenceBackups::listedBackup(const QString &path) const
{
    const QString resolved = resolvedKeepingLast(path);
    const QString folder = QFileInfo(PK::backupFolder()).canonicalFilePath();
    if (resolved.isEmpty() || folder.isEmpty() || QFileInfo(resolved).path() != folder ||
        QFileInfo(resolved).isSymLink() || !QFileInfo(resolved).isDir())
        return {};
    const QVariantMap listed = backups().toMap();
    for (const QVariant &entry : listed) {
        const QString listedPath = entry.toMap().value(QStringLiteral("path")).toString();
        if (!listedPath.isEmpty() && resolvedKeepingLast(listedPath) == resolved)
            return resolved;
    }
    return {};
}

QVariant ZDPreferenceBackups::backupData(const QString &path) const
{
    ZDLog::appendLog(QStringLiteral("Getting data from Stowel backup: %@"), path);
    if (path.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to determine backup path"));
        return {};
    }
    const QString backup = listedBackup(path);
    if (backup.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to locate file %@"), path);
        return {};
    }
    ZDLog::appendLog(QStringLiteral("Compressing file..."));
    const QTemporaryDir work(ZDLocalPaths::tempDirectory() + QStringLiteral("/stowel-XXXXXX"));
    const QString archive = work.filePath(ZDLocalPaths::uuid() + QStringLiteral(".zip"));
    if (!work.isValid() || !ZDArchive::createZip(backup, archive, false).ok || !QFileInfo::exists(archive)) {
        ZDLog::appendLog(QStringLiteral("Unable to compress backup %@"), path);
        return {};
    }
    ZDLog::appendLog(QStringLiteral("Loading data..."));
    QFile file(archive);
    if (file.size() > kMaxBackupBytes) {
        ZDLog::appendLog(QStringLiteral("Backup %@ is larger than %i bytes compressed"), path, kMaxBackupBytes);
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        ZDLog::appendLog(QStringLiteral("Unable to load data from file %@"), archive);
        return {};
    }
    const QByteArray data = file.readAll();
    ZDLog::appendLog(QStringLiteral("Removing compressed file..."));
    return data;
}

void ZDPreferenceBackups::restoreRemoteBackup(const QByteArray &data) const
{
    ZDLog::appendLog(QStringLiteral("Restoring Stowel remote backup..."));
    if (data.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Error: no backup data found"));
        return;
    }
    // The archive and what it holds live in a private folder, gone after the restore.
    const QTemporaryDir work(ZDLocalPaths::tempDirectory() + QStringLiteral("/stowel-XXXXXX"));
    const QString name = ZDLocalPaths::uuid();
    const QString archive = work.filePath(name + QStringLiteral(".zip"));
    ZDLog::appendLog(QStringLiteral("Creating compressed file %@..."), archive);
    QFile file(archive);
    if (!work.isValid() || !file.open(QIODevice::WriteOnly) || file.write(data) != data.size() ||
        (file.close(), !QFileInfo::exists(archive))) {
        ZDLog::appendLog(QStringLiteral("Unable to write backup data to disk"));
        return;
    }
    const QString target = work.filePath(name + QLatin1Char('.') + QLatin1String(PK::kBackupExtension));
    ZDLog::appendLog(QStringLiteral("Decompressing to %@..."), target);
    // Nothing of a refused archive is restored, not even a part.
    if (const auto extracted = ZDArchive::extractZip(archive, target); !extracted.ok) {
        const QString text = (extracted.text.startsWith(QLatin1String("refused"))
                                  ? QStringLiteral("Refused the preference backup: %1")
                                  : QStringLiteral("Unable to decompress the preference backup: %1"))
                                 .arg(extracted.description());
        ZDLog::appendLog(text);
        if (m_postError)
            m_postError(text);
        return;
    }
    QFile::remove(archive);
    restore(target);
}

void ZDPreferenceBackups::restoreLocalBackup(const QString &path) const
{
    const QString backup = listedBackup(path);
    if (backup.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to locate file %@"), path);
        if (tool().isEmpty())
            toolOrReport();
        else
            report(QStringLiteral("Error: the preference backup to restore is not one this computer lists."));
        return;
    }
    restore(backup);
}

void ZDPreferenceBackups::restore(const QString &packagePath) const
{
    ZDLog::appendLog(QStringLiteral("Restoring local backup %@..."), packagePath);
    run({QStringLiteral("-restore"), packagePath}, 15s);
}

void ZDPreferenceBackups::runWithKeys(const char *command, const QVariant &keys, int timeoutSeconds) const
{
    if (!keys.isValid() || keys.isNull()) {
        ZDLog::appendLog(QStringLiteral("Unable to determine key list"));
        return;
    }
    // An empty or unknown key list runs nothing: a tool may read "" as everything.
    if (const QString why = PK::keyListProblem(keys.toString()); !why.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Refused key list: %@"), why);
        return;
    }
    QStringList arguments{QString::fromLatin1(command)};
    if (qstrcmp(command, "-trash") == 0)
        arguments << QStringLiteral("-allfiles");
    arguments << keys.toString();
    run(arguments, std::chrono::seconds(timeoutSeconds));
}

void ZDPreferenceBackups::trashSelected(const QVariant &keys) const
{
    ZDLog::appendLog(QStringLiteral("Trashing selected preferences: %@"), keys.toString());
    runWithKeys("-trash", keys, 15);
}

void ZDPreferenceBackups::lockSelected(const QVariant &keys) const
{
    ZDLog::appendLog(QStringLiteral("Locking selected preferences: %@"), keys.toString());
    runWithKeys("-lock", keys, 10);
}

void ZDPreferenceBackups::unlockSelected(const QVariant &keys) const
{
    ZDLog::appendLog(QStringLiteral("Unlocking selected preferences: %@..."), keys.toString());
    runWithKeys("-unlock", keys, 10);
}
