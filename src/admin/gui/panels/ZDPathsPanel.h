#pragma once
// The "Tarnok" panel: the applications' folder paths, a row per path with a line
// per selected computer; rows whose computers disagree (or differ from the locked
// path) are marked. Reset one, reset all, copy one computer's paths to the others,
// lock a row's path as the reference. All logic is in ZDPaths; remote work runs on
// the console's pool. Agents' texts are shown as plain text.
#include "features/prefs/ZDPaths.h"

#include <QWidget>

class QComboBox;
class QLabel;
class QTreeWidget;
class ZDDispatcher;

class ZDPathsPanel : public QWidget
{
    Q_OBJECT
public:
    // dispatcher must outlive the panel; settingsPath: the console's settings file.
    explicit ZDPathsPanel(ZDDispatcher *dispatcher, const QString &settingsPath = QString(), QWidget *parent = nullptr);

    QTreeWidget *tree() const { return m_tree; }
    QLabel *status() const { return m_status; }
    const QList<ZDPathRowView> &rows() const { return m_rows; }

public Q_SLOTS:
    void refreshPaths();
    void clearData();

Q_SIGNALS:
    void pathsRefreshed();

private:
    void show(const QList<ZDPathRowView> &rows);
    void runAndRefresh(std::function<QString()> work);
    // The row (and computer line) under the selection; row -1 when none.
    int selectedRow(QString *service) const;

    ZDDispatcher *m_dispatcher;
    ZDPaths m_paths;
    QList<ZDPathRowView> m_rows;
    quint64 m_generation = 0;
    QTreeWidget *m_tree;
    QComboBox *m_source;
    QLabel *m_status;
};
