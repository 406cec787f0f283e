#include "platform/ZDLocalPaths.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTextStream>
#include <QUuid>

#include <chrono>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <utmpx.h>
#include <cstring>
#include <mutex>
#include <string>

namespace {

QString cleanJoin(const QString &base, const QString &rest)
{
    if (rest.isEmpty())
        return base;
    QString r = rest;
    while (r.startsWith(QLatin1Char('/')))
        r.remove(0, 1);
    if (base.endsWith(QLatin1Char('/')))
        return base + r;
    return base + QLatin1Char('/') + r;
}

QString homeOfUser(const QString &name)
{
    if (name.isEmpty())
        return {};
    const QByteArray n = name.toUtf8();
    struct passwd pw {};
    struct passwd *res = nullptr;
    char buf[4096];
    if (::getpwnam_r(n.constData(), &pw, buf, sizeof buf, &res) != 0 || !res || !res->pw_dir)
        return {};
    return QString::fromLocal8Bit(res->pw_dir);
}

QString nameOfUid(uid_t uid)
{
    struct passwd pw {};
    struct passwd *res = nullptr;
    char buf[4096];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &res) != 0 || !res || !res->pw_name)
        return {};
    return QString::fromLocal8Bit(res->pw_name);
}

// The process's own home: $HOME, else the password database.
QString ownHome()
{
    const QString h = qEnvironmentVariable("HOME");
    if (!h.isEmpty())
        return QDir::cleanPath(h);
    struct passwd pw {};
    struct passwd *res = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir)
        return QString::fromLocal8Bit(res->pw_dir);
    return QDir::rootPath();
}

// An XDG base folder of this process: the variable when absolute, else home + fallback.
QString ownXdg(const char *var, const char *fallback)
{
    const QString v = qEnvironmentVariable(var);
    if (!v.isEmpty() && QDir::isAbsolutePath(v))
        return QDir::cleanPath(v);
    return cleanJoin(ownHome(), QString::fromLatin1(fallback));
}

