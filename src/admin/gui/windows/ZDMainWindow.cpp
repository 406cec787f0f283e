#include "windows/ZDMainWindow.h"

#include "dispatch/ZDActionTarget.h"
#include "panels/ZDPanelParts.h"

#include "console/ZDAdminDefaults.h"
#include "dispatch/ZDAgentCalls.h"
#include "panels/ZDApplicationsPanel.h"
#include "panels/ZDMaintenancePanel.h"
#include "panels/ZDRepairPanel.h"
#include "console/ZDAdminSettings.h"
#include "dispatch/ZDAutoRefresh.h"
#include "windows/ZDProgressSheet.h"
#include "dispatch/ZDProgressRuns.h"
#include "dispatch/ZDProgressState.h"
#include "rights/ZDAuthorization.h"
#include "ZDBackground.h"
#include "console/ZDCacheCleaner.h"
#include "console/ZDClientCrash.h"
#include "console/ZDHelp.h"
#include "ZDInertTextBrowser.h"
#include "computers/ZDClientSettingsPanel.h"
#include "panels/ZDCrashLogPanel.h"
#include "computers/ZDComputerInfoPanel.h"
#include "windows/ZDCredentialSheet.h"
#include "panels/ZDDifferenceFinderPanel.h"
#include "fleet/ZDDiscovery.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "windows/ZDErrorLogWindow.h"
#include "platform/ZDFormat.h"
#include "log/ZDLog.h"
#include "console/ZDLogGathering.h"
#include "windows/ZDLogViewer.h"
#include "windows/ZDManualConnectionSheet.h"
#include "windows/ZDPairingSheet.h"
#include "panels/ZDPluginsPanel.h"
#include "panels/ZDRenderQueuePanel.h"
#include "panels/ZDSchedulerPanel.h"
#include "panels/ZDSoftwareUpdatePanel.h"
#include "panels/ZDPathsPanel.h"
#include "panels/ZDPreferencesPanel.h"
#include "ZDItemViews.h"
#include "ZDPlainText.h"
#include "computers/ZDServiceItemDelegate.h"
#include "computers/ZDServiceOutlineModel.h"
#include "computers/ZDServiceOutlineView.h"
#include "windows/ZDTroubleshooter.h"

#include <QAction>
#include <QHash>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QProgressBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {
const QString kWaitingForRelaunch = QStringLiteral("Waiting for clients to relaunch...");
}

ZDMainWindow::ZDMainWindow(const Options &options, QWidget *parent)
    : QMainWindow(parent)
    , m_options(options)
{
    // Every label the console shows is plain text unless it says otherwise: names and texts come from agents.
    ZDPlainText::enforce();
    const QString settingsPath = options.settingsPath.isEmpty() ? ZDAdminSettings::defaultPath() : options.settingsPath;
    m_errorCallback = std::make_shared<ZDErrorCallback>();
    m_errorCallback->setSettingsPath(settingsPath);
    ZDLog::appendLog(QStringLiteral("Searching for services..."));
    m_discovery = new ZDDiscovery(m_errorCallback, settingsPath, this);
    m_outline = new ZDServiceOutline(m_discovery, settingsPath, this);
    m_outline->populateServiceGroups();
    connect(m_discovery, &ZDDiscovery::localError, this, [this](int code, const QString &host) {
        m_errorCallback->postLocalError({{QStringLiteral("errorcode"), code}, {QStringLiteral("hostname"), host}});
    });

    m_dispatcher = new ZDDispatcher([this] { return m_discovery->allServices(); }, this);
    m_dispatcher->setSelectionProvider([this] { return selectionSnapshot(); });
    m_dispatcher->setErrorCallback(m_errorCallback.get(), true);
    connect(m_dispatcher, &ZDDispatcher::progressStarted, this, &ZDMainWindow::progressStarted, Qt::QueuedConnection);
    connect(m_dispatcher, &ZDDispatcher::progressAdvanced, this, &ZDMainWindow::progressAdvanced, Qt::QueuedConnection);
    connect(m_dispatcher, &ZDDispatcher::progressFinished, this, &ZDMainWindow::progressFinished, Qt::QueuedConnection);
    connect(m_errorCallback.get(), &ZDErrorCallback::serviceMaintenanceRequested, this, &ZDMainWindow::setMaintenance);

    m_credentialSheet = new ZDCredentialSheet(this, options.settingsPath);
    m_dispatcher->setCredentialPrompt(m_credentialSheet->prompt());
    m_manualSheet = new ZDManualConnectionSheet(m_discovery, this);

    setWindowTitle(QStringLiteral("Kestra Admin"));
    buildActions();
    buildLayout();
    buildMenus();
    populateTasks();
    // The error label: the toolbar item says how many errors wait.
    connect(m_errorCallback.get(), &ZDErrorCallback::errorQueueChanged, this, [this] {
        const int count = m_errorCallback->errorCount();
        m_errorLog->setText(count > 0 ? ZDErrorCallback::errorButtonTitle(count) : tr("Error Log"));
    });

    m_model = new ZDServiceOutlineModel(m_outline, this);
    m_view->setOutlineModel(m_model);
    connect(m_model, &ZDServiceOutlineModel::reloaded, this, &ZDMainWindow::applyViewState);
    connect(m_model, &QAbstractItemModel::dataChanged, this, [this] { selectionChanged(); });
    connect(m_view->selectionModel(), &QItemSelectionModel::selectionChanged, this, &ZDMainWindow::selectionChanged);
    connect(m_view, &QTreeView::expanded, this, [this](const QModelIndex &index) {
        if (m_model->kindOf(index) == ZDServiceOutlineModel::GroupKind)
            m_outline->setGroupExpanded(m_model->itemForIndex(index).group->name(), true);
    });
    connect(m_view, &QTreeView::collapsed, this, [this](const QModelIndex &index) {
        if (m_model->kindOf(index) == ZDServiceOutlineModel::GroupKind)
            m_outline->setGroupExpanded(m_model->itemForIndex(index).group->name(), false);
    });
    connect(m_view, &QAbstractItemView::doubleClicked, this, &ZDMainWindow::serviceDoubleClick);
    connect(m_view->itemDelegate(), &ZDServiceItemDelegate::badgeClicked, this, [this](const QModelIndex &index) {
        m_view->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        serviceOutlineBadgeClicked();
    });
    connect(m_view, &ZDServiceOutlineView::removeRequested, this, &ZDMainWindow::removeSelectedRows);
    connect(m_view, &ZDServiceOutlineView::addRequested, this, &ZDMainWindow::addServiceGroup);
    connect(m_view, &ZDServiceOutlineView::menuRequested, this, [this](const QPoint &pos) {
        selectionChanged();
        m_contextMenu->popup(pos);
    });

    connect(m_discovery, &ZDDiscovery::serviceConnectionFailed, this, [this](ZDService *service) {
        // By itself only once, after the first failure ever: later it opens on request.
        const auto settings = ZDAdminSettings::open(m_options.settingsPath);
        const QString opened = QStringLiteral("troubleshooterOpenedOnFailure");
        if (service && !m_troubleshooterAutoLaunched && !settings->value(opened).toBool()) {
            m_troubleshooterAutoLaunched = true;
            settings->setValue(opened, true);
            // Opened by itself: it starts on the computer that failed, not on the selection.
            ZDServicePtr failed;
            for (const ZDServicePtr &s : m_discovery->allServices())
                failed = s.get() == service ? s : failed;
            troubleshootConnection(failed);
        } else if (m_troubleshooter && m_troubleshooter->isVisible()) {
            m_troubleshooter->populateConnectionTroubleshooterServices();
        }
    });
    connect(m_discovery, &ZDDiscovery::serviceRemoved, this, [this](const ZDServicePtr &service) {
        if (m_infoPanel && m_infoPanel->service() == service)
            m_infoPanel->close();
    });
    connect(m_discovery, &ZDDiscovery::serviceRemoved, this, [this] {
        if (m_troubleshooter && m_troubleshooter->isVisible())
            m_troubleshooter->populateConnectionTroubleshooterServices();
    });
    connect(m_discovery, &ZDDiscovery::adminIsOutdated, this, &ZDMainWindow::adminIsOutdated);
    // A computer whose agent crashed last time: ask before opening its report.
    m_clientCrash = new ZDClientCrash(m_discovery, m_dispatcher, this);
    connect(m_clientCrash, &ZDClientCrash::crashReported, this, &ZDMainWindow::displayCrashDialogForClient);

    if (options.browse)
        m_discovery->start();
    else
        m_discovery->processManualConnections();
    for (const auto &service : m_discovery->allServices())
        service->setEnabled(true);
    reloadServiceOutlineView();
    resize(1100, 700);
    m_view->setFocus();
    QTimer::singleShot(0, this, &ZDMainWindow::showWelcomeIfFirstRun);
    m_softwareUpdate->checkForSelfUpdateAtStartup(m_options.settingsPath);
}

