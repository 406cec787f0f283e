#pragma once
// The three ways to an agent, tried in order until one yields a proxy that
// answers: by registered name (the agent's hello must carry it), by host and
// port, then every alternate address (IPv4 and IPv6). No thread waits while a
// peer is silent: the socket and the handshake wait in the wire's own threads,
// and each step after them runs through the caller's post. The agent's calls on
// the connection run on the target's serving thread.
#include "link/ZDConnection.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class ZDServiceConnector
{
public:
    ZDServiceConnector() = delete;

    struct Target
    {
        bool manual = false;
        QString manualIP;
        QString dottedHost;     // host name with its final "."; may be empty
        QStringList addresses;  // resolved addresses of a DNS-SD computer
        quint16 port = 0;
        QString registeredName; // empty: no first stage
        // Where the agent's key is pinned; always over TLS.
        QString pinKey;
        // Where the agent's calls to this console run; the connecting thread when null.
        QThread *servingThread = nullptr;
    };
    struct Result
    {
        std::shared_ptr<ZDConnection> connection;
        ZDRemoteProxyPtr proxy;
        // The agent showed another key than its pin: no further attempt was made.
        bool certificateChanged = false;
        QString error;
        bool isValid() const { return proxy && connection && connection->isValid(); }
    };

    // stopped() is asked between attempts; adopt() sees every new link before it is
    // probed and may refuse it (the caller is stopping). post runs a step on a
    // thread that may wait for a round trip; done runs once, through it. The
    // first step runs on the calling thread. Never throws.
    using Post = std::function<void(std::function<void()>)>;
    static void connect(const Target &target, std::function<bool()> stopped,
                        std::function<bool(const std::shared_ptr<ZDConnection> &)> adopt, Post post,
                        std::function<void(Result)> done);
};
