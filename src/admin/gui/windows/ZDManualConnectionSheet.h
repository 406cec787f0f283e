#pragma once
// The manual connection sheet: name, IP address and port; Connect is enabled
// exactly while the discovery's check accepts the three texts. A refused entry
// (an address and port already listed) shows its alert on the sheet, which stays.
#include <QDialog>

class QLineEdit;
class QPushButton;
class ZDDiscovery;

class ZDManualConnectionSheet : public QDialog
{
    Q_OBJECT
public:
    explicit ZDManualConnectionSheet(ZDDiscovery *discovery, QWidget *parent = nullptr);

    QLineEdit *nameField() const { return m_name; }
    QLineEdit *addressField() const { return m_address; }
    QLineEdit *portField() const { return m_port; }
    QPushButton *connectButton() const { return m_connect; }
    QPushButton *cancelButton() const { return m_cancel; }

public Q_SLOTS:
    // Empties the fields and shows the sheet.
    void showSheet();
    void submitManualConnection();

Q_SIGNALS:
    void connectionAdded(const QString &name, const QString &ip, int port);

private:
    void validate();

    ZDDiscovery *m_discovery;
    QLineEdit *m_name;
    QLineEdit *m_address;
    QLineEdit *m_port;
    QPushButton *m_connect;
    QPushButton *m_cancel;
};
