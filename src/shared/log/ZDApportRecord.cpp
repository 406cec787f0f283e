#include "log/ZDApportRecord.h"

#include <QFileInfo>
#include <QLocale>

namespace ZDApportRecord {

Record parse(const QByteArray &text, const QDateTime &fallback)
{
    Record r;
    QString date;
    bool inTop = false;
    for (const QString &line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char(' '))) {
            // "func (args) from /lib/libfoo.so" -> "/lib/libfoo.so(func)", as the crash handler writes frames.
            const QString frame = line.trimmed();
            const QString module = frame.section(QStringLiteral(" from "), 1).trimmed();
            if (inTop)
                r.frames << (module.isEmpty() ? frame : module + QLatin1Char('(') + frame.section(QLatin1Char(' '), 0, 0) + QLatin1Char(')'));
            continue;
        }
        inTop = line.startsWith(QStringLiteral("StacktraceTop:"));
        if (line.startsWith(QStringLiteral("ExecutablePath:")))
            r.executable = line.section(QLatin1Char(':'), 1).trimmed();
        else if (line.startsWith(QStringLiteral("ProcPid:")) || line.startsWith(QStringLiteral("Pid:")))
            r.pid = line.section(QLatin1Char(':'), 1).trimmed();
        else if (line.startsWith(QStringLiteral("Signal:")))
            r.signal = line.section(QLatin1Char(':'), 1).trimmed().toInt();
        else if (line.startsWith(QStringLiteral("Date:")))
            date = line.section(QLatin1Char(':'), 1).trimmed();
    }
    r.when = QLocale::c().toDateTime(date.simplified(), QStringLiteral("ddd MMM d HH:mm:ss yyyy"));
    if (!r.when.isValid())
        r.when = fallback;
    return r;
}

QString reportName(const QString &executable, const QDateTime &when)
{
    return QFileInfo(executable).fileName() + QLatin1Char('_') + when.toUTC().toString(QStringLiteral("yyyy-MM-dd-HHmmss"))
           + QStringLiteral(".crash");
}

} // namespace ZDApportRecord
