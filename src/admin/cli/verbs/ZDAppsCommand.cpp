#include "verbs/ZDAppsCommand.h"

#include "features/apps/ZDApplicationRows.h"
#include "catalog/ZDApplicationTables.h"
#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "features/apps/ZDMaintenanceRuns.h"
#include "ZDProgressBar.h"

#include <QTextStream>

#include <cstdio>

using namespace Qt::StringLiterals;

int ZDAppsCommand::apps()
{
    ZDCommandLine &c = m_cli;
    const QStringList &p = c.m_options.positional;
    const QString verb = p.value(0);
    using Action = ZDApplicationRows::Action;
    const bool acting = verb == "open"_L1 || verb == "quit"_L1 || verb == "forcequit"_L1;
    if ((!acting && !p.isEmpty()) || (acting && p.size() < 2)) {
        c.m_err << "kestra: apps takes nothing, or open|quit|forcequit ID...\n";
        return ZDCommandLine::Usage;
    }
    QStringList unknown;
    const QStringList ids = acting ? ZDApplicationRows::bundleIDsFor(p.mid(1), &unknown) : QStringList();
    if (!unknown.isEmpty()) {
        c.m_err << "kestra: no application " << ZDCliOutput::terminalText(unknown.join(u", "_s)) << "\n";
        return ZDCommandLine::Usage;
    }
    if (verb == "forcequit"_L1) {
        const QStringList question = ZDApplicationRows::forceQuitQuestion(int(ids.size()));
        if (!m_cli.confirmed(qPrintable(question.join(u' '))))
            return ZDCommandLine::Failed;
    }
    const ZDDispatcher::ServiceList services = c.computersNeededForWork();
    if (services.isEmpty())
        return c.finish(services);
    QList<ZDApplicationRow> rows, tools;
    c.runOffMain([&] {
        ZDApplicationRows calls(*c.m_dispatcher, services, &ZDCommandLine::hostOf);
        if (acting) {
            calls.act(verb == "open"_L1 ? Action::Launch : verb == "quit"_L1 ? Action::Quit : Action::ForceQuit, ids);
            return;
        }
        rows = calls.refresh(ZDApplicationRows::Kind::Editing);
        tools = calls.refresh(ZDApplicationRows::Kind::Tools);
    });
    if (acting) {
        c.collectReportedErrors(services);
        return c.finishAction(services);
    }
    if (c.m_options.json) {
        QVariantList all;
        for (const auto &[list, kind] : {std::pair{&rows, u"application"_s}, {&tools, u"tool"_s}}) {
            for (const ZDApplicationRow &row : *list) {
                QVariantMap map = row.toMap();
                map.insert(u"kind"_s, kind);
                all << map;
            }
        }
        c.m_out << ZDCliOutput::prettyJson(all);
    } else {
        QList<QStringList> table{{u"APPLICATION"_s, u"HOST"_s, u"STATE"_s, u"VERSION"_s}};
        for (const QList<ZDApplicationRow> *list : {&rows, &tools}) {
            for (const ZDApplicationRow &row : *list) {
                table << QStringList{row.name, QString(), row.status(), row.version()};
                // A line per computer only where the computers differ.
                QList<QStringList> lines;
                bool differ = false;
                for (const QVariant &v : row.children) {
                    const ZDApplicationRow one{row.name, row.bundleID, row.icon, {v}};
                    lines << QStringList{QString(), ZDCliOutput::dotless(v.toMap().value(u"hostname"_s).toString()), one.status(),
                                         one.version()};
                    differ = differ || lines.last().mid(2) != lines.first().mid(2);
                }
                if (differ)
                    table << lines;
            }
        }
        c.m_out << ZDCliOutput::table(table);
    }
    c.m_out.flush();
    return c.finish(services);
}

int ZDAppsCommand::clean()
{
    ZDCommandLine &c = m_cli;
    QString why;
    const QStringList ids = ZDMaintenanceRuns::cleaningIDsFor(c.m_options.positional, &why);
    if (ids.isEmpty()) {
        c.m_err << "kestra: clean takes a preset (0 or 1) or cleaning task identifiers: " << why << "\n";
        return ZDCommandLine::Usage;
    }
    const ZDDispatcher::ServiceList services = c.computersForWork();
    if (services.isEmpty())
        return c.finish(services);
    c.runOffMain([&] { ZDMaintenanceRuns(*c.m_dispatcher, nullptr, services, &ZDCommandLine::hostOf).clean(ids); });
    c.collectReportedErrors(services);
    c.m_out << ids.size() << " cleaning task(s) run on " << services.size() << " computer(s).\n";
    return c.finishAction(services);
}

