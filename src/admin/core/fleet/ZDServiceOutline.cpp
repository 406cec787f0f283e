#include "fleet/ZDServiceOutline.h"

#include "log/ZDException.h"
#include "platform/ZDFormat.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"

#include <QCborArray>
#include <QCborValue>

#include <algorithm>

namespace {

bool lessByName(const QString &a, const QString &b) { return QString::compare(a, b, Qt::CaseInsensitive) < 0; }

// A list of short texts from the settings; anything else counts as absent.
QStringList boundedTexts(const QVariant &value, int maxCount, int maxLength)
{
    QStringList out;
    if (value.typeId() != QMetaType::QVariantList && value.typeId() != QMetaType::QStringList)
        return out;
    const QVariantList list = value.toList();
    for (const QVariant &entry : list) {
        if (out.size() >= maxCount)
            break;
        if (entry.typeId() != QMetaType::QString)
            continue;
        const QString text = entry.toString();
        if (!text.isEmpty() && text.size() <= maxLength && !out.contains(text))
            out.append(text);
    }
    return out;
}

} // namespace

QString ZDServiceOutline::Item::name() const
{
    if (group)
        return group->name();
    return service ? service->name() : QString();
}

ZDServiceOutline::ZDServiceOutline(ZDDiscovery *discovery, const QString &settingsPath, QObject *parent)
    : QObject(parent)
    , m_discovery(discovery)
    , m_settingsPath(settingsPath)
{
    connect(m_discovery, &ZDDiscovery::listChanged, this, [this] {
        // Rows that left the list leave the selection too.
        const QList<ZDServicePtr> all = m_discovery->allServices();
        const QList<ZDServiceGroupPtr> groups = m_discovery->groups();
        QList<Item> kept;
        for (const Item &item : std::as_const(m_selection)) {
            if ((item.group && groups.contains(item.group)) || (item.service && all.contains(item.service)))
                kept.append(item);
        }
        m_selection = kept;
        Q_EMIT outlineChanged();
    });
    connect(m_discovery, &ZDDiscovery::groupsMigrated, this, [this] { saveGroups(); });
}

std::unique_ptr<QSettings> ZDServiceOutline::settings() const
{
    if (m_settingsPath.isEmpty())
        return std::make_unique<QSettings>();
    return std::make_unique<QSettings>(m_settingsPath, QSettings::IniFormat);
}

void ZDServiceOutline::populateServiceGroups()
{
    ZDLog::appendLog(QStringLiteral("Populating groups..."));
    const auto s = settings();
    const QVariant stored = s->value(QLatin1String(kGroupsKey));
    QList<ZDServiceGroupPtr> groups;
    if (stored.typeId() == QMetaType::QVariantMap || stored.typeId() == QMetaType::QVariantHash) {
        const QVariantMap map = stored.toMap();
        for (auto it = map.cbegin(); it != map.cend() && groups.size() < kMaxGroups; ++it) {
            const QString name = it.key();
            if (name.trimmed().isEmpty() || name.size() > kMaxNameLength)
                continue;
            groups.append(std::make_shared<ZDServiceGroup>(name, boundedTexts(it.value(), kMaxKeys, kMaxKeyLength)));
        }
    } else if (stored.isValid()) {
        ZDLog::appendLog(QStringLiteral("Ignoring unreadable groups in %@"), s->fileName());
    }
    m_expanded = boundedTexts(s->value(QLatin1String(kExpandedGroupsKey)), kMaxGroups, kMaxNameLength);
    m_discovery->setGroups(groups);
}

bool ZDServiceOutline::saveGroups()
{
    ZDLog::appendLog(QStringLiteral("Saving groups..."));
    QVariantMap map;
    for (const auto &group : m_discovery->groups())
        map.insert(group->name(), group->hostNames());
    auto s = settings();
    s->setValue(QLatin1String(kGroupsKey), map);
    s->setValue(QLatin1String(kExpandedGroupsKey), m_expanded);
    s->sync();
    return s->status() == QSettings::NoError;
}

QList<ZDServiceOutline::Item> ZDServiceOutline::topLevelItems() const
{
    QList<Item> items;
    for (const auto &group : m_discovery->groups())
        items.append(Item{group, nullptr});
    for (const auto &service : m_discovery->topLevelServices())
        items.append(Item{nullptr, service});
    std::stable_sort(items.begin(), items.end(), [](const Item &a, const Item &b) { return lessByName(a.name(), b.name()); });
    return items;
}

