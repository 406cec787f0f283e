#include "ZDAlert.h"
#include "ZDLocalPaths.h"
#include "ZDPropertyList.h"
#include "ZDTestSandbox.h"
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <QWidget>
#include <atomic>
#include <memory>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

QAbstractButton *buttonTitled(QMessageBox *box, const QString &title)
{
    for (QAbstractButton *b : box->buttons())
        if (b->text() == title)
            return b;
    return nullptr;
}

} // namespace

// Receives the end of an alert that nobody waits for.
class EndReceiver : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void sheetEnded(ZDAlert *alert, int returnCode)
    {
        endedAlert = alert;
        code = returnCode;
        onMainThread = QThread::currentThread() == qApp->thread();
        ++calls;
    }
    ZDAlert *endedAlert = nullptr;
    int code = 99;
    bool onMainThread = false;
    int calls = 0;
};

class TestZDAlert : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_box;
    std::unique_ptr<QWidget> m_window;
    QMessageBox *shownAlert() const
    {
        QMessageBox *found = nullptr;
        for (QMessageBox *box : m_window->findChildren<QMessageBox *>())
            if (box->isVisible())
                found = box;
        return found;
    }
    // The program's own settings, named after the executable outside an application folder.
    static QString ownSettings()
    {
        return ZDLocalPaths::prefsDirectory(true) + u"/gui_tst_zdalert.plist"_s;
    }

