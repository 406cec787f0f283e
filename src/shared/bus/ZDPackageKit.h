#pragma once
// The system's package manager through PackageKit on the system bus: the waiting
// updates with their size and change text, the installed packages of a name, and
// update, install and remove transactions whose progress is reported as they run.
// PackageKit asks polkit whether the caller may change packages; a refusal comes
// back as the transaction's error with PackageKit's own text. Every call is bounded
// in time, and a bus without PackageKit gives kNotAvailable, never a hang.
// Blocking: it runs a local event loop, so call it off the GUI thread.
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <functional>

class ZDPackageKit
{
public:
    static constexpr const char *kNotAvailable = "PackageKit is not available on this computer";
    static constexpr std::chrono::seconds kCallTimeout{25};
    static constexpr std::chrono::seconds kQueryTimeout{120};
    static constexpr std::chrono::minutes kChangeTimeout{30};
    static constexpr int kMaxPackages = 5000;
    static constexpr qsizetype kMaxTextLength = 64 * 1024;

    struct Package
    {
        QString id; // "name;version;arch;data"
        uint info = 0;
        QString summary;
        QString name() const { return id.section(QLatin1Char(';'), 0, 0); }
        QString version() const { return id.section(QLatin1Char(';'), 1, 1); }
        bool installed() const;
    };
    struct Result
    {
        bool ok = false;
        QString error; // PackageKit's text, or why the call did not run
        QList<uint> errorCodes;
        QList<Package> packages;
        QMap<QString, QVariantMap> details;  // package id -> "size", "summary", ...
        QMap<QString, QString> changes;      // package id -> the update's change text
    };
    using Progress = std::function<void(int percent)>;

    ZDPackageKit() = default;

    bool available(QString *why = nullptr) const;
    Result updates() const;
    // The installed packages among these names.
    Result installed(const QStringList &names) const;
    Result details(const QStringList &ids) const;
    Result updateDetails(const QStringList &ids) const;
    Result update(const QStringList &ids, const Progress &progress = {}) const;
    Result install(const QStringList &ids, const Progress &progress = {}) const;
    Result remove(const QStringList &ids, const Progress &progress = {}) const;

    static bool validPackageName(const QString &name);
    // Whether a failed change failed only because another transaction already made it.
    static bool alreadyDone(const Result &result);

private:
    Result transaction(const QString &method, const QVariantList &arguments, std::chrono::milliseconds timeout,
                       const Progress &progress) const;
};
