#include "panels/ZDMaintenancePanel.h"

#include "catalog/ZDApplicationTables.h"
#include "ZDBackground.h"
#include "dispatch/ZDActionTarget.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDProgressRuns.h"
#include "panels/ZDPanelParts.h"
#include "features/apps/ZDMaintenanceRuns.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace T = ZDApplicationTables;

namespace {

// The name the dispatcher files each computer's answer under.
constexpr auto hostOf = &ZDDispatcher::answerKey;

} // namespace

ZDMaintenancePanel::ZDMaintenancePanel(ZDDispatcher *dispatcher, ZDErrorCallback *callback, Tool tool, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher), m_callback(callback), m_tool(tool), m_progress(new QProgressBar(this)),
      m_results(new QPlainTextEdit(this)), m_status(new QLabel(this))
{
    auto *layout = new QVBoxLayout(this);
    if (tool != Tool::Mendo) {
        m_list = new QTreeWidget(this);
        m_list->setHeaderLabels({tool == Tool::Caches ? tr("Cache") : tool == Tool::Removal ? tr("Component") : tr("Task"),
                                 tool == Tool::Caches ? tr("On Linux") : QString()});
        m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
        m_list->setRootIsDecorated(false);
        const auto add = [this](const QString &title, const QString &key, bool ticked, const QString &note = {}) {
            auto *item = new QTreeWidgetItem(m_list, {title, note});
            item->setData(0, Qt::UserRole, key);
            item->setCheckState(0, ticked ? Qt::Checked : Qt::Unchecked);
        };
        if (tool == Tool::Cleaning)
            for (const T::CleaningTask &t : T::cleaningTasks())
                add(t.title, t.uniqueID, t.selected);
        else if (tool == Tool::Removal)
            for (const T::RemovalGroup &g : T::removalGroups())
                add(g.title, QString::number(g.index), false);
        else
            for (const T::CacheKey &k : T::cacheKeys())
                add(k.title, k.key, true, k.linuxAction);
        layout->addWidget(m_list, 2);
    }
    auto *controls = new QHBoxLayout;
    if (tool == Tool::Cleaning || tool == Tool::Removal) {
        m_presets = new QComboBox(this);
        m_presets->addItems(tool == Tool::Cleaning
                                ? QStringList{tr("Recommended"), tr("All")}
                                : QStringList{tr("All"), tr("All but Final Cut Server"), tr("Final Cut Server, Compressor and Qmaster"),
                                              tr("Compressor and Qmaster"), tr("Final Cut Studio applications"), tr("None")});
        m_presets->setCurrentIndex(-1);
        connect(m_presets, &QComboBox::activated, this, &ZDMaintenancePanel::applyPreset);
        controls->addWidget(new QLabel(tr("Preset:"), this));
        controls->addWidget(m_presets);
    }
    auto *go = new QPushButton(tool == Tool::Cleaning  ? tr("Clean")
                               : tool == Tool::Removal ? tr("Remove...")
                               : tool == Tool::Caches  ? tr("Trash Caches...")
                                                       : tr("Mendo"),
                               this);
    ZDPanelParts::changesComputers(go);
    connect(go, &QPushButton::clicked, this, &ZDMaintenancePanel::start);
    controls->addStretch(1);
    controls->addWidget(go);
    layout->addLayout(controls);
    layout->addWidget(m_progress);
    m_results->setReadOnly(true);
    layout->addWidget(m_results, 1);
    m_status->setTextFormat(Qt::PlainText);
    layout->addWidget(m_status);
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
}

QStringList ZDMaintenancePanel::tickedKeys() const
{
    QStringList keys;
    for (int i = 0; m_list && i < m_list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = m_list->topLevelItem(i);
        if (item->checkState(0) == Qt::Checked)
            keys << item->data(0, Qt::UserRole).toString();
    }
    return keys;
}

void ZDMaintenancePanel::applyPreset(int preset)
{
    QStringList keys;
    if (m_tool == Tool::Cleaning) {
        keys = T::cleaningPreset(preset);
    } else {
        for (const int group : T::removalPreset(preset))
            keys << QString::number(group);
    }
    for (int i = 0; m_list && i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = m_list->topLevelItem(i);
        item->setCheckState(0, keys.contains(item->data(0, Qt::UserRole).toString()) ? Qt::Checked : Qt::Unchecked);
    }
}