private Q_SLOTS:
    void init()
    {
        m_box = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_box->isValid());
        m_window = std::make_unique<QWidget>();
        m_window->resize(400, 300);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    void cleanup()
    {
        m_window.reset();
        m_box.reset();
    }
    // Asked from a worker thread: made on the main thread as a window-modal dialog on the window, the answer
    // goes to the waiting worker (the other buttons' answers are checked on the main thread below).
    void answersFromWorkerThread()
    {
        std::atomic<int> answer{99};
        std::atomic<bool> done{false};
        QWidget *window = m_window.get();
        std::thread worker([&] {
            answer = ZDAlert::alertSheet(u"Save changes?"_s, u"Save"_s, u"Cancel"_s, u"Discard"_s,
                                         u"Your edits are kept."_s, window, true);
            done = true;
        });
        QTRY_VERIFY(shownAlert() != nullptr);
        QMessageBox *box = shownAlert();
        QCOMPARE(box->thread(), qApp->thread());
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        QCOMPARE(box->text(), u"Save changes?"_s);
        QCOMPARE(box->informativeText(), u"Your edits are kept."_s);
        QCOMPARE(box->defaultButton(), buttonTitled(box, u"Save"_s));
        QVERIFY(!done);
        QTest::mouseClick(buttonTitled(box, u"Discard"_s), Qt::LeftButton);
        QTRY_VERIFY(done);
        worker.join();
        QCOMPARE(answer.load(), -1);
        QTRY_VERIFY(shownAlert() == nullptr);
    }
    // Waiting on the main thread keeps its events flowing: timers fire and work queued
    // from other threads runs until the answer comes.
    void mainThreadKeepsRunningWhileWaiting()
    {
        int ticks = 0;
        std::atomic<bool> queuedRan{false};
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, this, [&] {
            if (++ticks == 1)
                std::thread([&queuedRan, this] {
                    QMetaObject::invokeMethod(this, [&queuedRan] { queuedRan = true; }, Qt::QueuedConnection);
                }).detach();
            QMessageBox *box = shownAlert();
            if (box && ticks >= 5 && queuedRan)
                QTest::mouseClick(buttonTitled(box, u"Later"_s), Qt::LeftButton);
        });
        ticker.start(0);
        const int answer = ZDAlert::alertSheet(u"Update now?"_s, u"Update"_s,
                                               u"Later"_s, QString(), QString(), m_window.get(), true);
        ticker.stop();
        QCOMPARE(answer, 0);
        QVERIFY(ticks >= 5);
        QVERIFY(queuedRan);
        QVERIFY(shownAlert() == nullptr);
    }
    // Without titles: the platform's OK as the only button, empty texts.
    void defaultsAndTimedAlert()
    {
        QTimer::singleShot(0, this, [this] {
            QMessageBox *box = shownAlert();
            QVERIFY(box);
            QCOMPARE(box->buttons().size(), 1);
            QCOMPARE(box->buttons().first(), box->button(QMessageBox::Ok));
            QCOMPARE(box->informativeText(), QString());
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        QCOMPARE(ZDAlert::alertSheet(u"Done"_s, QString(), m_window.get()), 1);
        // A timed alert left alone answers with the default; answered earlier it gives the answer.
        QCOMPARE(ZDAlert::timedAlertSheet(u"Restarting"_s, u"Now"_s, u"Wait"_s,
                                          QString(), QString(), m_window.get(), 1), 1);
        QVERIFY(shownAlert() == nullptr);
        QTimer::singleShot(0, this, [this] {
            QMessageBox *box = shownAlert();
            QVERIFY(box);
            QTest::mouseClick(buttonTitled(box, u"Wait"_s), Qt::LeftButton);
        });
        QCOMPARE(ZDAlert::timedAlertSheet(u"Restarting"_s, u"Now"_s, u"Wait"_s,
                                          QString(), QString(), m_window.get(), 3600), 0);
    }
    // Not waiting: -1 at once, and the delegate's end operation gets the answer on the main thread.
    void delegateAndSuppressionBox()
    {
        QVERIFY(ZDPropertyList::writeFile(ownSettings(), QVariantMap{{u"other"_s, u"kept"_s}}));
        EndReceiver receiver;
        auto alert = std::make_shared<ZDAlert>();
        std::atomic<int> immediate{99};
        std::thread worker([&] {
            immediate = ZDAlert::alertSheet(u"Remove all passwords?"_s, u"Remove"_s,
                                            u"Cancel"_s, u"Help"_s, QString(), m_window.get(),
                                            &receiver, "sheetEnded", false, alert, u"SuppressRemoveWarning"_s);
        });
        // The worker needs the main thread to show the dialog.
        QTRY_COMPARE(immediate.load(), -1);
        worker.join();
        QMessageBox *box = shownAlert();
        QVERIFY(box);
        QCOMPARE(alert->alert(), box);
        // The check box writes its key as it changes, keeping the other settings.
        QVERIFY(box->checkBox());
        QVERIFY(!box->checkBox()->isChecked());
        QTest::mouseClick(box->checkBox(), Qt::LeftButton);
        QCOMPARE(ZDPropertyList::readDictionary(ownSettings()), (QVariantMap{{u"other"_s, u"kept"_s},
                              {u"SuppressRemoveWarning"_s, true}}));
        QTest::mouseClick(box->checkBox(), Qt::LeftButton);
        QCOMPARE(ZDPropertyList::readDictionary(ownSettings()).value(u"SuppressRemoveWarning"_s), QVariant(false));
        QTest::mouseClick(box->checkBox(), Qt::LeftButton);
        QTest::mouseClick(buttonTitled(box, u"Help"_s), Qt::LeftButton);
        QTRY_COMPARE(receiver.calls, 1);
        QCOMPARE(receiver.code, -1);
        QCOMPARE(receiver.endedAlert, alert.get());
        QVERIFY(receiver.onMainThread);
        QVERIFY(alert->alertEnded());
        QCOMPARE(alert->returnCode(), -1);
        // The binding shows the stored value the next time.
        alert = std::make_shared<ZDAlert>();
        ZDAlert::alertSheet(u"Remove all passwords?"_s, u"Remove"_s, QString(), QString(),
                            QString(), m_window.get(), &receiver, "sheetEnded", false, alert,
                            u"SuppressRemoveWarning"_s);
        QVERIFY(alert->alert() && alert->alert()->checkBox()->isChecked());
        QTest::mouseClick(buttonTitled(alert->alert(), u"Remove"_s), Qt::LeftButton);
        QTRY_COMPARE(receiver.calls, 2);
        QCOMPARE(receiver.code, 1);
        // A delegate without the end operation is refused: -1 and nothing shown.
        QTRY_VERIFY(shownAlert() == nullptr);
        QCOMPARE(ZDAlert::alertSheet(u"Hello"_s, QString(), QString(), QString(), QString(),
                                     m_window.get(), &receiver, "noSuchMethod", true), -1);
        QVERIFY(shownAlert() == nullptr);
        QCOMPARE(receiver.calls, 2);
    }
    // The window going away answers a waiting caller with -1 instead of leaving it waiting.
    void windowClosedWhileWaiting()
    {
        QTimer::singleShot(0, this, [this] {
            QVERIFY(shownAlert());
            m_window.reset();
        });
        QCOMPARE(ZDAlert::alertSheet(u"Hello"_s, u"OK"_s, QString(), QString(), QString(), m_window.get(), true), -1);
    }
};

QTEST_MAIN(TestZDAlert)
#include "tst_zdalert.moc"
