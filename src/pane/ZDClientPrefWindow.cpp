#include "ZDClientPrefWindow.h"

#include "Orvelle_Network_ClientPref.h"
#include "ZDSwitch.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {
QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}
} // namespace

ZDClientPrefWindow::ZDClientPrefWindow(Orvelle_Network_ClientPref *controller, QWidget *parent)
    : QWidget(parent), m_controller(controller)
{
    setWindowTitle(tr("Kestra Client"));
    auto *layout = new QVBoxLayout(this);

    auto *top = new QHBoxLayout;
    auto *offLabel = plainLabel(tr("OFF"), this);
    auto *onLabel = plainLabel(tr("ON"), this);
    for (QLabel *caption : {offLabel, onLabel}) {
        caption->setAutoFillBackground(true);
        caption->setBackgroundRole(QPalette::Midlight);
        caption->setMargin(3);
    }
    m_switch = new ZDSwitch(this);
    m_switch->setObjectName(QStringLiteral("masterSwitch"));
    m_version = plainLabel(m_controller->versionText(), this);
    top->addWidget(offLabel);
    top->addWidget(m_switch);
    top->addWidget(onLabel);
    top->addStretch();
    top->addWidget(m_version);
    layout->addLayout(top);

    auto *statusRow = new QHBoxLayout;
    m_status = plainLabel(QString(), this);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_spinner = new QProgressBar(this);
    m_spinner->setRange(0, 0);
    m_spinner->setMaximumWidth(60);
    m_spinner->setTextVisible(false);
    m_spinner->hide();
    statusRow->addWidget(m_status, 1);
    statusRow->addWidget(m_spinner);
    layout->addLayout(statusRow);

    auto *general = new QGroupBox(tr("General"), this);
    auto *generalLayout = new QVBoxLayout(general);
    m_autoUpdate = new QCheckBox(tr("Automatically check for updates"), general);
    m_preventDialogs = new QCheckBox(tr("Show update dialogs at start-up"), general);
    m_showMenuBarIcon = new QCheckBox(tr("Show status icon in the menu bar"), general);
    m_maintenance = new QCheckBox(tr("Allow maintenance requests"), general);
    for (QCheckBox *box : {m_autoUpdate, m_preventDialogs, m_showMenuBarIcon, m_maintenance})
        generalLayout->addWidget(box);
    layout->addWidget(general);

    auto *network = new QGroupBox(tr("Network"), this);
    auto *form = new QFormLayout(network);
    m_interfaces = new QComboBox(network);
    m_interfaces->setObjectName(QStringLiteral("networkInterfacePopUp"));
    form->addRow(tr("Interface:"), m_interfaces);
    auto *portRow = new QHBoxLayout;
    m_customPortSet = new QCheckBox(tr("Custom port:"), network);
    m_customPort = new QLineEdit(network);
    m_customPort->setMaxLength(5);
    m_customPort->setValidator(new QIntValidator(0, 99999, m_customPort));
    portRow->addWidget(m_customPortSet);
    portRow->addWidget(m_customPort);
    form->addRow(portRow);
    m_disableBonjour = new QCheckBox(tr("Do not publish on the local network (DNS-SD)"), network);
    form->addRow(m_disableBonjour);
    layout->addWidget(network);
    m_error = plainLabel(QString(), this);
    m_error->setStyleSheet(QStringLiteral("color: #b00000"));
    layout->addWidget(m_error);
    layout->addStretch();

    connect(m_switch, &ZDSwitch::userToggled, m_controller, &Orvelle_Network_ClientPref::userSwitched);
    connect(m_autoUpdate, &QCheckBox::clicked, m_controller, &Orvelle_Network_ClientPref::setAutoUpdateCheck);
    connect(m_preventDialogs, &QCheckBox::clicked, m_controller, &Orvelle_Network_ClientPref::setPreventUpdateDialogs);
    connect(m_showMenuBarIcon, &QCheckBox::clicked, m_controller, &Orvelle_Network_ClientPref::setShowMenuBarIcon);
    connect(m_maintenance, &QCheckBox::clicked, m_controller, &Orvelle_Network_ClientPref::setMaintenance);
    connect(m_interfaces, &QComboBox::activated, this, &ZDClientPrefWindow::applyNetwork);
    connect(m_customPortSet, &QCheckBox::clicked, this, &ZDClientPrefWindow::applyNetwork);
    connect(m_customPort, &QLineEdit::editingFinished, this, &ZDClientPrefWindow::applyNetwork);
    connect(m_disableBonjour, &QCheckBox::clicked, this, &ZDClientPrefWindow::applyNetwork);
    connect(m_controller, &Orvelle_Network_ClientPref::statusChanged, m_status, &QLabel::setText);
    connect(m_controller, &Orvelle_Network_ClientPref::interfaceChanged, this, &ZDClientPrefWindow::refresh);
    connect(m_controller, &Orvelle_Network_ClientPref::busyChanged, m_spinner, &QWidget::setVisible);
    connect(m_controller, &Orvelle_Network_ClientPref::sheet, this,
            [this](const QString &message, const QString &informative) {
                QMessageBox box(QMessageBox::Warning, message, message, QMessageBox::Ok, this);
                box.setTextFormat(Qt::PlainText);
                box.setInformativeText(informative);
                box.exec();
            });

    m_controller->mainViewDidLoad();
    m_status->setText(m_controller->statusText());
    populateNetworkInterfaces();
    refresh();
}

