#include "verbs/ZDSchedulesCommand.h"

#include "dispatch/ZDAgentCalls.h"
#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "features/schedules/ZDScheduleTasks.h"

using namespace Qt::StringLiterals;

namespace {

const char *const kUsageText =
    "kestra: schedules takes add TOOL TASK TYPE [VALUE], remove NAME, enable [NAME [HOST]], disable [NAME [HOST]] "
    "or sync; TYPE is 0-8 or startup, hourly, daily, weekly, monthly, yearly, every, at, watch\n";

int runTypeOf(const QString &word)
{
    static const QStringList words{u"startup"_s, u"hourly"_s, u"daily"_s, u"weekly"_s, u"monthly"_s,
                                   u"yearly"_s,  u"every"_s,  u"at"_s,    u"watch"_s};
    bool number = false;
    const int n = word.toInt(&number);
    if (number)
        return n >= 0 && n < int(words.size()) ? n : -1;
    return int(words.indexOf(word.toLower()));
}

QString enabledText(int enabled)
{
    return enabled == 1 ? u"enabled"_s : enabled == 0 ? u"disabled"_s : u"mixed"_s;
}

// Rows named by their description or by one of their computers' file names.
QList<ZDScheduledTask> named(const QList<ZDScheduledTask> &rows, const QString &name)
{
    QList<ZDScheduledTask> out;
    for (const ZDScheduledTask &row : rows) {
        bool match = row.taskDescription == name;
        for (const QVariant &c : row.children)
            match = match || c.toMap().value(u"filename"_s).toString() == name;
        if (match)
            out << row;
    }
    return out;
}

} // namespace

int ZDSchedulesCommand::run()
{
    ZDCommandLine &c = m_cli;
    const QStringList &p = c.m_options.positional;
    const QString verb = p.value(0);
    const int type = verb == "add"_L1 ? runTypeOf(p.value(3)) : -1;
    const bool known = (verb.isEmpty() && p.size() <= 1) || (verb == "sync"_L1 && p.size() == 1)
        || (verb == "remove"_L1 && p.size() == 2) || ((verb == "enable"_L1 || verb == "disable"_L1) && p.size() <= 3)
        || (verb == "add"_L1 && type >= 0 && (p.size() == 4 || p.size() == 5));
    if (!known) {
        c.m_err << kUsageText;
        return ZDCommandLine::Usage;
    }
    const ZDDispatcher::ServiceList services = c.computersNeededForWork();
    if (services.isEmpty())
        return c.finish(services);
    QVariantMap arguments;
    if (verb == "add"_L1) {
        // The sheet's checks; what they let through the computers check again.
        QString title, text;
        const QString given = p.value(4);
        const QStringList f = given.split(u',');
        const ZDScheduleTasks::Fields fields{f.value(0), f.value(1), f.value(2), f.value(3), f.value(4)};
        const QString value = ZDScheduleTasks::intervalValue(type, given, fields, given, &title, &text);
        if (!title.isEmpty()) {
            c.m_err << "kestra: " << title << ": " << text << "\n";
            return ZDCommandLine::Usage;
        }
        QString bundle = p.value(1);
        if (!bundle.contains(u'.')) {
            QVariantMap tools;
            c.runOffMain([&] { tools = ZDAgentCalls(c.m_dispatcher.get()).zdAppTasks(); });
            for (const QVariant &list : std::as_const(tools)) {
                for (const QVariant &t : list.toList()) {
                    if (t.toMap().value(u"name"_s).toString().compare(bundle, Qt::CaseInsensitive) == 0)
                        bundle = t.toMap().value(u"bundleid"_s).toString();
                }
            }
        }
        arguments = ZDScheduleTasks::taskArguments(bundle, p.value(2), type, value, true);
    }
    QList<ZDScheduledTask> rows;
    ZDScheduleTasks::Report report;
    bool unknownName = false;
    const bool rights = c.m_options.admin;
    c.runOffMain([&] {
        ZDScheduleTasks schedules(*c.m_dispatcher, services, &ZDCommandLine::hostOf);
        if (verb == "add"_L1) {
            report = schedules.add(arguments, rights);
        } else if (!verb.isEmpty()) {
            rows = schedules.refresh();
            const QList<ZDScheduledTask> chosen = p.size() > 1 ? named(rows, p.value(1)) : QList<ZDScheduledTask>();
            unknownName = p.size() > 1 && chosen.isEmpty();
            if (unknownName)
                return;
            if (verb == "sync"_L1)
                report = schedules.sync(rows, rights);
            else if (verb == "remove"_L1)
                report = schedules.remove(chosen, rights);
            else
                report = schedules.setEnabled(chosen, verb == "enable"_L1, rights, p.value(2));
        }
        rows = schedules.refresh();
    });
    if (unknownName) {
        c.m_err << "kestra: no scheduled task " << ZDCliOutput::terminalText(p.value(1)) << "\n";
        return ZDCommandLine::Failed;
    }
    // The computers' own reasons come first; they say why better than a failed call.
    if (!verb.isEmpty())
        c.collectReportedErrors(services);
    c.recordFailures(report.failures);
    if (c.m_options.json) {
        QVariantList out;
        for (const ZDScheduledTask &row : std::as_const(rows))
            out << row.toMap();
        c.m_out << ZDCliOutput::prettyJson(out);
    } else {
        QList<QStringList> table{{u"TASK"_s, u"HOST"_s, u"SCHEDULE"_s, u"ENABLED"_s, u"STATE"_s, u"NAME"_s}};
        for (const ZDScheduledTask &row : std::as_const(rows)) {
            table << QStringList{row.taskDescription, QString(), row.frequencyDescription, enabledText(row.enabled),
                                 ZDScheduledTask::stateText(row.state), QString()};
            for (const QVariant &v : row.children) {
                const QVariantMap child = v.toMap();
                table << QStringList{QString(), ZDCliOutput::dotless(child.value(u"hostname"_s).toString()),
                                     child.value(u"frequencyDescription"_s).toString(),
                                     enabledText(child.value(u"enabled"_s).toBool() ? 1 : 0), QString(),
                                     child.value(u"filename"_s).toString()};
            }
            for (const QVariant &m : row.missingHosts)
                table << QStringList{QString(), ZDCliOutput::dotless(m.toMap().value(u"hostname"_s).toString()), QString(), QString(),
                                     u"missing"_s, QString()};
        }
        c.m_out << ZDCliOutput::table(table);
        if (rows.isEmpty())
            c.m_out << "No scheduled tasks.\n";
        if (!verb.isEmpty())
            c.m_out << report.changes << " change(s) made.\n";
    }
    c.m_out.flush();
    return c.finish(services);
}
