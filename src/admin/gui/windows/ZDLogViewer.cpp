#include "windows/ZDLogViewer.h"

#include "dispatch/ZDAgentCalls.h"
#include "dispatch/ZDProgressRuns.h"
#include "ZDAlert.h"
#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"
#include "ZDPlainText.h"
#include "console/ZDRemoteLogText.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QUrl>
#include <QVBoxLayout>

ZDLogViewer::ZDLogViewer(ZDDispatcher *dispatcher, ServiceProvider allServices, QWidget *parent)
    : QWidget(parent, Qt::Window), m_dispatcher(dispatcher), m_allServices(std::move(allServices)),
      m_source(new QComboBox(this)), m_list(new QListWidget(this)), m_text(new QPlainTextEdit(this)),
      m_status(new QLabel(this)), m_gather(new QPushButton(tr("Gather Logs"), this))
{
    setWindowTitle(tr("Logs"));
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(tr("Computer:"), this));
    top->addWidget(m_source, 1);
    top->addWidget(m_gather);
    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_list);
    splitter->addWidget(m_text);
    splitter->setStretchFactor(1, 3);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);
    layout->addWidget(m_status);
    resize(860, 520);

    connect(m_source, &QComboBox::currentIndexChanged, this, [this] {
        if (const ZDServicePtr service = chosenService()) {
            populateLogs(service);
        } else {
            ++m_namesGeneration;
            m_names.clear();
            m_list->clear();
            m_text->clear();
        }
    });
    connect(m_list, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && row < m_names.size())
            changeLog(m_names[row]);
    });
    connect(m_gather, &QPushButton::clicked, this, &ZDLogViewer::gatherNetworkLogs);
}

QString ZDLogViewer::text() const
{
    return m_text->toPlainText();
}

void ZDLogViewer::setGatheringFolders(const QString &workParent, const QString &desktop, const QString &logFolder)
{
    m_workParent = workParent;
    m_desktop = desktop;
    m_logFolder = logFolder;
}

ZDServicePtr ZDLogViewer::chosenService() const
{
    const int index = m_source->currentIndex();
    return index >= 0 && index < m_services.size() ? m_services[index] : nullptr;
}

void ZDLogViewer::showLogs(const ZDServicePtr &preferred)
{
    m_services = m_allServices ? m_allServices() : QList<ZDServicePtr>();
    {
        const QSignalBlocker block(m_source);
        m_source->clear();
        for (const ZDServicePtr &service : std::as_const(m_services))
            m_source->addItem(service->name());
        const int index = preferred ? int(m_services.indexOf(preferred)) : 0;
        m_source->setCurrentIndex(m_services.isEmpty() ? -1 : qMax(index, 0));
    }
    show();
    raise();
    if (const ZDServicePtr service = chosenService())
        populateLogs(service);
}

void ZDLogViewer::populateLogs(const ZDServicePtr &service)
{
    const quint64 generation = ++m_namesGeneration;
    ++m_textGeneration;
    m_list->clear();
    m_names.clear();
    m_text->clear();
    m_status->setText(tr("Loading..."));
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDBackground::run<QVariant>(
        this,
        [dispatcher, service] {
            return ZDAgentCalls(dispatcher).populateZDLogFilenames(service);
        },
        [this, generation](const QVariant &answer) {
            if (generation != m_namesGeneration)
                return;
            m_status->clear();
            m_names = ZDRemoteLogText::namesForAnswer(answer);
            const QSignalBlocker block(m_list);
            for (const QString &name : std::as_const(m_names)) {
                auto *item = new QListWidgetItem(QFileInfo(name).fileName(), m_list);
                item->setToolTip(name); // plain through the application's tool tip filter
            }
            Q_EMIT logNamesLoaded();
        });
}

void ZDLogViewer::changeLog(const QString &filename)
{
    const ZDServicePtr service = chosenService();
    if (!service)
        return;
    const quint64 generation = ++m_textGeneration;
    m_text->clear();
    m_status->setText(tr("Loading..."));
    ZDDispatcher *dispatcher = m_dispatcher;
    // Judged off the GUI thread too: a huge answer must not stall the window.
    ZDBackground::run<ZDRemoteLogText::Shown>(
        this,
        [dispatcher, service, filename] {
            const QVariant answer = ZDAgentCalls(dispatcher).logWithFilename(filename, service);
            return ZDRemoteLogText::textForAnswer(answer);
        },
        [this, generation](const ZDRemoteLogText::Shown &shown) {
            if (generation != m_textGeneration)
                return;
            m_status->setText(shown.isText ? QString() : tr("This log cannot be shown."));
            m_text->setPlainText(shown.text);
            Q_EMIT logTextLoaded();
        });
}

void ZDLogViewer::gatherNetworkLogs()
{
    m_gather->setEnabled(false);
    m_status->setText(QStringLiteral("Gathering logs..."));
    ZDDispatcher *dispatcher = m_dispatcher;
    const QString work = m_workParent;
    const QString desktop = m_desktop;
    const QString logs = m_logFolder;
    // Under the main window's progress sheet: its Cancel stops between computers and between files.
    const bool started = ZDProgressRuns::startOn<ZDLogGathering::Outcome>(
        dispatcher, this, QStringLiteral("Gathering logs..."), int(dispatcher->selectedServices().size()),
        [dispatcher, work, desktop, logs](ZDProgressRuns::Steps &) {
            const QVariantMap files = ZDAgentCalls(dispatcher).gatherLogs();
            if (dispatcher->isProcessingCancelled())
                return ZDLogGathering::Outcome{};
            ZDLogGathering gathering(work, desktop, logs);
            return gathering.gatherNetwork(files);
        },
        [this](const ZDLogGathering::Outcome &outcome) { showGathered(outcome); });
    if (!started) {
        m_gather->setEnabled(true);
        m_status->setText(QStringLiteral("Another task is running on the computers."));
    }
}

void ZDLogViewer::gatherLogs()
{
    m_gather->setEnabled(false);
    const QString work = m_workParent;
    const QString desktop = m_desktop;
    const QString logs = m_logFolder;
    ZDBackground::run<ZDLogGathering::Outcome>(
        this, [work, desktop, logs] { return ZDLogGathering(work, desktop, logs).gatherLocal(); },
        [this](const ZDLogGathering::Outcome &outcome) { showGathered(outcome); });
}

bool ZDLogViewer::viewLog(bool taskLog)
{
    const ZDLogGathering logs(m_workParent, m_desktop, m_logFolder);
    const QString path = logs.adminLogPath(taskLog);
    if (!QFile::exists(path)) {
        ZDAlert::alertSheet(ZDLogGathering::missingLogTitle(), tr("OK"), QString(), QString(),
                            ZDLogGathering::missingLogText(taskLog), this, false);
        return false;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void ZDLogViewer::showGathered(const ZDLogGathering::Outcome &outcome)
{
    m_gather->setEnabled(true);
    m_status->clear();
    // One alert: how it ended, then the files that could not be written.
    QString text = outcome.text;
    if (!outcome.fileErrors.isEmpty())
        text += QStringLiteral("\n\n") + outcome.fileErrors.join(u'\n');
    if (!outcome.title.isEmpty())
        ZDAlert::alertSheet(outcome.title, tr("OK"), QString(), QString(), text, this, false);
    Q_EMIT logsGathered(outcome);
}
