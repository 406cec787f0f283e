#pragma once
// The three ways to an agent, tried in order until one yields a proxy that
// answers: by registered name (the agent's hello must carry it), by host and
// port, then every alternate address (IPv4 and IPv6). Runs on the calling
// thread; the agent's calls on the connection run on the target's serving thread.
#include "link/ZDConnection.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

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
    // probed and may refuse it (the caller is stopping). Never throws.
    static Result connect(const Target &target, const std::function<bool()> &stopped,
                          const std::function<bool(const std::shared_ptr<ZDConnection> &)> &adopt);
};
