#include "panels/ZDApplicationsPanel.h"

#include "dispatch/ZDActionTarget.h"

#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"
#include "panels/ZDPanelParts.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The name the dispatcher files each computer's answer under.
constexpr auto hostOf = &ZDDispatcher::answerKey;
// The state a settings box had when the computers last said, for a change not made.
constexpr const char *kShownState = "zdShownState";

struct Loaded
{
    QList<ZDApplicationRow> rows;
    QVariantMap settings;
};

} // namespace

ZDApplicationsPanel::ZDApplicationsPanel(ZDDispatcher *dispatcher, ZDApplicationRows::Kind kind, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher), m_kind(kind), m_tree(new QTreeWidget(this)), m_status(new QLabel(this))
{
    m_tree->setHeaderLabels({tr("Application"), tr("Status"), tr("Version")});
    m_tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_status->setTextFormat(Qt::PlainText);
    auto *buttons = new QHBoxLayout;
    const auto button = ZDPanelParts::buttonAdder(this, buttons);
    button(tr("Refresh"), [this] { refreshApps(); });
    ZDPanelParts::changesComputers(button(tr("Launch"), [this] { act(ZDApplicationRows::Action::Launch); }));
    ZDPanelParts::changesComputers(button(tr("Quit"), [this] { act(ZDApplicationRows::Action::Quit); }));
    ZDPanelParts::changesComputers(button(tr("Force Quit"), [this] { act(ZDApplicationRows::Action::ForceQuit); }));
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tree, 1);
    layout->addLayout(buttons);
    if (kind == ZDApplicationRows::Kind::Tools) {
        auto *boxes = new QHBoxLayout;
        const QStringList titles{tr("Require administrator password"), tr("Check for updates automatically"),
                                 tr("Include beta updates")};
        for (int i = 0; i < titles.size(); ++i) {
            auto *box = new QCheckBox(titles.at(i), this);
            const QString key = QLatin1String(ZDApplicationRows::kSettingKeys[i]);
            const QString title = titles.at(i);
            ZDPanelParts::changesComputers(box);
            // Asked like every change to computers; a "no" puts the box back.
            connect(box, &QCheckBox::clicked, this, [this, box, key, title](bool on) {
                const QString action = (on ? tr("Turn on \u201c%1\u201d") : tr("Turn off \u201c%1\u201d")).arg(title);
                const int computers = int(m_dispatcher->selectedServices().size());
                if (ZDPanelParts::confirmOnComputers(this, m_dispatcher, title, ZDActionTarget::question(action, computers),
                                                     on ? tr("Turn On") : tr("Turn Off")))
                    changeSetting(key, on);
                else
                    restore(box);
            });
            boxes->addWidget(box);
            m_settings << box;
        }
        boxes->addStretch(1);
        layout->addLayout(boxes);
    }
    layout->addWidget(m_status);
}

void ZDApplicationsPanel::restore(QCheckBox *box)
{
    const QSignalBlocker blocker(box);
    box->setCheckState(Qt::CheckState(box->property(kShownState).toInt()));
}

void ZDApplicationsPanel::refreshApps()
{
    ZDDispatcher *dispatcher = m_dispatcher;
    const ZDApplicationRows::Kind kind = m_kind;
    ZDPanelParts::refreshLatest<Loaded>(
        this, m_generation,
        [dispatcher, kind] {
            ZDApplicationRows rows(*dispatcher, dispatcher->selectedServices(), hostOf);
            Loaded loaded{rows.refresh(kind), {}};
            if (kind == ZDApplicationRows::Kind::Tools)
                loaded.settings = rows.settings();
            return loaded;
        },
        [this](const Loaded &loaded) { show(loaded.rows, loaded.settings); });
}

void ZDApplicationsPanel::show(const QList<ZDApplicationRow> &rows, const QVariantMap &settings)
{
    m_tree->clear();
    for (const ZDApplicationRow &row : rows) {
        auto *item = new QTreeWidgetItem(m_tree, {row.name, row.status(), row.version()});
        item->setData(0, Qt::UserRole, row.bundleID);
        if (row.children.size() < 2)
            continue;
        for (const QVariant &c : row.children) {
            const ZDApplicationRow one{row.name, row.bundleID, row.icon, {c}};
            auto *line = new QTreeWidgetItem(item, {c.toMap().value(QStringLiteral("hostname")).toString(), one.status(), one.version()});
            line->setData(0, Qt::UserRole, row.bundleID);
        }
    }
    m_tree->expandAll();
    for (int i = 0; i < m_settings.size(); ++i) {
        const QSignalBlocker blocker(m_settings.at(i));
        const QVariant v = settings.value(QLatin1String(ZDApplicationRows::kSettingKeys[i]));
        m_settings.at(i)->setTristate(v.toInt() == -1);
        m_settings.at(i)->setCheckState(v.toInt() == -1 ? Qt::PartiallyChecked : v.toInt() == 1 ? Qt::Checked : Qt::Unchecked);
        m_settings.at(i)->setEnabled(v.isValid());
        m_settings.at(i)->setProperty(kShownState, int(m_settings.at(i)->checkState()));
    }
    Q_EMIT appsRefreshed();
}

void ZDApplicationsPanel::act(ZDApplicationRows::Action action)
{
    // A line counts for its application; each identifier once.
    QStringList ids;
    for (const QTreeWidgetItem *item : m_tree->selectedItems()) {
        const QString id = item->data(0, Qt::UserRole).toString();
        if (!ids.contains(id))
            ids << id;
    }
    if (ids.isEmpty()) {
        m_status->setText(tr("No bundle IDs found"));
        return;
    }
    // Each asks with how many applications on how many computers, and names the computers.
    const int count = int(ids.size()), computers = int(m_dispatcher->selectedServices().size());
    const QString verb = action == ZDApplicationRows::Action::Launch ? tr("Launch")
                         : action == ZDApplicationRows::Action::Quit ? tr("Quit")
                                                                     : tr("Force Quit");
    const QString question = ZDActionTarget::question(action == ZDApplicationRows::Action::ForceQuit ? tr("Force quit") : verb, count,
                                                      tr("application"), tr("applications"), computers);
    if (!ZDPanelParts::confirmOnComputers(this, m_dispatcher, verb, question, verb,
                                          action == ZDApplicationRows::Action::ForceQuit
                                              ? ZDApplicationRows::forceQuitQuestion(count).last()
                                              : QString()))
        return;
    ZDDispatcher *dispatcher = m_dispatcher;
    m_status->setText(ZDPanelParts::workingText());
    ZDBackground::run<int>(
        this, [dispatcher, action, ids] { return ZDApplicationRows(*dispatcher, dispatcher->selectedServices(), hostOf).act(action, ids); },
        [this, action](int) {
            m_status->clear();
            // The computers need a moment before the change shows.
            QTimer::singleShot(action == ZDApplicationRows::Action::Launch ? 2000 : 3000, this, [this] { refreshApps(); });
        });
}

void ZDApplicationsPanel::changeSetting(const QString &key, bool on)
{
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDBackground::run<int>(
        this,
        [dispatcher, key, on] {
            ZDApplicationRows rows(*dispatcher, dispatcher->selectedServices(), hostOf);
            if (key == QLatin1String("passwordProtect"))
                return rows.setPasswordProtect(on);
            rows.setSetting(key, on ? 1 : 0);
            return 0;
        },
        [this](int) { refreshApps(); });
}

void ZDApplicationsPanel::clearData()
{
    ++m_generation;
    m_tree->clear();
    m_status->clear();
}
