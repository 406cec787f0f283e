// A peer in a process of its own, for tests that kill or freeze it. Serves
// "ping", "echo:" and "block" (prints "blocking", never returns) on 127.0.0.1,
// prints its port, and ends when its standard input closes.
#include "ZDConnectionServer.h"
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    auto root = ZDRemoteObject::create();
    root->addOperation(QStringLiteral("ping"), [](const QVariantList &) { return QVariant(); });
    root->addOperation(QStringLiteral("echo:"), [](const QVariantList &args) { return args.first(); });
    root->addOperation(QStringLiteral("block"), [](const QVariantList &) {
        std::printf("blocking\n");
        std::fflush(stdout);
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
        return QVariant();
    });
    ZDConnectionServer server;
    server.setRootObject(root);
    server.setRegisteredName(QStringLiteral("wire-peer"));
    QString error;
    if (!server.listen(QStringLiteral("127.0.0.1"), 0, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("%u\n", unsigned(server.port()));
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}
