// Serves one folder over plain HTTP on loopback, so the demo's agents fetch software
// updates from a local feed instead of the maker's server:
//   kestra-demo-feed FOLDER     prints "Serving on http://127.0.0.1:PORT", then one line per request
// Only GET and HEAD of regular files inside FOLDER; it ends with its parent (the demo script).
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <csignal>
#include <sys/prctl.h>

namespace {
constexpr qsizetype kMaxHeadBytes = 8 * 1024;
constexpr qint64 kMaxFileBytes = qint64(256) * 1024 * 1024;
constexpr int kMaxClients = 32;
constexpr int kClientSeconds = 60;

void say(const QByteArray &line)
{
    std::fprintf(stdout, "%s\n", line.constData());
    std::fflush(stdout);
}

// The file a request path names, or empty when it is not a regular file inside the root.
QString fileFor(const QString &root, const QByteArray &target)
{
    const QString path = QUrl::fromPercentEncoding(target.split('?').value(0));
    if (!path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)) || path.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return {};
    const QFileInfo info(root + path);
    const QString canonical = info.canonicalFilePath();
    if (info.isSymLink() || !info.isFile() || !canonical.startsWith(root + QLatin1Char('/')))
        return {};
    return canonical;
}

QByteArray answer(const QString &root, const QByteArray &head, QByteArray *body)
{
    const QList<QByteArray> request = head.left(head.indexOf("\r\n")).split(' ');
    const QByteArray method = request.value(0);
    QByteArray status = "200 OK";
    qint64 length = 0;
    if (request.size() != 3 || !request[2].startsWith("HTTP/1.")) {
        status = "400 Bad Request";
    } else if (method != "GET" && method != "HEAD") {
        status = "405 Method Not Allowed";
    } else if (const QString file = fileFor(root, request[1]); file.isEmpty()) {
        status = "404 Not Found";
    } else if (QFile in(file); !in.open(QIODevice::ReadOnly) || in.size() > kMaxFileBytes) {
        status = "403 Forbidden";
    } else {
        length = in.size();
        if (method == "GET")
            *body = in.readAll();
    }
    QByteArray line = method.left(16) + ' ' + request.value(1).left(256) + ' ' + status.left(3);
    std::replace_if(line.begin(), line.end(), [](char c) { return c < 0x20 || c > 0x7e; }, '?');
    say(line);
    return "HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + QByteArray::number(length)
        + "\r\nConnection: close\r\n\r\n";
}

struct Client
{
    QByteArray head;
    bool answered = false;
};
} // namespace

int main(int argc, char **argv)
{
    // No server left behind when the demo ends in any way.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString root = args.size() == 1 ? QFileInfo(args[0]).canonicalFilePath() : QString();
    if (root.isEmpty() || !QFileInfo(root).isDir()) {
        std::fputs("usage: kestra-demo-feed FOLDER (an existing folder)\n", stderr);
        return 64;
    }
    QTcpServer server;
    server.setMaxPendingConnections(kMaxClients);
    if (!server.listen(QHostAddress::LocalHost)) {
        std::fprintf(stderr, "kestra-demo-feed: cannot listen on loopback: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    int clients = 0;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            if (clients >= kMaxClients) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            ++clients;
            QObject::connect(socket, &QObject::destroyed, &server, [&clients] { --clients; });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(std::chrono::seconds(kClientSeconds), socket, [socket] { socket->abort(), socket->deleteLater(); });
            auto client = std::make_shared<Client>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, client, &root] {
                if (client->answered)
                    return void(socket->readAll()); // the client is closing
                client->head += socket->read(kMaxHeadBytes + 1 - client->head.size());
                const qsizetype end = client->head.indexOf("\r\n\r\n");
                if (end < 0 && client->head.size() <= kMaxHeadBytes)
                    return;
                client->answered = true;
                QByteArray body;
                socket->write(end < 0 ? QByteArray("HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
                                                   "Connection: close\r\n\r\n")
                                      : answer(root, client->head.left(end + 2), &body));
                socket->write(body);
                socket->disconnectFromHost();
            });
        }
    });
    say("Serving on http://127.0.0.1:" + QByteArray::number(server.serverPort()));
    return app.exec();
}
