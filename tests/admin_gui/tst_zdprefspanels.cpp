// The preference and path panels filled from two real agents whose preferences and
// paths differ: mixed check boxes, backups of both computers, rows marked where the
// computers disagree. With KESTRA_SCREENSHOT_DIR set, both panels are saved there.
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "panels/ZDPathsPanel.h"
#include "panels/ZDPreferencesPanel.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDScreenshot.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"
#include "ZDTestThreads.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <QtTest>

class TestPrefsPanels : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::shared_ptr<ZDErrorCallback> m_errors = std::make_shared<ZDErrorCallback>();
    ZDRealAgent m_agents[2];
    QList<ZDServicePtr> m_services;
    std::unique_ptr<ZDDispatcher> m_dispatcher;

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        for (int i = 0; i < 2; ++i) {
            ZDRealAgent &a = m_agents[i];
            for (const char *tool : {"Stowel.app", "Tarnok.app"})
                QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + QLatin1Char('/') + QLatin1String(tool),
                                         a.root() + QStringLiteral("/opt/") + QLatin1String(tool)));
            QVERIFY(ZDPropertyList::writeFile(a.root() + QStringLiteral("/home/.config/com.apple.FinalCutPro.plist"),
                                              QVariantMap{{QStringLiteral("fcpRender"), QStringLiteral("/srv/bay%1/render").arg(i)}}));
            const quint16 port = ZDRealAgent::freePort();
            QVERIFY(a.startAlone(port, QStringLiteral("bay%1-%2").arg(i).arg(QCoreApplication::applicationPid()).toUtf8()));
            m_services << ZDService::serviceWithName(QStringLiteral("Edit Bay %1").arg(i + 1), QString(),
                                                     QStringLiteral("127.0.0.1"), port, m_errors);
        }
        for (const ZDServicePtr &s : std::as_const(m_services))
            QVERIFY(QTest::qWaitFor([&] { return s->isConnected() && !s->configDict().isEmpty(); }, 30000));
        m_dispatcher = std::make_unique<ZDDispatcher>([this] { return m_services; });
        zdtest::offMain([&] { QVERIFY(ZDPreferences(m_dispatcher.get()).quickBackup(QStringLiteral("Monday"), 0).isEmpty()); });
    }
    void cleanupTestCase()
    {
        m_dispatcher.reset();
        ZDService::invalidateServices(m_services, false);
    }

    void panelsFromTwoComputers()
    {
        ZDPreferencesPanel prefs(m_dispatcher.get());
        prefs.resize(900, 560);
        QSignalSpy filled(&prefs, &ZDPreferencesPanel::backupsRefreshed);
        prefs.refreshBackups();
        QVERIFY(filled.wait(60000));
        QCOMPARE(prefs.backupsTable()->rowCount(), 2);
        // Kinds that start unchecked leave their application mixed.
        QTreeWidgetItem *fcp = prefs.tree()->findItems(QStringLiteral("Final Cut Pro"), Qt::MatchExactly).value(0);
        QVERIFY(fcp);
        QCOMPARE(fcp->checkState(0), Qt::PartiallyChecked);
        fcp->child(0)->setCheckState(0, Qt::Unchecked);
        fcp->setExpanded(true);
        QVERIFY(!prefs.preferenceTree().selectedKeys().contains(QStringLiteral("fcpPrefs")));
        QVERIFY(zdtest::saveScreenshot(prefs, "preferences-panel.png"));

        ZDPathsPanel paths(m_dispatcher.get(), m_sandbox->path(QStringLiteral("console.ini")));
        paths.resize(900, 700);
        QSignalSpy shown(&paths, &ZDPathsPanel::pathsRefreshed);
        paths.refreshPaths();
        QVERIFY(shown.wait(60000));
        const auto render = std::find_if(paths.rows().cbegin(), paths.rows().cend(),
                                         [](const ZDPathRowView &r) { return r.row->key == QLatin1String("fcpRender"); });
        QVERIFY(render != paths.rows().cend() && render->values.size() == 2 && render->differs());
        QVERIFY(zdtest::saveScreenshot(paths, "paths-panel.png"));
    }

    // A computer whose preference tool is gone: the panel says so instead of a blank status.
    void failureShownInPanel()
    {
        ZDPreferencesPanel prefs(m_dispatcher.get(), m_errors.get());
        QVERIFY(QDir(m_agents[1].root() + QStringLiteral("/opt/Stowel.app")).removeRecursively());
        QPushButton *lock = nullptr;
        for (QPushButton *b : prefs.findChildren<QPushButton *>())
            if (b->text() == QStringLiteral("Lock"))
                lock = b;
        QVERIFY(lock);
        // The backup sheet's checks are alerts; nothing is sent.
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
        for (QPushButton *b : prefs.findChildren<QPushButton *>())
            if (b->text() == QStringLiteral("Quick Backup"))
                b->click();
        QTRY_VERIFY_WITH_TIMEOUT(alertShown(QStringLiteral("You must enter a backup name")), 10000);
        for (int p = 0; p < prefs.tree()->topLevelItemCount(); ++p)
            prefs.tree()->topLevelItem(p)->setCheckState(0, Qt::Unchecked);
        QVERIFY(prefs.preferenceTree().selectedKeys().isEmpty());
        for (QPushButton *b : prefs.findChildren<QPushButton *>())
            if (b->text() == QStringLiteral("Back Up"))
                b->click();
        QTRY_VERIFY_WITH_TIMEOUT(alertShown(QStringLiteral("No items selected")), 10000);
        QVERIFY(prefs.status()->text().isEmpty());
        prefs.tree()->topLevelItem(0)->setCheckState(0, Qt::Checked);
        // Asked with the count of items and computers, the computers named.
        QString asked, where;
        QTimer::singleShot(50, [&] {
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible()) {
                    asked = box->text(), where = box->informativeText();
                    for (QAbstractButton *b : box->buttons())
                        if (b->text().remove(u'&') == QStringLiteral("Lock"))
                            b->click();
                }
        });
        lock->click();
        QCOMPARE(asked, QStringLiteral("Lock %1 preference item%2 on 2 computers?")
                            .arg(prefs.preferenceTree().selectedKeys().size())
                            .arg(prefs.preferenceTree().selectedKeys().size() == 1 ? QString() : QStringLiteral("s")));
        QVERIFY2(where.startsWith(QStringLiteral("On bay0-")) && where.contains(QStringLiteral(" and bay1-")), qPrintable(where));
        QTRY_VERIFY_WITH_TIMEOUT(prefs.status()->text().contains(QStringLiteral("Application com.zendrel.Stowel not found.")), 60000);
        const QString text = prefs.status()->text();
        QVERIFY2(text.contains(QStringLiteral("bay1-")) && !text.contains(QStringLiteral("bay0-")), qPrintable(text));
    }
};

QTEST_MAIN(TestPrefsPanels)
#include "tst_zdprefspanels.moc"
