#include "features/apps/ZDApplicationRows.h"

#include "dispatch/ZDAggregation.h"
#include "catalog/ZDApplicationTables.h"
#include "log/ZDLog.h"

namespace T = ZDApplicationTables;
using namespace Qt::StringLiterals;

namespace {

const QString kHostname = u"hostname"_s;

const QList<T::App> &appsOf(ZDApplicationRows::Kind kind)
{
    return kind == ZDApplicationRows::Kind::Editing ? T::editingApplications() : T::makersTools();
}

// An agent's answer for one application: only the keys and types the rows use.
QVariantMap cleanInfo(const QVariant &answer, const QString &host)
{
    const QVariantMap given = answer.toMap();
    QVariantMap info{{u"installed"_s, given.value(u"installed"_s).toBool()},
                     {u"running"_s, given.value(u"running"_s).toBool()},
                     {kHostname, host}};
    const QVariant version = given.value(u"version"_s);
    if (version.userType() == QMetaType::QString && !version.toString().isEmpty())
        info.insert(u"version"_s, version.toString().left(64));
    return info;
}

} // namespace

QString ZDApplicationRow::status() const
{
    if (children.size() == 1) {
        const QVariantMap only = children.first().toMap();
        if (!only.value(u"installed"_s).toBool())
            return QString::fromLatin1(ZDAggregation::kNotInstalled);
        return QString::fromLatin1(only.value(u"running"_s).toBool() ? ZDAggregation::kRunning : ZDAggregation::kNotRunning);
    }
    return ZDAggregation::aggregatedAppDictStatus(children).toString();
}

QString ZDApplicationRow::version() const
{
    if (children.size() == 1)
        return children.first().toMap().value(u"version"_s).toString();
    return ZDAggregation::versionRangeInArray(children, u"version"_s).toString();
}

QVariantMap ZDApplicationRow::toMap() const
{
    return {{u"name"_s, name}, {u"bundleID"_s, bundleID}, {u"icon"_s, icon}, {u"children"_s, children},
            {u"status"_s, status()}, {u"version"_s, version()}};
}

QList<ZDApplicationRow> ZDApplicationRows::emptyRows(Kind kind)
{
    QList<ZDApplicationRow> rows;
    for (const T::App &app : appsOf(kind))
        rows.append({app.name, app.bundleID, app.icon, {}});
    return rows;
}

QList<ZDApplicationRow> ZDApplicationRows::merge(Kind kind, const QVariantMap &answers, const QStringList &hosts)
{
    QList<ZDApplicationRow> rows = emptyRows(kind);
    for (ZDApplicationRow &row : rows) {
        for (const QString &host : hosts) {
            const QVariantMap answer = answers.value(host).toMap();
            if (answer.contains(row.name))
                row.children << cleanInfo(answer.value(row.name), host);
        }
    }
    return rows;
}

QStringList ZDApplicationRows::bundleIDsFor(Kind kind, const QStringList &namesOrIDs, QStringList *unknown)
{
    QStringList ids;
    for (const QString &given : namesOrIDs) {
        QString found;
        for (const T::App &app : appsOf(kind)) {
            if (app.name.compare(given, Qt::CaseInsensitive) == 0 || app.bundleID.compare(given, Qt::CaseInsensitive) == 0)
                found = app.bundleID;
        }
        if (found.isEmpty()) {
            if (unknown)
                *unknown << given;
        } else if (!ids.contains(found)) {
            ids << found;
        }
    }
    return ids;
}

QStringList ZDApplicationRows::bundleIDsFor(const QStringList &namesOrIDs, QStringList *unknown)
{
    QStringList ids;
    for (const QString &given : namesOrIDs) {
        QStringList found = bundleIDsFor(Kind::Editing, {given});
        if (found.isEmpty())
            found = bundleIDsFor(Kind::Tools, {given});
        if (found.isEmpty() && unknown)
            *unknown << given;
        else if (!found.isEmpty() && !ids.contains(found.first()))
            ids << found.first();
    }
    return ids;
}

