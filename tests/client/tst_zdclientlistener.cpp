// The agent's settings program against the real agent in a sandbox computer.
#include "Orvelle_Network_ClientPref.h"
#include "ZDClientPrefWindow.h"
#include "agent/ZDClientPreferences.h"
#include "rights/ZDLaunchd.h"
#include "log/ZDLog.h"
#include "ZDPaneAgentProcess.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDSwitch.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "files/ZDTrash.h"
#include "ZDUninstaller.h"
#include "ZDUninstallerDialogs.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

class TestClientListener : public QObject
{
    Q_OBJECT

    static QString agentLogs()
    {
        QString all;
        for (const QFileInfo &file : QDir(ZDLog::logFolder()).entryInfoList(QDir::Files))
            all += QString::fromUtf8(ZDTestSandbox::readFile(file.absoluteFilePath()));
        return all;
    }
    static void shoot(QWidget *widget, const char *name)
    {
        if (qEnvironmentVariableIsSet("KESTRA_SCREENSHOT_DIR"))
            widget->grab().save(qEnvironmentVariable("KESTRA_SCREENSHOT_DIR") + QLatin1Char('/') + QLatin1String(name));
    }

private Q_SLOTS:
    void switchesTheRealAgentOnAndOff()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        ZDTestSandbox box;
        // systemd is not the service manager here: the recording stand-in goes first on PATH.
        const QString bin = box.path(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(box.path(QStringLiteral("opt"))));
        QVERIFY(QFile::copy(qEnvironmentVariable("KESTRA_SOURCE_DIR") + QStringLiteral("/tools/standins/systemctl"),
                            bin + QStringLiteral("/systemctl")));
        QVERIFY(QFile::setPermissions(bin + QStringLiteral("/systemctl"), QFile::ReadOwner | QFile::ExeOwner));
        box.setEnv("PATH", (bin + QLatin1Char(':') + qEnvironmentVariable("PATH")).toUtf8());
        box.setEnv("KESTRA_STANDIN_LOG", box.path(QStringLiteral("systemctl.calls")).toUtf8());
        QVERIFY(QFile::link(QFileInfo(ZDRealAgent::program()).absolutePath() + QStringLiteral("/../.."),
                            box.path(QStringLiteral("opt/KestraClient.app"))));
        for (const auto &[name, type, address] : {std::tuple{"lo", "772", "00:00:00:00:00:00"},
                                                  {"enp3s0", "1", "52:54:00:12:34:56"},
                                                  {"wlp2s0", "1", "52:54:00:ab:cd:ef"}}) {
            const QString dir = box.path(QStringLiteral("sys/class/net/") + QLatin1String(name));
            QVERIFY(ZDTestSandbox::writeFile(dir + QStringLiteral("/type"), type));
            QVERIFY(ZDTestSandbox::writeFile(dir + QStringLiteral("/address"), address));
        }
        QVERIFY(QDir().mkpath(box.path(QStringLiteral("sys/class/net/wlp2s0/wireless"))));

        Orvelle_Network_ClientPref controller;
        controller.setLaunchDelayMs(500);
        ZDClientPrefWindow window(&controller);
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(!controller.isLoading(), 30000);
        QCOMPARE(window.statusLabel()->text(), QStringLiteral("Status: Not loaded"));
        QCOMPARE(window.networkInterfacePopUp()->count(), 3);
        QCOMPARE(window.networkInterfacePopUp()->itemText(2), QStringLiteral("Wi-Fi - wlp2s0"));
        shoot(&window, "clientlistener-off.png");
        window.networkInterfacePopUp()->showPopup();
        shoot(window.networkInterfacePopUp()->view()->window(), "clientlistener-interfaces.png");
        window.networkInterfacePopUp()->hidePopup();

        // A port out of range is refused before anything is saved; a good one is saved.
        QString error;
        QVERIFY(!controller.updateNetworkSettings(QString(), true, QStringLiteral("70000"), true, &error));
        QVERIFY(!error.isEmpty());
        const QString prefs = ZDClientPreferences().preferencesPath();
        QVERIFY(!QFile::exists(prefs) || ZDPropertyList::readDictionary(prefs).value(QStringLiteral("customPort")) != 70000);
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY(controller.updateNetworkSettings(QStringLiteral("52:54:00:12:34:56"), true, QString::number(port), true));

