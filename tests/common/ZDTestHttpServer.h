#pragma once
// An HTTP server on loopback that answers every request as told and keeps the last one.
#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

class ZDTestHttpServer : public QTcpServer
{
public:
    QByteArray status = "200 OK";
    QByteArray answer = "OK";
    QByteArray requestHead;
    QByteArray requestBody;
    int requests = 0;
    // When set, files by request path (others: 404), and whether answers say their length.
    QHash<QByteArray, QByteArray> files;
    bool sendLength = true;
    ZDTestHttpServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                    *buffer += socket->readAll();
                    const qsizetype end = buffer->indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    const QByteArray head = buffer->left(end);
                    const qsizetype length = header(head, "Content-Length").toLongLong();
                    if (buffer->size() < end + 4 + length)
                        return;
                    requestHead = head;
                    requestBody = buffer->mid(end + 4, length);
                    ++requests;
                    const QByteArray path = head.split(' ').value(1);
                    const bool found = files.isEmpty() || files.contains(path);
                    const QByteArray body = files.isEmpty() ? answer : files.value(path);
                    socket->write("HTTP/1.1 " + (found ? status : QByteArray("404 Not Found"))
                                  + "\r\nContent-Type: text/plain\r\n"
                                  + (sendLength ? "Content-Length: " + QByteArray::number(body.size()) + "\r\n" : QByteArray())
                                  + "Connection: close\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
            }
        });
    }
    QByteArray header(const QByteArray &name) const { return header(requestHead, name); }

private:
    static QByteArray header(const QByteArray &head, const QByteArray &name)
    {
        for (const QByteArray &line : head.split('\n')) {
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        }
        return {};
    }
};
