#pragma once
// The console's record of one client computer and its live connection: what the
// list shows (name, host name, icon, state flags, error code) and the link to the
// agent (see ZDServiceLink: connected on a pool, served on threads all links share).
// After connecting it asks for the agent's configuration, which the agent
// delivers by calling processConfiguration: on this record (passed by reference).
// A lost or failed connection is retried every 8 seconds.
//
// Thread-safe accessors; signals are emitted on the record's own (main) thread.
#include "dnssd/ZDDNSSDBrowser.h"
#include "rpc/ZDRemoteObject.h"
#include "rpc/ZDRemoteProxy.h"

#include <QByteArray>
#include <QDataStream>
#include <QImage>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

class ZDErrorCallback;
class ZDServiceGroup;
class ZDServiceLink;

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
    // What a group remembers the computer by: "manual:ADDRESS:PORT" for a manual
    // connection, "service:NAME" for an announced one (its port changes with each
    // start). Several agents on one address are told apart.
    QString groupKey() const;
    // Where "users" and the keychain file this computer's password: its host name,
    // but for a computer entered by hand only when its agent's name agrees with the
    // name the administrator gave, else the typed address (an agent never gets
    // another computer's password by naming it).
    QString credentialHost() const;
    // What this computer's stored password and user name are filed under: its
    // agent's key as the current TLS link proved it ("sha256:" and the fingerprint),
    // never its name, so a renamed computer keeps its password and another key under
    // a known name never gets it. Empty while no link proved a key.
    QString credentialKey() const;
    QString manualIP() const;
    int port() const;
    bool isManual() const;
    // First resolved IPv4 address of a DNS-SD computer (manual: the typed address).
    QString ipAddress() const;
    bool hasNetService() const;
    ZDDNSSDService netService() const;
    // "KestraClient - <host name with final dot>", or the TXT "name", at most 63 characters.
    QString registeredName() const;

    bool isConnected() const;
    // False ends the link (a failing call marks the computer
    // disconnected) and arms the retry, unless the record was disconnected or
    // invalidated on purpose.
    void setConnected(bool connected);
    // The link is alive (connecting or serving).
    bool isConnectionThreadRunning() const;
    // The current connection attempt has an outcome: connected with the configuration
    // handled (or timed out), failed, or ended on purpose. serviceRefresh,
    // serviceConnected or serviceConnectFailed follows every change towards it.
    bool isSettled() const;
    bool isInvalidated() const;
    bool needsMaintenance() const;
    void setNeedsMaintenance(bool needs);
    bool isProcessing() const;
    bool isEnabled() const;
    void setEnabled(bool enabled);
    int errorCode() const;
    void setErrorCode(int code);
    QVariantMap configDict() const;
    // Credentials go only to an agent reached over TLS (its key checked against
    // the pin) that says it has this console enrolled.
    bool mayReceiveCredentials() const;
    // The agent serves any console (its DNS-SD record or its configuration says so).
    bool isOpenMode() const;
    QByteArray icon() const; // PNG data, may be empty
    ZDServiceGroup *parentGroup() const;
    void setParentGroup(ZDServiceGroup *group);

    // The agent's vended object; null while not connected.
    ZDRemoteProxyPtr proxyObject() const;
    // The object the agent calls back on (processConfiguration:).
    ZDRemoteObjectPtr remoteObject() const;

    // Starts over on a new link (ends a running one first).
    void connectOnThread();
    // Waits (at most waitMs) until the calls the agent has sent so far have been
    // served on the link's serving thread; oneway reports may trail the answers.
    bool flushIncomingCalls(int waitMs);
    // Ends the connection and its thread, waiting at most about 2 s; no retry.
    void disconnect();
    // The end of the record: no more connecting.
    void invalidate(bool notify = true);
    // invalidate() for many records at once: every thread is told first, then
    // all are waited for together (about 2 s at most in all).
    static void invalidateServices(const QList<std::shared_ptr<ZDService>> &services, bool notify);

    // Asks the agent for its configuration; false when the agent cannot be asked.
    bool fetchInitialConfiguration();
    // Handles a configuration as the agent's processConfiguration: does (on a pool thread).
    void processConfiguration(const QVariant &configuration);
    // True when the agent answered.
    bool ping();
    // The icon from the disk cache or the agent (PNG data, empty when none).
    QByteArray fetchServiceIcon();
    // fetchServiceIcon() in the background; the result becomes icon().
    void setServiceIcon();

    int compareTitle(const ZDService &other) const;

    // name, hostName, icon, port, isConnected, needsMaintenance in that order.
    void archive(QDataStream &out) const;
    // A record that does not connect; null for a damaged or oversized archive.
    static std::shared_ptr<ZDService> serviceFromArchive(QDataStream &in);

    // The icon for a model identifier ("MacPro5,1", "LinuxLaptop"), null when unknown.
    static QImage iconForMacModel(const QString &model, int size);
    // "<user cache folder>/Kestra Admin", created when missing.
    static QString cacheDirectory();
    static QString iconCachePath();

    // The console's ZDMinClientVersion / ZDMinOrvVersion / CFBundleVersion
    // (Info.plist, 0 when missing); tests may set them (negative: back to the Info.plist).
    static int minClientVersion();
    static int minOrvVersion();
    static int adminVersion();
    static void setMinimumVersions(int minClientVersion, int minOrvVersion);
    static void setAdminVersion(int version);
    // 20 s and 8 s unless changed (tests).
    static void setConfigurationTimeout(int msec);
    static int configurationTimeout();
    static void setRetryInterval(int msec);
    static int retryInterval();

Q_SIGNALS:
    void serviceInvalidated(ZDService *service);                  // ZDKMTServiceInvalidated
    void postLocalError(int errorCode, const QString &hostName);  // ZDKMTPostLocalError
    void serviceRefresh(ZDService *service);                      // ZDKMTServiceRefresh
    void serviceConnectFailed(ZDService *service);                // ZDKMTServiceConnectFailed
    void adminOutdated(ZDService *service);                       // ZDKMTAdminOutdated
    void serviceConnected(ZDService *service);
    // What the configuration says for the software update count and crash reports.
    void updateCountReceived(int count, const QString &hostName);
    void updateCountRefreshRequested(ZDService *service);
    void crashLogReceived(ZDService *service, const QString &log);

protected:
    ZDService();

private:
    friend class ZDServiceLink;
    struct Private;
    static std::shared_ptr<ZDService> make();
    void setConnectedFlag(bool connected);
    void setRunLoopRunning(bool running);
    // The thread of this link is done: a current link takes the connected state with it.
    void linkEnded(const ZDServiceLink *link);
    void onOwnThread(std::function<void()> task);
    void startSpinner();
    void stopSpinner();
    void refreshServiceView();
    void armRetry();
    void armConfigurationTimer();
    void cancelConfigurationTimer();
    void connectionTimedOut();
    void processConfigurationOnThread(const QVariant &configuration);
    void callFailed(const std::exception &e, const char *method);
    bool stopLink(int waitMs);
    void endConnection(int waitMs);
    void endRecord(bool notify, int waitMs);
    void setIconData(const QByteArray &png);

    std::unique_ptr<Private> d;
};

using ZDServicePtr = std::shared_ptr<ZDService>;
Q_DECLARE_METATYPE(ZDServicePtr)
