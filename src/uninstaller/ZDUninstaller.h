#pragma once
// Removes the suite from this computer without widgets: stops the console and the
// agent, removes package-installed parts through the package manager, and moves every
// other item to the user's Trash so that it can be restored.
// Blocking: run it off the GUI thread.
#include <QList>
#include <QString>
#include <QStringList>

class ZDUninstaller
{
public:
    struct Item
    {
        QString path;
        bool unloadJobFirst = false; // the agent's unit: stopped before it goes
    };
    struct Remained
    {
        QString path;
        QString reason;
    };
    struct Report
    {
        QStringList trashed;
        QStringList removedPackages;
        QList<Remained> remained;
        bool complete() const { return remained.isEmpty(); }
        bool changedNothing() const { return trashed.isEmpty() && removedPackages.isEmpty() && remained.isEmpty(); }
    };

    static constexpr const char *kConsoleIdentifier = "com.zendrel.KestraAdmin";
    static constexpr const char *kPackages[] = {"kestra-admin", "kestra-client"};

    // In the order they are handled.
    static QList<Item> items();
    // Installed packages of the suite, from the package database below the system root.
    static QStringList installedPackages();
    static Report uninstall();
    // Nothing for paths inside build folders ("Release" parent, "/Structure/Applications/")
    // or already in the Trash; empty when the item may be trashed.
    static QString leftAloneReason(const QString &path);

    static QString confirmationText();
    static QString summaryTitle(const Report &report);
    static QString summaryText(const Report &report);
};
