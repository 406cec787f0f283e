// kestra: the console core from a terminal.
#include "ZDCommandLine.h"
#include "ZDLog.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    // Answers keep standard output to themselves: whatever the libraries print
    // (exception reports) goes to standard error instead.
    const int answerFd = ::dup(STDOUT_FILENO);
    FILE *answers = answerFd >= 0 ? ::fdopen(answerFd, "w") : nullptr;
    if (answers)
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    else
        answers = stdout;

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestra"));
    ZDLog::createNewLog(QStringLiteral("kestra"));
    int rc = 0;
    {
        ZDCommandLine commandLine(app.arguments(), answers);
        rc = commandLine.run();
    }
    ZDLog::finishWriting();
    std::fflush(answers);
    return rc;
}
