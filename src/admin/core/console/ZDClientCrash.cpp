#include "console/ZDClientCrash.h"

#include "dispatch/ZDAgentCalls.h"
#include "dispatch/ZDBackgroundPool.h"
#include "fleet/ZDDiscovery.h"
#include "dispatch/ZDDispatcher.h"
#include "log/ZDFennick.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "console/ZDRemoteLogText.h"
#include "process/ZDThreads.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTemporaryFile>

namespace {

// The saved copy of the report, or empty when there is nothing to open.
QString saveReport(ZDDispatcher *dispatcher, const QTemporaryDir &folder, const ZDServicePtr &service,
                   const QString &logName)
{
    if (!folder.isValid())
        return {};
    const QVariant answer = ZDAgentCalls(dispatcher).logWithFilename(logName, service);
    if (answer.typeId() != QMetaType::QString || answer.toString().isEmpty()
        || answer.toString().size() > ZDClientCrash::kMaxReportCharacters)
        return {};
    QTemporaryFile file(folder.filePath(QStringLiteral("XXXXXX.crash")));
    file.setAutoRemove(false);
    const QByteArray data = answer.toString().toUtf8();
    if (!file.open() || file.write(data) != data.size() || !file.flush()) {
        file.remove();
        return {};
    }
    return file.fileName();
}

} // namespace

ZDClientCrash::ZDClientCrash(ZDDiscovery *discovery, ZDDispatcher *dispatcher, QObject *parent)
    : QObject(parent),
      m_dispatcher(dispatcher),
      m_folder(std::make_shared<QTemporaryDir>(ZDLocalPaths::tempDirectory() + QStringLiteral("/KestraCrash-XXXXXX")))
{
    connect(discovery, &ZDDiscovery::serviceAdded, this, &ZDClientCrash::watch);
    // Reports arrive as queued signals: records added before now have not sent theirs yet.
    for (const ZDServicePtr &service : discovery->allServices())
        watch(service);
}

void ZDClientCrash::watch(const ZDServicePtr &service)
{
    if (service)
        connect(service.get(), &ZDService::crashLogReceived, this, &ZDClientCrash::crashLogReceived,
                Qt::UniqueConnection);
}

void ZDClientCrash::crashLogReceived(ZDService *service, const QString &logName)
{
    const ZDServicePtr record = service ? service->weak_from_this().lock() : nullptr;
    if (!record || !ZDRemoteLogText::isUsableName(logName)) {
        ZDLog::appendLog(QStringLiteral("Ignoring an unusable crash log name from a client."));
        return;
    }
    ZDLog::appendLog(QStringLiteral("Client %@ crashed on its last launch: %@"), record->name(), logName);
    // The configuration can come before the link counts as connected, and a call on a
    // record not yet connected would start a second connection: pass it on once connected.
    if (record->isConnected()) {
        Q_EMIT crashReported(record, record->name(), logName);
        return;
    }
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(service, &ZDService::serviceConnected, this, [this, once, logName](ZDService *connected) {
        QObject::disconnect(*once);
        if (const ZDServicePtr ready = connected->weak_from_this().lock())
            Q_EMIT crashReported(ready, ready->name(), logName);
    });
}

void ZDClientCrash::openReport(const ZDServicePtr &service, const QString &logName)
{
    if (!service || !m_dispatcher)
        return;
    QPointer<ZDClientCrash> self(this);
    ZDBackgroundPool::start([self, dispatcher = m_dispatcher, folder = m_folder, service, logName] {
        const QString computer = service->name();
        QString file = saveReport(dispatcher, *folder, service, logName);
        if (!file.isEmpty() && !ZDFennick::openRemoteReport(computer, file)) {
            QFile::remove(file);
            file.clear();
        }
        if (file.isEmpty())
            ZDLog::appendLog(QStringLiteral("Unable to open the crash log of %@"), computer);
        // The application outlives this object; the pointer is checked where it is deleted.
        ZDThreads::post(QCoreApplication::instance(), [self, computer, file] {
            if (!self)
                return;
            if (file.isEmpty())
                Q_EMIT self->reportFailed(computer);
            else
                Q_EMIT self->reportOpened(computer, file);
        });
    });
}
