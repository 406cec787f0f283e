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

namespace {

struct TaskText
{
    const char *function;
    const char *description;
    const char *empty; // nullptr: no list to be empty
};

const QHash<QString, TaskText> &taskTexts()
{
    static const QHash<QString, TaskText> texts{
        {QString::fromLatin1(ZDAdminDefaults::kClientTaskName),
         {"Agent settings", "The agents' own settings on the selected computers.", nullptr}},
        {QStringLiteral("Brindel"),
         {"Plug-ins", "The plug-ins of the selected computers merged, and brought into line.", "No plug-ins on the selected computers"}},
        {QStringLiteral("Difference Finder"),
         {"Differences", "What sets computers that fail apart from computers that work.", nullptr}},
        {QStringLiteral("Quellar"),
         {"Crash logs", "The editing applications' crash logs, with their causes and statistics.",
          "No crash logs on the selected computers"}},
        {QStringLiteral("Stowel"),
         {"Preferences", "Back up, restore, trash and lock the applications' preferences.", "No backups on the selected computers"}},
        {QStringLiteral("Tarnok"),
         {"Paths", "Where the applications keep their media, renders and caches.", "No application paths on the selected computers"}},
        {QStringLiteral("Pro Applications"),
         {"Applications", "The editing applications: which run, launch or quit them.", "No editing applications on the selected computers"}},
        {QStringLiteral("Kestra Maintenance Tools"),
         {"Tools", "The maintenance tools on the selected computers.", "No maintenance tools on the selected computers"}},
        {QStringLiteral("Tidwell"), {"Cleaning", "Remove temporary and leftover files.", nullptr}},
        {QStringLiteral("Purgel"), {"Removal", "Remove application components from the computers.", nullptr}},
        {QStringLiteral("Kitterel"), {"Caches", "Trash and rebuild the system and application caches.", nullptr}},
        {QStringLiteral("Mendo"), {"Permissions", "Repair the permissions of the installed software.", nullptr}},
        {QStringLiteral("Ondrel"), {"Media repair", "Repair the media applications' settings and thumbnails.", nullptr}},
        {QStringLiteral("Ketril"), {"Media repair", "Repair the media libraries and their thumbnails.", nullptr}},
        {QStringLiteral("Moravel"), {"Repair", "Repair an application's installation.", nullptr}},
        {QStringLiteral("Cadro"),
         {"Schedules", "Run the tools' tasks on a schedule, merged across the computers.", "No scheduled tasks on the selected computers"}},
        {QStringLiteral("Qmaster"),
         {"Render queue", "The render jobs of the selected computers: pause, resume, cancel.", "No render jobs on the selected computers"}},
    };
    return texts;
}

} // namespace

QString ZDAdminDefaults::taskFunction(const QString &task)
{
    const auto it = taskTexts().constFind(task);
    return it == taskTexts().cend() ? QString() : QString::fromLatin1(it->function);
}

QString ZDAdminDefaults::taskLabel(const QString &task)
{
    const QString function = taskFunction(task);
    if (function.isEmpty() || task.contains(function, Qt::CaseInsensitive))
        return task;
    return task + QStringLiteral(" \u2014 ") + function;
}

QString ZDAdminDefaults::taskDescription(const QString &task)
{
    const auto it = taskTexts().constFind(task);
    return it == taskTexts().cend() ? QString() : QString::fromLatin1(it->description);
}

QString ZDAdminDefaults::taskLoadingText(const QString &task, int computers)
{
    const QString what = taskFunction(task).isEmpty() ? task : taskFunction(task);
    return QStringLiteral("Loading %1 from %2 computer%3\u2026")
        .arg(what.toLower())
        .arg(computers)
        .arg(computers == 1 ? QString() : QStringLiteral("s"));
}

QString ZDAdminDefaults::taskEmptyText(const QString &task)
{
    const auto it = taskTexts().constFind(task);
    return it == taskTexts().cend() || !it->empty ? QString() : QString::fromLatin1(it->empty);
}