// A folder from "user-dirs.dirs" (XDG_DOCUMENTS_DIR="$HOME/Documents"), read from
// the config folder below the given home; empty when not set there.
QString userDirFromFile(const QString &configHome, const QString &home, const QString &key)
{
    QFile f(configHome + QStringLiteral("/user-dirs.dirs"));
    if (f.size() > 64 * 1024 || !f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    static const QRegularExpression line(QStringLiteral("^\\s*([A-Z_]+)\\s*=\\s*\"([^\"]*)\"\\s*$"));
    QTextStream in(&f);
    while (!in.atEnd()) {
        const auto m = line.match(in.readLine());
        if (!m.hasMatch() || m.captured(1) != key)
            continue;
        QString value = m.captured(2);
        if (value.startsWith(QLatin1String("$HOME")))
            value = home + value.mid(5);
        if (!QDir::isAbsolutePath(value))
            return {};
        return QDir::cleanPath(value);
    }
    return {};
}

// Root working for the console user: a path inside root's own home names the
// same place inside the console user's home.
QString rebaseForRoot(const QString &path)
{
    if (!ZDLocalPaths::isRoot())
        return path;
    const QString console = ZDLocalPaths::currentConsoleUser();
    const QString target = homeOfUser(console);
    if (target.isEmpty())
        return path; // nobody at the console: root's own folders
    const QString own = ownHome();
    if (path == own)
        return target;
    if (own != QLatin1String("/") && path.startsWith(own + QLatin1Char('/')))
        return cleanJoin(target, path.mid(own.size()));
    return path;
}

QString xdgUserDir(const char *var, const char *key, const char *fallback)
{
    const QString env = qEnvironmentVariable(var);
    if (!env.isEmpty() && QDir::isAbsolutePath(env))
        return rebaseForRoot(QDir::cleanPath(env));
    const QString home = ownHome();
    QString fromFile = userDirFromFile(ownXdg("XDG_CONFIG_HOME", ".config"), home, QString::fromLatin1(key));
    if (fromFile.isEmpty() && ZDLocalPaths::isRoot()) {
        // Root reads the console user's own choice of folder.
        const QString target = homeOfUser(ZDLocalPaths::currentConsoleUser());
        if (!target.isEmpty()) {
            const QString r = userDirFromFile(target + QStringLiteral("/.config"), target, QString::fromLatin1(key));
            if (!r.isEmpty())
                return r;
        }
    }
    if (fromFile.isEmpty())
        fromFile = cleanJoin(home, QString::fromLatin1(fallback));
    return rebaseForRoot(fromFile);
}

// One property of a logind object, by a plain call: no introspection first.
QVariant logindProperty(const QDBusConnection &bus, const QString &path, const QString &interface, const QString &name)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"), path,
                                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call << interface << name;
    // A machine without logind answers at once, instead of after an attempt to start it.
    call.setAutoStartService(false);
    const QDBusMessage reply = bus.call(call, QDBus::Block, 1000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

QString askLogind()
{
    // No seats folder, no logind: the bus is not worth connecting to.
    if (!QFileInfo::exists(QStringLiteral("/run/systemd/seats")))
        return {};
    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return {};
    const QVariant active = logindProperty(bus, QStringLiteral("/org/freedesktop/login1/seat/seat0"),
                                           QStringLiteral("org.freedesktop.login1.Seat"), QStringLiteral("ActiveSession"));
    if (active.typeId() != qMetaTypeId<QDBusArgument>())
        return {};
    const QDBusArgument arg = active.value<QDBusArgument>();
    QString sessionId;
    QDBusObjectPath sessionPath;
    if (arg.currentType() != QDBusArgument::StructureType)
        return {};
    arg.beginStructure();
    arg >> sessionId >> sessionPath;
    arg.endStructure();
    if (sessionPath.path().isEmpty() || sessionPath.path() == QLatin1String("/"))
        return {};
    const QString session = QStringLiteral("org.freedesktop.login1.Session");
    // A greeter's session is the login window: nobody is logged in.
    if (logindProperty(bus, sessionPath.path(), session, QStringLiteral("Class")).toString() != QLatin1String("user"))
        return {};
    return logindProperty(bus, sessionPath.path(), session, QStringLiteral("Name")).toString();
}

// Root asks for the console user with every path it builds; logind is asked at
// most once a second, which still follows a switch of users.
QString consoleUserFromLogind()
{
    static std::mutex lock;
    static std::chrono::steady_clock::time_point asked;
    static bool known = false;
    static QString user;
    std::lock_guard guard(lock);
    const auto now = std::chrono::steady_clock::now();
    if (!known || now - asked >= std::chrono::seconds(1)) {
        user = askLogind();
        asked = now;
        known = true;
    }
    return user;
}

// utmp fields are fixed-size and need not end in a NUL.
QString utmpField(const char *field, size_t size)
{
    return QString::fromStdString(std::string(field, ::strnlen(field, size)));
}

QString consoleUserFromUtmp()
{
    // utmp is a system file, so it follows the system root like every other.
    QString file = ZDLocalPaths::systemPath(QStringLiteral("/run/utmp"));
    if (!QFile::exists(file))
        file = ZDLocalPaths::systemPath(QStringLiteral("/var/run/utmp"));
    if (!QFile::exists(file))
        return {};
    static std::mutex utmpLock; // the utmpx cursor is process-wide
    std::lock_guard<std::mutex> guard(utmpLock);
    const QByteArray path = QFile::encodeName(file);
    if (::utmpxname(path.constData()) != 0)
        return {};
    ::setutxent();
    QString found;
    while (struct utmpx *u = ::getutxent()) {
        if (u->ut_type != USER_PROCESS)
            continue;
        const QString line = utmpField(u->ut_line, sizeof u->ut_line);
        const QString host = utmpField(u->ut_host, sizeof u->ut_host);
        if (line == QLatin1String(":0") || line == QLatin1String("tty7") || host == QLatin1String(":0")) {
            found = utmpField(u->ut_user, sizeof u->ut_user);
            break;
        }
    }
    ::endutxent();
    ::utmpxname(_PATH_UTMPX);
    return found;
}

} // namespace

QString ZDLocalPaths::systemRoot()
{
    QString r = qEnvironmentVariable("KESTRA_SYSTEM_ROOT");
    if (r.isEmpty() || !QDir::isAbsolutePath(r))
        return QStringLiteral("/");
    r = QDir::cleanPath(r);
    return r;
}

QString ZDLocalPaths::systemPath(const QString &absolutePath)
{
    const QString root = systemRoot();
    if (root == QLatin1String("/"))
        return QDir::cleanPath(absolutePath);
    return QDir::cleanPath(cleanJoin(root, absolutePath));
}

bool ZDLocalPaths::isRoot()
{
    return ::getuid() == 0;
}

QString ZDLocalPaths::pathForDirectory(ZDDirectoryKind kind, bool userDomain)
{
    if (userDomain) {
        switch (kind) {
        case ZDDirectoryKind::Applications:
            return rebaseForRoot(cleanJoin(ownHome(), QStringLiteral("Applications")));
        case ZDDirectoryKind::AdminApplications:
            return rebaseForRoot(cleanJoin(ownHome(), QStringLiteral("Applications/Utilities")));
        case ZDDirectoryKind::Documents:
            return xdgUserDir("XDG_DOCUMENTS_DIR", "XDG_DOCUMENTS_DIR", "Documents");
        case ZDDirectoryKind::Library:
        case ZDDirectoryKind::ApplicationSupport:
            return rebaseForRoot(ownXdg("XDG_DATA_HOME", ".local/share"));
        case ZDDirectoryKind::Preferences:
            return rebaseForRoot(ownXdg("XDG_CONFIG_HOME", ".config"));
        case ZDDirectoryKind::Caches:
            return rebaseForRoot(ownXdg("XDG_CACHE_HOME", ".cache"));
        case ZDDirectoryKind::Logs:
            return rebaseForRoot(cleanJoin(ownXdg("XDG_STATE_HOME", ".local/state"), QStringLiteral("log")));
        case ZDDirectoryKind::Movies:
            return xdgUserDir("XDG_VIDEOS_DIR", "XDG_VIDEOS_DIR", "Videos");
        case ZDDirectoryKind::Desktop:
            return xdgUserDir("XDG_DESKTOP_DIR", "XDG_DESKTOP_DIR", "Desktop");
        case ZDDirectoryKind::SystemLibrary:
        case ZDDirectoryKind::Documentation:
            return {};
        }
        return {};
    }
    switch (kind) {
    case ZDDirectoryKind::Applications:
        return systemPath(QStringLiteral("/opt"));
    case ZDDirectoryKind::AdminApplications:
        return systemPath(QStringLiteral("/opt/Utilities"));
    case ZDDirectoryKind::Documents:
        return systemPath(QStringLiteral("/srv/Documents"));
    case ZDDirectoryKind::Library:
        return systemPath(QStringLiteral("/var/lib"));
    case ZDDirectoryKind::Preferences:
        return systemPath(QStringLiteral("/etc/xdg"));
    case ZDDirectoryKind::Caches:
        return systemPath(QStringLiteral("/var/cache"));
    case ZDDirectoryKind::ApplicationSupport:
        return systemPath(QStringLiteral("/usr/local/share"));
    case ZDDirectoryKind::Logs:
        return systemPath(QStringLiteral("/var/log"));
    case ZDDirectoryKind::SystemLibrary:
        return systemPath(QStringLiteral("/usr/share"));
    case ZDDirectoryKind::Documentation:
        return systemPath(QStringLiteral("/usr/share/doc"));
    case ZDDirectoryKind::Movies:
    case ZDDirectoryKind::Desktop:
        return {};
    }
    return {};
}

QString ZDLocalPaths::applicationDirectory(bool u) { return pathForDirectory(ZDDirectoryKind::Applications, u); }
QString ZDLocalPaths::adminApplicationDirectory(bool u) { return pathForDirectory(ZDDirectoryKind::AdminApplications, u); }
QString ZDLocalPaths::documentDirectory(bool u) { return pathForDirectory(ZDDirectoryKind::Documents, u); }
QString ZDLocalPaths::libraryDirectory(bool u) { return pathForDirectory(ZDDirectoryKind::Library, u); }
QString ZDLocalPaths::prefsDirectory(bool u) { return pathForDirectory(ZDDirectoryKind::Preferences, u); }
QString ZDLocalPaths::cacheDirectory(bool u) { return pathForDirectory(ZDDirectoryKind::Caches, u); }
QString ZDLocalPaths::appSupportDirectory(bool u) { return pathForDirectory(ZDDirectoryKind::ApplicationSupport, u); }
QString ZDLocalPaths::logDirectory(bool u) { return pathForDirectory(ZDDirectoryKind::Logs, u); }
QString ZDLocalPaths::movieDirectory() { return pathForDirectory(ZDDirectoryKind::Movies, true); }
QString ZDLocalPaths::desktopDirectory() { return pathForDirectory(ZDDirectoryKind::Desktop, true); }
QString ZDLocalPaths::systemLibraryDirectory() { return pathForDirectory(ZDDirectoryKind::SystemLibrary, false); }
QString ZDLocalPaths::localDocumentationDirectory() { return pathForDirectory(ZDDirectoryKind::Documentation, false); }

QString ZDLocalPaths::trashDirectory()
{
    return cleanJoin(libraryDirectory(true), QStringLiteral("Trash"));
}

QString ZDLocalPaths::tempDirectory()
{
    return QDir::cleanPath(QDir::tempPath());
}

QString ZDLocalPaths::darwinCacheDirectory()
{
    const QString r = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (r.isEmpty() || !QDir::isAbsolutePath(r))
        return {};
    return QDir::cleanPath(r);
}

QString ZDLocalPaths::userDirectory()
{
    return rebaseForRoot(ownHome());
}

QString ZDLocalPaths::username()
{
    if (isRoot()) {
        const QString console = currentConsoleUser();
        if (!console.isEmpty())
            return console;
    }
    return nameOfUid(::getuid());
}

QString ZDLocalPaths::currentConsoleUser()
{
    // logind speaks for the real machine only; a sandboxed root has none.
    if (systemRoot() == QLatin1String("/")) {
        const QString u = consoleUserFromLogind();
        if (!u.isEmpty())
            return u;
    }
    return consoleUserFromUtmp();
}

QString ZDLocalPaths::uuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString ZDLocalPaths::randomString(int length)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    if (length <= 0)
        return {};
    // Names others must not guess (temporary files, folders): the system's generator.
    QRandomGenerator *generator = QRandomGenerator::system();
    QString out;
    out.reserve(length);
    for (int i = 0; i < length; ++i)
        out += QLatin1Char(alphabet[generator->bounded(36)]);
    return out;
}

