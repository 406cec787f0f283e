#pragma once
// A loopback port nobody listens on right now.
#include <QTcpServer>

namespace zdtest {

inline quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace zdtest
