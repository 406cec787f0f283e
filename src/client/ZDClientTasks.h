#pragma once
// Remote task execution: the maker's tools installed on this computer, their task
// tables, and running a task as the agent's user or with administrator rights.
// Adds its operations to the agent's vended object.
#include "ZDRemoteObject.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class ZDCallbackRegistry;
class ZDNotificationCenter;

class ZDClientTasks : public QObject
{
    Q_OBJECT
public:
    // center: the agent's notification center (main thread), used for the per-task
    // callback names. Lives on the main thread.
    ZDClientTasks(ZDCallbackRegistry &registry, ZDNotificationCenter *center, QObject *parent = nullptr);
    ~ZDClientTasks() override;

    // executeTask:..., authExecuteTask:..., zdAppTasks, needsAdminAccess:,
    // validateUsername:password:.
    void addOperations(ZDRemoteObject &root);

    // Scans the applications folders; run once on a background thread at start.
    void populateZDApps();
    bool zdAppsPopulated() const;
    QStringList zdAppArray() const;
    // {"version", "versionString"} of the tool suite, or empty; populates first when needed.
    QVariantMap orvVersion();
};
