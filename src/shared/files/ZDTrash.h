#pragma once
// The user's freedesktop Trash: items go to "<Trash>/files/<name>" with a
// "<Trash>/info/<name>.trashinfo" record, so any file manager can restore them.
#include "files/ZDFileTree.h"

#include <QDateTime>
#include <QString>

class ZDTrash
{
public:
    ZDTrash() = delete;

    static QString filesDirectory();
    static QString infoDirectory();

    // On success `trashedPath` receives the item's new path. A taken name gets
    // "_<yyyyMMddHHmmss>.<extension>" as privileged trashing does, then " 2", " 3"...
    // originalPath: where a restore puts it back, when not where it is now (an item set aside first).
    static ZDFileTree::Result trashItem(const QString &path, QString *trashedPath = nullptr,
                                        const QString &originalPath = QString());

    // The restore record for an item that was at `originalPath`.
    static QByteArray trashInfo(const QString &originalPath, const QDateTime &deletionDate);
};
