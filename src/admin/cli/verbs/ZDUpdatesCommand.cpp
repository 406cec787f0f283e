#include "verbs/ZDUpdatesCommand.h"

#include "ZDCliOutput.h"
#include "ZDCommandLine.h"
#include "ZDProgressBar.h"
#include "dispatch/ZDErrorCallback.h"
#include "features/updates/ZDSoftwareUpdateItems.h"

#include <atomic>

using namespace Qt::StringLiterals;

int ZDUpdatesCommand::run()
{
    ZDCommandLine &c = m_cli;
    const QStringList &p = c.m_options.positional;
    const QString verb = p.value(0);
    if (!(verb.isEmpty() || verb == "install"_L1)) {
        c.m_err << "kestra: updates takes nothing or install [PRODUCT...] (title or bundle identifier)\n";
        return ZDCommandLine::Usage;
    }
    const QStringList products = p.mid(1);
    const ZDDispatcher::ServiceList services = c.computersNeededForWork();
    if (services.isEmpty())
        return c.finish(services);
    QList<ZDNuvellItem> items;
    ZDSoftwareUpdateItems::Report report;
    QStringList unknown = products;
    QStringList withoutRights;
    QMap<QString, QStringList> handedTo; // host -> the titles it was asked to install
    QMap<QString, QString> notes;        // host -> why its package updates are missing
    std::atomic<int> steps{0};           // progress the computers reported
    c.runOffMain([&] {
        ZDSoftwareUpdateItems updates(*c.m_dispatcher, c.m_errorCallback.get(), services, &ZDCommandLine::hostOf);
        items = updates.refresh();
        notes = updates.notes();
        if (verb.isEmpty())
            return;
        for (ZDNuvellItem &item : items) {
            const bool named = products.contains(item.title, Qt::CaseInsensitive)
                || products.contains(item.bundleID, Qt::CaseInsensitive);
            unknown.removeIf([&](const QString &n) {
                return n.compare(item.title, Qt::CaseInsensitive) == 0 || n.compare(item.bundleID, Qt::CaseInsensitive) == 0;
            });
            item.selected = products.isEmpty() ? (item.manualOnly ? 0 : 1) : (named ? 1 : 0);
        }
        if (!unknown.isEmpty())
            return;
        if (!c.m_options.admin && !(withoutRights = ZDSoftwareUpdateItems::needingRights(items)).isEmpty())
            return;
        for (const ZDNuvellItem &item : std::as_const(items))
            if (item.selected && !item.own)
                for (const QVariant &child : item.children)
                    handedTo[child.toMap().value(u"hostname"_s).toString()] << item.title;
        // The sheet's steps: one per computer handed, or the package manager's tenths reported by the computers.
        QObject::connect(&updates, &ZDSoftwareUpdateItems::progressStarted, c.m_bar, &ZDProgressBar::start, Qt::DirectConnection);
        QObject::connect(&updates, &ZDSoftwareUpdateItems::progressAdvanced, c.m_bar, &ZDProgressBar::advance, Qt::DirectConnection);
        QObject::connect(&updates, &ZDSoftwareUpdateItems::progressFinished, c.m_bar, &ZDProgressBar::finish, Qt::DirectConnection);
        const QMetaObject::Connection reported =
            QObject::connect(c.m_errorCallback.get(), &ZDErrorCallback::progressIncremented, c.m_bar, [&] {
                ++steps;
                c.m_bar->advance();
            });
        report = updates.install(items, c.m_options.admin);
        QObject::disconnect(reported);
        items = updates.refresh();
    });
    if (!unknown.isEmpty()) {
        c.m_err << "kestra: no update for " << ZDCliOutput::terminalText(unknown.join(u", "_s)) << "\n";
        return ZDCommandLine::Failed;
    }
    if (!withoutRights.isEmpty()) {
        c.m_err << "kestra: the package manager installs " << ZDCliOutput::terminalText(withoutRights.join(u", "_s))
                << ": give --admin (the administrator's name and password)\n";
        return ZDCommandLine::Usage;
    }
    if (!verb.isEmpty())
        c.collectReportedErrors(services);
    c.recordFailures(report.failures);
    QStringList results; // one line per computer, before what still waits
    {
        std::lock_guard lock(c.m_failuresMutex);
        for (auto it = handedTo.cbegin(); it != handedTo.cend(); ++it) {
            const QString failure = c.m_failures.value(it.key());
            results << ZDCliOutput::dotless(it.key()) + u": "_s
                    + (failure.isEmpty() ? u"installed "_s + it.value().join(u", "_s) : u"failed: "_s + failure);
        }
    }
    if (c.m_options.json) {
        QVariantList rows;
        for (const ZDNuvellItem &item : std::as_const(items))
            rows << item.toMap();
        QVariantMap out{{u"updates"_s, rows}};
        if (!verb.isEmpty())
            out.insert({{u"handed"_s, report.handed}, {u"finished"_s, report.finished}, {u"results"_s, results},
                        {u"steps"_s, steps.load()}});
        QVariantMap packageNotes;
        for (auto it = notes.cbegin(); it != notes.cend(); ++it)
            packageNotes.insert(ZDCliOutput::dotless(it.key()), it.value());
        if (!packageNotes.isEmpty())
            out.insert(u"packagesProblems"_s, packageNotes);
        c.m_out << ZDCliOutput::prettyJson(out);
    } else {
        QList<QStringList> table{{u"PRODUCT"_s, u"HOST"_s, u"TYPE"_s, u"SIZE"_s, u"INSTALL"_s}};
        for (const ZDNuvellItem &item : std::as_const(items)) {
            table << QStringList{item.title, QString(), item.type, item.sizeText(),
                                 item.manualOnly ? u"manual"_s : u"automatic"_s};
            for (const QVariant &child : item.children)
                table << QStringList{QString(), ZDCliOutput::dotless(child.toMap().value(u"hostname"_s).toString()), QString(), QString(),
                                     QString()};
        }
        for (const QString &line : std::as_const(results))
            c.m_out << ZDCliOutput::terminalText(line) << "\n";
        if (!verb.isEmpty())
            c.m_out << report.handed << " install(s) handed, " << report.finished << " finished, " << steps.load()
                    << " progress step(s) reported.\n";
        if (items.isEmpty())
            c.m_out << (!verb.isEmpty() ? "Nothing more waits.\n"
                        : notes.isEmpty() ? "Your software is up-to-date.\n" : "No updates found.\n");
        else
            c.m_out << (verb.isEmpty() ? "" : "Still waiting:\n") << ZDCliOutput::table(table);
        for (auto it = notes.cbegin(); it != notes.cend(); ++it)
            c.m_out << ZDCliOutput::terminalText(ZDCliOutput::dotless(it.key()) + u": "_s + it.value()) << "\n";
    }
    c.m_out.flush();
    return c.finish(services);
}
