#pragma once
// The "Quellar" panel: the crash logs of the selected computers in one sortable
// table, the statistics over them with a period filter, the selected log's
// explanation (HTML from another computer: links shown, nothing loaded), and the
// actions: view the log, remove it, submit it with a comment, consolidate logs on
// the computers with credentials. All logic is in ZDCrashLogController.
#include "features/crashlogs/ZDCrashLogController.h"
#include "ZDInertTextBrowser.h"

#include <QWidget>

#include <memory>

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QTreeWidget;
class ZDDispatcher;
class ZDErrorCallback;

class ZDCrashLogPanel : public QWidget
{
    Q_OBJECT
public:
    // dispatcher and callback must outlive the panel; the dispatcher decides the selection.
    // settingsPath: the console's settings, which keep the table's sort (none: not kept).
    ZDCrashLogPanel(ZDDispatcher *dispatcher, ZDErrorCallback *callback, const QString &settingsPath = {},
                    QWidget *parent = nullptr);

    ZDCrashLogController &controller() { return *m_controller; }
    QTreeWidget *logTable() const { return m_table; }
    QTableWidget *statsTable() const { return m_stats; }
    QComboBox *statsFilter() const { return m_filter; }
    QTextBrowser *explanationView() const { return m_explanation; }
    bool isBusy() const { return m_busy > 0; }

public Q_SLOTS:
    void refreshLogs();
    void clearData();
    void populateStats();
    void viewSelectedLog();
    void removeSelectedLog();
    void submitSelectedLog();
    void consolidateLogs();

Q_SIGNALS:
    void logsRefreshed();
    void explanationShown();

private:
    void reloadTable();
    void updateSelection();
    QVariantMap selectedRecord() const;

    ZDDispatcher *m_dispatcher;
    // Shared with the work under way, which may end after the panel.
    std::shared_ptr<ZDCrashLogController> m_controller;
    QTreeWidget *m_table;
    QComboBox *m_filter;
    QTableWidget *m_stats;
    ZDInertTextBrowser *m_explanation;
    QLabel *m_status;
    QList<QPushButton *> m_logActions;
    QString m_settingsPath;
    int m_busy = 0;
    quint64 m_selectionGeneration = 0;
};
