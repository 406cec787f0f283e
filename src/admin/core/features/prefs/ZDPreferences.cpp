#include "features/prefs/ZDPreferences.h"

#include "dispatch/ZDAgentCalls.h"
#include "dispatch/ZDDispatcher.h"
#include "log/ZDLog.h"
#include "catalog/ZDPreferenceKinds.h"

namespace PK = ZDPreferenceKinds;

namespace {

const QString kNoItems = QStringLiteral("You must select at least one item.");

QString dotless(QString host)
{
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return host;
}

// The name the dispatcher files each computer's answer under.
constexpr auto hostOf = &ZDDispatcher::answerKey;

} // namespace

ZDPreferenceTree::ZDPreferenceTree()
{
    for (const PK::Application &app : PK::applications()) {
        ZDPrefItem parent{app.name, {}, app.icon, 1, {}, {}};
        for (const PK::Kind &kind : app.kinds)
            parent.children << ZDPrefItem{kind.name, kind.key, {}, kind.checked ? 1 : 0, PK::filePatterns(kind), {}};
        m_items << parent;
    }
    updateSelection();
}

void ZDPreferenceTree::updateSelection()
{
    for (ZDPrefItem &parent : m_items) {
        const bool anyOff = std::any_of(parent.children.cbegin(), parent.children.cend(),
                                        [](const ZDPrefItem &c) { return c.selected == 0; });
        const bool anyOn = std::any_of(parent.children.cbegin(), parent.children.cend(),
                                       [](const ZDPrefItem &c) { return c.selected != 0; });
        parent.selected = !anyOff ? 1 : anyOn ? -1 : 0;
    }
}

void ZDPreferenceTree::setParentState(int parent, int state)
{
    if (parent < 0 || parent >= m_items.size())
        return;
    for (ZDPrefItem &child : m_items[parent].children)
        child.selected = state != 0 ? 1 : 0;
    updateSelection();
}

void ZDPreferenceTree::setChildChecked(int parent, int child, bool checked)
{
    if (parent < 0 || parent >= m_items.size() || child < 0 || child >= m_items[parent].children.size())
        return;
    m_items[parent].children[child].selected = checked ? 1 : 0;
    updateSelection();
}

bool ZDPreferenceTree::checkOnly(const QStringList &keys)
{
    for (const QString &key : keys) {
        if (!PK::kindForKey(key))
            return false;
    }
    for (ZDPrefItem &parent : m_items) {
        for (ZDPrefItem &child : parent.children)
            child.selected = keys.contains(child.key) ? 1 : 0;
    }
    updateSelection();
    return true;
}

QStringList ZDPreferenceTree::selectedKeys() const
{
    QStringList keys;
    for (const ZDPrefItem &parent : m_items) {
        for (const ZDPrefItem &child : parent.children) {
            if (child.selected != 0)
                keys << child.key;
        }
    }
    return keys;
}

ZDPreferences::ZDPreferences(ZDDispatcher *dispatcher, Clock clock)
    : m_dispatcher(dispatcher), m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTime(); }))
{
}

QString ZDPreferences::sendKeys(const char *op, const QStringList &keys) const
{
    // Never "": a tool may read an empty key list as every kind.
    if (keys.isEmpty())
        return kNoItems;
    const QString list = keys.join(QLatin1Char(','));
    if (const QString why = PK::keyListProblem(list); !why.isEmpty())
        return why;
    if (m_dispatcher)
        m_dispatcher->executeRemoteMethods(QString::fromLatin1(op), list);
    return {};
}

QString ZDPreferences::trash(const QStringList &keys) const
{
    ZDLog::appendLog(QStringLiteral("Trashing selected preferences: %@"), keys.join(QLatin1Char(',')));
    return sendKeys("stowelTrashSelected:", keys);
}

QString ZDPreferences::lock(const QStringList &keys) const
{
    ZDLog::appendLog(QStringLiteral("Locking selected Stowel prefs: %@"), keys.join(QLatin1Char(',')));
    return sendKeys("stowelLockSelected:", keys);
}

QString ZDPreferences::unlock(const QStringList &keys) const
{
    ZDLog::appendLog(QStringLiteral("Unlocking selected Stowel prefs: %@"), keys.join(QLatin1Char(',')));
    return sendKeys("stowelUnlockSelected:", keys);
}

QString ZDPreferences::backupSelected(const QString &name, int type, const QStringList &keys) const
{
    if (keys.isEmpty())
        return QStringLiteral("You must select at least one item to backup.");
    if (const QString why = PK::backupNameProblem(name); !why.isEmpty())
        return why;
    const QString list = keys.join(QLatin1Char(','));
    if (const QString why = PK::keyListProblem(list); !why.isEmpty())
        return why;
    ZDLog::appendLog(QStringLiteral("Backing up selected Stowel preferences: %@"), list);
    if (m_dispatcher) {
        m_dispatcher->executeRemoteMethods(QStringLiteral("stowelBackupSelected:"),
                                           QVariantMap{{QStringLiteral("backupName"), name},
                                                       {QStringLiteral("backupType"), type},
                                                       {QStringLiteral("keys"), list}});
    }
    return {};
}

