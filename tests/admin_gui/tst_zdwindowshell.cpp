// The console window's shell: a restore onto two real agents runs under the progress
// sheet and its Cancel between the computers leaves the second one untouched; every
// sortable list keeps its sort across a restart of the window; the Help menu opens
// the issue page and the README as a local page; the start-up self-update count;
// closing the Software Update window makes the computers send their configuration again.
// With KESTRA_SCREENSHOT_DIR set, the sheet during the restore and the Help menu are saved there.
#include "console/ZDAdminSettings.h"
#include "console/ZDHelp.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "dispatch/ZDProgressRuns.h"
#include "dispatch/ZDProgressState.h"
#include "features/prefs/ZDPreferences.h"
#include "features/updates/ZDSelfUpdate.h"
#include "features/updates/ZDSoftwareUpdateCounts.h"
#include "computers/ZDServiceOutlineModel.h"
#include "computers/ZDServiceOutlineView.h"
#include "log/ZDLog.h"
#include "panels/ZDPluginsPanel.h"
#include "panels/ZDCrashLogPanel.h"
#include "panels/ZDPreferencesPanel.h"
#include "panels/ZDRenderQueuePanel.h"
#include "panels/ZDSchedulerPanel.h"
#include "panels/ZDSoftwareUpdatePanel.h"
#include "plist/ZDPropertyList.h"
#include "windows/ZDErrorLogWindow.h"
#include "windows/ZDMainWindow.h"
#include "windows/ZDProgressSheet.h"
#include "ZDInertTextBrowser.h"
#include "ZDRealAgent.h"
#include "ZDScreenshot.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"
#include "ZDTestThreads.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QFontMetrics>
#include <QtTest>

// Receives what the window hands to the user's browser.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl &url) { urls << url; }
};