void ZDClientPrefWindow::populateNetworkInterfaces()
{
    const QSignalBlocker blocker(m_interfaces);
    m_interfaces->clear();
    m_interfaces->addItem(tr("Any (recommended)"), QString());
    for (const ZDNetworkInterface &entry : Orvelle_Network_ClientPref::networkInterfaces()) {
        m_interfaces->addItem(entry.name, entry.macAddress);
        if (entry.macAddress.compare(m_controller->settings().selectedMACAddress, Qt::CaseInsensitive) == 0)
            m_interfaces->setCurrentIndex(m_interfaces->count() - 1);
    }
}

void ZDClientPrefWindow::refresh()
{
    const auto &settings = m_controller->settings();
    const auto &enabled = m_controller->enabled();
    m_switch->setOn(m_controller->switchOn(), !m_controller->isLoading());
    m_switch->setEnabled(enabled.masterSwitch);
    const std::pair<QCheckBox *, bool> boxes[] = {{m_autoUpdate, settings.autoUpdateCheck},
                                                  {m_preventDialogs, settings.preventUpdateDialogs},
                                                  {m_showMenuBarIcon, settings.showMenuBarIcon},
                                                  {m_maintenance, settings.enableMaintenance},
                                                  {m_customPortSet, settings.customPortSet},
                                                  {m_disableBonjour, settings.disableBonjour}};
    for (const auto &[box, checked] : boxes)
        box->setChecked(checked);
    m_autoUpdate->setEnabled(enabled.updateChecks);
    m_preventDialogs->setEnabled(enabled.updateChecks);
    m_showMenuBarIcon->setEnabled(enabled.showMenuBarIcon);
    m_maintenance->setEnabled(enabled.maintenance);
    m_customPort->setEnabled(enabled.portText);
    if (!m_customPort->hasFocus())
        m_customPort->setText(settings.customPort);
    const int selected = settings.selectedMACAddress.isEmpty() ? 0 : m_interfaces->findData(settings.selectedMACAddress);
    if (selected >= 0) {
        const QSignalBlocker blocker(m_interfaces);
        m_interfaces->setCurrentIndex(selected);
    }
}

void ZDClientPrefWindow::applyNetwork()
{
    QString error;
    if (m_controller->updateNetworkSettings(m_interfaces->currentData().toString(), m_customPortSet->isChecked(),
                                            m_customPort->text(), m_disableBonjour->isChecked(), &error)) {
        m_error->clear();
        return;
    }
    m_error->setText(error);
    const QSignalBlocker blocker(m_customPortSet);
    m_customPortSet->setChecked(m_controller->settings().customPortSet);
    m_customPort->setText(m_controller->settings().customPort);
}