ZDMainWindow::~ZDMainWindow()
{
    m_dispatcher->cancelProcessing();
    m_progressRuns->release();
    // Background calls hold the dispatcher and the records: let them end first
    // (a dead agent is noticed within seconds).
    ZDBackgroundPool::waitForDone(std::chrono::seconds(30));
    delete m_dispatcher;
    m_dispatcher = nullptr;
}

void ZDMainWindow::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    // Closing the main window quits, even with the error log or a viewer still open.
    if (event->isAccepted() && QApplication::quitOnLastWindowClosed())
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}

// --- layout -----------------------------------------------------------------

void ZDMainWindow::buildActions()
{
    auto make = [this](const QString &text, auto slot, QStyle::StandardPixmap icon = QStyle::SP_CustomBase) {
        auto *action = new QAction(text, this);
        if (icon != QStyle::SP_CustomBase)
            action->setIcon(style()->standardIcon(icon));
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    m_newGroup = make(tr("New Group"), &ZDMainWindow::addServiceGroup, QStyle::SP_FileDialogNewFolder);
    m_newGroup->setShortcut(QKeySequence::New);
    m_connectTo = make(tr("Connect to Computer..."), &ZDMainWindow::showManualConnectionDialog,
                       QStyle::SP_DriveNetIcon);
    m_connectTo->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_K));
    m_refresh = make(tr("Refresh"), [this] {
        runOnComputers(QStringLiteral("Refreshing"), [](const ZDServicePtr &s) { s->fetchInitialConfiguration(); });
    }, QStyle::SP_BrowserReload);
    m_reconnect = make(tr("Reconnect"), [this] {
        runOnComputers(QStringLiteral("Reconnecting"), [](const ZDServicePtr &s) { s->connectOnThread(); });
    });
    m_disconnect = make(tr("Disconnect"), [this] {
        runOnComputers(QStringLiteral("Disconnecting"), [discovery = m_discovery](const ZDServicePtr &s) {
            discovery->disconnectService(s);
        });
    });
    m_stopAgent = make(tr("Stop Agent"), [this] { remoteOperation(QStringLiteral("Stopping"), &ZDAgentCalls::disconnect); },
                       QStyle::SP_MediaStop);
    m_restartAgent = make(tr("Restart Agent"), [this] {
        m_status->setText(kWaitingForRelaunch);
        remoteOperation(QStringLiteral("Relaunching"), &ZDAgentCalls::relaunch);
    });
    m_cancelMaintenance = make(tr("Cancel Maintenance Request"), &ZDMainWindow::cancelMaintenance);
    m_info = make(tr("Get Info"), &ZDMainWindow::showInfo, QStyle::SP_MessageBoxInformation);
    m_info->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    m_logs = make(tr("Show Logs..."), &ZDMainWindow::showLogs, QStyle::SP_FileDialogDetailedView);
    m_errorLog = make(tr("Error Log"), &ZDMainWindow::showErrorLog, QStyle::SP_MessageBoxWarning);
    m_errorLog->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    m_troubleshoot = make(tr("Connection Troubleshooter..."), [this] { troubleshootConnection(); });
    m_refreshPanel = make(tr("Refresh Panel"), [this] { m_autoRefresh->autoRefreshData(false); },
                          QStyle::SP_BrowserReload);
    m_refreshPanel->setShortcut(QKeySequence::Refresh);
    m_refreshPanel->setEnabled(false);
    m_autoRefresh = new ZDAutoRefresh(this);
    m_autoRefresh->setConditions(
        // The timer pauses behind another application and behind a sheet.
        [] { return QGuiApplication::applicationState() == Qt::ApplicationActive && !QApplication::activeModalWidget(); },
        [this] {
            const auto settings = ZDAdminSettings::open(m_options.settingsPath);
            return ZDAdminDefaults::boolValue(*settings, QString::fromLatin1(ZDAdminDefaults::kAutoRefresh), true);
        },
        [this] { return m_dispatcher->isProcessing() || m_progressState->isShown(); });
    connect(m_autoRefresh, &ZDAutoRefresh::refreshAvailableChanged, m_refreshPanel, &QAction::setEnabled);
    m_progressState = new ZDProgressState(this);
    m_progressRuns = new ZDProgressRuns(m_dispatcher, m_progressState);
    m_progressState->setCancelAction([runs = m_progressRuns] { runs->cancelRun(); });
    m_progressSheet = new ZDProgressSheet(m_progressState, this);
    connect(m_progressRuns, &ZDProgressRuns::taskProgress, this, [this](int number, int total) {
        m_status->setText(zdFormat(QStringLiteral("Processing task %i of %i"), number, total));
    });
    connect(m_progressRuns, &ZDProgressRuns::runEnded, this, &ZDMainWindow::progressFinished);
    connect(m_errorCallback.get(), &ZDErrorCallback::progressIncremented, m_progressState,
            &ZDProgressState::incrementProgress);
    m_requireAdmin = new QAction(tr("Require Administrator Password at Launch"), this);
    m_requireAdmin->setCheckable(true);
    {
        const auto s = ZDAdminSettings::open(m_options.settingsPath);
        m_requireAdmin->setChecked(ZDAdminDefaults::boolValue(*s, QString::fromLatin1(ZDAdminDefaults::kRequireAdminPassword)));
    }
    connect(m_requireAdmin, &QAction::toggled, this, &ZDMainWindow::toggleRequireAdminPassword);
}

