#pragma once
// The console's side of preference backups: the check-box tree of applications
// and their kinds of preference files (from the shared table), and the work on
// the selected computers: trash, lock, unlock, back up, list the backups and
// restore one backup onto many computers. Nothing is sent for an empty selection
// of kinds or an unacceptable backup name: the call answers why instead.
// The work waits for the network: never on the GUI thread.
#include "fleet/ZDService.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

class ZDDispatcher;

struct ZDPrefItem
{
    QString name;
    QString key;  // children only
    QString icon; // parents only
    int selected = 1; // 1 checked, 0 unchecked, -1 mixed (parents only)
    QStringList files;
    QList<ZDPrefItem> children;
    bool isParent() const { return !children.isEmpty(); }
};

class ZDPreferenceTree
{
public:
    // The applications sorted by name, kinds in their order, default states.
    ZDPreferenceTree();
    const QList<ZDPrefItem> &items() const { return m_items; }
    // A mixed value counts as checked; every child follows.
    void setParentState(int parent, int state);
    void setChildChecked(int parent, int child, bool checked);
    // Only these keys checked; false when one is unknown (nothing changes then).
    bool checkOnly(const QStringList &keys);
    // The checked keys, parents in tree order.
    QStringList selectedKeys() const;

private:
    void updateSelection();
    QList<ZDPrefItem> m_items;
};

class ZDPreferences
{
public:
    using Clock = std::function<QDateTime()>;
    using Progress = std::function<void(const QString &host, int done, int total)>;

    explicit ZDPreferences(ZDDispatcher *dispatcher, Clock clock = {});

    // Each answers empty when it ran, else the alert's text.
    QString trash(const QStringList &keys) const;
    QString lock(const QStringList &keys) const;
    QString unlock(const QStringList &keys) const;
    QString backupSelected(const QString &name, int type, const QStringList &keys) const;
    QString quickBackup(const QString &name, int type) const;
    // The tool's task "0" on the selected computers (started, not waited for).
    void quickTrash() const;

    // The backups of the selected computers, each with "hostname" added.
    QVariantList backups() const;
    // The backup whose host name (with or without the final dot) and name match, or empty.
    static QVariantMap findBackup(const QVariantList &backups, const QString &host, const QString &name);

    // Restores one backup (a row of backups()) onto the targets: first a quick
    // backup on each target, so that a wrong restore can be undone; then the
    // backup's own computer restores it locally, every other receives it zipped.
    // Empty on success, else why it stopped.
    QString restore(const QVariantMap &backup, const QList<ZDServicePtr> &targets, const Progress &progress = {}) const;
    // The name of the quick backup a restore takes first.
    QString safetyBackupName() const;

    // What the agents reported since `before` (an earlier copy of the error queue,
    // newest first) about one of hosts: "host: description", one a computer's report.
    static QStringList reportedFailures(const QVariantList &before, const QVariantList &queue,
                                        const QStringList &hosts);

private:
    QString sendKeys(const char *op, const QStringList &keys) const;

    ZDDispatcher *m_dispatcher;
    Clock m_clock;
};
