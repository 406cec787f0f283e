// The application and tool panels filled from a real agent with the editing
// application stand-in and the maker's tools installed; the cleaning and removal
// presets tick their counts, and a removal with nothing ticked sends nothing; the
// repair panels run their tool with rights and show its answer. With
// KESTRA_SCREENSHOT_DIR set, the panels are saved there.
#include "panels/ZDApplicationsPanel.h"
#include "dispatch/ZDCredentialStore.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "files/ZDFileTree.h"
#include "plist/ZDPropertyList.h"
#include "panels/ZDMaintenancePanel.h"
#include "ZDRealAgent.h"
#include "ZDScreenshot.h"
#include "panels/ZDPanelParts.h"
#include "panels/ZDRepairPanel.h"
#include "ZDTestSandbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTimer>
#include <QTextEdit>
#include <QTreeWidget>

namespace {

// Answers the question box the next step opens ("yes" is its accepting button) and keeps what it asked.
void answerNextQuestion(QString &asked, bool yes)
{
    QTimer::singleShot(50, [&asked, yes] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible()) {
                asked = box->text();
                for (QAbstractButton *b : box->buttons())
                    if ((box->buttonRole(b) == QMessageBox::AcceptRole) == yes)
                        b->click();
            }
        }
    });
}

} // namespace

