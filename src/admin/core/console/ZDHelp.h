#pragma once
// The console's Help menu: "Report a Bug" opens the suite's issue page in the
// user's browser (and offers the log bundle of Gather Logs to attach), "Kestra
// Admin Help" shows the README shipped among the console's resources as a local
// page: its sections listed first, then their text, as Markdown that names
// nothing remote.
#include <QString>
#include <QUrl>

namespace ZDHelp {

// Where the suite's issues are reported: "bugReportURL" in the console's settings
// when it is an https address, else the maker's page.
inline constexpr const char *kIssuePageSetting = "bugReportURL";
inline constexpr const char *kDefaultIssuePage = "https://www.zendrel.com/support/kestra/issues";
QUrl issuePage(const QString &settingsPath = QString());

QString reportBugTitle();
QString reportBugText();

// The README among the console's resources (empty when it has none).
QString readmePath();
// The help page for the README's text; a README that cannot be read gives a page saying so.
QString helpMarkdown(const QString &readmePath);
// The section titles ("## ..." lines) of a README, in order.
QStringList sectionTitles(const QString &markdown);

} // namespace ZDHelp
