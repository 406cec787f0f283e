#pragma once
// The computer list as the window shows it, without any widget: the groups and
// the ungrouped computers of the discovery sorted together by name (ignoring
// case), group persistence in the console settings ("groups", "expandedGroups"),
// new group naming, renaming, moving computers by their host keys (the
// "ZDServicePBoard" payload), removing groups and manual computers, and the
// selection the dispatcher works on. Use from the discovery's thread.
#include "fleet/ZDDiscovery.h"
#include "fleet/ZDService.h"
#include "fleet/ZDServiceGroup.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <memory>

class ZDServiceOutline : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kGroupsKey = "groups";
    static constexpr const char *kExpandedGroupsKey = "expandedGroups";
    static constexpr const char *kHeaderTitle = "SERVICES";
    static constexpr const char *kPasteboardType = "ZDServicePBoard";
    // Bounds for what the settings file and a drop may hand us.
    static constexpr int kMaxGroups = 1000;
    static constexpr int kMaxKeys = 10000;
    static constexpr int kMaxNameLength = 255;
    static constexpr int kMaxKeyLength = 1024;
    static constexpr qsizetype kMaxPayloadBytes = 1024 * 1024;

    // One row below the header: a group or a computer.
    struct Item
    {
        ZDServiceGroupPtr group;
        ZDServicePtr service;
        bool isGroup() const { return group != nullptr; }
        bool isService() const { return service != nullptr; }
        QString name() const;
        bool operator==(const Item &other) const { return group == other.group && service == other.service; }
    };

    // How a computer row looks, in order of precedence.
    enum class RowState { Working, Maintenance, Disabled, NotConnected, Error, Plain };

    ZDServiceOutline(ZDDiscovery *discovery, const QString &settingsPath, QObject *parent = nullptr);

    ZDDiscovery *discovery() const { return m_discovery; }

    // Start-up, before browsing: one empty group per stored entry.
    void populateServiceGroups();
    // Writes "groups" and "expandedGroups"; false when the file could not be written.
    bool saveGroups();

    QList<Item> topLevelItems() const;
    // A group's children, sorted by name ignoring case.
    static QList<ZDServicePtr> sortedChildren(const ZDServiceGroupPtr &group);
    ZDServiceGroupPtr groupWithName(const QString &name) const;

    QStringList expandedGroups() const { return m_expanded; }
    bool isGroupExpanded(const QString &name) const { return m_expanded.contains(name); }
    // Written at once.
    void setGroupExpanded(const QString &name, bool expanded);

    // "Group", else "Group %i" with the smallest free number from 1.
    QString nextGroupName() const;
    ZDServiceGroupPtr addServiceGroup();
    // Only to a non-blank name of at most kMaxNameLength characters that no group has.
    bool renameGroup(const ZDServiceGroupPtr &group, const QString &name);
    bool canRenameGroup(const ZDServiceGroupPtr &group, const QString &name) const;
    // Groups give their children to the top level; manual computers are dropped
    // with their stored entry; other computers stay.
    void removeItems(const QList<Item> &items);

    // The drag payload: empty (refused) when a group is dragged or no computer has a key.
    static QByteArray pasteboardData(const QList<Item> &items);
    // The host keys of a payload; false for anything but a bounded array of texts.
    static bool hostKeysFromPasteboard(const QByteArray &data, QStringList *keys);
    // Drops go on a group or on the header (null group); never on a computer.
    static bool validateDrop(bool onService) { return !onService; }
    // Moves the computers the payload names; false for a bad payload or an unknown group.
    bool acceptDrop(const QByteArray &data, const ZDServiceGroupPtr &target);

    // Selection: the rows selected in the list, in row order.
    void setSelection(const QList<Item> &items);
    QList<Item> selection() const { return m_selection; }
    // Groups add their children, computers themselves, once each; without a
    // selection the same over the whole top level.
    QList<ZDServicePtr> selectedServices() const;
    // The distinct parents of the selected rows (a row without a parent is its own).
    QList<Item> selectedParents() const;
    // The first selected row's computer when it needs maintenance.
    ZDServicePtr maintenanceCandidate() const;

    static RowState rowState(const ZDService &service);
    static QString toolTipForService(const ZDService &service);
    static QString descriptionForErrorCode(int code);
    // Children that need maintenance (the group row's badge).
    static int maintenanceCount(const ZDServiceGroupPtr &group);
    // "%i computer%@ selected" or "Processing tasks on %i computer%@".
    static QString statusLine(int count, bool processing);

Q_SIGNALS:
    // The rows changed (reload the list).
    void outlineChanged();

private:
    std::unique_ptr<QSettings> settings() const;

    ZDDiscovery *const m_discovery;
    const QString m_settingsPath;
    QStringList m_expanded;
    QList<Item> m_selection;
};
