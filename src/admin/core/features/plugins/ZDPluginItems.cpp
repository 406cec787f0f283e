#include "features/plugins/ZDPluginItems.h"

#include "dispatch/ZDActionTarget.h"

#include "dispatch/ZDAgentCalls.h"
#include "dispatch/ZDAggregation.h"
#include "files/ZDArchive.h"
#include "log/ZDLog.h"

#include <QCryptographicHash>

#include <QDateTime>
#include <QHash>

#include <algorithm>

namespace {

const QString kHostname = QStringLiteral("hostname");
const QString kVersion = QStringLiteral("version");
const QString kDisabled = QStringLiteral("disabled");
const QString kAccessType = QStringLiteral("accessType");
const QString kFullPath = QStringLiteral("fullPath");
const QString kSha256 = QStringLiteral("sha256");
constexpr int kMaxRecordsPerHost = 10000;

bool differentVersions(const QString &a, const QString &b)
{
    return ZDAggregation::compareVersionString(a, b) != 0;
}

// The record as the agent listed it: the console's own additions stay home.
QVariantMap agentRecord(QVariantMap record)
{
    record.remove(kHostname);
    return record;
}

QString lastComponent(const QString &path)
{
    return path.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
}

} // namespace

void ZDPluginItem::addChild(QVariantMap record, const QString &host)
{
    record.insert(kHostname, host);
    const bool first = children.isEmpty();
    children << record;
    const bool recordDisabled = record.value(kDisabled).toBool();
    if (recordDisabled)
        ++disabledCount;
    if (first) {
        disabled = recordDisabled ? 1 : 0;
        version = record.value(kVersion).toString();
        type = record.value(QStringLiteral("type")).toString();
        accessType = record.value(kAccessType).toInt();
        bundleIdentifier = record.value(QStringLiteral("bundleIdentifier")).toString();
        if (name.isEmpty())
            name = record.value(QStringLiteral("name")).toString();
    } else if (record.contains(kVersion)
               && (version == QLatin1String(ZDAggregation::kVarious)
                   || differentVersions(record.value(kVersion).toString(), version))) {
        version = QLatin1String(ZDAggregation::kVarious);
        if (state == InLine)
            state = VersionsDiffer;
    } else if (record.contains(kAccessType) && record.value(kAccessType).toInt() != accessType) {
        accessType = -1;
        if (state == InLine)
            state = AccessDiffers;
    }
    if (disabledCount > 0 && disabledCount != children.size()) {
        if (state == InLine)
            state = EnabledDiffers;
        disabled = -1;
    }
    if (fileName.isEmpty())
        fileName = record.value(kFullPath).toString();
}

QString ZDPluginItem::stateText(int state)
{
    switch (state) {
    case InLine:
        return QStringLiteral("in line");
    case VersionsDiffer:
        return QStringLiteral("versions differ");
    case EnabledDiffers:
        return QStringLiteral("enabled state differs");
    case AccessDiffers:
        return QStringLiteral("access differs");
    case Missing:
        return QStringLiteral("missing on some computers");
    }
    return {};
}

QVariantMap ZDPluginItem::toMap() const
{
    QVariantList kids;
    for (const QVariant &c : children) {
        const QVariantMap child = c.toMap();
        kids << QVariantMap{{kHostname, child.value(kHostname)},
                            {kVersion, child.value(kVersion)},
                            {kDisabled, child.value(kDisabled)},
                            {kAccessType, child.value(kAccessType)},
                            {kFullPath, child.value(kFullPath)}};
    }
    return {{QStringLiteral("name"), name},
            {QStringLiteral("fileName"), fileName},
            {kVersion, version},
            {QStringLiteral("type"), type},
            {QStringLiteral("bundleIdentifier"), bundleIdentifier},
            {QStringLiteral("state"), state},
            {QStringLiteral("stateText"), stateText(state)},
            {kDisabled, disabled},
            {kAccessType, accessType},
            {QStringLiteral("missingHosts"), missingHosts},
            {QStringLiteral("children"), kids}};
}

QString ZDPluginItems::keyOf(const QVariantMap &record)
{
    return record.value(QStringLiteral("type")).toString() + QChar(0x1f) + record.value(QStringLiteral("name")).toString()
        + QChar(0x1f) + record.value(QStringLiteral("bundleIdentifier")).toString();
}

