#pragma once
// The "Software Update" window: the updates of every computer merged into one row per
// product (ZDSoftwareUpdateItems) with the computers as sub-rows, the chosen row's
// change list, automatic or manual installation, and the toolbar action whose icon
// carries the number of waiting updates (ZDSoftwareUpdateCounts), also while closed.
// Collecting and installing run on the console's pool; the window only shows results.
// An update of the console itself hands over to the updater and quits the console.
#include "features/updates/ZDSoftwareUpdateItems.h"

#include <QWidget>

#include <functional>

class QAction;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTextBrowser;
class QToolBar;
class QTreeWidget;
class ZDAlert;
class ZDDiscovery;
class ZDDispatcher;
class ZDErrorCallback;
class ZDProgressSheet;
class ZDProgressState;
class ZDSoftwareUpdateCounts;

class ZDSoftwareUpdatePanel : public QWidget
{
    Q_OBJECT
public:
    // How long "Waiting for clients to relaunch..." stays up at most.
    static constexpr int kRelaunchWaitMs = 120 * 1000;

    // The console's own update: its entry (empty: none), off the GUI thread; and the
    // hand-over to the updater (false with a title and text to show).
    using SelfCheck = std::function<QVariantMap()>;
    using SelfInstall = std::function<bool(const QString &url, QString *title, QString *text)>;

    // All three must outlive the panel.
    ZDSoftwareUpdatePanel(ZDDispatcher *dispatcher, ZDErrorCallback *callback, ZDSoftwareUpdateCounts *counts,
                          QWidget *parent = nullptr);
    // The console's window: counts following its computers, the panel, and its toolbar action.
    static ZDSoftwareUpdatePanel *attach(QMainWindow *window, QToolBar *toolbar, ZDDispatcher *dispatcher,
                                         ZDErrorCallback *callback, ZDDiscovery *discovery);

    void setSelfUpdate(SelfCheck check, SelfInstall install);
    // At start-up unless "SUCheckAtStartup" is off: a newer version noted by an earlier
    // check counts at once, then the feed is read again in the background.
    void checkForSelfUpdateAtStartup(const QString &settingsPath);
    ZDSoftwareUpdateCounts *counts() const { return m_counts; }

    QAction *toolbarAction() const { return m_action; }
    QTreeWidget *outline() const { return m_outline; }
    QTextBrowser *changeListView() const { return m_changes; }
    QRadioButton *manualButton() const { return m_manual; }
    QRadioButton *automaticButton() const { return m_automatic; }
    QPushButton *installButton() const { return m_install; }
    ZDProgressState *progressState() const { return m_progress; }
    const QList<ZDNuvellItem> &items() const { return m_items; }

public Q_SLOTS:
    void showNuvell();
    void populateNuvells();
    void installUpdates();
    void changeType();
    void clearNuvells();

Q_SIGNALS:
    void nuvellsPopulated();
    void installFinished();
    void selfUpdateChecked(bool available);
    // The window was closed; autoClose: by the install of an agent or self update.
    void windowClosed(bool autoClose);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showItems(const QList<ZDNuvellItem> &items);
    void showChangeList();
    void updateInstallButton();
    void updateBadge(qint64 total);
    void setBusy(bool busy);
    void installAutomatically(const QList<ZDNuvellItem> &items);
    void installManually(const QList<ZDNuvellItem> &items);
    void installSelf(const QString &url);
    void waitForClients();
    void message(const QString &title, const QString &text, const QByteArray &didEnd = {});
    Q_INVOKABLE void closeAfterAlert(ZDAlert *alert, int returnCode);

    ZDDispatcher *m_dispatcher;
    ZDErrorCallback *m_callback;
    ZDSoftwareUpdateCounts *m_counts;
    SelfCheck m_selfCheck;
    SelfInstall m_selfInstall;
    QList<ZDNuvellItem> m_items;
    quint64 m_generation = 0;
    bool m_busy = false;
    bool m_filling = false;
    bool m_installCancelled = false;
    bool m_autoClosing = false;

    QAction *m_action;
    QTreeWidget *m_outline;
    QTextBrowser *m_changes;
    QRadioButton *m_automatic;
    QRadioButton *m_manual;
    QPushButton *m_install;
    QProgressBar *m_spinner;
    ZDProgressState *m_progress;
    ZDProgressSheet *m_sheet;
};