void ZDMainWindow::buildLayout()
{
    auto *splitter = new QSplitter(Qt::Horizontal, this);

    auto *left = new QWidget(splitter);
    // The computers stay readable beside the task sidebar.
    left->setMinimumWidth(220);
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(6, 6, 0, 0);
    leftLayout->setSpacing(4);
    m_view = new ZDServiceOutlineView(left);
    leftLayout->addWidget(m_view, 1);

    auto *controls = new QHBoxLayout;
    controls->setSpacing(2);
    m_addButton = new QToolButton(left);
    m_addButton->setText(QStringLiteral("+"));
    m_addButton->setToolTip(tr("Add a group or a computer"));
    m_addButton->setAccessibleName(tr("Add"));
    m_addMenu = new QMenu(m_addButton);
    m_addMenu->addAction(m_newGroup);
    m_addMenu->addAction(m_connectTo);
    connect(m_addButton, &QToolButton::clicked, this, [this] {
        m_addMenu->popup(m_addButton->mapToGlobal(QPoint(0, m_addButton->height())));
    });
    m_removeButton = new QToolButton(left);
    m_removeButton->setText(QStringLiteral("\u2212"));
    m_removeButton->setToolTip(tr("Remove the selected groups and manual computers"));
    m_removeButton->setAccessibleName(tr("Remove"));
    connect(m_removeButton, &QToolButton::clicked, this, &ZDMainWindow::removeSelectedRows);
    controls->addWidget(m_addButton);
    controls->addWidget(m_removeButton);
    controls->addStretch(1);
    leftLayout->addLayout(controls);

    auto *right = new QWidget(splitter);
    auto *rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 6, 6, 0);
    // The tasks as a sidebar: each with its icon, its name and what it does, none cut off.
    auto *body = new QHBoxLayout;
    rightLayout->addLayout(body, 1);
    m_tasks = new QListWidget(right);
    m_tasks->setViewMode(QListView::ListMode);
    m_tasks->setFlow(QListView::TopToBottom);
    m_tasks->setMovement(QListView::Static);
    m_tasks->setIconSize(QSize(24, 24));
    m_tasks->setUniformItemSizes(true);
    m_tasks->setSpacing(1);
    m_tasks->setMinimumWidth(250);
    m_tasks->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    m_tasks->setAccessibleName(tr("Maintenance tasks"));
    body->addWidget(m_tasks);
    auto *column = new QVBoxLayout;
    body->addLayout(column, 1);
    m_taskTitle = new QLabel(right);
    QFont titleFont = m_taskTitle->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    m_taskTitle->setFont(titleFont);
    m_taskLine = new QLabel(right);
    m_taskLine->setWordWrap(true);
    m_taskState = new QLabel(right);
    m_taskState->setAlignment(Qt::AlignCenter);
    m_taskState->setEnabled(false);
    m_taskState->hide();
    for (QLabel *label : {m_taskTitle, m_taskLine, m_taskState}) {
        label->setTextFormat(Qt::PlainText);
        column->addWidget(label);
    }
    m_panels = new QStackedWidget(right);
    auto *empty = new QLabel(tr("Select a task on the left to work on the selected computers."), m_panels);
    empty->setAlignment(Qt::AlignCenter);
    empty->setEnabled(false);
    m_panels->addWidget(empty);
    column->addWidget(m_panels, 1);

    splitter->addWidget(left);
    splitter->addWidget(right);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({300, 800});
    setCentralWidget(splitter);

    m_progress = new QProgressBar(this);
    m_progress->setMaximumWidth(160);
    m_progress->setTextVisible(false);
    m_progress->hide();
    m_cancelButton = new QToolButton(this);
    m_cancelButton->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    m_cancelButton->setToolTip(tr("Cancel"));
    m_cancelButton->setAccessibleName(tr("Cancel"));
    m_cancelButton->hide();
    connect(m_cancelButton, &QToolButton::clicked, this, &ZDMainWindow::cancelAllProgress);
    m_status = new QLabel(this);
    m_status->setTextFormat(Qt::PlainText);
    statusBar()->addWidget(m_status, 1);
    statusBar()->addPermanentWidget(m_progress);
    statusBar()->addPermanentWidget(m_cancelButton);

    auto *toolbar = addToolBar(tr("Toolbar"));
    toolbar->setObjectName(QStringLiteral("mainToolbar"));
    toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolbar->setMovable(false);
    toolbar->addAction(m_refreshPanel);
    toolbar->addAction(m_info);
    toolbar->addAction(m_logs);
    toolbar->addAction(m_errorLog);
    m_softwareUpdate = ZDSoftwareUpdatePanel::attach(this, toolbar, m_dispatcher, m_errorCallback.get(), m_discovery);
    connect(m_softwareUpdate, &ZDSoftwareUpdatePanel::windowClosed, this, &ZDMainWindow::softwareUpdateClosed);
}

void ZDMainWindow::softwareUpdateClosed(bool autoClose)
{
    cancelAllProgress();
    if (autoClose)
        return;
    // What the window may have changed (an install, a manual run): every computer tells its configuration again.
    for (const ZDServicePtr &service : m_discovery->allServices())
        ZDBackgroundPool::start([service] { service->fetchInitialConfiguration(); });
}

