#include "features/apps/ZDMaintenanceRuns.h"

#include "catalog/ZDApplicationTables.h"
#include "dispatch/ZDCallback.h"
#include "dispatch/ZDErrorCallback.h"
#include "log/ZDLog.h"

#include <QCoreApplication>
#include <QSet>
#include <QThread>

#include <chrono>
#include <utility>

namespace T = ZDApplicationTables;
using namespace Qt::StringLiterals;

ZDMaintenanceRuns::ZDMaintenanceRuns(ZDDispatcher &dispatcher, ZDErrorCallback *callback,
                                     ZDDispatcher::ServiceList services, HostOf hostOf, QObject *parent)
    : QObject(parent), m_dispatcher(dispatcher), m_services(std::move(services)), m_hostOf(std::move(hostOf)),
      m_notices(dispatcher, callback, this)
{
    if (!callback)
        return;
    connect(callback, &ZDErrorCallback::progressIncremented, this, [this] {
        bool show = false;
        {
            std::lock_guard lock(m_mutex);
            ++m_steps;
            show = m_stepsShown < m_total;
            m_stepsShown += show ? 1 : 0;
        }
        if (show)
            Q_EMIT progressAdvanced();
    }, Qt::DirectConnection);
}

QStringList ZDMaintenanceRuns::cleaningIDsFor(const QStringList &arguments, QString *why)
{
    bool numeric = false;
    const int preset = arguments.size() == 1 ? arguments.first().toInt(&numeric) : -1;
    if (numeric) {
        const QStringList ids = T::cleaningPreset(preset);
        *why = ids.isEmpty() ? u"no cleaning preset %1 (0 or 1)"_s.arg(preset) : QString();
        return ids;
    }
    *why = T::cleaningListProblem(arguments);
    return why->isEmpty() ? arguments : QStringList();
}

QList<int> ZDMaintenanceRuns::removalGroupsFor(const QStringList &arguments, QString *why)
{
    why->clear();
    if (arguments.size() == 2 && arguments.first() == "preset"_L1) {
        bool ok = false;
        const int preset = arguments.last().toInt(&ok);
        if (!ok || preset < 0 || preset > 5)
            *why = u"no removal preset %1 (0 to 5)"_s.arg(arguments.last());
        return ok ? T::removalPreset(preset) : QList<int>();
    }
    QList<int> groups;
    for (const QString &given : arguments) {
        const int group = T::removalGroupFor(given);
        if (group < 0) {
            *why = u"no component group \"%1\""_s.arg(given.left(64));
            return {};
        }
        if (!groups.contains(group))
            groups << group;
    }
    if (groups.isEmpty())
        *why = u"no component group given"_s;
    return groups;
}

ZDMaintenanceRuns::Repair ZDMaintenanceRuns::repairFor(const QString &tool)
{
    const QString t = tool.section(u'.', -1);
    const auto message = [](const char *what) {
        return u"Repairing %1 on %2 computer%3. It may take up to 30 seconds before results start appearing."_s.arg(
            QLatin1String(what));
    };
    const auto log = [](const char *what) { return u"Repairing %1..."_s.arg(QLatin1String(what)); };
    if (t.compare("Ondrel"_L1, Qt::CaseInsensitive) == 0)
        return {u"Ondrel"_s, u"com.zendrel.Ondrel"_s, u"zdOndrelScanFinished"_s, message("Compressor"), log("Compressor"),
                u"Trash preferences"_s};
    if (t.compare("Ketril"_L1, Qt::CaseInsensitive) == 0)
        return {u"Ketril"_s, u"com.zendrel.Ketril"_s, u"zdKetrilScanFinished"_s, message("Creative Suite"), log("Creative Suite"),
                u"Trash preferences and workspaces"_s};
    if (t.compare("Moravel"_L1, Qt::CaseInsensitive) == 0)
        return {u"Moravel"_s, u"com.zendrel.Moravel"_s, u"zdMoravelScanFinished"_s, message("Media Composer"), log("Media Composer"),
                u"Trash unit lock files"_s};
    if (t.compare("Mendo"_L1, Qt::CaseInsensitive) == 0)
        return {u"Mendo"_s, u"com.zendrel.Mendo"_s, QString(), QString(), u"Mendoing..."_s, QString()};
    return {};
}

ZDMaintenanceRuns::Report ZDMaintenanceRuns::clean(const QStringList &ids)
{
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    m_dispatcher.clearProcessingCancelled();
    Report report;
    if (ids.isEmpty())
        return report;
    ZDLog::appendLog(u"Running Tidwell tasks..."_s);
    for (const ZDServicePtr &s : std::as_const(m_services)) {
        if (m_dispatcher.isProcessingCancelled())
            break;
        m_dispatcher.executeRemoteMethod(u"fcsTidwellRunTasks:"_s, ids, QVariant(), s);
        ++report.handed;
    }
    return report;
}

ZDMaintenanceRuns::Report ZDMaintenanceRuns::removeGroups(const QList<int> &groups, bool withRights, double waitSeconds)
{
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    m_dispatcher.clearProcessingCancelled();
    Report report;
    ZDLog::appendLog(u"Removing files..."_s);
    // One group at a time on all computers: a computer holds one finished notice at a time.
    for (const int group : groups) {
        if (!T::isRemovalGroup(group))
            continue;
        const int from = m_notices.mark();
        int handed = 0;
        for (const ZDServicePtr &s : std::as_const(m_services)) {
            if (m_dispatcher.isProcessingCancelled())
                break;
            const bool ok = withRights
                ? m_dispatcher.authExecuteRemoteMethod(u"purgelRemoveApps:settings:"_s, group, QVariant(), s)
                : (m_dispatcher.objectFromRemoteMethod(u"purgelRemoveApps:settings:"_s, QVariant(),
                                                       QVariantMap{{u"obj1"_s, group}}, s),
                   s->isConnected());
            handed += ok ? 1 : 0;
            if (!ok)
                report.failures << m_hostOf(s) + u": not handed the removal of group %1"_s.arg(group);
        }
        report.handed += handed;
        report.finished += m_notices.waitFor(from, handed, waitSeconds);
    }
    return report;
}

