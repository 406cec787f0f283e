#pragma once
// `kestra enroll-token [MINUTES]`, `kestra trust HOST [FINGERPRINT]` and `kestra pair HOST`: the
// console's side of enrolment and of accepting an agent's new key.
#include "fleet/ZDService.h"

#include <QList>
#include <QStringList>
#include <QTextStream>

#include <functional>

class ZDSecurityCommand
{
public:
    ZDSecurityCommand() = delete;

    static int enrollToken(const QStringList &positional, bool json, QTextStream &out, QTextStream &err);
    // find: the computers matching a name or host name, after discovery.
    static int trust(const QStringList &positional, const std::function<QList<ZDServicePtr>(const QString &)> &find,
                     QTextStream &out, QTextStream &err);
    // Pairs through the window root opened on HOST: prints the code, then root's verdict.
    static int pair(const QStringList &positional, const std::function<QList<ZDServicePtr>(const QString &)> &find,
                    QTextStream &out, QTextStream &err);
};
