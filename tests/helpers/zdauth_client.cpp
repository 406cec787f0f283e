// Drives the shared authorization object from a process of its own, so that a
// test running as root can watch it work as an ordinary user.
//
//   zdauth_client [--gui] OPERATION...
//
// A user name and a password are read as two lines from standard input (never
// from the command line). Each operation prints one "name=result" line:
//   validate | start | startgui | authorized | end
//   mkdir P | remove P | trash P | trashcontents P | copy A B | move A B | movecontents A B
//   exec TOOL COUNT ARG... | execasync TOOL COUNT ARG...
//   waitfile P   (waits up to 30 s for P, so that an asynchronous run can end
//                 before this process does and hangs up its terminal)
#include "ZDAuthorization.h"
#include "ZDLog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

QString readLine()
{
    std::string line;
    std::getline(std::cin, line);
    QString text = QString::fromStdString(line);
    std::fill(line.begin(), line.end(), '\0');
    return text;
}

void print(const char *name, const QString &value)
{
    std::printf("%s=%s\n", name, value.toUtf8().constData());
    std::fflush(stdout);
}

void print(const char *name, bool value)
{
    print(name, QString::number(value ? 1 : 0));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ZDLog::createNewLog();
    QStringList args = app.arguments().mid(1);
    bool gui = false;
    if (!args.isEmpty() && args.first() == QLatin1String("--gui")) {
        gui = true;
        args.removeFirst();
    }
    const QString username = readLine();
    QString password = readLine();

    ZDAuthorization &auth =
        ZDAuthorization::sharedController(gui ? ZDAuthorization::Dialog::Allowed : ZDAuthorization::Dialog::Never);
    int failures = 0;
    auto take = [&args]() { return args.isEmpty() ? QString() : args.takeFirst(); };
    while (!args.isEmpty()) {
        const QString op = take();
        if (op == QLatin1String("validate")) {
            QElapsedTimer timer;
            timer.start();
            const bool ok = ZDAuthorization::validateAdministrator(username, password);
            print("validate", ok);
            print("validate_ms", QString::number(timer.elapsed()));
        } else if (op == QLatin1String("start")) {
            QElapsedTimer timer;
            timer.start();
            print("start", auth.authStartWithUser(username, password));
            print("start_ms", QString::number(timer.elapsed()));
        } else if (op == QLatin1String("startgui")) {
            print("startgui", auth.authStart());
        } else if (op == QLatin1String("authorized")) {
            print("authorized", auth.isAuthorized());
        } else if (op == QLatin1String("end")) {
            auth.authEnd();
            print("end", true);
        } else if (op == QLatin1String("mkdir")) {
            print("mkdir", auth.authCreateDir(take()));
        } else if (op == QLatin1String("remove")) {
            print("remove", auth.authRemoveFile(take()));
        } else if (op == QLatin1String("trash")) {
            print("trash", auth.authTrashFile(take()));
        } else if (op == QLatin1String("trashcontents")) {
            print("trashcontents", auth.authTrashFolderContents(take()));
        } else if (op == QLatin1String("copy")) {
            const QString from = take();
            print("copy", auth.authCopyFile(from, take()));
        } else if (op == QLatin1String("move")) {
            const QString from = take();
            print("move", auth.authMoveFile(from, take()));
        } else if (op == QLatin1String("movecontents")) {
            const QString from = take();
            print("movecontents", auth.authMoveFolderContents(from, take()));
        } else if (op == QLatin1String("exec") || op == QLatin1String("execasync")) {
            const QString tool = take();
            const int count = take().toInt();
            QStringList parameters;
            for (int i = 0; i < count; ++i)
                parameters << take();
            const bool async = op == QLatin1String("execasync");
            print(async ? "execasync" : "exec", QString::number(int(auth.authExecTask(
                      tool, parameters, async ? ZDAuthorization::Launch::Detached : ZDAuthorization::Launch::Waited))));
        } else if (op == QLatin1String("waitfile")) {
            const QString path = take();
            QElapsedTimer timer;
            timer.start();
            while (!QFileInfo::exists(path) && timer.elapsed() < 30000)
                QThread::msleep(20);
            print("waitfile", QFileInfo::exists(path));
        } else {
            print("unknown", op);
            ++failures;
        }
    }
    password.fill(QChar(0));
    ZDLog::finishWriting();
    return failures;
}
