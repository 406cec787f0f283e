#include "panels/ZDPreferencesPanel.h"

#include "dispatch/ZDActionTarget.h"

#include "ZDAlert.h"
#include "ZDBackground.h"
#include "catalog/ZDPreferenceKinds.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "panels/ZDPanelParts.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox> // ZDAlert's inline accessors need it whole
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int kParentRole = Qt::UserRole + 1;
constexpr int kChildRole = Qt::UserRole + 2;

Qt::CheckState checkState(int selected)
{
    return selected == 1 ? Qt::Checked : selected == -1 ? Qt::PartiallyChecked : Qt::Unchecked;
}

} // namespace

ZDPreferencesPanel::ZDPreferencesPanel(ZDDispatcher *dispatcher, ZDErrorCallback *errors, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher), m_errors(errors), m_tree(new QTreeWidget(this)), m_table(new QTableWidget(0, 5, this)),
      m_name(new QLineEdit(this)), m_type(new QComboBox(this)), m_status(new QLabel(this))
{
    m_tree->setHeaderLabels({tr("Preferences")});
    m_table->setHorizontalHeaderLabels({tr("Computer"), tr("Name"), tr("Date"), tr("Size"), tr("Kinds")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setSortingEnabled(true);
    m_name->setPlaceholderText(tr("Backup name"));
    m_type->addItems({tr("Standard"), tr("Before maintenance"), tr("Archive")});
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);

    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_tree);
    splitter->addWidget(m_table);
    auto *buttons = new QHBoxLayout;
    const auto button = ZDPanelParts::buttonAdder(this, buttons);
    const auto keys = [this] { return m_prefs.selectedKeys(); };
    // A change of the ticked items asks with their count and the computers; none ticked is said by the run itself.
    const auto asked = [this](const QString &action, const QStringList &k) {
        return k.isEmpty()
            || ZDPanelParts::confirmOnComputers(this, m_dispatcher, action,
                                                ZDActionTarget::question(action, int(k.size()), tr("preference item"),
                                                                         tr("preference items"),
                                                                         int(m_dispatcher->selectedServices().size())),
                                                action);
    };
    ZDPanelParts::changesComputers(button(tr("Trash"), [this, keys, asked] {
        if (const QStringList k = keys(); asked(tr("Trash"), k))
            runAndRefresh([this, k] { return ZDPreferences(m_dispatcher).trash(k); });
    }));
    ZDPanelParts::changesComputers(button(tr("Lock"), [this, keys, asked] {
        if (const QStringList k = keys(); asked(tr("Lock"), k))
            runAndRefresh([this, k] { return ZDPreferences(m_dispatcher).lock(k); });
    }));
    ZDPanelParts::changesComputers(button(tr("Unlock"), [this, keys, asked] {
        if (const QStringList k = keys(); asked(tr("Unlock"), k))
            runAndRefresh([this, k] { return ZDPreferences(m_dispatcher).unlock(k); });
    }));
    ZDPanelParts::changesComputers(button(tr("Back Up"), [this, keys] {
        if (!backupAllowed(true))
            return;
        runAndRefresh([this, k = keys(), name = m_name->text(), type = m_type->currentIndex()] {
            return ZDPreferences(m_dispatcher).backupSelected(name, type, k);
        });
    }));
    ZDPanelParts::changesComputers(button(tr("Quick Backup"), [this] {
        if (!backupAllowed(false))
            return;
        runAndRefresh([this, name = m_name->text(), type = m_type->currentIndex()] {
            return ZDPreferences(m_dispatcher).quickBackup(name, type);
        });
    }));
    ZDPanelParts::changesComputers(button(tr("Quick Trash"), [this] {
        if (!ZDPanelParts::confirmOnComputers(
                this, m_dispatcher, tr("Quick Trash"),
                ZDActionTarget::question(tr("Trash the editing applications' preferences"),
                                         int(m_dispatcher->selectedServices().size())),
                tr("Trash")))
            return;
        runAndRefresh([this] { return ZDPreferences(m_dispatcher).quickTrash(), QString(); });
    }));
    ZDPanelParts::changesComputers(button(tr("Restore"), [this] { restoreSelected(); }));
    buttons->addStretch(1);
    auto *form = new QHBoxLayout;
    form->addWidget(m_name, 1);
    form->addWidget(m_type);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(splitter, 1);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addWidget(m_status);
    connect(m_tree, &QTreeWidget::itemChanged, this, &ZDPreferencesPanel::itemChanged);
    // A tool that fails or is missing answers by a report, which may come after the call ended.
    if (m_errors)
        connect(m_errors, &ZDErrorCallback::errorQueueChanged, this, [this] {
            if (m_answer)
                showOutcome();
        });
    showTree();
}

void ZDPreferencesPanel::showTree()
{
    const QSignalBlocker block(m_tree);
    const bool fresh = m_tree->topLevelItemCount() == 0;
    const QList<ZDPrefItem> &items = m_prefs.items();
    for (int p = 0; p < items.size(); ++p) {
        QTreeWidgetItem *parent = fresh ? new QTreeWidgetItem(m_tree, {items[p].name}) : m_tree->topLevelItem(p);
        parent->setData(0, kParentRole, p);
        parent->setFlags(parent->flags() | Qt::ItemIsUserCheckable);
        parent->setCheckState(0, checkState(items[p].selected));
        for (int c = 0; c < items[p].children.size(); ++c) {
            const ZDPrefItem &child = items[p].children[c];
            QTreeWidgetItem *item = fresh ? new QTreeWidgetItem(parent, {child.name}) : parent->child(c);
            item->setData(0, kParentRole, p);
            item->setData(0, kChildRole, c);
            item->setToolTip(0, child.files.join(QLatin1Char('\n')));
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(0, checkState(child.selected));
        }
    }
}