class TestWindowShell : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::shared_ptr<ZDErrorCallback> m_errors = std::make_shared<ZDErrorCallback>();
    ZDRealAgent m_agents[2];
    quint16 m_ports[2] = {0, 0};
    QString m_hosts[2];

    QString settingsPath(const char *name) const { return m_sandbox->path(QLatin1String(name)); }
    // A window on settings (manual computers: both agents when withAgents), with no welcome sheet.
    std::unique_ptr<ZDMainWindow> openWindow(const QString &settings, bool withAgents)
    {
        {
            QSettings s(settings, QSettings::IniFormat);
            s.setValue(QStringLiteral("firstRun"), false);
            if (withAgents) {
                // A manual computer's key is its address: each agent on a loopback address of its own.
                auto entry = [](const char *name, const char *ip, quint16 port) {
                    return QVariantMap{{QStringLiteral("name"), QLatin1String(name)}, {QStringLiteral("ip"), QLatin1String(ip)},
                                       {QStringLiteral("port"), QString::number(port)}};
                };
                s.setValue(QStringLiteral("manualConnections"),
                           QVariantList{entry("Alpha", "127.0.0.1", m_ports[0]), entry("Beta", "127.0.0.2", m_ports[1])});
            }
        }
        auto window = std::make_unique<ZDMainWindow>(ZDMainWindow::Options{settings, false});
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            return nullptr;
        for (const ZDServicePtr &s : window->discovery()->allServices()) {
            if (!QTest::qWaitFor([&] { return s->isConnected() && !s->configDict().isEmpty(); }, 30000))
                return nullptr;
        }
        return window;
    }
    static void select(ZDMainWindow &window, const QString &name, bool add = false)
    {
        ZDServiceOutlineModel *model = window.outlineModel();
        for (int r = 0; r < model->rowCount(model->headerIndex()); ++r) {
            const QModelIndex index = model->index(r, 0, model->headerIndex());
            if (index.data().toString() == name)
                window.outlineView()->selectionModel()->select(
                    index, (add ? QItemSelectionModel::Select : QItemSelectionModel::ClearAndSelect)
                               | QItemSelectionModel::Rows);
        }
    }
    static void showTask(ZDMainWindow &window, const QString &task)
    {
        window.taskList()->setCurrentItem(window.taskItem(task));
    }
    // The backups one computer holds, read through the console's own code.
    QStringList backupNames(int agent)
    {
        const ZDServicePtr service = ZDService::serviceWithName(QStringLiteral("check"), QString(), QStringLiteral("127.0.0.1"),
                                                                m_ports[agent], m_errors);
        QStringList names;
        if (!QTest::qWaitFor([&] { return service->isConnected() && !service->configDict().isEmpty(); }, 30000))
            return {QStringLiteral("(not connected)")};
        ZDDispatcher dispatcher([service] { return QList<ZDServicePtr>{service}; });
        zdtest::offMain([&] {
            for (const QVariant &b : ZDPreferences(&dispatcher).backups())
                names << b.toMap().value(QStringLiteral("name")).toString();
        });
        ZDService::invalidateServices({service}, false);
        return names;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zdwindowshell"));
        if (!ZDRealAgent::exists())
            return;
        for (int i = 0; i < 2; ++i) {
            ZDRealAgent &a = m_agents[i];
            QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/Stowel.app"),
                                     a.root() + QStringLiteral("/opt/Stowel.app")));
            QVERIFY(ZDPropertyList::writeFile(a.root() + QStringLiteral("/home/.config/com.apple.FinalCutPro.plist"),
                                              QVariantMap{{QStringLiteral("fcpRender"), QStringLiteral("/srv/bay%1/render").arg(i)}}));
            m_ports[i] = ZDRealAgent::freePort();
            m_hosts[i] = QStringLiteral("shell%1-%2").arg(i).arg(QCoreApplication::applicationPid());
            QVERIFY(a.startAlone(m_ports[i], m_hosts[i].toUtf8()));
        }
    }

    // Cancel on the sheet while the first computer's step shows: the second is never touched.
    void restoreUnderProgressSheetCancelsBetweenComputers()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        auto window = openWindow(settingsPath("restore.ini"), true);
        QVERIFY(window);
        // The backup to restore: taken on the first computer alone.
        select(*window, QStringLiteral("Alpha"));
        zdtest::offMain([&] {
            QVERIFY(ZDPreferences(window->dispatcher()).quickBackup(QStringLiteral("Monday"), 0).isEmpty());
        });
        select(*window, QStringLiteral("Beta"), true);
        showTask(*window, QStringLiteral("Stowel"));
        auto *prefs = window->findChild<ZDPreferencesPanel *>();
        QVERIFY(prefs);
        QSignalSpy filled(prefs, &ZDPreferencesPanel::backupsRefreshed);
        QVERIFY(filled.wait(60000));
        QTableWidget *table = prefs->backupsTable();
        int row = -1;
        for (int r = 0; r < table->rowCount(); ++r) {
            if (table->item(r, 1)->text() == QStringLiteral("Monday") && table->item(r, 0)->text().startsWith(m_hosts[0]))
                row = r;
        }
        QVERIFY2(row >= 0, "the backup is listed");
        table->selectRow(row);

        ZDProgressState *state = window->progressState();
        ZDProgressSheet *sheet = window->progressSheet();
        QStringList seen;
        bool cancelled = false;
        bool saved = false;
        connect(state, &ZDProgressState::changed, this, [&] {
            if (!state->isShown())
                return;
            seen << state->status();
            if (!saved && state->status() == QStringLiteral("Processing task 1 of 2")) {
                saved = true;
                QVERIFY(zdtest::saveScreenshot(*sheet, "progress-sheet-restore.png"));
            }
            // The first computer is done: the user cancels before the second one.
            if (!cancelled && state->value() == 1) {
                cancelled = true;
                sheet->cancelButton()->click();
            }
        });
        QPushButton *restore = nullptr;
        for (QPushButton *b : prefs->findChildren<QPushButton *>())
            if (b->text() == QStringLiteral("Restore"))
                restore = b;
        QVERIFY(restore);
        restore->click();
        QVERIFY(sheet->isVisible());
        QCOMPARE(window->statusText(), QStringLiteral("Processing task 1 of 2"));
        QTRY_VERIFY_WITH_TIMEOUT(cancelled, 60000);
        QCOMPARE(sheet->statusLabel()->text(), QStringLiteral("Canceling..."));
        QVERIFY(!sheet->cancelButton()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!sheet->isVisible(), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!window->progressRuns()->isRunning(), 60000);
        QVERIFY2(seen.contains(QStringLiteral("Processing task 1 of 2")), qPrintable(seen.join(u'|')));
        QVERIFY2(!seen.contains(QStringLiteral("Processing task 2 of 2")), qPrintable(seen.join(u'|')));
        // The first computer took its safety backup before the restore; the second took nothing.
        const QString safety = ZDPreferences(window->dispatcher()).safetyBackupName().left(10);
        window.reset();
        const QStringList first = backupNames(0);
        const QStringList second = backupNames(1);
        QVERIFY2(std::any_of(first.cbegin(), first.cend(), [&](const QString &n) { return n.startsWith(safety); }),
                 qPrintable(first.join(u'|')));
        QVERIFY2(std::none_of(second.cbegin(), second.cend(), [&](const QString &n) { return n.startsWith(safety); }),
                 qPrintable(second.join(u'|')));
        QCOMPARE(ZDPropertyList::readDictionary(m_agents[1].root() + QStringLiteral("/home/.config/com.apple.FinalCutPro.plist"))
                     .value(QStringLiteral("fcpRender")).toString(),
                 QStringLiteral("/srv/bay1/render"));
    }

    // The status bar's cancel ends the sheet, as the sheet's own cancel does.
    void statusBarCancelEndsEverything()
    {
        auto window = openWindow(settingsPath("cancel.ini"), false);
        QVERIFY(window);
        ZDProgressRuns *runs = window->progressRuns();
        std::atomic<bool> release{false};
        bool done = false;
        QVERIFY((runs->start<bool>(window.get(), QStringLiteral("Working..."), 2,
                                   [&release](ZDProgressRuns::Steps &steps) {
                                       while (!steps.isCancelled() && !release)
                                           QThread::msleep(10);
                                       return steps.isCancelled();
                                   },
                                   [&done](bool wasCancelled) { done = wasCancelled; })));
        QVERIFY(window->progressSheet()->isVisible());
        // A second run is refused while this one goes on.
        QVERIFY(!(runs->start<bool>(window.get(), QString(), 1, [](ZDProgressRuns::Steps &) { return true; }, [](bool) {})));
        window->cancelAllProgress();
        QTRY_VERIFY_WITH_TIMEOUT(done, 30000);
        release = true;
        QVERIFY(!window->progressSheet()->isVisible());
        QVERIFY(!runs->isRunning());
    }

    void sortingKeptAcrossRestart_data()
    {
        QTest::addColumn<QString>("task");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("clicks");
        QTest::newRow("crash logs") << QStringLiteral("Quellar") << QStringLiteral("quellarLogTable") << 0 << QStringLiteral("hostname") << 1;
        QTest::newRow("backups") << QStringLiteral("Stowel") << QStringLiteral("stowelBackupTable") << 2 << QStringLiteral("date") << 2;
        QTest::newRow("plug-ins") << QStringLiteral("Brindel") << QStringLiteral("brindelOutline") << 1 << QStringLiteral("version") << 2;
        QTest::newRow("schedules") << QStringLiteral("Cadro") << QStringLiteral("cadroOutline") << 2 << QStringLiteral("enabled") << 1;
        QTest::newRow("render jobs") << QStringLiteral("Qmaster") << QStringLiteral("qmasterOutline") << 4 << QStringLiteral("hostname") << 2;
        QTest::newRow("error log") << QString() << QStringLiteral("errorLogTable") << 0 << QStringLiteral("hostname") << 1;
    }
    void sortingKeptAcrossRestart()
    {
        QFETCH(QString, task);
        QFETCH(QString, prefix);
        QFETCH(int, column);
        QFETCH(QString, key);
        QFETCH(int, clicks);
        const QString settings = m_sandbox->path(QStringLiteral("sort-%1.ini").arg(prefix));
        const auto headerOf = [&](ZDMainWindow &window) -> QHeaderView * {
            if (task.isEmpty()) {
                window.showErrorLog();
                auto *log = window.findChild<ZDErrorLogWindow *>();
                return log ? log->findChild<QTableWidget *>()->horizontalHeader() : nullptr;
            }
            showTask(window, task);
            QWidget *panel = window.findChild<QStackedWidget *>()->currentWidget();
            if (auto *tree = panel->findChild<QTreeWidget *>(); tree && !qobject_cast<ZDPreferencesPanel *>(panel))
                return tree->header();
            auto *prefs = qobject_cast<ZDPreferencesPanel *>(panel);
            return prefs ? prefs->backupsTable()->horizontalHeader() : nullptr;
        };
        Qt::SortOrder order = Qt::AscendingOrder;
        {
            auto window = openWindow(settings, false);
            QVERIFY(window);
            QHeaderView *header = headerOf(*window);
            QVERIFY(header && header->isSortIndicatorShown());
            for (int i = 0; i < clicks; ++i) {
                const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
                QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
            }
            QCOMPARE(header->sortIndicatorSection(), column);
            order = header->sortIndicatorOrder();
            // Two clicks on a column not sorted by before: ascending, then descending.
            if (clicks == 2)
                QCOMPARE(order, Qt::DescendingOrder);
        }
        // What the window wrote, read as the console reads its settings.
        {
            const auto stored = ZDAdminSettings::open(settings);
            QCOMPARE(stored->value(prefix + QStringLiteral("SortedColumn")).toString(), key);
        }
        auto window = openWindow(settings, false);
        QVERIFY(window);
        QHeaderView *header = headerOf(*window);
        QVERIFY(header);
        QCOMPARE(header->sortIndicatorSection(), column);
        QCOMPARE(header->sortIndicatorOrder(), order);
    }

    void helpMenu()
    {
        auto window = openWindow(settingsPath("help.ini"), false);
        QVERIFY(window);
        QMenu *help = window->menuBar()->findChild<QMenu *>(QStringLiteral("helpMenu"));
        QVERIFY(help);
        QAction *page = nullptr;
        QAction *bug = nullptr;
        for (QAction *a : help->actions()) {
            page = a->text() == QStringLiteral("Kestra Admin Help") ? a : page;
            bug = a->text() == QStringLiteral("Report a Bug") ? a : bug;
        }
        QVERIFY(page && bug);
        help->popup(window->mapToGlobal(QPoint(40, 0)));
        QVERIFY(QTest::qWaitForWindowExposed(help));
        QVERIFY(zdtest::saveScreenshot(*help, "help-menu.png"));
        help->hide();

        // Report a Bug: the issue page goes to the browser, then the log bundle is offered.
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        bug->trigger();
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls.first().scheme(), QStringLiteral("https"));
        QMessageBox *offer = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((offer = window->findChild<QMessageBox *>()) && offer->isVisible(), 10000);
        QCOMPARE(offer->text(), QStringLiteral("Attach your logs to the report"));
        QVERIFY(offer->buttons().size() == 2);
        offer->done(1); // "Not Now"

        // The README as a local page, shown as text that loads nothing.
        page->trigger();
        QWidget *helpWindow = window->helpWindow();
        QVERIFY(helpWindow && helpWindow->isVisible());
        auto *browser = helpWindow->findChild<QTextBrowser *>();
        QVERIFY(browser);
        const QString shown = browser->toPlainText();
        QVERIFY2(shown.contains(QStringLiteral("Kestra Admin Help")), qPrintable(shown.left(200)));
        // Without the README among the resources (a test binary has none) the page says so.
        QVERIFY2(shown.contains(QStringLiteral("Quick start")) || shown.contains(QStringLiteral("not installed")),
                 qPrintable(shown.left(200)));
        QVERIFY(!browser->openLinks());
    }

    void helpPageFromTheReadme()
    {
        const QString readme = qEnvironmentVariable("KESTRA_SOURCE_DIR") + QStringLiteral("/README.md");
        QVERIFY(QFile::exists(readme));
        const QString page = ZDHelp::helpMarkdown(readme);
        QVERIFY(page.startsWith(QStringLiteral("# Kestra Admin Help")));
        for (const QString &title : ZDHelp::sectionTitles(ZDTestSandbox::readFile(readme)))
            QVERIFY2(page.contains(QStringLiteral("- ") + title + QLatin1Char('\n')) && page.contains(QStringLiteral("## ") + title),
                     qPrintable(title));
        QVERIFY(!page.contains(QStringLiteral("<img")));
        ZDInertTextBrowser browser;
        browser.resize(720, 560);
        browser.setMarkdown(page);
        QVERIFY(zdtest::saveScreenshot(browser, "help-page.png"));
    }

    // A newer version found by an earlier check counts at once; "SUCheckAtStartup" off: nothing.
    void startUpSelfUpdateCount()
    {
        if (!ZDRealAgent::exists())
            QSKIP("the console's application folder is not built");
        // The console's own Info.plist gives its version.
        const QVariantMap info = ZDPropertyList::readDictionary(qEnvironmentVariable("KESTRA_APPS_DIR")
                                                                + QStringLiteral("/Kestra Admin.app/Contents/Info.plist"));
        const qint64 own = info.value(QStringLiteral("CFBundleVersion")).toString().toLongLong();
        if (own <= 0)
            QSKIP("no console application folder beside the agent");
        QSettings stored(settingsPath("startup.ini"), QSettings::IniFormat);
        stored.setValue(QStringLiteral("availableUpdateVersion"), own + 1);
        stored.sync();
        QVERIFY(ZDSelfUpdate::storedVersionIsNewer(stored, qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/Kestra Admin.app")));
        stored.setValue(QStringLiteral("availableUpdateVersion"), own);
        QVERIFY(!ZDSelfUpdate::storedVersionIsNewer(stored, qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/Kestra Admin.app")));
    }

    // Closing the Software Update window by hand: every computer sends its configuration again.
    void closingSoftwareUpdateRefetchesConfiguration()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        auto window = openWindow(settingsPath("updates.ini"), true);
        QVERIFY(window);
        ZDSoftwareUpdatePanel *updates = window->softwareUpdatePanel();
        QVERIFY(updates);
        QSignalSpy closed(updates, &ZDSoftwareUpdatePanel::windowClosed);
        updates->show();
        QVERIFY(QTest::qWaitForWindowExposed(updates));
        // A configuration asked for turns the computer's spinner on and off again.
        QList<std::shared_ptr<QSignalSpy>> spies;
        for (const ZDServicePtr &s : window->discovery()->allServices())
            spies << std::make_shared<QSignalSpy>(s.get(), &ZDService::serviceRefresh);
        const auto configurations = [&spies](int computer) { return spies[computer]->count(); };
        updates->close();
        QCOMPARE(closed.count(), 1);
        QCOMPARE(closed.first().first().toBool(), false);
        QTRY_VERIFY_WITH_TIMEOUT(configurations(0) >= 2 && configurations(1) >= 2, 30000);
    }

    // The tasks as a sidebar saying what each does; a panel has a title and a line, says it is
    // loading after a change of computers, and says so when the computers have nothing to list.
    void sidebarTitlesAndEmptyState()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        auto window = openWindow(settingsPath("sidebar.ini"), true);
        QVERIFY(window);
        window->resize(1280, 760);
        QListWidgetItem *crashLogs = window->taskItem(QStringLiteral("Quellar"));
        QVERIFY(crashLogs);
        QCOMPARE(crashLogs->text(), QStringLiteral("Quellar \u2014 Crash logs"));
        QVERIFY(!crashLogs->icon().isNull());
        // Every task's name is whole in the list: none is cut off or needs scrolling sideways.
        const QFontMetrics metrics(window->taskList()->font());
        for (int i = 0; i < window->taskList()->count(); ++i)
            QVERIFY2(metrics.horizontalAdvance(window->taskList()->item(i)->text()) + 24
                         < window->taskList()->viewport()->width(),
                     qPrintable(window->taskList()->item(i)->text()));
        select(*window, QStringLiteral("Alpha"));
        select(*window, QStringLiteral("Beta"), true);
        window->taskList()->setCurrentItem(crashLogs);
        QCOMPARE(window->taskTitle()->text(), crashLogs->text());
        QVERIFY(!window->taskLine()->text().isEmpty());
        auto *panel = window->findChild<ZDCrashLogPanel *>();
        QVERIFY(panel);
        QVERIFY2(window->taskState()->isVisible()
                     && window->taskState()->text() == QStringLiteral("Loading crash logs from 2 computers\u2026"),
                 qPrintable(window->taskState()->text()));
        // Neither agent's computer has crashed: the panel says so, not a blank table.
        QTRY_VERIFY_WITH_TIMEOUT(window->taskState()->text() == QStringLiteral("No crash logs on the selected computers"), 60000);
        QVERIFY(window->taskState()->isVisible());
        QCOMPARE(panel->logTable()->topLevelItemCount(), 0);
        QVERIFY(zdtest::saveScreenshot(*window, "sidebar-empty-crash-logs.png"));
        // Another task: its own title and line, no state left from the last.
        window->taskList()->setCurrentItem(window->taskItem(QStringLiteral("Kitterel")));
        QCOMPARE(window->taskTitle()->text(), QStringLiteral("Kitterel \u2014 Caches"));
        QVERIFY(!window->taskState()->isVisible());
        // Nothing chosen is no target: the change waits; every computer chosen on purpose is one.
        QPushButton *trash = nullptr;
        for (QPushButton *b : window->findChildren<QPushButton *>())
            trash = b->text() == QStringLiteral("Trash Caches...") ? b : trash;
        QVERIFY(trash && trash->isEnabled());
        window->outlineView()->clearSelection();
        QVERIFY(!trash->isEnabled());
        window->outlineView()->selectAll();
        QVERIFY(trash->isEnabled());
    }

    void cleanupTestCase()
    {
        for (ZDRealAgent &a : m_agents)
            a.kill();
    }
};

QTEST_MAIN(TestWindowShell)
#include "tst_zdwindowshell.moc"