void ZDMainWindow::buildMenus()
{
    QMenu *file = menuBar()->addMenu(tr("&File"));
    file->addAction(m_newGroup);
    file->addAction(m_connectTo);
    file->addSeparator();
    file->addAction(m_requireAdmin);
    file->addAction(tr("Remove Stored Passwords..."), this, &ZDMainWindow::securityRemovePasswords);
    file->addAction(tr("Clear Caches..."), this, &ZDMainWindow::trashCaches);
    file->addSeparator();
    QAction *quit = file->addAction(tr("Quit"), qApp, &QApplication::closeAllWindows);
    quit->setShortcut(QKeySequence::Quit);

    QMenu *computer = menuBar()->addMenu(tr("&Computer"));
    m_contextMenu = new QMenu(this);
    for (QMenu *menu : {computer, m_contextMenu}) {
        menu->addAction(m_refresh);
        menu->addAction(m_reconnect);
        menu->addAction(m_disconnect);
        menu->addSeparator();
        menu->addAction(m_stopAgent);
        menu->addAction(m_restartAgent);
        menu->addAction(m_cancelMaintenance);
        menu->addSeparator();
        menu->addAction(m_info);
        menu->addAction(m_logs);
        menu->addAction(m_troubleshoot);
        menu->addAction(tr("Pair..."), this, [this] { ZDPairingSheet::open(firstSelectedComputer(), this); });
    }
    QMenu *window = menuBar()->addMenu(tr("&Window"));
    window->addAction(m_errorLog);
    window->addAction(m_troubleshoot);
    window->addSeparator();
    window->addAction(tr("View Log"), this, [this] { viewLog(false); });
    window->addAction(tr("View Task Log"), this, [this] { viewLog(true); });
    window->addAction(tr("Gather Logs"), this, &ZDMainWindow::gatherLogs);
    QMenu *help = menuBar()->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    QAction *helpPage = help->addAction(QIcon::fromTheme(QStringLiteral("help-contents")), tr("Kestra Admin Help"), this,
                                        &ZDMainWindow::showHelp);
    helpPage->setShortcut(QKeySequence::HelpContents);
    help->addAction(QIcon::fromTheme(QStringLiteral("tools-report-bug")), tr("Report a Bug"), this,
                    &ZDMainWindow::reportBug);
}

void ZDMainWindow::showHelp()
{
    if (!m_help) {
        m_help = new QWidget(this, Qt::Window);
        m_help->setAttribute(Qt::WA_DeleteOnClose);
        m_help->setWindowTitle(tr("Kestra Admin Help"));
        auto *browser = new ZDInertTextBrowser(m_help);
        browser->setObjectName(QStringLiteral("helpText"));
        browser->setOpenLinks(false);
        browser->setOpenExternalLinks(false);
        browser->setSearchPaths({});
        browser->setMarkdown(ZDHelp::helpMarkdown(ZDHelp::readmePath()));
        auto *layout = new QVBoxLayout(m_help);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(browser);
        m_help->resize(720, 640);
    }
    m_help->show();
    m_help->raise();
}

void ZDMainWindow::reportBug()
{
    QDesktopServices::openUrl(ZDHelp::issuePage(m_options.settingsPath));
    ZDAlert::alertSheet(ZDHelp::reportBugTitle(), tr("Gather Logs"), tr("Not Now"), QString(), ZDHelp::reportBugText(),
                        this, this, "reportBugAlertDidEnd", false);
}

void ZDMainWindow::reportBugAlertDidEnd(ZDAlert *, int returnCode)
{
    if (returnCode == ZDAlert::kDefaultReturn)
        gatherLogs();
}

