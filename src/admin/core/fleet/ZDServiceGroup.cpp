#include "fleet/ZDServiceGroup.h"

#include "fleet/ZDService.h"

#include <algorithm>

ZDServiceGroup::ZDServiceGroup(const QString &name, const QStringList &hostNames)
    : m_name(name)
    , m_hostNames(hostNames)
{
}

ZDServiceGroup::~ZDServiceGroup()
{
    for (const auto &child : std::as_const(m_children)) {
        if (child->parentGroup() == this)
            child->setParentGroup(nullptr);
    }
}

QString ZDServiceGroup::name() const
{
    std::lock_guard lock(m_mutex);
    return m_name;
}

void ZDServiceGroup::setName(const QString &name)
{
    std::lock_guard lock(m_mutex);
    m_name = name;
}

QStringList ZDServiceGroup::hostNames() const
{
    std::lock_guard lock(m_mutex);
    return m_hostNames;
}

void ZDServiceGroup::setHostNames(const QStringList &hostNames)
{
    std::lock_guard lock(m_mutex);
    m_hostNames = hostNames;
}

bool ZDServiceGroup::containsHostName(const QString &hostKey) const
{
    std::lock_guard lock(m_mutex);
    return !hostKey.isEmpty() && m_hostNames.contains(hostKey);
}

void ZDServiceGroup::addHostName(const QString &hostKey)
{
    std::lock_guard lock(m_mutex);
    if (!hostKey.isEmpty() && !m_hostNames.contains(hostKey))
        m_hostNames.append(hostKey);
}

void ZDServiceGroup::removeHostName(const QString &hostKey)
{
    std::lock_guard lock(m_mutex);
    m_hostNames.removeAll(hostKey);
}

void ZDServiceGroup::sortChildren()
{
    std::lock_guard lock(m_mutex);
    QList<std::shared_ptr<ZDService>> sorted = m_children;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) { return a->compareTitle(*b) < 0; });
    m_children = sorted;
}

QList<std::shared_ptr<ZDService>> ZDServiceGroup::children() const
{
    std::lock_guard lock(m_mutex);
    return m_children;
}

void ZDServiceGroup::addChild(const std::shared_ptr<ZDService> &service)
{
    if (!service)
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_children.contains(service))
            return;
        m_children.append(service);
    }
    service->setParentGroup(this);
}

bool ZDServiceGroup::removeChild(const ZDService *service)
{
    std::shared_ptr<ZDService> removed;
    {
        std::lock_guard lock(m_mutex);
        for (qsizetype i = 0; i < m_children.size(); ++i) {
            if (m_children.at(i).get() == service) {
                removed = m_children.takeAt(i);
                break;
            }
        }
    }
    if (removed && removed->parentGroup() == this)
        removed->setParentGroup(nullptr);
    return removed != nullptr;
}
