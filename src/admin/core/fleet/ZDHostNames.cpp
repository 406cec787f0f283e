#include "fleet/ZDHostNames.h"

namespace {

QString bare(const QString &host)
{
    QString h = ZDHostNames::display(host).toLower();
    if (h.endsWith(QLatin1String(".local")))
        h.chop(6);
    return h;
}

} // namespace

QString ZDHostNames::display(QString host)
{
    while (host.endsWith(u'.'))
        host.chop(1);
    return host;
}

bool ZDHostNames::sameHost(const QString &a, const QString &b)
{
    const QString x = bare(a);
    return !x.isEmpty() && x == bare(b);
}

bool ZDHostNames::names(const ZDServicePtr &service, const QString &given)
{
    if (!service || given.isEmpty())
        return false;
    if (service->name() == given || sameHost(service->hostName(), given))
        return true;
    const QString address = service->isManual() ? service->manualIP() : service->ipAddress();
    return QStringLiteral("%1:%2").arg(address).arg(service->port()) == given;
}