QList<ZDServicePtr> ZDServiceOutline::sortedChildren(const ZDServiceGroupPtr &group)
{
    if (!group)
        return {};
    QList<ZDServicePtr> children = group->children();
    std::stable_sort(children.begin(), children.end(),
                     [](const ZDServicePtr &a, const ZDServicePtr &b) { return a->compareTitle(*b) < 0; });
    return children;
}

ZDServiceGroupPtr ZDServiceOutline::groupWithName(const QString &name) const
{
    for (const auto &group : m_discovery->groups()) {
        if (group->name() == name)
            return group;
    }
    return nullptr;
}

void ZDServiceOutline::setGroupExpanded(const QString &name, bool expanded)
{
    if (expanded == m_expanded.contains(name))
        return;
    if (expanded)
        m_expanded.append(name);
    else
        m_expanded.removeAll(name);
    auto s = settings();
    s->setValue(QLatin1String(kExpandedGroupsKey), m_expanded);
    s->sync();
}

QString ZDServiceOutline::nextGroupName() const
{
    const QString base = QStringLiteral("Group");
    if (!groupWithName(base))
        return base;
    for (int i = 1;; ++i) {
        const QString name = base + zdFormat(QStringLiteral(" %i"), i);
        if (!groupWithName(name))
            return name;
    }
}

ZDServiceGroupPtr ZDServiceOutline::addServiceGroup()
{
    ZDLog::appendLog(QStringLiteral("Adding new service group..."));
    auto group = std::make_shared<ZDServiceGroup>(nextGroupName());
    QList<ZDServiceGroupPtr> groups = m_discovery->groups();
    groups.append(group);
    m_discovery->setGroups(groups);
    saveGroups();
    return group;
}

bool ZDServiceOutline::canRenameGroup(const ZDServiceGroupPtr &group, const QString &name) const
{
    if (!group || !m_discovery->groups().contains(group))
        return false;
    // A blank name would leave a row nobody can find or tell apart.
    return !name.trimmed().isEmpty() && name.size() <= kMaxNameLength && !groupWithName(name);
}

bool ZDServiceOutline::renameGroup(const ZDServiceGroupPtr &group, const QString &name)
{
    if (!canRenameGroup(group, name))
        return false;
    const QString old = group->name();
    group->setName(name);
    if (m_expanded.contains(old)) {
        m_expanded.removeAll(old);
        m_expanded.append(name);
    }
    m_selection.clear();
    saveGroups();
    Q_EMIT outlineChanged();
    return true;
}

void ZDServiceOutline::removeItems(const QList<Item> &items)
{
    if (items.isEmpty())
        return;
    ZDLog::appendLog(QStringLiteral("Removing service group..."));
    try {
        for (const Item &item : items) {
            if (item.group) {
                m_expanded.removeAll(item.group->name());
                m_discovery->removeGroup(item.group);
            } else if (item.service && item.service->isManual()) {
                m_discovery->removeManualService(item.service);
            }
        }
    } catch (const std::exception &e) {
        ZDException::logException(e, "-[AppController addRemoveServiceGroup:]");
    }
    saveGroups();
    Q_EMIT outlineChanged();
}

QByteArray ZDServiceOutline::pasteboardData(const QList<Item> &items)
{
    QCborArray keys;
    for (const Item &item : items) {
        if (item.group)
            return {};
        if (!item.service)
            continue;
        const QString key = item.service->groupKey();
        if (!key.isEmpty())
            keys.append(key);
    }
    if (keys.isEmpty())
        return {};
    return QCborValue(keys).toCbor();
}

bool ZDServiceOutline::hostKeysFromPasteboard(const QByteArray &data, QStringList *keys)
{
    if (data.isEmpty() || data.size() > kMaxPayloadBytes)
        return false;
    QCborParserError error;
    const QCborValue value = QCborValue::fromCbor(data, &error);
    if (error.error != QCborError::NoError || !value.isArray())
        return false;
    const QCborArray array = value.toArray();
    if (array.isEmpty() || array.size() > kMaxKeys)
        return false;
    QStringList out;
    for (const QCborValue &entry : array) {
        if (!entry.isString())
            return false;
        const QString key = entry.toString();
        if (key.isEmpty() || key.size() > kMaxKeyLength)
            return false;
        if (!out.contains(key))
            out.append(key);
    }
    if (keys)
        *keys = out;
    return true;
}

