#include "panels/ZDSchedulerPanel.h"

#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"
#include "rights/ZDLaunchd.h"
#include "fleet/ZDHostNames.h"
#include "panels/ZDPanelParts.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The name the dispatcher files each computer's answer under.
constexpr auto hostOf = &ZDDispatcher::answerKey;

QString enabledText(int enabled)
{
    return enabled == 1 ? ZDSchedulerPanel::tr("Yes") : enabled == 0 ? ZDSchedulerPanel::tr("No") : ZDSchedulerPanel::tr("(various)");
}

} // namespace

ZDScheduleAddSheet::ZDScheduleAddSheet(QWidget *parent)
    : QDialog(parent), m_tool(new QComboBox(this)), m_task(new QComboBox(this)), m_run(new QComboBox(this)),
      m_boxes(new QStackedWidget(this)), m_seconds(new QLineEdit(this)), m_folder(new QLineEdit(this)),
      m_readable(new QLabel(this))
{
    setWindowTitle(tr("Add Task"));
    m_run->addItems(ZDScheduleTasks::runTypeTitles());
    m_readable->setTextFormat(Qt::PlainText);
    auto *none = new QWidget(m_boxes);
    auto *calendar = new QWidget(m_boxes);
    auto *fields = new QHBoxLayout(calendar);
    const QStringList names{tr("Minute"), tr("Hour"), tr("Day"), tr("Weekday"), tr("Month")};
    for (int i = 0; i < 5; ++i) {
        m_fields[i] = new QLineEdit(calendar);
        m_fields[i]->setPlaceholderText(names.at(i));
        m_fields[i]->setMaxLength(2);
        fields->addWidget(m_fields[i]);
        connect(m_fields[i], &QLineEdit::textEdited, this, &ZDScheduleAddSheet::fieldsChanged);
    }
    // The folder is the computer's: "~/..." is kept for it to expand there.
    m_folder->setPlaceholderText(tr("~/Movies or /srv/watch (on each computer)"));
    m_seconds->setPlaceholderText(tr("Seconds"));
    auto *watch = new QWidget(m_boxes);
    auto *watchRow = new QHBoxLayout(watch);
    watchRow->setContentsMargins(0, 0, 0, 0);
    m_folder->setParent(watch);
    watchRow->addWidget(m_folder, 1);
    auto *browse = new QPushButton(tr("Choose..."), watch);
    watchRow->addWidget(browse);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(this, tr("Watched Folder"), QDir::homePath());
        if (chosen.isEmpty())
            return;
        // Each computer expands "~" to its own user's home.
        const QString home = QDir::homePath();
        m_folder->setText(chosen == home ? QStringLiteral("~")
                          : chosen.startsWith(home + u'/') ? u'~' + chosen.mid(home.size()) : chosen);
    });
    for (QWidget *w : {none, static_cast<QWidget *>(m_seconds), calendar, watch})
        m_boxes->addWidget(w);
    connect(m_run, &QComboBox::currentIndexChanged, this, [this](int type) {
        m_boxes->setCurrentIndex(type == ZDLaunchd::kEverySeconds ? 1 : type == ZDLaunchd::kCalendar ? 2
                                 : type == ZDLaunchd::kFolderWatch ? 3 : 0);
        fieldsChanged();
    });
    connect(m_tool, &QComboBox::currentIndexChanged, this, &ZDScheduleAddSheet::toolChanged);
    auto *form = new QFormLayout;
    form->addRow(tr("Tool"), m_tool);
    form->addRow(tr("Task"), m_task);
    form->addRow(tr("Run"), m_run);
    form->addRow(tr("Interval"), m_boxes);
    form->addRow(QString(), m_readable);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    buttons->addButton(tr("Add"), QDialogButtonBox::AcceptRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    m_boxes->setCurrentIndex(0);
}

void ZDScheduleAddSheet::setTools(const QVariantList &tools)
{
    m_tools = tools;
    m_tool->clear();
    for (const QVariant &t : tools)
        m_tool->addItem(t.toMap().value(QStringLiteral("name")).toString());
    m_run->setCurrentIndex(0);
    toolChanged();
}

void ZDScheduleAddSheet::toolChanged()
{
    m_task->clear();
    const QVariantList tasks = m_tools.value(m_tool->currentIndex()).toMap().value(QStringLiteral("tasks")).toList();
    for (const QVariant &t : tasks) {
        const QVariantMap task = t.toMap();
        const QString name = task.value(QStringLiteral("name")).toString();
        m_task->addItem(name.isEmpty() ? task.value(QStringLiteral("description")).toString() : name,
                        task.value(QStringLiteral("id")));
        m_task->setItemData(m_task->count() - 1, task.value(QStringLiteral("description")), Qt::ToolTipRole);
    }
}

