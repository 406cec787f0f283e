// The agent's naming and listening rules, without starting the program.
#include "AppController.h"
#include "ZDConnection.h"
#include "ZDNameRegistry.h"
#include "ZDStatusItem.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <vector>

class TestKestraClientUnits : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pdoNameIsCutAt63()
    {
        QCOMPARE(AppController::makePdoName(QStringLiteral("Edit-Suite-3.local.")),
                 QStringLiteral("KestraClient - Edit-Suite-3.local."));
        const QString host = QString(48, QLatin1Char('h')) + QStringLiteral(".local.");
        const QString name = AppController::makePdoName(host);
        QCOMPARE(name.size(), 63);
        QVERIFY(name.startsWith(QStringLiteral("KestraClient - hhh")));
        const QString exact = QString(48, QLatin1Char('h')); // 15 + 48 = 63: kept whole
        QCOMPARE(AppController::makePdoName(exact).size(), 63);
        const QString uuid = QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E");
        const QString fallback = AppController::makePdoName(QStringLiteral("Edit-Suite-3.local."), uuid);
        QCOMPARE(fallback.size(), 63);
        QVERIFY(fallback.startsWith(uuid + QStringLiteral("KestraClient - Edit")));
    }
    void customPortRules()
    {
        // The port's bounds (1025 to 65535) and the flag that must be exactly 1.
        const struct { QVariant set, port; int expected; } rules[] = {
            {1, 1024, 0}, {1, 1025, 1025}, {1, 65535, 65535}, {1, 65536, 0}, {2, 2000, 0}, {QVariant(), 2000, 0},
            {1, QStringLiteral("x"), 0}, {1, -5, 0}};
        for (const auto &r : rules)
            QVERIFY2(AppController::customPort(r.set, r.port) == r.expected, qPrintable(r.port.toString()));
    }
    void interfaceByMACAddress()
    {
        // A known MAC (loopback's) is the agent scenario's listensOnTheChosenInterface.
        // Unknown or missing MAC: no record, so the agent listens on any address.
        QVERIFY(AppController::networkInterfaceWithMACAddress(QStringLiteral("02:de:ad:be:ef:01")).isEmpty());
        QVERIFY(AppController::networkInterfaceWithMACAddress(QStringLiteral("garbage")).isEmpty());
    }
    void aFleetInOneProcess()
    {
        // Benchmarks run many agents in one process: nothing machine-wide, each its own name and port.
        ZDTestSandbox sandbox;
        ZDLog::createNewLog(QStringLiteral("tst_kestraclient_units"));
        AppControllerOptions options{.notifications = false, .publish = false, .statusItem = false,
                                     .callbackServer = false, .systemEvents = false, .tasks = false,
                                     .quitOnDisconnect = false, .nameSuffix = {}, .port = 0, .listenAddress = QStringLiteral("127.0.0.1"),
                                     .preferencesFolder = sandbox.path(QStringLiteral("prefs")),
                                     .bundlePath = qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/KestraClient.app")};
        std::vector<std::unique_ptr<AppController>> fleet;
        for (int i = 0; i < 3; ++i) {
            options.nameSuffix = QStringLiteral("-fleet-%1-%2").arg(QCoreApplication::applicationPid()).arg(i);
            fleet.push_back(std::make_unique<AppController>(options));
            fleet.back()->start();
        }
        QSet<int> ports;
        for (const auto &agent : fleet) {
            QVERIFY(agent->isConnected());
            QVERIFY(agent->pdoName().startsWith(QStringLiteral("KestraClient - ")));
            QCOMPARE(agent->statusString(), QStringLiteral("Listening on 127.0.0.1:%1").arg(agent->listenPortNumber()));
            auto link = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), quint16(agent->listenPortNumber()),
                                                   agent->pdoName());
            QVERIFY(link->rootProxy()->call(QStringLiteral("initialConfiguration")).toMap().contains(
                QStringLiteral("version")));
            link->invalidate();
            ports.insert(agent->listenPortNumber());
        }
        QCOMPARE(ports.size(), 3);
        // A disconnect stops one agent and leaves the others serving.
        QSignalSpy gone(fleet.front().get(), &AppController::disconnected);
        fleet.front()->rootObject()->invoke(QStringLiteral("disconnect"), {});
        QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 30000);
        QVERIFY(!fleet.front()->isConnected());
        QCOMPARE(fleet.front()->statusString(), QStringLiteral("Disconnected"));
        QVERIFY(fleet.back()->isConnected());
        // A tray request still under way when its agent goes: the agent waits for it.
        fleet.back()->requestMaintenance();
        fleet.pop_back();
    }
    void noTrayWithoutADisplay()
    {
        // A core application (no display): nothing to show, silently.
        QVERIFY(!ZDStatusItem::create({{QStringLiteral("normal"), QImage(18, 18, QImage::Format_ARGB32)}}));
        const QString module = qEnvironmentVariable("KESTRA_APPS_DIR") +
                               QStringLiteral("/KestraClient.app/Contents/PlugIns/libKestraClientTray.so");
        QVERIFY2(QFile::exists(module), qPrintable(module));
    }
    void namesAreClaimedOnce()
    {
        const QString name = QStringLiteral("KestraClient - test-%1.local.").arg(QCoreApplication::applicationPid());
        ZDNameRegistry first;
        QVERIFY(first.registerName(name));
        QVERIFY(ZDNameRegistry::isNameTaken(name));
        ZDNameRegistry second;
        QVERIFY(!second.registerName(name));
        QVERIFY(!second.isRegistered());
        first.withdraw();
        QVERIFY(second.registerName(name));
        QVERIFY(!ZDNameRegistry().registerName(QString()));
        // Names longer than an abstract socket address still claim one slot each.
        const QString longName = name + QString(200, QLatin1Char('x'));
        ZDNameRegistry a, b;
        QVERIFY(a.registerName(longName));
        QVERIFY(!b.registerName(longName));
        QVERIFY(b.registerName(longName + QLatin1Char('y')));
    }
};

QTEST_GUILESS_MAIN(TestKestraClientUnits)
#include "tst_kestraclient_units.moc"
