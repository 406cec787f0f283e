#include "log/ZDFennick.h"

#include "log/ZDCrashHandler.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "platform/ZDMainBundle.h"
#include "plist/ZDPropertyList.h"
#include "log/ZDSystemLog.h"
#include "process/ZDTaskEx.h"
#include "process/ZDThreads.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace {

const QString kLaunch = QStringLiteral("launch");
const QString kExit = QStringLiteral("exit");
const QString kToolIdentifier = QStringLiteral("com.zendrel.Fennick");

QString settingsFile(const QString &plistPath)
{
    return plistPath.isEmpty() ? ZDMainBundle::userSettingsPath() : plistPath;
}

void recordDate(const QString &key, const QString &plistPath)
{
    const QString path = settingsFile(plistPath);
    QVariantMap settings = ZDPropertyList::readDictionary(path);
    settings.insert(key, QDateTime::currentDateTimeUtc());
    QDir().mkpath(QFileInfo(path).path());
    if (ZDPropertyList::writeFile(path, settings) && !plistPath.isEmpty())
        ZDFennick::chownPlist(path);
}

QDateTime dateValue(const QVariantMap &settings, const QString &key)
{
    const QVariant v = settings.value(key);
    if (v.typeId() != QMetaType::QDateTime)
        return {};
    return v.toDateTime();
}

bool crashReporterDisabled()
{
    const QVariant v = ZDPropertyList::readDictionary(ZDLocalPaths::prefsDirectory(true)
                                                      + QStringLiteral("/com.zendrel.global.plist"))
                           .value(QStringLiteral("disable-crash-reporter"));
    if (v.typeId() == QMetaType::QString)
        return v.toString() == QLatin1String("1");
    return v.typeId() == QMetaType::Bool && v.toBool();
}

QString reportIn(const QString &folder, const QString &name, const QDateTime &launch)
{
    const QString prefix = name + QLatin1Char('_');
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
    const QFileInfo *last = nullptr;
    for (const QFileInfo &entry : entries)
        if (entry.fileName().startsWith(prefix, Qt::CaseInsensitive))
            last = &entry;
    if (last && last->lastModified() > launch)
        return last->absoluteFilePath();
    return {};
}

QString bundleIdentifierOf(const QString &appPath)
{
    const QVariant v = ZDPropertyList::readDictionary(appPath + QStringLiteral("/Contents/Info.plist"))
                           .value(QStringLiteral("CFBundleIdentifier"));
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

// The platform has no registry of applications: look where the suite installs them.
QString installedApplication(const QString &identifier)
{
    std::vector<QString> folders;
    for (bool user : {false, true}) {
        const QString apps = ZDLocalPaths::applicationDirectory(user);
        folders.push_back(apps + QStringLiteral("/Zendrel/Kestra Maintenance Tools"));
        folders.push_back(apps + QStringLiteral("/Zendrel"));
        folders.push_back(apps);
        folders.push_back(ZDLocalPaths::adminApplicationDirectory(user));
    }
    for (const QString &folder : folders) {
        const QFileInfoList apps = QDir(folder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &app : apps)
            if (app.fileName().endsWith(QLatin1String(".app"))
                && bundleIdentifierOf(app.absoluteFilePath()).compare(identifier, Qt::CaseInsensitive) == 0)
                return app.absoluteFilePath();
    }
    return {};
}

QString executableOf(const QString &appPath)
{
    const QVariant v = ZDPropertyList::readDictionary(appPath + QStringLiteral("/Contents/Info.plist"))
                           .value(QStringLiteral("CFBundleExecutable"));
    QString exe = v.typeId() == QMetaType::QString ? v.toString() : QString();
    if (exe.isEmpty() || exe.contains(QLatin1Char('/')) || exe == QLatin1String("..") || exe == QLatin1String("."))
        exe = QFileInfo(appPath).completeBaseName();
    return appPath + QStringLiteral("/Contents/MacOS/") + exe;
}

void openWithCrashReporter(const QString &report)
{
    const QString tool = ZDFennick::crashReporterPath();
    if (tool.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Crash reporter %@ not found"), kToolIdentifier);
        return;
    }
    ZDLog::appendLog(QStringLiteral("Opening crash report %@ with %@"), report, tool);
    ZDTaskEx::runTaskAndReturn(executableOf(tool), {report});
}

} // namespace

