#pragma once
// A named group of computers in the computer list. A computer whose host key is
// listed in hostNames sits in the group instead of the top level. Thread-safe.
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

class ZDService;

class ZDServiceGroup
{
public:
    explicit ZDServiceGroup(const QString &name, const QStringList &hostNames = {});
    ~ZDServiceGroup(); // its children no longer point here
    ZDServiceGroup(const ZDServiceGroup &) = delete;
    ZDServiceGroup &operator=(const ZDServiceGroup &) = delete;

    QString name() const;
    void setName(const QString &name);

    // Host keys of the computers that belong here (persisted with the group).
    QStringList hostNames() const;
    void setHostNames(const QStringList &hostNames);
    bool containsHostName(const QString &hostKey) const;
    void addHostName(const QString &hostKey);
    void removeHostName(const QString &hostKey);

    // The records shown in the group right now.
    QList<std::shared_ptr<ZDService>> children() const;
    void addChild(const std::shared_ptr<ZDService> &service);
    bool removeChild(const ZDService *service);
    // Sorts the children by name, ignoring case (stable).
    void sortChildren();

private:
    mutable std::mutex m_mutex;
    QString m_name;
    QStringList m_hostNames;
    QList<std::shared_ptr<ZDService>> m_children;
};

using ZDServiceGroupPtr = std::shared_ptr<ZDServiceGroup>;
