#pragma once
// The "Brindel" panel: one row per plug-in merged across the selected computers,
// a line per computer, the rows whose copies differ marked with how. Sync brings
// every computer to the copy on the computer whose line is selected, and shows
// each copy's SHA-256; enable, disable and the two access buttons act
// on the selected row (or line), or on every plug-in when nothing is selected. All
// logic is in ZDPluginItems; remote work runs on the console's pool. Agents' texts
// are shown as plain text.
#include "features/plugins/ZDPluginItems.h"

#include <QWidget>

#include <functional>

class QLabel;
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
    void show(const QList<ZDPluginItem> &items);

    ZDDispatcher *m_dispatcher;
    QList<ZDPluginItem> m_items;
    quint64 m_generation = 0;
    QTreeWidget *m_tree;
    QLabel *m_status;
};
