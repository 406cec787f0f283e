#pragma once
// The Difference Finder: computers sorted into Working, Not Working and
// Unassigned; from their system profiles, every value, plug-in, library and
// kernel module that all failing computers share and no working computer has,
// with the working computers' values beside the failing one. Pure functions over
// the profiles, plus the groups the panel and the command line fill.
#include "fleet/ZDService.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

struct ZDDifference
{
    QString description; // what differs
    QString working;     // the working computers' value or "low - high"; empty when none has it
    QString nonworking;  // the failing computers' common value
    QVariantMap toMap() const;
};

class ZDDifferenceFinder
{
public:
    enum Group { Working = 0, NotWorking = 1, Unassigned = 2 };
    static QString groupTitle(Group group);

    // What tells a computer apart in the groups: its service (the DNS-SD name, or the
    // address typed by hand) and its port; two computers may show the same name.
    static QString identityOf(const ZDServicePtr &service);

    // Every computer starts unassigned; moving one takes it out of its old group.
    void setComputers(const QStringList &hosts);
    void move(const QString &host, Group to);
    QStringList hosts(Group group) const { return m_groups[group]; }
    // Why a calculation cannot start ("" when it can): fewer than two computers, or an empty group.
    QString check(int connectedComputers) const;
    // The same check as an alert: its title, its text (the answer of check) and the
    // log line; empty when the calculation can start.
    struct Refusal
    {
        QString title;
        QString text;
        QString logLine;
    };
    Refusal refusal(int connectedComputers) const;

    // failing and working: the system profiles of each group.
    static QList<ZDDifference> compare(const QVariantList &failing, const QVariantList &working);

private:
    QStringList m_groups[3];
};
