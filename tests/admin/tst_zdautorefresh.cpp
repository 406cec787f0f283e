// The panel refresh: the timer refreshes only while the console is active,
// "autoRefresh" is on and nothing processes; a new selection refreshes whatever
// the automatic setting says, once the work that holds it back has ended.
#include "ZDAutoRefresh.h"

#include <QSignalSpy>
#include <QtTest>

class TestAutoRefresh : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void timerSelectionAndBusyWork()
    {
        bool active = false, enabled = true, busy = false;
        int runs = 0;
        ZDAutoRefresh refresh;
        refresh.setConditions([&] { return active; }, [&] { return enabled; }, [&] { return busy; });
        QSignalSpy available(&refresh, &ZDAutoRefresh::refreshAvailableChanged);
        refresh.setupAutoRefresh([&] { ++runs; }, std::chrono::seconds(1));
        QCOMPARE(available.last().first().toBool(), true);

        // Ticks while another application is in front do nothing; in front, they refresh.
        QTest::qWait(1500);
        QCOMPARE(runs, 0);
        active = true;
        QTRY_VERIFY_WITH_TIMEOUT(runs >= 1, 5000);
        enabled = false;
        const int before = runs;
        QTest::qWait(1500);
        QCOMPARE(runs, before);
        QVERIFY(refresh.autoRefreshData(false)); // the toolbar's refresh still works
        QCOMPARE(runs, before + 1);

        // A selection change while a batch runs refreshes when it ends, exactly once.
        refresh.setupAutoRefresh([&] { ++runs; }, std::chrono::seconds(0));
        busy = true;
        refresh.refreshAfterSelectionChange();
        QTest::qWait(int(ZDAutoRefresh::kSelectionDelay.count()) + 500);
        QCOMPARE(runs, before + 1);
        busy = false;
        refresh.processingEnded();
        QCOMPARE(runs, before + 2);
        refresh.processingEnded();
        QCOMPARE(runs, before + 2);

        // Without an operation nothing runs and the toolbar item is off.
        refresh.setupAutoRefresh({}, std::chrono::seconds(1));
        QCOMPARE(available.last().first().toBool(), false);
        QVERIFY(!refresh.autoRefreshData(false));
        QVERIFY(!refresh.isTimerActive());
    }
};

QTEST_MAIN(TestAutoRefresh)
#include "tst_zdautorefresh.moc"
