// kestra: the console core from a terminal.
#include "dispatch/ZDBackgroundPool.h"
#include "ZDCommandLine.h"
#include "log/ZDLog.h"

#include <QCoreApplication>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    // Answers keep standard output to themselves. What the libraries print there
    // (exception reports, also in the log file) is no answer and, on its own, no
    // failure: the command reports failures itself.
    const int answerFd = ::dup(STDOUT_FILENO);
    FILE *answers = answerFd >= 0 ? ::fdopen(answerFd, "w") : nullptr;
    const int nullFd = answers ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    if (nullFd >= 0) {
        ::dup2(nullFd, STDOUT_FILENO);
        ::close(nullFd);
    } else if (answers) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    } else {
        answers = stdout;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestra"));
    ZDLog::createNewLog(QStringLiteral("kestra"));
    int rc = 0;
    {
        ZDCommandLine commandLine(app.arguments(), answers);
        rc = commandLine.run();
    }
    // Jobs still finishing (a keyring clean-up, a configuration) end before the log does.
    ZDBackgroundPool::waitForDone(std::chrono::seconds(30));
    ZDLog::finishWriting();
    std::fflush(answers);
    return rc;
}
