#include "panels/ZDPathsPanel.h"

#include "dispatch/ZDActionTarget.h"

#include "dispatch/ZDProgressRuns.h"

#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"
#include "panels/ZDPanelParts.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int kRowRole = Qt::UserRole + 1;
constexpr int kServiceRole = Qt::UserRole + 2;

// The tree's lines and the source box name computers by their records' names.
ZDServicePtr selectedNamed(const ZDDispatcher &dispatcher, const QString &name)
{
    return ZDDispatcher::serviceNamed(dispatcher.selectedServices(), [](const ZDServicePtr &s) { return s->name(); }, name);
}

} // namespace

ZDPathsPanel::ZDPathsPanel(ZDDispatcher *dispatcher, const QString &settingsPath, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher), m_paths(dispatcher, settingsPath), m_tree(new QTreeWidget(this)),
      m_source(new QComboBox(this)), m_status(new QLabel(this))
{
    m_tree->setHeaderLabels({tr("Path"), tr("Location"), tr("Default"), tr("Locked")});
    m_tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    auto *buttons = new QHBoxLayout;
    const auto button = ZDPanelParts::buttonAdder(this, buttons);
    ZDPanelParts::changesComputers(button(tr("Reset Path"), [this] {
        QString service;
        const int row = selectedRow(&service);
        const ZDServicePtr target = selectedNamed(*m_dispatcher, service);
        if (row < 0 || !target) {
            m_status->setText(tr("Select a computer's path to reset."));
            return;
        }
        const ZDPreferenceKinds::PathRow *r = m_rows[row].row;
        m_status->setText(r->resetsToNil || r->defaultPath.isEmpty() ? tr("Default path: (not set)")
                                                                      : tr("Default path: %1").arg(r->defaultPath));
        runAndRefresh([this, key = r->key, target] { return m_paths.resetPath(key, target); });
    }));
    ZDPanelParts::changesComputers(button(tr("Set Path..."), [this] {
        QString service;
        const int row = selectedRow(&service);
        const ZDServicePtr target = selectedNamed(*m_dispatcher, service);
        if (row < 0 || !target || m_rows[row].row->readOnly) {
            m_status->setText(tr("Select a computer's path that can be changed."));
            return;
        }
        bool ok = false;
        const QString path = QInputDialog::getText(this, tr("Set Path"), m_rows[row].row->title, QLineEdit::Normal,
                                                   m_tree->currentItem()->text(1), &ok);
        if (ok)
            runAndRefresh([this, key = m_rows[row].row->key, path, target] { return m_paths.setPath(key, path, target); });
    }));
    ZDPanelParts::changesComputers(button(tr("Reset All"), [this] {
        if (ZDPanelParts::confirmOnComputers(this, m_dispatcher, tr("Reset All"),
                                             ZDActionTarget::question(tr("Reset every application path"),
                                                                      int(m_dispatcher->selectedServices().size())),
                                             tr("Reset All")))
            runAndRefresh([this] { return m_paths.resetAll(), QString(); });
    }));
    ZDPanelParts::changesComputers(button(tr("Lock"), [this] {
        QString service;
        const int row = selectedRow(&service);
        if (row < 0)
            return;
        const ZDPathRowView &r = m_rows[row];
        m_paths.setLocked(r.row->key, r.values.isEmpty() ? QString() : r.values.first().path, !r.locked);
        refreshPaths();
    }));
    buttons->addStretch(1);
    buttons->addWidget(new QLabel(tr("Copy from:"), this));
    buttons->addWidget(m_source);
    ZDPanelParts::changesComputers(button(tr("Sync"), [this] {
        const ZDServicePtr source = selectedNamed(*m_dispatcher, m_source->currentText());
        const int others = int(m_dispatcher->selectedServices().size()) - 1;
        if (source && ZDPanelParts::confirmOnComputers(this, m_dispatcher, tr("Sync"),
                                                       ZDActionTarget::question(tr("Copy the paths of %1").arg(source->name()), others),
                                                       tr("Sync")))
            runAndRefresh([this, source] { return m_paths.syncFrom(source); });
    }));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tree, 1);
    layout->addLayout(buttons);
    layout->addWidget(m_status);
}

int ZDPathsPanel::selectedRow(QString *service) const
{
    const QTreeWidgetItem *item = m_tree->currentItem();
    if (!item || !item->data(0, kRowRole).isValid())
        return -1;
    *service = item->data(0, kServiceRole).toString();
    return item->data(0, kRowRole).toInt();
}

void ZDPathsPanel::runAndRefresh(std::function<QString()> work)
{
    // Changes on many computers go under the window's progress sheet.
    const bool started = ZDProgressRuns::startOn<QString>(
        m_dispatcher, this, ZDPanelParts::workingText(), int(m_dispatcher->selectedServices().size()),
        [work = std::move(work)](ZDProgressRuns::Steps &) { return work(); },
        [this](const QString &why) {
            if (!why.isEmpty())
                m_status->setText(why);
            refreshPaths();
        });
    if (!started)
        m_status->setText(ZDPanelParts::busyText());
}

void ZDPathsPanel::refreshPaths()
{
    ZDPanelParts::refreshLatest<QList<ZDPathRowView>>(this, m_generation, [this] { return m_paths.refresh(); },
                                                      [this](const QList<ZDPathRowView> &rows) { show(rows); });
}

void ZDPathsPanel::show(const QList<ZDPathRowView> &rows)
{
    m_rows = rows;
    m_tree->clear();
    const QString previous = m_source->currentText();
    m_source->clear();
    for (const ZDServicePtr &s : m_dispatcher->selectedServices())
        m_source->addItem(s->name());
    m_source->setCurrentText(previous);
    QTreeWidgetItem *app = nullptr;
    for (int i = 0; i < rows.size(); ++i) {
        const ZDPathRowView &r = rows[i];
        if (!app || app->text(0) != r.application) {
            app = new QTreeWidgetItem(m_tree, {r.application});
            app->setFirstColumnSpanned(true);
        }
        const bool same = !r.values.isEmpty() && !r.differs();
        auto *row = new QTreeWidgetItem(app, {r.row->title, same ? r.values.first().path : QString(),
                                              r.row->defaultPath, r.locked ? r.syncPath : QString()});
        row->setData(0, kRowRole, i);
        if (r.differs()) {
            row->setText(1, tr("(differs)"));
            row->setForeground(1, QBrush(Qt::red));
        }
        for (const ZDPathValue &v : r.values) {
            auto *line = new QTreeWidgetItem(row, {v.service, v.path});
            line->setData(0, kRowRole, i);
            line->setData(0, kServiceRole, v.service);
            if (r.differs() && (r.locked ? v.path != r.syncPath : v.path != r.values.first().path))
                line->setForeground(1, QBrush(Qt::red));
        }
    }
    m_tree->expandAll();
    Q_EMIT pathsRefreshed();
}

void ZDPathsPanel::clearData()
{
    ++m_generation;
    m_rows.clear();
    m_tree->clear();
    m_status->clear();
}
