#pragma once
// Replaces an installed application from a signed archive: waits for the
// application to quit, downloads the archive and its signed manifest, checks both
// against the key, identifier and version in the Info.plist of the application it
// replaces (a newer version only, an unexpired manifest, the archive's hash) before
// anything is unpacked, unpacks
// it into a private staging folder beside the application, swaps the new copy in by
// rename and only then moves the old one to the Trash. Runs on a worker thread of its
// own; the window follows its signals.
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

class QThread;

class ZDUpdater : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 kMaxArchiveBytes = 512LL * 1024 * 1024;
    static constexpr std::chrono::seconds kDownloadTimeout{60};
    static constexpr std::chrono::seconds kQuitWait{3};
    static constexpr const char *kStagingPrefix = ".ZDUpdater-staging-";
    // The console runs its copy of the updater from a private folder named so.
    static constexpr const char *kCopyFolderPrefix = "ZDUpdater-";

    struct Arguments
    {
        QString appPath;
        QString url;
    };
    // "-app PATH" with "-url URL" (or "-updateCheckPath URL"); nothing when either is missing.
    static std::optional<Arguments> parse(const QStringList &arguments);

    explicit ZDUpdater(Arguments arguments, QObject *parent = nullptr);
    ~ZDUpdater() override; // stops the download and waits for the worker

    void start();
    // Stops a download in progress; a swap already begun completes.
    void cancel();
    // Ends a download still running and waits for the worker.
    void wait();
    bool wasCancelled() const { return m_stop.stop_requested(); }
    QString appName() const;
    // What to open as the updater quits: the new copy when installed, else the given application.
    QString reopenPath() const;
    // Starts an application folder's executable detached; false when it has none.
    static bool open(const QString &bundlePath);

Q_SIGNALS:
    void statusChanged(const QString &text);
    void progressChanged(qint64 received, qint64 total); // total -1: unknown length
    void indeterminate();
    void downloadFinished();
    void failed(const QString &title, const QString &text);
    void finished(bool installed);

private:
    void run();
    std::optional<QByteArray> download();
    bool verify(const QByteArray &archive);
    bool install(const QByteArray &archive);
    bool fail(const QString &title, const QString &text);
    void stopApplication(std::chrono::milliseconds grace);

    const Arguments m_args;
    std::stop_source m_stop;
    std::unique_ptr<QThread> m_worker;
    mutable std::mutex m_mutex;
    QString m_installedPath;
    qint64 m_manifestVersion = 0; // set by verify() on the worker before install()
};
