#pragma once
// The console's main window and its controller: the computer list with its
// add/remove control and context menu on the left, the task list and the shown
// task's panel on the right, the status line and progress bar under the list.
// It owns the console's core objects (error queue, discovery, outline,
// dispatcher) and forwards the user's actions to them.
#include "ZDAlert.h"
#include "fleet/ZDService.h"
#include "fleet/ZDServiceOutline.h"

#include <QDialog>
#include <QMainWindow>
#include <QMessageBox> // ZDAlert's inline accessors need it whole
#include <QPointer>

#include <chrono>
#include <memory>
#include <mutex>

class QAction;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QProgressBar;
class QStackedWidget;
class QToolButton;
class ZDAgentCalls;
class ZDAutoRefresh;
class ZDClientCrash;
class ZDProgressSheet;
class ZDProgressRuns;
class ZDProgressState;
class ZDComputerInfoPanel;
class ZDCredentialSheet;
class ZDDiscovery;
class ZDDispatcher;
class ZDErrorCallback;
class ZDErrorLogWindow;
class ZDLogViewer;
class ZDManualConnectionSheet;
class ZDServiceOutlineModel;
class ZDServiceOutlineView;
class ZDSoftwareUpdatePanel;
class ZDTroubleshooter;

class ZDMainWindow : public QMainWindow
{
    Q_OBJECT
public:
    struct Options
    {
        QString settingsPath; // empty: the console's settings file
        bool browse = true;   // false: manual connections only (tests, demo)
    };

    explicit ZDMainWindow(const Options &options, QWidget *parent = nullptr);
    ~ZDMainWindow() override;

    ZDDiscovery *discovery() const { return m_discovery; }
    ZDServiceOutline *outline() const { return m_outline; }
    ZDDispatcher *dispatcher() const { return m_dispatcher; }
    ZDErrorCallback *errorCallback() const { return m_errorCallback.get(); }
    ZDServiceOutlineModel *outlineModel() const { return m_model; }
    ZDServiceOutlineView *outlineView() const { return m_view; }
    QString statusText() const;
    QDialog *welcomeSheet() const { return m_welcome; }
    QListWidget *taskList() const { return m_tasks; }
    // A task's item in the list by the task's name (its text also says what the task does).
    static constexpr int kTaskNameRole = Qt::UserRole + 1;
    QListWidgetItem *taskItem(const QString &task) const;
    QLabel *taskTitle() const { return m_taskTitle; }
    QLabel *taskLine() const { return m_taskLine; }
    // "Loading ...", "No ... on the selected computers", or hidden.
    QLabel *taskState() const { return m_taskState; }
    QAction *cancelMaintenanceAction() const { return m_cancelMaintenance; }
    ZDProgressState *progressState() const { return m_progressState; }
    ZDProgressRuns *progressRuns() const { return m_progressRuns; }
    ZDProgressSheet *progressSheet() const { return m_progressSheet; }
    ZDAutoRefresh *autoRefresh() const { return m_autoRefresh; }
    ZDSoftwareUpdatePanel *softwareUpdatePanel() const { return m_softwareUpdate; }
    QWidget *helpWindow() const { return m_help; }

    // Runs a tool's task on the selected computers under the progress sheet, which
    // expects stepsPerComputer steps from each tool and closes when the batch ends;
    // its Cancel stops the batch before the next computer.
    void runTasksWithProgress(const QString &taskID, const QString &bundleID, const QVariant &options,
                              int stepsPerComputer);
    // A computer's agent crashed: asks whether to open its report in the crash reporter.
    void displayCrashDialogForClient(const ZDServicePtr &service, const QString &computer, const QString &logName);

public Q_SLOTS:
    void addServiceGroup();
    // The remove segment of the add/remove control.
    void removeSelectedRows();
    void showManualConnectionDialog();
    void reloadServiceOutlineView();
    void updateSelectedComputerStatus();
    void serviceDoubleClick(const QModelIndex &index);
    void serviceOutlineBadgeClicked();
    void cancelMaintenance();
    // The status bar's cancel: the sheet's cancel, the status progress ended, panel spinners stopped.
    void cancelAllProgress();
    void showErrorLog();
    void showInfo();
    void showLogs();
    // On failed, else on the first selected computer, else on the whole list.
    void troubleshootConnection(const ZDServicePtr &failed = nullptr);
    // The console's own housekeeping: caches, stored passwords, its logs.
    void trashCaches();
    void securityRemovePasswords();
    void viewLog(bool taskLog = false);
    void gatherLogs();
    void showHelp();
    // Opens the issue page and offers the log bundle of Gather Logs.
    void reportBug();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // The task panels after the empty page, in page order.
    struct TaskPanel
    {
        std::function<void()> refresh;
        std::function<void()> clearData;
        std::chrono::seconds interval{0};
        std::function<int()> rows = {}; // what the panel lists now; empty: it lists nothing
        QString name = {};
    };
    // The panel's data came: its empty state, when it holds nothing.
    void taskLoaded(QObject *panel);
    void showTaskHeader();

