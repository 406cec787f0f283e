#include "windows/ZDTroubleshooter.h"

#include "console/ZDTroubleshooting.h"

#include <QHBoxLayout>
#include <QImage>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QSplitter>

ZDTroubleshooter::ZDTroubleshooter(ServiceProvider allServices, QWidget *parent)
    : QWidget(parent, Qt::Window), m_allServices(std::move(allServices)), m_list(new QListWidget(this)),
      m_text(new QPlainTextEdit(this))
{
    setWindowTitle(tr("Connection Troubleshooter"));
    m_text->setReadOnly(true);
    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_list);
    splitter->addWidget(m_text);
    splitter->setStretchFactor(1, 2);
    auto *layout = new QHBoxLayout(this);
    layout->addWidget(splitter);
    resize(720, 440);
    connect(m_list, &QListWidget::currentRowChanged, this, &ZDTroubleshooter::updateTroubleshooterTextForRow);
}

QString ZDTroubleshooter::text() const
{
    return m_text->toPlainText();
}

void ZDTroubleshooter::populateConnectionTroubleshooterServices()
{
    m_services = m_allServices ? m_allServices() : QList<ZDServicePtr>();
    const QSignalBlocker block(m_list);
    m_list->clear();
    for (const ZDServicePtr &service : std::as_const(m_services)) {
        auto *item = new QListWidgetItem(service->name(), m_list);
        // A mark for the computers that need attention.
        if (!service->isConnected() || service->errorCode() != 0)
            item->setText(service->name() + QStringLiteral("  \u26a0"));
        const QByteArray png = service->icon();
        if (!png.isEmpty())
            item->setIcon(QPixmap::fromImage(QImage::fromData(png)));
    }
    m_list->setCurrentRow(m_services.isEmpty() ? -1 : 0);
    updateTroubleshooterTextForRow(m_list->currentRow());
}

void ZDTroubleshooter::showConnectionTroubleshooter()
{
    populateConnectionTroubleshooterServices();
    QList<ZDTroubleshooting::State> states;
    for (const ZDServicePtr &service : std::as_const(m_services))
        states << ZDTroubleshooting::State{service->isConnected(), service->errorCode()};
    const int row = ZDTroubleshooting::firstTroubledIndex(states);
    if (!m_services.isEmpty()) {
        m_list->setCurrentRow(row);
        if (row < 0) {
            m_list->clearSelection();
            m_text->clear();
        }
    }
    show();
    raise();
}

void ZDTroubleshooter::troubleshootConnection(const ZDServicePtr &service)
{
    populateConnectionTroubleshooterServices();
    const int row = int(m_services.indexOf(service));
    if (row >= 0)
        m_list->setCurrentRow(row);
    show();
    raise();
}

void ZDTroubleshooter::updateTroubleshooterTextForRow(int row)
{
    if (m_services.isEmpty()) {
        m_text->setPlainText(ZDTroubleshooting::textForNoService());
        return;
    }
    if (row < 0 || row >= m_services.size()) {
        m_text->clear();
        return;
    }
    const ZDServicePtr &service = m_services[row];
    m_text->setPlainText(ZDTroubleshooting::textForState({service->isConnected(), service->errorCode()}));
}
