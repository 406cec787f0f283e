#include "verbs/ZDCrashLogsCommand.h"

#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "features/crashlogs/ZDCrashLogController.h"
#include "features/crashlogs/ZDCrashLogStats.h"
#include "dispatch/ZDTableSort.h"

#include <QDateTime>

using namespace Qt::StringLiterals;

namespace {

const char *kUsageText = "kestra: crashlogs takes [--since DATE], remove HOST FILE or explain HOST FILE\n";

} // namespace

int ZDCrashLogsCommand::run()
{
    const QString verb = m_cli.m_options.positional.value(0);
    if (verb.isEmpty())
        return list();
    if (m_cli.m_options.positional.size() == 3 && verb == "remove"_L1)
        return remove();
    if (m_cli.m_options.positional.size() == 3 && verb == "explain"_L1)
        return explain();
    m_cli.m_err << kUsageText;
    return ZDCommandLine::Usage;
}

int ZDCrashLogsCommand::list()
{
    ZDCommandLine &c = m_cli;
    QDateTime since;
    if (!c.m_options.since.isEmpty()) {
        since = QDateTime::fromString(c.m_options.since, Qt::ISODateWithMs);
        if (!since.isValid()) {
            c.m_err << "kestra: --since takes a date as 2026-01-31 or 2026-01-31T12:00:00Z\n";
            return ZDCommandLine::Usage;
        }
    }
    const ZDDispatcher::ServiceList services = c.computersNeededForWork();
    if (services.isEmpty())
        return c.finish(services);
    ZDCrashLogController controller(c.m_dispatcher.get(), c.m_errorCallback.get(), ZDCrashLogCache::console());
    int received = 0;
    c.runOffMain([&] { received = controller.refresh(services, since); });
    QVariantList logs;
    for (const QVariant &log : controller.logs()) {
        QVariantMap m = log.toMap();
        // The name the other crash log verbs take.
        m.insert(u"name"_s, ZDCrashLogStats::listedName(m));
        if (!since.isValid() || m.value(u"date"_s).toDateTime() > since)
            logs << m;
    }
    logs = ZDTableSort::sorted(logs, u"date"_s, false);
    const QVariantMap stats = controller.statistics(ZDCrashLogStats::All, int(services.size()));
    if (c.m_options.json) {
        c.m_out << ZDCliOutput::prettyJson(QVariantMap{{u"logs"_s, logs}, {u"new"_s, received}, {u"statistics"_s, stats}})
                << "\n";
    } else {
        QList<QStringList> rows{{u"COMPUTER"_s, u"APPLICATION"_s, u"DATE"_s, u"CAUSE"_s, u"FILE"_s}};
        for (const QVariant &log : std::as_const(logs)) {
            const QVariantMap m = log.toMap();
            QStringList row{ZDCliOutput::dotless(m.value(u"hostname"_s).toString()), m.value(u"app"_s).toString(),
                            m.value(u"date"_s).toDateTime().toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss"_s),
                            m.value(u"cause"_s).toString(), m.value(u"name"_s).toString()};
            // Text from the computers is made safe for the terminal cell by cell.
            for (QString &cell : row)
                cell = ZDCliOutput::terminalText(cell);
            rows << row;
        }
        c.m_out << ZDCliOutput::table(rows);
        c.m_out << u"%1 new\n"_s.arg(received);
        for (const QString &label : ZDCrashLogStats::statisticLabels()) {
            if (stats.contains(label))
                c.m_out << ZDCliOutput::terminalText(label + u": "_s + stats.value(label).toString()) << "\n";
        }
    }
    c.m_out.flush();
    return c.finish(services);
}

int ZDCrashLogsCommand::onOneLog(
    const std::function<void(ZDCrashLogController &, const ZDServicePtr &, const QVariantMap &log)> &work)
{
    ZDCommandLine &c = m_cli;
    const QString name = c.m_options.positional.at(2);
    c.m_options.hosts = {c.m_options.positional.at(1)};
    const ZDDispatcher::ServiceList services = c.computersForWork();
    if (services.isEmpty())
        return c.finish(services);
    ZDCrashLogController controller(c.m_dispatcher.get(), c.m_errorCallback.get(), ZDCrashLogCache::console());
    const ZDServicePtr service = services.first();
    controller.setServiceLookup([service](const QString &) { return service; });
    // Only a log the listing shows is acted on: the name is looked up there, never sent as given.
    c.runOffMain([&] { controller.refresh({service}, QDateTime()); });
    int matches = 0;
    const QVariantMap log = ZDCrashLogStats::listedLog(controller.logs(), service->hostName(), name, &matches);
    if (matches == 0)
        c.recordFailure(ZDCommandLine::hostOf(service), u"no crash log "_s + name + u" is listed (see kestra crashlogs)"_s);
    else if (matches > 1)
        c.recordFailure(ZDCommandLine::hostOf(service),
                        u"%1 crash logs are listed as %2; name one by its full path (kestra crashlogs --json)"_s.arg(matches).arg(name));
    else
        work(controller, service, log);
    c.m_out.flush();
    return c.finishAction(services, {});
}

int ZDCrashLogsCommand::remove()
{
    return onOneLog([this](ZDCrashLogController &controller, const ZDServicePtr &service, const QVariantMap &log) {
        bool done = false;
        m_cli.runOffMain([&] { done = controller.remove(log); });
        if (done)
            m_cli.actionDone(service, u"removed "_s + ZDCrashLogStats::listedName(log));
        else
            m_cli.recordFailure(ZDCommandLine::hostOf(service), u"could not remove "_s + ZDCrashLogStats::listedName(log));
    });
}

int ZDCrashLogsCommand::explain()
{
    return onOneLog([this](ZDCrashLogController &controller, const ZDServicePtr &service, const QVariantMap &log) {
        QString html;
        m_cli.runOffMain([&] { html = controller.explanation(log); });
        const QString text = ZDCrashLogStats::explanationText(html);
        if (text.isEmpty())
            m_cli.recordFailure(ZDCommandLine::hostOf(service), u"no explanation for "_s + ZDCrashLogStats::listedName(log));
        else
            for (const QString &line : text.split(u'\n'))
                m_cli.m_out << ZDCliOutput::terminalText(line) << "\n";
    });
}
