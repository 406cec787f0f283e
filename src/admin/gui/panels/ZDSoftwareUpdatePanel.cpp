#include "panels/ZDSoftwareUpdatePanel.h"

#include "ZDAlert.h"
#include "console/ZDAdminDefaults.h"
#include "console/ZDAdminSettings.h"
#include "ZDBackground.h"
#include "fleet/ZDDiscovery.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "log/ZDLog.h"
#include "windows/ZDProgressSheet.h"
#include "dispatch/ZDProgressState.h"
#include "features/updates/ZDSelfUpdate.h"
#include "features/updates/ZDSoftwareUpdateCounts.h"

#include <QAction>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox> // ZDAlert's inline accessors need it whole
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include "ZDInertTextBrowser.h"
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

enum Column { HostColumn, TitleColumn, SizeColumn };

// Made on the GUI thread, used by one worker, let go on the GUI thread.
std::shared_ptr<ZDSoftwareUpdateItems> makeUpdates(ZDDispatcher *dispatcher, ZDErrorCallback *callback)
{
    return {new ZDSoftwareUpdateItems(*dispatcher, callback, dispatcher->selectedServices(),
                                      &ZDSoftwareUpdateCounts::keyFor),
            [](ZDSoftwareUpdateItems *u) { u->deleteLater(); }};
}

struct Populated
{
    QList<ZDNuvellItem> items;
    bool selfUpdate = false;
};

// The console's own update: checked and handed over by the self-update layer.
ZDSoftwareUpdatePanel::SelfCheck defaultSelfCheck()
{
    return [] { return ZDSelfUpdate::checkForUpdatesToSelf(); };
}

ZDSoftwareUpdatePanel::SelfInstall defaultSelfInstall()
{
    return [](const QString &url, QString *title, QString *text) {
        ZDSelfUpdate::Failure failure;
        const bool started = ZDSelfUpdate::installSelfUpdate(url, &failure);
        *title = failure.title;
        *text = failure.text;
        return started;
    };
}

} // namespace

ZDSoftwareUpdatePanel::ZDSoftwareUpdatePanel(ZDDispatcher *dispatcher, ZDErrorCallback *callback,
                                             ZDSoftwareUpdateCounts *counts, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_dispatcher(dispatcher)
    , m_callback(callback)
    , m_counts(counts)
    , m_selfCheck(defaultSelfCheck())
    , m_selfInstall(defaultSelfInstall())
    , m_action(new QAction(tr("Software Update"), this))
    , m_outline(new QTreeWidget(this))
    , m_changes(new ZDInertTextBrowser(this))
    , m_automatic(new QRadioButton(tr("Automatic"), this))
    , m_manual(new QRadioButton(tr("Manual"), this))
    , m_install(new QPushButton(tr("Install"), this))
    , m_spinner(new QProgressBar(this))
    , m_progress(new ZDProgressState(this))
    , m_sheet(new ZDProgressSheet(m_progress, this))
{
    setWindowTitle(tr("Software Update"));
    m_outline->setHeaderLabels({tr("Install"), tr("Update"), tr("Size")});
    m_outline->header()->setSectionResizeMode(TitleColumn, QHeaderView::Stretch);
    m_outline->header()->setStretchLastSection(false);
    m_outline->header()->setSectionResizeMode(HostColumn, QHeaderView::ResizeToContents);
    m_changes->setOpenLinks(false);
    m_changes->setOpenExternalLinks(false);
    m_changes->setSearchPaths({});
    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(m_outline);
    splitter->addWidget(m_changes);

    auto *type = new QGroupBox(tr("Installation Type"), this);
    auto *typeLayout = new QHBoxLayout(type);
    typeLayout->addWidget(m_automatic);
    typeLayout->addWidget(m_manual);
    auto *group = new QButtonGroup(this);
    group->addButton(m_automatic);
    group->addButton(m_manual);
    m_automatic->setChecked(true);
    m_spinner->setRange(0, 0);
    m_spinner->setMaximumWidth(80);
    m_spinner->setTextVisible(false);
    m_spinner->hide();
    m_install->setEnabled(false);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(type);
    bottom->addStretch(1);
    bottom->addWidget(m_spinner);
    bottom->addWidget(m_install);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(splitter, 1);
    layout->addLayout(bottom);
    resize(640, 480);

    connect(m_manual, &QRadioButton::toggled, this, &ZDSoftwareUpdatePanel::changeType);
    connect(m_install, &QPushButton::clicked, this, &ZDSoftwareUpdatePanel::installUpdates);
    connect(m_outline, &QTreeWidget::currentItemChanged, this, &ZDSoftwareUpdatePanel::showChangeList);
    connect(m_outline, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem *row, int column) {
        const int index = m_outline->indexOfTopLevelItem(row);
        if (m_filling || column != HostColumn || index < 0 || index >= m_items.size())
            return;
        m_items[index].selected = row->checkState(HostColumn) == Qt::Checked ? 1 : 0;
        updateInstallButton();
    });
    connect(m_action, &QAction::triggered, this, &ZDSoftwareUpdatePanel::showNuvell);
    connect(m_counts, &ZDSoftwareUpdateCounts::totalChanged, this, &ZDSoftwareUpdatePanel::updateBadge);
    updateBadge(m_counts->total());
}

