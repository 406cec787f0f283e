#pragma once
// The crash log panel's pure logic: the nine period filters over crash log records
// ({"hostname", "filename", "date", "cause", "app"}), the statistics over the kept
// records, the crashed-thread view of a log, the explanation shown for a log of
// unknown cause and the submitted comment's cut. Weeks are ISO weeks of their
// ISO week-year; days, weeks and months are the console's local calendar.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

namespace ZDCrashLogStats {

enum Filter { All, Today, Yesterday, ThisWeek, LastWeek, ThisMonth, LastMonth, ThisYear, LastYear, FilterCount };

inline constexpr qsizetype kMaxComment = 2048;

QStringList filterTitles();
// The records whose "date" falls in the filter's period around now.
QVariantList filtered(const QVariantList &records, int filter, const QDateTime &now);

// Label -> value text. computers: the number of selected computers (0: no average
// per computer); displayName: a host name's computer name for "Most unstable machine".
QVariantMap statistics(const QVariantList &records, int filter, const QDateTime &now, int computers,
                       const std::function<QString(const QString &)> &displayName = {});
// The labels in the order the panel shows them.
QStringList statisticLabels();

// The lines after the first line that begins with "Thread " and contains "Crashed",
// up to the next line that begins with "Thread ", each followed by "\n".
QString crashedThread(const QString &log);
QString unknownCauseExplanation();
// An explanation page (a computer's HTML) as terminal text: blocks on lines of their
// own, list items marked, entities decoded, every tag and script dropped. Works
// without a GUI application, which QTextDocument needs for its fonts.
QString explanationText(const QString &html);
// The record among `logs` that a name as listed (a log's file name, or its full
// path on the computer) names on `host`; empty when none, *count the matches.
QVariantMap listedLog(const QVariantList &logs, const QString &host, const QString &name, int *count = nullptr);
// The name a log is listed under: its file name on the computer.
QString listedName(const QVariantMap &log);
// Longer than kMaxComment characters: the first kMaxComment - 1.
QString cutComment(const QString &comment);

} // namespace ZDCrashLogStats
