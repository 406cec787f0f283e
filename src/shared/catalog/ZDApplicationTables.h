#pragma once
// The applications and tool inputs the application panels and the agent share:
// the editing applications and the maker's tools (name, bundle identifier), the
// cleaning tasks with their presets, the removal groups and the cache keys. One
// table read by the agent, the console and the tool stand-ins, so that what a
// console sends is checked against the same rows before any tool runs.
#include <QList>
#include <QString>
#include <QStringList>

namespace ZDApplicationTables {

struct App
{
    QString name;
    QString bundleID;
    QString icon;
};

struct CleaningTask
{
    QString uniqueID;
    QString title;
    QString icon;
    bool selected;          // ticked at first
    QList<int> presetGroups; // the presets that tick it
};

struct RemovalGroup
{
    QString title;
    QString icon;
    int index; // what travels to the removal tool
};

struct CacheKey
{
    QString key;
    QString title;
    QString linuxAction; // what the cache tool does for it here
};

const QList<App> &editingApplications();
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

const QList<CacheKey> &cacheKeys();
bool isCacheKey(const QString &key);

// A list as it travels ("a,b"): each item known, none empty, none twice; at most
// the table's size. Empty when acceptable, else why not.
QString cleaningListProblem(const QStringList &ids);
QString cacheListProblem(const QString &joinedKeys);

} // namespace ZDApplicationTables
