#include "features/ZDSystemProfile.h"

#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "platform/ZDMachineModel.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDRemoteObject.h"
#include "agent/ZDToolCatalog.h"
#include "platform/ZDBoundedRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <array>

namespace {

// Small text files of the system (proc, sys, etc): at most this much is read.
constexpr qint64 kMaxSmallFile = 4 * 1024 * 1024;
constexpr qint64 kMaxPackageDatabase = 64 * 1024 * 1024;

QByteArray readSystemFile(const char *absolute, qint64 limit = kMaxSmallFile)
{
    QFile f(ZDLocalPaths::systemPath(QLatin1String(absolute)));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return ZDBoundedRead::upTo(f, limit);
}

QString firstLine(const char *absolute)
{
    return QString::fromUtf8(readSystemFile(absolute, 4096)).section(QLatin1Char('\n'), 0, 0).trimmed();
}

// "key : value" lines of cpuinfo and meminfo; the first of each key.
QString fieldOf(const QByteArray &text, const QByteArray &key)
{
    for (const QByteArray &line : text.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed() == key)
            return QString::fromUtf8(line.mid(colon + 1).trimmed());
    }
    return {};
}

struct Application
{
    const char *key;
    const char *bundleID;
};

constexpr std::array kApplications{
    Application{"Final Cut Pro Version", "com.apple.FinalCutPro"},
    Application{"Final Cut Pro X Version", "com.apple.FinalCut"},
    Application{"Motion Version", "com.apple.motion"},
    Application{"Motion 5 Version", "com.apple.motionapp"},
    Application{"Color Version", "com.apple.color"},
    Application{"DVD Studio Pro Version", "com.apple.dvdstudiopro"},
    Application{"Soundtrack Pro Version", "com.apple.soundtrackpro"},
    Application{"Compressor Version", "com.apple.compressor.Compressor"},
    Application{"Compressor 4 Version", "com.apple.Compressor"},
    Application{"LiveType Version", "com.apple.LiveType"},
    Application{"Cinema Tools Version", "com.apple.CinemaTools"},
    Application{"Avid Media Composer Version", "com.avid.MediaComposer"},
    Application{"Avid Symphony Version", "com.avid.Symphony"},
    Application{"Adobe Premiere Pro Version", "com.adobe.AdobePremierePro"},
};

// "libfoo-1.0.so.0.2200.0" -> {"libfoo-1.0", "0.2200.0"}; false for other names.
bool splitLibraryName(const QString &file, QString *name, QString *version)
{
    const qsizetype at = file.indexOf(QLatin1String(".so."));
    if (at <= 0 || !file.startsWith(QLatin1String("lib")))
        return false;
    *name = file.left(at);
    *version = file.mid(at + 4);
    return !version->isEmpty();
}

} // namespace

ZDSystemProfile::ZDSystemProfile(std::function<QVariantList()> plugins) : m_plugins(std::move(plugins)) {}

QVariantMap ZDSystemProfile::applicationVersions()
{
    QVariantMap versions;
    const QStringList folders{ZDLocalPaths::applicationDirectory(false), ZDLocalPaths::applicationDirectory(true)};
    for (const Application &app : kApplications) {
        QString version;
        for (const QString &folder : folders) {
            const QString bundle = ZDToolCatalog::pathForBundleID(QLatin1String(app.bundleID), folder);
            if (bundle.isEmpty())
                continue;
            version = ZDPropertyList::readDictionary(bundle + QStringLiteral("/Contents/Info.plist"))
                          .value(QStringLiteral("CFBundleShortVersionString"))
                          .toString();
            break;
        }
        versions.insert(QLatin1String(app.key), version);
    }
    return versions;
}

QString ZDSystemProfile::osVersion()
{
    QByteArray text = readSystemFile("/etc/os-release");
    if (text.isEmpty())
        text = readSystemFile("/usr/lib/os-release");
    QString name;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("PRETTY_NAME="))
            name = QString::fromUtf8(line.mid(12).trimmed());
    }
    if (name.size() >= 2 && (name.startsWith(u'"') || name.startsWith(u'\'')) && name.endsWith(name.front()))
        name = name.mid(1, name.size() - 2);
    return name.left(256);
}

QString ZDSystemProfile::kernelRelease()
{
    return firstLine("/proc/sys/kernel/osrelease").left(256);
}

QString ZDSystemProfile::mediaFrameworkVersion()
{
    const QByteArray database = readSystemFile("/var/lib/dpkg/status", kMaxPackageDatabase);
    bool inPackage = false;
    for (const QByteArray &line : database.split('\n')) {
        if (line.startsWith("Package: "))
            inPackage = line.mid(9).trimmed() == "libgstreamer1.0-0";
        else if (inPackage && line.startsWith("Version: ")) {
            // "1.22.0-2" -> "1.22.0": the upstream version without epoch and revision.
            QString version = QString::fromUtf8(line.mid(9).trimmed());
            version = version.section(QLatin1Char(':'), -1).section(QLatin1Char('-'), 0, 0);
            return version.left(64);
        }
    }
    return {};
}

