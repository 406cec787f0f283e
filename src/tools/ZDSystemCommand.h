#pragma once
// The system programs the tools drive (cache builders, systemctl, coredumpctl) and the
// link-free emptying of cache folders. A program is looked up on PATH; with rights only
// where root alone can change it and every folder above it, so a user-writable folder
// on PATH never runs as root.
#include <QString>
#include <QStringList>

namespace ZDSystemCommand {

struct Result
{
    bool found = false;   // false: no such program (output says which)
    bool ok = false;      // ran and exited 0
    int exitCode = -1;
    QString output;       // standard output, bounded
    QString error;        // standard error or why it did not run, bounded
    QString commandLine;  // as shown to an administrator
};

// The program's absolute path, or empty.
QString find(const QString &program);
// Runs it to its end, at most timeoutMs (then killed); output bounded to maxOutput bytes.
Result run(const QString &program, const QStringList &arguments, int timeoutMs = 120000,
           qsizetype maxOutput = 4 * 1024 * 1024);

// Empties `relative` below `trustedBase` (and removes it when `removeItself`): every
// folder opened from the one above without following links, links themselves deleted,
// never what they point to, nothing on another file system touched. True when it is
// gone or never was; *why says what stopped it.
bool removeBeneath(const QString &trustedBase, const QString &relative, bool removeItself, QString *why);

} // namespace ZDSystemCommand
