#include "console/ZDLogGathering.h"

#include "files/ZDArchive.h"
#include "log/ZDFennick.h"
#include "platform/ZDFormat.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

namespace {

constexpr int kMaxReportedErrors = 20;

QString noLogsTitle() { return QStringLiteral("No logs found"); }

void addError(QStringList *errors, const QString &text)
{
    if (errors && errors->size() < kMaxReportedErrors)
        *errors << text;
}

bool isSafeComponent(const QString &part)
{
    return !part.isEmpty() && part != QLatin1String(".") && part != QLatin1String("..") && !part.contains(QChar(0))
        && part.size() <= 255;
}

} // namespace

ZDLogGathering::ZDLogGathering(const QString &workParent, const QString &desktop, const QString &logFolder)
    : m_workParent(workParent.isEmpty() ? ZDLocalPaths::tempDirectory() : workParent),
      m_desktop(desktop.isEmpty() ? ZDLocalPaths::desktopDirectory() : desktop),
      // Where this process's log and crash reports really go (a root console logs in the computer's folder).
      m_logFolder(logFolder.isEmpty() ? QFileInfo(ZDLog::logFolder()).path() : logFolder),
      m_reportFolders(logFolder.isEmpty() ? ZDFennick::reportFolders()
                                          : QStringList{logFolder + QStringLiteral("/CrashReporter"),
                                                        logFolder + QStringLiteral("/DiagnosticReports")})
{
}

QString ZDLogGathering::workFolder() const
{
    return m_workFolder;
}

QString ZDLogGathering::archivePath() const
{
    return QDir(m_desktop).filePath(QString::fromLatin1(kArchiveName));
}

QString ZDLogGathering::adminLogPath(bool taskLog) const
{
    return QDir(m_logFolder).filePath(QStringLiteral("Zendrel/") + adminName()
                                      + (taskLog ? QStringLiteral(".task.1.log") : QStringLiteral(".1.log")));
}

QString ZDLogGathering::adminName()
{
    return QStringLiteral(KESTRA_ADMIN_NAME);
}

QString ZDLogGathering::missingLogTitle()
{
    return QStringLiteral("No log found");
}

QString ZDLogGathering::missingLogText(bool taskLog)
{
    return taskLog ? QStringLiteral("The background helper task hasn't been triggered yet.")
                   : QStringLiteral("Please start a task to generate a log.");
}

std::unique_ptr<QTemporaryDir> ZDLogGathering::makeWorkFolder()
{
    // A fresh folder only this user can enter: a name fixed in a shared folder could
    // be planted beforehand as a link to files that the clean-up would then delete.
    QDir().mkpath(m_workParent);
    auto work = std::make_unique<QTemporaryDir>(QDir(m_workParent).filePath(QString::fromLatin1(kWorkFolderName)
                                                                             + QStringLiteral("-XXXXXX")));
    m_workFolder = QDir(work->path()).filePath(QString::fromLatin1(kWorkFolderName));
    if (!work->isValid() || !QDir().mkdir(m_workFolder)) {
        ZDLog::appendLog(QStringLiteral("Unable to create a working folder in %@."), m_workParent);
        return nullptr;
    }
    return work;
}

QString ZDLogGathering::destinationFor(const QString &folder, const QString &host, const QString &filePath)
{
    if (!isSafeComponent(host) || host.contains(u'/') || filePath.size() > 4096)
        return QString();
    QStringList parts;
    for (const QString &part : filePath.split(u'/', Qt::SkipEmptyParts)) {
        if (!isSafeComponent(part))
            return QString();
        parts << part;
    }
    if (parts.isEmpty())
        return QString();
    return folder + u'/' + host + u'/' + parts.join(u'/');
}

bool ZDLogGathering::gatherAdminLogsToDirectory(const QString &folder, QStringList *errors) const
{
    struct Source
    {
        QString folder;
        QString prefix;
        const char *suffix;
    };
    // The crash handler writes to DiagnosticReports; older reports may sit in CrashReporter.
    QList<Source> sources{{m_logFolder + QStringLiteral("/Zendrel"), adminName(), ".log"}};
    for (const QString &reports : m_reportFolders)
        sources.append({reports, adminName() + u'_', ".crash"});
    int copied = 0;
    for (const Source &source : sources) {
        const QDir dir(source.folder);
        const QFileInfoList entries = dir.entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo &entry : entries) {
            const QString name = entry.fileName();
            if (!name.startsWith(source.prefix) || !name.endsWith(QLatin1String(source.suffix)))
                continue;
            // Links count as their targets.
            const QString from = entry.isSymLink() ? entry.canonicalFilePath() : entry.absoluteFilePath();
            const QString to = QDir(folder).filePath(name);
            QFile::remove(to);
            if (from.isEmpty() || !QFile::copy(from, to)) {
                ZDLog::appendLog(QStringLiteral("Error copying file %@ - %@"), from, QStringLiteral("copy failed"));
                addError(errors, QStringLiteral("Error copying file"));
                continue;
            }
            ++copied;
        }
    }
    if (copied == 0)
        ZDLog::appendLog(QStringLiteral("No logs found."));
    return copied > 0;
}

