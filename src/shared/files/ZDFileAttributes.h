#pragma once
// The lock flag and the colour-label flags of a file or folder.
//
// Locked is the file system's immutable attribute. A process without the right
// to set it (no CAP_LINUX_IMMUTABLE, or a file system without the attribute)
// marks the item with "user.zendrel.locked", holding its previous mode, and
// removes its write bits instead. Label flags live in "user.zendrel.labelflags"
// as decimal text. Both follow symbolic links; only files and folders qualify.
#include <QString>

class ZDFileAttributes
{
public:
    ZDFileAttributes() = delete;

    static constexpr const char *lockAttribute = "user.zendrel.locked";
    static constexpr const char *labelAttribute = "user.zendrel.labelflags";

    static bool isLocked(const QString &path);
    // 0, or the errno of the failure. Unlocking an unlocked item succeeds.
    static int lock(const QString &path);
    static int unlock(const QString &path);

    // 0 when the item has none or cannot be read.
    static int labelFlags(const QString &path);
    // Zero flags remove the attribute.
    static bool setLabelFlags(const QString &path, int flags);
};