void ZDMainWindow::populateTasks()
{
    ZDLog::appendLog(QStringLiteral("Populating tasks..."));
    // Each task's panel, and what refreshing and clearing it means; only tasks with a panel are listed.
    using Made = std::pair<QWidget *, TaskPanel>;
    const auto applicationsPanel = [this](ZDApplicationRows::Kind kind) {
        auto *panel = new ZDApplicationsPanel(m_dispatcher, kind, m_panels);
        connect(panel, &ZDApplicationsPanel::appsRefreshed, this, [this, panel] { taskLoaded(panel); });
        return Made{panel, {[panel] { panel->refreshApps(); }, [panel] { panel->clearData(); }, std::chrono::seconds(30),
                            [panel] { return panel->tree()->topLevelItemCount(); }}};
    };
    const auto maintenancePanel = [this](ZDMaintenancePanel::Tool tool) {
        auto *panel = new ZDMaintenancePanel(m_dispatcher, m_errorCallback.get(), tool, m_panels);
        return Made{panel, {[] {}, [panel] { panel->clearData(); }}};
    };
    const auto repairPanel = [this](const QString &tool) {
        auto *panel = new ZDRepairPanel(m_dispatcher, m_errorCallback.get(), tool, m_panels);
        return Made{panel, {[] {}, [panel] { panel->clearData(); }}};
    };
    const QHash<QString, std::function<Made()>> makers{
        {QLatin1String(ZDAdminDefaults::kClientTaskName),
         [this] {
             auto *panel = new ZDClientSettingsPanel(m_dispatcher, m_panels);
             return Made{panel, {[panel] { panel->refreshNetworkClientSettings(); }, [panel] { panel->clearData(); }}};
         }},
        {QStringLiteral("Brindel"),
         [this] {
             auto *panel = new ZDPluginsPanel(m_dispatcher, m_panels);
             ZDItemSort::keep(panel->tree(), QStringLiteral("brindelOutline"), m_options.settingsPath,
                              {QStringLiteral("name"), QStringLiteral("version"), QStringLiteral("type"),
                               QStringLiteral("disabled"), QStringLiteral("accessType"), QStringLiteral("state")});
             connect(panel, &ZDPluginsPanel::pluginsRefreshed, this, [this, panel] { taskLoaded(panel); });
             return Made{panel, {[panel] { panel->refreshPlugins(); }, [panel] { panel->clearData(); }, std::chrono::seconds(0),
                                 [panel] { return panel->tree()->topLevelItemCount(); }}};
         }},
        {QStringLiteral("Difference Finder"),
         [this] {
             auto *panel = new ZDDifferenceFinderPanel(m_dispatcher, m_panels);
             return Made{panel, {[panel] { panel->populateServices(); }, [panel] { panel->clearData(); }}};
         }},
        {QStringLiteral("Quellar"),
         [this] {
             auto *panel = new ZDCrashLogPanel(m_dispatcher, m_errorCallback.get(), m_options.settingsPath, m_panels);
             connect(panel, &ZDCrashLogPanel::logsRefreshed, this, [this, panel] { taskLoaded(panel); });
             return Made{panel, {[panel] { panel->refreshLogs(); }, [panel] { panel->clearData(); }, std::chrono::seconds(300),
                                 [panel] { return panel->logTable()->topLevelItemCount(); }}};
         }},
        {QStringLiteral("Stowel"),
         [this] {
             auto *panel = new ZDPreferencesPanel(m_dispatcher, m_errorCallback.get(), m_panels);
             ZDItemSort::keep(panel->backupsTable(), QStringLiteral("stowelBackupTable"), m_options.settingsPath,
                              {QStringLiteral("hostname"), QStringLiteral("name"), QStringLiteral("date"),
                               QStringLiteral("size"), QStringLiteral("keys")});
             connect(panel, &ZDPreferencesPanel::backupsRefreshed, this, [this, panel] { taskLoaded(panel); });
             return Made{panel, {[panel] { panel->refreshBackups(); }, [panel] { panel->clearData(); }, std::chrono::seconds(0),
                                 [panel] { return panel->backupsTable()->rowCount(); }}};
         }},
        {QStringLiteral("Tarnok"),
         [this] {
             auto *panel = new ZDPathsPanel(m_dispatcher, m_options.settingsPath, m_panels);
             connect(panel, &ZDPathsPanel::pathsRefreshed, this, [this, panel] { taskLoaded(panel); });
             return Made{panel, {[panel] { panel->refreshPaths(); }, [panel] { panel->clearData(); }, std::chrono::seconds(0),
                                 [panel] { return panel->tree()->topLevelItemCount(); }}};
         }},
        // Applications and the maker's tools: one panel class each, refreshed every 30 seconds where they list.
        {QStringLiteral("Pro Applications"), [applicationsPanel] { return applicationsPanel(ZDApplicationRows::Kind::Editing); }},
        {QStringLiteral("Kestra Maintenance Tools"), [applicationsPanel] { return applicationsPanel(ZDApplicationRows::Kind::Tools); }},
        {QStringLiteral("Tidwell"), [maintenancePanel] { return maintenancePanel(ZDMaintenancePanel::Tool::Cleaning); }},
        {QStringLiteral("Purgel"), [maintenancePanel] { return maintenancePanel(ZDMaintenancePanel::Tool::Removal); }},
        {QStringLiteral("Kitterel"), [maintenancePanel] { return maintenancePanel(ZDMaintenancePanel::Tool::Caches); }},
        {QStringLiteral("Mendo"), [maintenancePanel] { return maintenancePanel(ZDMaintenancePanel::Tool::Mendo); }},
        {QStringLiteral("Ondrel"), [repairPanel] { return repairPanel(QStringLiteral("Ondrel")); }},
        {QStringLiteral("Ketril"), [repairPanel] { return repairPanel(QStringLiteral("Ketril")); }},
        {QStringLiteral("Moravel"), [repairPanel] { return repairPanel(QStringLiteral("Moravel")); }},
        {QStringLiteral("Cadro"),
         [this] {
             auto *panel = new ZDSchedulerPanel(m_dispatcher, m_panels);
             ZDItemSort::keep(panel->tree(), QStringLiteral("cadroOutline"), m_options.settingsPath,
                              {QStringLiteral("taskDescription"), QStringLiteral("schedule"), QStringLiteral("enabled"),
                               QStringLiteral("state")});
             connect(panel, &ZDSchedulerPanel::tasksRefreshed, this, [this, panel] { taskLoaded(panel); });
             return Made{panel, {[panel] { panel->refreshCadroTasks(); }, [panel] { panel->clearData(); }, std::chrono::seconds(0),
                                 [panel] { return panel->tree()->topLevelItemCount(); }}};
         }},
        {QStringLiteral("Qmaster"),
         [this] {
             auto *panel = new ZDRenderQueuePanel(m_dispatcher, m_panels);
             ZDItemSort::keep(panel->tree(), QStringLiteral("qmasterOutline"), m_options.settingsPath,
                              {QStringLiteral("name"), QStringLiteral("batch"), QStringLiteral("status"),
                               QStringLiteral("cluster"), QStringLiteral("hostname")});
             connect(panel, &ZDRenderQueuePanel::jobsRefreshed, this, [this, panel] { taskLoaded(panel); });
             return Made{panel, {[panel] { panel->refreshQmasterJobs(); }, [panel] { panel->clearData(); }, std::chrono::seconds(60),
                                 [panel] { return panel->tree()->topLevelItemCount(); }}};
         }},
    };
    for (const QString &name : ZDAdminDefaults::taskNames()) {
        const std::function<Made()> make = makers.value(name);
        if (!make)
            continue;
        auto [widget, panel] = make();
        panel.name = name;
        if (panel.rows) {
            // While a cleared panel waits for its data, it says so instead of showing a blank list.
            panel.refresh = [this, refresh = panel.refresh, rows = panel.rows, name] {
                if (rows() == 0 && currentTaskPanel() && currentTaskPanel()->name == name) {
                    m_taskState->setText(ZDAdminDefaults::taskLoadingText(name, int(selectionSnapshot().size())));
                    m_taskState->show();
                }
                refresh();
            };
        }
        m_panels->addWidget(widget);
        m_taskPanels.append(panel);
        auto *item = new QListWidgetItem(taskIcon(name), ZDAdminDefaults::taskLabel(name), m_tasks);
        item->setData(Qt::UserRole, m_panels->count() - 1);
        item->setData(kTaskNameRole, name);
        item->setToolTip(ZDAdminDefaults::taskDescription(name));
    }
    connect(m_tasks, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *item) {
        // A new task drops what the others were doing.
        clearData();
        m_autoRefresh->setupAutoRefresh({}, std::chrono::seconds(0));
        m_panels->setCurrentIndex(item ? item->data(Qt::UserRole).toInt() : 0);
        showTaskHeader();
        if (const TaskPanel *panel = currentTaskPanel()) {
            panel->refresh();
            m_autoRefresh->setupAutoRefresh(panel->refresh, panel->interval);
        }
    });
    showTaskHeader();
    ZDPanelParts::enableChanges(m_panels, ZDActionTarget::hasTarget(int(selectedComputers().size()), false));
}

QListWidgetItem *ZDMainWindow::taskItem(const QString &task) const
{
    for (int i = 0; i < m_tasks->count(); ++i)
        if (m_tasks->item(i)->data(kTaskNameRole).toString() == task)
            return m_tasks->item(i);
    return nullptr;
}

void ZDMainWindow::showTaskHeader()
{
    const TaskPanel *panel = currentTaskPanel();
    const QString name = panel ? panel->name : QString();
    m_taskTitle->setText(panel ? ZDAdminDefaults::taskLabel(name) : QString());
    m_taskLine->setText(panel ? ZDAdminDefaults::taskDescription(name) : QString());
    m_taskTitle->setVisible(panel != nullptr);
    m_taskLine->setVisible(panel != nullptr);
    m_taskState->hide();
}

