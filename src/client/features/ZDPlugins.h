#pragma once
// The plug-in operations consoles call: list the plug-ins of the editing
// applications, hand one over as a zip archive, install or replace one from such
// an archive, and have the maker's plug-in tool enable, disable or move one
// between the computer's and the user's folder. Every path from the network must
// name an item inside a plug-in folder (see ZDPluginsFolders), else it is missing.
#include <QByteArray>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>

class ZDCallbackRegistry;
class ZDClientTasks;
class ZDRemoteObject;
class ZDSystemProfile;

class ZDPlugins
{
public:
    // Below the wire's 16 MiB frame limit with room for the answer's envelope.
    static constexpr qint64 kMaxDataBytes = 15 * 1024 * 1024;
    static constexpr int kMaxRecords = 10000;
    static constexpr int kMaxDepth = 8;
    static constexpr const char *kToolBundleID = "com.zendrel.Brindel";

    // tasks: finds and runs the plug-in tool (null: the tool is never found);
    // postError: how a refused plug-in is told to the consoles.
    ZDPlugins(ZDClientTasks *tasks, std::function<void()> clearCancelled,
              std::function<void(const QString &)> postError = {});

    // The plug-in and system information operations, served on the agent's object.
    static void addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                              const std::function<void()> &clearCancelled);
    // The lowercase hex SHA-256 a console gives in the plug-in's record ("sha256")
    // with the data it sends: data whose hash differs is refused.
    static QString hashOf(const QByteArray &data);

    static QVariantList plugins(bool withDisabled);
    static QVariantMap recordFor(const QString &path, const QString &type, bool disabled);

    QVariant pluginData(const QVariantMap &record) const;
    bool installPlugin(const QVariantMap &record, const QByteArray &data);
    bool updatePlugin(const QVariantMap &auth, const QVariantMap &settings);
    bool enablePlugin(const QVariantMap &auth, const QVariantMap &settings);
    bool changeAccess(const QVariantMap &auth, const QVariantMap &settings);
    bool needsAdminAccess(const QVariantList &records, const QVariantMap &settings) const;

private:
    // Unpacks data next to the destination, checks the one item it holds, and only
    // then swaps it in by rename; the old copy (oldPath) goes only once the new one is in
    // place. withRights: a folder the agent may not write is changed with the rights granted.
    bool stageAndSwap(const QString &folder, const QString &name, const QByteArray &data, const QString &oldPath,
                      bool withRights, const QString &expectedHash);
    // Logs and tells the consoles; always false.
    bool refuse(const QString &why) const;
    bool runTool(const QStringList &arguments, const QVariantMap &auth) const;

    ZDClientTasks *m_tasks;
    std::function<void()> m_clearCancelled;
    std::function<void(const QString &)> m_postError;
};
