#pragma once
// Clearing the console's caches: its cache folders are moved to the user's Trash
// (so they can be restored), with the texts of the confirmation and of each
// outcome. Blocking file work: call trashCaches() off the GUI thread.
#include <QString>
#include <QStringList>

class ZDCacheCleaner
{
public:
    enum class Result { Cleaned, Failed, NothingToClean };

    struct Outcome
    {
        Result result = Result::NothingToClean;
        QString title;
        QString text;
        // The folders moved to the Trash.
        QStringList cleaned;
    };

    // folders empty: the console's cache folders (cacheFolders()).
    explicit ZDCacheCleaner(QStringList folders = {});

    // The console's own folder below the user's caches and the one of its icon caches.
    static QStringList cacheFolders();
    QStringList folders() const { return m_folders; }

    static QString confirmationTitle();
    static QString confirmationText();
    static QString confirmButton();

    // Moves every existing folder to the Trash; stops at the first that cannot be moved.
    Outcome trashCaches() const;

private:
    QStringList m_folders;
};
