// The update addresses' policy, on QtCore alone: the agent's download module builds it in.
#include "trust/ZDUpdateSignature.h"

#include <QRegularExpression>

namespace ZDUpdateSignature {

bool isAllowedURL(const QUrl &url, bool plainHTTP)
{
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    if (url.scheme() == QLatin1String("https"))
        return true;
    static const QRegularExpression loopback(QStringLiteral("^(127\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}|::1|localhost)$"));
    return url.scheme() == QLatin1String("http") && (plainHTTP || loopback.match(url.host()).hasMatch());
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    const auto port = [](const QUrl &u) { return u.port(u.scheme() == QLatin1String("https") ? 443 : 80); };
    return a.isValid() && b.isValid() && a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
        && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}
} // namespace ZDUpdateSignature
