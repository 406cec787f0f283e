// The scheduler and render queue panels filled from a real agent with the real
// scheduling and render tools; a task added through the add sheet as typed. With
// KESTRA_SCREENSHOT_DIR set, both panels are saved there.
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "files/ZDFileTree.h"
#include "ZDRealAgent.h"
#include "ZDScreenshot.h"
#include "panels/ZDRenderQueuePanel.h"
#include "panels/ZDSchedulerPanel.h"
#include "ZDTestFixtures.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

class TestSchedulerPanel : public QObject
{
    Q_OBJECT
    std::shared_ptr<ZDErrorCallback> m_errors = std::make_shared<ZDErrorCallback>();
    ZDRealAgent m_agent;

private Q_SLOTS:
    void panelsFromAComputer()
    {
        const QString root = m_agent.root(), apps = qEnvironmentVariable("KESTRA_APPS_DIR");
        QVERIFY(QDir().mkpath(root + QStringLiteral("/opt")));
        for (const char *tool : {"Cadro", "Quellar", "Batch Monitor"})
            QVERIFY(ZDFileTree::copy(apps + u'/' + QLatin1String(tool) + QStringLiteral(".app"), root + QStringLiteral("/opt/") + QLatin1String(tool) + QStringLiteral(".app")).ok);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), root);
        for (const char *job : {"Promo H.264", "Promo ProRes"})
            QCOMPARE(zdtest::runProgram(root + QStringLiteral("/opt/Batch Monitor.app/Contents/MacOS/Batch Monitor"),
                                        {QStringLiteral("-submit"), QStringLiteral("This Computer"), QStringLiteral("Promo"), QLatin1String(job)}, env).exit(), 0);
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY(m_agent.startAlone(port, "sched-bay"));
        const QList<ZDServicePtr> services{ZDService::serviceWithName(QStringLiteral("Edit Bay"), QString(), QStringLiteral("127.0.0.1"), port, m_errors)};
        QVERIFY(QTest::qWaitFor([&] { return services[0]->isConnected() && !services[0]->configDict().isEmpty(); }, 30000));
        ZDDispatcher dispatcher([services] { return services; });

        ZDSchedulerPanel scheduler(&dispatcher);
        scheduler.resize(900, 400);
        QSignalSpy tools(&scheduler, &ZDSchedulerPanel::toolsLoaded), filled(&scheduler, &ZDSchedulerPanel::tasksRefreshed);
        scheduler.showAddSheet();
        QVERIFY(tools.wait(60000));
        ZDScheduleAddSheet *sheet = scheduler.addSheet();
        sheet->runType()->setCurrentIndex(7);
        QTest::keyClicks(sheet->field(3), QStringLiteral("1"));
        QTest::keyClicks(sheet->field(1), QStringLiteral("30"));
        QCOMPARE(sheet->field(1)->text(), QStringLiteral("23")); // clamped as typed
        QCOMPARE(sheet->readable()->text(), QStringLiteral("Every Monday at 23:00"));
        sheet->accept();
        QTRY_VERIFY_WITH_TIMEOUT(filled.count() > 0 && scheduler.tree()->topLevelItemCount() == 1, 60000);
        QCOMPARE(scheduler.tree()->topLevelItem(0)->text(1), QStringLiteral("Every Monday at 23:00"));
        QVERIFY(zdtest::saveScreenshot(scheduler, "scheduler-panel.png"));

        ZDRenderQueuePanel render(&dispatcher);
        render.resize(900, 300);
        QSignalSpy jobs(&render, &ZDRenderQueuePanel::jobsRefreshed);
        render.refreshQmasterJobs();
        QVERIFY(jobs.wait(60000));
        QCOMPARE(render.tree()->topLevelItemCount(), 2);
        QVERIFY(zdtest::saveScreenshot(render, "qmaster-panel.png"));
        // Both jobs chosen: asked with their count and their one computer; Cancel changes nothing.
        render.tree()->selectAll();
        QString asked;
        QTimer::singleShot(50, [&asked] {
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                    asked = box->text(), box->button(QMessageBox::Cancel)->click();
        });
        for (QPushButton *b : render.findChildren<QPushButton *>())
            if (b->text() == QStringLiteral("Pause"))
                b->click();
        QCOMPARE(asked, QStringLiteral("Pause 2 render jobs on 1 computer?"));
        QVERIFY(!jobs.wait(500));
        ZDService::invalidateServices(services, false);
    }
};

QTEST_MAIN(TestSchedulerPanel)
#include "tst_zdschedulerpanel.moc"