QStringList ZDApplicationRows::forceQuitQuestion(int count)
{
    return {u"Are you sure you wish to force quit %1 application%2?"_s.arg(count == 1 ? u"this"_s : u"these"_s,
                                                                         count == 1 ? QString() : u"s"_s),
            u"This could result in data loss."_s};
}

ZDApplicationRows::ZDApplicationRows(ZDDispatcher &dispatcher, ZDDispatcher::ServiceList services, HostOf hostOf)
    : m_dispatcher(dispatcher), m_services(std::move(services)), m_hostOf(std::move(hostOf))
{
}

QVariantMap ZDApplicationRows::across(const char *op)
{
    // The dispatcher answers by the agents' host names; rows are keyed as the caller names them.
    const QVariantMap answers = m_dispatcher.objectsFromRemoteMethod(QString::fromLatin1(op));
    return ZDDispatcher::answersBy(answers, m_services, m_hostOf);
}

QList<ZDApplicationRow> ZDApplicationRows::refresh(Kind kind)
{
    const bool editing = kind == Kind::Editing;
    ZDLog::appendLog(editing ? u"Populating Pro Application information..."_s
                             : u"Populating Kestra Maintenance Tools app information..."_s);
    const QVariantMap answers = across(editing ? "finalCutStudioAppInfo" : "orvelleAppInfo");
    if (answers.isEmpty())
        ZDLog::appendLog(u"Error: no data returned from task."_s);
    return merge(kind, answers, ZDDispatcher::hostsOf(m_services, m_hostOf));
}

int ZDApplicationRows::act(Action action, const QStringList &bundleIDs)
{
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    m_dispatcher.clearProcessingCancelled();
    if (bundleIDs.isEmpty()) {
        ZDLog::appendLog(u"No bundle IDs found"_s);
        return 0;
    }
    const char *op = action == Action::Launch ? "launchApp:" : action == Action::Quit ? "terminateApp:" : "forceQuitApp:";
    ZDLog::appendLog(action == Action::Launch ? u"Launching Final Cut Studio applications..."_s
                     : action == Action::Quit ? u"Terminating Final Cut Studio applications..."_s
                                              : u"Force-quitting Final Cut Studio applications..."_s);
    int calls = 0;
    for (const QString &id : bundleIDs) {
        ZDLog::appendLog(action == Action::Launch ? u"Launching %@..."_s
                         : action == Action::Quit ? u"Terminating %@..."_s
                                                  : u"Force-quitting %@..."_s,
                         id);
        for (const ZDServicePtr &s : std::as_const(m_services)) {
            if (m_dispatcher.isProcessingCancelled())
                return calls;
            m_dispatcher.executeRemoteMethod(QString::fromLatin1(op), id, QVariant(), s);
            ++calls;
        }
    }
    return calls;
}

QVariantMap ZDApplicationRows::settings()
{
    ZDLog::appendLog(u"Populating Kestra Maintenance Tools settings..."_s);
    QVariantList answers;
    for (const QVariant &v : across("orvelleSettings"))
        answers << v.toMap();
    QVariantMap merged;
    for (const char *key : kSettingKeys) {
        const QVariant common = ZDAggregation::aggregatedValueForKey(QString::fromLatin1(key), QString(), answers, true);
        if (common.isValid() && !common.isNull())
            merged.insert(QString::fromLatin1(key), qBound(-1, common.toInt(), 1));
    }
    return merged;
}

void ZDApplicationRows::setSetting(const QString &key, int value)
{
    if (key != QLatin1String("autoUpdateCheck") && key != QLatin1String("betaUpdateCheck"))
        return;
    for (const ZDServicePtr &s : std::as_const(m_services))
        m_dispatcher.executeRemoteMethod(u"setOrvelleSettings:"_s, QVariantMap{{key, value ? 1 : 0}}, QVariant(), s);
}

int ZDApplicationRows::setPasswordProtect(bool on)
{
    int handed = 0;
    for (const ZDServicePtr &s : std::as_const(m_services)) {
        if (m_dispatcher.isProcessingCancelled())
            break;
        handed += m_dispatcher.authExecuteRemoteMethod(u"orvPasswordProtect:settings:"_s, on ? 1 : 0, QVariant(), s) ? 1 : 0;
    }
    return handed;
}