void ZDFennick::startFennick(const QString &name, const QString &plistPath, CrashCallback didCrash)
{
    ZDCrashHandler::install(name);
    const QString report = checkForCrashes(name, plistPath);
    if (!report.isEmpty() && didCrash) {
        if (QCoreApplication *app = QCoreApplication::instance())
            ZDThreads::post(app, [didCrash, report] { didCrash(report); });
        else
            didCrash(report);
    }
    recordDate(kLaunch, plistPath);
}

void ZDFennick::startFennick(CrashCallback didCrash)
{
    startFennick(QString(), QString(), std::move(didCrash));
}

void ZDFennick::stopFennick(const QString &plistPath)
{
    recordDate(kExit, plistPath);
}

QString ZDFennick::checkForCrashes(const QString &name, const QString &plistPath)
{
    const QVariantMap settings = ZDPropertyList::readDictionary(settingsFile(plistPath));
    const QDateTime launch = dateValue(settings, kLaunch);
    if (!launch.isValid())
        return {};
    const QDateTime exit = dateValue(settings, kExit);
    if (exit.isValid() && exit >= launch)
        return {};

    const QString appName = name.isEmpty() ? ZDMainBundle::name() : name;
    QString report;
    for (const QString &folder : reportFolders()) {
        report = reportIn(folder, appName, launch);
        if (!report.isEmpty())
            break;
    }
    if (report.isEmpty())
        return {};

    ZDLog::appendLog(QStringLiteral("Application crashed on last launch"));
    if (crashReporterDisabled()) {
        zdSystemLog(QStringLiteral("Crash reporter disabled"));
        ZDLog::appendLog(QStringLiteral("Crash reporter disabled"));
    } else {
        openWithCrashReporter(report);
    }
    return report;
}

void ZDFennick::chownPlist(const QString &path)
{
    const QStringList parts = QDir::cleanPath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        if (parts.at(i) != QLatin1String("Users") && parts.at(i) != QLatin1String("home"))
            continue;
        const QByteArray user = parts.at(i + 1).toLocal8Bit();
        passwd entry{};
        passwd *found = nullptr;
        char buffer[4096];
        if (::getpwnam_r(user.constData(), &entry, buffer, sizeof buffer, &found) == 0 && found)
            (void)::lchown(QFile::encodeName(path).constData(), found->pw_uid, found->pw_gid);
        return;
    }
}

bool ZDFennick::openRemoteReport(const QString &computerName, const QString &logFile)
{
    const QString tool = crashReporterPath();
    if (tool.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Crash reporter %@ not found"), kToolIdentifier);
        return false;
    }
    ZDLog::appendLog(QStringLiteral("Opening crash report of %@ with %@"), computerName, tool);
    ZDTaskEx::runTaskAndReturn(executableOf(tool),
                               {QStringLiteral("-remotename"), computerName, QStringLiteral("-log"), logFile});
    return true;
}

QStringList ZDFennick::reportFolders()
{
    QStringList folders;
    for (bool user : {true, false}) {
        const QString logs = ZDLocalPaths::logDirectory(user);
        folders << logs + QStringLiteral("/CrashReporter") << logs + QStringLiteral("/DiagnosticReports");
    }
    return folders;
}

QString ZDFennick::crashReporterPath()
{
    const QString resources = ZDMainBundle::resourcePath();
    if (!resources.isEmpty()) {
        const QString own = resources + QStringLiteral("/Fennick.app");
        if (QFileInfo(own).isDir())
            return own;
    }
    return installedApplication(kToolIdentifier);
}
