#include "verbs/ZDSchedulesCommand.h"

#include "dispatch/ZDAgentCalls.h"
#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "features/schedules/ZDScheduleTasks.h"
#include "fleet/ZDHostNames.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const char *const kUsageText =
    "kestra: schedules takes add TOOL TASK TYPE [VALUE], remove NAME [HOST...], enable [NAME [HOST]], "
    "disable [NAME [HOST]] or sync; TYPE is 0-8 or startup, hourly, daily, weekly, monthly, yearly, every, at, watch\n";

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

// The schedule one of its computers' file names names; else the schedules of the
// task so described.
QList<ZDScheduledTask> named(const QList<ZDScheduledTask> &rows, const QString &name)
{
    for (const ZDScheduledTask &row : rows) {
        for (const QVariant &c : row.children)
            if (c.toMap().value(u"filename"_s).toString() == name)
                return {row};
    }
    QList<ZDScheduledTask> out;
    for (const ZDScheduledTask &row : rows)
        if (row.taskDescription == name)
            out << row;
    return out;
}

// The listed host names (in any form) given on the command line; empty when one names none.
QStringList hostsNamed(const QStringList &given, const QStringList &hosts, QString *unknown)
{
    QStringList out;
    for (const QString &g : given) {
        bool found = false;
        for (const QString &h : hosts) {
            if (ZDHostNames::sameHost(h, g)) {
                found = true;
                out << h;
            }
        }
        if (!found) {
            *unknown = g;
            return {};
        }
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
        || (verb == "remove"_L1 && p.size() >= 2) || ((verb == "enable"_L1 || verb == "disable"_L1) && p.size() <= 3)
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
        // The tool by name or identifier, and whether its task runs with rights.
        QString bundle = p.value(1);
        bool root = false;
        QVariantMap tools;
        c.runOffMain([&] { tools = ZDAgentCalls(c.m_dispatcher.get()).zdAppTasks(); });
        for (const QVariant &list : std::as_const(tools)) {
            for (const QVariant &t : list.toList()) {
                const QVariantMap tool = t.toMap();
                if (tool.value(u"name"_s).toString().compare(p.value(1), Qt::CaseInsensitive) != 0
                    && tool.value(u"bundleid"_s).toString() != p.value(1))
                    continue;
                bundle = tool.value(u"bundleid"_s).toString();
                for (const QVariant &task : tool.value(u"tasks"_s).toList())
                    if (task.toMap().value(u"id"_s).toString() == p.value(2))
                        root = root || task.toMap().value(u"root"_s).toInt() == 1;
            }
        }
        arguments = ZDScheduleTasks::taskArguments(bundle, p.value(2), type, value, true, root);
    }
    QList<ZDScheduledTask> rows;
    ZDScheduleTasks::Report report;
    const bool rights = c.m_options.admin;
    ZDScheduleTasks schedules(*c.m_dispatcher, services, &ZDCommandLine::hostOf);
    // The computers the action is for: each gets a line with its result.
    ZDDispatcher::ServiceList targets = services;
    if (verb == "add"_L1) {
        c.runOffMain([&] { report = schedules.add(arguments, rights); });
    } else if (!verb.isEmpty()) {
        c.runOffMain([&] { rows = schedules.refresh(); });
        const QList<ZDScheduledTask> chosen = p.size() > 1 ? named(rows, p.value(1)) : QList<ZDScheduledTask>();
        if (p.size() > 1 && chosen.isEmpty()) {
            c.m_err << "kestra: no scheduled task " << ZDCliOutput::terminalText(p.value(1)) << "\n";
            return ZDCommandLine::Failed;
        }
        QString unknown;
        const QStringList onHosts = hostsNamed(p.mid(2), ZDDispatcher::hostsOf(services, &ZDCommandLine::hostOf), &unknown);
        if (!unknown.isEmpty()) {
            c.m_err << "kestra: " << ZDCliOutput::terminalText(unknown) << ": not one of the computers\n";
            return ZDCommandLine::Failed;
        }
        if (verb == "remove"_L1 && chosen.size() > 1) {
            // Two schedules of one task are never taken for one another.
            c.m_err << "kestra: " << ZDCliOutput::terminalText(p.value(1)) << " has " << chosen.size()
                    << " schedules; name one by a file name of the NAME column\n";
            return ZDCommandLine::Failed;
        }
        if (!chosen.isEmpty()) {
            QStringList holding;
            for (const ZDScheduledTask &row : chosen)
                for (const QVariant &child : row.children)
                    holding << child.toMap().value(u"hostname"_s).toString();
            targets.removeIf([&](const ZDServicePtr &s) {
                const QString host = ZDCommandLine::hostOf(s);
                const auto same = [&](const QString &h) { return ZDHostNames::sameHost(h, host); };
                return std::none_of(holding.cbegin(), holding.cend(), same)
                    || (!onHosts.isEmpty() && std::none_of(onHosts.cbegin(), onHosts.cend(), same));
            });
        }
        if (verb == "sync"_L1) {
            const ZDScheduleTasks::Plan plan = ZDScheduleTasks::syncPlan(rows);
            if (!plan.steps.isEmpty() && !c.confirmed(plan.question()))
                return ZDCommandLine::Failed;
            c.runOffMain([&] { report = schedules.apply(plan, rights); });
        } else if (verb == "remove"_L1) {
            if (!c.confirmed(ZDScheduleTasks::removeQuestion(chosen, onHosts)))
                return ZDCommandLine::Failed;
            c.runOffMain([&] { report = schedules.remove(chosen, rights, onHosts); });
        } else {
            c.runOffMain([&] {
                report = schedules.setEnabled(chosen, verb == "enable"_L1, rights, onHosts.value(0));
            });
        }
    }
    // The computers' own reasons come first; they say why better than a failed call.
    if (!verb.isEmpty()) {
        c.collectReportedErrors(services);
        c.recordFailures(report.failures);
        return c.finishAction(targets);
    }
    c.runOffMain([&] { rows = schedules.refresh(); });
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
                table << QStringList{QString(), ZDHostNames::display(child.value(u"hostname"_s).toString()),
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
    }
    c.m_out.flush();
    return c.finish(services);
}
