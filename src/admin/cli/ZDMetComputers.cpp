#include "ZDMetComputers.h"
#include "platform/ZDBoundedRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

ZDMetComputers::ZDMetComputers(QString path)
    : m_path(path.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                                  + QStringLiteral("/kestra/met-computers")
                            : std::move(path))
{
}

std::optional<QStringList> ZDMetComputers::load() const
{
    QFile file(m_path);
    // A hint only: anything odd reads as "nothing known", which costs the full window.
    if (!QFileInfo(m_path).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QStringList names;
    const qint64 limit = qint64(kMaxNames) * (kMaxNameLength * 4 + 1);
    const QByteArray data = ZDBoundedRead::upTo(file, limit + 1);
    if (data.size() > limit)
        return std::nullopt;
    for (const QByteArray &line : data.split('\n')) {
        const QString name = QString::fromUtf8(line);
        if (name.isEmpty() || name.size() > kMaxNameLength)
            continue;
        names << name;
        if (names.size() >= kMaxNames)
            break;
    }
    return names;
}

bool ZDMetComputers::save(const QStringList &names) const
{
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return false;
    // Written beside and renamed over: a link planted at the name is replaced, not followed.
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    int count = 0;
    for (const QString &name : names) {
        if (name.isEmpty() || name.size() > kMaxNameLength || name.contains(QLatin1Char('\n')))
            continue;
        file.write(name.toUtf8() + '\n');
        if (++count >= kMaxNames)
            break;
    }
    return file.commit();
}
