#pragma once
// The "Brindel" panel: one row per plug-in merged across the selected computers,
// a line per computer, the rows whose copies differ marked with how. Sync brings
// every computer to the copy on the computer whose line is selected, and shows
// each copy's SHA-256 (onto computers without the plug-in only when asked); enable,
// disable and the two access buttons act on the selected row (or line), or on every
// plug-in when "All plug-ins" is ticked; with neither they are disabled. Each asks
// first with what it reaches ("Disable 2 plug-ins on 3 computers?"). All
// logic is in ZDPluginItems; remote work runs on the console's pool. Agents' texts
// are shown as plain text.
#include "features/plugins/ZDPluginItems.h"

#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class ZDDispatcher;

class ZDPluginsPanel : public QWidget
{
    Q_OBJECT
public:
    // dispatcher must outlive the panel.
    explicit ZDPluginsPanel(ZDDispatcher *dispatcher, QWidget *parent = nullptr);

    QTreeWidget *tree() const { return m_tree; }
    const QList<ZDPluginItem> &items() const { return m_items; }

public Q_SLOTS:
    void refreshPlugins();
    void clearData();

Q_SIGNALS:
    void pluginsRefreshed();

private:
    using Work = std::function<ZDPluginItems::Report(ZDPluginItems &, const QList<ZDPluginItem> &, const QString &name,
                                                     const QString &host)>;
    void act(const Work &work);
    void updateActions();
    // The plug-in (empty: all) and computer (empty: all) an action is for.
    void target(QString *name, QString *host) const;
    bool confirm(const QString &question, const QString &action);
    // "Disable 2 plug-ins on 3 computers?"
    bool confirmScope(const QString &action);
    void show(const QList<ZDPluginItem> &items);

    ZDDispatcher *m_dispatcher;
    QList<ZDPluginItem> m_items;
    quint64 m_generation = 0;
    QTreeWidget *m_tree;
    QLabel *m_status;
    QCheckBox *m_all, *m_addMissing;
    QList<QPushButton *> m_actions;
};
