#pragma once
// The remote log window: a computer chosen in the source pop-up, the names of its
// logs and the text of the chosen one (only text, at most a bounded tail), fetched
// on worker threads. "Gather Logs" writes the logs of the selected computers and
// the console's own into "ZD_Log_Dump.zip" on the desktop.
#include "console/ZDLogGathering.h"
#include "fleet/ZDService.h"

#include <QWidget>

#include <functional>

class QComboBox;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QLabel;
class ZDDispatcher;

class ZDLogViewer : public QWidget
{
    Q_OBJECT
public:
    using ServiceProvider = std::function<QList<ZDServicePtr>()>;

    // dispatcher must outlive the window; allServices fills the source pop-up.
    ZDLogViewer(ZDDispatcher *dispatcher, ServiceProvider allServices, QWidget *parent = nullptr);

    // Refills the pop-up, shows the window and loads the chosen computer's log names.
    void showLogs(const ZDServicePtr &preferred = nullptr);
    void populateLogs(const ZDServicePtr &service);
    void changeLog(const QString &filename);
    // The selected computers' logs (gatherLogs) plus the console's, zipped on the desktop.
    void gatherNetworkLogs();
    // The console's own logs only.
    void gatherLogs();
    // Opens the console's current log (or its helper task's) with the desktop's viewer;
    // false, with an alert, when there is none.
    bool viewLog(bool taskLog = false);
    // Folders for the gathering (tests); empty: the standard ones.
    void setGatheringFolders(const QString &workParent, const QString &desktop, const QString &logFolder);

    QComboBox *sourcePopUp() const { return m_source; }
    QListWidget *logList() const { return m_list; }
    QString text() const;
    QStringList logFilenames() const { return m_names; }
    QPushButton *gatherButton() const { return m_gather; }

Q_SIGNALS:
    void logNamesLoaded();
    void logTextLoaded();
    void logsGathered(const ZDLogGathering::Outcome &outcome);

private:
    ZDServicePtr chosenService() const;
    void showGathered(const ZDLogGathering::Outcome &outcome);

    ZDDispatcher *m_dispatcher;
    ServiceProvider m_allServices;
    QList<ZDServicePtr> m_services;
    QStringList m_names;
    quint64 m_namesGeneration = 0;
    quint64 m_textGeneration = 0;
    QString m_workParent;
    QString m_desktop;
    QString m_logFolder;
    QComboBox *m_source;
    QListWidget *m_list;
    QPlainTextEdit *m_text;
    QLabel *m_status;
    QPushButton *m_gather;
};

Q_DECLARE_METATYPE(ZDLogGathering::Outcome)
