#include "console/ZDAdminDefaults.h"

#include <QHash>

QVariantMap ZDAdminDefaults::registeredDefaults()
{
    return {
        {QStringLiteral("SUCheckAtStartup"), true},
        {QStringLiteral("quellarLogTableSortedColumn"), QStringLiteral("date")},
        {QStringLiteral("quellarLogTableSortedDescending"), true},
        {QStringLiteral("stowelBackupTableSortedColumn"), QStringLiteral("name")},
        {QStringLiteral("stowelBackupTableSortedDescending"), false},
        {QStringLiteral("brindelOutlineSortedColumn"), QStringLiteral("name")},
        {QStringLiteral("brindelOutlineSortedDescending"), false},
        {QStringLiteral("cadroOutlineSortedColumn"), QStringLiteral("taskDescription")},
        {QStringLiteral("cadroOutlineSortedDescending"), false},
        {QStringLiteral("errorLogTableSortedColumn"), QStringLiteral("date")},
        {QStringLiteral("errorLogTableSortedDescending"), true},
        {QString::fromLatin1(kAuthAddKeychain), 1},
        {QStringLiteral("autoRefresh"), 1},
    };
}

QVariant ZDAdminDefaults::value(const QSettings &settings, const QString &key)
{
    const QVariantMap defaults = registeredDefaults();
    const QVariant fallback = defaults.value(key);
    const QVariant stored = settings.value(key);
    if (!stored.isValid())
        return fallback;
    if (!fallback.isValid())
        return stored;
    // INI files hand back text; keep the default's type when the text converts cleanly.
    QVariant converted = stored;
    if (stored.typeId() == QMetaType::QString && fallback.typeId() == QMetaType::Bool) {
        const QString text = stored.toString().trimmed().toLower();
        if (text == QLatin1String("true") || text == QLatin1String("1"))
            return true;
        if (text == QLatin1String("false") || text == QLatin1String("0"))
            return false;
        return fallback;
    }
    if (!converted.convert(fallback.metaType()))
        return fallback;
    return converted;
}

bool ZDAdminDefaults::boolValue(const QSettings &settings, const QString &key, bool fallback)
{
    const QVariant v = value(settings, key);
    if (!v.isValid())
        return fallback;
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    const QString text = v.toString().trimmed().toLower();
    if (text == QLatin1String("true"))
        return true;
    if (text == QLatin1String("false"))
        return false;
    bool ok = false;
    const int number = text.toInt(&ok);
    return ok ? number != 0 : fallback;
}

QStringList ZDAdminDefaults::taskNames()
{
    return {QStringLiteral("Ondrel"),         QStringLiteral("Quellar"),
            QStringLiteral("Ketril"),         QStringLiteral("Difference Finder"),
            QStringLiteral("Purgel"),         QStringLiteral("Tidwell"),
            QStringLiteral("Moravel"),        QStringLiteral("Tarnok"),
            QStringLiteral("Brindel"),        QStringLiteral("Stowel"),
            QStringLiteral("Pro Applications"), QStringLiteral("Kestra Client"),
            QStringLiteral("Kestra Maintenance Tools"), QStringLiteral("Qmaster"),
            QStringLiteral("Mendo"),          QStringLiteral("Kitterel"),
            QStringLiteral("Cadro")};
}

QString ZDAdminDefaults::taskIconName(const QString &task)
{
    static const QHash<QString, QString> names{
        {QStringLiteral("Ondrel"), QStringLiteral("applications-utilities")},
        {QStringLiteral("Ketril"), QStringLiteral("applications-utilities")},
        {QStringLiteral("Moravel"), QStringLiteral("applications-utilities")},
        {QStringLiteral("Mendo"), QStringLiteral("system-run")},
        {QStringLiteral("Quellar"), QStringLiteral("dialog-warning")},
        {QStringLiteral("Difference Finder"), QStringLiteral("edit-find")},
        {QStringLiteral("Purgel"), QStringLiteral("edit-delete")},
        {QStringLiteral("Tidwell"), QStringLiteral("edit-clear")},
        {QStringLiteral("Tarnok"), QStringLiteral("folder")},
        {QStringLiteral("Brindel"), QStringLiteral("application-x-addon")},
        {QStringLiteral("Stowel"), QStringLiteral("document-save")},
        {QStringLiteral("Pro Applications"), QStringLiteral("applications-multimedia")},
        {QString::fromLatin1(kClientTaskName), QStringLiteral("preferences-system")},
        {QStringLiteral("Kestra Maintenance Tools"), QStringLiteral("applications-system")},
        {QStringLiteral("Qmaster"), QStringLiteral("network-server")},
        {QStringLiteral("Kitterel"), QStringLiteral("user-trash")},
        {QStringLiteral("Cadro"), QStringLiteral("x-office-calendar")},
    };
    return names.value(task, QStringLiteral("applications-other"));
}
