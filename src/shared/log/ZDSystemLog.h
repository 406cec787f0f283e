#pragma once
#include <QString>

// One line to the system log (syslog, ident = the program's name).
// Some failures are reported there rather than in the program's own log.
void zdSystemLog(const QString &text);
