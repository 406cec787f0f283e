#pragma once
// The render queue both render stand-ins share, in the computer's spool folder:
//   clusters.plist  {"sharing": bool, "clusters": [name...]}
//   queue.plist     {cluster: {batchid: {"name", "status", "jobs": {jobid: {"name", "status"}}}}}
// Writers hold the folder's lock file, so the two tools never lose each other's change.
#include "platform/ZDLocalPaths.h"
#include "plist/ZDPropertyList.h"

#include <QDir>
#include <QLockFile>
#include <QVariantMap>

#include <functional>

namespace RenderSpool {

inline QString folder()
{
    return ZDLocalPaths::systemPath(QStringLiteral("/var/spool/render"));
}

inline QString file(const char *name)
{
    return folder() + QLatin1Char('/') + QLatin1String(name);
}

// Reads, changes and writes one spool file under the lock. False when it could not be written.
inline bool change(const char *name, const std::function<void(QVariantMap &)> &edit)
{
    if (!QDir().mkpath(folder()))
        return false;
    QLockFile lock(file("lock"));
    if (!lock.tryLock(10000))
        return false;
    QVariantMap data = ZDPropertyList::readDictionary(file(name));
    edit(data);
    return ZDPropertyList::writeFile(file(name), data);
}

inline QVariantMap read(const char *name)
{
    return ZDPropertyList::readDictionary(file(name));
}

} // namespace RenderSpool
