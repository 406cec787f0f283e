#pragma once
// The suite's file layer. Changing operations first try as the process itself
// and, only when that fails and the caller passed `shouldAuth` true, log the
// failure and fall back to the privileged operations of ZDAuthorization: rights
// some other operation obtained are never used unasked. Those report success once
// their tool has started; the waiting forms check the effect on disk.
//
// Every operation may be called from any thread and never throws. A waiting
// form called on the main thread keeps dispatching events while it waits, so
// interface code may run re-entrantly.
//
// Linux stand-ins: the Trash is the freedesktop one; "locked" is the immutable
// attribute, or, where the process may not set it, the attribute
// "user.zendrel.locked" (holding the previous mode) plus the write bits
// removed; colour labels live in "user.zendrel.labelflags"; archives are zip.
#include "files/ZDFileCopyOperation.h"

#include <QDateTime>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <chrono>
#include <optional>

// A label colour as hue, saturation, brightness (HSV value) and alpha, 0..1.
// GUI code converts with `color.to<QColor>()`.
struct ZDLabelColor
{
    double hue = 0;
    double saturation = 0;
    double brightness = 0;
    double alpha = 1;

    template <typename Color>
    Color to() const { return Color::fromHsvF(float(hue), float(saturation), float(brightness), float(alpha)); }
};

class ZDFileManager
{
public:
    using Seconds = std::chrono::seconds;

    ZDFileManager() = delete;

    // Tests. Existence and kind follow symbolic links, as a file manager would.
    static bool fileExistsAtPath(const QString &path);
    static bool isDirectoryAtPath(const QString &path);
    // A folder named like an application bundle or plug-in (".app", ".bundle"...).
    static bool isPackageAtPath(const QString &path);
    static bool isSymbolicLinkAtPath(const QString &path);
    // For a path on a removable-volume root ("/Volumes", "/mnt", "/media/<user>",
    // "/run/media/<user>", below the system root): whether that volume is mounted.
    // Any other path gives true.
    static bool isVolumeMountedForPath(const QString &path);
    static bool isDriveMountedForPath(const QString &path);
    // No entries but ".DS_Store", "Icon\r" and folders empty by this rule. Not a folder: false.
    static bool isFolderEmpty(const QString &path);
    static bool isFileLocked(const QString &path);
    // Bytes; a folder's entries summed without following links; 0 when unreadable.
    static quint64 fileSize(const QString &path);

    // Changing operations.
    static bool trashFile(const QString &path, bool shouldAuth = false);
    static bool trashDirectoryContents(const QString &path, bool shouldAuth = false);
    static bool removeFile(const QString &path, bool shouldAuth = false);
    static bool createDirectory(const QString &path, bool shouldAuth = false);
    static bool copyFile(const QString &source, const QString &destination, bool shouldAuth = false);
    static bool moveFile(const QString &source, const QString &destination, bool shouldAuth = false);

    // Waiting forms: the short form, then wait up to `timeout` for the effect.
    static bool trashFile(const QString &path, Seconds timeout, bool shouldAuth = false);
    static bool removeFile(const QString &path, Seconds timeout, bool shouldAuth = false);
    static bool createDirectory(const QString &path, Seconds timeout, bool shouldAuth = false);
    static bool copyFile(const QString &source, const QString &destination, Seconds timeout, bool shouldAuth = false);
    static bool moveFile(const QString &source, const QString &destination, Seconds timeout, bool shouldAuth = false);
    // A bare number would silently pick the shouldAuth forms.
    static bool trashFile(const QString &, int) = delete;
    static bool removeFile(const QString &, int) = delete;
    static bool createDirectory(const QString &, int) = delete;
    static bool copyFile(const QString &, const QString &, int) = delete;
    static bool moveFile(const QString &, const QString &, int) = delete;
    // Once a size above zero shows, or after the timeout.
    static bool waitForFileCreation(const QString &path, Seconds timeout);

    // Paths trashed, from every sub-folder; folders themselves are never trashed.
    static QStringList trashFilesOfType(const QString &extension, const QString &folder);
    static QStringList trashFilesNamed(const QString &name, const QString &folder);
    static bool removeFolderIfEmpty(const QString &path);
    static QString createDirectoryStructure(const QString &path, const QString &destination);
    static bool copyContentsOfDirectory(const QString &source, const QString &destination, Seconds timeout);

    static bool compressFile(const QString &source, const QString &destination, bool includeParent = true);
    static bool decompressFile(const QString &archive, const QString &destinationFolder);

    // See ZDFileCopyOperation for the delegate and its record.
    static bool copyFileWithProgress(const QString &source, const QString &destination, QObject *delegate,
                                     const QVariant &object = QVariant(), const QVariant &object2 = QVariant(),
                                     QPointer<ZDFileCopyOperation> *operation = nullptr);
    static bool cancelFileOperation(ZDFileCopyOperation *operation);

    static bool lockFile(const QString &path);
    static bool unlockFile(const QString &path);
    // Every file below the folder; the folders keep their own state.
    static bool lockFolder(const QString &path);
    static bool unlockFolder(const QString &path);

    static bool setPosixPermissions(int permissions, const QString &path);
    static bool createEmptyFile(const QString &path);
    // Linux keeps no settable creation date: `setCreationDate` has no effect.
    static bool touchFile(const QString &path, bool setCreationDate = false, bool shouldAuth = false);
    static bool setModificationDate(const QDateTime &date, const QString &path);

    static QString formatFileSize(double bytes);
    static QString validateFilename(const QString &name);
    static QString uniqueFilename(const QString &path);

    static QStringList filesMatchingWildcardPath(const QString &path, const QString &basePath = QString());
    static QString decodeWildcardPath(const QString &path, const QString &basePath = QString());

    // Label indexes are the even numbers 0..14 (an odd index counts as its even neighbour).
    static int finderColorIndexForPath(const QString &path);
    static bool setFinderColorIndex(int index, const QString &path);
    static std::optional<ZDLabelColor> finderColorForPath(const QString &path);
    static std::optional<ZDLabelColor> finderColorForColorIndex(int index);

    // File managers watch folders themselves; this only refreshes the modification
    // time of the folder holding the path so that they re-read it.
    static void notifyFileSystemChanged(const QString &path);
    // Refreshes the user's desktop-entry cache; false when nothing is at the path.
    static bool registerApplicationWithLaunchServices(const QString &path);

    // Blocks while the file was modified within the last 4 seconds (or its lock
    // file lies beside it), for at most two minutes.
    static void waitForFileWrites(const QString &path, const QString &lockFileName = QString());
};
