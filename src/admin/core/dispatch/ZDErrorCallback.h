#pragma once
// The console's one callback object, handed to every agent by reference
// (setErrorCallback:). Agents call it with errors, progress, task completion,
// configuration changes, maintenance requests and their disconnection; errors go
// into the error queue, the rest is re-emitted as signals on the object's thread.
//
// Agents call on their connection threads: the queue is guarded by a lock and is
// replaced as a whole; every signal is emitted on the thread this object lives on.
// Everything an agent sends is checked: wrong types are refused, texts are cut,
// and the queue keeps at most kMaxQueueLength entries (the oldest go first).
#include "rpc/ZDRemoteError.h"
#include "rpc/ZDRemoteObject.h"

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QUrl>
#include <QVariant>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <shared_mutex>

class QNetworkAccessManager;
class QNetworkReply;
class ZDService;

class ZDErrorCallback : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;
    using FormFields = QList<QPair<QString, QVariant>>;

    enum class UploadResult {
        Uploaded,         // the server answered exactly "OK"
        Rejected,         // the server answered, but not "OK" (or not with success)
        ConnectionFailed, // no answer: no connection, time-out, link lost
        Cancelled,        // cancelUpload()
    };
    Q_ENUM(UploadResult)

    static constexpr int kDuplicateSeconds = 120;
    static constexpr int kMaxQueueLength = 500;
    // One computer's reports never push out the others': in a full queue, past this share its own oldest go.
    static constexpr int kMaxEntriesPerHost = 50;
    static constexpr int kMaxTextLength = 4096;
    static constexpr int kMaxHostNameLength = 1024;
    static constexpr int kMaxCrashLogs = 10000;
    static constexpr qint64 kMaxUploadAnswerBytes = 64 * 1024;
    static constexpr qint64 kMaxFormFileBytes = 64 * 1024 * 1024;
    static constexpr int kUploadTimeoutMs = 120 * 1000;

    static constexpr const char *kUploadPath = "/appdata/orvelle/net_admin/uploadlog.php";
    static constexpr const char *kDefaultUploadServer = "https://www.zendrel.com";
    // Console setting: the support server's address ("scheme://host[:port]"); the path is fixed.
    static constexpr const char *kUploadServerSetting = "errorLogUploadServer";

    explicit ZDErrorCallback(QObject *parent = nullptr);
    ~ZDErrorCallback() override;

    // An object agents may receive by reference that takes every host name on trust:
    // for local callers only.
    ZDRemoteObjectPtr remoteObject() const;
    // The object one computer's connection hands its agent. A host name the agent
    // gives must be the record's own (for a record without one: no other listed
    // computer's), else the call is logged once and ignored: a lying peer gets
    // nothing done, not even for itself. Going away, a new configuration,
    // maintenance and refused credentials then act on that record (signals below),
    // never on another one found by name.
    ZDRemoteObjectPtr remoteObjectFor(const std::shared_ptr<ZDService> &record);
    // The records listed, for telling whose a host name is; set by the list that
    // owns them (owner: whoever may clear it again). Without it nobody is listed.
    using ListedRecords = std::function<QList<std::shared_ptr<ZDService>>()>;
    void setListedRecords(const void *owner, ListedRecords records);
    // A listed record other than self goes by this host name.
    bool isHostNameOfAnother(const QString &hostName, const ZDService *self) const;

    // Injection points: the clock of the duplicate rule, the console's settings file
    // (empty: the default one; host -> user name under "users", the upload server),
    // the version sent with uploads.
    void setClock(Clock clock);
    void setSettingsPath(const QString &path);
    QString settingsPath() const;
    void setApplicationVersion(const QString &version);
    QString applicationVersion() const;
    QUrl uploadUrl() const;

    // The queue, newest first.
    QVariantList errorQueue() const;
    int errorCount() const;

    // False when the report was refused (bad host name) or was a duplicate.
    bool addErrorToQueue(const ZDRemoteError &error, const QString &hostname);
    // userInfo: "hostname" (required), "appName" (optional).
    bool addErrorToQueue(const ZDRemoteError &error, const QVariantMap &userInfo);
    bool addExceptionToQueue(const std::exception &exception, const QString &hostname);
    bool addStringToQueue(const QString &text, const QString &hostname);
    bool addStringToQueue(const QString &text, const QVariantMap &userInfo);
    // A local report {"errorcode" >= 1, "hostname"}: queued as an error of the suite's domain.
    bool postLocalError(const QVariantMap &userInfo);

    void clearErrorQueue();
    void removeErrorsForHost(const QString &hostname);
    // Index of the first entry with that code and host, or -1.
    int indexOfError(qint64 code, const QString &hostname) const;
    // The entry a window highlights: as indexOfError, but with createIfMissing a
    // missing one is queued again first (as an error of the suite's domain).
    int errorToHighlight(qint64 code, const QString &hostname, bool createIfMissing);
    QString stringRepresentation() const;

    // Deletes the keychain password of the user the settings remember for this host.
    // Blocks on the keyring: not for the GUI thread.
    bool removeStoredPasswordForHost(const QString &hostname) const;

    static QString descriptionForError(const ZDRemoteError &error);
    static QString descriptionForCode(qint64 code, const QVariant &info = QVariant());
    static int actionTypeForCode(qint64 code);
    // Without a trailing ".local." or ".virtual.".
    static QString friendlyServiceName(const QString &hostname);
    // "%i error%@", empty for none.
    static QString errorButtonTitle(int count);

    // The multipart body; empty when a file field cannot be read.
    static QByteArray generateFormData(const FormFields &fields, const QString &boundary);
    // Sends the queue to the support server; once it accepts, the entries sent leave the
    // queue. False (nothing sent) with an empty queue, with an upload already running,
    // or when no request could be made (uploadFinished follows).
    bool uploadErrorLog();
    bool postDictionary(const FormFields &fields, const QUrl &url);
    void cancelUpload();
    bool isUploading() const;

