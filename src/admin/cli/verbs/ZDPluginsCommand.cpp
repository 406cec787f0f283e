#include "verbs/ZDPluginsCommand.h"

#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "features/plugins/ZDPluginItems.h"

using namespace Qt::StringLiterals;

namespace {

QString accessText(int access)
{
    return access == 0 ? u"all users"_s : access == 1 ? u"current user"_s : u"mixed"_s;
}

QString enabledText(int disabled)
{
    return disabled == 1 ? u"disabled"_s : disabled == 0 ? u"enabled"_s : u"mixed"_s;
}

} // namespace

int ZDPluginsCommand::run()
{
    ZDCommandLine &c = m_cli;
    const QStringList &p = c.m_options.positional;
    const QString verb = p.value(0);
    int access = -1;
    if (verb == "access"_L1) {
        const QString mode = p.value(1);
        access = mode == "all"_L1 || mode == "0"_L1 ? 0 : mode == "user"_L1 || mode == "1"_L1 ? 1 : -1;
    }
    const bool known = verb.isEmpty() || verb == "sync"_L1 || verb == "enable"_L1 || verb == "disable"_L1
        || (verb == "access"_L1 && access >= 0);
    const qsizetype maxArgs = verb.isEmpty() || verb == "sync"_L1 ? 1 : verb == "access"_L1 ? 3 : 2;
    if (!known || p.size() > maxArgs) {
        c.m_err << "kestra: plugins takes sync [--from HOST], enable NAME, disable NAME or access all|user NAME (--all for every one)\n";
        return ZDCommandLine::Usage;
    }
    const bool acting = verb == "enable"_L1 || verb == "disable"_L1 || verb == "access"_L1;
    // Every plug-in on every computer only when said so: an empty NAME is no target.
    if (acting && p.size() == maxArgs - 1 && !c.m_options.all) {
        c.m_err << "kestra: plugins " << verb << " needs a NAME, or --all for every plug-in\n";
        return ZDCommandLine::Usage;
    }
    if (acting && p.size() == maxArgs && c.m_options.all) {
        c.m_err << "kestra: plugins " << verb << " takes a NAME or --all, not both\n";
        return ZDCommandLine::Usage;
    }
    if ((c.m_options.all && !acting) || (c.m_options.addMissing && verb != "sync"_L1)) {
        c.m_err << "kestra: " << (c.m_options.all ? "--all goes with enable, disable and access" : "--add-missing goes with sync")
                << "\n";
        return ZDCommandLine::Usage;
    }
    if (!c.m_options.from.isEmpty() && verb != "sync"_L1) {
        c.m_err << "kestra: --from goes with plugins sync\n";
        return ZDCommandLine::Usage;
    }
    const QString name = verb == "access"_L1 ? p.value(2) : p.value(1);
    // The source is needed too, whatever the targets are.
    const QString from = c.m_options.from;
    if (!from.isEmpty() && !c.m_options.hosts.isEmpty() && !c.m_options.hosts.contains(from))
        c.m_options.hosts << from;
    const ZDDispatcher::ServiceList services = c.computersNeededForWork();
    if (services.isEmpty())
        return c.finish(services);
    QString source;
    for (const ZDServicePtr &s : services) {
        if (!from.isEmpty() && source.isEmpty() && c.matchesHost(s, from))
            source = ZDCommandLine::hostOf(s);
    }
    if (!from.isEmpty() && source.isEmpty()) {
        c.m_err << "kestra: " << ZDCliOutput::terminalText(from) << " is not one of the computers\n";
        return ZDCommandLine::Failed;
    }
    QList<ZDPluginItem> items;
    ZDPluginItems::Report report;
    bool unknownName = false;
    const bool addMissing = c.m_options.addMissing;
    c.runOffMain([&] {
        ZDPluginItems plugins(*c.m_dispatcher, services, &ZDCommandLine::hostOf);
        items = plugins.refresh();
        unknownName = !name.isEmpty() && ZDPluginItems::scope(items, name).plugins == 0;
        if (unknownName)
            return;
        if (verb == "sync"_L1)
            report = plugins.sync(items, source, addMissing);
        else if (verb == "enable"_L1 || verb == "disable"_L1)
            report = plugins.setDisabled(items, name, verb == "disable"_L1);
        else if (verb == "access"_L1)
            report = plugins.setAccess(items, name, access);
    });
    if (unknownName) {
        c.m_err << "kestra: no plug-in " << ZDCliOutput::terminalText(name) << " on these computers\n";
        return ZDCommandLine::Failed;
    }
    c.recordFailures(report.failures);
    if (!verb.isEmpty()) {
        // What the administrator should know of the copies (their hashes, what was skipped), then the results.
        for (const QString &note : std::as_const(report.notes))
            (c.m_options.json ? c.m_err : c.m_out) << ZDCliOutput::terminalText(note) << "\n";
        return c.finishAction(services);
    }
    if (c.m_options.json) {
        QVariantList rows;
        for (const ZDPluginItem &item : std::as_const(items))
            rows << item.toMap();
        c.m_out << ZDCliOutput::prettyJson(rows);
    } else {
        QList<QStringList> rows{{u"PLUG-IN"_s, u"TYPE"_s, u"HOST"_s, u"VERSION"_s, u"ENABLED"_s, u"ACCESS"_s, u"STATE"_s}};
        for (const ZDPluginItem &item : std::as_const(items)) {
            rows << QStringList{item.name, item.type, QString(), item.version, enabledText(item.disabled),
                                accessText(item.accessType), ZDPluginItem::stateText(item.state)};
            for (const QVariant &v : item.children) {
                const QVariantMap child = v.toMap();
                rows << QStringList{QString(), QString(), ZDCliOutput::dotless(child.value(u"hostname"_s).toString()),
                                    child.value(u"version"_s).toString(),
                                    enabledText(child.value(u"disabled"_s).toBool() ? 1 : 0),
                                    accessText(child.value(u"accessType"_s).toInt()), QString()};
            }
            for (const QString &host : item.missingHosts)
                rows << QStringList{QString(), QString(), ZDCliOutput::dotless(host), QString(), QString(), QString(), u"missing"_s};
        }
        c.m_out << ZDCliOutput::table(rows);
        if (items.isEmpty())
            c.m_out << "No plug-ins.\n";
    }
    c.m_out.flush();
    return c.finish(services);
}
