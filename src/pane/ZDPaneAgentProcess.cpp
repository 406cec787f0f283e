#include "ZDPaneAgentProcess.h"

#include "agent/AppController.h"
#include "agent/ZDClientPreferences.h"
#include "platform/ZDBoundedRead.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace ZDPaneAgentProcess {

namespace {
constexpr qint64 kMaxEnvironBytes = 256 * 1024;

QByteArray sessionBusOf(const QString &procDir)
{
    QFile environ(procDir + QStringLiteral("/environ"));
    if (!environ.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = ZDBoundedRead::upTo(environ, kMaxEnvironBytes);
    for (const QByteArray &entry : data.split('\0'))
        if (entry.startsWith("DBUS_SESSION_BUS_ADDRESS="))
            return entry.mid(int(sizeof("DBUS_SESSION_BUS_ADDRESS=")) - 1);
    return {};
}
} // namespace

QString agentExecutable()
{
    const QString path = ZDClientPreferences::bundlePath() + QStringLiteral("/Contents/MacOS/") +
                         QLatin1String(AppController::kExecutableName);
    return QFileInfo(path).isFile() ? QFileInfo(path).canonicalFilePath() : QString();
}

QList<qint64> ownAgentProcesses(const QString &executable)
{
    QList<qint64> found;
    if (executable.isEmpty())
        return found;
    const QByteArray ourBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const qint64 self = QCoreApplication::applicationPid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == self)
            continue;
        const QString dir = QStringLiteral("/proc/") + entry;
        struct stat info {};
        if (::stat(QFile::encodeName(dir).constData(), &info) != 0 || info.st_uid != ::getuid())
            continue;
        if (QFileInfo(dir + QStringLiteral("/exe")).symLinkTarget() != executable)
            continue;
        if (sessionBusOf(dir) != ourBus)
            continue;
        found.append(pid);
    }
    return found;
}

int terminateOwnAgents(const QString &executable)
{
    int count = 0;
    for (const qint64 pid : ownAgentProcesses(executable))
        if (::kill(pid_t(pid), SIGTERM) == 0)
            ++count;
    return count;
}

bool startAgent(const QString &executable)
{
    return !executable.isEmpty() &&
           QProcess::startDetached(executable, {}, QFileInfo(executable).absolutePath());
}

} // namespace ZDPaneAgentProcess