    void buildActions();
    void buildLayout();
    void buildMenus();
    void populateTasks();
    QIcon taskIcon(const QString &task) const;
    void softwareUpdateClosed(bool autoClose);
    Q_INVOKABLE void reportBugAlertDidEnd(ZDAlert *alert, int returnCode);
    const TaskPanel *currentTaskPanel() const;
    // Drops what every panel shows and cancels their work.
    void clearData();
    void showWelcomeIfFirstRun();
    void selectionChanged();
    void applyViewState();
    // True when the selected computers changed.
    bool updateSelectionSnapshot();
    QList<ZDServicePtr> selectionSnapshot() const;
    QList<ZDServicePtr> selectedComputers() const;
    ZDServicePtr firstSelectedComputer() const;
    void runOnComputers(const QString &what, const std::function<void(const ZDServicePtr &)> &work);
    void remoteOperation(const QString &what, void (ZDAgentCalls::*call)(const ZDServicePtr &) const);
    void toggleRequireAdminPassword(bool on);
    void progressStarted(int total);
    void progressAdvanced();
    void progressFinished();
    void setMaintenance(const ZDServicePtr &service, bool needs);
    void adminIsOutdated(ZDService *service);
    Q_INVOKABLE void trashCachesAlertDidEnd(ZDAlert *alert, int returnCode);
    Q_INVOKABLE void removePasswordsAlertDidEnd(ZDAlert *alert, int returnCode);

    const Options m_options;
    std::shared_ptr<ZDErrorCallback> m_errorCallback;
    ZDDiscovery *m_discovery = nullptr;
    ZDServiceOutline *m_outline = nullptr;
    ZDDispatcher *m_dispatcher = nullptr;
    ZDServiceOutlineModel *m_model = nullptr;
    ZDServiceOutlineView *m_view = nullptr;

    QToolButton *m_addButton = nullptr;
    QToolButton *m_removeButton = nullptr;
    QMenu *m_addMenu = nullptr;
    QMenu *m_contextMenu = nullptr;
    QProgressBar *m_progress = nullptr;
    QToolButton *m_cancelButton = nullptr;
    QLabel *m_status = nullptr;
    QListWidget *m_tasks = nullptr;
    QStackedWidget *m_panels = nullptr;
    QLabel *m_taskTitle = nullptr;
    QLabel *m_taskLine = nullptr;
    QLabel *m_taskState = nullptr;
    QPointer<QDialog> m_welcome;

    QAction *m_newGroup = nullptr;
    QAction *m_connectTo = nullptr;
    QAction *m_refresh = nullptr;
    QAction *m_reconnect = nullptr;
    QAction *m_disconnect = nullptr;
    QAction *m_stopAgent = nullptr;
    QAction *m_restartAgent = nullptr;
    QAction *m_cancelMaintenance = nullptr;
    QAction *m_info = nullptr;
    QAction *m_logs = nullptr;
    QAction *m_errorLog = nullptr;
    QAction *m_troubleshoot = nullptr;
    QAction *m_requireAdmin = nullptr;
    QAction *m_refreshPanel = nullptr;

    ZDManualConnectionSheet *m_manualSheet = nullptr;
    ZDCredentialSheet *m_credentialSheet = nullptr;
    QPointer<ZDErrorLogWindow> m_errorLogWindow;
    QPointer<ZDComputerInfoPanel> m_infoPanel;
    QPointer<ZDLogViewer> m_logViewer;
    QPointer<ZDTroubleshooter> m_troubleshooter;
    QPointer<QWidget> m_help;
    ZDSoftwareUpdatePanel *m_softwareUpdate = nullptr;
    QList<TaskPanel> m_taskPanels;
    ZDAutoRefresh *m_autoRefresh = nullptr;
    ZDProgressState *m_progressState = nullptr;
    ZDProgressRuns *m_progressRuns = nullptr;
    ZDProgressSheet *m_progressSheet = nullptr;
    ZDClientCrash *m_clientCrash = nullptr;

    mutable std::mutex m_snapshotMutex;
    QList<ZDServicePtr> m_snapshot;
    bool m_restoringSelection = false;
    bool m_troubleshooterAutoLaunched = false;
    bool m_adminUpdateMessageDisplayed = false;
};
