#pragma once
// The applications and tool inputs the application panels and the agent share:
// the editing applications and the maker's tools (name, bundle identifier), the
// cleaning tasks with their presets, the removal groups, the plug-in folders and the
// cache keys. One table read by the agent, the console and the tools, so that what a
// console sends is checked against the same rows before any tool runs. The
// applications, cleaning tasks, removal groups and plug-in folders come from the
// catalogue files (ZDCatalogue); the maker's tools and the cache keys are the suite's.
#include <QList>
#include <QString>
#include <QStringList>

namespace ZDApplicationTables {

struct App
{
    QString name;
    QString bundleID;
    QString icon;
    // How the application is found on a Linux computer (catalogue entries only).
    QStringList desktopIds{};         // desktop entry ids, without ".desktop"
    QStringList executables{};        // names looked up in the program folders, or absolute paths
    QStringList debianPackages{};     // its version from the package database
    QStringList flatpakIds{};
    QStringList applicationFolders{}; // absolute, below the system root
    QStringList versionArguments{};   // run with these, the version is the pattern's first capture
    QString versionPattern{};
    QStringList crashNames{};    // executable names its crash reports carry
    QStringList crashPrefixes{}; // file name prefixes of its crash reports
    bool listed = true;        // shown among the editing applications
};

struct CleaningTask
{
    QString uniqueID;
    QString title;
    QString icon;
    bool selected;          // ticked at first
    QList<int> presetGroups; // the presets that tick it
    QStringList paths{};       // catalogue paths it empties ("~/.cache/x"); empty: the tool's own
};

struct RemovalGroup
{
    QString title;
    QString icon;
    int index; // what travels to the removal tool
};

// A kind's plug-in folders as the catalogue writes them ("~/..." or absolute; "*" and
// "{adobeSuite}" expanded where used).
struct PluginFolder
{
    QString id;
    QString type;     // the kind's label on the wire
    QString computer; // computer-wide folder; may be empty
    QString user;     // the user's folder; may be empty
    QStringList extensions{}; // what counts as a plug-in there; empty: the usual kinds
    bool folderPlugins = false; // each folder in it is one plug-in
};

struct CacheKey
{
    QString key;
    QString title;
    QString linuxAction; // what the cache tool does for it here
};

const QList<App> &editingApplications();
// Every catalogue application, listed or not (the crash-report names of all).
const QList<App> &catalogueApplications();
const App *catalogueApplication(const QString &bundleID);
const QList<App> &makersTools();
// The tools whose shared settings file carries the password protection.
QStringList passwordProtectedTools();

const QList<CleaningTask> &cleaningTasks();
bool isCleaningTask(const QString &uniqueID);
// The ticked tasks of a preset (0 or 1), in table order; empty for an unknown one.
QStringList cleaningPreset(int preset);

const QList<RemovalGroup> &removalGroups();
bool isRemovalGroup(int index);
// The groups a removal preset (0 to 5) ticks, in table order.
QList<int> removalPreset(int preset);
// A group by its number or its title (case-insensitive); -1 when none.
int removalGroupFor(const QString &numberOrTitle);

const QList<PluginFolder> &pluginFolders();
// A cleaning task's paths on this computer (wildcards kept).
QStringList cleaningPaths(const CleaningTask &task);

const QList<CacheKey> &cacheKeys();
bool isCacheKey(const QString &key);

// A list as it travels ("a,b"): each item known, none empty, none twice; at most
// the table's size. Empty when acceptable, else why not.
QString cleaningListProblem(const QStringList &ids);
QString cacheListProblem(const QString &joinedKeys);

} // namespace ZDApplicationTables
