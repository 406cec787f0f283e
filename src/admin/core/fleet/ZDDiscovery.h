#pragma once
// The console's list of computers without any window: browses DNS-SD for the
// agents on a thread of its own, makes a record for every resolved service and
// for every manual connection stored in the settings, keeps them sorted at the
// top level or in groups by host key, and drops a record when DNS-SD loses it
// or its agent announces that it goes away.
//
// Use from the thread the object lives in (it needs an event loop). The look-ups
// and allServices() may also be called from other threads.
#include "fleet/ZDService.h"
#include "fleet/ZDServiceGroup.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>

#include <memory>

class ZDErrorCallback;

class ZDDiscovery : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kManualConnectionsKey = "manualConnections";

    // settingsPath: an INI file for the console's settings; empty uses the
    // console's default settings.
    ZDDiscovery(std::shared_ptr<ZDErrorCallback> errorCallback, const QString &settingsPath = QString(),
                QObject *parent = nullptr);
    ~ZDDiscovery() override; // stops browsing and invalidates every record without notice

    // Browsing on its own thread, then the stored manual connections.
    void start();
    void stop();
    bool isBrowsing() const;
    // Browsing runs and every service it found so far has been resolved or given up on.
    bool browsingCaughtUp() const;
    // The DNS-SD names found since browsing began, resolved or not.
    QStringList foundNames() const;
    // For resolutions started afterwards (20 s unless changed).
    void setResolveTimeout(int msec);

    // Top-level records, sorted by compareTitle().
    QList<ZDServicePtr> topLevelServices() const;
    QList<ZDServiceGroupPtr> groups() const;
    // Groups take the records whose host key they list (first group wins); records
    // already in the list are not moved.
    void setGroups(const QList<ZDServiceGroupPtr> &groups);
    // A listed record leaves its group (and every group's key list) or the top
    // level and joins `group` (its key recorded there), or the top level when
    // `group` is null. False when the record or the group is not listed.
    bool moveService(const ZDServicePtr &service, const ZDServiceGroupPtr &group);
    // Drops the group; its children go to the top level (sorted).
    bool removeGroup(const ZDServiceGroupPtr &group);
    // Every record: the top level first, then each group's children.
    QList<ZDServicePtr> allServices() const;

    ZDServicePtr serviceWithHostName(const QString &hostName) const; // trailing "." optional on both sides
    ZDServicePtr serviceWithIPAddress(const QString &address) const;
    ZDServicePtr serviceWithManualIP(const QString &address) const;

    // True when a record is connected, enabled and without error.
    bool servicesAvailable() const;
    void updateAvailableServices();

    // The sheet's check: name 1-255 characters, address "localhost" or four
    // dot-separated decimal numbers written without sign or leading zero
    // (7-15 characters), port 1025-65535.
    static bool validateManualConnectionSettings(const QString &name, const QString &ip, const QString &port);
    // Stores {"name", "ip", "port"} and connects. False, with the alert's title and
    // text, for invalid settings or an address and port that are already listed.
    bool submitManualConnection(const QString &name, const QString &ip, const QString &port,
                                QString *errorTitle = nullptr, QString *errorText = nullptr);
    // Creates and lists the record (nothing is stored); null unless name and
    // address are given and the port is positive.
    ZDServicePtr addManualConnection(const QString &name, const QString &ip, int port);
    // Connects every stored manual connection, in stored order.
    void processManualConnections();
    // Forgets the stored entries with this name and drops their records.
    bool removeManualConnection(const QString &name);
    // Forgets the first stored entry of this very record (name, address and port:
    // a namesake elsewhere keeps its entry) and drops the record, which disconnects it.
    bool removeManualService(const ZDServicePtr &service);
    // The stored entries, each {"name", "ip", "port"} as text.
    QVariantList manualConnections() const;

    // Adds a record to its group or the top level (sorted).
    void addServiceToList(const ZDServicePtr &service);
    // Invalidates (without notice) and unlists one record.
    bool removeService(const ZDServicePtr &service);

    // Ends the connection of a listed record and takes it off the list, keeping a
    // manual entry stored: it is listed again when DNS-SD finds it again or the
    // stored manual connections are processed again.
    bool disconnectService(const ZDServicePtr &service);

Q_SIGNALS:
    void serviceAdded(const ZDServicePtr &service);
    // A window closes the record's panels on it. The record is invalidated by then,
    // which drops its part of a running batch (ZDDispatcher::kRemovedReason).
    void serviceRemoved(const ZDServicePtr &service);
    void listChanged();
    void servicesAvailableChanged(bool available);
    // Forwarded from the records, for the window and the command line.
    void serviceConnectionFailed(ZDService *service);
    void adminIsOutdated(ZDService *service);
    void localError(int errorCode, const QString &hostName);
    void serviceRefreshed(ZDService *service);
    void browsingFailed(const QString &message);
    // A service was found, resolved, given up on or lost.
    void browsingProgressed();
    // A group's stored address became a computer's own key: worth saving.
    void groupsMigrated();

private:
    // Waiting out the daemon's grace period for the goodbye of the old announcement.
    static constexpr int kResolveAgainAfterGoodbyeMs = 3000;
    // Asks the record's agent for its configuration again, in the background.
    void refreshConfiguration(const ZDServicePtr &service);
    void resolveAgainLater(const ZDDNSSDService &service, int delayMs);

    struct Private;
    std::unique_ptr<Private> d;
};
