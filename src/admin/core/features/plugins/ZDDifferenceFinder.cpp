#include "features/plugins/ZDDifferenceFinder.h"

#include "dispatch/ZDAggregation.h"
#include "log/ZDLog.h"

#include <QHash>

namespace {

struct ListKey
{
    const char *key;
    const char *kind;
};
constexpr ListKey kLists[] = {{"Plugins", "Plugin"}, {"Frameworks", "Framework"}, {"Kexts", "Kernel Extension"}};

bool isListKey(const QString &key)
{
    for (const ListKey &l : kLists) {
        if (key == QLatin1String(l.key))
            return true;
    }
    return false;
}

// Versions compare as versions where they look like one, else as text.
int compareValues(const QString &a, const QString &b)
{
    if (a.contains(QLatin1Char('.')) || b.contains(QLatin1Char('.')))
        return ZDAggregation::compareVersionString(a, b);
    return a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
}

// "" for none, the value, or "low - high".
QString rangeOf(const QStringList &values)
{
    if (values.isEmpty())
        return {};
    QString low = values.first(), high = values.first();
    for (const QString &v : values) {
        if (compareValues(v, low) < 0)
            low = v;
        if (compareValues(v, high) > 0)
            high = v;
    }
    return low == high ? high : low + QStringLiteral(" - ") + high;
}

// A profile's item list (an array, or a dictionary whose values are the items).
QVariantList itemsOf(const QVariantMap &profile, const QString &key)
{
    const QVariant list = profile.value(key);
    return list.typeId() == QMetaType::QVariantMap ? list.toMap().values() : list.toList();
}

// Plug-ins of different kinds may share a name; libraries and modules are unique by name.
QString itemKey(const QVariantMap &item, bool plugin)
{
    const QString name = item.value(QStringLiteral("name")).toString();
    return plugin ? item.value(QStringLiteral("type")).toString() + QChar(0x1f) + name : name;
}

using Index = QHash<QString, QVariantMap>;

Index indexOf(const QVariantMap &profile, const QString &key, bool plugin)
{
    Index index;
    const QVariantList items = itemsOf(profile, key);
    index.reserve(items.size());
    for (const QVariant &v : items) {
        const QVariantMap item = v.toMap();
        const QString k = itemKey(item, plugin);
        if (!index.contains(k))
            index.insert(k, item);
    }
    return index;
}

} // namespace

QVariantMap ZDDifference::toMap() const
{
    return {{QStringLiteral("description"), description},
            {QStringLiteral("working"), working},
            {QStringLiteral("nonworking"), nonworking}};
}

QString ZDDifferenceFinder::groupTitle(Group group)
{
    switch (group) {
    case Working:
        return QStringLiteral("Working");
    case NotWorking:
        return QStringLiteral("Not Working");
    case Unassigned:
        return QStringLiteral("Unassigned");
    }
    return {};
}

void ZDDifferenceFinder::setComputers(const QStringList &hosts)
{
    for (QStringList &g : m_groups)
        g.clear();
    m_groups[Unassigned] = hosts;
}

void ZDDifferenceFinder::move(const QString &host, Group to)
{
    for (QStringList &g : m_groups)
        g.removeAll(host);
    m_groups[to] << host;
}

ZDDifferenceFinder::Refusal ZDDifferenceFinder::refusal(int connectedComputers) const
{
    const QString text = check(connectedComputers);
    if (text.isEmpty())
        return {};
    if (connectedComputers < 2)
        return {QStringLiteral("At least two computers are needed"), text,
                QStringLiteral("Error: you need at least two connected computers in order to calculate the "
                               "differences between them.")};
    return {QStringLiteral("Drag computers into the Working and Not Working categories"), text,
            QStringLiteral("Error: Working and/or non-working arrays not found.")};
}

QString ZDDifferenceFinder::check(int connectedComputers) const
{
    if (connectedComputers < 2)
        return QStringLiteral("You need at least two connected computers in order to calculate the differences between them.");
    if (m_groups[Working].isEmpty() || m_groups[NotWorking].isEmpty())
        return QStringLiteral("You need at least one computer in each of the Working and Not Working categories in order "
                              "to calculate differences.");
    return {};
}

QList<ZDDifference> ZDDifferenceFinder::compare(const QVariantList &failing, const QVariantList &working)
{
    QList<ZDDifference> result;
    if (failing.isEmpty())
        return result;
    // The values all failing computers share.
    const QVariantMap reference = ZDAggregation::commonOrHighestStatsFromArray(failing).toMap();
    ZDLog::appendLog(QStringLiteral("Comparing app versions..."));
    for (auto it = reference.cbegin(); it != reference.cend(); ++it) {
        if (isListKey(it.key()) || !ZDAggregation::isText(it.value()))
            continue;
        const QString value = it.value().toString();
        QStringList seen;
        bool shared = false;
        for (const QVariant &w : working) {
            const QVariant theirs = w.toMap().value(it.key());
            if (!ZDAggregation::isText(theirs))
                continue;
            shared = shared || theirs.toString() == value;
            seen << theirs.toString();
        }
        if (!shared)
            result << ZDDifference{it.key(), rangeOf(seen), value};
    }
    for (const ListKey &l : kLists) {
        const QString key = QLatin1String(l.key);
        const bool plugin = key == QLatin1String("Plugins");
        // Indexed: a profile holds thousands of libraries.
        QList<Index> failingIndexes, workingIndexes;
        for (const QVariant &f : failing.mid(1))
            failingIndexes << indexOf(f.toMap(), key, plugin);
        for (const QVariant &w : working)
            workingIndexes << indexOf(w.toMap(), key, plugin);
        for (const QVariant &v : itemsOf(failing.first().toMap(), key)) {
            const QVariantMap item = v.toMap();
            const QString k = itemKey(item, plugin);
            // Most LV2 and LADSPA bundles carry no version: their presence is what counts.
            const QVariant version = item.value(QStringLiteral("version"));
            const bool versioned = ZDAggregation::isText(version) && !version.toString().isEmpty();
            bool common = true;
            for (const Index &index : std::as_const(failingIndexes))
                common = common && index.contains(k);
            if (!common)
                continue;
            QStringList seen;
            bool shared = false;
            for (const Index &index : std::as_const(workingIndexes)) {
                const auto found = index.constFind(k);
                if (found == index.constEnd())
                    continue;
                if (!versioned) {
                    shared = true;
                    continue;
                }
                const QString theirs = found->value(QStringLiteral("version")).toString();
                shared = shared || compareValues(theirs, version.toString()) == 0;
                seen << theirs;
            }
            if (!shared)
                result << ZDDifference{QStringLiteral("%1 %2").arg(QLatin1String(l.kind), item.value(QStringLiteral("name")).toString()),
                                       rangeOf(seen), versioned ? version.toString() : QStringLiteral("(no version)")};
        }
    }
    return result;
}

QString ZDDifferenceFinder::identityOf(const ZDServicePtr &service)
{
    if (!service)
        return {};
    const QString where = service->hasNetService() ? service->netService().name + QLatin1Char('@')
                                                         + service->netService().domain
                                                   : service->manualIP();
    return where + QLatin1Char(':') + QString::number(service->port());
}
