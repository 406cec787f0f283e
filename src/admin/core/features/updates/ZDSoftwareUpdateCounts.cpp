#include "features/updates/ZDSoftwareUpdateCounts.h"

#include "dispatch/ZDAgentCalls.h"
#include "dispatch/ZDBackgroundPool.h"
#include "fleet/ZDDiscovery.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "process/ZDThreads.h"

#include <QFont>
#include <QPainter>

ZDSoftwareUpdateCounts::ZDSoftwareUpdateCounts(QObject *parent) : QObject(parent) {}

QString ZDSoftwareUpdateCounts::keyFor(const ZDServicePtr &service)
{
    return ZDDispatcher::answerKey(service);
}

void ZDSoftwareUpdateCounts::setNuvellCount(qint64 count, const QString &host)
{
    ZDThreads::runOn(this, [this, count, host] { apply(count, host); });
}

void ZDSoftwareUpdateCounts::apply(qint64 count, const QString &host)
{
    if (host.isEmpty())
        return;
    const qint64 before = m_total;
    if (count > 0 && (m_counts.contains(host) || m_counts.size() < kMaxHosts))
        m_counts.insert(host, qMin(count, kMaxCount));
    else
        m_counts.remove(host);
    m_total = 0;
    for (const qint64 n : std::as_const(m_counts))
        m_total += n;
    if (m_total != before)
        Q_EMIT totalChanged(m_total);
}

void ZDSoftwareUpdateCounts::followAgents(ZDErrorCallback *callback)
{
    // The record's own name: the one an agent gives is only checked against it.
    connect(callback, &ZDErrorCallback::serviceNuvellCount, this,
            [this](const ZDServicePtr &service, qint64 count) { setNuvellCount(count, keyFor(service)); });
}

void ZDSoftwareUpdateCounts::followRecords(ZDDiscovery *discovery, ZDDispatcher *dispatcher)
{
    connect(discovery, &ZDDiscovery::serviceAdded, this,
            [this, dispatcher](const ZDServicePtr &service) { watch(service, dispatcher); });
    connect(discovery, &ZDDiscovery::serviceRemoved, this, [this](const ZDServicePtr &service) {
        QObject::disconnect(service.get(), nullptr, this, nullptr);
        setNuvellCount(0, keyFor(service));
    });
    for (const ZDServicePtr &service : discovery->allServices())
        watch(service, dispatcher);
}

void ZDSoftwareUpdateCounts::watch(const ZDServicePtr &service, ZDDispatcher *dispatcher)
{
    if (!service)
        return;
    const std::weak_ptr<ZDService> weak = service;
    connect(service.get(), &ZDService::updateCountReceived, this, [this, weak](int count, const QString &) {
        if (const ZDServicePtr s = weak.lock())
            setNuvellCount(count, keyFor(s));
    });
    connect(service.get(), &ZDService::updateCountRefreshRequested, this, [dispatcher, weak] {
        // The agent answers through its callback (followAgents).
        ZDBackgroundPool::start([dispatcher, weak] {
            if (const ZDServicePtr s = weak.lock())
                ZDAgentCalls(dispatcher).fetchNuvellAvailableUpdateCount(s);
        });
    });
}

QImage ZDSoftwareUpdateCounts::badgedIcon(qint64 total)
{
    QImage image = QImage(QString::fromLatin1(kIconPath))
                       .scaled(kIconSize, kIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                       .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (total < 1)
        return image;
    const QString text = total > 999 ? QStringLiteral("999+") : QString::number(total);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(kIconSize / 4);
    painter.setFont(font);
    const int height = kIconSize * 3 / 8;
    const int width = qMax(height, painter.fontMetrics().horizontalAdvance(text) + height / 2);
    const QRectF badge(kIconSize - width - 2, 2, width, height);
    painter.setPen(QPen(Qt::white, 3));
    painter.setBrush(QColor(220, 40, 40));
    painter.drawRoundedRect(badge, height / 2.0, height / 2.0);
    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, text);
    return image;
}