void ZDMainWindow::taskLoaded(QObject *panel)
{
    const TaskPanel *current = currentTaskPanel();
    if (!current || m_panels->currentWidget() != panel)
        return;
    const QString empty = ZDAdminDefaults::taskEmptyText(current->name);
    const bool none = current->rows && current->rows() == 0 && !empty.isEmpty();
    m_taskState->setText(none ? empty : QString());
    m_taskState->setVisible(none);
}

QIcon ZDMainWindow::taskIcon(const QString &task) const
{
    // The desktop's icon theme by meaning; the style's own pictures where the theme lacks one.
    static const QHash<QString, QStyle::StandardPixmap> fallbacks{
        {QStringLiteral("dialog-warning"), QStyle::SP_MessageBoxWarning},
        {QStringLiteral("edit-find"), QStyle::SP_FileDialogContentsView},
        {QStringLiteral("edit-delete"), QStyle::SP_TrashIcon},
        {QStringLiteral("user-trash"), QStyle::SP_TrashIcon},
        {QStringLiteral("edit-clear"), QStyle::SP_DialogResetButton},
        {QStringLiteral("folder"), QStyle::SP_DirIcon},
        {QStringLiteral("document-save"), QStyle::SP_DialogSaveButton},
        {QStringLiteral("applications-multimedia"), QStyle::SP_MediaPlay},
        {QStringLiteral("network-server"), QStyle::SP_DriveNetIcon},
        {QStringLiteral("x-office-calendar"), QStyle::SP_FileDialogDetailedView},
        {QStringLiteral("system-run"), QStyle::SP_CommandLink},
        {QStringLiteral("applications-system"), QStyle::SP_DesktopIcon},
    };
    const QString name = ZDAdminDefaults::taskIconName(task);
    return QIcon::fromTheme(name, style()->standardIcon(fallbacks.value(name, QStyle::SP_ComputerIcon)));
}

const ZDMainWindow::TaskPanel *ZDMainWindow::currentTaskPanel() const
{
    const int row = m_panels->currentIndex() - 1;
    return row >= 0 && row < m_taskPanels.size() ? &m_taskPanels.at(row) : nullptr;
}

void ZDMainWindow::clearData()
{
    m_dispatcher->cancelProcessing();
    for (const TaskPanel &panel : std::as_const(m_taskPanels))
        panel.clearData();
}

void ZDMainWindow::showWelcomeIfFirstRun()
{
    auto settings = ZDAdminSettings::open(m_options.settingsPath);
    if (!ZDAdminDefaults::boolValue(*settings, QString::fromLatin1(ZDAdminDefaults::kFirstRun), true))
        return;
    settings->setValue(QString::fromLatin1(ZDAdminDefaults::kFirstRun), false);
    settings->sync();
    auto *sheet = new QDialog(this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowTitle(tr("Welcome to Kestra Admin"));
    sheet->setWindowModality(Qt::WindowModal);
    auto *layout = new QVBoxLayout(sheet);
    auto *title = new QLabel(tr("<h3>Welcome to Kestra Admin</h3>"), sheet);
    ZDPlainText::allowRichText(title);
    auto *text = new QLabel(tr("The computers running Kestra Client on your network appear in the list on the left. "
                               "Use the + button to make groups or to connect to a computer by its address, drag "
                               "computers into groups, and pick a task on the right to work on the selected "
                               "computers all at once."),
                            sheet);
    text->setWordWrap(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, sheet);
    connect(buttons, &QDialogButtonBox::accepted, sheet, &QDialog::accept);
    layout->addWidget(title);
    layout->addWidget(text);
    layout->addWidget(buttons);
    sheet->resize(460, 200);
    m_welcome = sheet;
    sheet->open();
}

// --- the computer list ------------------------------------------------------

void ZDMainWindow::reloadServiceOutlineView() { m_model->reload(); }

void ZDMainWindow::applyViewState()
{
    m_view->expand(m_model->headerIndex());
    const QStringList expanded = m_outline->expandedGroups();
    for (const auto &item : m_outline->topLevelItems()) {
        if (item.group && expanded.contains(item.group->name()))
            m_view->expand(m_model->indexForItem(item));
    }
    // The rows were rebuilt: select again what is still there.
    m_restoringSelection = true;
    QItemSelection selection;
    for (const auto &item : m_outline->selection()) {
        const QModelIndex index = m_model->indexForItem(item);
        if (index.isValid())
            selection.select(index, index);
    }
    m_view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_restoringSelection = false;
    selectionChanged();
}

void ZDMainWindow::selectionChanged()
{
    if (m_restoringSelection)
        return;
    QList<ZDServiceOutline::Item> items;
    QModelIndexList rows = m_view->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [this](const QModelIndex &a, const QModelIndex &b) {
        return m_view->visualRect(a).top() < m_view->visualRect(b).top();
    });
    for (const QModelIndex &index : std::as_const(rows)) {
        if (m_model->kindOf(index) != ZDServiceOutlineModel::HeaderKind)
            items.append(m_model->itemForIndex(index));
    }
    m_outline->setSelection(items);
    if (updateSelectionSnapshot()) {
        // What the panel shows belongs to the computers it was read from.
        if (const TaskPanel *panel = currentTaskPanel())
            panel->clearData();
        m_autoRefresh->refreshAfterSelectionChange();
    }
    const ZDServicePtr first = firstSelectedComputer();
    const bool any = !items.isEmpty();
    m_info->setEnabled(first != nullptr);
    m_logs->setEnabled(first != nullptr);
    m_cancelMaintenance->setEnabled(m_outline->maintenanceCandidate() != nullptr);
    for (QAction *a : {m_refresh, m_reconnect, m_disconnect, m_stopAgent, m_restartAgent})
        a->setEnabled(!selectedComputers().isEmpty());
    m_removeButton->setEnabled(any);
    // Nothing chosen is no target: the panels' changes wait for a choice.
    ZDPanelParts::enableChanges(m_panels, ZDActionTarget::hasTarget(int(selectedComputers().size()), false));
    updateSelectedComputerStatus();
}

bool ZDMainWindow::updateSelectionSnapshot()
{
    const QList<ZDServicePtr> services = m_outline->selectedServices();
    std::lock_guard lock(m_snapshotMutex);
    if (m_snapshot == services)
        return false;
    m_snapshot = services;
    return true;
}

QList<ZDServicePtr> ZDMainWindow::selectionSnapshot() const
{
    std::lock_guard lock(m_snapshotMutex);
    return m_snapshot;
}

QList<ZDServicePtr> ZDMainWindow::selectedComputers() const
{
    return m_outline->selection().isEmpty() ? QList<ZDServicePtr>() : m_outline->selectedServices();
}

