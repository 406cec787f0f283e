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
        int runs = 0, activeAsked = 0, enabledAsked = 0, busyAsked = 0; // how often each condition was asked
        ZDAutoRefresh refresh;
        refresh.setConditions([&] { return ++activeAsked, active; }, [&] { return ++enabledAsked, enabled; },
                              [&] { return ++busyAsked, busy; });
        QSignalSpy available(&refresh, &ZDAutoRefresh::refreshAvailableChanged);
        refresh.setupAutoRefresh([&] { ++runs; }, std::chrono::seconds(1));
        QCOMPARE(available.last().first().toBool(), true);
        // A tick while another application is in front does nothing; in front, ticks refresh.
        QTRY_VERIFY_WITH_TIMEOUT(activeAsked > 0, 5000);
        QCOMPARE(runs, 0);
        active = true;
        QTRY_VERIFY_WITH_TIMEOUT(runs >= 1, 5000);
        enabled = false;
        const int before = runs, asked = enabledAsked;
        QTRY_VERIFY_WITH_TIMEOUT(enabledAsked > asked, 5000);
        QCOMPARE(runs, before);
        QVERIFY(refresh.autoRefreshData(false)); // the toolbar's refresh still works
        QCOMPARE(runs, before + 1);
        // A selection change while a batch runs refreshes when it ends, exactly once.
        refresh.setupAutoRefresh([&] { ++runs; }, std::chrono::seconds(0));
        busy = true;
        const int busyBefore = busyAsked;
        refresh.refreshAfterSelectionChange();
        QTRY_VERIFY_WITH_TIMEOUT(busyAsked > busyBefore, 10000); // the delayed refresh found the batch
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