void ZDScheduleAddSheet::fieldsChanged()
{
    const ZDScheduleTasks::Fields clamped = ZDScheduleTasks::clampFields(
        {m_fields[0]->text(), m_fields[1]->text(), m_fields[2]->text(), m_fields[3]->text(), m_fields[4]->text()});
    const QString values[5] = {clamped.minute, clamped.hour, clamped.day, clamped.weekday, clamped.month};
    for (int i = 0; i < 5; ++i) {
        if (m_fields[i]->text() != values[i])
            m_fields[i]->setText(values[i]);
    }
    m_readable->setText(m_run->currentIndex() == ZDLaunchd::kCalendar ? ZDScheduleTasks::friendlyText(clamped) : QString());
}

QVariantMap ZDScheduleAddSheet::arguments(bool *root, QString *title, QString *text) const
{
    const ZDScheduleTasks::Fields f{m_fields[0]->text(), m_fields[1]->text(), m_fields[2]->text(), m_fields[3]->text(),
                                    m_fields[4]->text()};
    const int type = m_run->currentIndex();
    const QString value = ZDScheduleTasks::intervalValue(type, m_seconds->text(), f, m_folder->text(), title, text);
    if (!title->isEmpty())
        return {};
    const QVariantMap tool = m_tools.value(m_tool->currentIndex()).toMap();
    *root = false;
    for (const QVariant &t : tool.value(QStringLiteral("tasks")).toList()) {
        if (t.toMap().value(QStringLiteral("id")) == m_task->currentData())
            *root = t.toMap().value(QStringLiteral("root")).toInt() == 1;
    }
    return ZDScheduleTasks::taskArguments(tool.value(QStringLiteral("bundleid")).toString(), m_task->currentData().toString(),
                                          type, value, true, *root);
}

ZDSchedulerPanel::ZDSchedulerPanel(ZDDispatcher *dispatcher, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher), m_tree(new QTreeWidget(this)), m_status(new QLabel(this)),
      m_sheet(new ZDScheduleAddSheet(this))
{
    m_tree->setHeaderLabels({tr("Task"), tr("Schedule"), tr("Enabled"), tr("State / Name")});
    m_tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    auto *buttons = new QHBoxLayout;
    const auto button = ZDPanelParts::buttonAdder(this, buttons);
    button(tr("Refresh"), [this] { refreshCadroTasks(); });
    button(tr("Add..."), [this] { showAddSheet(); });
    m_actions << button(tr("Remove"), [this] {
        QString host;
        const QList<ZDScheduledTask> rows = selected(&host);
        if (rows.isEmpty())
            return;
        // A computer's line selected: that computer's copy only.
        const QStringList hosts = host.isEmpty() ? QStringList() : QStringList{host};
        if (confirm(ZDScheduleTasks::removeQuestion(rows, hosts), tr("Remove")))
            act([rows, hosts](ZDScheduleTasks &s) { return s.remove(rows, rows.first().root == 1, hosts); });
    });
    for (const bool on : {true, false}) {
        m_actions << button(on ? tr("Enable") : tr("Disable"), [this, on] {
            QString host;
            const QList<ZDScheduledTask> rows = selected(&host);
            if (!rows.isEmpty())
                act([rows, on, host](ZDScheduleTasks &s) { return s.setEnabled(rows, on, rows.first().root == 1, host); });
        });
        button(on ? tr("Enable All...") : tr("Disable All..."), [this, on] {
            const qsizetype computers = m_dispatcher->selectedServices().size();
            const QString question = (on ? tr("Enable every schedule on %n computer(s)?", nullptr, int(computers))
                                         : tr("Disable every schedule on %n computer(s)?", nullptr, int(computers)));
            if (confirm(question, on ? tr("Enable All") : tr("Disable All")))
                act([on](ZDScheduleTasks &s) { return s.setEnabled({}, on, false); });
        });
    }
    button(tr("Sync"), [this] {
        const ZDScheduleTasks::Plan plan = ZDScheduleTasks::syncPlan(m_rows);
        if (plan.steps.isEmpty()) {
            m_status->setText(tr("Every schedule is in line."));
            return;
        }
        if (confirm(plan.question(), tr("Sync")))
            act([plan](ZDScheduleTasks &s) { return s.apply(plan, std::nullopt); });
    });
    buttons->addStretch(1);
    connect(m_sheet, &QDialog::accepted, this, [this] {
        bool root = false;
        QString title, text;
        const QVariantMap arguments = m_sheet->arguments(&root, &title, &text);
        if (!title.isEmpty()) {
            QMessageBox::warning(this, title, text);
            m_sheet->open();
            return;
        }
        act([arguments, root](ZDScheduleTasks &s) { return s.add(arguments, root); });
    });
    // Nothing selected is no target: those act on the selection only.
    const auto update = [this] {
        for (QPushButton *b : std::as_const(m_actions))
            b->setEnabled(!m_tree->selectedItems().isEmpty());
    };
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, update);
    update();
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tree, 1);
    layout->addLayout(buttons);
    layout->addWidget(m_status);
}

