#include "dispatch/ZDActionTarget.h"

#include "fleet/ZDHostNames.h"

namespace ZDActionTarget {

QString counted(int count, const QString &singular, const QString &plural)
{
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? singular : plural);
}

QString question(const QString &action, int count, const QString &singular, const QString &plural, int computers)
{
    return QStringLiteral("%1 %2 on %3?")
        .arg(action, counted(count, singular, plural),
             counted(computers, QStringLiteral("computer"), QStringLiteral("computers")));
}

QString question(const QString &action, int computers)
{
    return QStringLiteral("%1 on %2?").arg(action, counted(computers, QStringLiteral("computer"), QStringLiteral("computers")));
}

QString targetLine(const QStringList &hosts, int shown)
{
    if (hosts.isEmpty())
        return QStringLiteral("No computer.");
    QStringList names;
    for (const QString &host : hosts.mid(0, shown))
        names << ZDHostNames::display(host);
    const qsizetype more = hosts.size() - names.size();
    if (more > 0)
        return QStringLiteral("On %1 and %2 more.").arg(names.join(QStringLiteral(", "))).arg(more);
    if (names.size() == 1)
        return QStringLiteral("On %1.").arg(names.first());
    const QString last = names.takeLast();
    return QStringLiteral("On %1 and %2.").arg(names.join(QStringLiteral(", ")), last);
}

bool hasTarget(int selectedComputers, bool allChosen)
{
    return allChosen || selectedComputers > 0;
}

} // namespace ZDActionTarget
