// Stand-in for an editing application: an application folder with the identifier
// of one of the editing applications. It records its start and a SIGTERM (the
// polite quit) in $KESTRA_SYSTEM_ROOT/var/lib/standins/<name>/ as "started.result"
// and "terminated.result" (lines "pid=", "uid="), then ends; SIGKILL leaves no record.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <csignal>

#include <unistd.h>

namespace {

void record(const QString &name)
{
    const QByteArray root = qgetenv("KESTRA_SYSTEM_ROOT");
    if (root.isEmpty())
        return;
    const QString folder = QFile::decodeName(root) + QStringLiteral("/var/lib/standins/")
        + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QDir().mkpath(folder);
    QSaveFile file(folder + QLatin1Char('/') + name + QStringLiteral(".result"));
    const QByteArray text = "pid=" + QByteArray::number(::getpid()) + "\nuid=" + QByteArray::number(::getuid()) + '\n';
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size())
        file.commit();
}

} // namespace

int main(int argc, char **argv)
{
    // Blocked before anything else, so a quit that comes early is still seen.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    QCoreApplication app(argc, argv);
    record(QStringLiteral("started"));
    int signal = 0;
    while (sigwait(&term, &signal) != 0 || signal != SIGTERM) {
    }
    record(QStringLiteral("terminated"));
    return 0;
}
