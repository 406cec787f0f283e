#pragma once
// The console's own updates: its feed (the appcast named by "SUFeedURL" in its
// Info.plist, or the "selfUpdateFeedURL" setting) read for a newer version, and the
// hand-over to the updater shipped among its resources, which replaces the console
// after it quits and opens it again.
#include <QSettings>
#include <QString>
#include <QVariantMap>

namespace ZDSelfUpdate {
inline constexpr const char *kFeedSetting = "selfUpdateFeedURL";
inline constexpr const char *kAvailableVersionSetting = "availableUpdateVersion";
inline constexpr const char *kUpdaterName = "ZDUpdater";

// The console's own update entry from its feed ("SUFeedURL" in the console's Info.plist; a
// setting may override it for tests/demo), or an empty map. Blocking: never on the GUI thread.
QVariantMap checkForUpdatesToSelf();
// True when the version an earlier check found ("availableUpdateVersion" in settings) is
// above the console's own CFBundleVersion (of bundlePath, the running one when empty).
bool storedVersionIsNewer(const QSettings &settings, const QString &bundlePath = QString());
// The same for the console's application folder at bundlePath (the running one when empty).
QVariantMap checkForUpdatesToSelf(const QString &bundlePath);

struct Failure
{
    QString title;
    QString text;
}; // the alert to show when it fails

// Copies the shipped ZDUpdater into a private temporary folder, starts it with -app and -url
// detached; true when started (the caller then quits the console).
bool installSelfUpdate(const QString &url, Failure *failure);
} // namespace ZDSelfUpdate
