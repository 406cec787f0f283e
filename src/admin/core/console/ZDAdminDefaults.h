#pragma once
// The console's registered defaults and its task list. A setting that the file
// lacks (or holds in a type other than its default's) reads as its default;
// nothing is written until the user changes it.
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class ZDAdminDefaults
{
public:
    ZDAdminDefaults() = delete;

    static constexpr const char *kRequireAdminPassword = "requireAdminPassword";
    static constexpr const char *kFirstRun = "firstRun";
    static constexpr const char *kAutoRefresh = "autoRefresh";
    // Initial state of the credentials sheet's keychain box.
    static constexpr const char *kAuthAddKeychain = "authAddKeychain";
    static constexpr const char *kClientTaskName = "Kestra Client";

    static QVariantMap registeredDefaults();
    static QVariant value(const QSettings &settings, const QString &key);
    static bool boolValue(const QSettings &settings, const QString &key, bool fallback = false);

    // Every maintenance task, in the order of the task list.
    static QStringList taskNames();
    // The freedesktop icon-theme name that says what a task does.
    static QString taskIconName(const QString &task);
    // What a task does, for people who do not know its tool's name: "Crash logs".
    static QString taskFunction(const QString &task);
    // The task list's line: "Quellar — Crash logs" (the name alone where it says it already).
    static QString taskLabel(const QString &task);
    // The one line under a panel's title saying what it does.
    static QString taskDescription(const QString &task);
    // What a panel says while its data comes, and when it came and holds nothing
    // (empty: the panel has no list of its own).
    static QString taskLoadingText(const QString &task, int computers);
    static QString taskEmptyText(const QString &task);
};
