// The machine model from firmware and virtualisation hints, read below a sandbox root.
#include "ZDMachineModel.h"
#include "ZDTestSandbox.h"

#include <QtTest>

#include <optional>

class TestZDMachineModel : public QObject
{
    Q_OBJECT
    static void put(ZDTestSandbox &sandbox, const QString &relative, const QByteArray &contents)
    {
        const QString path = sandbox.path(relative);
        QDir().mkpath(QFileInfo(path).path());
        QVERIFY(ZDTestSandbox::writeFile(path, contents));
    }

private Q_SLOTS:
    void thisComputer()
    {
        // Whatever it is, it is one of the known words.
        const QStringList words{QStringLiteral("desktop"), QStringLiteral("laptop"), QStringLiteral("server"),
                                QStringLiteral("tablet"), QStringLiteral("vm"), QStringLiteral("container"),
                                QStringLiteral("unknown")};
        QVERIFY2(words.contains(ZDMachineModel::chassis()), qPrintable(ZDMachineModel::chassis()));
        QVERIFY(ZDMachineModel::identifier().startsWith(QLatin1String("Linux")));
        QVERIFY(ZDMachineModel::productName().size() <= 128);
    }
    void fromFirmware_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("chassis");
        QTest::addColumn<QString>("identifier");
        // One row of the chassis table; the rest of it would only restate the table.
        const QString type = QStringLiteral("sys/class/dmi/id/chassis_type");
        QTest::newRow("desktop") << type << QByteArray("3\n") << "desktop" << "LinuxDesktop";
        QTest::newRow("garbage") << type << QByteArray("\xff\xfe desk") << "unknown" << "LinuxUnknown";
        QTest::newRow("no firmware") << QStringLiteral("etc/hostname") << QByteArray("x\n") << "unknown" << "LinuxUnknown";
        QTest::newRow("hypervisor") << QStringLiteral("sys/hypervisor/type") << QByteArray("xen\n") << "vm" << "LinuxVM";
        QTest::newRow("emulated firmware") << QStringLiteral("sys/class/dmi/id/sys_vendor") << QByteArray("QEMU\n") << "vm" << "LinuxVM";
        QTest::newRow("container") << QStringLiteral("proc/1/environ") << QByteArray("PATH=/bin\0container=podman\0", 28)
                                   << "container" << "LinuxContainer";
    }
    void fromFirmware()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, contents);
        QFETCH(QString, chassis);
        QFETCH(QString, identifier);
        ZDTestSandbox sandbox;
        put(sandbox, file, contents);
        // A virtual machine claiming a desktop chassis is still a virtual machine.
        if (chassis == QLatin1String("vm"))
            put(sandbox, QStringLiteral("sys/class/dmi/id/chassis_type"), "3\n");
        QCOMPARE(ZDMachineModel::chassis(), chassis);
        QCOMPARE(ZDMachineModel::identifier(), identifier);
    }
};

QTEST_GUILESS_MAIN(TestZDMachineModel)
#include "tst_zdmachinemodel.moc"