QVariantMap ZDSystemProfile::libraries()
{
    QStringList folders;
    for (const char *f : {"/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/local/lib"})
        folders << ZDLocalPaths::systemPath(QLatin1String(f));
    // The multiarch folders ("x86_64-linux-gnu").
    for (const char *f : {"/lib", "/usr/lib"}) {
        const QDir dir(ZDLocalPaths::systemPath(QLatin1String(f)));
        for (const QString &sub : dir.entryList({QStringLiteral("*-linux-gnu*")}, QDir::Dirs | QDir::NoDotAndDotDot))
            folders << dir.filePath(sub);
    }
    QVariantMap found;
    QSet<QString> seen; // a merged /usr shows the same folder under two names
    for (const QString &folder : std::as_const(folders)) {
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (canonical.isEmpty() || seen.contains(canonical))
            continue;
        seen.insert(canonical);
        const QDir dir(folder);
        // Only real files: the version is the real file's suffix, not a link's.
        const QStringList files = dir.entryList({QStringLiteral("lib*.so.*")}, QDir::Files | QDir::NoSymLinks, QDir::Name);
        for (const QString &file : files) {
            QString name, version;
            if (found.size() >= kMaxLibraries)
                return found;
            if (!splitLibraryName(file, &name, &version) || found.contains(name))
                continue;
            found.insert(name, QVariantMap{{QStringLiteral("name"), name},
                                           {QStringLiteral("fullPath"), dir.filePath(file)},
                                           {QStringLiteral("version"), version}});
        }
    }
    return found;
}

QVariantMap ZDSystemProfile::kernelModules()
{
    QVariantMap found;
    const QByteArray modules = readSystemFile("/proc/modules");
    for (const QByteArray &line : modules.split('\n')) {
        const QString name = QString::fromUtf8(line.left(line.indexOf(' '))).trimmed();
        if (name.isEmpty() || name.size() > 64 || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
            continue;
        if (found.size() >= kMaxModules)
            break;
        const QString sysfs = ZDLocalPaths::systemPath(QStringLiteral("/sys/module/") + name);
        QFile versionFile(sysfs + QStringLiteral("/version"));
        QString version;
        if (versionFile.open(QIODevice::ReadOnly))
            version = QString::fromUtf8(versionFile.read(256)).trimmed();
        found.insert(name, QVariantMap{{QStringLiteral("name"), name},
                                       {QStringLiteral("fullPath"), sysfs},
                                       {QStringLiteral("version"), version}});
    }
    return found;
}

QVariantMap ZDSystemProfile::systemSpecs()
{
    QVariantMap specs = applicationVersions();
    specs.insert(QStringLiteral("OS X Version"), osVersion());
    const QByteArray cpuinfo = readSystemFile("/proc/cpuinfo");
    double mhz = firstLine("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq").toDouble() / 1000.0;
    if (mhz <= 0)
        mhz = fieldOf(cpuinfo, "cpu MHz").toDouble();
    specs.insert(QStringLiteral("CPU Speed"), QString::asprintf("%0.2f GHz", mhz / 1000.0));
    int cpus = 0;
    for (const QByteArray &line : cpuinfo.split('\n'))
        cpus += line.startsWith("processor") && line.contains(':');
    specs.insert(QStringLiteral("Number of CPUs"), QString::number(cpus));
    specs.insert(QStringLiteral("Intel Processor"),
                 fieldOf(cpuinfo, "vendor_id") == QLatin1String("GenuineIntel") ? QStringLiteral("Yes") : QStringLiteral("No"));
    const double memoryMB = fieldOf(readSystemFile("/proc/meminfo"), "MemTotal").section(u' ', 0, 0).toDouble() / 1024.0;
    specs.insert(QStringLiteral("Memory Size"), QString::asprintf("%0.2f GB", memoryMB / 1024.0));
    specs.insert(QStringLiteral("Logged in User"), ZDLocalPaths::username());
    const QString model = ZDMachineModel::productName().trimmed();
    specs.insert(QStringLiteral("Hardware Model"), model.isEmpty() ? QStringLiteral("Unknown") : model.left(256));
    const QString build = kernelRelease();
    specs.insert(QStringLiteral("OS Build"), build.isEmpty() ? QStringLiteral("Unknown") : build);
    const QString serial = firstLine("/sys/class/dmi/id/product_serial").left(256);
    specs.insert(QStringLiteral("Serial Number"), serial.isEmpty() ? QStringLiteral("Unknown") : serial);
    return specs;
}

void ZDSystemProfile::computeAhead()
{
    (void)profile();
}

void ZDSystemProfile::invalidate()
{
    std::lock_guard lock(m_mutex);
    m_computed = false;
}

QVariantMap ZDSystemProfile::profile()
{
    QVariantMap result;
    {
        // Held through the computation: a request racing the computation ahead waits for it.
        std::lock_guard lock(m_mutex);
        if (!m_computed) {
            m_fixed = applicationVersions();
            m_fixed.insert(QStringLiteral("QuickTime Version"), mediaFrameworkVersion());
            m_fixed.insert(QStringLiteral("OS X Version"), osVersion());
            m_fixed.insert(QStringLiteral("iTunes Version"), QString());
            m_fixed.insert(QStringLiteral("Frameworks"), libraries());
            m_fixed.insert(QStringLiteral("Kexts"), kernelModules());
            m_computed = true;
        }
        result = m_fixed;
    }
    result.insert(QStringLiteral("Plugins"), m_plugins ? m_plugins() : QVariantList());
    return result;
}

void ZDSystemProfile::addOperations(ZDRemoteObject &root, const std::shared_ptr<ZDSystemProfile> &profile,
                                    const std::function<void()> &clearCancelled)
{
    root.serve(ZDOrv::kSystemSpecs, [clearCancelled](const QVariantList &) -> QVariant {
        if (clearCancelled)
            clearCancelled();
        ZDLog::appendLog(QStringLiteral("Getting system specs..."));
        return systemSpecs();
    });
    root.serve("diffFinderSystemInfo", [profile, clearCancelled](const QVariantList &) -> QVariant {
        if (clearCancelled)
            clearCancelled();
        ZDLog::appendLog(QStringLiteral("Getting system info for Difference Finder..."));
        return profile->profile();
    });
}
