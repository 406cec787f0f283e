#pragma once
// The settings program's window: the controls of the controller, nothing more.
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class Orvelle_Network_ClientPref;
class ZDSwitch;

class ZDClientPrefWindow : public QWidget
{
    Q_OBJECT

public:
    explicit ZDClientPrefWindow(Orvelle_Network_ClientPref *controller, QWidget *parent = nullptr);

    ZDSwitch *masterSwitch() const { return m_switch; }
    QCheckBox *showMenuBarIconCheck() const { return m_showMenuBarIcon; }
    QComboBox *networkInterfacePopUp() const { return m_interfaces; }
    QCheckBox *networkCustomPortCheck() const { return m_customPortSet; }
    QLineEdit *networkCustomPortText() const { return m_customPort; }
    QLabel *statusLabel() const { return m_status; }
    QLabel *errorLabel() const { return m_error; }

private:
    void populateNetworkInterfaces();
    void refresh();
    void applyNetwork();

    Orvelle_Network_ClientPref *m_controller;
    QLabel *m_version = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_error = nullptr;
    QProgressBar *m_spinner = nullptr;
    ZDSwitch *m_switch = nullptr;
    QCheckBox *m_autoUpdate = nullptr;
    QCheckBox *m_preventDialogs = nullptr;
    QCheckBox *m_showMenuBarIcon = nullptr;
    QCheckBox *m_maintenance = nullptr;
    QComboBox *m_interfaces = nullptr;
    QCheckBox *m_customPortSet = nullptr;
    QLineEdit *m_customPort = nullptr;
    QCheckBox *m_disableBonjour = nullptr;
};
