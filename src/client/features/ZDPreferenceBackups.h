#pragma once
// Preference backups: the agent runs the maker's preference tool for every
// request and copies backups between computers as zip archives. Only backups the
// tool lists are ever sent or restored by path: a path from the network is
// resolved without following its last link, must lie directly in the tool's
// backup folder and be one the tool listed, else it is answered as missing.
#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>

class ZDCallbackRegistry;
class ZDClientTasks;
class ZDRemoteObject;

class ZDPreferenceBackups
{
public:
    // Below the wire's 16 MiB frame, with room for the frame's own bytes.
    static constexpr qint64 kMaxBackupBytes = 15 * 1024 * 1024;
    static constexpr const char *kBundleID = "com.zendrel.Stowel";

    static constexpr int kToolNotFound = 1000;

    // executable: the tool's program, empty when it is not installed; postError:
    // how a refused backup or a failed run is told to the consoles; postCode: an
    // error code with the tool's identifier (the tool is missing).
    explicit ZDPreferenceBackups(std::function<QString()> executable,
                                 std::function<void(const QString &)> postError = {},
                                 std::function<void(int, const QString &)> postCode = {});

    // Serves the stowel... operations on root; tasks finds the tool (none: not installed).
    static void addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                              std::function<void()> clearCancelled);

    // The tool's list {name: {"path", ...}}, or none.
    QVariant backups() const;
    void backup(const QString &name, qint64 type) const;
    void backupSelected(const QVariantMap &request) const;
    // The zipped backup, or none when it is not a listed backup or too big.
    QVariant backupData(const QString &path) const;
    void restoreRemoteBackup(const QByteArray &data) const;
    void restoreLocalBackup(const QString &path) const;
    // keys: the comma-joined key list, none when missing.
    void trashSelected(const QVariant &keys) const;
    void lockSelected(const QVariant &keys) const;
    void unlockSelected(const QVariant &keys) const;

private:
    QString tool() const;
    // As tool(), but a missing tool is also told to the consoles.
    QString toolOrReport() const;
    // Runs the tool; a run that does not end with status 0 is told to the consoles.
    void run(const QStringList &arguments, std::chrono::seconds timeout) const;
    void report(const QString &text) const;
    // The listed backup at `path`, resolved; empty when it is none.
    QString listedBackup(const QString &path) const;
    void runWithKeys(const char *command, const QVariant &keys, int timeoutSeconds) const;
    void restore(const QString &packagePath) const;

    std::function<QString()> m_executable;
    std::function<void(const QString &)> m_postError;
    std::function<void(int, const QString &)> m_postCode;
};