ZDSoftwareUpdatePanel *ZDSoftwareUpdatePanel::attach(QMainWindow *window, QToolBar *toolbar, ZDDispatcher *dispatcher,
                                                     ZDErrorCallback *callback, ZDDiscovery *discovery)
{
    auto *counts = new ZDSoftwareUpdateCounts(window);
    counts->followAgents(callback);
    counts->followRecords(discovery, dispatcher);
    auto *panel = new ZDSoftwareUpdatePanel(dispatcher, callback, counts, window);
    toolbar->addAction(panel->toolbarAction());
    // A computer that comes along joins an open list.
    connect(discovery, &ZDDiscovery::serviceAdded, panel, [panel] {
        if (panel->isVisible() && !panel->m_busy)
            panel->populateNuvells();
    });
    return panel;
}

void ZDSoftwareUpdatePanel::setSelfUpdate(SelfCheck check, SelfInstall install)
{
    m_selfCheck = std::move(check);
    m_selfInstall = install ? std::move(install) : defaultSelfInstall();
}

void ZDSoftwareUpdatePanel::checkForSelfUpdateAtStartup(const QString &settingsPath)
{
    {
        const auto settings = ZDAdminSettings::open(settingsPath);
        if (!ZDAdminDefaults::boolValue(*settings, QStringLiteral("SUCheckAtStartup"), true))
            return;
        if (ZDSelfUpdate::storedVersionIsNewer(*settings))
            m_counts->setNuvellCount(1, QString::fromLatin1(ZDSoftwareUpdateCounts::kSelfKey));
    }
    const SelfCheck check = m_selfCheck;
    ZDBackground::run<bool>(
        this, [check] { return check && !check().isEmpty(); },
        [this](bool available) {
            if (available)
                m_counts->setNuvellCount(1, QString::fromLatin1(ZDSoftwareUpdateCounts::kSelfKey));
            Q_EMIT selfUpdateChecked(available);
        });
}

void ZDSoftwareUpdatePanel::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    if (event->isAccepted())
        Q_EMIT windowClosed(m_autoClosing);
}

void ZDSoftwareUpdatePanel::updateBadge(qint64 total)
{
    m_action->setIcon(QIcon(QPixmap::fromImage(ZDSoftwareUpdateCounts::badgedIcon(total))));
    m_action->setToolTip(total > 0 ? tr("%n update(s) available", nullptr, int(total)) : tr("Software Update"));
}

void ZDSoftwareUpdatePanel::showNuvell()
{
    show();
    raise();
    activateWindow();
    populateNuvells();
}

void ZDSoftwareUpdatePanel::setBusy(bool busy)
{
    m_busy = busy;
    m_spinner->setVisible(busy);
    m_automatic->setEnabled(!busy);
    m_manual->setEnabled(!busy);
    updateInstallButton();
}

void ZDSoftwareUpdatePanel::clearNuvells()
{
    ++m_generation;
    showItems({});
}

