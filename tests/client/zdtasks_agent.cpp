// The agent's task operations in a process of their own, for tests that need
// them to run as another (non-root) user. Listens on 127.0.0.1, prints
// "port=<port>" once ready, and ends when its standard input closes.
#include "ZDCallbackRegistry.h"
#include "ZDClientTasks.h"
#include "ZDConnectionServer.h"
#include "ZDLog.h"
#include "ZDNotificationCenter.h"
#include "ZDOrvContract.h"
#include "ZDOrvProtocol.h"

#include <QApplication>
#include <QSocketNotifier>

#include <cstdio>

#include <unistd.h>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ZDLog::createNewLog(QStringLiteral("zdtasks_agent"));
    ZDNotificationCenter center;
    ZDCallbackRegistry registry([] { return QStringLiteral("Tasks-Agent.local."); });
    ZDClientTasks tasks(registry, &center);
    tasks.populateZDApps();
    auto root = ZDRemoteObject::create();
    root->setContract(ZDOrv::Side::Agent, [](const char *op, const std::function<QVariant()> &body) {
        return ZDClientTasks::guarded(op, body, {});
    });
    tasks.addOperations(*root);
    root->addOperation(QString::fromLatin1(ZDOrv::kSetErrorCallback), [&registry](const QVariantList &args) {
        registry.setErrorCallback(ZDRemoteProxy::fromVariant(args.value(0)));
        return QVariant();
    });
    ZDConnectionServer server;
    server.setRootObject(root);
    QString error;
    if (!server.listen(QStringLiteral("127.0.0.1"), 0, &error)) {
        std::fprintf(stderr, "listen: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("port=%u\n", unsigned(server.port()));
    std::fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&app] {
        char buffer[64];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            app.quit();
    });
    const int status = app.exec();
    server.close();
    ZDLog::finishWriting();
    return status;
}