QList<ZDScheduledTask> ZDSchedulerPanel::selected(QString *host) const
{
    QList<ZDScheduledTask> out;
    for (const QTreeWidgetItem *item : m_tree->selectedItems()) {
        if (item->parent()) {
            *host = item->data(0, Qt::UserRole).toString();
            item = item->parent();
        }
        const int index = m_tree->indexOfTopLevelItem(const_cast<QTreeWidgetItem *>(item));
        if (index >= 0 && index < m_rows.size()) {
            bool known = false;
            for (const ZDScheduledTask &r : out)
                known = known || r.identity == m_rows.at(index).identity;
            if (!known)
                out << m_rows.at(index);
        }
    }
    return out;
}

bool ZDSchedulerPanel::confirm(const QString &question, const QString &action)
{
    QMessageBox box(QMessageBox::Warning, question, tr("This changes the computers named."), QMessageBox::NoButton, this);
    box.setText(question);
    QPushButton *yes = box.addButton(action, QMessageBox::DestructiveRole);
    box.addButton(tr("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(qobject_cast<QPushButton *>(box.buttons().constLast()));
    box.exec();
    return box.clickedButton() == yes;
}

void ZDSchedulerPanel::showAddSheet()
{
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDBackground::run<QVariantList>(
        this,
        [dispatcher] {
            const ZDDispatcher::ServiceList services = dispatcher->selectedServices();
            return services.isEmpty() ? QVariantList()
                                      : dispatcher->objectFromRemoteMethod(QStringLiteral("zdAppTasks"), {}, {}, services.first()).toList();
        },
        [this](const QVariantList &tools) {
            m_sheet->setTools(tools);
            m_sheet->open();
            Q_EMIT toolsLoaded();
        });
}

void ZDSchedulerPanel::act(const Work &work)
{
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDPanelParts::runChange<ZDScheduleTasks::Report>(
        this, dispatcher, m_status,
        [dispatcher, work] {
            ZDScheduleTasks schedules(*dispatcher, dispatcher->selectedServices(), hostOf);
            return work(schedules);
        },
        [this] { refreshCadroTasks(); });
}

void ZDSchedulerPanel::refreshCadroTasks()
{
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDPanelParts::refreshLatest<QList<ZDScheduledTask>>(
        this, m_generation, [dispatcher] { return ZDScheduleTasks(*dispatcher, dispatcher->selectedServices(), hostOf).refresh(); },
        [this](const QList<ZDScheduledTask> &rows) { show(rows); });
}

void ZDSchedulerPanel::show(const QList<ZDScheduledTask> &rows)
{
    m_rows = rows;
    m_tree->clear();
    for (const ZDScheduledTask &task : rows) {
        QTreeWidgetItem *row = ZDPanelParts::addItemRow(
            m_tree, {task.taskDescription, task.frequencyDescription, enabledText(task.enabled), ZDScheduledTask::stateText(task.state)},
            task.state == ZDScheduledTask::InLine);
        for (const QVariant &c : task.children) {
            const QVariantMap child = c.toMap();
            auto *line = new QTreeWidgetItem(row, {ZDHostNames::display(child.value(QStringLiteral("hostname")).toString()),
                                      child.value(QStringLiteral("frequencyDescription")).toString(),
                                      enabledText(child.value(QStringLiteral("enabled")).toBool() ? 1 : 0),
                                      child.value(QStringLiteral("filename")).toString()});
            line->setData(0, Qt::UserRole, child.value(QStringLiteral("hostname")));
        }
        for (const QVariant &m : task.missingHosts)
            ZDPanelParts::addMissingLine(row, ZDHostNames::display(m.toMap().value(QStringLiteral("hostname")).toString()));
    }
    m_tree->expandAll();
    Q_EMIT tasksRefreshed();
}

void ZDSchedulerPanel::clearData()
{
    ++m_generation;
    m_rows.clear();
    m_tree->clear();
    m_status->clear();
}