QList<ZDPluginItem> ZDPluginItems::merge(const QVariantMap &hostLists, const QStringList &hosts)
{
    QList<ZDPluginItem> items;
    QHash<QString, qsizetype> index;
    QStringList answered;
    for (const QString &host : hosts) {
        if (!hostLists.contains(host))
            continue; // a computer that did not answer is not missing anything
        answered << host;
        const QVariantList list = hostLists.value(host).toList();
        for (const QVariant &value : list.mid(0, kMaxRecordsPerHost)) {
            const QVariantMap record = value.toMap();
            if (record.value(QStringLiteral("name")).toString().isEmpty())
                continue;
            const QString key = keyOf(record);
            auto it = index.constFind(key);
            if (it == index.constEnd()) {
                it = index.insert(key, items.size());
                items.append(ZDPluginItem());
            }
            items[*it].addChild(record, host);
        }
    }
    for (ZDPluginItem &item : items) {
        QStringList present;
        for (const QVariant &c : std::as_const(item.children))
            present << c.toMap().value(kHostname).toString();
        for (const QString &host : std::as_const(answered)) {
            if (!present.contains(host))
                item.missingHosts << host;
        }
        if (!item.missingHosts.isEmpty())
            item.state = ZDPluginItem::Missing;
    }
    std::stable_sort(items.begin(), items.end(), [](const ZDPluginItem &a, const ZDPluginItem &b) {
        const int byName = a.name.compare(b.name, Qt::CaseInsensitive);
        return byName != 0 ? byName < 0 : a.type < b.type;
    });
    return items;
}

ZDPluginItems::ZDPluginItems(ZDDispatcher &dispatcher, ZDDispatcher::ServiceList services, HostOf hostOf)
    : m_dispatcher(dispatcher), m_services(std::move(services)), m_hostOf(std::move(hostOf))
{
}

ZDServicePtr ZDPluginItems::serviceFor(const QString &host) const
{
    return ZDDispatcher::serviceNamed(m_services, m_hostOf, host);
}

QList<ZDPluginItem> ZDPluginItems::refresh()
{
    ZDLog::appendLog(QStringLiteral("Populating Brindel plugins..."));
    // The dispatcher answers by the agents' host names; the list is keyed as the caller names them.
    const QVariantMap answers = ZDAgentCalls(&m_dispatcher).brindelPluginLists();
    return merge(ZDDispatcher::answersBy(answers, m_services, m_hostOf), ZDDispatcher::hostsOf(m_services, m_hostOf));
}

bool ZDPluginItems::act(const char *op, const QVariantMap &child, const QVariant &value,
                        const QVariantMap &rightsSettings, Report &report)
{
    const QString host = child.value(kHostname).toString();
    const ZDServicePtr service = serviceFor(host);
    if (!service)
        return false;
    const ZDAgentCalls calls(&m_dispatcher);
    const QVariantMap record = agentRecord(child);
    const bool rights = calls.brindelNeedsAdminAccess({record}, rightsSettings, service);
    const QVariant done = calls.brindelWithSettings(
        op, {{QStringLiteral("obj1"), record.value(kFullPath)}, {QStringLiteral("obj2"), value}}, rights, service);
    if (!done.toBool()) {
        report.failures << QStringLiteral("%1: %2 of %3 failed").arg(host, QLatin1String(op), record.value(kFullPath).toString());
        return false;
    }
    ++report.changes;
    return true;
}

bool ZDPluginItems::replace(const ZDPluginItem &item, const QVariantMap &newest, const QByteArray &data,
                            const QString &hash, bool addMissing, Report &report)
{
    const ZDAgentCalls calls(&m_dispatcher);
    bool ok = true;
    for (const QVariant &c : item.children) {
        const QVariantMap child = c.toMap();
        if (!differentVersions(child.value(kVersion).toString(), newest.value(kVersion).toString()))
            continue;
        const QString host = child.value(kHostname).toString();
        const ZDServicePtr service = serviceFor(host);
        QVariantMap record = agentRecord(child);
        const bool rights = service && calls.brindelNeedsAdminAccess({record}, {}, service);
        record.insert(kSha256, hash);
        const QVariant done = service ? calls.brindelWithSettings("brindelUpdatePlugin:settings:",
                                                                  {{QStringLiteral("obj1"), record},
                                                                   {QStringLiteral("obj2"), data}},
                                                                  rights, service)
                                      : QVariant();
        if (done.toBool()) {
            ++report.changes;
        } else {
            ok = false;
            report.failures << QStringLiteral("%1: could not update %2").arg(host, item.name);
        }
    }
    for (const QString &host : addMissing ? item.missingHosts : QStringList()) {
        const ZDServicePtr service = serviceFor(host);
        const QVariantMap record{{QStringLiteral("filename"), lastComponent(newest.value(kFullPath).toString())},
                                 {QStringLiteral("type"), item.type},
                                 {kDisabled, newest.value(kDisabled)},
                                 {kAccessType, newest.value(kAccessType)},
                                 {kSha256, hash}};
        if (service && calls.brindelInstallPlugin(record, data, service).toBool()) {
            ++report.changes;
        } else {
            ok = false;
            report.failures << QStringLiteral("%1: could not install %2").arg(host, item.name);
        }
    }
    return ok;
}

