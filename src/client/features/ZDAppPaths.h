#pragma once
// Application paths: the agent runs the maker's path tool for every request. A
// whole path dictionary is checked (known titles, absolute paths, no control
// characters) and bounded to one command-line argument before it is handed over.
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>

class ZDCallbackRegistry;
class ZDClientTasks;
class ZDRemoteObject;

class ZDAppPaths
{
public:
    static constexpr const char *kBundleID = "com.zendrel.Tarnok";
    static constexpr int kToolNotFound = 1000;

    // executable: the tool's program, empty when it is not installed; postError:
    // an error code for the consoles, with the tool's bundle identifier or nothing;
    // postText: an error text for the consoles.
    ZDAppPaths(std::function<QString()> executable, std::function<void(int, const QString &)> postError,
               std::function<void(const QString &)> postText);

    static void addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                              std::function<void()> clearCancelled);

    // {application title: {path title: path}}, or none.
    QVariant paths() const;
    // Waits for the tool, so that a console reading back after a sync sees the new paths.
    void setPaths(const QVariantMap &paths) const;
    void setPath(const QString &path, const QString &key) const;
    void resetPath(const QString &key) const;

private:
    QString tool() const;
    void runForExitCode(const QStringList &arguments) const;

    std::function<QString()> m_executable;
    std::function<void(int, const QString &)> m_postError;
    std::function<void(const QString &)> m_postText;
};
