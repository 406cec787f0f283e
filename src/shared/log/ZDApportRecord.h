#pragma once
// apport's crash records ("Key: value" lines, continuation lines starting with a
// space): what the consolidation converts, and the name its converted report takes,
// so that the agent lists one crash once.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace ZDApportRecord {

struct Record
{
    QString executable; // ExecutablePath; empty: not a crash record we can use
    QString pid;
    QDateTime when; // Date (local time), else the fallback
    int signal = 0;
    QStringList frames; // StacktraceTop as "/lib/libfoo.so(func)"
};

Record parse(const QByteArray &text, const QDateTime &fallback);
// "<program>_<UTC yyyy-MM-dd-HHmmss>.crash"
QString reportName(const QString &executable, const QDateTime &when);

} // namespace ZDApportRecord
