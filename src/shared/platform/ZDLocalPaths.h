#pragma once
// Where things are: standard folders of the user and of the computer, the Trash,
// the console user, unique names, and the folders that must never be removed.
//
// User-domain folders follow the XDG base directories. Local-domain and system
// folders sit below $KESTRA_SYSTEM_ROOT (default "/") so that tests and the demo
// can run against a sandbox. A process whose real user id is 0 resolves user
// folders to those of the user at the console.
#include <QString>

enum class ZDDirectoryKind {
    Applications,
    AdminApplications,
    Documents,
    Library,
    Preferences,
    Caches,
    ApplicationSupport,
    Logs,
    Movies,
    Desktop,
    SystemLibrary,
    Documentation,
};

class ZDLocalPaths
{
public:
    ZDLocalPaths() = delete;

    // "/" unless KESTRA_SYSTEM_ROOT names another folder; never ends with "/" except for "/".
    static QString systemRoot();
    // systemRoot() joined with an absolute system path ("/etc/xdg" -> "<root>/etc/xdg").
    static QString systemPath(const QString &absolutePath);

    static QString pathForDirectory(ZDDirectoryKind kind, bool userDomain);
    static QString applicationDirectory(bool userDomain);
    static QString adminApplicationDirectory(bool userDomain);
    static QString documentDirectory(bool userDomain);
    static QString libraryDirectory(bool userDomain);
    static QString prefsDirectory(bool userDomain);
    static QString cacheDirectory(bool userDomain);
    static QString appSupportDirectory(bool userDomain);
    static QString logDirectory(bool userDomain);
    static QString movieDirectory();
    static QString desktopDirectory();
    static QString systemLibraryDirectory();
    static QString localDocumentationDirectory();
    static QString trashDirectory();
    static QString tempDirectory();
    // The per-user runtime folder ($XDG_RUNTIME_DIR); empty when there is none.
    static QString darwinCacheDirectory();

    static QString userDirectory();
    static QString username();
    // Empty when nobody is logged in at the console (or only a greeter is).
    static QString currentConsoleUser();
    static bool isRoot();

    static QString uuid();
    static QString randomString(int length);
    static QString tempFile();

    static bool isPathSystemDirectory(const QString &path, bool exactMatch = false);
    static bool isPathOnTimeMachineVolume(const QString &path);
};