        // A disabled switch and a drag back to where it began announce nothing.
        QSignalSpy toggled(window.masterSwitch(), &ZDSwitch::userToggled);
        window.masterSwitch()->setEnabled(false);
        QTest::mouseClick(window.masterSwitch(), Qt::LeftButton);
        window.masterSwitch()->setEnabled(true);
        const QPoint knob(8, window.masterSwitch()->height() / 2);
        QTest::mousePress(window.masterSwitch(), Qt::LeftButton, {}, knob);
        QMouseEvent move(QEvent::MouseMove, knob + QPoint(10, 0), window.masterSwitch()->mapToGlobal(knob + QPoint(10, 0)),
                         Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(window.masterSwitch(), &move);
        QTest::mouseRelease(window.masterSwitch(), Qt::LeftButton, {}, knob);
        QCOMPARE(toggled.count(), 0);
        QVERIFY(!controller.isProcessing());

        // On: the unit is written and enabled, and the agent it names answers on the saved port.
        QTest::mouseClick(window.masterSwitch(), Qt::LeftButton);
        QCOMPARE(toggled.count(), 1);
        const QString unit = ZDLaunchd::jobPath(QStringLiteral("com.zendrel.KestraClient"), ZDLaunchd::Domain::Computer,
                                                ZDLaunchd::JobKind::Agent);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(unit), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(ZDTestSandbox::readFile(box.path(QStringLiteral("systemctl.calls"))).contains("enable"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(window.statusLabel()->text(), QStringLiteral("Status: Listening on port %1").arg(port),
                                  Orvelle_Network_ClientPref::kStatusIntervalMs + 30000);
        QVERIFY(window.masterSwitch()->isOn());
        const QString executable = ZDPaneAgentProcess::agentExecutable();
        QCOMPARE(ZDPaneAgentProcess::ownAgentProcesses(executable).size(), 1);
        shoot(&window, "clientlistener-on.png");

        // The menu-bar choice reaches the running agent.
        QTRY_VERIFY(window.showMenuBarIconCheck()->isEnabled());
        window.showMenuBarIconCheck()->click();
        QTRY_VERIFY_WITH_TIMEOUT(agentLogs().contains(QStringLiteral("Hiding menu bar item...")), 30000);

        // Off: the unit goes and our agent quits.
        QTest::mouseClick(window.masterSwitch(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(unit), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(ZDPaneAgentProcess::ownAgentProcesses(executable).isEmpty(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(window.statusLabel()->text(), QStringLiteral("Status: Not loaded"), 30000);
        QVERIFY(!window.masterSwitch()->isOn());

        // The uninstaller takes the agent's unit and settings and the console to the Trash, restorably.
        QTest::mouseClick(window.masterSwitch(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(ZDPaneAgentProcess::ownAgentProcesses(executable).size() == 1, 30000);
        // The console's folder by its real Info.plist only: no console process of another test is touched.
        QVERIFY(QDir().mkpath(box.path(QStringLiteral("opt/Kestra Admin.app/Contents"))));
        QVERIFY(QFile::copy(qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/Kestra Admin.app/Contents/Info.plist"),
                            box.path(QStringLiteral("opt/Kestra Admin.app/Contents/Info.plist"))));
        const auto confirm = ZDUninstallerDialogs::confirmation();
        confirm->show();
        shoot(confirm.get(), "uninstaller-confirmation.png");
        const ZDUninstaller::Report report = ZDUninstaller::uninstall();
        QVERIFY2(report.complete(), qPrintable(ZDUninstaller::summaryText(report)));
        for (const QString &item : {unit, prefs, box.path(QStringLiteral("opt/Kestra Admin.app"))}) {
            QVERIFY2(report.trashed.contains(item), qPrintable(item));
            QVERIFY(!QFileInfo(item).exists() && !QFileInfo(item).isSymLink());
            const QString name = QFileInfo(item).fileName();
            QVERIFY(QFileInfo::exists(ZDTrash::filesDirectory() + QLatin1Char('/') + name));
            QVERIFY(ZDTestSandbox::readFile(ZDTrash::infoDirectory() + QLatin1Char('/') + name + QStringLiteral(".trashinfo"))
                        .contains(QUrl::toPercentEncoding(item, "/")));
            QCOMPARE(QFileInfo(ZDTrash::filesDirectory() + QLatin1Char('/') + name).ownerId(),
                     QFileInfo(ZDTrash::filesDirectory()).ownerId());
        }
        QTRY_VERIFY_WITH_TIMEOUT(ZDPaneAgentProcess::ownAgentProcesses(executable).isEmpty(), 30000);
        const ZDUninstaller::Report again = ZDUninstaller::uninstall();
        QVERIFY2(again.changedNothing(), qPrintable(again.trashed.join(QLatin1Char(' '))));
        QCOMPARE(ZDUninstaller::summaryTitle(again), QStringLiteral("Uninstall complete"));
    }
    void packagesInstallRunAndLeaveThroughTheUninstaller()
    {
        const QString build = qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/..");
        if (::getuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("cpack")).isEmpty() ||
            !QFile::exists(build + QStringLiteral("/CPackConfig.cmake")))
            QSKIP("needs root, cpack and a configured build");
        QTemporaryDir out;
        // The test build trusts the development update key: packages of it are a demo, asked for as such.
        QCOMPARE(zdtest::runProgram(QStringLiteral("cpack"), {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"),
                                    out.path(), QStringLiteral("-D"), QStringLiteral("KESTRA_DEMO_UPDATE_KEY=ON"),
                                    QStringLiteral("--config"), build + QStringLiteral("/CPackConfig.cmake")}).exit(), 0);
        QStringList debs;
        for (const QFileInfo &deb : QDir(out.path()).entryInfoList({QStringLiteral("*.deb")}, QDir::Files))
            debs << deb.absoluteFilePath();
        QCOMPARE(debs.size(), 2);

        // A fresh computer: an empty package database, the suite installed into it.
        ZDTestSandbox box;
        QVERIFY(QDir().mkpath(box.path(QStringLiteral("var/lib/dpkg/info"))) &&
                QDir().mkpath(box.path(QStringLiteral("var/lib/dpkg/updates"))));
        QVERIFY(ZDTestSandbox::writeFile(box.path(QStringLiteral("var/lib/dpkg/status")), {}));
        const zdtest::Ran installed = zdtest::runProgram(
            QStringLiteral("dpkg"), QStringList{QStringLiteral("--root=") + box.root(), QStringLiteral("--force-depends"),
                                                // the empty root has no shell for the maintainer scripts
                                                QStringLiteral("--force-script-chrootless"), QStringLiteral("-i")} + debs);
        QVERIFY2(installed.exit() == 0, qPrintable(installed.err));
        QCOMPARE(ZDUninstaller::installedPackages().size(), 2);

        const quint16 port = ZDRealAgent::freePort();
        QVERIFY(ZDPropertyList::writeFile(ZDClientPreferences().preferencesPath(),
                                          QVariantMap{{QStringLiteral("customPortSet"), 1}, {QStringLiteral("customPort"), port},
                                                      {QStringLiteral("disableBonjour"), 1}, {QStringLiteral("showMenuBarIcon"), 0}}));
        QVERIFY(ZDRealAgent::enrollConsole(box.root())); // the console is paired first
        QProcess agent;
        agent.start(box.path(QStringLiteral("opt/KestraClient.app/Contents/MacOS/KestraClient")), {});
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += agent.readAllStandardOutput()).contains("Listening on port"), 30000);
        const QString kestra = box.path(QStringLiteral("usr/bin/kestra"));
        QCOMPARE(zdtest::runProgram(kestra, {QStringLiteral("add"), QStringLiteral("mill"), QStringLiteral("127.0.0.1"),
                                             QString::number(port)}).exit(), 0);
        const zdtest::Ran listed = zdtest::runProgram(kestra, {QStringLiteral("list"), QStringLiteral("--no-browse"),
                                                               QStringLiteral("--hosts"), QStringLiteral("mill"), QStringLiteral("--json")});
        QVERIFY2(listed.exit() == 0 && listed.out.contains(QStringLiteral("\"connected\": true")), qPrintable(listed.out + listed.err));

        // The uninstaller hands packaged files back to the package manager: none is left behind.
        const ZDUninstaller::Report report = ZDUninstaller::uninstall();
        QVERIFY2(report.complete(), qPrintable(ZDUninstaller::summaryText(report)));
        QCOMPARE(report.removedPackages.size(), 2);
        QVERIFY(ZDUninstaller::installedPackages().isEmpty());
        QVERIFY(agent.waitForFinished(30000));
        // The enrolled consoles are the computer's setting, not the package's: they stay.
        QVERIFY(QFile::remove(box.path(QStringLiteral("etc/xdg/com.zendrel.KestraClient.consoles.plist"))));
        for (const char *folder : {"opt", "usr", "etc"})
            QVERIFY(QDirIterator(box.path(QLatin1String(folder)), QDir::Files, QDirIterator::Subdirectories).hasNext() == false);
    }
};

QTEST_MAIN(TestClientListener)
#include "tst_zdclientlistener.moc"
