#pragma once
// The information panel of one computer: name, host, address, state with its error
// text, versions from its configuration and its system summary, which is
// fetched from the agent on a worker thread.
#include "fleet/ZDService.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class ZDDispatcher;

class ZDComputerInfoPanel : public QWidget
{
    Q_OBJECT
public:
    // dispatcher must outlive the panel.
    explicit ZDComputerInfoPanel(ZDDispatcher *dispatcher, QWidget *parent = nullptr);

    // The large-icon cache to use (tests); empty: the console's.
    void setIconCachePath(const QString &path) { m_iconCachePath = path; }
    bool hasLargeIcon() const;

    // Fills the panel for this computer, shows it and fetches the system summary and large icon.
    void showInfo(const ZDServicePtr &service);
    ZDServicePtr service() const { return m_service; }
    QString name() const;
    QString address() const;
    QString host() const;
    QString state() const;
    QString text() const;
    bool isLoading() const;

Q_SIGNALS:
    void infoLoaded();
    void largeIconLoaded();

private:
    void fetchLargeServiceIcon(const ZDServicePtr &service, quint64 generation);

    ZDDispatcher *m_dispatcher;
    QString m_iconCachePath;
    ZDServicePtr m_service;
    quint64 m_generation = 0;
    QLabel *m_icon;
    QLabel *m_name;
    QLabel *m_host;
    QLabel *m_address;
    QLabel *m_state;
    QPlainTextEdit *m_text;
    QProgressBar *m_spinner;
};
