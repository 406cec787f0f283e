// The "Kestra Client" panel against the real agent and a fake one that disagree:
// mixed boxes, and a write that changes only what was clicked on both; in the
// window, a new selection never receives the values read for the previous one,
// and the progress sheet follows a tool's steps and its Cancel stops the batch.
// Also the information panel of the real agent, with its large icon.
#include "computers/ZDClientSettingsPanel.h"
#include "computers/ZDComputerInfoPanel.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "ZDFakeAgent.h"
#include "log/ZDLog.h"
#include "windows/ZDMainWindow.h"
#include "computers/ZDServiceOutlineModel.h"
#include "computers/ZDServiceOutlineView.h"
#include "ZDRealAgent.h"
#include "windows/ZDProgressSheet.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"
#include "ZDTestThreads.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

class TestClientSettingsAgent : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::shared_ptr<ZDErrorCallback> m_errorCallback;
    ZDRealAgent m_real;
    ZDFakeTaskAgent m_fake;
    QList<ZDServicePtr> m_services;
    std::unique_ptr<ZDDispatcher> m_dispatcher;
    // Remote calls wait: off the main thread, which keeps serving meanwhile.
    QVariant call(int i, const QString &op, const QVariant &a = {}, const QVariant &b = {})
    {
        QVariant result;
        zdtest::offMain([&] { result = m_dispatcher->objectFromRemoteMethod(op, a, b, m_services[i]); });
        return result;
    }
    QVariantMap settingsOf(int i) { return call(i, QStringLiteral("networkClientSettings")).toMap(); }
    // The console window on the real agent ("Alpha") and the fake one ("Beta"), in that order.
    std::unique_ptr<ZDMainWindow> openWindow()
    {
        const QString settingsPath = m_sandbox->path(QStringLiteral("window.ini"));
        {
            QSettings s(settingsPath, QSettings::IniFormat);
            s.setValue(QStringLiteral("firstRun"), false);
            // A manual computer's key is its address: the real agent answers on any loopback one.
            auto entry = [](const char *name, const char *ip, const ZDServicePtr &service) {
                return QVariantMap{{QStringLiteral("name"), QLatin1String(name)}, {QStringLiteral("ip"), QLatin1String(ip)},
                                   {QStringLiteral("port"), QString::number(service->port())}};
            };
            s.setValue(QStringLiteral("manualConnections"),
                       QVariantList{entry("Alpha", "127.0.0.2", m_services[0]), entry("Beta", "127.0.0.1", m_services[1])});
        }
        auto window = std::make_unique<ZDMainWindow>(ZDMainWindow::Options{settingsPath, false});
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

private Q_SLOTS:
    void initTestCase()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zdclientsettingsagent"));
        // No tool suite beside these agents: that must not bar them from this panel.
        ZDService::setMinimumVersions(0, 0);
        m_errorCallback = std::make_shared<ZDErrorCallback>();
        // The real agent starts with the menu-bar icon off.
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY2(m_real.start(port), qPrintable(m_real.output()));
        m_fake.host = QStringLiteral("settings-fake-%1").arg(QCoreApplication::applicationPid());
        QVERIFY(m_fake.start());
        m_services << ZDService::serviceWithName(QStringLiteral("Real"), QString(), QStringLiteral("127.0.0.1"), port,
                                                 m_errorCallback)
                   << ZDService::serviceWithName(QStringLiteral("Fake"), QString(), QStringLiteral("127.0.0.1"),
                                                 m_fake.port, m_errorCallback);
        for (const ZDServicePtr &s : std::as_const(m_services))
            QVERIFY(QTest::qWaitFor([&] { return s->isConnected() && !s->configDict().isEmpty(); }, 30000));
        QVERIFY(QTest::qWaitFor([&] { return !m_services[0]->isProcessing(); }, 30000));
        m_dispatcher = std::make_unique<ZDDispatcher>([this] { return m_services; });
    }
    void cleanupTestCase()
    {
        m_dispatcher.reset();
        ZDService::invalidateServices(m_services, false);
        m_services.clear();
        m_fake.kill();
        m_real.kill();
        ZDService::setMinimumVersions(-1, -1);
    }
    void mixedValuesStayAsTheyAre()
    {
        QCOMPARE(settingsOf(0).value(QStringLiteral("showMenuBarIcon")).toInt(), 0);
        QCOMPARE(settingsOf(1).value(QStringLiteral("showMenuBarIcon")).toInt(), 1);
        // And they disagree on the update check too, the other way round.
        QVERIFY(call(1, QStringLiteral("fakeSetSetting:value:"), QStringLiteral("autoUpdateCheck"), 0).toBool());
        QCOMPARE(settingsOf(0).value(QStringLiteral("autoUpdateCheck")).toInt(), 1);
        QCOMPARE(settingsOf(1).value(QStringLiteral("autoUpdateCheck")).toInt(), 0);
        ZDClientSettingsPanel panel(m_dispatcher.get());
        panel.show();
        QSignalSpy refreshed(&panel, &ZDClientSettingsPanel::settingsRefreshed);
        QSignalSpy written(&panel, &ZDClientSettingsPanel::settingsWritten);
        panel.refreshNetworkClientSettings();
        QVERIFY(QTest::qWaitFor([&] { return refreshed.count() == 1; }, 60000));
        QCOMPARE(panel.clientShowMenuBarIcon()->checkState(), Qt::PartiallyChecked);
        QCOMPARE(panel.clientAutoCheck()->checkState(), Qt::PartiallyChecked);
        QCOMPARE(panel.clientAllowMaintenance()->checkState(), Qt::Checked);
        QCOMPARE(panel.clientPreventUpdateMessages()->checkState(), Qt::Checked);
        panel.clientShowMenuBarIcon()->click();
        QVERIFY(QTest::qWaitFor([&] { return written.count() == 1; }, 60000));
        const QVariantMap real = settingsOf(0);
        const QVariantMap fake = settingsOf(1);
        QCOMPARE(real.value(QStringLiteral("showMenuBarIcon")).toInt(), 1);
        QCOMPARE(fake.value(QStringLiteral("showMenuBarIcon")).toInt(), 1);
        QCOMPARE(real.value(QStringLiteral("autoUpdateCheck")).toInt(), 1);
        QCOMPARE(fake.value(QStringLiteral("autoUpdateCheck")).toInt(), 0);
        QCOMPARE(real.value(QStringLiteral("globalUpdateCheck")).toInt(), 1);
        // Read back: the menu-bar box is now on everywhere, the update check still mixed.
        panel.refreshNetworkClientSettings();
        QVERIFY(QTest::qWaitFor([&] { return refreshed.count() == 2; }, 60000));
        QCOMPARE(panel.clientShowMenuBarIcon()->checkState(), Qt::Checked);
        QCOMPARE(panel.clientAutoCheck()->checkState(), Qt::PartiallyChecked);
        QVERIFY(panel.clientAllowMaintenance()->isEnabled());
        QDir().mkpath(QStringLiteral(KESTRA_SCREENSHOT_DIR));
        QVERIFY(panel.grab().save(QStringLiteral(KESTRA_SCREENSHOT_DIR "/client-settings.png")));
        // Without the menu-bar icon there is nothing to ask for maintenance with.
        panel.clientShowMenuBarIcon()->click();
        QVERIFY(QTest::qWaitFor([&] { return written.count() == 2; }, 60000));
        QVERIFY(!panel.clientAllowMaintenance()->isEnabled());
        QCOMPARE(settingsOf(1).value(QStringLiteral("showMenuBarIcon")).toInt(), 0);
        panel.clientShowMenuBarIcon()->click(); // as the next cases expect it
        QVERIFY(QTest::qWaitFor([&] { return written.count() == 3; }, 60000));
    }
    void windowSendsNothingStaleAfterSelectionChange()
    {
        // The fake differs from the real agent in the maintenance box, which the
        // click below must never carry over from one computer to the other.
        QVERIFY(call(1, QStringLiteral("fakeSetSetting:value:"), QStringLiteral("enableMaintenanceRequests"), 0).toBool());
        QCOMPARE(settingsOf(0).value(QStringLiteral("enableMaintenanceRequests")).toInt(), 1);
        QCOMPARE(settingsOf(0).value(QStringLiteral("autoUpdateCheck")).toInt(), 1);
        QCOMPARE(settingsOf(1).value(QStringLiteral("autoUpdateCheck")).toInt(), 0);
        auto window = openWindow();
        QVERIFY(window);
        select(*window, QStringLiteral("Alpha"));
        window->taskList()->setCurrentItem(window->taskItem(QStringLiteral("Kestra Client")));
        auto *panel = window->findChild<ZDClientSettingsPanel *>();
        QVERIFY(panel);
        QSignalSpy refreshed(panel, &ZDClientSettingsPanel::settingsRefreshed);
        QSignalSpy written(panel, &ZDClientSettingsPanel::settingsWritten);
        QVERIFY(refreshed.wait(60000));
        QCOMPARE(panel->clientAllowMaintenance()->checkState(), Qt::Checked);
        // A click right after the new selection: the real agent's values must not reach the fake.
        select(*window, QStringLiteral("Beta"));
        panel->clientAutoCheck()->click();
        QVERIFY(!panel->clientAutoCheck()->isEnabled());
        QVERIFY(refreshed.wait(60000)); // the panel reads the new selection by itself
        QCOMPARE(panel->clientAllowMaintenance()->checkState(), Qt::Unchecked);
        QCOMPARE(panel->clientAutoCheck()->checkState(), Qt::Unchecked);
        panel->clientAutoCheck()->click();
        QVERIFY(written.wait(60000));
        const QVariantMap fake = settingsOf(1);
        QCOMPARE(fake.value(QStringLiteral("autoUpdateCheck")).toInt(), 1);
        QCOMPARE(fake.value(QStringLiteral("enableMaintenanceRequests")).toInt(), 0);
        QCOMPARE(written.count(), 1);
        QCOMPARE(settingsOf(0).value(QStringLiteral("autoUpdateCheck")).toInt(), 1);
    }
    void progressSheetFollowsToolStepsAndCancels()
    {
        const QString apps = qEnvironmentVariable("KESTRA_APPS_DIR");
        QVERIFY(zdtest::copyTree(apps + QStringLiteral("/Tidwell.app"), m_real.root() + QStringLiteral("/opt/Tidwell.app")));
        QTemporaryDir gate;
        const QString release = gate.filePath(QStringLiteral("release"));
        auto window = openWindow();
        QVERIFY(window);
        // One worker: the fake comes after the real agent, and Cancel must keep it from being asked.
        window->dispatcher()->setCoreCount(1);
        select(*window, QStringLiteral("Alpha"));
        select(*window, QStringLiteral("Beta"), true);
        const QStringList options{QStringLiteral("--progress"), QStringLiteral("--progress"),
                                  QStringLiteral("--wait-for"), release, QStringLiteral("--finished")};
        window->runTasksWithProgress(QStringLiteral("answer"), QStringLiteral("com.zendrel.Tidwell"), options, 2);
        ZDProgressSheet *sheet = window->progressSheet();
        QTRY_VERIFY_WITH_TIMEOUT(sheet->isVisible(), 10000);
        // The tool's two steps travel through its agent to the console.
        QTRY_VERIFY_WITH_TIMEOUT(sheet->bar()->maximum() == 4 && sheet->bar()->value() >= 2, 60000);
        QDir().mkpath(QStringLiteral(KESTRA_SCREENSHOT_DIR));
        QVERIFY(sheet->grab().save(QStringLiteral(KESTRA_SCREENSHOT_DIR "/progress-sheet.png")));
        sheet->cancelButton()->click();
        QCOMPARE(sheet->statusLabel()->text(), QStringLiteral("Canceling..."));
        QVERIFY(!sheet->cancelButton()->isEnabled());
        QVERIFY(QFile(release).open(QIODevice::WriteOnly));
        QTRY_VERIFY_WITH_TIMEOUT(!sheet->isVisible(), 60000);
        // A crashed agent's report is offered in a dialog (the name shown as plain text).
        window->displayCrashDialogForClient(window->discovery()->allServices().first(), QStringLiteral("<b>Alpha</b>"),
                                            QStringLiteral("/nonexistent.crash"));
        QMessageBox *crash = window->findChild<QMessageBox *>();
        QVERIFY(crash && crash->textFormat() == Qt::PlainText && crash->text().contains(QStringLiteral("<b>Alpha</b>")));
        QVERIFY(crash->grab().save(QStringLiteral(KESTRA_SCREENSHOT_DIR "/client-crash-dialog.png")));
        crash->button(QMessageBox::Cancel)->click();
        window.reset(); // waits for the batch's worker
        QVERIFY(QFile::exists(m_real.root() + QStringLiteral("/var/lib/standins/Tidwell/answer.result")));
        const QStringList fakeCalls = call(1, QStringLiteral("fakeCalls")).toStringList();
        QVERIFY2(!fakeCalls.join(u'|').contains(QStringLiteral("executeTask")), qPrintable(fakeCalls.join(u'|')));
    }
    void infoPanelOfRealAgent()
    {
        const QString cachePath = m_sandbox->path(QStringLiteral("serviceicons-large.cache.plist"));
        ZDComputerInfoPanel panel(m_dispatcher.get());
        panel.setIconCachePath(cachePath);
        QSignalSpy loaded(&panel, &ZDComputerInfoPanel::infoLoaded);
        QSignalSpy icon(&panel, &ZDComputerInfoPanel::largeIconLoaded);
        panel.showInfo(m_services[0]);
        QVERIFY(QTest::qWaitFor([&] { return loaded.count() == 1 && icon.count() == 1; }, 60000));
        QVERIFY2(panel.text().startsWith(QStringLiteral("Client version: ")), qPrintable(panel.text()));
        QVERIFY(!panel.text().startsWith(QStringLiteral("Client version: Unknown")));
        QVERIFY(panel.hasLargeIcon());
        QVERIFY(QFile::exists(cachePath));
    }
};

QTEST_MAIN(TestClientSettingsAgent)
#include "tst_zdclientsettingsagent.moc"
