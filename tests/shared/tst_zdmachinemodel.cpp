// The machine model from firmware and virtualisation hints, read below a sandbox root.
#include "ZDMachineModel.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <optional>

using namespace Qt::StringLiterals;

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
        const QStringList words{u"desktop"_s, u"laptop"_s, u"server"_s, u"tablet"_s, u"vm"_s, u"container"_s,
                                u"unknown"_s};
        QVERIFY2(words.contains(ZDMachineModel::chassis()), qPrintable(ZDMachineModel::chassis()));
        QVERIFY(ZDMachineModel::identifier().startsWith(QLatin1String("Linux")));
        QVERIFY(ZDMachineModel::productName().size() <= 128);
    }
    void fromFirmware()
    {
        // One row of the chassis table; the rest of it would only restate the table.
        const char *type = "sys/class/dmi/id/chassis_type";
        const struct { const char *file; QByteArray contents; const char *chassis, *identifier; } rows[] = {
            {type, "3\n", "desktop", "LinuxDesktop"}, {type, "\xff\xfe desk", "unknown", "LinuxUnknown"},
            {"etc/hostname", "x\n", "unknown", "LinuxUnknown"}, {"sys/hypervisor/type", "xen\n", "vm", "LinuxVM"},
            {"sys/class/dmi/id/sys_vendor", "QEMU\n", "vm", "LinuxVM"},
            {"proc/1/environ", QByteArray("PATH=/bin\0container=podman\0", 28), "container", "LinuxContainer"}};
        for (const auto &row : rows) {
            ZDTestSandbox sandbox;
            put(sandbox, QString::fromLatin1(row.file), row.contents);
            // A virtual machine claiming a desktop chassis is still a virtual machine.
            if (row.chassis == "vm"_L1)
                put(sandbox, QString::fromLatin1(type), "3\n");
            QCOMPARE(ZDMachineModel::chassis(), QLatin1String(row.chassis));
            QCOMPARE(ZDMachineModel::identifier(), QLatin1String(row.identifier));
        }
    }
};

QTEST_GUILESS_MAIN(TestZDMachineModel)
#include "tst_zdmachinemodel.moc"
