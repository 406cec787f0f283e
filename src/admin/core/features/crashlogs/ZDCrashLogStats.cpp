#include "features/crashlogs/ZDCrashLogStats.h"

#include "fleet/ZDHostNames.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

namespace ZDCrashLogStats {
namespace {

constexpr qint64 kDay = 86400;

QString twoPlaces(double value)
{
    return QString::asprintf("%0.2f", value);
}

// ISO week and its week-year.
std::pair<int, int> isoWeek(const QDate &date)
{
    int year = 0;
    const int week = date.weekNumber(&year);
    return {week, year};
}

bool kept(const QDate &d, int filter, const QDate &today)
{
    switch (filter) {
    case All:
        return true;
    case Today:
        return d == today;
    case Yesterday:
        return d == today.addDays(-1);
    case ThisWeek:
        return isoWeek(d) == isoWeek(today);
    case LastWeek:
        return isoWeek(d) == isoWeek(today.addDays(-7));
    case ThisMonth:
        return d.year() == today.year() && d.month() == today.month();
    case LastMonth: {
        const QDate before = today.addMonths(-1);
        return d.year() == before.year() && d.month() == before.month();
    }
    case ThisYear:
        return d.year() == today.year();
    case LastYear:
        return d.year() == today.year() - 1;
    default:
        return false;
    }
}

QDateTime dateOf(const QVariant &record)
{
    return record.toMap().value(QStringLiteral("date")).toDateTime();
}

// The value seen most often, the first one seen winning a tie; empty with none.
QString mostCommon(const QVariantList &records, const QString &key)
{
    QHash<QString, int> counts;
    QStringList order;
    for (const QVariant &record : records) {
        const QVariant value = record.toMap().value(key);
        if (!value.isValid() || value.toString().isEmpty())
            continue;
        if (!counts.contains(value.toString()))
            order << value.toString();
        ++counts[value.toString()];
    }
    QString winner;
    int best = 0;
    for (const QString &value : order) {
        if (counts.value(value) > best) {
            best = counts.value(value);
            winner = value;
        }
    }
    return winner;
}

int monthsBetween(const QDate &start, const QDate &end)
{
    int months = (end.year() - start.year()) * 12 + end.month() - start.month();
    if (end.day() < start.day())
        --months;
    return months;
}

} // namespace

QStringList filterTitles()
{
    return {QStringLiteral("All"),       QStringLiteral("Today"),      QStringLiteral("Yesterday"),
            QStringLiteral("This Week"), QStringLiteral("Last Week"),  QStringLiteral("This Month"),
            QStringLiteral("Last Month"), QStringLiteral("This Year"), QStringLiteral("Last Year")};
}

QStringList statisticLabels()
{
    return {QStringLiteral("Total number of crashes"),       QStringLiteral("Average crashes per computer"),
            QStringLiteral("Number of crashes in last 24 hours"), QStringLiteral("Number of crashes in last 7 days"),
            QStringLiteral("Number of crashes in last 30 days"),  QStringLiteral("Average crashes per day"),
            QStringLiteral("Average crashes per week"),      QStringLiteral("Average crashes per month"),
            QStringLiteral("Most common cause of crashes"),  QStringLiteral("Most unstable machine"),
            QStringLiteral("Most unstable application")};
}

QVariantList filtered(const QVariantList &records, int filter, const QDateTime &now)
{
    const QDate today = now.toLocalTime().date();
    QVariantList out;
    for (const QVariant &record : records) {
        const QDateTime date = dateOf(record);
        if (filter == All || (date.isValid() && kept(date.toLocalTime().date(), filter, today)))
            out << record;
    }
    return out;
}

QVariantMap statistics(const QVariantList &records, int filter, const QDateTime &now, int computers,
                       const std::function<QString(const QString &)> &displayName)
{
    const QVariantList keptRecords = filtered(records, filter, now);
    const auto count = double(keptRecords.size());
    QVariantMap stats;
    stats.insert(QStringLiteral("Total number of crashes"), QString::number(keptRecords.size()));
    if (computers > 0)
        stats.insert(QStringLiteral("Average crashes per computer"), twoPlaces(count / computers));

    const QDateTime local = now.toLocalTime();
    QDateTime start = local;
    QDateTime end = local;
    bool period = true;
    if (filter == All) {
        const auto within = [&](qint64 seconds) {
            int n = 0;
            for (const QVariant &record : keptRecords) {
                const QDateTime date = dateOf(record);
                n += date.isValid() && date.secsTo(now) <= seconds ? 1 : 0;
            }
            return QString::number(n);
        };
        stats.insert(QStringLiteral("Number of crashes in last 24 hours"), within(kDay));
        stats.insert(QStringLiteral("Number of crashes in last 7 days"), within(7 * kDay));
        stats.insert(QStringLiteral("Number of crashes in last 30 days"), within(30 * kDay));
        QDateTime first, last;
        for (const QVariant &record : keptRecords) {
            const QDateTime date = dateOf(record);
            if (!date.isValid())
                continue;
            if (!first.isValid() || date < first)
                first = date;
            if (!last.isValid() || date > last)
                last = date;
        }
        period = first.isValid();
        start = first.toLocalTime();
        end = last.toLocalTime();
    } else {
        const QDateTime firstOfMonth(QDate(local.date().year(), local.date().month(), 1), local.time());
        const QDateTime firstOfYear(QDate(local.date().year(), 1, 1), local.time());
        switch (filter) {
        case ThisWeek:
            start = local.addSecs(-local.date().dayOfWeek() * kDay);
            break;
        case LastWeek:
            start = local.addSecs(-7 * kDay);
            break;
        case ThisMonth:
            start = local.addSecs(-local.date().day() * kDay);
            break;
        case LastMonth:
            start = firstOfMonth.addMonths(-1);
            end = firstOfMonth;
            break;
        case ThisYear:
            start = firstOfYear;
            break;
        case LastYear:
            start = firstOfYear.addYears(-1);
            end = firstOfYear;
            break;
        default: // one day
            break;
        }
    }
    if (period) {
        const qint64 days = std::max<qint64>(1, start.date().daysTo(end.date()));
        const qint64 weeks = std::max<qint64>(1, start.date().daysTo(end.date()) / 7);
        const qint64 months = std::max(1, monthsBetween(start.date(), end.date()));
        stats.insert(QStringLiteral("Average crashes per day"), twoPlaces(count / double(days)));
        stats.insert(QStringLiteral("Average crashes per week"), twoPlaces(count / double(weeks)));
        stats.insert(QStringLiteral("Average crashes per month"), twoPlaces(count / double(months)));
    }
    if (const QString cause = mostCommon(keptRecords, QStringLiteral("cause")); !cause.isEmpty())
        stats.insert(QStringLiteral("Most common cause of crashes"), cause);
    if (const QString host = mostCommon(keptRecords, QStringLiteral("hostname")); !host.isEmpty())
        stats.insert(QStringLiteral("Most unstable machine"), displayName ? displayName(host) : host);
    if (const QString app = mostCommon(keptRecords, QStringLiteral("app")); !app.isEmpty())
        stats.insert(QStringLiteral("Most unstable application"), app);
    return stats;
}

QString crashedThread(const QString &log)
{
    QString out;
    bool inside = false;
    for (const QString &line : log.split(QLatin1Char('\n'))) {
        if (inside) {
            if (line.startsWith(QStringLiteral("Thread ")))
                break;
            out += line + QLatin1Char('\n');
        } else if (line.startsWith(QStringLiteral("Thread ")) && line.contains(QStringLiteral("Crashed"))) {
            inside = true;
        }
    }
    return out;
}

QString unknownCauseExplanation()
{
    return QStringLiteral(
        "<h2>Unknown</h2>Quellar was unable to determine the cause of the crash. Ctrl-click the log and click Send Log "
        "to Zendrel and we'll update the software to support this type of crash in the future."
        "<h3>General troubleshooting tips</h3><ul><li>Trash preferences.</li><li>Trash your NLE's render or "
        "precompute files.</li><li>Make sure you are running the latest versions of your editing application, OS X "
        "and QuickTime.</li>"
        "<li>Repair disk permissions.</li><li>Remove and reinstall your editing application.</li></ul>");
}

QString explanationText(const QString &html)
{
    static const QRegularExpression hidden(QStringLiteral("<(script|style|head)\\b.*?</\\1\\s*>|<!--.*?-->"),
                                           QRegularExpression::CaseInsensitiveOption
                                               | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression item(QStringLiteral("<li\\b[^>]*>"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression block(
        QStringLiteral("<(br|/?p|/?div|/?h[1-6]|/?ul|/?ol|/tr|/?table|/?pre|/?blockquote)\\b[^>]*>"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression tag(QStringLiteral("<[^>]*>?"));
    static const QRegularExpression entity(QStringLiteral("&(#[0-9]{1,7}|#[xX][0-9a-fA-F]{1,6}|[a-zA-Z]{2,6});"));
    static const QRegularExpression spaces(QStringLiteral("[ \\t\\r\\f\\v]+"));
    QString text = html;
    text.remove(hidden);
    // Source line breaks are spaces in HTML; only the tags make lines.
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(item, QStringLiteral("\n- "));
    text.replace(block, QStringLiteral("\n"));
    text.remove(tag);
    static const QHash<QString, QString> named{{QStringLiteral("amp"), QStringLiteral("&")},
                                               {QStringLiteral("lt"), QStringLiteral("<")},
                                               {QStringLiteral("gt"), QStringLiteral(">")},
                                               {QStringLiteral("quot"), QStringLiteral("\"")},
                                               {QStringLiteral("apos"), QStringLiteral("'")},
                                               {QStringLiteral("nbsp"), QStringLiteral(" ")}};
    QString decoded;
    qsizetype last = 0;
    for (auto it = entity.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        decoded += QStringView(text).mid(last, m.capturedStart() - last);
        const QString name = m.captured(1);
        QString value = named.value(name.toLower(), m.captured());
        if (name.startsWith(QLatin1Char('#'))) {
            bool ok = false;
            const bool hex = name.size() > 1 && (name.at(1) == QLatin1Char('x') || name.at(1) == QLatin1Char('X'));
            const uint code = (hex ? name.mid(2) : name.mid(1)).toUInt(&ok, hex ? 16 : 10);
            // Control characters stay out: the terminal reads them as commands.
            const bool printable = ok && code <= 0x10FFFF && code >= 0x20 && !(code >= 0x7F && code < 0xA0)
                && !(code >= 0xD800 && code <= 0xDFFF);
            value = printable ? QString::fromUcs4(reinterpret_cast<const char32_t *>(&code), 1) : QString();
        }
        decoded += value;
        last = m.capturedEnd();
    }
    decoded += QStringView(text).mid(last);
    QStringList lines;
    for (QString line : decoded.split(QLatin1Char('\n'))) {
        line = line.replace(spaces, QStringLiteral(" ")).trimmed();
        // One empty line at most between blocks.
        if (!line.isEmpty() || (!lines.isEmpty() && !lines.last().isEmpty()))
            lines << line;
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines.join(QLatin1Char('\n'));
}

QString listedName(const QVariantMap &log)
{
    return QFileInfo(log.value(QStringLiteral("filename")).toString()).fileName();
}

QVariantMap listedLog(const QVariantList &logs, const QString &host, const QString &name, int *count)
{
    QVariantMap found;
    int matches = 0;
    for (const QVariant &v : logs) {
        const QVariantMap log = v.toMap();
        if (!ZDHostNames::sameHost(log.value(QStringLiteral("hostname")).toString(), host))
            continue;
        if (name.isEmpty()
            || (listedName(log) != name && log.value(QStringLiteral("filename")).toString() != name))
            continue;
        if (matches++ == 0)
            found = log;
    }
    if (count)
        *count = matches;
    return found;
}

QString cutComment(const QString &comment)
{
    return comment.size() > kMaxComment ? comment.left(kMaxComment - 1) : comment;
}

} // namespace ZDCrashLogStats
