#pragma once
// The agent's inventory of its computer: the short hardware summary consoles show
// (systemSpecs) and the system profile the Difference Finder compares
// (diffFinderSystemInfo). Everything is read below the system root, so a test
// builds a fake computer in a folder.
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <mutex>

class ZDRemoteObject;

class ZDSystemProfile
{
public:
    // A real computer holds a few thousand libraries; a hostile one cannot grow the answer without end.
    static constexpr int kMaxLibraries = 20000;
    static constexpr int kMaxModules = 5000;

    // plugins: the enabled plug-in records, listed afresh for every profile.
    explicit ZDSystemProfile(std::function<QVariantList()> plugins);

    // The profile; its fixed part is computed once (concurrent first callers wait
    // for the one computation), the plug-ins at every call, so a change made since
    // is never missed.
    QVariantMap profile();
    // Computes the fixed part ahead of the first request.
    void computeAhead();
    // After a plug-in change: the next request computes everything again, so the
    // Difference Finder never compares a computer as it was before the change.
    void invalidate();

    static QVariantMap systemSpecs();
    // Application name key -> version (empty when not installed), as both answers carry them.
    static QVariantMap applicationVersions();
    static QString osVersion();
    static QString kernelRelease();
    // The media framework's version from the package database; empty when unknown.
    static QString mediaFrameworkVersion();
    // name -> {"name", "fullPath", "version"} of the shared libraries in the library folders.
    static QVariantMap libraries();
    // name -> {"name", "fullPath", "version"} of the loaded kernel modules.
    static QVariantMap kernelModules();

    // systemSpecs and diffFinderSystemInfo, served on the agent's object.
    static void addOperations(ZDRemoteObject &root, const std::shared_ptr<ZDSystemProfile> &profile,
                              const std::function<void()> &clearCancelled);

private:
    std::function<QVariantList()> m_plugins;
    std::mutex m_mutex;
    bool m_computed = false;
    QVariantMap m_fixed;
};
