#include "verbs/ZDPathsCommand.h"

#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "features/prefs/ZDPaths.h"

#include <QTextStream>

#include <cstdio>

using namespace Qt::StringLiterals;

int ZDPathsCommand::run()
{
    ZDCommandLine &c = m_cli;
    const QStringList &p = c.m_options.positional;
    const QString verb = p.value(0);
    const QString source = c.m_options.from;
    const bool known = ((verb.isEmpty() || verb == "list"_L1 || verb == "reset-all"_L1) && p.size() <= 1) ||
                       (verb == "reset"_L1 && p.size() == 2) || (verb == "set"_L1 && p.size() == 3) ||
                       (verb == "sync"_L1 && p.size() == 1 && !source.isEmpty());
    if (!known) {
        c.m_err << "kestra: paths takes list, set KEY PATH, reset KEY, reset-all or sync --from HOST\n";
        return ZDCommandLine::Usage;
    }
    if ((verb == "reset"_L1 || verb == "set"_L1) && !ZDPreferenceKinds::pathRowForKey(p.value(1))) {
        c.m_err << "kestra: unknown path key " << ZDCliOutput::terminalText(p.value(1)) << "\n";
        return ZDCommandLine::Usage;
    }
    if (verb == "reset-all"_L1 && !m_cli.confirmed("Reset every application path on the computers?"))
        return ZDCommandLine::Failed;
    if (verb == "sync"_L1 && !m_cli.confirmed("Copy the source computer's paths onto the other computers?"))
        return ZDCommandLine::Failed;
    // The source is needed too, whatever the targets are.
    const QStringList targetHosts = c.m_options.hosts;
    if (verb == "sync"_L1 && !targetHosts.isEmpty() && !targetHosts.contains(source))
        c.m_options.hosts << source;
    const ZDDispatcher::ServiceList services = c.computersNeededForWork();
    if (services.isEmpty())
        return c.finish(services);
    QString why;
    QList<ZDPathRowView> rows;
    c.runOffMain([&] {
        const ZDPaths paths(c.m_dispatcher.get(), c.m_options.settingsPath);
        if (verb == "reset"_L1 || verb == "set"_L1) {
            for (const ZDServicePtr &s : services) {
                if (why.isEmpty())
                    why = verb == "set"_L1 ? paths.setPath(p.value(1), p.value(2), s) : paths.resetPath(p.value(1), s);
            }
        } else if (verb == "reset-all"_L1) {
            paths.resetAll();
            c.m_dispatcher->waitOnProcessing();
        } else if (verb == "sync"_L1) {
            ZDServicePtr from;
            for (const ZDServicePtr &s : services) {
                if (c.matchesHost(s, source))
                    from = s;
            }
            why = from ? paths.syncFrom(from) : u"%1: not found"_s.arg(source);
        }
        if (why.isEmpty() && (verb.isEmpty() || verb == "list"_L1))
            rows = paths.refresh();
    });
    if (!why.isEmpty()) {
        c.m_err << "kestra: " << ZDCliOutput::terminalText(why) << "\n";
        c.finish(services);
        return ZDCommandLine::Failed;
    }
    if (!verb.isEmpty() && verb != "list"_L1) {
        return c.finishAction(services);
    }
    if (c.m_options.json) {
        QVariantList out;
        for (const ZDPathRowView &r : std::as_const(rows)) {
            QVariantMap values;
            for (const ZDPathValue &v : r.values)
                values.insert(ZDCliOutput::dotless(v.host), v.path);
            out << QVariantMap{{u"application"_s, r.application}, {u"title"_s, r.row->title},
                               {u"key"_s, r.row->key},           {u"values"_s, values},
                               {u"differs"_s, r.differs()},      {u"locked"_s, r.locked}};
        }
        c.m_out << ZDCliOutput::prettyJson(out);
    } else {
        QList<QStringList> table{{u"APPLICATION"_s, u"PATH"_s, u"KEY"_s, u"HOST"_s, u"VALUE"_s}};
        for (const ZDPathRowView &r : std::as_const(rows)) {
            table << QStringList{r.application, r.row->title, r.row->key, QString(),
                                 r.differs() ? u"(differs)"_s : QString()};
            for (const ZDPathValue &v : r.values)
                table << QStringList{QString(), QString(), QString(), ZDCliOutput::dotless(v.host), v.path};
        }
        c.m_out << ZDCliOutput::table(table);
    }
    c.m_out.flush();
    return c.finish(services);
}
