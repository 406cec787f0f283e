#pragma once

#include <QString>

#include <functional>

// The agent's optional modules live in its application folder's PlugIns, never on a
// search path: a module is loaded with the agent's rights.
namespace ZDPlugIns {
QString path(const QString &fileName);
// Loads the module (kept loaded: what it registers cannot be unloaded safely) and
// resolves its entry point; null with the reason in error.
QFunctionPointer entry(const QString &fileName, const char *name, QString *error);
}
