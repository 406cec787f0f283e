#include "windows/ZDTroubleshooter.h"

#include "console/ZDTroubleshooting.h"

#include "ZDBackground.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QImage>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QSplitter>

#include <algorithm>

ZDTroubleshooter::ZDTroubleshooter(ServiceProvider allServices, QWidget *parent)
    : QWidget(parent, Qt::Window), m_allServices(std::move(allServices)), m_list(new QListWidget(this)),
      m_text(new QPlainTextEdit(this)), m_retry(new QPushButton(tr("Retry"), this))
{
    setWindowTitle(tr("Connection Troubleshooter"));
    m_text->setReadOnly(true);
    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_list);
    splitter->addWidget(m_text);
    splitter->setStretchFactor(1, 2);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(splitter);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_retry);
    layout->addLayout(buttons);
    connect(m_retry, &QPushButton::clicked, this, &ZDTroubleshooter::retry);
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
        states << ZDTroubleshooting::State{service->isConnected(), service->errorCode(), service->isManual()};
    const int row = ZDTroubleshooting::firstTroubledIndex(states);
    if (!m_services.isEmpty()) {
        m_list->setCurrentRow(row);
        if (row < 0) {
            m_list->clearSelection();
            m_text->clear();
        }
    }
    showOnScreen();
}

void ZDTroubleshooter::troubleshootConnection(const ZDServicePtr &service)
{
    populateConnectionTroubleshooterServices();
    const int row = int(m_services.indexOf(service));
    if (row >= 0)
        m_list->setCurrentRow(row);
    showOnScreen();
}

void ZDTroubleshooter::showOnScreen()
{
    const bool placed = isVisible();
    show();
    raise();
    if (placed)
        return;
    const QWidget *anchor = parentWidget() ? parentWidget()->window() : nullptr;
    QScreen *screen = anchor && anchor->screen() ? anchor->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // Placed once shown, when its frame is known: centred on its parent, wholly on that screen.
    const QRect area = screen->availableGeometry();
    const QSize margins = frameGeometry().size() - geometry().size();
    resize(size().boundedTo(area.size() - margins));
    QRect frame = frameGeometry();
    frame.moveCenter(anchor && anchor->isVisible() ? anchor->frameGeometry().center() : area.center());
    frame.moveLeft(std::clamp(frame.left(), area.left(), area.right() - frame.width() + 1));
    frame.moveTop(std::clamp(frame.top(), area.top(), area.bottom() - frame.height() + 1));
    move(frame.topLeft());
}

void ZDTroubleshooter::retry()
{
    const int row = m_list->currentRow();
    if (row < 0 || row >= m_services.size())
        return;
    const ZDServicePtr service = m_services[row];
    m_text->setPlainText(tr("Connecting to %1...").arg(service->name()));
    connect(service.get(), &ZDService::serviceConnected, this, &ZDTroubleshooter::populateConnectionTroubleshooterServices,
            Qt::SingleShotConnection);
    // Connecting may wait for the old connection thread: never on the GUI thread.
    ZDBackground::run<bool>(this, [service] { service->connectOnThread(); return true; }, [](bool) {});
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
    m_text->setPlainText(ZDTroubleshooting::textForState({service->isConnected(), service->errorCode(), service->isManual()}));
}
