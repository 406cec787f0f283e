#include "ZDErrorQueueFile.h"

#include "console/ZDAdminSettings.h"
#include "plist/ZDPropertyList.h"

#include <QDir>
#include <QFile>

ZDErrorQueueFile::ZDErrorQueueFile(QString path) : m_path(std::move(path))
{
    if (m_path.isEmpty())
        m_path = QDir(ZDAdminSettings::stateDirectory()).filePath(QStringLiteral("errorqueue.plist"));
}

QVariantList ZDErrorQueueFile::entries() const
{
    // A damaged or foreign file reads as an empty queue; only dictionaries count.
    const QVariant stored = ZDPropertyList::readFile(m_path);
    QVariantList entries;
    for (const QVariant &e : stored.toList()) {
        if (e.typeId() == QMetaType::QVariantMap && entries.size() < kMaxEntries)
            entries << e;
    }
    return entries;
}

bool ZDErrorQueueFile::add(const QVariantList &newest)
{
    if (newest.isEmpty())
        return true;
    QVariantList all = newest + entries();
    if (all.size() > kMaxEntries)
        all = all.mid(0, kMaxEntries);
    return ZDPropertyList::writeFile(m_path, all);
}

bool ZDErrorQueueFile::clear()
{
    return !QFile::exists(m_path) || QFile::remove(m_path);
}
