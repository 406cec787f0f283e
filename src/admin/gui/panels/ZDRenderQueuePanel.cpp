#include "panels/ZDRenderQueuePanel.h"

#include "dispatch/ZDActionTarget.h"

#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"
#include "panels/ZDPanelParts.h"
#include "features/schedules/ZDRenderQueueJobs.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The name the dispatcher files each computer's answer under.
constexpr auto hostOf = &ZDDispatcher::answerKey;

} // namespace

ZDRenderQueuePanel::ZDRenderQueuePanel(ZDDispatcher *dispatcher, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher), m_tree(new QTreeWidget(this)), m_status(new QLabel(this))
{
    m_tree->setHeaderLabels({tr("Job"), tr("Batch"), tr("Status"), tr("Cluster"), tr("Computer")});
    m_tree->setRootIsDecorated(false);
    m_tree->setSortingEnabled(true);
    m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    auto *buttons = new QHBoxLayout;
    const auto button = ZDPanelParts::buttonAdder(this, buttons);
    button(tr("Refresh"), [this] { refreshQmasterJobs(); });
    using Action = ZDRenderQueueJobs::Action;
    for (const auto &[title, action] : {std::pair{tr("Pause"), Action::Pause}, std::pair{tr("Resume"), Action::Resume},
                                        std::pair{tr("Cancel"), Action::Cancel}}) {
        ZDPanelParts::changesComputers(button(title, [this, action] {
            QVariantList chosen;
            for (const QTreeWidgetItem *item : m_tree->selectedItems())
                chosen << m_rows.value(item->data(0, Qt::UserRole).toInt());
            // Asked with how many jobs on how many of the computers.
            QStringList hosts;
            for (const QVariant &row : std::as_const(chosen))
                if (const QString h = row.toMap().value(QStringLiteral("hostname")).toString(); !hosts.contains(h))
                    hosts << h;
            const QString verb = action == Action::Pause ? tr("Pause") : action == Action::Resume ? tr("Resume") : tr("Cancel");
            if (!chosen.isEmpty()
                && ZDPanelParts::confirmOnComputers(this, m_dispatcher, verb,
                                                    ZDActionTarget::question(verb, int(chosen.size()), tr("render job"),
                                                                             tr("render jobs"), int(hosts.size())),
                                                    verb))
                act([chosen, action](ZDRenderQueueJobs &q) { return q.act(chosen, action).failures; });
        }));
    }
    using Sharing = ZDRenderQueueJobs::Sharing;
    for (const auto &[title, what] : {std::pair{tr("Start Sharing"), Sharing::Start}, std::pair{tr("Stop Sharing"), Sharing::Stop},
                                      std::pair{tr("Reset Services"), Sharing::Reset}})
        ZDPanelParts::changesComputers(
            button(title, [this, title, what] {
                if (ZDPanelParts::confirmOnComputers(
                        this, m_dispatcher, title,
                        ZDActionTarget::question(title, int(m_dispatcher->selectedServices().size())), title))
                    act([what](ZDRenderQueueJobs &q) { return q.sharing(what).failures; });
            }));
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tree, 1);
    layout->addLayout(buttons);
    layout->addWidget(m_status);
}

void ZDRenderQueuePanel::act(const std::function<QStringList(ZDRenderQueueJobs &)> &work)
{
    ZDDispatcher *dispatcher = m_dispatcher;
    m_status->setText(ZDPanelParts::workingText());
    ZDBackground::run<QStringList>(
        this,
        [dispatcher, work] {
            ZDRenderQueueJobs queue(*dispatcher, dispatcher->selectedServices(), hostOf);
            return work(queue);
        },
        [this](const QStringList &failures) {
            m_status->setText(failures.join(QLatin1Char('\n')));
            refreshQmasterJobs();
        });
}

void ZDRenderQueuePanel::refreshQmasterJobs()
{
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDPanelParts::refreshLatest<QVariantList>(
        this, m_generation, [dispatcher] { return ZDRenderQueueJobs(*dispatcher, dispatcher->selectedServices(), hostOf).refresh(); },
        [this](const QVariantList &rows) {
            m_rows = rows;
            m_tree->setSortingEnabled(false);
            m_tree->clear();
            for (int i = 0; i < rows.size(); ++i) {
                const QVariantMap row = rows.at(i).toMap();
                auto *item = new QTreeWidgetItem(m_tree, {row.value(QStringLiteral("name")).toString(),
                                                          row.value(QStringLiteral("batchname")).toString(),
                                                          row.value(QStringLiteral("status")).toString(),
                                                          row.value(QStringLiteral("clustername")).toString(),
                                                          row.value(QStringLiteral("hostname")).toString()});
                item->setData(0, Qt::UserRole, i);
            }
            m_tree->setSortingEnabled(true);
            Q_EMIT jobsRefreshed();
        });
}

void ZDRenderQueuePanel::clearData()
{
    ++m_generation;
    m_rows.clear();
    m_tree->clear();
    m_status->clear();
}