ZDPluginItems::Report ZDPluginItems::sync(const QList<ZDPluginItem> &items, const QString &sourceHost, bool addMissing)
{
    ZDLog::appendLog(QStringLiteral("Syncing Brindel plugins..."));
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    m_dispatcher.clearProcessingCancelled();
    Report report;
    const ZDAgentCalls calls(&m_dispatcher);
    QStringList touched;
    for (const ZDPluginItem &item : items) {
        if (m_dispatcher.isProcessingCancelled())
            return report;
        if (item.state != ZDPluginItem::VersionsDiffer && item.state != ZDPluginItem::Missing)
            continue;
        const bool versionsDiffer = std::any_of(item.children.cbegin(), item.children.cend(), [&](const QVariant &c) {
            return differentVersions(c.toMap().value(kVersion).toString(), item.children.first().toMap().value(kVersion).toString());
        });
        if (!addMissing && !versionsDiffer) {
            report.notes << QStringLiteral("%1: missing on %2; not copied there unless asked")
                                .arg(item.name, item.missingHosts.join(QStringLiteral(", ")));
            continue;
        }
        if (sourceHost.isEmpty()) {
            report.notes << QStringLiteral("%1: the computers' copies differ; not copied without a chosen source computer")
                                .arg(item.name);
            continue;
        }
        QVariantMap newest;
        for (const QVariant &c : item.children) {
            if (c.toMap().value(kHostname).toString() == sourceHost)
                newest = c.toMap();
        }
        if (newest.isEmpty()) {
            report.notes << QStringLiteral("%1: not on %2, left as it is").arg(item.name, sourceHost);
            continue;
        }
        const QString host = newest.value(kHostname).toString();
        const ZDServicePtr source = serviceFor(host);
        const QVariant data = source ? calls.brindelPluginData(agentRecord(newest), source) : QVariant();
        if (data.toByteArray().isEmpty()) {
            ZDLog::appendLog(QStringLiteral("Unable to get plugin data representation."));
            // The agent refuses what cannot travel (16 MiB) and logs why.
            report.failures << QStringLiteral("%1: could not fetch %2 (unreadable, or larger than a message may be)")
                                   .arg(host, item.name);
            continue;
        }
        // Held to the rule the targets apply, so that a copy with links goes nowhere.
        if (const ZDFileTree::Result checked = ZDArchive::checkData(data.toByteArray()); !checked.ok) {
            report.failures << QStringLiteral("%1: refused its copy of %2: %3").arg(host, item.name, checked.description());
            continue;
        }
        const QString hash = QString::fromLatin1(
            QCryptographicHash::hash(data.toByteArray(), QCryptographicHash::Sha256).toHex());
        report.notes << QStringLiteral("%1 %2 from %3: SHA-256 %4")
                            .arg(item.name, newest.value(kVersion).toString(), host, hash);
        ZDLog::appendLog(QStringLiteral("Copying plugin %@ from %@, SHA-256 %@"), item.name, host, hash);
        if (replace(item, newest, data.toByteArray(), hash, addMissing, report))
            touched << keyOf(newest);
    }
    // The new copies count too: enabled state and access follow what most computers have.
    const QList<ZDPluginItem> now = touched.isEmpty() ? items : refresh();
    for (const ZDPluginItem &item : now) {
        if (m_dispatcher.isProcessingCancelled())
            return report;
        if (item.disabled != -1 && item.accessType != -1)
            continue;
        const QVariantMap common = ZDAggregation::commonValuesForDictArray(item.children);
        for (const QVariant &c : item.children) {
            const QVariantMap child = c.toMap();
            const bool wantDisabled = common.value(kDisabled).toBool();
            if (item.disabled == -1 && child.value(kDisabled).toBool() != wantDisabled) {
                act("brindelEnablePlugin:settings:", child, int(wantDisabled), {{QStringLiteral("destDisabled"), wantDisabled}},
                    report);
                continue; // its path changed: access follows on the next sync
            }
            const int wantAccess = common.value(kAccessType).toInt();
            if (item.accessType == -1 && child.value(kAccessType).toInt() != wantAccess)
                act("brindelChangeAccess:settings:", child, wantAccess, {{QStringLiteral("destAccess"), wantAccess}}, report);
        }
    }
    return report;
}

