#pragma once
// The "Cadro" (scheduler) panel: one row per schedule merged across the selected
// computers, a line per computer, rows that differ marked with how. The add sheet
// offers the first computer's tools and tasks, the run types and their interval
// fields (clamped as typed, with their readable text) and a chooser for the watched
// folder. Remove, enable and disable act on the selected line or row and are off
// with nothing selected; remove, sync and the "All" buttons ask first with what they
// reach. Logic in ZDScheduleTasks; agents' texts are plain text.
#include "features/schedules/ZDScheduleTasks.h"

#include <QDialog>
#include <QWidget>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTreeWidget;
class ZDDispatcher;

class ZDScheduleAddSheet : public QDialog
{
    Q_OBJECT
public:
    explicit ZDScheduleAddSheet(QWidget *parent = nullptr);
    // Tool records {"name", "bundleid", "tasks": [{"id", "name", "description", "root"}]}.
    void setTools(const QVariantList &tools);
    // The task argument dictionary once the fields passed their checks; *root from the task.
    QVariantMap arguments(bool *root, QString *title, QString *text) const;
    QLabel *readable() const { return m_readable; }
    QLineEdit *field(int i) const { return m_fields[i]; }
    QComboBox *runType() const { return m_run; }

private:
    void fieldsChanged();
    void toolChanged();

    QVariantList m_tools;
    QComboBox *m_tool, *m_task, *m_run;
    QStackedWidget *m_boxes;
    QLineEdit *m_seconds, *m_folder;
    QLineEdit *m_fields[5];
    QLabel *m_readable;
};

class ZDSchedulerPanel : public QWidget
{
    Q_OBJECT
public:
    explicit ZDSchedulerPanel(ZDDispatcher *dispatcher, QWidget *parent = nullptr);

    QTreeWidget *tree() const { return m_tree; }
    const QList<ZDScheduledTask> &rows() const { return m_rows; }
    ZDScheduleAddSheet *addSheet() const { return m_sheet; }

public Q_SLOTS:
    void refreshCadroTasks();
    void clearData();
    void showAddSheet();

Q_SIGNALS:
    void tasksRefreshed();
    void toolsLoaded();

private:
    using Work = std::function<ZDScheduleTasks::Report(ZDScheduleTasks &)>;
    void act(const Work &work);
    void show(const QList<ZDScheduledTask> &rows);
    // The rows selected (their parents for a line) and the line's host.
    QList<ZDScheduledTask> selected(QString *host) const;
    // A change that cannot be undone, asked with what it touches.
    bool confirm(const QString &question, const QString &action);

    ZDDispatcher *m_dispatcher;
    QList<ZDScheduledTask> m_rows;
    quint64 m_generation = 0;
    QTreeWidget *m_tree;
    QLabel *m_status;
    ZDScheduleAddSheet *m_sheet;
    QList<QPushButton *> m_actions;
};