ZDMaintenanceRuns::Report ZDMaintenanceRuns::trashCaches(const QStringList &keys, bool withRights, double waitSeconds)
{
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    m_dispatcher.clearProcessingCancelled();
    Report report;
    if (const QString why = T::cacheListProblem(keys.join(u',')); !why.isEmpty()) {
        report.failures << u"refused: "_s + why;
        return report;
    }
    const int from = m_notices.mark();
    {
        std::lock_guard lock(m_mutex);
        m_steps = 0;
        m_stepsShown = 0;
        m_total = int(m_services.size() * keys.size());
        report.total = m_total;
    }
    Q_EMIT progressStarted(report.total);
    for (const ZDServicePtr &s : std::as_const(m_services)) {
        if (m_dispatcher.isProcessingCancelled())
            break;
        const QString joined = keys.join(u',');
        const bool ok = withRights
            ? m_dispatcher.authExecuteRemoteMethod(u"kitterelTrashCaches:settings:"_s, joined, QVariant(), s)
            : (m_dispatcher.objectFromRemoteMethod(u"kitterelTrashCaches:settings:"_s, QVariant(),
                                                   QVariantMap{{u"obj1"_s, joined}}, s),
               s->isConnected());
        report.handed += ok ? 1 : 0;
        if (!ok)
            report.failures << m_hostOf(s) + u": not handed the cache run"_s;
    }
    report.finished = m_notices.waitFor(from, report.handed, waitSeconds);
    int missing = 0;
    {
        std::lock_guard lock(m_mutex);
        report.steps = m_steps;
        missing = m_total - m_stepsShown;
        m_stepsShown = m_total;
    }
    // A tool that skipped a key posted fewer steps: the bar still ends full.
    for (int i = 0; i < missing; ++i)
        Q_EMIT progressAdvanced();
    Q_EMIT progressFinished();
    return report;
}

ZDMaintenanceRuns::Report ZDMaintenanceRuns::repair(const Repair &repair, const QString &task, double waitSeconds)
{
    Report report;
    if (repair.bundleID.isEmpty() || (task != "0"_L1 && task != "1"_L1)) {
        report.failures << u"refused: no such repair"_s;
        return report;
    }
    ZDLog::appendLog(repair.log);
    // Switching tasks cancels what runs; a repair asked for afterwards still runs.
    m_dispatcher.clearProcessingCancelled();
    // Filled on the callbacks' (main) thread; shared so that a late answer never reaches a finished run.
    struct Answers
    {
        std::mutex mutex;
        std::condition_variable arrived;
        QList<int> fresh; // indexes into `asked`, in order of arrival
    };
    const auto answers = std::make_shared<Answers>();
    QList<std::pair<ZDServicePtr, std::shared_ptr<ZDCallback>>> asked;
    qsizetype expected = 0;
    for (const ZDServicePtr &s : std::as_const(m_services)) {
        if (m_dispatcher.isProcessingCancelled())
            break;
        std::shared_ptr<ZDCallback> callback;
        if (!repair.callback.isEmpty()) {
            // Lives on the main thread, where its answers are delivered, and is deleted there.
            callback.reset(new ZDCallback(repair.callback, s->hostName()), [](ZDCallback *c) { c->deleteLater(); });
            callback->moveToThread(QCoreApplication::instance()->thread());
            connect(callback.get(), &ZDCallback::objectDidPostCallback, callback.get(),
                    [answers, index = int(asked.size())](ZDCallback *) {
                        std::lock_guard lock(answers->mutex);
                        answers->fresh << index;
                        answers->arrived.notify_all();
                    }, Qt::DirectConnection);
            asked.append({s, callback});
        }
        if (m_dispatcher.authExecuteRemoteTask(task, repair.bundleID, QStringList(), s, callback)) {
            ++report.handed;
            expected += callback ? 1 : 0;
        } else {
            report.failures << m_hostOf(s) + u": not handed the repair"_s;
        }
    }
    // Each answer goes out as it comes; one that says the rights were refused drops that computer's password.
    QSet<int> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(qint64(waitSeconds * 1000));
    std::unique_lock lock(answers->mutex);
    while (seen.size() < expected && !m_dispatcher.isProcessingCancelled() && std::chrono::steady_clock::now() < deadline) {
        answers->arrived.wait_for(lock, std::chrono::milliseconds(250));
        const QList<int> fresh = std::exchange(answers->fresh, {});
        lock.unlock();
        for (const int i : fresh) {
            if (seen.contains(i))
                continue;
            seen.insert(i);
            const auto &[service, callback] = asked.at(i);
            const QString output = callback->output();
            if (output.isEmpty())
                continue;
            report.results << m_hostOf(service) + u": "_s + output;
            Q_EMIT repairAnswered(m_hostOf(service), output);
            if (ZDCallback::reportsRefusedAuthorization(output)) {
                ZDLog::appendLog(u"Removing the stored password for %@."_s, service->name());
                m_dispatcher.removeStoredPasswordForHost(service->credentialKey());
            }
        }
        lock.lock();
    }
    return report;
}
