#pragma once
// The connection troubleshooter window: the computers of the list and, for the
// selected one, the advice of ZDTroubleshooting, with a Retry that connects it again.
// It opens on the screen its parent is on, wholly visible.
#include "fleet/ZDService.h"

#include <QWidget>

#include <functional>

class QListWidget;
class QPushButton;
class QPlainTextEdit;

class ZDTroubleshooter : public QWidget
{
    Q_OBJECT
public:
    using ServiceProvider = std::function<QList<ZDServicePtr>()>;

    // allServices: every computer of the list, in list order.
    explicit ZDTroubleshooter(ServiceProvider allServices, QWidget *parent = nullptr);

    // The list becomes the current computers; the first row is selected.
    void populateConnectionTroubleshooterServices();
    // Shows the window with the first troubled computer selected (none if all are fine).
    void showConnectionTroubleshooter();
    // Shows the window with this computer selected (the list's selection).
    void troubleshootConnection(const ZDServicePtr &service);

    QListWidget *serviceList() const { return m_list; }
    QPushButton *retryButton() const { return m_retry; }
    QString text() const;
    QList<ZDServicePtr> services() const { return m_services; }

private:
    void updateTroubleshooterTextForRow(int row);
    void retry();
    void showOnScreen();

    ServiceProvider m_allServices;
    QList<ZDServicePtr> m_services;
    QListWidget *m_list;
    QPlainTextEdit *m_text;
    QPushButton *m_retry;
};
