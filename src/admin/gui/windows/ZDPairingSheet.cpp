#include "windows/ZDPairingSheet.h"

#include "fleet/ZDConsoleSecurity.h"
#include "fleet/ZDPairing.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

ZDPairingSheet::ZDPairingSheet(ZDServicePtr service, QWidget *parent)
    : QDialog(parent), m_service(std::move(service)), m_code(new QLabel(this)), m_result(new QLabel(this))
{
    setWindowTitle(tr("Pair with %1").arg(m_service->name()));
    setWindowModality(Qt::WindowModal);
    auto *intro = new QLabel(tr("On that computer, as root: KestraClient -pair. Confirm there only if it shows "
                                "the same code."), this);
    intro->setWordWrap(true);
    for (QLabel *label : {intro, m_code, m_result})
        label->setTextFormat(Qt::PlainText); // what the agent says is shown as text
    QFont big = m_code->font();
    big.setPointSizeF(big.pointSizeF() * 2);
    big.setBold(true);
    m_code->setFont(big);
    m_code->setAlignment(Qt::AlignCenter);
    m_code->setText(tr("Connecting..."));
    m_result->setWordWrap(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(m_code);
    layout->addWidget(m_result);
    layout->addWidget(buttons);
}

ZDPairingSheet *ZDPairingSheet::open(const ZDServicePtr &service, QWidget *parent)
{
    if (!service)
        return nullptr;
    auto *sheet = new ZDPairingSheet(service, parent);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->show();
    sheet->start();
    return sheet;
}

void ZDPairingSheet::start()
{
    const ZDServicePtr service = m_service;
    const QString host = service->isManual() ? service->manualIP() : service->ipAddress();
    const quint16 port = quint16(service->port());
    const QString pinKey = ZDConsoleSecurity::pinKey(*service);
    const QPointer<ZDPairingSheet> sheet(this);
    QThread *worker = QThread::create([sheet, host, port, pinKey, service] {
        const ZDPairing::Result result = ZDPairing::pair(host, port, pinKey, [sheet](const QString &code, const QString &) {
            QMetaObject::invokeMethod(qApp, [sheet, code] {
                if (sheet)
                    sheet->m_code->setText(tr("Pairing code: %1").arg(code));
            });
        });
        QMetaObject::invokeMethod(qApp, [sheet, result, service] {
            if (result.outcome == ZDPairing::Outcome::Paired)
                service->connectOnThread(); // served as an enrolled console from now on
            if (!sheet)
                return;
            if (result.code.isEmpty())
                sheet->m_code->setText(tr("No code"));
            sheet->m_result->setText(result.outcome == ZDPairing::Outcome::Paired ? tr("Paired.")
                                                                               : tr("Not paired: %1").arg(result.message));
        });
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}
