#include "verbs/ZDRenderCommand.h"

#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "features/schedules/ZDRenderQueueJobs.h"
#include "fleet/ZDHostNames.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// "HOST:CLUSTER:JOB" names the row; the host may be given without its domain.
bool names(const QString &reference, const QVariantMap &row)
{
    const qsizetype first = reference.indexOf(u':'), last = reference.lastIndexOf(u':');
    if (first < 0 || last <= first)
        return false;
    const QString host = reference.left(first), rowHost = row.value(u"hostname"_s).toString();
    return (rowHost == host || rowHost.section(u'.', 0, 0) == host.section(u'.', 0, 0))
        && row.value(u"clustername"_s).toString() == reference.mid(first + 1, last - first - 1)
        && row.value(u"jobid"_s).toString() == reference.mid(last + 1);
}

} // namespace

int ZDRenderCommand::run()
{
    ZDCommandLine &c = m_cli;
    const QStringList &p = c.m_options.positional;
    const QString verb = p.value(0);
    const bool action = verb == "pause"_L1 || verb == "resume"_L1 || verb == "cancel"_L1;
    const QString share = verb == "sharing"_L1 && p.size() == 2 ? p.value(1) : QString();
    const bool sharing = share == "on"_L1 || share == "off"_L1 || share == "reset"_L1;
    if (!(p.isEmpty() || (action && p.size() >= 2) || sharing)) {
        c.m_err << "kestra: render takes pause|resume|cancel HOST:CLUSTER:JOB... or sharing on|off|reset\n";
        return ZDCommandLine::Usage;
    }
    const ZDDispatcher::ServiceList services = c.computersNeededForWork();
    if (services.isEmpty())
        return c.finish(services);
    QVariantList rows;
    QStringList unknown;
    QStringList chosenHosts; // the computers whose jobs were named
    ZDRenderQueueJobs::Report report;
    c.runOffMain([&] {
        ZDRenderQueueJobs queue(*c.m_dispatcher, services, &ZDCommandLine::hostOf);
        if (sharing) {
            report = queue.sharing(share == "on"_L1 ? ZDRenderQueueJobs::Sharing::Start
                                   : share == "off"_L1 ? ZDRenderQueueJobs::Sharing::Stop
                                                       : ZDRenderQueueJobs::Sharing::Reset);
        } else if (action) {
            rows = queue.refresh();
            QVariantList chosen;
            for (const QString &reference : p.mid(1)) {
                const auto found = std::find_if(rows.cbegin(), rows.cend(), [&](const QVariant &r) { return names(reference, r.toMap()); });
                if (found == rows.cend())
                    unknown << reference;
                else
                    chosen << *found, chosenHosts << found->toMap().value(u"hostname"_s).toString();
            }
            if (!unknown.isEmpty())
                return;
            report = queue.act(chosen, verb == "pause"_L1 ? ZDRenderQueueJobs::Action::Pause
                                       : verb == "resume"_L1 ? ZDRenderQueueJobs::Action::Resume
                                                             : ZDRenderQueueJobs::Action::Cancel);
        }
        if (!action && !sharing)
            rows = queue.refresh();
    });
    if (!unknown.isEmpty()) {
        c.m_err << "kestra: no render job " << ZDCliOutput::terminalText(unknown.join(u", "_s)) << "\n";
        return ZDCommandLine::Failed;
    }
    c.recordFailures(report.failures);
    if (action || sharing) {
        // An action's lines are for the computers whose jobs were named.
        ZDDispatcher::ServiceList targets = services;
        if (action)
            targets.removeIf([&](const ZDServicePtr &s) {
                return std::none_of(chosenHosts.cbegin(), chosenHosts.cend(), [&](const QString &host) {
                    return ZDHostNames::sameHost(ZDCommandLine::hostOf(s), host);
                });
            });
        return c.finishAction(targets);
    }
    if (c.m_options.json) {
        c.m_out << ZDCliOutput::prettyJson(rows);
    } else {
        QList<QStringList> table{{u"JOB"_s, u"BATCH"_s, u"NAME"_s, u"STATUS"_s}};
        for (const QVariant &v : std::as_const(rows)) {
            const QVariantMap row = v.toMap();
            table << QStringList{ZDRenderQueueJobs::reference(row), row.value(u"batchname"_s).toString(),
                                 row.value(u"name"_s).toString(), row.value(u"status"_s).toString()};
        }
        c.m_out << ZDCliOutput::table(table);
        if (rows.isEmpty())
            c.m_out << "No render jobs.\n";
    }
    c.m_out.flush();
    return c.finish(services);
}