bool ZDServiceOutline::acceptDrop(const QByteArray &data, const ZDServiceGroupPtr &target)
{
    QStringList keys;
    if (!hostKeysFromPasteboard(data, &keys))
        return false;
    if (target && !m_discovery->groups().contains(target))
        return false;
    try {
        for (const QString &key : std::as_const(keys)) {
            ZDServicePtr service;
            for (const ZDServicePtr &s : m_discovery->allServices())
                if (!service && s->groupKey() == key)
                    service = s;
            // A key of the old form names the first computer there.
            if (!service)
                service = m_discovery->serviceWithHostName(key);
            if (!service)
                service = m_discovery->serviceWithManualIP(key);
            if (service)
                m_discovery->moveService(service, target);
        }
    } catch (const std::exception &e) {
        ZDException::logException(e, "-[AppController outlineView:acceptDrop:item:childIndex:]");
    }
    m_selection.clear();
    saveGroups();
    Q_EMIT outlineChanged();
    return true;
}

void ZDServiceOutline::setSelection(const QList<Item> &items) { m_selection = items; }

QList<ZDServicePtr> ZDServiceOutline::selectedServices() const
{
    const QList<Item> rows = m_selection.isEmpty() ? topLevelItems() : m_selection;
    QList<ZDServicePtr> out;
    for (const Item &item : rows) {
        if (item.group) {
            for (const auto &child : sortedChildren(item.group)) {
                if (!out.contains(child))
                    out.append(child);
            }
        } else if (item.service && !out.contains(item.service)) {
            out.append(item.service);
        }
    }
    return out;
}

QList<ZDServiceOutline::Item> ZDServiceOutline::selectedParents() const
{
    QList<Item> out;
    const QList<ZDServiceGroupPtr> groups = m_discovery->groups();
    for (const Item &item : m_selection) {
        Item parent = item;
        if (item.service) {
            for (const auto &group : groups) {
                if (group->children().contains(item.service)) {
                    parent = Item{group, nullptr};
                    break;
                }
            }
        }
        if (!out.contains(parent))
            out.append(parent);
    }
    return out;
}

ZDServicePtr ZDServiceOutline::maintenanceCandidate() const
{
    if (m_selection.isEmpty())
        return nullptr;
    const Item &first = m_selection.first();
    return first.service && first.service->needsMaintenance() ? first.service : nullptr;
}

ZDServiceOutline::RowState ZDServiceOutline::rowState(const ZDService &service)
{
    if (service.isProcessing())
        return RowState::Working;
    if (service.needsMaintenance())
        return RowState::Maintenance;
    if (!service.isEnabled())
        return RowState::Disabled;
    if (!service.isConnected())
        return RowState::NotConnected;
    if (service.errorCode() > 0)
        return RowState::Error;
    return RowState::Plain;
}

QString ZDServiceOutline::descriptionForErrorCode(int code)
{
    switch (code) {
    case ZDOrv::kErrorNoConfiguration:
        return QStringLiteral("Kestra Maintenance Tools is not installed properly or the version you are using is "
                              "outdated. Please install a recent version of Kestra Maintenance Tools on this computer.");
    case ZDOrv::kErrorClientOutdated:
        return QStringLiteral("Kestra Client is outdated on this machine. Please install a more recent version.");
    case ZDOrv::kErrorToolsOutdated:
        return QStringLiteral("Kestra Maintenance Tools is outdated on this machine. Please install a more recent version.");
    case ZDOrv::kErrorConnectionTimedOut:
        return QStringLiteral(
            "Connection timed out. Please make sure that you have the latest version of the client software.");
    default:
        return QStringLiteral("Unknown error. Please check error logs on the local machine.");
    }
}

QString ZDServiceOutline::toolTipForService(const ZDService &service)
{
    if (!service.isConnected())
        return QStringLiteral("Client is not connected");
    if (service.errorCode() != 0)
        return descriptionForErrorCode(service.errorCode());
    if (service.needsMaintenance())
        return QStringLiteral("User requested maintenance on this system");
    if (service.isOpenMode())
        return QStringLiteral("Open mode: this computer serves any console on its network, enrolled or not. "
                              "As root there: KestraClient -require-enrolled yes");
    return QString();
}

int ZDServiceOutline::maintenanceCount(const ZDServiceGroupPtr &group)
{
    if (!group)
        return 0;
    const auto children = group->children();
    return int(std::count_if(children.cbegin(), children.cend(),
                             [](const ZDServicePtr &s) { return s->needsMaintenance(); }));
}

QString ZDServiceOutline::statusLine(int count, bool processing)
{
    const QString suffix = count == 1 ? QString() : QStringLiteral("s");
    if (processing)
        return zdFormat(QStringLiteral("Processing tasks on %i computer%@"), count, suffix);
    return zdFormat(QStringLiteral("%i computer%@ selected"), count, suffix);
}
