// The crash log panel filled from a real agent on which two programs crashed: the
// table, the statistics, and the explanation of the selected log; saved as a
// screenshot (KESTRA_SCREENSHOT_DIR, else the build's screenshot folder).
#include "panels/ZDCrashLogPanel.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "ZDRealAgent.h"
#include "ZDTestSandbox.h"

#include <QComboBox>
#include <QDialog>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTreeWidget>
#include <QtTest>

class TestCrashLogPanel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void panelFromRealAgent()
    {
        ZDTestSandbox sandbox;
        ZDRealAgent agent;
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/Quellar.app"),
                                 agent.root() + QStringLiteral("/opt/Quellar.app")));
        for (const char *name : {"Motion", "Color"}) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("XDG_STATE_HOME"), agent.root() + QStringLiteral("/home/.local/state"));
            // Run by root here, its report is the computer's: in the agent's system root.
            env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), agent.root());
            QCOMPARE(zdtest::runProgram(zdtest::buildPath(QStringLiteral("tools/standins/Motion")),
                                        {QStringLiteral("--name"), QLatin1String(name)},
                                        zdtest::crashingChildEnvironment(env)).status,
                     QProcess::CrashExit);
        }
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY(agent.startAlone(port, "edit-bay-7"));
        ZDService::setMinimumVersions(0, 0);
        auto callback = std::make_shared<ZDErrorCallback>();
        QList<ZDServicePtr> services{
            ZDService::serviceWithName(QStringLiteral("Edit Bay 7"), QString(), QStringLiteral("127.0.0.1"), port, callback)};
        QVERIFY(QTest::qWaitFor([&] { return services[0]->isConnected() && !services[0]->configDict().isEmpty(); }, 30000));
        ZDDispatcher dispatcher([&services] { return services; });

        ZDCrashLogPanel panel(&dispatcher, callback.get());
        panel.resize(900, 600);
        panel.show();
        QSignalSpy refreshed(&panel, &ZDCrashLogPanel::logsRefreshed);
        panel.refreshLogs();
        QVERIFY(refreshed.wait(60000));
        QCOMPARE(panel.logTable()->topLevelItemCount(), 2);
        QCOMPARE(panel.statsTable()->item(0, 1)->text(), QStringLiteral("2"));
        QSignalSpy explained(&panel, &ZDCrashLogPanel::explanationShown);
        panel.logTable()->topLevelItem(0)->setSelected(true);
        QVERIFY(explained.wait(30000));
        QVERIFY(panel.explanationView()->toPlainText().contains(QStringLiteral("SIGSEGV")));
        // The computer's page is shown as text: its heading is not laid out as one.
        QVERIFY2(!panel.explanationView()->toHtml().contains(QStringLiteral("<h2")), qPrintable(panel.explanationView()->toHtml()));

        const QString dir = qEnvironmentVariable("KESTRA_SCREENSHOT_DIR", QStringLiteral(KESTRA_SCREENSHOT_DIR));
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(panel.grab().save(dir + QStringLiteral("/crash-logs.png")));
        // A double click on a log opens it, its crashed thread first.
        QTreeWidget *table = panel.logTable();
        const QRect row = table->visualItemRect(table->topLevelItem(0));
        QVERIFY(row.isValid());
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, row.center());
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, row.center());
        QDialog *viewer = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((viewer = panel.findChild<QDialog *>()) && viewer->isVisible(), 10000);
        auto *text = viewer->findChild<QPlainTextEdit *>();
        QVERIFY(text);
        QTRY_VERIFY_WITH_TIMEOUT(text->toPlainText() != QStringLiteral("Loading..."), 30000);
        QVERIFY2(!text->toPlainText().isEmpty() && text->toPlainText() != QStringLiteral("Unable to load log"),
                 qPrintable(text->toPlainText()));
        viewer->close();
        ZDService::invalidateServices(services, false);
        ZDService::setMinimumVersions(-1, -1);
    }
};

QTEST_MAIN(TestCrashLogPanel)
#include "tst_zdcrashlogpanel.moc"