QString ZDLocalPaths::tempFile()
{
    return cleanJoin(tempDirectory(), uuid() + randomString(8));
}

bool ZDLocalPaths::isPathSystemDirectory(const QString &path, bool exactMatch)
{
    if (path == QLatin1String("/"))
        return true;
    if (path.size() < 3)
        return false;
    QString p = path;
    if (p.endsWith(QLatin1Char('/')))
        p.chop(1);

    const QStringList protectedPaths = {
        applicationDirectory(true),      applicationDirectory(false),
        adminApplicationDirectory(true), adminApplicationDirectory(false),
        documentDirectory(true),         documentDirectory(false),
        libraryDirectory(true),          libraryDirectory(false),
        prefsDirectory(true),            prefsDirectory(false),
        cacheDirectory(true),            cacheDirectory(false),
        appSupportDirectory(true),       appSupportDirectory(false),
        desktopDirectory(),              userDirectory(),
        systemLibraryDirectory(),        localDocumentationDirectory(),
        systemPath(QStringLiteral("/home")), // the shared parent of users' homes
        systemPath(QStringLiteral("/media")), systemPath(QStringLiteral("/mnt")), // mounted volumes
        systemPath(QStringLiteral("/run/media")),
    };
    for (const QString &candidate : protectedPaths) {
        if (!candidate.isEmpty() && p == candidate)
            return true;
    }
    if (exactMatch)
        return false;
    static const char *const prefixes[] = {"/usr", "/var", "/etc", "/boot", "/proc", "/sys", "/dev"};
    for (const char *prefix : prefixes) {
        if (p.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
}

bool ZDLocalPaths::isPathOnTimeMachineVolume(const QString &path)
{
    static const char *const mountRoots[] = {"/Volumes/", "/media/", "/run/media/", "/mnt/"};
    bool onVolume = false;
    for (const char *r : mountRoots)
        onVolume = onVolume || path.startsWith(QLatin1String(r));
    if (!onVolume)
        return false;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return parts.contains(QStringLiteral("Backups.backupdb"));
}
