#pragma once
// Updates of the applications this computer has as packages (the catalogue's Debian
// packages) and of the suite's own packages, through PackageKit: listed as update
// entries beside the maker's update tool's and installed with PackageKit's progress
// (removals are the removal tool's). PackageKit runs each change
// only when polkit allows it to this agent's user. Blocking: off the main thread.
#include "bus/ZDPackageKit.h"

#include <QString>
#include <QStringList>
#include <QVariantList>

#include <optional>

class ZDPackageUpdates
{
public:
    static constexpr const char *kType = "package";
    static constexpr const char *kClientPackage = "kestra-client";
    static constexpr const char *kAdminPackage = "kestra-admin";
    static constexpr const char *kAdminID = "com.zendrel.KestraAdmin";

    ZDPackageUpdates() = delete;

    // The update entries ("title", "type", "bundleid", "size", "changelist", "version",
    // "package"); nullopt and *why when PackageKit could not answer.
    static std::optional<QVariantList> list(QString *why);
    // The packages that stand for a bundle identifier here; empty when none.
    static QStringList packagesFor(const QString &bundleID);
    // Brings these packages to their waiting version; empty when done, else PackageKit's text.
    // *updatedClient: whether the agent's own package changed.
    static QString install(const QStringList &packages, const ZDPackageKit::Progress &progress, bool *updatedClient);
};
