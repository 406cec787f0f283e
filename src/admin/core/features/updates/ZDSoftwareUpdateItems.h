#pragma once
// The console's software updates across computers: each computer's update list
// merged into one row per product (group identifier, else bundle identifier) with a
// child per computer; a pending update of the agent or of the console itself hides
// every other product until it is installed. Installing runs one product at a time
// on the computers that need it and waits for each computer's finished notice;
// manual installs hand the download to each computer's browser. Blocking: never on
// the GUI thread.
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDFinishedNotices.h"
#include "fleet/ZDService.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

class ZDErrorCallback;

struct ZDNuvellItem
{
    static constexpr const char *kAgentBundleID = "com.zendrel.kestraclient"; // lower case
    QString title;
    // "admin": the console's own update; "sparkle": updated through its own feed; "package":
    // through the computer's package manager
    QString type;
    QString bundleID;
    QVariant downloadSize;
    QString changeList;
    QString appPath;
    QString downloadURL;
    QVariantList children; // entries with "hostname"
    int selected = 1;
    bool manualOnly = false;
    // The console's own update, from its own feed: the only item the self-update takes a URL from.
    bool own = false;

    static ZDNuvellItem withDictionary(const QVariantMap &entry, const QString &host);
    void addChild(QVariantMap entry, const QString &host);
    bool isAgent() const { return bundleID.toLower() == QLatin1String(kAgentBundleID); }
    // The download size for a person: "12.3 MB" from a byte count, text as the agent wrote it,
    // empty when unknown (a package manager that gives no size says 0).
    QString sizeText() const;
    // What the install sends as the bundle identifier: the path for "sparkle" items.
    QString installTarget() const { return type == QLatin1String("sparkle") ? appPath : bundleID; }
    QVariantMap toMap() const;
};

class ZDSoftwareUpdateItems : public QObject
{
    Q_OBJECT
public:
    struct Report
    {
        QStringList failures; // "host: what"
        int handed = 0;
        int finished = 0;
    };
    using HostOf = std::function<QString(const ZDServicePtr &)>;
    static constexpr qsizetype kMaxNoteLength = 1024;
    // The progress steps a computer reports while its package manager installs (one per tenth).
    static constexpr int kPackageSteps = 10;

    // hostLists: host -> the listing's answer; hosts in order; selfUpdate: the console's own entry or empty.
    // An agent's entry of type "admin" is dropped: the console updates itself from its own feed only.
    static QList<ZDNuvellItem> merge(const QVariantMap &hostLists, const QStringList &hosts,
                                     const QVariantMap &selfUpdate = {});
    // Manual type: manual-only items selected; automatic: unselected.
    static void changeType(QList<ZDNuvellItem> &items, bool manual);
    static QString changeListHtml(const ZDNuvellItem &item);

    // callback: the console's error callback (finished notices), may be null.
    ZDSoftwareUpdateItems(ZDDispatcher &dispatcher, ZDErrorCallback *callback, ZDDispatcher::ServiceList services,
                          HostOf hostOf, QObject *parent = nullptr);

    QList<ZDNuvellItem> refresh(const QVariantMap &selfUpdate = {});
    // From the last refresh: host -> why its package updates could not be listed.
    QMap<QString, QString> notes() const { return m_notes; }
    // The selected items other than the console's own, one product at a time.
    Report install(const QList<ZDNuvellItem> &items, bool withRights, double waitSeconds = 400);
    Report manualInstall(const QList<ZDNuvellItem> &items);
    // The selected items the package manager installs: the agents run them only with the
    // administrator's credentials, which polkit then weighs on each computer.
    static QStringList needingRights(const QList<ZDNuvellItem> &items);
    // The URL of the console's own update among the selected items; empty when there is none.
    static QString selfUpdateURL(const QList<ZDNuvellItem> &items);

Q_SIGNALS:
    void progressStarted(int total);
    void installing(const QString &title);
    void progressAdvanced();
    void progressFinished();

private:
    ZDServicePtr serviceFor(const QString &host) const;

    ZDDispatcher &m_dispatcher;
    ZDDispatcher::ServiceList m_services;
    HostOf m_hostOf;
    ZDFinishedNotices m_notices;
    QMap<QString, QString> m_notes;
};