class TestApplicationsPanel : public QObject
{
    Q_OBJECT
    std::shared_ptr<ZDErrorCallback> m_errors = std::make_shared<ZDErrorCallback>();
    ZDRealAgent m_agent;

private Q_SLOTS:
    void panelsFromAComputer()
    {
        ZDTestSandbox sandbox;
        QVERIFY(QDir().mkpath(m_agent.root() + QStringLiteral("/opt")));
        for (const char *app : {"Color", "Tidwell", "Kitterel", "Mendo", "Ondrel", "Ketril"})
            QVERIFY(ZDFileTree::copy(qEnvironmentVariable("KESTRA_APPS_DIR") + QLatin1Char('/') + QLatin1String(app) + QStringLiteral(".app"),
                                     m_agent.root() + QStringLiteral("/opt/") + QLatin1String(app) + QStringLiteral(".app")).ok);
        // The updater's own settings, as it leaves them: the agent changes them but never creates them.
        const QString updaterSettings = m_agent.root() + QStringLiteral("/home/.config/com.zendrel.Nuvell.plist");
        QVERIFY(QDir().mkpath(QFileInfo(updaterSettings).path()));
        QVERIFY(ZDPropertyList::writeFile(updaterSettings, QVariantMap{{QStringLiteral("showBetaUpdates"), 0}}));
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY(m_agent.startAlone(port, QStringLiteral("suite-%1").arg(QCoreApplication::applicationPid()).toUtf8()));
        const QList<ZDServicePtr> services{ZDService::serviceWithName(QStringLiteral("Edit Suite"), QString(), QStringLiteral("127.0.0.1"), port, m_errors)};
        QVERIFY(QTest::qWaitFor([&] { return services[0]->isConnected() && !services[0]->configDict().isEmpty(); }, 30000));
        ZDDispatcher dispatcher([&] { return services; });

        for (const auto &[kind, file] : {std::pair{ZDApplicationRows::Kind::Editing, "pro-applications-panel.png"},
                                         {ZDApplicationRows::Kind::Tools, "maintenance-tools-panel.png"}}) {
            ZDApplicationsPanel panel(&dispatcher, kind);
            panel.resize(800, 520);
            QSignalSpy filled(&panel, &ZDApplicationsPanel::appsRefreshed);
            panel.refreshApps();
            QVERIFY(filled.wait(60000));
            const QString first = kind == ZDApplicationRows::Kind::Editing ? QStringLiteral("Color") : QStringLiteral("Kitterel");
            QCOMPARE(panel.tree()->findItems(first, Qt::MatchExactly).value(0)->text(1), QStringLiteral("Not running"));
            QVERIFY(zdtest::saveScreenshot(panel, file));
            if (kind != ZDApplicationRows::Kind::Tools)
                continue;
            // A settings box asks first: "no" puts it back and changes nothing, "yes" changes the computer.
            QCheckBox *beta = nullptr;
            for (QCheckBox *box : panel.findChildren<QCheckBox *>())
                if (box->text() == QStringLiteral("Include beta updates"))
                    beta = box;
            QVERIFY(beta && beta->isEnabled() && !beta->isChecked());
            for (const bool yes : {false, true}) {
                QString asked;
                answerNextQuestion(asked, yes);
                beta->click();
                QCOMPARE(asked, QStringLiteral("Turn on \u201cInclude beta updates\u201d on 1 computer?"));
                if (!yes) {
                    QVERIFY(!beta->isChecked());
                    QVERIFY(!filled.wait(1000));
                } else {
                    QVERIFY(filled.wait(60000));
                    QVERIFY(beta->isChecked());
                }
            }
        }
        for (const auto &[tool, file] : {std::pair{ZDMaintenancePanel::Tool::Cleaning, "cleaning-panel.png"},
                                         {ZDMaintenancePanel::Tool::Removal, "removal-panel.png"},
                                         {ZDMaintenancePanel::Tool::Caches, "caches-panel.png"}}) {
            ZDMaintenancePanel panel(&dispatcher, m_errors.get(), tool);
            panel.resize(800, 520);
            if (tool == ZDMaintenancePanel::Tool::Cleaning) {
                // The suite's 110 tasks and the Linux studio catalogue's 4 cache tasks.
                QCOMPARE(panel.tickedKeys().size(), 98); // every task but the 16 left off at first
                panel.applyPreset(0);
                QCOMPARE(panel.tickedKeys().size(), 75);
                panel.applyPreset(1);
                QCOMPARE(panel.tickedKeys().size(), 114);
            } else if (tool == ZDMaintenancePanel::Tool::Removal) {
                panel.applyPreset(2);
                QCOMPARE(panel.tickedKeys(), (QStringList{QStringLiteral("8"), QStringLiteral("11"), QStringLiteral("12"), QStringLiteral("13")}));
                panel.applyPreset(5);
                QSignalSpy ran(&panel, &ZDMaintenancePanel::runFinished);
                panel.start(); // nothing ticked: no question, nothing sent
                QVERIFY(panel.tickedKeys().isEmpty() && ran.isEmpty());
            } else {
                // Asked with what, how many and where; Cancel sends nothing.
                QString asked, where;
                QTimer::singleShot(50, [&] {
                    for (QWidget *w : QApplication::topLevelWidgets()) {
                        auto *box = qobject_cast<QMessageBox *>(w);
                        if (!box || !box->isVisible())
                            continue;
                        asked = box->text();
                        where = box->informativeText();
                        box->button(QMessageBox::Cancel)->click();
                    }
                });
                QSignalSpy ran(&panel, &ZDMaintenancePanel::runFinished);
                panel.start();
                QCOMPARE(asked, QStringLiteral("Trash %1 caches on 1 computer?").arg(panel.tickedKeys().size()));
                QVERIFY2(where.startsWith(QStringLiteral("On %1.\n").arg(services[0]->hostName().chopped(1))), qPrintable(where));
                QVERIFY(!ran.wait(500));
            }
            QVERIFY(zdtest::saveScreenshot(panel, file));
        }

        // Repairs with an administrator's rights: the option box picks task "1" over "0".
        if (::geteuid() != 0)
            QSKIP("an administrator account can only be made as root");
        const QString admin = QStringLiteral("kestra_rppadm"), password = QStringLiteral("Rq%1!").arg(QRandomGenerator::system()->generate(), 0, 36);
        auto dropAdmin = qScopeGuard([&] { zdtest::removeAccount(admin); });
        QVERIFY(zdtest::makeAccount(admin, password, true));
        const QString records = m_agent.root() + QStringLiteral("/var/lib/standins/");
        // Thumbnails for the media repair's option to move to the Trash.
        QVERIFY(ZDTestSandbox::writeFile(m_agent.root() + QStringLiteral("/home/.cache/thumbnails/normal/0a1b.png"), "png"));
        for (const auto &[tool, ticked, record] : {std::tuple{"Ketril", false, "repair"}, {"Ketril", true, "repair-trash"}, {"Ondrel", true, "repair-trash"}}) {
            QFile::remove(records + QLatin1String(tool) + QLatin1Char('/') + QLatin1String(record) + QStringLiteral(".result"));
            dispatcher.credentialStore().setEntry(services[0]->hostKey(), ZDCredentialStore::makeEntry(admin, password));
            ZDRepairPanel panel(&dispatcher, m_errors.get(), QLatin1String(tool));
            panel.resize(800, 520);
            panel.option()->setChecked(ticked);
            dispatcher.cancelProcessing(); // as a switch of tasks does: the repair asked for next still runs
            QSignalSpy done(&panel, &ZDRepairPanel::runFinished);
            QString asked;
            answerNextQuestion(asked, true); // "Repair"
            panel.repair();
            QCOMPARE(asked, QStringLiteral("Run the repair on 1 computer?"));
            QVERIFY(panel.isSpinning());
            // Choosing computers meanwhile does not offer the running repair again.
            ZDPanelParts::enableChanges(&panel, true);
            QVERIFY(!panel.findChild<QPushButton *>()->isEnabled());
            QVERIFY(done.wait(120000));
            QVERIFY(!panel.isSpinning());
            QVERIFY(panel.findChild<QPushButton *>()->isEnabled());
            QVERIFY2(panel.results()->toPlainText().contains(QStringLiteral("Results from %1:\n\n%2 repair finished.").arg(services[0]->hostName().chopped(7), QLatin1String(tool))),
                     qPrintable(panel.results()->toPlainText()));
            QVERIFY2(panel.results()->toPlainText().endsWith(ticked ? QStringLiteral(" moved to the Trash.") : QStringLiteral(" kept.")),
                     qPrintable(panel.results()->toPlainText()));
            QVERIFY(QFile::exists(records + QLatin1String(tool) + QLatin1Char('/') + QLatin1String(record) + QStringLiteral(".result")));
            if (QLatin1String(tool) == QLatin1String("Ondrel"))
                QVERIFY(zdtest::saveScreenshot(panel, "repair-panel.png"));
        }
        ZDService::invalidateServices(services, false);
    }
};

QTEST_MAIN(TestApplicationsPanel)
#include "tst_zdapplicationspanel.moc"
