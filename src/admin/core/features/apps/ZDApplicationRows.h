#pragma once
// The application panels' rows across computers: the editing applications or the
// maker's tools in their fixed order, each with one child per computer (its
// "installed", "running", "version" and "hostname") and a summary (status, version
// range); opening, quitting and force quitting by bundle identifier on every
// computer; and the tools' shared settings, merged (-1 where computers differ).
// Every call waits for the network: never on the GUI thread.
#include "dispatch/ZDDispatcher.h"
#include "fleet/ZDService.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

struct ZDApplicationRow
{
    QString name;
    QString bundleID;
    QString icon;
    QVariantList children; // per computer, with "hostname"

    // "Running", "Not running", "Not installed" (one computer), "Some running" (several); empty without answers.
    QString status() const;
    // The version, or "low - high" over several computers; empty when none is known.
    QString version() const;
    QVariantMap toMap() const;
};

class ZDApplicationRows
{
public:
    enum class Kind { Editing, Tools };
    enum class Action { Launch, Quit, ForceQuit };
    static constexpr const char *kSettingKeys[] = {"passwordProtect", "autoUpdateCheck", "betaUpdateCheck"};

    // The fixed rows without children.
    static QList<ZDApplicationRow> emptyRows(Kind kind);
    // answers: host -> {application name -> information}; hosts in the order shown.
    static QList<ZDApplicationRow> merge(Kind kind, const QVariantMap &answers, const QStringList &hosts);
    // Names or identifiers (case-insensitive) as bundle identifiers, each once, in the
    // order given; what matches no row goes to unknown.
    static QStringList bundleIDsFor(Kind kind, const QStringList &namesOrIDs, QStringList *unknown = nullptr);
    static QStringList bundleIDsFor(const QStringList &namesOrIDs, QStringList *unknown = nullptr);
    // The force quit confirmation: {question, informative text}.
    static QStringList forceQuitQuestion(int count);

    using HostOf = std::function<QString(const ZDServicePtr &)>;
    ZDApplicationRows(ZDDispatcher &dispatcher, ZDDispatcher::ServiceList services, HostOf hostOf);

    QList<ZDApplicationRow> refresh(Kind kind);
    // Calls the action for each identifier on every computer; the number of calls made.
    int act(Action action, const QStringList &bundleIDs);
    // {"passwordProtect", "autoUpdateCheck", "betaUpdateCheck"}: 1, 0, or -1 when mixed.
    QVariantMap settings();
    void setSetting(const QString &key, int value);
    // With administrator credentials per computer; the number of computers handed the change.
    int setPasswordProtect(bool on);

private:
    QVariantMap across(const char *op);

    ZDDispatcher &m_dispatcher;
    ZDDispatcher::ServiceList m_services;
    HostOf m_hostOf;
};
