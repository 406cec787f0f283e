#pragma once
// The console's record of one client computer and its live connection: what the
// list shows (name, host name, icon, state flags, error code) and the link to the
// agent, carried by one connection thread per computer for as long as it lives.
// After connecting it asks for the agent's configuration, which the agent
// delivers by calling processConfiguration: on this record (passed by reference).
// A lost or failed connection is retried every 8 seconds.
//
// Thread-safe accessors; signals are emitted on the record's own (main) thread.
#include "ZDDNSSDBrowser.h"
#include "ZDRemoteObject.h"
#include "ZDRemoteProxy.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class ZDErrorCallback;
class ZDServiceGroup;

class ZDService : public QObject, public std::enable_shared_from_this<ZDService>
{
    Q_OBJECT
public:
    // Both start connecting at once.
    static std::shared_ptr<ZDService> serviceWithNetService(const ZDDNSSDService &service,
                                                            const std::shared_ptr<ZDErrorCallback> &errorCallback);
    static std::shared_ptr<ZDService> serviceWithName(const QString &name, const QString &hostName, const QString &ip,
                                                      int port, const std::shared_ptr<ZDErrorCallback> &errorCallback);
    ~ZDService() override;

    QString name() const;
    QString hostName() const;
    // The manual address when entered by hand, else the host name: groups, drag and
    // drop and the credential cache use it.
    QString hostKey() const;
    QString manualIP() const;
    int port() const;
    bool isManual() const;
    // First resolved IPv4 address of a DNS-SD computer (manual: the typed address).
    QString ipAddress() const;

    bool isConnected() const;
    // False ends the connection thread (a failing call marks the computer disconnected).
    void setConnected(bool connected);
    bool needsMaintenance() const;
    void setNeedsMaintenance(bool needs);
    bool isProcessing() const;
    bool isEnabled() const;
    void setEnabled(bool enabled);
    int errorCode() const;
    void setErrorCode(int code);
    QVariantMap configDict() const;
    QByteArray icon() const; // PNG data, may be empty
    ZDServiceGroup *parentGroup() const;
    void setParentGroup(ZDServiceGroup *group);

    // The agent's vended object; null while not connected.
    ZDRemoteProxyPtr proxyObject() const;
    // The object the agent calls back on (processConfiguration:).
    ZDRemoteObjectPtr remoteObject() const;

    void connectOnThread();
    void disconnect();
    void invalidate(bool notify = true);

    int compareTitle(const ZDService &other) const;

Q_SIGNALS:
    void serviceInvalidated(ZDService *service);                  // ZDKMTServiceInvalidated
    void postLocalError(int errorCode, const QString &hostName);  // ZDKMTPostLocalError
    void serviceRefresh(ZDService *service);                      // ZDKMTServiceRefresh
    void serviceConnectFailed(ZDService *service);                // ZDKMTServiceConnectFailed
    void adminOutdated(ZDService *service);                       // ZDKMTAdminOutdated
    void serviceConnected(ZDService *service);

protected:
    ZDService();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

using ZDServicePtr = std::shared_ptr<ZDService>;
