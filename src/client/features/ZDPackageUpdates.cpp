#include "features/ZDPackageUpdates.h"

#include "catalog/ZDCatalogue.h"
#include "features/ZDSoftwareUpdates.h"
#include "log/ZDLog.h"

#include <QSet>

namespace {
struct Owner
{
    QString title;
    QString bundleID;
};

// Package name -> the application it stands for.
QHash<QString, Owner> owners()
{
    QHash<QString, Owner> map{
        {QLatin1String(ZDPackageUpdates::kClientPackage),
         {QStringLiteral("Kestra Client"), QLatin1String(ZDSoftwareUpdates::kSelfID)}},
        {QLatin1String(ZDPackageUpdates::kAdminPackage), {QStringLiteral("Kestra Admin"), QLatin1String(ZDPackageUpdates::kAdminID)}},
    };
    // PackageKit names a Flatpak by its id where its Flatpak backend serves.
    for (const auto &app : ZDCatalogue::current().applications)
        for (const QString &package : app.debianPackages + app.flatpakIds)
            if (!map.contains(package))
                map.insert(package, {app.name, app.bundleID});
    return map;
}

QString asHtml(const QString &text)
{
    return text.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"));
}
} // namespace

std::optional<QVariantList> ZDPackageUpdates::list(QString *why)
{
    const ZDPackageKit pk;
    const ZDPackageKit::Result waiting = pk.updates();
    if (!waiting.ok) {
        *why = waiting.error;
        return std::nullopt;
    }
    const QHash<QString, Owner> known = owners();
    QList<ZDPackageKit::Package> ours;
    for (const ZDPackageKit::Package &p : waiting.packages)
        if (known.contains(p.name()))
            ours << p;
    if (ours.isEmpty())
        return QVariantList();
    QStringList ids;
    for (const ZDPackageKit::Package &p : ours)
        ids << p.id;
    // Size and change text are extras: a backend without them still lists the update.
    const ZDPackageKit::Result details = pk.details(ids);
    const ZDPackageKit::Result changes = pk.updateDetails(ids);
    QVariantList entries;
    QSet<QString> seen;
    for (const ZDPackageKit::Package &p : ours) {
        const Owner owner = known.value(p.name());
        if (seen.contains(owner.bundleID))
            continue; // one entry per application, however many of its packages wait
        seen.insert(owner.bundleID);
        const QString change = changes.changes.value(p.id);
        entries << QVariantMap{{QStringLiteral("title"), owner.title + QLatin1Char(' ') + p.version()},
                               {QStringLiteral("type"), QLatin1String(kType)},
                               {QStringLiteral("bundleid"), owner.bundleID},
                               {QStringLiteral("size"), details.details.value(p.id).value(QStringLiteral("size"), qint64(0))},
                               {QStringLiteral("changelist"), asHtml(change.isEmpty() ? p.summary : change)},
                               {QStringLiteral("version"), p.version()},
                               {QStringLiteral("package"), p.name()}};
    }
    return entries;
}

QStringList ZDPackageUpdates::packagesFor(const QString &bundleID)
{
    QStringList packages;
    const QHash<QString, Owner> known = owners();
    for (auto it = known.cbegin(); it != known.cend(); ++it)
        if (it.value().bundleID.compare(bundleID, Qt::CaseInsensitive) == 0 && ZDPackageKit::validPackageName(it.key()))
            packages << it.key();
    packages.sort();
    return packages;
}

QString ZDPackageUpdates::install(const QStringList &packages, const ZDPackageKit::Progress &progress, bool *updatedClient)
{
    const ZDPackageKit pk;
    // What waits now, not what the console saw: the agent picks the versions itself.
    const ZDPackageKit::Result waiting = pk.updates();
    if (!waiting.ok)
        return waiting.error;
    QStringList ids;
    for (const ZDPackageKit::Package &p : waiting.packages)
        if (packages.contains(p.name()))
            ids << p.id;
    if (ids.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("No update waits for %@"), packages.join(QStringLiteral(", ")));
        return {};
    }
    ZDLog::appendLog(QStringLiteral("Updating %@ through PackageKit"), ids.join(QStringLiteral(", ")));
    const ZDPackageKit::Result done = pk.update(ids, progress);
    if (!done.ok) {
        // Another agent of this computer (another user's) may have brought it up to date meanwhile.
        if (!ZDPackageKit::alreadyDone(done))
            return done.error;
        ZDLog::appendLog(QStringLiteral("Updated meanwhile by another transaction"));
    }
    for (const QString &id : ids)
        if (id.section(QLatin1Char(';'), 0, 0) == QLatin1String(kClientPackage))
            *updatedClient = true;
    ZDLog::appendLog(QStringLiteral("Updated %@"), ids.join(QStringLiteral(", ")));
    return {};
}