Q_SIGNALS:
    void errorQueueChanged();
    void progressIncremented();
    void taskFinished();
    void updateConfig(const QString &hostname);
    void willDisconnect(const QString &hostname);
    void requestMaintenance(const QString &hostname);
    void cancelMaintenance(const QString &hostname);
    void crashLogsAdded(const QVariantList &logs, const QString &hostname);
    void nuvellCount(qint64 count, const QString &hostname);
    // An agent refused the credentials sent for this host; any stored password is gone.
    void credentialsRejected(const QString &hostname);
    void uploadFinished(ZDErrorCallback::UploadResult result, const QString &detail);
    // The same calls from a computer's own connection, with its record.
    void serviceWillDisconnect(const std::shared_ptr<ZDService> &service);
    void serviceConfigurationChanged(const std::shared_ptr<ZDService> &service);
    void serviceMaintenanceRequested(const std::shared_ptr<ZDService> &service, bool needed);
    void serviceNuvellCount(const std::shared_ptr<ZDService> &service, qint64 count);

private:
    struct Match
    {
        bool byCode = true;
        bool byAppName = false;
    };
    bool addEntry(QVariantMap entry, const Match &match);
    // Nobody in particular (the shared object), or the agent behind one record.
    struct Caller
    {
        bool bound = false;
        std::weak_ptr<ZDService> record;
        std::shared_ptr<std::atomic<int>> refusals; // logged so far, per connection
    };
    // The host a call may name (null when refused) and where its password is filed.
    QString hostFor(const Caller &caller, const char *operation, const QString &claimed,
                    QString *credentialHost = nullptr) const;
    bool addError(const ZDRemoteError &error, const QString &host, const QString &credentialHost,
                  const QVariant &appName, const Match &match);
    void buildRemoteObject(const ZDRemoteObjectPtr &target, const Caller &from);
    void installQueue(QVariantList queue);
    void rejectCredentials(const QString &hostname);
    template <typename F>
    void post(F &&f);
    void uploadReplyFinished();
    static QString representation(const QVariantList &queue);

    struct Guard;
    std::shared_ptr<Guard> m_guard;
    ZDRemoteObjectPtr m_remote;
    mutable QMutex m_mutex;
    QVariantList m_queue;
    Clock m_clock;
    QString m_settingsPath;
    QString m_version;
    bool m_versionSet = false;

    // Held shared while asked, so that the owner's clearing waits for the question to end.
    mutable std::shared_mutex m_listedMutex;
    const void *m_listedOwner = nullptr;
    ListedRecords m_listed;

    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    QByteArray m_answer;
    QVariantList m_sentEntries;
    bool m_uploadCancelled = false;
};
