#pragma once

#include <QString>

// The agent's optional modules live in its application folder's PlugIns, never on a
// search path: a module is loaded with the agent's rights.
namespace ZDPlugIns {
QString path(const QString &fileName);
}
