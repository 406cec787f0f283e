#include "process/ZDRunningProcesses.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace ZDRunningProcesses {
QList<int> ofExecutable(const QString &executable)
{
    QList<int> pids;
    if (executable.isEmpty())
        return pids;
    const uid_t me = ::getuid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    int seen = 0;
    for (const QString &entry : entries) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric || ++seen > kMaxProcesses)
            continue;
        struct stat st {};
        const QByteArray dir = QByteArrayLiteral("/proc/") + entry.toLatin1();
        if (::stat(dir.constData(), &st) != 0 || st.st_uid != me)
            continue;
        if (QFileInfo(QString::fromLatin1(dir) + QStringLiteral("/exe")).canonicalFilePath() == executable)
            pids << pid;
    }
    return pids;
}
} // namespace ZDRunningProcesses