int ZDAppsCommand::removeGroup()
{
    ZDCommandLine &c = m_cli;
    QString why;
    const QList<int> groups = ZDMaintenanceRuns::removalGroupsFor(c.m_options.positional, &why);
    if (groups.isEmpty()) {
        c.m_err << "kestra: remove-group takes a component group (number or title) or preset N: " << why << "\n";
        return ZDCommandLine::Usage;
    }
    if (!m_cli.confirmed("Are you sure you wish to remove these components?"))
        return ZDCommandLine::Failed;
    const ZDDispatcher::ServiceList services = c.computersForWork();
    if (services.isEmpty())
        return c.finish(services);
    const ZDMaintenanceRuns::Report report =
        runTool(services, [&](ZDMaintenanceRuns &runs) { return runs.removeGroups(groups, c.m_options.admin); });
    c.m_out << report.handed << " removal(s) handed, " << report.finished << " finished.\n";
    return c.finishAction(services);
}

int ZDAppsCommand::caches()
{
    ZDCommandLine &c = m_cli;
    const QStringList keys = c.m_options.positional;
    if (const QString why = ZDApplicationTables::cacheListProblem(keys.join(u',')); !why.isEmpty()) {
        c.m_err << "kestra: caches takes cache keys (";
        for (const auto &k : ZDApplicationTables::cacheKeys())
            c.m_err << k.key << (&k == &ZDApplicationTables::cacheKeys().last() ? "" : ", ");
        c.m_err << "): " << why << "\n";
        return ZDCommandLine::Usage;
    }
    if (!m_cli.confirmed("Close all applications on the remote system before continuing."))
        return ZDCommandLine::Failed;
    const ZDDispatcher::ServiceList services = c.computersForWork();
    if (services.isEmpty())
        return c.finish(services);
    const ZDMaintenanceRuns::Report report = runTool(services, [&](ZDMaintenanceRuns &runs) {
        QObject::connect(&runs, &ZDMaintenanceRuns::progressStarted, c.m_bar, &ZDProgressBar::start, Qt::DirectConnection);
        QObject::connect(&runs, &ZDMaintenanceRuns::progressAdvanced, c.m_bar, &ZDProgressBar::advance, Qt::DirectConnection);
        QObject::connect(&runs, &ZDMaintenanceRuns::progressFinished, c.m_bar, &ZDProgressBar::finish, Qt::DirectConnection);
        return runs.trashCaches(keys, c.m_options.admin);
    });
    if (c.m_options.json) {
        c.m_out << ZDCliOutput::prettyJson(QVariantMap{{u"handed"_s, report.handed}, {u"finished"_s, report.finished},
                                                       {u"steps"_s, report.steps}, {u"total"_s, report.total}});
    } else {
        c.m_out << "Caches: " << report.steps << " of " << report.total << " steps reported, " << report.finished
                << " of " << report.handed << " computer(s) finished.\n";
        return c.finishAction(services);
    }
    c.m_out.flush();
    return c.finish(services);
}

int ZDAppsCommand::repair()
{
    ZDCommandLine &c = m_cli;
    const QStringList &p = c.m_options.positional;
    const ZDMaintenanceRuns::Repair repair = ZDMaintenanceRuns::repairFor(p.value(0));
    if (p.size() != 2 || repair.bundleID.isEmpty() || (p.value(1) != "0"_L1 && p.value(1) != "1"_L1)) {
        c.m_err << "kestra: repair takes TOOL (Ondrel, Ketril, Moravel or Mendo) and TASK (0, or 1 with the option)\n";
        return ZDCommandLine::Usage;
    }
    const ZDDispatcher::ServiceList services = c.computersForWork();
    if (services.isEmpty())
        return c.finish(services);
    if (!repair.callback.isEmpty())
        c.m_err << repair.message.arg(services.size()).arg(services.size() > 1 ? u"s"_s : QString()) << "\n";
    const ZDMaintenanceRuns::Report report =
        runTool(services, [&](ZDMaintenanceRuns &runs) { return runs.repair(repair, p.value(1)); });
    for (const QString &result : std::as_const(report.results))
        c.m_out << "\n\nResults from " << ZDCliOutput::terminalText(ZDCliOutput::dotless(result.section(u": "_s, 0, 0))) << ":\n\n"
                << ZDCliOutput::terminalText(result.section(u": "_s, 1)) << "\n";
    return c.finishAction(services, u"repair started"_s);
}

ZDMaintenanceRuns::Report ZDAppsCommand::runTool(const ZDDispatcher::ServiceList &services,
                                                 const std::function<ZDMaintenanceRuns::Report(ZDMaintenanceRuns &)> &work)
{
    ZDCommandLine &c = m_cli;
    ZDMaintenanceRuns::Report report;
    c.runOffMain([&] {
        ZDMaintenanceRuns runs(*c.m_dispatcher, c.m_errorCallback.get(), services, &ZDCommandLine::hostOf);
        report = work(runs);
    });
    c.collectReportedErrors(services);
    c.recordFailures(report.failures);
    return report;
}
