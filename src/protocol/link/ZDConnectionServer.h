#pragma once
// Listens on an address and port and vends a root object under a registered
// name. Every accepted link gets a connection of its own; with the default
// options each incoming call runs on a worker thread, so calls from several
// peers, and several calls of one peer, run at the same time.
#include "link/ZDConnection.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

class ZDConnectionServer
{
public:
    explicit ZDConnectionServer(ZDConnectionOptions options = defaultOptions());
    ~ZDConnectionServer();
    ZDConnectionServer(const ZDConnectionServer &) = delete;
    ZDConnectionServer &operator=(const ZDConnectionServer &) = delete;

    static ZDConnectionOptions defaultOptions();

    void setRootObject(ZDRemoteObjectPtr root);
    void setRegisteredName(const QString &name);
    QString registeredName() const;
    // Called on the accepting thread for every new connection.
    void setNewConnectionHandler(std::function<void(const std::shared_ptr<ZDConnection> &)> handler);
    // Called once, on the accepting thread, when the listening socket fails (an
    // accept error other than a peer giving up, or the socket reporting an error
    // or hang-up). Accepting has stopped then; established connections go on.
    void setListenFailedHandler(std::function<void(const QString &reason)> handler);

    // address: empty for every address (IPv6 and IPv4), else one IPv4 or IPv6
    // address; port 0 lets the system choose. The address is reusable at once.
    bool listen(const QString &address, quint16 port, QString *error = nullptr, int backlog = 10);
    quint16 port() const;
    bool isListening() const;
    // Stops listening and closes every connection.
    void close();
    QList<std::shared_ptr<ZDConnection>> connections() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};