bool ZDMaintenancePanel::confirmed()
{
    // Every run changes the computers: each asks with what and on how many.
    const int computers = int(m_dispatcher->selectedServices().size());
    const int count = int(tickedKeys().size());
    switch (m_tool) {
    case Tool::Cleaning:
        return ZDPanelParts::confirmOnComputers(
            this, m_dispatcher, tr("Clean"), ZDActionTarget::question(tr("Run"), count, tr("cleaning task"), tr("cleaning tasks"), computers),
            tr("Clean"));
    case Tool::Removal:
        return ZDPanelParts::confirmOnComputers(
            this, m_dispatcher, tr("Remove"),
            ZDActionTarget::question(tr("Remove"), count, tr("component group"), tr("component groups"), computers), tr("Remove"),
            tr("The removal is at your own risk: nobody is liable for any loss of data or damage it causes."));
    case Tool::Caches:
        return ZDPanelParts::confirmOnComputers(
            this, m_dispatcher, tr("Trash Caches"), ZDActionTarget::question(tr("Trash"), count, tr("cache"), tr("caches"), computers),
            tr("Continue"), tr("Please make sure all applications are closed on the remote system before trashing caches."));
    case Tool::Mendo:
        return ZDPanelParts::confirmOnComputers(this, m_dispatcher, tr("Mendo"), ZDActionTarget::question(tr("Run Mendo"), computers),
                                                tr("Run"));
    }
    return false;
}

void ZDMaintenancePanel::start()
{
    const QStringList keys = tickedKeys();
    // Nothing ticked: nothing is sent.
    if (m_tool != Tool::Mendo && keys.isEmpty()) {
        m_status->setText(tr("Nothing selected."));
        return;
    }
    if (!confirmed())
        return;
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDErrorCallback *callback = m_callback;
    const Tool tool = m_tool;
    QPointer<QProgressBar> progress(m_progress);
    m_status->setText(tool == Tool::Removal ? tr("Removing files...") : tool == Tool::Caches ? tr("Rebuilding caches...") : tr("Working..."));
    const bool started = ZDProgressRuns::startOn<ZDMaintenanceRuns::Report>(
        dispatcher, this, m_status->text(), int(dispatcher->selectedServices().size()),
        [dispatcher, callback, tool, keys, progress](ZDProgressRuns::Steps &steps) {
            ZDMaintenanceRuns runs(*dispatcher, callback, dispatcher->selectedServices(), hostOf);
            QObject::connect(&runs, &ZDMaintenanceRuns::progressStarted, progress, [progress](int total) {
                progress->setRange(0, total);
                progress->setValue(0);
            });
            QObject::connect(&runs, &ZDMaintenanceRuns::progressAdvanced, progress,
                             [progress] { progress->setValue(progress->value() + 1); });
            // The window's sheet follows the tools' steps too.
            QObject::connect(&runs, &ZDMaintenanceRuns::progressStarted, &runs,
                             [&steps](int total) { steps.setTotal(total); }, Qt::DirectConnection);
            QObject::connect(&runs, &ZDMaintenanceRuns::progressAdvanced, &runs, [&steps] { steps.step(); },
                             Qt::DirectConnection);
            if (tool == Tool::Cleaning)
                return runs.clean(keys);
            if (tool == Tool::Caches)
                return runs.trashCaches(keys, true);
            if (tool == Tool::Mendo)
                return runs.repair(ZDMaintenanceRuns::repairFor(QStringLiteral("Mendo")), QStringLiteral("1"));
            QList<int> groups;
            for (const QString &k : keys)
                groups << k.toInt();
            return runs.removeGroups(groups, true);
        },
        [this](const ZDMaintenanceRuns::Report &report) {
            QString summary = tr("%1 computer run(s) started, %2 finished.").arg(report.handed).arg(report.finished);
            if (report.total > 0)
                summary += tr(" %1 of %2 steps reported.").arg(report.steps).arg(report.total);
            for (const QString &line : report.failures + report.results)
                m_results->appendPlainText(line);
            m_status->setText(summary);
            Q_EMIT runFinished(summary);
        });
    if (!started)
        m_status->setText(ZDPanelParts::busyText());
}

void ZDMaintenancePanel::clearData()
{
    m_results->clear();
    m_status->clear();
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
}
