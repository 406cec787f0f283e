#include "console/ZDHelp.h"

#include "console/ZDAdminSettings.h"
#include "platform/ZDMainBundle.h"
#include "platform/ZDBoundedRead.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

namespace {

constexpr qint64 kMaxReadmeBytes = 1024 * 1024;

} // namespace

QUrl ZDHelp::issuePage(const QString &settingsPath)
{
    const auto settings = ZDAdminSettings::open(settingsPath);
    const QUrl custom(settings->value(QLatin1String(kIssuePageSetting)).toString());
    // Only a web page is handed to the browser, never a file or a program's scheme.
    if (custom.isValid() && custom.scheme() == QLatin1String("https") && !custom.host().isEmpty())
        return custom;
    return QUrl(QLatin1String(kDefaultIssuePage));
}

QString ZDHelp::reportBugTitle()
{
    return QStringLiteral("Attach your logs to the report");
}

QString ZDHelp::reportBugText()
{
    return QStringLiteral("The issue page has opened in your browser. A report is easier to act on with the logs of "
                          "this computer: Gather Logs puts them into one archive on your desktop, which you can "
                          "attach to the report.");
}

QString ZDHelp::readmePath()
{
    const QString resources = ZDMainBundle::resourcePath();
    if (resources.isEmpty())
        return {};
    const QString path = QDir(resources).filePath(QStringLiteral("README.md"));
    return QFile::exists(path) ? path : QString();
}

QStringList ZDHelp::sectionTitles(const QString &markdown)
{
    QStringList titles;
    static const QRegularExpression heading(QStringLiteral("^##\\s+(.+?)\\s*$"), QRegularExpression::MultilineOption);
    for (auto it = heading.globalMatch(markdown); it.hasNext();)
        titles << it.next().captured(1);
    return titles;
}

QString ZDHelp::helpMarkdown(const QString &readmePath)
{
    QFile file(readmePath);
    QString text;
    if (!readmePath.isEmpty() && file.open(QIODevice::ReadOnly) && file.size() <= kMaxReadmeBytes)
        text = QString::fromUtf8(ZDBoundedRead::upTo(file, kMaxReadmeBytes));
    if (text.isEmpty())
        return QStringLiteral("# Kestra Admin Help\n\nThe help text is not installed with this copy of Kestra Admin.\n");
    // Images and raw HTML would name things to load: the page keeps their words only.
    static const QRegularExpression image(QStringLiteral("!\\[([^\\]]*)\\]\\([^)]*\\)"));
    static const QRegularExpression tag(QStringLiteral("<[^>\\n]*>"));
    text.replace(image, QStringLiteral("\\1"));
    text.replace(tag, QString());
    const qsizetype first = text.indexOf(QRegularExpression(QStringLiteral("^## "), QRegularExpression::MultilineOption));
    const QString intro = first > 0 ? text.left(first) : QString();
    const QString sections = first >= 0 ? text.mid(first) : text;
    QString page = QStringLiteral("# Kestra Admin Help\n\n");
    const QStringList titles = sectionTitles(sections);
    if (!titles.isEmpty()) {
        page += QStringLiteral("Sections:\n\n");
        for (const QString &title : titles)
            page += QStringLiteral("- ") + title + QLatin1Char('\n');
        page += QLatin1Char('\n');
    }
    // The README's own title line gives way to the page's.
    QString lead = intro;
    lead.remove(QRegularExpression(QStringLiteral("^# .*\\n?")));
    return page + lead.trimmed() + QStringLiteral("\n\n") + sections;
}
