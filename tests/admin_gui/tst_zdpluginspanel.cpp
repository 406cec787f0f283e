// The plug-in and Difference Finder panels filled from two real agents whose plug-ins
// and libraries differ; the Difference Finder's computers shown under the same name
// (it tells them apart all the same). With KESTRA_SCREENSHOT_DIR set, both panels are saved there,
// and the plug-in outline sorted by a header click.
#include "computers/ZDComputerInfoPanel.h"
#include "console/ZDAdminSettings.h"
#include "ZDItemViews.h"
#include "panels/ZDDifferenceFinderPanel.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "panels/ZDPluginsPanel.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDScreenshot.h"
#include "ZDTestSandbox.h"

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QTimer>
#include <QMessageBox>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>

class TestPluginsPanel : public QObject
{
    Q_OBJECT
    std::shared_ptr<ZDErrorCallback> m_errors = std::make_shared<ZDErrorCallback>();
    ZDRealAgent m_agents[2];
    QList<ZDServicePtr> m_services;

private Q_SLOTS:
    void panelsFromTwoComputers()
    {
        ZDTestSandbox sandbox;
        for (int i = 0; i < 2; ++i) {
            const QString root = m_agents[i].root();
            QVERIFY(ZDPropertyList::writeFile(root + QStringLiteral("/usr/OFX/Plugins/Glow.ofx.bundle/Contents/Info.plist"),
                                              QVariantMap{{QStringLiteral("CFBundleName"), QStringLiteral("Glow")},
                                                          {QStringLiteral("CFBundleShortVersionString"), i ? QStringLiteral("9.0") : QStringLiteral("10.0")}}));
            if (i == 1) {
                QVERIFY(QDir().mkpath(root + QStringLiteral("/home/.lv2/Echo.lv2")));
                QVERIFY(ZDTestSandbox::writeFile(root + QStringLiteral("/usr/lib/libfaulty.so.1.0.0"), "x"));
            }
            const quint16 port = ZDRealAgent::freePort();
            QVERIFY(m_agents[i].startAlone(port, QStringLiteral("bay%1-%2").arg(i).arg(QCoreApplication::applicationPid()).toUtf8()));
            m_services << ZDService::serviceWithName(QStringLiteral("Edit Bay %1").arg(i + 1), QString(),
                                                     QStringLiteral("127.0.0.1"), port, m_errors);
        }
        for (const ZDServicePtr &s : std::as_const(m_services))
            QVERIFY(QTest::qWaitFor([&] { return s->isConnected() && !s->configDict().isEmpty(); }, 30000));
        ZDDispatcher dispatcher([this] { return m_services; });

        ZDPluginsPanel plugins(&dispatcher);
        plugins.resize(900, 400);
        QSignalSpy filled(&plugins, &ZDPluginsPanel::pluginsRefreshed);
        plugins.refreshPlugins();
        QVERIFY(filled.wait(60000));
        QCOMPARE(plugins.tree()->topLevelItemCount(), 2);
        QCOMPARE(plugins.items().at(1).version, QStringLiteral("(various)"));
        QVERIFY(zdtest::saveScreenshot(plugins, "plugins-panel.png"));

        // The Difference Finder on the same two agents, both named alike.
        QList<ZDServicePtr> alike;
        for (const ZDServicePtr &s : std::as_const(m_services))
            alike << ZDService::serviceWithName(QStringLiteral("Edit Bay"), QString(), QStringLiteral("127.0.0.1"), s->port(), m_errors);
        for (const ZDServicePtr &s : std::as_const(alike))
            QVERIFY(QTest::qWaitFor([&] { return s->isConnected() && !s->configDict().isEmpty(); }, 30000));
        ZDDispatcher alikeDispatcher([&alike] { return alike; });
        ZDDifferenceFinderPanel finder(&alikeDispatcher);
        finder.resize(900, 500);
        finder.populateServices();
        QListWidget *unassigned = finder.group(ZDDifferenceFinder::Unassigned);
        QCOMPARE(unassigned->count(), 2);
        QCOMPARE(unassigned->item(0)->text(), unassigned->item(1)->text());
        // Nothing in the groups yet: the check is an alert, answered before anything is asked.
        // Answers the alert once seen; QTRY asks again after it is gone.
        QString answered;
        const auto alertShown = [&answered](const QString &title) {
            if (answered == title)
                return true;
            for (QWidget *w : QApplication::allWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(w);
                if (box && box->isVisible() && box->text() == title)
                    return box->done(0), answered = title, true;
            }
            return false;
        };
        finder.calculate();
        QTRY_VERIFY_WITH_TIMEOUT(alertShown(QStringLiteral("Drag computers into the Working and Not Working categories")), 10000);
        QVERIFY(finder.results()->isHidden() || finder.results()->rowCount() == 0);
        finder.group(ZDDifferenceFinder::Working)->addItem(unassigned->takeItem(0));
        finder.group(ZDDifferenceFinder::NotWorking)->addItem(unassigned->takeItem(0));
        QSignalSpy shown(&finder, &ZDDifferenceFinderPanel::differencesShown);
        finder.calculate();
        QVERIFY(shown.wait(60000));
        // The failing computer's older plug-in, the bundle without a version and the library only it has.
        QStringList found;
        for (int r = 0; r < finder.results()->rowCount(); ++r)
            found << finder.results()->item(r, 0)->text();
        QCOMPARE(found.size(), 3);
        QVERIFY2(found.contains(QStringLiteral("Plugin Glow")) && found.contains(QStringLiteral("Plugin Echo"))
                     && found.last() == QStringLiteral("Framework libfaulty"), qPrintable(found.join(u',')));
        const int glowAt = int(found.indexOf(QStringLiteral("Plugin Glow")));
        QCOMPARE(finder.results()->item(glowAt, 1)->text(), QStringLiteral("10.0"));
        QVERIFY(zdtest::saveScreenshot(finder, "difference-finder-panel.png"));
        // Sync copies only from the computer whose line is selected, and shows the copy's SHA-256.
        const auto glowOf = [this](int i) {
            return ZDPropertyList::readDictionary(m_agents[i].root() + QStringLiteral("/usr/OFX/Plugins/Glow.ofx.bundle/Contents/Info.plist"))
                .value(QStringLiteral("CFBundleShortVersionString")).toString();
        };
        QPushButton *sync = nullptr;
        for (QPushButton *b : plugins.findChildren<QPushButton *>())
            if (b->text() == QStringLiteral("Sync From Selected Computer"))
                sync = b;
        QLabel *status = plugins.findChild<QLabel *>();
        QVERIFY(sync && status);
        plugins.tree()->setCurrentItem(nullptr);
        sync->click();
        QVERIFY(status->text().startsWith(QStringLiteral("Select the line")));
        QCOMPARE(glowOf(1), QStringLiteral("9.0"));
        QTreeWidgetItem *glow = plugins.tree()->topLevelItem(1);
        QCOMPARE(glow->child(0)->text(1), QStringLiteral("10.0"));
        // Nothing selected: no target, so the actions are off until "All plug-ins" is ticked.
        QPushButton *disable = nullptr;
        for (QPushButton *b : plugins.findChildren<QPushButton *>())
            if (b->text() == QStringLiteral("Disable"))
                disable = b;
        QCheckBox *all = nullptr;
        for (QCheckBox *c : plugins.findChildren<QCheckBox *>())
            if (c->text() == QStringLiteral("All plug-ins"))
                all = c;
        QVERIFY(disable && all);
        plugins.tree()->clearSelection();
        QVERIFY(!disable->isEnabled());
        all->setChecked(true);
        QVERIFY(disable->isEnabled());
        // Asked with the count; answered No, nothing changes.
        QString asked;
        const auto answer = [&asked](const QString &button) {
            QTimer::singleShot(50, [&asked, button] {
                for (QWidget *w : QApplication::topLevelWidgets()) {
                    auto *box = qobject_cast<QMessageBox *>(w);
                    if (!box || !box->isVisible())
                        continue;
                    asked = box->text();
                    for (QAbstractButton *b : box->buttons())
                        if (b->text().remove(u'&') == button)
                            b->click();
                }
            });
        };
        answer(QStringLiteral("Cancel"));
        disable->click();
        QCOMPARE(asked, QStringLiteral("Disable %1 plug-ins on 2 computers?").arg(plugins.items().size()));
        all->setChecked(false);
        QVERIFY(!disable->isEnabled());
        plugins.tree()->setCurrentItem(glow->child(0));
        answer(QStringLiteral("Sync"));
        sync->click();
        QVERIFY2(asked.startsWith(QStringLiteral("Copy 1 differing plug-in(s) from ")), qPrintable(asked));
        QVERIFY(filled.wait(60000));
        QCOMPARE(glowOf(1), QStringLiteral("10.0"));
        QVERIFY2(status->text().contains(QRegularExpression(QStringLiteral("Glow 10.0 from .*: SHA-256 [0-9a-f]{64}"))),
                 qPrintable(status->text()));

        // A header click sorts the outline and is kept in the console's settings.
        const QString settings = sandbox.path(QStringLiteral("console.ini"));
        ZDItemSort::keep(plugins.tree(), QStringLiteral("brindelOutline"), settings,
                         {QStringLiteral("name"), QStringLiteral("version"), QStringLiteral("type"),
                          QStringLiteral("disabled"), QStringLiteral("accessType"), QStringLiteral("state")});
        QHeaderView *header = plugins.tree()->header();
        QCOMPARE(header->sortIndicatorSection(), 0); // the registered default: by name, ascending
        const QString firstByName = plugins.tree()->topLevelItem(0)->text(0);
        const QString lastByName = plugins.tree()->topLevelItem(1)->text(0);
        QVERIFY(firstByName.localeAwareCompare(lastByName) <= 0);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(0) + 10, header->height() / 2));
        QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
        QCOMPARE(plugins.tree()->topLevelItem(0)->text(0), lastByName);
        QCOMPARE(ZDAdminSettings::open(settings)->value(QStringLiteral("brindelOutlineSortedDescending")).toString(),
                 QStringLiteral("true"));
        QVERIFY(zdtest::saveScreenshot(plugins, "plugins-sorted.png"));

        // The information panel shows the agent's hardware summary.
        ZDComputerInfoPanel info(&dispatcher);
        QSignalSpy loaded(&info, &ZDComputerInfoPanel::infoLoaded);
        info.showInfo(m_services[0]);
        QVERIFY(loaded.wait(60000));
        QVERIFY2(info.text().contains(QStringLiteral("\nMemory Size: ")), qPrintable(info.text()));
        ZDService::invalidateServices(m_services, false);
        ZDService::invalidateServices(alike, false);
    }
};

QTEST_MAIN(TestPluginsPanel)
#include "tst_zdpluginspanel.moc"
