#include "console/ZDCacheCleaner.h"

#include "files/ZDFileManager.h"
#include "files/ZDFileTree.h"
#include "platform/ZDFormat.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"

#include <QDir>

#include <utility>

ZDCacheCleaner::ZDCacheCleaner(QStringList folders)
    : m_folders(folders.isEmpty() ? cacheFolders() : std::move(folders))
{
}

QStringList ZDCacheCleaner::cacheFolders()
{
    // Named here rather than asked of their owners, which create them on asking.
    const QDir caches(ZDLocalPaths::cacheDirectory(true));
    return {caches.filePath(QStringLiteral("com.zendrel.KestraAdmin")), caches.filePath(QStringLiteral("Kestra Admin"))};
}

QString ZDCacheCleaner::confirmationTitle()
{
    return QStringLiteral("Are you sure you wish to clear caches?");
}

QString ZDCacheCleaner::confirmationText()
{
    return QStringLiteral("This will reset all caches for this application including service icons and Quellar logs.");
}

QString ZDCacheCleaner::confirmButton()
{
    return QStringLiteral("Clear Caches");
}

ZDCacheCleaner::Outcome ZDCacheCleaner::trashCaches() const
{
    Outcome outcome;
    for (const QString &folder : m_folders) {
        if (!ZDFileTree::exists(folder))
            continue;
        // Plain attempt only: the user's own caches never need the computer's rights.
        if (!ZDFileManager::trashFile(folder, false) || ZDFileTree::exists(folder)) {
            ZDLog::appendLog(QStringLiteral("Unable to move %@ to the Trash."), folder);
            outcome.result = Result::Failed;
            outcome.title = QStringLiteral("Unable to clean caches");
            outcome.text = zdFormat(QStringLiteral("Please check your permissions for the directory %@."), folder);
            return outcome;
        }
        outcome.cleaned << folder;
    }
    if (outcome.cleaned.isEmpty()) {
        outcome.title = QStringLiteral("No caches to clean");
        outcome.text = zdFormat(QStringLiteral("It would appear that caches have already been cleaned or a permissions "
                                               "issue is preventing the application from writing to the directory %@."),
                                m_folders.value(0));
        return outcome;
    }
    ZDLog::appendLog(QStringLiteral("Caches moved to the Trash."));
    outcome.result = Result::Cleaned;
    outcome.title = QStringLiteral("Caches successfully cleaned");
    outcome.text = QStringLiteral("Please empty your Trash.");
    return outcome;
}
