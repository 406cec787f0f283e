#include "panels/ZDPluginsPanel.h"

#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"
#include "panels/ZDPanelParts.h"
#include "fleet/ZDHostNames.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
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
    : QWidget(parent), m_dispatcher(dispatcher), m_tree(new QTreeWidget(this)), m_status(new QLabel(this)),
      m_all(new QCheckBox(tr("All plug-ins"), this)), m_addMissing(new QCheckBox(tr("Also onto computers without it"), this))
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
        const QString source = line->data(0, Qt::UserRole).toString();
        const bool addMissing = m_addMissing->isChecked();
        int differing = 0;
        for (const ZDPluginItem &item : std::as_const(m_items))
            differing += item.state == ZDPluginItem::VersionsDiffer || (addMissing && item.state == ZDPluginItem::Missing);
        if (!confirm(tr("Copy %n differing plug-in(s) from %1 onto the other computers?", nullptr, differing)
                         .arg(ZDHostNames::display(source)),
                     tr("Sync")))
            return;
        act([source, addMissing](ZDPluginItems &p, const QList<ZDPluginItem> &items, const QString &, const QString &) {
            // Every differing plug-in is copied from that computer; the notes give each copy's SHA-256.
            ZDPluginItems::Report report = p.sync(items, source, addMissing);
            report.failures += report.notes;
            return report;
        });
    });
    // Nothing selected is no target: these act on the selection, or on everything when "All plug-ins" says so.
    for (const bool disable : {false, true}) {
        m_actions << button(disable ? tr("Disable") : tr("Enable"), [this, disable] {
            if (!confirmScope(disable ? tr("Disable") : tr("Enable")))
                return;
            act([disable](ZDPluginItems &p, const QList<ZDPluginItem> &items, const QString &name, const QString &host) {
                return p.setDisabled(items, name, disable, host);
            });
        });
    }
    for (const int access : {0, 1}) {
        m_actions << button(accessText(access), [this, access] {
            if (!confirmScope(tr("Give %1 access to").arg(accessText(access))))
                return;
            act([access](ZDPluginItems &p, const QList<ZDPluginItem> &items, const QString &name, const QString &host) {
                return p.setAccess(items, name, access, host);
            });
        });
    }
    buttons->addWidget(m_all);
    buttons->addWidget(m_addMissing);
    buttons->addStretch(1);
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &ZDPluginsPanel::updateActions);
    connect(m_all, &QCheckBox::toggled, this, &ZDPluginsPanel::updateActions);
    updateActions();
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tree, 1);
    layout->addLayout(buttons);
    layout->addWidget(m_status);
}

void ZDPluginsPanel::updateActions()
{
    const bool target = m_all->isChecked() || !m_tree->selectedItems().isEmpty();
    for (QPushButton *b : std::as_const(m_actions))
        b->setEnabled(target);
}

void ZDPluginsPanel::target(QString *name, QString *host) const
{
    // The selected row names the plug-in, a line of it also the computer; "All plug-ins": all of them.
    const QList<QTreeWidgetItem *> chosen = m_tree->selectedItems();
    const QTreeWidgetItem *item = m_all->isChecked() || chosen.isEmpty() ? nullptr : chosen.first();
    *host = item && item->parent() ? item->data(0, Qt::UserRole).toString() : QString();
    while (item && item->parent())
        item = item->parent();
    *name = item ? item->text(0) : QString();
}

bool ZDPluginsPanel::confirm(const QString &question, const QString &action)
{
    QMessageBox box(QMessageBox::Question, action, question, QMessageBox::NoButton, this);
    QPushButton *yes = box.addButton(action, QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    box.exec();
    return box.clickedButton() == yes;
}

bool ZDPluginsPanel::confirmScope(const QString &action)
{
    QString name, host;
    target(&name, &host);
    if (name.isEmpty() && !m_all->isChecked())
        return false;
    return confirm(ZDPluginItems::question(action, ZDPluginItems::scope(m_items, name, host)), action);
}

void ZDPluginsPanel::act(const Work &work)
{
    QString name, host;
    target(&name, &host);
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
            auto *line = new QTreeWidgetItem(row, {ZDHostNames::display(child.value(QStringLiteral("hostname")).toString()),
                                      child.value(QStringLiteral("version")).toString(), QString(),
                                      child.value(QStringLiteral("disabled")).toBool() ? tr("No") : tr("Yes"),
                                      accessText(child.value(QStringLiteral("accessType")).toInt()),
                                      child.value(QStringLiteral("fullPath")).toString()});
            line->setData(0, Qt::UserRole, child.value(QStringLiteral("hostname")));
        }
        for (const QString &host : item.missingHosts)
            ZDPanelParts::addMissingLine(row, ZDHostNames::display(host));
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
