#include "panels/ZDPluginsPanel.h"

#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"
#include "panels/ZDPanelParts.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The name the dispatcher files each computer's answer under.
constexpr auto hostOf = &ZDDispatcher::answerKey;

QString accessText(int access)
{
    return access == 0 ? ZDPluginsPanel::tr("All Users") : access == 1 ? ZDPluginsPanel::tr("Current User")
                                                                       : ZDPluginsPanel::tr("(various)");
}

} // namespace

ZDPluginsPanel::ZDPluginsPanel(ZDDispatcher *dispatcher, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher), m_tree(new QTreeWidget(this)), m_status(new QLabel(this))
{
    m_tree->setHeaderLabels({tr("Plug-in"), tr("Version"), tr("Type"), tr("Enabled"), tr("Access"), tr("State / Location")});
    m_tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    auto *buttons = new QHBoxLayout;
    const auto button = ZDPanelParts::buttonAdder(this, buttons);
    button(tr("Refresh"), [this] { refreshPlugins(); });
    // The copy comes from the computer whose line is selected, never from whichever claims the newest version.
    button(tr("Sync From Selected Computer"), [this] {
        const QTreeWidgetItem *line = m_tree->currentItem();
        if (!line || !line->parent()) {
            m_status->setText(tr("Select the line of the computer to copy from, under its plug-in."));
            return;
        }
        act([](ZDPluginItems &p, const QList<ZDPluginItem> &items, const QString &, const QString &host) {
            // Every differing plug-in is copied from that computer; the notes give each copy's SHA-256.
            ZDPluginItems::Report report = p.sync(items, host);
            report.failures += report.notes;
            return report;
        });
    });
    for (const bool disable : {false, true}) {
        button(disable ? tr("Disable") : tr("Enable"), [this, disable] {
            act([disable](ZDPluginItems &p, const QList<ZDPluginItem> &items, const QString &name, const QString &host) {
                return p.setDisabled(items, name, disable, host);
            });
        });
    }
    for (const int access : {0, 1}) {
        button(accessText(access), [this, access] {
            act([access](ZDPluginItems &p, const QList<ZDPluginItem> &items, const QString &name, const QString &host) {
                return p.setAccess(items, name, access, host);
            });
        });
    }
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tree, 1);
    layout->addLayout(buttons);
    layout->addWidget(m_status);
}

void ZDPluginsPanel::act(const Work &work)
{
    // The selected row names the plug-in, a line of it also the computer; nothing selected: all of them.
    const QTreeWidgetItem *item = m_tree->currentItem();
    const QString host = item && item->parent() ? item->text(0) : QString();
    while (item && item->parent())
        item = item->parent();
    const QString name = item ? item->text(0) : QString();
    ZDDispatcher *dispatcher = m_dispatcher;
    const QList<ZDPluginItem> items = m_items;
    ZDPanelParts::runChange<ZDPluginItems::Report>(
        this, dispatcher, m_status,
        [dispatcher, items, name, host, work] {
            ZDPluginItems plugins(*dispatcher, dispatcher->selectedServices(), hostOf);
            return work(plugins, items, name, host);
        },
        [this] { refreshPlugins(); });
}

void ZDPluginsPanel::refreshPlugins()
{
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDPanelParts::refreshLatest<QList<ZDPluginItem>>(
        this, m_generation, [dispatcher] { return ZDPluginItems(*dispatcher, dispatcher->selectedServices(), hostOf).refresh(); },
        [this](const QList<ZDPluginItem> &items) { show(items); });
}

void ZDPluginsPanel::show(const QList<ZDPluginItem> &items)
{
    m_items = items;
    m_tree->clear();
    for (const ZDPluginItem &item : items) {
        const QString enabled = item.disabled == 0 ? tr("Yes") : item.disabled == 1 ? tr("No") : tr("(various)");
        QTreeWidgetItem *row = ZDPanelParts::addItemRow(
            m_tree, {item.name, item.version, item.type, enabled, accessText(item.accessType), ZDPluginItem::stateText(item.state)},
            item.state == ZDPluginItem::InLine);
        for (const QVariant &c : item.children) {
            const QVariantMap child = c.toMap();
            new QTreeWidgetItem(row, {child.value(QStringLiteral("hostname")).toString(),
                                      child.value(QStringLiteral("version")).toString(), QString(),
                                      child.value(QStringLiteral("disabled")).toBool() ? tr("No") : tr("Yes"),
                                      accessText(child.value(QStringLiteral("accessType")).toInt()),
                                      child.value(QStringLiteral("fullPath")).toString()});
        }
        for (const QString &host : item.missingHosts)
            ZDPanelParts::addMissingLine(row, host);
    }
    m_tree->expandAll();
    Q_EMIT pluginsRefreshed();
}

void ZDPluginsPanel::clearData()
{
    ++m_generation;
    m_items.clear();
    m_tree->clear();
    m_status->clear();
}
