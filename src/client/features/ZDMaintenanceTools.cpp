#include "features/ZDMaintenanceTools.h"

#include "catalog/ZDApplicationTables.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientTasks.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteObject.h"
#include "process/ZDTaskEx.h"

#include <QElapsedTimer>

#include <csignal>

namespace T = ZDApplicationTables;

ZDMaintenanceTools::ZDMaintenanceTools(ZDClientTasks *tasks, ZDCallbackRegistry *registry)
    : m_tasks(tasks), m_registry(registry)
{
}

void ZDMaintenanceTools::addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                                       const std::function<void()> &clearCancelled)
{
    const auto self = std::make_shared<ZDMaintenanceTools>(tasks, registry);
    const QVariant none;
    root.serve("fcsTidwellRunTasks:", [self, clearCancelled, none](const QVariantList &a) {
        clearCancelled();
        QStringList ids;
        for (const QVariant &v : a.value(0).toList())
            ids << v.toString();
        return self->runCleaningTasks(ids), none;
    });
    root.serve("purgelRemoveApps:settings:", [self, clearCancelled, none](const QVariantList &a) {
        clearCancelled();
        return self->removeApps(a.value(0).toMap(), a.value(1).toMap()), none;
    });
    root.serve("kitterelTrashCaches:settings:", [self, clearCancelled, none](const QVariantList &a) {
        clearCancelled();
        return self->trashCaches(a.value(0).toMap(), a.value(1).toMap()), none;
    });
}

QString ZDMaintenanceTools::tool(const char *bundleID, const char *name, bool withRights) const
{
    const auto run = withRights ? ZDClientTasks::Run::WithRights : ZDClientTasks::Run::AsUser;
    const QString path = m_tasks ? m_tasks->exePathForAppWithBundleID(QLatin1String(bundleID), run) : QString();
    if (!path.isEmpty() && ZDTaskEx::isRunnable(path))
        return path;
    ZDLog::appendLog(QStringLiteral("Cannot find the location of the %@ application"), QLatin1String(name));
    if (m_registry)
        m_registry->postErrorWithCode(ZDOrv::kErrorApplicationMissing, QLatin1String(bundleID));
    return {};
}

void ZDMaintenanceTools::postText(const QString &text) const
{
    if (m_registry)
        m_registry->postErrorString(text);
}

void ZDMaintenanceTools::postFinished() const
{
    if (m_registry)
        m_registry->postFinishedTask();
}

void ZDMaintenanceTools::runAsUser(const QString &path, const QStringList &arguments, std::chrono::seconds timeout,
                                   const char *name) const
{
    QElapsedTimer clock;
    clock.start();
    const int code = ZDTaskEx::terminationCodeFromTask(path, arguments, timeout);
    // The runner stops a late tool with SIGTERM: its work may be half done, say so.
    if (code == SIGTERM && clock.elapsed() >= std::chrono::milliseconds(timeout).count()) {
        ZDLog::appendLog(QStringLiteral("%@ did not finish within %@ seconds and was stopped."), QLatin1String(name),
                         QString::number(timeout.count()));
        postText(QStringLiteral("Error: %1 did not finish within %2 seconds and was stopped; its work may be incomplete.")
                     .arg(QLatin1String(name))
                     .arg(timeout.count()));
    } else if (code != 0) {
        ZDLog::appendLog(QStringLiteral("Task finished with an error."));
        if (m_registry)
            m_registry->postErrorWithCode(code);
    } else {
        ZDLog::appendLog(QStringLiteral("Task finished successfully."));
    }
}

void ZDMaintenanceTools::runCleaningTasks(const QStringList &ids) const
{
    ZDLog::appendLog(QStringLiteral("Running Tidwell tasks: %@"), ids.join(QLatin1Char(',')).left(4096));
    if (const QString why = T::cleaningListProblem(ids); !why.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Refused Tidwell tasks: %@"), why);
        postText(QStringLiteral("Error: the cleaning tasks were refused: ") + why);
        return;
    }
    const QString path = tool(kTidwellID, "Tidwell", false);
    if (!path.isEmpty())
        runAsUser(path, {QStringLiteral("-runtask"), ids.join(QLatin1Char(','))}, kTidwellTimeout, "Tidwell");
}

void ZDMaintenanceTools::removeApps(const QVariantMap &auth, const QVariantMap &settings) const
{
    if (m_registry)
        m_registry->shouldPostFinishedTaskWithTimeout(kPurgelNoticeSeconds);
    const QVariant given = settings.value(QStringLiteral("obj1"));
    bool ok = false;
    const int group = given.userType() == QMetaType::QString ? -1 : given.toInt(&ok);
    if (!given.isValid() || given.isNull()) {
        ZDLog::appendLog(QStringLiteral("Unable to remove Final Cut Studio application - no app ID found"));
        postText(QStringLiteral("Unable to remove Final Cut Studio application - no app ID found"));
        return postFinished();
    }
    if (!ok || !T::isRemovalGroup(group)) {
        ZDLog::appendLog(QStringLiteral("Refused component group %@"), given.toString().left(64));
        postText(QStringLiteral("Error: unknown component group %1").arg(given.toString().left(64)));
        return postFinished();
    }
    ZDLog::appendLog(QStringLiteral("Removing Final Cut Studio app id %@ with Purgel..."), QString::number(group));
    const QString path = tool(kPurgelID, "Purgel", !auth.isEmpty());
    if (path.isEmpty())
        return postFinished();
    const QStringList arguments{QStringLiteral("-auto"), QStringLiteral("-custom"), QString::number(group)};
    if (!auth.isEmpty()) {
        // The tool says when it is done; a launch that failed never will.
        if (m_tasks->launchAuthTask(path, arguments, auth))
            postFinished();
        return;
    }
    runAsUser(path, arguments, kPurgelTimeout, "Purgel");
    postFinished();
}

void ZDMaintenanceTools::trashCaches(const QVariantMap &auth, const QVariantMap &settings) const
{
    if (m_registry)
        m_registry->shouldPostFinishedTaskWithTimeout(kKitterelNoticeSeconds);
    const QString keys = settings.value(QStringLiteral("obj1")).toString();
    ZDLog::appendLog(QStringLiteral("Trashing caches %@"), keys.left(1024));
    if (const QString why = T::cacheListProblem(keys); !why.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Refused cache keys: %@"), why);
        postText(QStringLiteral("Error: the cache keys were refused: ") + why);
        return postFinished();
    }
    const QString path = tool(kKitterelID, "Kitterel", !auth.isEmpty());
    if (path.isEmpty())
        return postFinished();
    const QStringList arguments{QStringLiteral("-clearcaches"), keys, QStringLiteral("-force")};
    if (!auth.isEmpty()) {
        if (m_tasks->launchAuthTask(path, arguments, auth))
            postFinished();
        return;
    }
    runAsUser(path, arguments, kKitterelTimeout, "Kitterel");
    postFinished();
}
