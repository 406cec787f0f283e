#include "rpc/ZDRemoteError.h"

#include <utility>

ZDRemoteError::ZDRemoteError(QString domain, qint64 code, QVariantMap userInfo)
    : m_domain(std::move(domain))
    , m_code(code)
    , m_userInfo(std::move(userInfo))
{
}

QString ZDRemoteError::localizedDescription() const
{
    const QVariant text = m_userInfo.value(QStringLiteral("NSLocalizedDescription"));
    if (text.metaType().id() == QMetaType::QString)
        return text.toString();
    return QStringLiteral("The operation couldn't be completed. (%1 error %2.)").arg(m_domain).arg(m_code);
}
