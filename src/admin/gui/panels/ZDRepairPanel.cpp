#include "panels/ZDRepairPanel.h"

#include "ZDBackground.h"
#include "dispatch/ZDActionTarget.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "dispatch/ZDProgressRuns.h"
#include "panels/ZDPanelParts.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

#include <memory>

ZDRepairPanel::ZDRepairPanel(ZDDispatcher *dispatcher, ZDErrorCallback *callback, const QString &tool, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher), m_callback(callback), m_repair(ZDMaintenanceRuns::repairFor(tool)),
      m_option(new QCheckBox(m_repair.option, this)), m_go(new QPushButton(tr("Repair"), this)),
      m_spinner(new QProgressBar(this)), m_results(new QTextEdit(this)), m_status(new QLabel(this))
{
    auto *layout = new QVBoxLayout(this);
    auto *controls = new QHBoxLayout;
    controls->addWidget(m_option);
    controls->addStretch(1);
    controls->addWidget(m_spinner);
    controls->addWidget(m_go);
    layout->addLayout(controls);
    m_results->setReadOnly(true);
    m_results->setAcceptRichText(false);
    layout->addWidget(m_results, 1);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);
    m_spinner->setMaximumWidth(120);
    m_spinner->setTextVisible(false);
    spin(false);
    ZDPanelParts::changesComputers(m_go);
    connect(m_go, &QPushButton::clicked, this, &ZDRepairPanel::repair);
}

bool ZDRepairPanel::isSpinning() const
{
    return m_spinner->isVisibleTo(this);
}

void ZDRepairPanel::spin(bool on)
{
    m_spinner->setRange(0, on ? 0 : 1); // no maximum: the bar runs without end
    m_spinner->setVisible(on);
}

void ZDRepairPanel::repair()
{
    const ZDDispatcher::ServiceList services = m_dispatcher->selectedServices();
    if (services.isEmpty() || m_repair.bundleID.isEmpty()) {
        m_status->setText(tr("No computer selected."));
        return;
    }
    const int n = int(services.size());
    if (!ZDPanelParts::confirmOnComputers(this, m_dispatcher, tr("Repair"), ZDActionTarget::question(tr("Run the repair"), n),
                                          tr("Repair")))
        return;
    m_status->setText(m_repair.message.arg(n).arg(n > 1 ? QStringLiteral("s") : QString()));
    ZDPanelParts::setRunning(m_go, true);
    spin(true);
    // Made here so that its answers reach this panel (queued) for as long as the panel lives;
    // deleted on this thread whichever side lets go last.
    const std::shared_ptr<ZDMaintenanceRuns> runs(
        new ZDMaintenanceRuns(*m_dispatcher, m_callback, services, &ZDDispatcher::answerKey),
        [](ZDMaintenanceRuns *r) { r->deleteLater(); });
    connect(runs.get(), &ZDMaintenanceRuns::repairAnswered, this, &ZDRepairPanel::showAnswer, Qt::QueuedConnection);
    const QString task = m_option->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    // Under the window's progress sheet: each computer's answer is a step, Cancel stops the wait.
    const bool started = ZDProgressRuns::startOn<ZDMaintenanceRuns::Report>(
        m_dispatcher, this, m_status->text(), n,
        [runs, repair = m_repair, task](ZDProgressRuns::Steps &steps) {
            const QMetaObject::Connection answered = QObject::connect(
                runs.get(), &ZDMaintenanceRuns::repairAnswered, runs.get(), [&steps] { steps.step(); },
                Qt::DirectConnection);
            const ZDMaintenanceRuns::Report report = runs->repair(repair, task);
            QObject::disconnect(answered);
            return report;
        },
        [this](const ZDMaintenanceRuns::Report &report) {
            spin(false);
            ZDPanelParts::setRunning(m_go, false);
            QString summary = tr("%1 computer(s) started the repair, %2 answered.").arg(report.handed).arg(report.results.size());
            if (!report.failures.isEmpty())
                summary += QLatin1Char('\n') + report.failures.join(QLatin1Char('\n'));
            m_status->setText(summary);
            Q_EMIT runFinished(summary);
        });
    if (!started) {
        spin(false);
        ZDPanelParts::setRunning(m_go, false);
        m_status->setText(ZDPanelParts::busyText());
    }
}

void ZDRepairPanel::showAnswer(const QString &host, const QString &output)
{
    spin(false);
    QTextCursor cursor(m_results->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat heading;
    heading.setFontWeight(QFont::Bold);
    heading.setFontPointSize(12);
    cursor.insertText(tr("\n\nResults from %1:\n\n").arg(ZDErrorCallback::friendlyServiceName(host)), heading);
    // What the agent sent stays text: inserted, never parsed.
    cursor.insertText(output, QTextCharFormat());
}

void ZDRepairPanel::clearData()
{
    m_results->clear();
    m_status->clear();
}
