#include "catalog/ZDApplicationTables.h"

#include "catalog/ZDCatalogue.h"

#include <QSet>

namespace ZDApplicationTables {
namespace {

bool uniqueKnown(const QStringList &items, bool (*known)(const QString &), qsizetype max, QString *why)
{
    if (items.isEmpty()) {
        *why = QStringLiteral("nothing given");
        return false;
    }
    if (items.size() > max) {
        *why = QStringLiteral("more than %1 items").arg(max);
        return false;
    }
    QSet<QString> seen;
    for (const QString &item : items) {
        if (!known(item)) {
            *why = QStringLiteral("unknown item \"%1\"").arg(item.left(64));
            return false;
        }
        if (seen.contains(item)) {
            *why = QStringLiteral("\"%1\" given twice").arg(item);
            return false;
        }
        seen.insert(item);
    }
    return true;
}

} // namespace

const QList<App> &editingApplications()
{
    static const QList<App> apps = [] {
        QList<App> listed;
        for (const App &app : ZDCatalogue::current().applications) {
            if (app.listed)
                listed << app;
        }
        return listed;
    }();
    return apps;
}

const QList<App> &catalogueApplications()
{
    return ZDCatalogue::current().applications;
}

const App *catalogueApplication(const QString &bundleID)
{
    for (const App &app : catalogueApplications()) {
        if (app.bundleID == bundleID)
            return &app;
    }
    return nullptr;
}

const QList<App> &makersTools()
{
    static const QList<App> tools = [] {
        QList<App> list;
        for (const char *name : {"Aubrel", "Ondrel", "Ketril", "Skelder", "Quellar", "Tidwell", "Purgel", "Moravel",
                                 "Harrowin", "Tarnok", "Brindel", "Stowel", "Peltrim", "Quarrix", "Mendo", "Kitterel",
                                 "Cadro", "Xandrel"}) {
            const QString n = QString::fromLatin1(name);
            list.append({n, QStringLiteral("com.zendrel.") + n, n + QStringLiteral("_Icon_Small")});
        }
        return list;
    }();
    return tools;
}

QStringList passwordProtectedTools()
{
    QStringList names;
    for (const App &tool : makersTools()) {
        if (tool.name != QLatin1String("Ketril") && tool.name != QLatin1String("Moravel"))
            names << tool.name;
    }
    return names;
}

const QList<CleaningTask> &cleaningTasks()
{
    return ZDCatalogue::current().cleaning;
}

bool isCleaningTask(const QString &uniqueID)
{
    static const QSet<QString> ids = [] {
        QSet<QString> s;
        for (const CleaningTask &t : cleaningTasks())
            s.insert(t.uniqueID);
        return s;
    }();
    return ids.contains(uniqueID);
}

QStringList cleaningPreset(int preset)
{
    QStringList ids;
    for (const CleaningTask &t : cleaningTasks()) {
        if (t.presetGroups.contains(preset))
            ids << t.uniqueID;
    }
    return ids;
}

const QList<RemovalGroup> &removalGroups()
{
    return ZDCatalogue::current().removalGroups;
}

bool isRemovalGroup(int index) { return index >= 0 && index < removalGroups().size(); }

QList<int> removalPreset(int preset)
{
    const auto titled = [](std::initializer_list<const char *> titles) {
        QList<int> out;
        for (const RemovalGroup &g : removalGroups()) {
            for (const char *t : titles) {
                if (g.title == QLatin1String(t))
                    out << g.index;
            }
        }
        return out;
    };
    switch (preset) {
    case 0: {
        QList<int> all;
        for (const RemovalGroup &g : removalGroups())
            all << g.index;
        return all;
    }
    case 1: {
        QList<int> all;
        for (const RemovalGroup &g : removalGroups())
            if (g.title != QLatin1String("Final Cut Server"))
                all << g.index;
        return all;
    }
    case 2:
        return titled({"Final Cut Server", "Compressor", "Qmaster", "Shared Files"});
    case 3:
        return titled({"Compressor", "Qmaster"});
    case 4:
        return titled({"Final Cut Pro / Express", "Motion", "Soundtrack Pro", "DVD Studio Pro", "Color", "LiveType",
                       "Cinema Tools"});
    default:
        return {};
    }
}

int removalGroupFor(const QString &numberOrTitle)
{
    bool ok = false;
    const int n = numberOrTitle.toInt(&ok);
    if (ok)
        return isRemovalGroup(n) ? n : -1;
    for (const RemovalGroup &g : removalGroups()) {
        if (g.title.compare(numberOrTitle, Qt::CaseInsensitive) == 0)
            return g.index;
    }
    return -1;
}

const QList<PluginFolder> &pluginFolders()
{
    return ZDCatalogue::current().pluginFolders;
}

QStringList cleaningPaths(const CleaningTask &task)
{
    QStringList out;
    for (const QString &p : task.paths)
        out << ZDCatalogue::expand(p);
    return out;
}

const QList<CacheKey> &cacheKeys()
{
    static const QList<CacheKey> keys = {
        {QStringLiteral("audio"), QStringLiteral("Trash Audio Component cache"), QStringLiteral("rebuild the sound server's module cache")},
        {QStringLiteral("audiounit"), QStringLiteral("Trash Audio Unit cache"), QStringLiteral("rescan the audio plug-in cache")},
        {QStringLiteral("cups"), QStringLiteral("Trash Common Unix Printing Service (CUPS) cache"), QStringLiteral("clear the printing caches")},
        {QStringLiteral("font"), QStringLiteral("Trash Font cache"), QStringLiteral("fc-cache -f")},
        {QStringLiteral("kernel"), QStringLiteral("Trash Kernel cache"), QStringLiteral("depmod -a")},
        {QStringLiteral("lookupd"), QStringLiteral("Trash Directory Services cache"), QStringLiteral("resolvectl flush-caches")},
        {QStringLiteral("qt"), QStringLiteral("Trash QuickTime cache"), QStringLiteral("clear the media framework's registry")},
        {QStringLiteral("launchservices"), QStringLiteral("Rebuild LaunchServices database"), QStringLiteral("update-desktop-database")},
        {QStringLiteral("prebinding"), QStringLiteral("Update Prebinding"), QStringLiteral("ldconfig")},
        {QStringLiteral("spotlight"), QStringLiteral("Rebuild Spotlight Index"), QStringLiteral("rebuild the desktop search index")},
        {QStringLiteral("whatis"), QStringLiteral("Rebuild Whatis Database"), QStringLiteral("mandb")},
        {QStringLiteral("malware"), QStringLiteral("Update Malware Definitions (OS X 10.6 and 10.7 only)"), QStringLiteral("update the malware definitions")},
    };
    return keys;
}

bool isCacheKey(const QString &key)
{
    for (const CacheKey &k : cacheKeys()) {
        if (k.key == key)
            return true;
    }
    return false;
}

QString cleaningListProblem(const QStringList &ids)
{
    QString why;
    return uniqueKnown(ids, &isCleaningTask, cleaningTasks().size(), &why) ? QString() : why;
}

QString cacheListProblem(const QString &joinedKeys)
{
    QString why;
    return uniqueKnown(joinedKeys.split(QLatin1Char(',')), &isCacheKey, cacheKeys().size(), &why) ? QString() : why;
}

} // namespace ZDApplicationTables
