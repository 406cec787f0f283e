// The Software Update window filled from a real agent whose update tool reports a
// manual-only update; the badge total follows counts from other threads; an agent's
// update of the console never reaches the console's self-update. With
// KESTRA_SCREENSHOT_DIR set, the window is saved there.
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDScreenshot.h"
#include "features/updates/ZDSoftwareUpdateCounts.h"
#include "panels/ZDSoftwareUpdatePanel.h"
#include "ZDTestSandbox.h"

#include <QAction>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBrowser>
#include <QTreeWidget>

using namespace Qt::StringLiterals;

class TestSoftwareUpdatePanel : public QObject
{
    Q_OBJECT
    std::shared_ptr<ZDErrorCallback> m_errors = std::make_shared<ZDErrorCallback>();
    ZDRealAgent m_agent;

private Q_SLOTS:
    void panelAndBadgeFromOneComputer()
    {
        ZDTestSandbox sandbox;
        const QString apps = qEnvironmentVariable("KESTRA_APPS_DIR");
        const QString opt = m_agent.root() + u"/opt"_s;
        QVERIFY(zdtest::copyTree(apps + u"/Quellar.app"_s, opt + u"/Quellar.app"_s));
        QVERIFY(zdtest::copyTree(apps + u"/Zendrel Nuvell.app"_s, opt + u"/Zendrel/Zendrel Nuvell.app"_s));
        const QVariantMap entry{{u"title"_s, u"Quellar 1.6"_s}, {u"type"_s, u"app"_s}, {u"size"_s, u"2 MB"_s},
                                {u"bundleid"_s, u"com.zendrel.Quellar"_s}, {u"version"_s, u"160"_s},
                                {u"changelist"_s, u"<p>Faster <img src=\"file:///dev/zero\"></p>"_s},
                                {u"manualOnly"_s, true}, {u"source"_s, apps + u"/Quellar.app"_s}};
        QVERIFY(QDir().mkpath(m_agent.root() + u"/var/lib/standins/Nuvell"_s));
        QVERIFY(ZDPropertyList::writeFile(m_agent.root() + u"/var/lib/standins/Nuvell/catalog.plist"_s,
                                          QVariantMap{{u"updates"_s, QVariantList{entry}}}));
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY(m_agent.startAlone(port, "update-bay-" + QByteArray::number(QCoreApplication::applicationPid())));
        const ZDServicePtr service = ZDService::serviceWithName(u"Update Bay"_s, QString(), u"127.0.0.1"_s, port, m_errors);
        QVERIFY(QTest::qWaitFor([&] { return service->isConnected() && !service->configDict().isEmpty(); }, 30000));
        ZDDispatcher dispatcher([service] { return QList<ZDServicePtr>{service}; });
        ZDSoftwareUpdateCounts counts;
        counts.followAgents(m_errors.get());
        ZDSoftwareUpdatePanel panel(&dispatcher, m_errors.get(), &counts);

        QSignalSpy populated(&panel, &ZDSoftwareUpdatePanel::nuvellsPopulated);
        panel.showNuvell();
        QVERIFY(populated.wait(120000));
        QCOMPARE(panel.outline()->topLevelItemCount(), 1);
        QTreeWidgetItem *row = panel.outline()->topLevelItem(0);
        QCOMPARE(row->text(1), u"Quellar 1.6"_s);
        QCOMPARE(row->text(2), u"2 MB"_s); // the tool's own words
        QCOMPARE(row->childCount(), 1);
        QCOMPARE(row->child(0)->text(0), ZDSoftwareUpdateCounts::keyFor(service));
        QVERIFY(panel.changeListView()->toPlainText().contains(u"must be installed manually"_s));
        // Automatic: the manual-only update is not chosen; Manual chooses it.
        QCOMPARE(row->checkState(0), Qt::Unchecked);
        QVERIFY(!panel.installButton()->isEnabled());
        panel.manualButton()->click();
        QCOMPARE(row->checkState(0), Qt::Checked);
        QVERIFY(panel.installButton()->isEnabled());
        panel.automaticButton()->click();
        QVERIFY(!panel.installButton()->isEnabled());

        // The agent's recount arrives on its connection's thread; another from a thread of ours.
        QTRY_COMPARE_WITH_TIMEOUT(counts.nuvellCount().value(ZDSoftwareUpdateCounts::keyFor(service)), 1, 60000);
        QList<QThread *> emitters;
        connect(&counts, &ZDSoftwareUpdateCounts::totalChanged, this, [&] { emitters << QThread::currentThread(); },
                Qt::DirectConnection);
        std::unique_ptr<QThread> other(QThread::create([&counts] { counts.setNuvellCount(2, u"other-bay"_s); }));
        other->start();
        QVERIFY(other->wait(10000));
        QTRY_COMPARE(counts.total(), 3);
        QCOMPARE(emitters, QList<QThread *>{QThread::currentThread()});
        QVERIFY(panel.toolbarAction()->toolTip().startsWith(u"3 "_s));

        QVERIFY(zdtest::saveScreenshot(panel, "software-update.png"));

        // A manual install is handed to the computer, said so, and the window closes.
        panel.manualButton()->click();
        QSignalSpy installed(&panel, &ZDSoftwareUpdatePanel::installFinished);
        panel.installButton()->click();
        QVERIFY(installed.wait(60000));
        QMessageBox *box = nullptr;
        QTRY_VERIFY((box = panel.findChild<QMessageBox *>()) && box->isVisible());
        QCOMPARE(box->text(), u"Manual updates started"_s);
        box->buttons().first()->click();
        QTRY_VERIFY(!panel.isVisible());

        // Nothing to update: said so, and the window closes again.
        QVERIFY(ZDPropertyList::writeFile(m_agent.root() + u"/var/lib/standins/Nuvell/catalog.plist"_s,
                                          QVariantMap{{u"updates"_s, QVariantList{}}}));
        panel.showNuvell();
        QVERIFY(populated.wait(120000));
        QTRY_VERIFY((box = panel.findChild<QMessageBox *>()) && box->isVisible());
        QCOMPARE(box->text(), u"No updates found"_s);
        QCOMPARE(box->informativeText(), u"Your software is up-to-date."_s);
        box->buttons().first()->click();
        QTRY_VERIFY(!panel.isVisible());
        QTRY_COMPARE(counts.total(), 2);

        // An agent offering an update of the console: never the console's self-update, alone or beside
        // the console's own entry from its feed.
        const QVariantMap rogue{{u"title"_s, u"Kestra Admin 9.9"_s}, {u"type"_s, u"admin"_s},
                                {u"bundleid"_s, u"com.zendrel.Quellar"_s}, {u"version"_s, u"9999"_s},
                                {u"url"_s, u"http://127.0.0.1:9/rogue.zip"_s}, {u"source"_s, apps + u"/Quellar.app"_s}};
        QVERIFY(ZDPropertyList::writeFile(m_agent.root() + u"/var/lib/standins/Nuvell/catalog.plist"_s,
                                          QVariantMap{{u"updates"_s, QVariantList{rogue}}}));
        QStringList selfInstalls;
        QVariantMap own;
        panel.setSelfUpdate([&own] { return own; }, [&selfInstalls](const QString &url, QString *title, QString *text) {
            selfInstalls << url;
            *title = u"Not handed over"_s;
            *text = u"The console stays open in this test."_s;
            return false;
        });
        panel.automaticButton()->click();
        panel.showNuvell();
        QVERIFY(populated.wait(120000));
        QTRY_VERIFY((box = panel.findChild<QMessageBox *>()) && box->isVisible());
        QCOMPARE(box->text(), u"No updates found"_s);
        box->buttons().first()->click();
        QTRY_VERIFY(!panel.isVisible());
        QVERIFY(selfInstalls.isEmpty());

        own = {{u"title"_s, u"Kestra Admin 1.1"_s}, {u"type"_s, u"admin"_s}, {u"bundleid"_s, u"com.zendrel.KestraAdmin"_s},
               {u"url"_s, u"http://127.0.0.1:8/own.zip"_s}, {u"selected"_s, 1}};
        panel.showNuvell();
        QVERIFY(populated.wait(120000));
        QCOMPARE(panel.items().size(), 1);
        QVERIFY(panel.items().first().own && panel.items().first().children.size() == 1);
        QVERIFY(panel.installButton()->isEnabled());
        panel.installButton()->click();
        QTRY_COMPARE(selfInstalls, QStringList{u"http://127.0.0.1:8/own.zip"_s});
        ZDService::invalidateServices({service}, false);
    }
};

QTEST_MAIN(TestSoftwareUpdatePanel)
#include "tst_zdsoftwareupdatepanel.moc"
