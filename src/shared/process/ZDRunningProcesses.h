#pragma once
// This user's processes whose executable is exactly a given file (read from
// /proc/<pid>/exe), the way "running" is told apart from "installed".
#include <QList>
#include <QString>

namespace ZDRunningProcesses {
inline constexpr int kMaxProcesses = 100000;
// executable: a canonical path.
QList<int> ofExecutable(const QString &executable);
} // namespace ZDRunningProcesses
