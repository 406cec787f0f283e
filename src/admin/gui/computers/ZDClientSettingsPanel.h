#pragma once
// The "Kestra Client" panel: the agent settings of the selected computers as four
// check boxes. Reading and writing run on worker threads through the dispatcher;
// a box whose computers disagree shows the mixed state, and a write sends -1 for
// every box still mixed so that those values stay as they are on each computer.
// Values belong to the computers they were read from: a new selection clears the
// boxes, and a click writes only to the computers that answered the last read.
#include "console/ZDClientSettings.h"
#include "fleet/ZDService.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class ZDDispatcher;

class ZDClientSettingsPanel : public QWidget
{
    Q_OBJECT
public:
    // dispatcher must outlive the panel; it decides the selected computers.
    explicit ZDClientSettingsPanel(ZDDispatcher *dispatcher, QWidget *parent = nullptr);

    QCheckBox *clientAutoCheck() const { return m_autoCheck; }
    QCheckBox *clientPreventUpdateMessages() const { return m_preventUpdateMessages; }
    QCheckBox *clientShowMenuBarIcon() const { return m_showMenuBarIcon; }
    QCheckBox *clientAllowMaintenance() const { return m_allowMaintenance; }
    QCheckBox *boxForKey(const QString &key) const;
    const ZDClientSettings &settings() const { return m_settings; }
    bool isBusy() const { return m_busy > 0; }

public Q_SLOTS:
    void refreshNetworkClientSettings();
    // Drops the values shown and any read under way; the boxes stay disabled until
    // the next refresh answers.
    void clearData();

Q_SIGNALS:
    void settingsRefreshed();
    void settingsWritten(const QVariantMap &sent);

private:
    void apply(const ZDClientSettings &settings);
    void boxClicked(const QString &key);

    ZDDispatcher *m_dispatcher;
    ZDClientSettings m_settings;
    QList<ZDServicePtr> m_readFrom; // the computers m_settings came from
    int m_busy = 0;
    quint64 m_generation = 0;
    QCheckBox *m_autoCheck;
    QCheckBox *m_preventUpdateMessages;
    QCheckBox *m_showMenuBarIcon;
    QCheckBox *m_allowMaintenance;
    QLabel *m_status;
};
