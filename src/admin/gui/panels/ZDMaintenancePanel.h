#pragma once
// The panels of the maker's tools run on the selected computers: cleaning (the
// cleaning tool's tasks with presets), removal (component groups with presets,
// confirmed, with rights), caches (cache keys, confirmed, with rights, progress to
// computers x keys) and the Mendo repair with its results. All logic is in
// ZDMaintenanceRuns and the shared tables; remote work runs on the console's pool.
#include <QWidget>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QTreeWidget;
class ZDDispatcher;
class ZDErrorCallback;

class ZDMaintenancePanel : public QWidget
{
    Q_OBJECT
public:
    enum class Tool { Cleaning, Removal, Caches, Mendo };
    // dispatcher and callback must outlive the panel.
    ZDMaintenancePanel(ZDDispatcher *dispatcher, ZDErrorCallback *callback, Tool tool, QWidget *parent = nullptr);

    QTreeWidget *list() const { return m_list; }
    QComboBox *presets() const { return m_presets; }
    QStringList tickedKeys() const;

public Q_SLOTS:
    void applyPreset(int preset);
    void start();
    void clearData();

Q_SIGNALS:
    void runFinished(const QString &summary);

private:
    bool confirmed();

    ZDDispatcher *m_dispatcher;
    ZDErrorCallback *m_callback;
    const Tool m_tool;
    QTreeWidget *m_list = nullptr;
    QComboBox *m_presets = nullptr;
    QProgressBar *m_progress;
    QPlainTextEdit *m_results;
    QLabel *m_status;
};