void ZDSoftwareUpdatePanel::populateNuvells()
{
    // The list being installed stays until its install ends.
    if (m_progress->isShown())
        return;
    clearNuvells();
    const quint64 generation = m_generation;
    setBusy(true);
    const std::shared_ptr<ZDSoftwareUpdateItems> updates = makeUpdates(m_dispatcher, m_callback);
    const SelfCheck check = m_selfCheck;
    ZDBackground::run<Populated>(
        this,
        [updates, check] {
            const QVariantMap self = check ? check() : QVariantMap();
            return Populated{updates->refresh(self), !self.isEmpty()};
        },
        [this, generation, updates](const Populated &result) {
            m_counts->setNuvellCount(result.selfUpdate ? 1 : 0, QString::fromLatin1(ZDSoftwareUpdateCounts::kSelfKey));
            if (generation != m_generation)
                return;
            QList<ZDNuvellItem> items = result.items;
            ZDSoftwareUpdateItems::changeType(items, m_manual->isChecked());
            showItems(items);
            setBusy(false);
            if (!items.isEmpty())
                m_outline->setCurrentItem(m_outline->topLevelItem(0));
            else if (isVisible())
                message(QStringLiteral("No updates found"), QStringLiteral("Your software is up-to-date."),
                        "closeAfterAlert");
            Q_EMIT nuvellsPopulated();
        });
}

void ZDSoftwareUpdatePanel::showItems(const QList<ZDNuvellItem> &items)
{
    m_filling = true;
    m_items = items;
    m_outline->clear();
    for (const ZDNuvellItem &item : items) {
        auto *row = new QTreeWidgetItem(m_outline, {QString(), item.title, item.sizeText()});
        row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
        row->setCheckState(HostColumn, item.selected ? Qt::Checked : Qt::Unchecked);
        for (const QVariant &child : item.children)
            new QTreeWidgetItem(row, {child.toMap().value(u"hostname"_s).toString()});
    }
    m_outline->expandAll();
    m_filling = false;
    showChangeList();
    updateInstallButton();
}

void ZDSoftwareUpdatePanel::showChangeList()
{
    QTreeWidgetItem *row = m_outline->currentItem();
    // A computer's row shows its product's text.
    while (row && row->parent())
        row = row->parent();
    const int index = row ? m_outline->indexOfTopLevelItem(row) : -1;
    if (index < 0 || index >= m_items.size())
        m_changes->clear();
    else
        m_changes->setHtml(ZDSoftwareUpdateItems::changeListHtml(m_items.at(index)));
}

void ZDSoftwareUpdatePanel::updateInstallButton()
{
    const bool any = std::any_of(m_items.cbegin(), m_items.cend(), [](const ZDNuvellItem &i) { return i.selected == 1; });
    m_install->setEnabled(any && !m_busy);
}

void ZDSoftwareUpdatePanel::changeType()
{
    ZDSoftwareUpdateItems::changeType(m_items, m_manual->isChecked());
    m_filling = true;
    for (int i = 0; i < m_items.size() && i < m_outline->topLevelItemCount(); ++i)
        m_outline->topLevelItem(i)->setCheckState(HostColumn, m_items.at(i).selected ? Qt::Checked : Qt::Unchecked);
    m_filling = false;
    updateInstallButton();
}

void ZDSoftwareUpdatePanel::installUpdates()
{
    if (m_busy || !m_install->isEnabled())
        return;
    const QList<ZDNuvellItem> items = m_items;
    if (m_manual->isChecked())
        installManually(items);
    else if (items.size() == 1 && items.first().own)
        installSelf(ZDSoftwareUpdateItems::selfUpdateURL(items));
    else
        installAutomatically(items);
}

