#pragma once
// How many updates wait, per computer (its record's host name, else its name) and
// for the console itself (kSelfKey), and the total the toolbar badge shows. Counts
// come from agents on connection threads and from configurations; every change is
// made, and totalChanged emitted, on this object's thread (the GUI thread).
#include "fleet/ZDService.h"

#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>

class ZDDiscovery;
class ZDDispatcher;
class ZDErrorCallback;

class ZDSoftwareUpdateCounts : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kSelfKey = "###self###";
    static constexpr const char *kIconPath = ":/kestra/icons/Software_Update_Icon.png";
    static constexpr int kIconSize = 128;
    // An agent's count beyond this is taken as this: the sum stays meaningful.
    static constexpr qint64 kMaxCount = 100000;
    static constexpr int kMaxHosts = 100000;

    explicit ZDSoftwareUpdateCounts(QObject *parent = nullptr);

    // Any thread; applied later on this object's thread. Above 0 stored, else removed.
    void setNuvellCount(qint64 count, const QString &host);
    // This object's thread.
    QHash<QString, qint64> nuvellCount() const { return m_counts; }
    qint64 total() const { return m_total; }

    // Counts sent by each computer's own connection, filed under that record's name.
    void followAgents(ZDErrorCallback *callback);
    // The records' configurations (a fresh count, or a recount asked of the agent through
    // the dispatcher, off this thread) and removed computers losing their count.
    void followRecords(ZDDiscovery *discovery, ZDDispatcher *dispatcher);

    static QString keyFor(const ZDServicePtr &service);
    // The icon at 128 x 128 with a numeric badge when total is 1 or more.
    static QImage badgedIcon(qint64 total);

Q_SIGNALS:
    void totalChanged(qint64 total);

private:
    void apply(qint64 count, const QString &host);
    // Once per record: added ones are announced once.
    void watch(const ZDServicePtr &service, ZDDispatcher *dispatcher);

    QHash<QString, qint64> m_counts;
    qint64 m_total = 0;
};
