#include "platform/ZDMachineModel.h"

#include "platform/ZDLocalPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace {

constexpr qint64 kMaxSysfsBytes = 4096;
constexpr qint64 kMaxEnvironBytes = 64 * 1024;

bool sandboxed()
{
    return ZDLocalPaths::systemRoot() != QLatin1String("/");
}

QByteArray readSmall(const QString &absolutePath, qint64 limit = kMaxSysfsBytes)
{
    QFile file(ZDLocalPaths::systemPath(absolutePath));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(limit);
}

QString readText(const QString &absolutePath)
{
    return QString::fromUtf8(readSmall(absolutePath)).trimmed();
}

// Exit status 0 and a word other than "none" means "yes". Only on the real system.
bool detectVirt(const QString &option)
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("systemd-detect-virt"));
    if (tool.isEmpty())
        return false;
    QProcess process;
    process.start(tool, {option});
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    const QByteArray out = process.readAllStandardOutput().trimmed();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 && !out.isEmpty() && out != "none";
}

bool isContainer()
{
    if (QFileInfo::exists(ZDLocalPaths::systemPath(QStringLiteral("/.dockerenv")))
        || QFileInfo::exists(ZDLocalPaths::systemPath(QStringLiteral("/run/.containerenv"))))
        return true;
    // Container managers set "container=" in the environment of process 1.
    const QList<QByteArray> entries = readSmall(QStringLiteral("/proc/1/environ"), kMaxEnvironBytes).split('\0');
    for (const QByteArray &entry : entries)
        if (entry.startsWith("container="))
            return true;
    return !sandboxed() && detectVirt(QStringLiteral("--container"));
}

bool isVirtualMachine()
{
    if (!readText(QStringLiteral("/sys/hypervisor/type")).isEmpty())
        return true;
    static const char *const kVendors[] = {"qemu", "kvm", "vmware", "virtualbox", "innotek", "xen", "bochs",
                                           "parallels", "bhyve", "virtual machine"};
    const QString firmware = (readText(QStringLiteral("/sys/class/dmi/id/sys_vendor")) + QLatin1Char(' ')
                              + readText(QStringLiteral("/sys/class/dmi/id/product_name")))
                                 .toLower();
    for (const char *vendor : kVendors)
        if (firmware.contains(QLatin1String(vendor)))
            return true;
    return !sandboxed() && detectVirt(QStringLiteral("--vm"));
}

QString computeChassis()
{
    if (isContainer())
        return QStringLiteral("container");
    // A virtual machine's firmware claims whatever chassis it likes.
    if (isVirtualMachine())
        return QStringLiteral("vm");
    bool ok = false;
    const int code = readText(QStringLiteral("/sys/class/dmi/id/chassis_type")).toInt(&ok);
    return ok ? ZDMachineModel::chassisForSmbiosType(code) : QStringLiteral("unknown");
}

} // namespace

QString ZDMachineModel::chassisForSmbiosType(int code)
{
    switch (code) {
    case 3: case 4: case 5: case 6: case 7: case 13: case 15: case 16: case 24: case 35: case 36:
        return QStringLiteral("desktop");
    case 8: case 9: case 10: case 11: case 14: case 31: case 32:
        return QStringLiteral("laptop");
    case 30:
        return QStringLiteral("tablet");
    case 17: case 23: case 28: case 29:
        return QStringLiteral("server");
    default:
        return QStringLiteral("unknown");
    }
}

QString ZDMachineModel::chassis()
{
    // The real machine does not change while we run; a sandbox may, so it is read afresh.
    if (sandboxed())
        return computeChassis();
    static const QString cached = computeChassis();
    return cached;
}

QString ZDMachineModel::identifier()
{
    const QString word = chassis();
    if (word == QLatin1String("vm"))
        return QStringLiteral("LinuxVM");
    return QStringLiteral("Linux") + word.left(1).toUpper() + word.mid(1);
}

QString ZDMachineModel::productName()
{
    return readText(QStringLiteral("/sys/class/dmi/id/product_name")).left(128);
}
