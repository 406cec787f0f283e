#include "log/ZDSystemLog.h"

#include <syslog.h>

void zdSystemLog(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    ::syslog(LOG_NOTICE, "%s", utf8.constData());
}