ZDServicePtr ZDMainWindow::firstSelectedComputer() const
{
    const auto selection = m_outline->selection();
    return !selection.isEmpty() ? selection.first().service : nullptr;
}

QString ZDMainWindow::statusText() const { return m_status->text(); }

void ZDMainWindow::updateSelectedComputerStatus()
{
    const int count = int(selectionSnapshot().size());
    if (m_status->text() == kWaitingForRelaunch && count == 0)
        return;
    const bool processing = m_dispatcher->isProcessing();
    if (!processing) {
        m_progress->hide();
        m_cancelButton->hide();
    }
    m_status->setText(ZDServiceOutline::statusLine(count, processing));
}

void ZDMainWindow::addServiceGroup()
{
    const ZDServiceGroupPtr group = m_outline->addServiceGroup();
    const QModelIndex index = m_model->indexForItem({group, nullptr});
    if (!index.isValid())
        return;
    m_view->setCurrentIndex(index);
    m_view->edit(index);
}

void ZDMainWindow::removeSelectedRows()
{
    const auto items = m_outline->selection();
    if (items.isEmpty())
        return;
    m_outline->removeItems(items);
}

void ZDMainWindow::showManualConnectionDialog() { m_manualSheet->showSheet(); }

void ZDMainWindow::serviceDoubleClick(const QModelIndex &index)
{
    if (m_model->kindOf(index) != ZDServiceOutlineModel::ServiceKind)
        return;
    const ZDServicePtr service = m_model->itemForIndex(index).service;
    if (service->isConnected() && service->errorCode() == 0)
        showInfo();
    else
        serviceOutlineBadgeClicked();
}

void ZDMainWindow::serviceOutlineBadgeClicked()
{
    const QModelIndexList rows = m_view->selectionModel()->selectedRows();
    if (rows.isEmpty() || m_model->kindOf(rows.first()) != ZDServiceOutlineModel::ServiceKind)
        return;
    const ZDServicePtr service = m_model->itemForIndex(rows.first()).service;
    if (service->needsMaintenance()) {
        cancelMaintenance();
    } else if (service->errorCode() != 0) {
        showErrorLog();
        m_errorCallback->errorToHighlight(service->errorCode(), service->hostName(), true);
        m_errorLogWindow->reload();
        m_errorLogWindow->highlightError(service->errorCode(), service->hostName());
    } else if (!service->isConnected()) {
        troubleshootConnection();
    }
}

void ZDMainWindow::cancelMaintenance()
{
    const ZDServicePtr service = m_outline->maintenanceCandidate();
    if (!service)
        return;
    ZDLog::appendLog(QStringLiteral("Canceling maintenance request..."));
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDBackground::run<bool>(
        this,
        [dispatcher, service] {
            ZDAgentCalls(dispatcher).cancelMaintenanceRequest(service);
            return true;
        },
        [](bool) {});
}

void ZDMainWindow::setMaintenance(const ZDServicePtr &service, bool needs)
{
    if (m_discovery->allServices().contains(service)) {
        service->setNeedsMaintenance(needs);
        m_model->refreshService(service.get());
        selectionChanged();
    }
}

void ZDMainWindow::runOnComputers(const QString &what, const std::function<void(const ZDServicePtr &)> &work)
{
    const QList<ZDServicePtr> services = selectedComputers();
    if (services.isEmpty())
        return;
    ZDLog::appendLog(QStringLiteral("%@ %i computer(s)..."), what, int(services.size()));
    // Connecting and disconnecting may wait for a connection thread: never here.
    for (const ZDServicePtr &service : services)
        ZDBackground::run<bool>(this, [work, service] { work(service); return true; },
                                [this, service](bool) { m_model->refreshService(service.get()); });
}

void ZDMainWindow::remoteOperation(const QString &what, void (ZDAgentCalls::*call)(const ZDServicePtr &) const)
{
    const ZDAgentCalls calls(m_dispatcher);
    runOnComputers(what, [calls, call](const ZDServicePtr &service) { (calls.*call)(service); });
}

void ZDMainWindow::toggleRequireAdminPassword(bool on)
{
    if (!on && !ZDAuthorization::sharedController().authStart()) {
        const QSignalBlocker blocker(m_requireAdmin);
        m_requireAdmin->setChecked(true);
        on = true;
    }
    auto settings = ZDAdminSettings::open(m_options.settingsPath);
    settings->setValue(QString::fromLatin1(ZDAdminDefaults::kRequireAdminPassword), on ? 1 : 0);
    settings->sync();
}

void ZDMainWindow::adminIsOutdated(ZDService *service)
{
    if (!service || m_adminUpdateMessageDisplayed)
        return;
    m_adminUpdateMessageDisplayed = true;
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Kestra Admin is outdated"),
                                zdFormat(QStringLiteral("The client software on %@ is expecting a more recent version of "
                                                        "Kestra Admin. Continued use of an outdated version could cause "
                                                        "stability issues.\n\nWould you like to update Kestra Admin now?"),
                                         service->name()),
                                QMessageBox::NoButton, this);
    box->setTextFormat(Qt::PlainText); // the name comes from the network
    QPushButton *search = box->addButton(QStringLiteral("Search for Updates"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Ignore"), QMessageBox::RejectRole);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, search] {
        if (box->clickedButton() != search)
            return;
        if (auto *updates = findChild<ZDSoftwareUpdatePanel *>()) {
            updates->showNuvell();
            return;
        }
        // The console's own update check is not part of this window yet.
        auto *sheet = new QMessageBox(QMessageBox::Warning, QStringLiteral("Unable to check for updates"),
                                      QStringLiteral("Selector not initialized."), QMessageBox::Ok, this);
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        sheet->open();
    });
    box->open();
}

// --- progress ---------------------------------------------------------------

void ZDMainWindow::progressStarted(int total)
{
    m_progress->setRange(0, total > 1 ? total : 0);
    m_progress->setValue(0);
    m_progress->show();
    m_cancelButton->show();
    m_refreshPanel->setEnabled(false);
    m_status->setText(ZDServiceOutline::statusLine(int(selectionSnapshot().size()), true));
}

void ZDMainWindow::displayCrashDialogForClient(const ZDServicePtr &service, const QString &computer,
                                               const QString &logName)
{
    auto *ask = new QMessageBox(QMessageBox::Question, tr("Kestra Client crashed"),
                                tr("Kestra Client on %1 quit unexpectedly. Open the report in the crash reporter?")
                                    .arg(computer),
                                QMessageBox::Open | QMessageBox::Cancel, this);
    ask->setTextFormat(Qt::PlainText); // the name comes from the network
    ask->setAttribute(Qt::WA_DeleteOnClose);
    connect(ask, &QMessageBox::buttonClicked, m_clientCrash, [this, ask, service, logName](QAbstractButton *button) {
        if (ask->standardButton(button) == QMessageBox::Open)
            m_clientCrash->openReport(service, logName);
    });
    ask->open();
}