void ZDSoftwareUpdatePanel::installAutomatically(const QList<ZDNuvellItem> &items)
{
    bool agent = false;
    const QString selfURL = ZDSoftwareUpdateItems::selfUpdateURL(items);
    for (const ZDNuvellItem &item : items)
        agent = agent || (item.selected && item.isAgent());
    setBusy(true);
    m_installCancelled = false;
    const std::shared_ptr<ZDSoftwareUpdateItems> updates = makeUpdates(m_dispatcher, m_callback);
    connect(updates.get(), &ZDSoftwareUpdateItems::progressStarted, m_progress, &ZDProgressState::progressBarSetMaxValue);
    connect(updates.get(), &ZDSoftwareUpdateItems::progressAdvanced, m_progress, &ZDProgressState::incrementProgress);
    connect(updates.get(), &ZDSoftwareUpdateItems::installing, m_progress,
            [this](const QString &title) { m_progress->updateProgressStatus(tr("Installing %1...").arg(title)); });
    m_progress->setCancelAction([this] {
        m_installCancelled = true;
        m_dispatcher->cancelProcessing();
    });
    m_progress->startProgress();
    m_progress->updateProgressStatus(tr("Installing updates..."));
    ZDBackground::run<ZDSoftwareUpdateItems::Report>(
        this, [updates, items] { return updates->install(items, true); },
        [this, updates, agent, selfURL](const ZDSoftwareUpdateItems::Report &report) {
            m_progress->endProgress();
            setBusy(false);
            for (const QString &failure : report.failures)
                ZDLog::appendLog(u"Software update: %@"_s, failure);
            Q_EMIT installFinished();
            if (m_installCancelled)
                return;
            if (!agent && selfURL.isEmpty()) {
                populateNuvells();
                return;
            }
            // The agents restart with their update, or the console hands over to the updater.
            QTimer::singleShot(1000, this, [this, selfURL] {
                // The agents restart by themselves: no new configuration is asked of them now.
                m_autoClosing = true;
                close();
                m_autoClosing = false;
                if (!selfURL.isEmpty())
                    installSelf(selfURL);
                else
                    waitForClients();
            });
        });
}

void ZDSoftwareUpdatePanel::installManually(const QList<ZDNuvellItem> &items)
{
    for (const ZDNuvellItem &item : items) {
        const QUrl url(item.downloadURL);
        const bool web = url.scheme() == "https"_L1 || url.scheme() == "http"_L1;
        if (item.selected && item.own && web)
            QDesktopServices::openUrl(url);
    }
    setBusy(true);
    const std::shared_ptr<ZDSoftwareUpdateItems> updates = makeUpdates(m_dispatcher, m_callback);
    ZDBackground::run<ZDSoftwareUpdateItems::Report>(
        this, [updates, items] { return updates->manualInstall(items); },
        [this, updates](const ZDSoftwareUpdateItems::Report &) {
            setBusy(false);
            Q_EMIT installFinished();
            message(QStringLiteral("Manual updates started"),
                    QStringLiteral("The updates you chose to install have been launched on the target computers. "
                                   "Please go to these machines and start the installation manually."),
                    "closeAfterAlert");
        });
}

void ZDSoftwareUpdatePanel::installSelf(const QString &url)
{
    const SelfInstall install = m_selfInstall;
    struct Outcome
    {
        bool ok = false;
        QString title, text;
    };
    ZDBackground::run<Outcome>(
        this,
        [install, url] {
            Outcome o;
            o.ok = install(url, &o.title, &o.text);
            return o;
        },
        [this](const Outcome &o) {
            if (!o.ok) {
                message(o.title, o.text);
                return;
            }
            // The updater replaces the console and opens it again.
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        });
}

void ZDSoftwareUpdatePanel::waitForClients()
{
    // Over the console's window (this one is closed by now), with a state of its own so
    // that the list can be collected again meanwhile.
    QWidget *over = parentWidget() ? parentWidget() : this;
    auto *state = new ZDProgressState(over);
    auto *sheet = new ZDProgressSheet(state, over);
    connect(state, &ZDProgressState::shownChanged, over, [state, sheet](bool shown) {
        if (shown)
            return;
        sheet->deleteLater();
        state->deleteLater();
    });
    state->setCancelAction([state] { state->endProgress(); });
    state->startProgress();
    state->updateProgressStatus(tr("Waiting for clients to relaunch..."));
    state->progressBarSetIndeterminate();
    QTimer::singleShot(kRelaunchWaitMs, state, &ZDProgressState::endProgress);
}

void ZDSoftwareUpdatePanel::message(const QString &title, const QString &text, const QByteArray &didEnd)
{
    ZDAlert::alertSheet(title, tr("OK"), QString(), QString(), text, this, didEnd.isEmpty() ? nullptr : this, didEnd,
                        false);
}

void ZDSoftwareUpdatePanel::closeAfterAlert(ZDAlert *, int)
{
    close();
}