QString ZDPreferences::quickBackup(const QString &name, int type) const
{
    if (const QString why = PK::backupNameProblem(name); !why.isEmpty())
        return why;
    ZDLog::appendLog(QStringLiteral("Performing quick backup to %@ of type %i..."), name, type);
    if (m_dispatcher)
        m_dispatcher->executeRemoteMethods(QStringLiteral("stowelBackup:type:"), name, type);
    return {};
}

void ZDPreferences::quickTrash() const
{
    ZDLog::appendLog(QStringLiteral("Stowel quick trash..."));
    if (m_dispatcher)
        m_dispatcher->executeRemoteTasks(QStringLiteral("0"), QStringLiteral("com.zendrel.Stowel"), QVariantList());
}

QVariantList ZDPreferences::backups() const
{
    ZDLog::appendLog(QStringLiteral("Populating Stowel backups..."));
    const QVariantMap answers = ZDAgentCalls(m_dispatcher).stowelBackups();
    if (answers.isEmpty())
        ZDLog::appendLog(QStringLiteral("Unable to get backup data."));
    QVariantList rows;
    for (auto host = answers.cbegin(); host != answers.cend(); ++host) {
        const QVariantMap list = host.value().toMap();
        for (const QVariant &entry : list) {
            if (entry.userType() != QMetaType::QVariantMap)
                continue;
            QVariantMap row = entry.toMap();
            row.insert(QStringLiteral("hostname"), host.key());
            rows << row;
        }
    }
    return rows;
}

QVariantMap ZDPreferences::findBackup(const QVariantList &backups, const QString &host, const QString &name)
{
    for (const QVariant &v : backups) {
        const QVariantMap row = v.toMap();
        const QString rowHost = dotless(row.value(QStringLiteral("hostname")).toString());
        const bool hostMatches = rowHost == dotless(host) || rowHost.section(QLatin1Char('.'), 0, 0) == dotless(host);
        if (hostMatches && row.value(QStringLiteral("name")).toString() == name)
            return row;
    }
    return {};
}

QString ZDPreferences::safetyBackupName() const
{
    return QStringLiteral("Before restore ") + m_clock().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"));
}

QString ZDPreferences::restore(const QVariantMap &backup, const QList<ZDServicePtr> &targets,
                               const Progress &progress) const
{
    const QString host = backup.value(QStringLiteral("hostname")).toString();
    const QString path = backup.value(QStringLiteral("path")).toString();
    ZDLog::appendLog(QStringLiteral("Restoring Stowel backup %@..."), backup.value(QStringLiteral("name")).toString());
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    if (m_dispatcher)
        m_dispatcher->clearProcessingCancelled();
    if (path.isEmpty())
        return QStringLiteral("The backup has no path.");
    ZDServicePtr source;
    if (m_dispatcher) {
        for (const ZDServicePtr &s : m_dispatcher->allServices()) {
            if (dotless(hostOf(s)) == dotless(host))
                source = s;
        }
    }
    if (!source) {
        ZDLog::appendLog(QStringLiteral("Unable to get service for selected backup."));
        return QStringLiteral("Unable to get service for selected backup.");
    }
    const ZDAgentCalls calls(m_dispatcher);
    const bool copies = std::any_of(targets.cbegin(), targets.cend(),
                                    [&](const ZDServicePtr &t) { return dotless(hostOf(t)) != dotless(host); });
    QByteArray data;
    if (copies) {
        data = calls.stowelBackupData(path, source).toByteArray();
        if (data.isEmpty()) {
            ZDLog::appendLog(QStringLiteral("Unable to get data for selected backup."));
            return QStringLiteral("Unable to get data for selected backup.");
        }
    }
    const QString safety = safetyBackupName();
    int done = 0;
    for (const ZDServicePtr &target : targets) {
        if (m_dispatcher && m_dispatcher->isProcessingCancelled())
            break;
        ZDLog::appendLog(QStringLiteral("Restoring backup on %@..."), target->name());
        calls.stowelBackup(safety, 0, target);
        if (dotless(hostOf(target)) == dotless(host))
            calls.stowelRestoreLocalBackup(path, target);
        else
            calls.stowelRestoreRemoteBackup(data, target);
        if (progress)
            progress(hostOf(target), ++done, int(targets.size()));
    }
    return {};
}

QStringList ZDPreferences::reportedFailures(const QVariantList &before, const QVariantList &queue,
                                           const QStringList &hosts)
{
    QStringList wanted;
    for (const QString &h : hosts)
        wanted << dotless(h);
    QStringList lines;
    for (const QVariant &v : queue) {
        if (before.contains(v))
            continue;
        const QVariantMap entry = v.toMap();
        const QString host = dotless(entry.value(QStringLiteral("hostname")).toString());
        if (wanted.contains(host))
            lines << host + QStringLiteral(": ") + entry.value(QStringLiteral("description")).toString();
    }
    return lines;
}
