#pragma once
// The console's side of application paths: the rows of the shared table with
// every selected computer's path for each, the locked reference paths (setting
// "lockedPaths"), and the work on the computers: reset one path or all, set one,
// copy all paths from one computer to the others. Waits for the network: never
// on the GUI thread.
#include "catalog/ZDPreferenceKinds.h"
#include "fleet/ZDService.h"

#include <QList>
#include <QString>
#include <QVariantMap>

class ZDDispatcher;

struct ZDPathValue
{
    QString service; // the computer's name
    QString host;
    QString path;
};

struct ZDPathRowView
{
    QString application;
    const ZDPreferenceKinds::PathRow *row = nullptr;
    QString syncPath; // the locked reference, when locked
    bool locked = false;
    QList<ZDPathValue> values;
    // Computers disagree among themselves, or with the locked path.
    bool differs() const;
};

class ZDPaths
{
public:
    static constexpr const char *kLockedPathsKey = "lockedPaths";
    static constexpr const char *kBundleID = "com.zendrel.Tarnok";

    // settingsPath: the console's settings file (empty: the default one).
    ZDPaths(ZDDispatcher *dispatcher, QString settingsPath = QString());

    // answers: host name -> that computer's path answer; names: host name -> computer name.
    static QList<ZDPathRowView> merge(const QVariantMap &answers, const QVariantMap &locked,
                                      const QMap<QString, QString> &names = {});
    // Every selected computer's paths, merged into the table's rows.
    QList<ZDPathRowView> refresh() const;

    // Each answers empty when it ran, else why not.
    QString setPath(const QString &key, const QString &path, const ZDServicePtr &service) const;
    QString resetPath(const QString &key, const ZDServicePtr &service) const;
    // The tool's task "0" on the selected computers (started, not waited for).
    void resetAll() const;
    // The source's whole answer set on every selected computer but the source.
    QString syncFrom(const ZDServicePtr &source) const;

    QVariantMap lockedPaths() const;
    // Locking keeps the row's path (or "") as the reference; unlocking drops it.
    void setLocked(const QString &key, const QString &path, bool locked) const;

private:
    ZDDispatcher *m_dispatcher;
    QString m_settingsPath;
};
