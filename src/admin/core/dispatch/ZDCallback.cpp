#include "dispatch/ZDCallback.h"

#include "rpc/ZDLinkException.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "process/ZDThreads.h"

#include <QMutexLocker>

#include <mutex>
#include <shared_mutex>

// Connections may keep the remote object after this one is gone.
struct ZDCallback::Guard
{
    std::shared_mutex mutex;
    ZDCallback *self = nullptr;
};

ZDCallback::ZDCallback(const QString &name, const QString &hostname, QObject *parent)
    : QObject(parent)
    , m_guard(std::make_shared<Guard>())
    , m_name(name)
    , m_hostname(hostname)
    , m_remote(ZDRemoteObject::create())
{
    m_guard->self = this;
    m_remote->setContract(ZDOrv::Side::TaskCallback);
    m_remote->serve(ZDOrv::kPostCallback, [guard = m_guard](const QVariantList &args) -> QVariant {
        std::shared_lock lock(guard->mutex);
        if (guard->self && !guard->self->postCallback(args[0].toMap()))
            throw ZDLinkException::invalid(QStringLiteral("postCallback: unusable information"));
        return QVariant();
    });
}

ZDCallback::~ZDCallback()
{
    std::unique_lock lock(m_guard->mutex);
    m_guard->self = nullptr;
}

QVariantMap ZDCallback::info() const
{
    QMutexLocker lock(&m_mutex);
    return m_info;
}

QString ZDCallback::output() const
{
    const QVariant v = info().value(QLatin1String(kOutput));
    return v.metaType().id() == QMetaType::QString ? v.toString() : QString();
}

bool ZDCallback::reportsRefusedAuthorization() const
{
    return reportsRefusedAuthorization(output());
}

bool ZDCallback::reportsRefusedAuthorization(const QString &output)
{
    return output.contains(QLatin1String("Unable to authorize"), Qt::CaseInsensitive)
        || output.contains(QLatin1String("Cannot authorize"), Qt::CaseInsensitive);
}

bool ZDCallback::postCallback(const QVariantMap &info)
{
    ZDLog::appendLog(QStringLiteral("Callback received"));
    const QVariant output = info.value(QLatin1String(kOutput));
    if (info.contains(QLatin1String(kOutput))
        && (output.metaType().id() != QMetaType::QString || output.toString().size() > kMaxOutputLength)) {
        ZDLog::appendLog(QStringLiteral("Callback %@ ignored: unusable output."), m_name);
        return false;
    }
    {
        QMutexLocker lock(&m_mutex);
        m_info = info;
    }
    ZDThreads::post(this, [this] { Q_EMIT objectDidPostCallback(this); });
    return true;
}
