#include "computers/ZDComputerInfoPanel.h"

#include "dispatch/ZDAgentCalls.h"
#include "ZDBackground.h"
#include "console/ZDComputerInfo.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "fleet/ZDLargeIconCache.h"
#include "log/ZDLog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QVBoxLayout>

ZDComputerInfoPanel::ZDComputerInfoPanel(ZDDispatcher *dispatcher, QWidget *parent)
    : QWidget(parent, Qt::Window), m_dispatcher(dispatcher), m_icon(new QLabel(this)), m_name(new QLabel(this)),
      m_host(new QLabel(this)), m_address(new QLabel(this)), m_state(new QLabel(this)),
      m_text(new QPlainTextEdit(this)), m_spinner(new QProgressBar(this))
{
    m_icon->setFixedSize(48, 48);
    QFont bold = m_name->font();
    bold.setBold(true);
    m_name->setFont(bold);
    m_state->setWordWrap(true);
    m_text->setReadOnly(true);
    m_spinner->setRange(0, 0);
    m_spinner->setMaximumHeight(8);
    m_spinner->setTextVisible(false);
    m_spinner->hide();
    for (QLabel *label : {m_name, m_host, m_address, m_state}) {
        label->setTextFormat(Qt::PlainText); // names from the network
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }

    auto *form = new QFormLayout;
    form->addRow(m_name);
    form->addRow(tr("Host:"), m_host);
    form->addRow(tr("Address:"), m_address);
    form->addRow(tr("State:"), m_state);
    auto *head = new QHBoxLayout;
    head->addWidget(m_icon, 0, Qt::AlignTop);
    head->addLayout(form, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(head);
    layout->addWidget(m_spinner);
    layout->addWidget(m_text, 1);
    resize(460, 420);
}

QString ZDComputerInfoPanel::name() const { return m_name->text(); }
QString ZDComputerInfoPanel::address() const { return m_address->text(); }
QString ZDComputerInfoPanel::host() const { return m_host->text(); }
QString ZDComputerInfoPanel::state() const { return m_state->text(); }
QString ZDComputerInfoPanel::text() const { return m_text->toPlainText(); }
bool ZDComputerInfoPanel::isLoading() const { return m_spinner->isVisible(); }
bool ZDComputerInfoPanel::hasLargeIcon() const { return !m_icon->pixmap().isNull(); }

void ZDComputerInfoPanel::showInfo(const ZDServicePtr &service)
{
    m_service = service;
    const quint64 generation = ++m_generation;
    m_text->clear();
    if (!service) {
        hide();
        return;
    }
    setWindowTitle(ZDComputerInfo::title(service->name()));
    m_name->setText(service->name());
    m_host->setText(ZDErrorCallback::friendlyServiceName(service->hostName()));
    m_address->setText(ZDComputerInfo::addressText(service->ipAddress(), service->port()));
    m_state->setText(ZDComputerInfo::stateText(service->isConnected(), service->errorCode()));
    QPixmap icon;
    const QByteArray png = service->icon();
    if (!png.isEmpty())
        icon = QPixmap::fromImage(QImage::fromData(png).scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    m_icon->setPixmap(icon);
    show();
    raise();
    m_spinner->show();
    fetchLargeServiceIcon(service, generation);

    const QString versions = ZDComputerInfo::versionText(service->configDict());
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDBackground::run<QVariant>(
        this,
        [dispatcher, service] {
            return ZDAgentCalls(dispatcher).systemSpecs(service);
        },
        [this, generation, versions](const QVariant &specs) {
            if (generation != m_generation)
                return; // another computer was asked for meanwhile
            m_spinner->hide();
            m_text->setPlainText(versions + ZDComputerInfo::specsText(specs));
            m_text->moveCursor(QTextCursor::Start);
            Q_EMIT infoLoaded();
        });
}

void ZDComputerInfoPanel::fetchLargeServiceIcon(const ZDServicePtr &service, quint64 generation)
{
    ZDDispatcher *dispatcher = m_dispatcher;
    const QString cachePath = m_iconCachePath;
    ZDBackground::run<QByteArray>(
        this,
        [dispatcher, service, cachePath] {
            const ZDLargeIconCache cache(cachePath);
            // A computer entered by hand may not know its host name: its address stands in.
            const QString host = service->hostName().isEmpty()
                                     ? ZDComputerInfo::addressText(service->ipAddress(), service->port())
                                     : service->hostName();
            ZDLog::appendLog(QStringLiteral("Getting cached large icon for service %@..."), service->name());
            QByteArray data = cache.cachedIcon(host);
            if (!data.isEmpty() || !dispatcher)
                return data;
            ZDLog::appendLog(QStringLiteral("Getting remote large icon for service %@..."), service->name());
            const QVariant answer =
                ZDAgentCalls(dispatcher).computerIcon(ZDLargeIconCache::kIconSide, ZDLargeIconCache::kIconSide, service);
            if (answer.typeId() != QMetaType::QByteArray || !cache.storeIcon(host, answer.toByteArray()))
                return QByteArray();
            return cache.cachedIcon(host);
        },
        [this, generation](const QByteArray &data) {
            if (generation != m_generation)
                return;
            const QImage image = QImage::fromData(data);
            if (!image.isNull())
                m_icon->setPixmap(QPixmap::fromImage(image));
            Q_EMIT largeIconLoaded();
        });
}