ZDLogGathering::Outcome ZDLogGathering::finish(Outcome outcome, std::unique_ptr<QTemporaryDir> work)
{
    if (!work) {
        outcome.title = QStringLiteral("Logs could not be gathered");
        // Where it tried: the folder the administrator can check.
        outcome.text = QStringLiteral("Please check your file permissions on %1.").arg(QDir::toNativeSeparators(m_workParent));
        return outcome;
    }
    QFile::remove(archivePath());
    const ZDFileTree::Result zipped = ZDArchive::createZip(workFolder(), archivePath(), true);
    if (zipped.ok) {
        outcome.success = true;
        outcome.archivePath = archivePath();
        outcome.title = QStringLiteral("Logs gathered successfully");
        outcome.text = QStringLiteral("The gathered logs were placed on your desktop.");
    } else {
        ZDLog::appendLog(QStringLiteral("Logs could not be gathered."));
        outcome.title = QStringLiteral("Logs could not be gathered");
        outcome.text = QStringLiteral("Please check your file permissions.");
    }
    return outcome;
}

ZDLogGathering::Outcome ZDLogGathering::gatherLocal()
{
    ZDLog::appendLog(QStringLiteral("Gathering local logs..."));
    Outcome outcome;
    std::unique_ptr<QTemporaryDir> work = makeWorkFolder();
    if (!work)
        return finish(outcome, nullptr);
    if (!gatherAdminLogsToDirectory(workFolder(), &outcome.fileErrors)) {
        outcome.title = noLogsTitle();
        outcome.text = QStringLiteral("There were no logs available to gather.");
        return outcome;
    }
    return finish(outcome, std::move(work));
}

ZDLogGathering::Outcome ZDLogGathering::gatherNetwork(const QVariantMap &hostFiles, const std::atomic<bool> *cancelled)
{
    Outcome outcome;
    std::unique_ptr<QTemporaryDir> work = makeWorkFolder();
    if (!work)
        return finish(outcome, nullptr);
    if (!gatherAdminLogsToDirectory(workFolder(), &outcome.fileErrors)) {
        outcome.title = noLogsTitle();
        outcome.text = QStringLiteral("There were no logs available to gather.");
        return outcome;
    }
    qint64 total = 0;
    int files = 0;
    for (auto host = hostFiles.cbegin(); host != hostFiles.cend(); ++host) {
        if (host.value().typeId() != QMetaType::QVariantMap)
            continue;
        const QVariantMap fileMap = host.value().toMap();
        for (auto file = fileMap.cbegin(); file != fileMap.cend(); ++file) {
            if (cancelled && cancelled->load()) {
                outcome.title.clear();
                return outcome;
            }
            const QString shownName = file.key().left(512);
            const QString destination = destinationFor(workFolder(), host.key(), file.key());
            const QVariant &value = file.value();
            const bool isData = value.typeId() == QMetaType::QByteArray || value.typeId() == QMetaType::QString;
            const QByteArray data =
                value.typeId() == QMetaType::QString ? value.toString().toUtf8() : value.toByteArray();
            bool written = false;
            if (!destination.isEmpty() && isData && files < kMaxFiles && total + data.size() <= kMaxTotalBytes
                && QDir().mkpath(QFileInfo(destination).absolutePath())) {
                QSaveFile out(destination);
                written = out.open(QIODevice::WriteOnly) && out.write(data) == data.size() && out.commit();
            }
            if (!written) {
                ZDLog::appendLog(QStringLiteral("Error creating file %@"), host.key().left(256) + shownName);
                addError(&outcome.fileErrors, zdFormat(QStringLiteral("The file %@ could not be created."), shownName));
                continue;
            }
            total += data.size();
            ++files;
        }
    }
    return finish(outcome, std::move(work));
}
