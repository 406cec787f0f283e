#pragma once
// What an action that changes computers says before it runs: its target and a count
// ("Remove 2 caches on 3 computers?", "On edit-suite-1, edit-suite-2 and 1 more."),
// the same words in every panel and in `kestra`, and whether it has a target at all
// (nothing chosen is none; "all computers" must be said on purpose).
#include <QString>
#include <QStringList>

namespace ZDActionTarget {

// "1 cache", "2 caches".
QString counted(int count, const QString &singular, const QString &plural);
// "Trash 2 caches on 3 computers?"; without things ("Mendo"): "Run Mendo on 3 computers?".
QString question(const QString &action, int count, const QString &singular, const QString &plural, int computers);
QString question(const QString &action, int computers);
// The computers by name, the first `shown` of them, then how many more.
QString targetLine(const QStringList &hosts, int shown = 3);
bool hasTarget(int selectedComputers, bool allChosen);

} // namespace ZDActionTarget
