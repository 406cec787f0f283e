#pragma once
// Writing below a base folder without following links (the descriptor is ZDOwnedFd): each component is opened
// from its parent's descriptor, so a link planted anywhere on the way stops the
// write instead of carrying it elsewhere.
#include "platform/ZDNoFollow.h"

#include <QString>
#include <QStringList>

#include <sys/types.h>

class ZDBeneath
{
public:
    // An owned descriptor; invalid (-1) after a failure, errno set.
    using Fd = ZDOwnedFd;

    ZDBeneath() = delete;

    // The base itself; the caller vouches for the way to it.
    static Fd openBase(const QString &folder);
    // "a/./b//c" as {a, b, c}; empty when a component is ".." or holds a NUL.
    static QStringList components(const QString &relative);
    // The folder below base, each missing component made with mode; fails with
    // ELOOP or ENOTDIR where a link or a file stands in the way.
    static Fd makeFolders(int base, const QStringList &components, mode_t mode = 0755);
    // A new file `name` in folder; a file or link already there is unlinked, never written through.
    static Fd replaceFile(int folder, const QString &name, mode_t mode);
};