void ZDPreferencesPanel::itemChanged(QTreeWidgetItem *item)
{
    const int p = item->data(0, kParentRole).toInt();
    if (item->data(0, kChildRole).isValid())
        m_prefs.setChildChecked(p, item->data(0, kChildRole).toInt(), item->checkState(0) != Qt::Unchecked);
    else
        m_prefs.setParentState(p, item->checkState(0) == Qt::Unchecked ? 0 : 1);
    showTree();
}

bool ZDPreferencesPanel::backupAllowed(bool withKinds)
{
    const auto alert = [this](const QString &title, const QString &text) {
        m_status->clear();
        ZDAlert::alertSheet(title, tr("OK"), QString(), QString(), text, window(), nullptr, {}, false);
        return false;
    };
    if (withKinds && m_prefs.selectedKeys().isEmpty())
        return alert(tr("No items selected"), tr("You must select at least one item to backup."));
    if (const QString why = ZDPreferenceKinds::backupNameProblem(m_name->text()); !why.isEmpty())
        return alert(tr("You must enter a backup name"),
                     tr("You must enter a valid name for this backup.") + QStringLiteral("\n\n") + why);
    return true;
}

void ZDPreferencesPanel::runAndRefresh(std::function<QString()> work)
{
    runAndRefresh([work = std::move(work)](ZDProgressRuns::Steps &) { return work(); });
}

void ZDPreferencesPanel::runAndRefresh(std::function<QString(ZDProgressRuns::Steps &)> work)
{
    m_answer.reset();
    m_queueBefore = m_errors ? m_errors->errorQueue() : QVariantList();
    m_hosts = ZDDispatcher::hostsOf(m_dispatcher->selectedServices(), &ZDDispatcher::answerKey);
    const quint64 run = ++m_actions;
    const bool started = ZDProgressRuns::startOn<QString>(
        m_dispatcher, this, ZDPanelParts::workingText(), int(m_hosts.size()), std::move(work),
        [this, run](const QString &why) {
            if (run != m_actions)
                return;
            m_answer = why;
            showOutcome();
            refreshBackups();
        });
    m_status->setText(started ? ZDPanelParts::workingText() : ZDPanelParts::busyText());
}

void ZDPreferencesPanel::showOutcome()
{
    const QStringList failures = m_errors ? ZDPreferences::reportedFailures(m_queueBefore, m_errors->errorQueue(), m_hosts)
                                          : QStringList();
    QStringList lines;
    if (!m_answer->isEmpty())
        lines << *m_answer;
    if (!failures.isEmpty())
        lines << tr("Failed on %n computer(s):", nullptr, int(failures.size())) << failures;
    m_status->setText(lines.isEmpty() ? tr("Done.") : lines.join(QLatin1Char('\n')));
}

void ZDPreferencesPanel::refreshBackups()
{
    ZDPanelParts::refreshLatest<QVariantList>(
        this, m_generation, [this] { return ZDPreferences(m_dispatcher).backups(); },
        [this](const QVariantList &rows) {
            m_backups = rows;
            m_table->setSortingEnabled(false);
            m_table->setRowCount(int(rows.size()));
            for (int r = 0; r < rows.size(); ++r) {
                const QVariantMap b = rows[r].toMap();
                const QStringList cells{b.value(QStringLiteral("hostname")).toString(),
                                        b.value(QStringLiteral("name")).toString(),
                                        b.value(QStringLiteral("date")).toDateTime().toLocalTime().toString(
                                            QStringLiteral("yyyy-MM-dd HH:mm")),
                                        b.value(QStringLiteral("size")).toString(),
                                        b.value(QStringLiteral("keys")).toString()};
                for (int c = 0; c < cells.size(); ++c) {
                    auto *cell = new QTableWidgetItem(cells[c]);
                    cell->setData(Qt::UserRole, r);
                    m_table->setItem(r, c, cell);
                }
            }
            m_table->setSortingEnabled(true);
            Q_EMIT backupsRefreshed();
        });
}

void ZDPreferencesPanel::restoreSelected()
{
    const QList<QTableWidgetItem *> chosen = m_table->selectedItems();
    if (chosen.isEmpty()) {
        m_status->setText(tr("Select a backup to restore."));
        return;
    }
    const QVariantMap backup = m_backups.value(chosen.first()->data(Qt::UserRole).toInt()).toMap();
    runAndRefresh([this, backup](ZDProgressRuns::Steps &steps) {
        return ZDPreferences(m_dispatcher)
            .restore(backup, m_dispatcher->selectedServices(), [&steps](const QString &, int, int) { steps.step(); });
    });
}

void ZDPreferencesPanel::clearData()
{
    ++m_generation;
    ++m_actions;
    m_answer.reset();
    m_backups.clear();
    m_table->setRowCount(0);
    m_status->clear();
}
