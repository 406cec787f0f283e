#include "computers/ZDClientSettingsPanel.h"

#include "dispatch/ZDAgentCalls.h"
#include "ZDBackground.h"
#include "dispatch/ZDDispatcher.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

namespace {

Qt::CheckState checkStateFor(int state)
{
    switch (state) {
    case 1:
        return Qt::Checked;
    case ZDClientSettings::kMixed:
        return Qt::PartiallyChecked;
    default:
        return Qt::Unchecked;
    }
}

} // namespace

ZDClientSettingsPanel::ZDClientSettingsPanel(ZDDispatcher *dispatcher, QWidget *parent)
    : QWidget(parent), m_dispatcher(dispatcher),
      m_autoCheck(new QCheckBox(tr("Check for Kestra Maintenance Tools updates automatically"), this)),
      m_preventUpdateMessages(new QCheckBox(tr("Tools check for their own updates at startup"), this)),
      m_showMenuBarIcon(new QCheckBox(tr("Show menu bar icon"), this)),
      m_allowMaintenance(new QCheckBox(tr("Allow users to request maintenance"), this)), m_status(new QLabel(this))
{
    auto *layout = new QVBoxLayout(this);
    auto *title = new QLabel(QStringLiteral("Kestra Client"), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    for (const QString &key : ZDClientSettings::keys()) {
        QCheckBox *box = boxForKey(key);
        box->setTristate(false);
        layout->addWidget(box);
        // clicked, not toggled: the state is ours to set, never the box's own cycle.
        connect(box, &QCheckBox::clicked, this, [this, key] { boxClicked(key); });
    }
    layout->addWidget(m_status);
    layout->addStretch(1);
    apply(m_settings);
}

QCheckBox *ZDClientSettingsPanel::boxForKey(const QString &key) const
{
    if (key == QLatin1String(ZDClientSettings::kAutoUpdateCheck))
        return m_autoCheck;
    if (key == QLatin1String(ZDClientSettings::kGlobalUpdateCheck))
        return m_preventUpdateMessages;
    if (key == QLatin1String(ZDClientSettings::kShowMenuBarIcon))
        return m_showMenuBarIcon;
    if (key == QLatin1String(ZDClientSettings::kEnableMaintenanceRequests))
        return m_allowMaintenance;
    return nullptr;
}

void ZDClientSettingsPanel::apply(const ZDClientSettings &settings)
{
    m_settings = settings;
    for (const QString &key : ZDClientSettings::keys()) {
        QCheckBox *box = boxForKey(key);
        const int state = settings.state(key);
        const QSignalBlocker block(box);
        box->setTristate(state == ZDClientSettings::kMixed);
        box->setCheckState(checkStateFor(state));
        box->setEnabled(state != ZDClientSettings::kUnknown);
    }
    if (settings.state(QString::fromLatin1(ZDClientSettings::kEnableMaintenanceRequests)) != ZDClientSettings::kUnknown)
        m_allowMaintenance->setEnabled(settings.maintenanceEnabled());
}

void ZDClientSettingsPanel::clearData()
{
    ++m_generation;
    m_readFrom.clear();
    m_status->clear();
    apply(ZDClientSettings());
}

void ZDClientSettingsPanel::refreshNetworkClientSettings()
{
    struct Read
    {
        QList<ZDServicePtr> services;
        QVariantMap answers;
    };
    const quint64 generation = ++m_generation;
    ++m_busy;
    m_status->setText(tr("Loading..."));
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDBackground::run<Read>(
        this,
        [dispatcher] {
            Read read;
            if (!dispatcher)
                return read;
            const QList<ZDServicePtr> selected = dispatcher->selectedServices();
            read.answers = ZDAgentCalls(dispatcher).networkClientSettings();
            for (const ZDServicePtr &service : selected) {
                if (read.answers.contains(ZDDispatcher::answerKey(service)))
                    read.services << service;
            }
            return read;
        },
        [this, generation](const Read &read) {
            --m_busy;
            if (generation != m_generation)
                return; // the selection changed meanwhile: these values belong to other computers
            m_status->clear();
            m_readFrom = read.services;
            apply(ZDClientSettings::merged(read.answers));
            Q_EMIT settingsRefreshed();
        });
}

void ZDClientSettingsPanel::boxClicked(const QString &key)
{
    if (m_readFrom.isEmpty()) {
        apply(m_settings); // nothing was read for these computers: nothing to send
        return;
    }
    ZDClientSettings next = m_settings;
    next.toggle(key);
    apply(next);
    const QVariantMap sent = next.settingsToSend();
    ++m_generation; // a refresh under way would show the old values
    ++m_busy;
    ZDDispatcher *dispatcher = m_dispatcher;
    ZDBackground::run<bool>(
        this,
        [dispatcher, sent, services = m_readFrom] {
            if (!dispatcher)
                return false;
            for (const ZDServicePtr &service : services)
                ZDAgentCalls(dispatcher).setNetworkClientSettings(sent, service);
            return true;
        },
        [this, sent](bool) {
            --m_busy;
            Q_EMIT settingsWritten(sent);
        });
}
