#pragma once
// Scheduled tasks: the agent runs the maker's scheduling tool for every request.
// What a console sends becomes unit text that may run as root, so every field is
// checked here first (names, the schedule type and its interval value) and a
// refused request never reaches the tool. A run with rights is waited for, within
// a bound, so that the console's next listing shows its result.
#include "agent/ZDToolCatalog.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <functional>

class ZDCallbackRegistry;
class ZDClientTasks;
class ZDRemoteObject;

class ZDSchedules
{
public:
    static constexpr const char *kBundleID = "com.zendrel.Cadro";
    static constexpr std::chrono::seconds kListTimeout{20};
    static constexpr std::chrono::seconds kRunTimeout{10};

    ZDSchedules(ZDClientTasks *tasks, ZDCallbackRegistry *registry);

    static void addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                              std::function<void()> clearCancelled);

    // The tool's task list, or none.
    QVariant taskDictionary() const;
    // auth: credentials or empty; settings: {"obj1": ..., "obj2": ...}. True when the tool succeeded.
    bool addTask(const QVariantMap &auth, const QVariantMap &settings) const;
    bool editTask(const QVariantMap &auth, const QVariantMap &settings) const;
    bool removeTask(const QVariantMap &auth, const QVariantMap &settings) const;
    bool enableTask(const QVariantMap &auth, const QVariantMap &settings) const;

    // The tool's arguments for a task argument dictionary (after "-add" or "-edit"), or
    // empty with the reason in *why.
    static QStringList taskArguments(const QVariantMap &task, bool withFileName, QString *why);
    static bool isTaskFileName(const QString &name);

private:
    QString tool(ZDToolCatalog::Run run) const;
    bool refuse(const QString &why) const;
    bool run(const QStringList &arguments, const QVariantMap &auth) const;

    ZDClientTasks *m_tasks;
    ZDCallbackRegistry *m_registry;
};
