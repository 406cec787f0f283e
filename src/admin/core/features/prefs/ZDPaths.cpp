#include "features/prefs/ZDPaths.h"

#include "console/ZDAdminSettings.h"
#include "dispatch/ZDAgentCalls.h"
#include "dispatch/ZDDispatcher.h"
#include "log/ZDLog.h"

namespace PK = ZDPreferenceKinds;

namespace {

QString hostOf(const ZDServicePtr &service)
{
    return service->hostName().isEmpty() ? service->name() : service->hostName();
}

} // namespace

bool ZDPathRowView::differs() const
{
    for (const ZDPathValue &v : values) {
        if (v.path != values.first().path || (locked && v.path != syncPath))
            return true;
    }
    return false;
}

ZDPaths::ZDPaths(ZDDispatcher *dispatcher, QString settingsPath)
    : m_dispatcher(dispatcher), m_settingsPath(std::move(settingsPath))
{
}

QList<ZDPathRowView> ZDPaths::merge(const QVariantMap &answers, const QVariantMap &locked,
                                    const QMap<QString, QString> &names)
{
    QList<ZDPathRowView> rows;
    for (const PK::PathApplication &app : PK::pathApplications()) {
        for (const PK::PathRow &row : app.rows) {
            ZDPathRowView view{app.title, &row, locked.value(row.key).toString(), locked.contains(row.key), {}};
            for (auto host = answers.cbegin(); host != answers.cend(); ++host) {
                const QVariant path = host.value().toMap().value(app.title).toMap().value(row.title);
                if (path.userType() == QMetaType::QString)
                    view.values << ZDPathValue{names.value(host.key(), host.key()), host.key(), path.toString()};
            }
            rows << view;
        }
    }
    return rows;
}

QList<ZDPathRowView> ZDPaths::refresh() const
{
    ZDLog::appendLog(QStringLiteral("Populating Tarnok paths..."));
    const QVariantMap answers = ZDAgentCalls(m_dispatcher).tarnokPaths();
    if (answers.isEmpty())
        ZDLog::appendLog(QStringLiteral("No data received from task."));
    QMap<QString, QString> names;
    if (m_dispatcher) {
        for (const ZDServicePtr &s : m_dispatcher->allServices())
            names.insert(hostOf(s), s->name());
    }
    return merge(answers, lockedPaths(), names);
}

QString ZDPaths::setPath(const QString &key, const QString &path, const ZDServicePtr &service) const
{
    if (!PK::pathRowForKey(key))
        return QStringLiteral("Unknown path key \"%1\".").arg(key.left(64));
    if (key == QLatin1String("qmasterClusterStorage") && path.contains(QLatin1Char(' ')))
        return QStringLiteral("The Qmaster cluster path cannot contain spaces.");
    if (const QString why = PK::pathProblem(path); !why.isEmpty())
        return why;
    ZDAgentCalls(m_dispatcher).setTarnokPath(path, key, service);
    return {};
}

QString ZDPaths::resetPath(const QString &key, const ZDServicePtr &service) const
{
    if (!PK::pathRowForKey(key))
        return QStringLiteral("Unknown path key \"%1\".").arg(key.left(64));
    ZDLog::appendLog(QStringLiteral("Resetting Tarnok path for key %@..."), key);
    ZDAgentCalls(m_dispatcher).resetTarnokPath(key, service);
    return {};
}

void ZDPaths::resetAll() const
{
    ZDLog::appendLog(QStringLiteral("Resetting all Tarnok paths..."));
    if (m_dispatcher)
        m_dispatcher->executeRemoteTasks(QStringLiteral("0"), QString::fromLatin1(kBundleID), QVariantList());
}

QString ZDPaths::syncFrom(const ZDServicePtr &source) const
{
    ZDLog::appendLog(QStringLiteral("Syncing Tarnok paths from host %@"), hostOf(source));
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    if (m_dispatcher)
        m_dispatcher->clearProcessingCancelled();
    const ZDAgentCalls calls(m_dispatcher);
    const QVariantMap paths = calls.tarnokPaths(source).toMap();
    if (paths.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Error: no data returned from task."));
        return QStringLiteral("No paths came from %1.").arg(hostOf(source));
    }
    if (const QString why = PK::pathDictionaryProblem(paths); !why.isEmpty())
        return why;
    ZDLog::appendLog(QStringLiteral("Setting Tarnok paths..."));
    if (m_dispatcher) {
        for (const ZDServicePtr &target : m_dispatcher->selectedServices()) {
            if (target != source && !m_dispatcher->isProcessingCancelled())
                calls.setTarnokPaths(paths, target);
        }
    }
    return {};
}

QVariantMap ZDPaths::lockedPaths() const
{
    return ZDAdminSettings::open(m_settingsPath)->value(QLatin1String(kLockedPathsKey)).toMap();
}

void ZDPaths::setLocked(const QString &key, const QString &path, bool locked) const
{
    const auto settings = ZDAdminSettings::open(m_settingsPath);
    QVariantMap all = settings->value(QLatin1String(kLockedPathsKey)).toMap();
    if (locked)
        all.insert(key, path);
    else
        all.remove(key);
    settings->setValue(QLatin1String(kLockedPathsKey), all);
    settings->sync();
}
