#pragma once
// The agent of this user's own session: same user, same executable, same session bus.
// Other users' agents (and other sessions' of ours) are never touched.
#include <QList>
#include <QString>

namespace ZDPaneAgentProcess {

// The agent's executable inside its application folder; empty when none is found.
QString agentExecutable();
QList<qint64> ownAgentProcesses(const QString &executable);
// SIGTERM to each of ownAgentProcesses; how many were asked to quit.
int terminateOwnAgents(const QString &executable);
bool startAgent(const QString &executable);

} // namespace ZDPaneAgentProcess
