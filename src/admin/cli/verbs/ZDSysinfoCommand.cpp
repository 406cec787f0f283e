#include "verbs/ZDSysinfoCommand.h"

#include "dispatch/ZDAgentCalls.h"
#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "fleet/ZDHostNames.h"

#include <QRegularExpression>
#include "features/plugins/ZDDifferenceFinder.h"

using namespace Qt::StringLiterals;

int ZDSysinfoCommand::run()
{
    return m_cli.m_options.command == "diff"_L1 ? diff() : sysinfo();
}

int ZDSysinfoCommand::sysinfo()
{
    ZDCommandLine &c = m_cli;
    if (!c.m_options.positional.isEmpty()) {
        c.m_err << "kestra: sysinfo takes no arguments\n";
        return ZDCommandLine::Usage;
    }
    const ZDDispatcher::ServiceList services = c.computersForWork();
    QVariantMap specs;
    if (!services.isEmpty())
        c.runOffMain([&] { specs = ZDAgentCalls(c.m_dispatcher.get()).systemSpecsAcross(); });
    if (c.m_options.json) {
        c.m_out << ZDCliOutput::prettyJson(ZDCliOutput::dotlessKeys(specs));
    } else {
        // A value the computer could not read says so, instead of passing for a zero.
        static const QRegularExpression zero(u"^0+([.,]0+)?( [A-Za-z]+)?$"_s);
        QList<QStringList> rows{{u"HOST"_s, u"KEY"_s, u"VALUE"_s}};
        for (auto it = specs.cbegin(); it != specs.cend(); ++it) {
            const QVariantMap values = it.value().toMap();
            for (auto v = values.cbegin(); v != values.cend(); ++v) {
                const QString text = v.value().toString().simplified();
                rows << QStringList{ZDHostNames::display(it.key()), v.key(),
                                    text.isEmpty() || zero.match(text).hasMatch() ? u"Unknown"_s : text};
            }
        }
        c.m_out << ZDCliOutput::table(rows);
    }
    c.m_out.flush();
    return c.finish(services);
}

int ZDSysinfoCommand::diff()
{
    ZDCommandLine &c = m_cli;
    ZDDifferenceFinder finder;
    const QStringList working = c.m_options.working, failing = c.m_options.failing;
    finder.setComputers(working + failing);
    for (const QString &h : working)
        finder.move(h, ZDDifferenceFinder::Working);
    for (const QString &h : failing)
        finder.move(h, ZDDifferenceFinder::NotWorking);
    if (const QString why = finder.check(int((working + failing).size())); !why.isEmpty() || !c.m_options.positional.isEmpty()) {
        c.m_err << "kestra: diff needs --working H,... and --failing H,...: " << why << "\n";
        return ZDCommandLine::Usage;
    }
    c.m_options.hosts = working + failing;
    const ZDDispatcher::ServiceList services = c.computersForWork();
    QVariantMap profiles;
    if (!services.isEmpty())
        c.runOffMain([&] { profiles = ZDAgentCalls(c.m_dispatcher.get()).diffFinderSystemInfo(); });
    // The profiles of each group, by the names the groups were given in.
    const auto profilesOf = [&](const QStringList &names) {
        QVariantList found;
        for (const QString &name : names) {
            for (const ZDServicePtr &s : services) {
                if (c.matchesHost(s, name) && profiles.contains(ZDCommandLine::hostOf(s)))
                    found << profiles.value(ZDCommandLine::hostOf(s));
            }
        }
        return found;
    };
    const QVariantList failingProfiles = profilesOf(failing), workingProfiles = profilesOf(working);
    if (failingProfiles.size() != failing.size() || workingProfiles.size() != working.size()) {
        c.m_err << "kestra: diff needs the system information of every computer named\n";
        c.finish(services);
        return ZDCommandLine::Failed;
    }
    const QList<ZDDifference> differences = ZDDifferenceFinder::compare(failingProfiles, workingProfiles);
    if (c.m_options.json) {
        QVariantList rows;
        for (const ZDDifference &d : differences)
            rows << d.toMap();
        c.m_out << ZDCliOutput::prettyJson(rows);
    } else {
        QList<QStringList> rows{{u"DIFFERENCE"_s, u"WORKING"_s, u"NOT WORKING"_s}};
        for (const ZDDifference &d : differences)
            rows << QStringList{d.description, d.working.isEmpty() ? u"(none)"_s : d.working, d.nonworking};
        c.m_out << ZDCliOutput::table(rows);
        if (differences.isEmpty())
            c.m_out << "No differences.\n";
    }
    c.m_out.flush();
    return c.finish(services);
}