ZDPluginItems::Report ZDPluginItems::setDisabled(const QList<ZDPluginItem> &items, const QString &name, bool disabled,
                                                 const QString &host)
{
    ZDLog::appendLog(name.isEmpty() ? (disabled ? QStringLiteral("Disabling all Brindel plugins...")
                                                : QStringLiteral("Enabling all Brindel plugins..."))
                                    : (disabled ? QStringLiteral("Disabling Brindel plugin on all hosts...")
                                                : QStringLiteral("Enabling Brindel plugin on all hosts...")));
    Report report;
    forEachCopy(items, name, host, [&](const QVariantMap &child) {
        if (child.value(kDisabled).toBool() != disabled)
            act("brindelEnablePlugin:settings:", child, int(disabled), {{QStringLiteral("destDisabled"), disabled}},
                report);
    });
    return report;
}

ZDPluginItems::Scope ZDPluginItems::scope(const QList<ZDPluginItem> &items, const QString &name, const QString &host)
{
    Scope scope;
    for (const ZDPluginItem &item : items) {
        if (!name.isEmpty() && item.name != name && item.bundleIdentifier != name)
            continue;
        bool counted = false;
        for (const QVariant &c : item.children) {
            const QString on = c.toMap().value(kHostname).toString();
            if (!host.isEmpty() && on != host)
                continue;
            if (!counted)
                ++scope.plugins;
            counted = true;
            if (!scope.hosts.contains(on))
                scope.hosts << on;
        }
    }
    return scope;
}

QString ZDPluginItems::question(const QString &action, const Scope &scope)
{
    return ZDActionTarget::question(action, scope.plugins, QStringLiteral("plug-in"), QStringLiteral("plug-ins"),
                                    int(scope.hosts.size()));
}

void ZDPluginItems::forEachCopy(const QList<ZDPluginItem> &items, const QString &name, const QString &host,
                                const std::function<void(const QVariantMap &child)> &visit) const
{
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    m_dispatcher.clearProcessingCancelled();
    for (const ZDPluginItem &item : items) {
        if (!name.isEmpty() && item.name != name && item.bundleIdentifier != name)
            continue;
        for (const QVariant &c : item.children) {
            if (m_dispatcher.isProcessingCancelled())
                return;
            const QVariantMap child = c.toMap();
            if (host.isEmpty() || child.value(kHostname).toString() == host)
                visit(child);
        }
    }
}

ZDPluginItems::Report ZDPluginItems::setAccess(const QList<ZDPluginItem> &items, const QString &name, int access,
                                               const QString &host)
{
    if (name.isEmpty())
        ZDLog::appendLog(access ? QStringLiteral("Changing all plugins to Current User access type...")
                                : QStringLiteral("Changing all plugins to All Users access type..."));
    else if (host.isEmpty())
        ZDLog::appendLog(access ? QStringLiteral("Setting access type of Brindel plugin to Current User on all hosts...")
                                : QStringLiteral("Setting access type of Brindel plugin to All Users on all hosts..."));
    else
        ZDLog::appendLog(access ? QStringLiteral("Change access type of plugin %@ on host %@ to Current User...")
                                : QStringLiteral("Change access type of plugin %@ on host %@ to All Users..."),
                         name, host);
    Report report;
    forEachCopy(items, name, host, [&](const QVariantMap &child) {
        if (child.value(kAccessType).toInt() != access)
            act("brindelChangeAccess:settings:", child, access, {{QStringLiteral("destAccess"), access}}, report);
    });
    return report;
}
