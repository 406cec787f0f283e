#pragma once
// The console's plug-in view across computers: the lists of many computers merged
// into one item per plug-in (by kind, name and bundle identifier) with one child
// per computer and a state that says how the copies differ; and the work that
// brings them into line (sync), enables or disables them, or moves them between
// the computer's and the user's folder. The work runs off the GUI thread.
#include "dispatch/ZDDispatcher.h"
#include "fleet/ZDService.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

class ZDDispatcher;

struct ZDPluginItem
{
    enum State { InLine = 0, VersionsDiffer = 1, EnabledDiffers = 2, AccessDiffers = 3, Missing = 4 };

    QString name;
    QString fileName;
    QString version; // the common version, or "(various)"
    QString type;
    QString bundleIdentifier;
    QVariantList children; // each computer's record, with "hostname"
    int state = InLine;
    int disabledCount = 0;
    int disabled = 0;   // 1 all, 0 none, -1 some
    int accessType = 0; // 0 all users, 1 current user, -1 mixed
    QStringList missingHosts;

    void addChild(QVariantMap record, const QString &host);
    QVariantMap toMap() const;
    static QString stateText(int state);
};

class ZDPluginItems
{
public:
    // The merge key: kind, name, and the bundle identifier when the record has one.
    static QString keyOf(const QVariantMap &record);
    // hostLists: host -> list of records; hosts: every computer asked, in order (for missingHosts).
    static QList<ZDPluginItem> merge(const QVariantMap &hostLists, const QStringList &hosts);

    // What a run did: per failure one line "host: what"; notes for the administrator
    // (each copy's source and SHA-256, what was left for want of a source).
    struct Report
    {
        QStringList failures;
        QStringList notes;
        int changes = 0;
    };

    // service -> its host name as the lists are keyed.
    using HostOf = std::function<QString(const ZDServicePtr &)>;

    ZDPluginItems(ZDDispatcher &dispatcher, ZDDispatcher::ServiceList services, HostOf hostOf);

    QList<ZDPluginItem> refresh();
    // Brings every item that differs to the copy on sourceHost (keyed as the lists
    // are) everywhere, then to the enabled state and access most computers share.
    // Without a source nothing is copied: a version is only what an agent claims.
    // Each copy goes out with its SHA-256, which every target checks on arrival;
    // an archive holding links is refused here already.
    // A computer that never had a plug-in gets it only with addMissing.
    Report sync(const QList<ZDPluginItem> &items, const QString &sourceHost = {}, bool addMissing = false);
    // name empty: every plug-in; else the items of that name (or bundle identifier);
    // host given: only that computer's copy.
    Report setDisabled(const QList<ZDPluginItem> &items, const QString &name, bool disabled, const QString &host = {});
    Report setAccess(const QList<ZDPluginItem> &items, const QString &name, int access, const QString &host = {});

    // What an action on name (all when empty) on host (all when empty) reaches,
    // asked before it runs: "Disable 2 plug-ins on 3 computers?".
    struct Scope
    {
        int plugins = 0;
        QStringList hosts;
    };
    static Scope scope(const QList<ZDPluginItem> &items, const QString &name, const QString &host = {});
    static QString question(const QString &action, const Scope &scope);

private:
    ZDServicePtr serviceFor(const QString &host) const;
    // Runs the tool's operation on the child's computer, with rights when that computer needs them.
    bool act(const char *op, const QVariantMap &child, const QVariant &value, const QVariantMap &rightsSettings,
             Report &report);
    bool replace(const ZDPluginItem &item, const QVariantMap &source, const QByteArray &data, const QString &hash, bool addMissing,
                 Report &report);
    // Each computer's copy of the named plug-in (all when empty) on host (all when empty), until cancelled.
    void forEachCopy(const QList<ZDPluginItem> &items, const QString &name, const QString &host,
                     const std::function<void(const QVariantMap &child)> &visit) const;

    ZDDispatcher &m_dispatcher;
    ZDDispatcher::ServiceList m_services;
    HostOf m_hostOf;
};
