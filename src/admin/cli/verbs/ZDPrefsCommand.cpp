#include "verbs/ZDPrefsCommand.h"

#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "catalog/ZDPreferenceKinds.h"
#include "features/prefs/ZDPreferences.h"

using namespace Qt::StringLiterals;

namespace {

const char *kUsageText = "kestra: prefs takes list, backup NAME [KEY...], restore HOST:NAME, trash KEY..., "
                         "lock KEY... or unlock KEY...\n";

} // namespace

int ZDPrefsCommand::run()
{
    ZDCommandLine &c = m_cli;
    const QStringList &p = c.m_options.positional;
    const QString verb = p.value(0);
    if (verb.isEmpty() || verb == "list"_L1)
        return p.size() <= 1 ? list() : (c.m_err << kUsageText, int(ZDCommandLine::Usage));
    if (verb == "restore"_L1)
        return restore();
    const bool withKeys = verb == "trash"_L1 || verb == "lock"_L1 || verb == "unlock"_L1;
    if (!withKeys && verb != "backup"_L1) {
        c.m_err << kUsageText;
        return ZDCommandLine::Usage;
    }
    // Checked here before anything is sent: a name the tool would refuse, no kinds, unknown kinds.
    const QString name = verb == "backup"_L1 ? p.value(1) : QString();
    const QStringList keys = p.mid(verb == "backup"_L1 ? 2 : 1);
    QString why = verb == "backup"_L1 ? ZDPreferenceKinds::backupNameProblem(name) : QString();
    if (why.isEmpty() && (withKeys || !keys.isEmpty()))
        why = ZDPreferenceKinds::keyListProblem(keys.join(u','));
    if (!why.isEmpty()) {
        c.m_err << "kestra: " << ZDCliOutput::terminalText(why) << "\n";
        return ZDCommandLine::Usage;
    }
    const ZDDispatcher::ServiceList services = c.computersNeededForWork();
    if (services.isEmpty())
        return c.finish(services);
    c.runOffMain([&] {
        const ZDPreferences prefs(c.m_dispatcher.get());
        if (verb == "trash"_L1)
            why = prefs.trash(keys);
        else if (verb == "lock"_L1)
            why = prefs.lock(keys);
        else if (verb == "unlock"_L1)
            why = prefs.unlock(keys);
        else if (keys.isEmpty())
            why = prefs.quickBackup(name, 0);
        else
            why = prefs.backupSelected(name, 0, keys);
    });
    if (!why.isEmpty()) {
        c.m_err << "kestra: " << ZDCliOutput::terminalText(why) << "\n";
        return ZDCommandLine::Failed;
    }
    // A missing or failing tool is told by the agent, not by the call's answer.
    c.collectReportedErrors(services);
    return c.finishAction(services);
}

int ZDPrefsCommand::list()
{
    ZDCommandLine &c = m_cli;
    const ZDDispatcher::ServiceList services = c.computersForWork();
    QVariantList rows;
    if (!services.isEmpty())
        c.runOffMain([&] { rows = ZDPreferences(c.m_dispatcher.get()).backups(); });
    if (c.m_options.json) {
        c.m_out << ZDCliOutput::prettyJson(rows);
    } else {
        QList<QStringList> table{{u"HOST"_s, u"NAME"_s, u"DATE"_s, u"SIZE"_s, u"KEYS"_s, u"PATH"_s}};
        for (const QVariant &v : std::as_const(rows)) {
            const QVariantMap r = v.toMap();
            table << QStringList{ZDCliOutput::dotless(r.value(u"hostname"_s).toString()), r.value(u"name"_s).toString(),
                                 r.value(u"date"_s).toDateTime().toLocalTime().toString(u"yyyy-MM-dd HH:mm"_s),
                                 r.value(u"size"_s).toString(), r.value(u"keys"_s).toString().left(40),
                                 r.value(u"path"_s).toString()};
        }
        c.m_out << ZDCliOutput::table(table);
        if (rows.isEmpty())
            c.m_out << "No backups.\n";
    }
    c.m_out.flush();
    return c.finish(services);
}

int ZDPrefsCommand::restore()
{
    ZDCommandLine &c = m_cli;
    const QString what = c.m_options.positional.value(1);
    const qsizetype colon = what.indexOf(u':');
    if (c.m_options.positional.size() != 2 || colon <= 0 || colon == what.size() - 1) {
        c.m_err << "kestra: prefs restore takes HOST:NAME\n";
        return ZDCommandLine::Usage;
    }
    const QString host = what.left(colon);
    const QString name = what.mid(colon + 1);
    // A path names a backup only when it is one the computer listed.
    const bool byPath = name.startsWith(u'/');
    if (!byPath) {
        if (const QString why = ZDPreferenceKinds::backupNameProblem(name); !why.isEmpty()) {
            c.m_err << "kestra: " << ZDCliOutput::terminalText(why) << "\n";
            return ZDCommandLine::Usage;
        }
    }
    // The backup's computer is needed too, whatever the targets are.
    const QStringList targetHosts = c.m_options.hosts;
    if (!targetHosts.isEmpty() && !targetHosts.contains(host))
        c.m_options.hosts << host;
    const ZDDispatcher::ServiceList services = c.computersForWork();
    ZDDispatcher::ServiceList targets;
    for (const ZDServicePtr &s : services) {
        const bool chosen = targetHosts.isEmpty() || std::any_of(targetHosts.cbegin(), targetHosts.cend(),
                                                                 [&](const QString &h) { return c.matchesHost(s, h); });
        if (chosen)
            targets << s;
    }
    if (targets.isEmpty())
        return c.finish(services);
    QString why;
    QStringList restored;
    c.runOffMain([&] {
        const ZDPreferences prefs(c.m_dispatcher.get());
        const QVariantList rows = prefs.backups();
        QVariantMap backup;
        for (const QVariant &v : rows) {
            const QVariantMap r = v.toMap();
            const QString rowHost = ZDCliOutput::dotless(r.value(u"hostname"_s).toString());
            if ((rowHost == ZDCliOutput::dotless(host) || rowHost.section(u'.', 0, 0) == ZDCliOutput::dotless(host)) && byPath &&
                r.value(u"path"_s).toString() == name)
                backup = r;
        }
        if (!byPath)
            backup = ZDPreferences::findBackup(rows, host, name);
        if (backup.isEmpty()) {
            why = u"%1 is not a backup listed on %2"_s.arg(name, host);
            return;
        }
        why = prefs.restore(backup, targets, [&](const QString &h, int, int) { restored << h; });
    });
    if (!why.isEmpty()) {
        c.m_err << "kestra: " << ZDCliOutput::terminalText(why) << "\n";
        c.finish(services);
        return ZDCommandLine::Failed;
    }
    c.collectReportedErrors(services);
    for (const QString &h : std::as_const(restored))
        c.actionDone(h, u"restored (after a quick backup)"_s);
    return c.finishAction(services, {});
}