void ZDMainWindow::runTasksWithProgress(const QString &taskID, const QString &bundleID, const QVariant &options,
                                        int stepsPerComputer)
{
    const auto computers = selectionSnapshot().size();
    if (m_dispatcher->isProcessing() || m_progressState->isShown() || computers == 0)
        return;
    m_progressState->startProgress();
    m_progressState->progressBarSetMaxValue(int(qMin<qsizetype>(computers * qMax(1, stepsPerComputer), INT_MAX)));
    m_dispatcher->executeRemoteTasks(taskID, bundleID, options);
}

void ZDMainWindow::cancelAllProgress()
{
    m_progressRuns->cancelAll();
    // The panels' busy bars stop with it.
    for (QProgressBar *bar : m_panels->findChildren<QProgressBar *>()) {
        if (bar->maximum() == 0)
            bar->setRange(0, 1);
    }
    progressFinished();
}

void ZDMainWindow::progressAdvanced()
{
    if (m_progress->maximum() > 0)
        m_progress->setValue(qMin(m_progress->maximum(), m_progress->value() + 1));
}

void ZDMainWindow::progressFinished()
{
    m_progress->hide();
    m_cancelButton->hide();
    // A run's batches end before the run: its sheet closes with the run.
    if (!m_progressRuns->isRunning())
        m_progressState->endProgress();
    m_autoRefresh->processingEnded();
    updateSelectedComputerStatus();
}

// --- other windows ----------------------------------------------------------

void ZDMainWindow::showErrorLog()
{
    if (!m_errorLogWindow) {
        m_errorLogWindow = new ZDErrorLogWindow(m_errorCallback.get(), this);
        m_errorLogWindow->setWindowFlag(Qt::Window);
        m_errorLogWindow->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_errorLogWindow, &ZDErrorLogWindow::checkForUpdatesRequested, findChild<ZDSoftwareUpdatePanel *>(),
                &ZDSoftwareUpdatePanel::showNuvell);
    }
    m_errorLogWindow->reload();
    m_errorLogWindow->show();
    m_errorLogWindow->raise();
}

void ZDMainWindow::showInfo()
{
    const ZDServicePtr service = firstSelectedComputer();
    if (!service)
        return;
    if (!m_infoPanel) {
        m_infoPanel = new ZDComputerInfoPanel(m_dispatcher, this);
        m_infoPanel->setWindowFlag(Qt::Window);
        m_infoPanel->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_infoPanel->showInfo(service);
    m_infoPanel->show();
    m_infoPanel->raise();
}

void ZDMainWindow::showLogs()
{
    if (!m_logViewer) {
        m_logViewer = new ZDLogViewer(m_dispatcher, [this] { return m_discovery->allServices(); }, this);
        m_logViewer->setWindowFlag(Qt::Window);
        m_logViewer->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_logViewer->showLogs(firstSelectedComputer());
    m_logViewer->show();
    m_logViewer->raise();
}

void ZDMainWindow::troubleshootConnection(const ZDServicePtr &failed)
{
    if (!m_troubleshooter) {
        m_troubleshooter = new ZDTroubleshooter([this] { return m_discovery->allServices(); }, this);
        m_troubleshooter->setWindowFlag(Qt::Window);
        m_troubleshooter->setAttribute(Qt::WA_DeleteOnClose);
    }
    const ZDServicePtr service = failed ? failed : firstSelectedComputer();
    if (service)
        m_troubleshooter->troubleshootConnection(service);
    else
        m_troubleshooter->showConnectionTroubleshooter();
    m_troubleshooter->show();
    m_troubleshooter->raise();
}

// --- housekeeping -----------------------------------------------------------

void ZDMainWindow::trashCaches()
{
    ZDAlert::alertSheet(ZDCacheCleaner::confirmationTitle(), ZDCacheCleaner::confirmButton(), tr("Cancel"), QString(),
                        ZDCacheCleaner::confirmationText(), this, this, "trashCachesAlertDidEnd", false);
}

void ZDMainWindow::trashCachesAlertDidEnd(ZDAlert *, int returnCode)
{
    if (returnCode != ZDAlert::kDefaultReturn)
        return;
    ZDBackground::run<ZDCacheCleaner::Outcome>(
        this, [] { return ZDCacheCleaner().trashCaches(); },
        [this](const ZDCacheCleaner::Outcome &outcome) {
            ZDAlert::alertSheet(outcome.title, tr("OK"), QString(), QString(), outcome.text, this, false);
        });
}

void ZDMainWindow::securityRemovePasswords()
{
    ZDAlert::alertSheet(QStringLiteral("Are you sure you wish to remove all stored passwords?"), tr("Remove"),
                        tr("Cancel"), QString(),
                        QStringLiteral("You will be required to re-enter them next time you perform an authorized "
                                       "action."),
                        this, this, "removePasswordsAlertDidEnd", false);
}

void ZDMainWindow::removePasswordsAlertDidEnd(ZDAlert *, int returnCode)
{
    if (returnCode != ZDAlert::kDefaultReturn)
        return;
    ZDDispatcher *dispatcher = m_dispatcher;
    // The keyring answers over the session bus: not on this thread.
    ZDBackground::run<bool>(
        this, [dispatcher] { return dispatcher->removeAllStoredPasswords(); },
        [this](bool removed) {
            if (!removed)
                ZDAlert::alertSheet(QStringLiteral("Unable to remove stored passwords"), tr("OK"), QString(), QString(),
                                    QStringLiteral("Please make sure that your keyring is running and unlocked."),
                                    this, false);
        });
}

void ZDMainWindow::viewLog(bool taskLog)
{
    const QString path = ZDLogGathering().adminLogPath(taskLog);
    if (!QFileInfo::exists(path)) {
        ZDAlert::alertSheet(ZDLogGathering::missingLogTitle(), tr("OK"), QString(), QString(),
                            ZDLogGathering::missingLogText(taskLog), this, false);
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void ZDMainWindow::gatherLogs()
{
    ZDBackground::run<ZDLogGathering::Outcome>(
        this, [] { return ZDLogGathering().gatherLocal(); },
        [this](const ZDLogGathering::Outcome &outcome) {
            QString text = outcome.text;
            if (!outcome.fileErrors.isEmpty())
                text += QStringLiteral("\n\n") + outcome.fileErrors.join(u'\n');
            if (!outcome.title.isEmpty())
                ZDAlert::alertSheet(outcome.title, tr("OK"), QString(), QString(), text, this, false);
        });
}
