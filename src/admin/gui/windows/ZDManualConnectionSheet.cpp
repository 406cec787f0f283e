#include "windows/ZDManualConnectionSheet.h"

#include "ZDAlert.h"
#include "fleet/ZDDiscovery.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

ZDManualConnectionSheet::ZDManualConnectionSheet(ZDDiscovery *discovery, QWidget *parent)
    : QDialog(parent), m_discovery(discovery), m_name(new QLineEdit(this)), m_address(new QLineEdit(this)),
      m_port(new QLineEdit(this)), m_connect(new QPushButton(tr("Connect"), this)),
      m_cancel(new QPushButton(tr("Cancel"), this))
{
    setWindowTitle(tr("Manual Connection"));
    setWindowModality(Qt::WindowModal);
    m_name->setMaxLength(255);
    m_address->setMaxLength(15);
    m_address->setPlaceholderText(QStringLiteral("192.168.0.10"));
    m_port->setMaxLength(5);
    m_port->setPlaceholderText(QStringLiteral("35011"));
    m_connect->setDefault(true);

    auto *form = new QFormLayout;
    form->addRow(tr("Name:"), m_name);
    form->addRow(tr("IP Address:"), m_address);
    form->addRow(tr("Port:"), m_port);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_connect);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);

    for (QLineEdit *field : {m_name, m_address, m_port})
        connect(field, &QLineEdit::textChanged, this, &ZDManualConnectionSheet::validate);
    connect(m_connect, &QPushButton::clicked, this, &ZDManualConnectionSheet::submitManualConnection);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    validate();
}

void ZDManualConnectionSheet::showSheet()
{
    m_name->clear();
    m_address->clear();
    m_port->clear();
    show();
    raise();
    m_name->setFocus();
}

void ZDManualConnectionSheet::validate()
{
    m_connect->setEnabled(
        ZDDiscovery::validateManualConnectionSettings(m_name->text(), m_address->text(), m_port->text()));
}

void ZDManualConnectionSheet::submitManualConnection()
{
    if (!m_connect->isEnabled() || !m_discovery)
        return;
    QString title;
    QString text;
    const QString name = m_name->text();
    const QString ip = m_address->text();
    const QString port = m_port->text();
    if (!m_discovery->submitManualConnection(name, ip, port, &title, &text)) {
        // Not waiting: the sheet stays usable behind its alert.
        ZDAlert::alertSheet(title, tr("OK"), QString(), QString(), text, this, false);
        return;
    }
    accept();
    Q_EMIT connectionAdded(name, ip, port.toInt());
}
