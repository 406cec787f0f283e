#pragma once
// The "Stowel" panel: the tree of applications and their kinds of preference
// files with check boxes, the backups of the selected computers, and the actions
// on the checked kinds. All logic is in ZDPreferences; remote work runs on the
// console's pool and answers here. Agents' texts are shown as plain text.
#include "dispatch/ZDProgressRuns.h"
#include "features/prefs/ZDPreferences.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;
class ZDDispatcher;
class ZDErrorCallback;

class ZDPreferencesPanel : public QWidget
{
    Q_OBJECT
public:
    // dispatcher must outlive the panel; it decides the selected computers. What
    // the agents report to errors while and after an action is shown as its outcome.
    explicit ZDPreferencesPanel(ZDDispatcher *dispatcher, ZDErrorCallback *errors = nullptr,
                                QWidget *parent = nullptr);

    QTreeWidget *tree() const { return m_tree; }
    QTableWidget *backupsTable() const { return m_table; }
    QLabel *status() const { return m_status; }
    const ZDPreferenceTree &preferenceTree() const { return m_prefs; }

public Q_SLOTS:
    void refreshBackups();
    void clearData();

Q_SIGNALS:
    void backupsRefreshed();

private:
    void showTree();
    void itemChanged(QTreeWidgetItem *item);
    // Runs the work off the GUI thread; a non-empty answer is shown as the alert.
    void runAndRefresh(std::function<QString()> work);
    // Under the window's progress sheet, the work reporting each computer done.
    void runAndRefresh(std::function<QString(ZDProgressRuns::Steps &)> work);
    void restoreSelected();
    // The backup sheet's checks: an alert, and false, when nothing is checked (withKinds) or the name is unusable.
    bool backupAllowed(bool withKinds);
    // The last action's answer and the failures its computers reported since it started.
    void showOutcome();

    ZDDispatcher *m_dispatcher;
    QPointer<ZDErrorCallback> m_errors;
    // Of the last action: the queue when it started, its computers, its answer once done.
    QVariantList m_queueBefore;
    QStringList m_hosts;
    std::optional<QString> m_answer;
    ZDPreferenceTree m_prefs;
    QVariantList m_backups;
    quint64 m_generation = 0;
    quint64 m_actions = 0;
    QTreeWidget *m_tree;
    QTableWidget *m_table;
    QLineEdit *m_name;
    QComboBox *m_type;
    QLabel *m_status;
};
