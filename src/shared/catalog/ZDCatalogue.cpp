#include "catalog/ZDCatalogue.h"

#include "log/ZDLog.h"
#include "platform/ZDLocalPaths.h"
#include "platform/ZDBoundedRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

#include <sys/stat.h>

namespace T = ZDApplicationTables;
namespace PK = ZDPreferenceKinds;

namespace ZDCatalogue {
namespace {

const QString kBuiltIn = QStringLiteral(":/kestra/catalogue.d");

// Where a kind of path may point: the home always, absolute paths only below these.
enum class Use { Preference, Cleaning, Plugin, PathDefault, Program };

QStringList allowedRoots(Use use)
{
    switch (use) {
    case Use::Preference:
        return {QStringLiteral("/srv/Shared/")};
    case Use::Cleaning:
        return {QStringLiteral("/var/cache/")};
    case Use::Plugin:
    case Use::Program:
        return {QStringLiteral("/usr/"), QStringLiteral("/opt/")};
    case Use::PathDefault:
        return {QStringLiteral("/Library/"), QStringLiteral("/var/spool/"), QStringLiteral("/usr/"), QStringLiteral("/opt/"),
                QStringLiteral("/srv/")};
    }
    return {};
}

// The home's folders a path may name, longest first; what follows must name something of its own.
const QStringList &homeBases()
{
    static const QStringList bases{QStringLiteral("~/.local/share/"), QStringLiteral("~/.var/app/"),
                                   QStringLiteral("~/.config/"),      QStringLiteral("~/.cache/"),
                                   QStringLiteral("~/.local/"),       QStringLiteral("~/Documents/"),
                                   QStringLiteral("~/Videos/"),       QStringLiteral("~/")};
    return bases;
}

bool hasControl(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.unicode() < 0x20 || c.unicode() == 0x7f || (c.unicode() >= 0x80 && c.unicode() < 0xa0);
    });
}

QString problemFor(const QString &pattern, Use use)
{
    if (pattern.isEmpty() || pattern.size() > kMaxTextLength || hasControl(pattern))
        return QStringLiteral("path \"%1\" is empty, too long or holds control characters").arg(pattern.left(64));
    QString rest;
    if (pattern.startsWith(QLatin1String("~/"))) {
        for (const QString &base : homeBases()) {
            if (pattern.startsWith(base)) {
                rest = pattern.mid(base.size());
                break;
            }
        }
    } else if (pattern.startsWith(QLatin1Char('/'))) {
        for (const QString &root : allowedRoots(use)) {
            if (pattern.startsWith(root))
                rest = pattern.mid(root.size());
        }
        if (rest.isEmpty())
            return QStringLiteral("path \"%1\" is outside the folders allowed here (%2)")
                .arg(pattern.left(64), allowedRoots(use).join(QStringLiteral(", ")));
    } else {
        return QStringLiteral("path \"%1\" is neither in the home (\"~/\") nor absolute").arg(pattern.left(64));
    }
    const QStringList parts = rest.split(QLatin1Char('/'));
    if (rest.isEmpty() || QString(parts.first()).remove(QLatin1Char('*')).isEmpty())
        return QStringLiteral("path \"%1\" names a whole folder, not something of its own").arg(pattern.left(64));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return QStringLiteral("path \"%1\" escapes its folder (empty, \".\" or \"..\" component)").arg(pattern.left(64));
    }
    return {};
}

struct Refused
{
    QString why;
};

// One JSON object of an entry: known keys only, each of its type.
class Obj
{
public:
    Obj(const QJsonValue &value, const QString &what, const QStringList &allowed)
    {
        if (!value.isObject())
            throw Refused{QStringLiteral("%1 is not an object").arg(what)};
        m_object = value.toObject();
        for (auto it = m_object.constBegin(); it != m_object.constEnd(); ++it) {
            if (!allowed.contains(it.key()))
                throw Refused{QStringLiteral("unknown key \"%1\" in %2").arg(it.key().left(64), what)};
        }
    }

    bool has(const char *key) const { return m_object.contains(QLatin1String(key)); }
    QJsonValue value(const char *key) const { return m_object.value(QLatin1String(key)); }

    QString text(const char *key, bool required = false) const
    {
        const QJsonValue v = value(key);
        if (v.isUndefined() && !required)
            return {};
        if (v.isUndefined())
            throw Refused{QStringLiteral("missing \"%1\"").arg(QLatin1String(key))};
        if (!v.isString())
            throw Refused{QStringLiteral("\"%1\" is not text").arg(QLatin1String(key))};
        const QString s = v.toString();
        if ((required && s.trimmed().isEmpty()) || s.size() > kMaxTextLength || hasControl(s))
            throw Refused{QStringLiteral("\"%1\" is empty, too long or holds control characters").arg(QLatin1String(key))};
        return s;
    }

    bool flag(const char *key, bool fallback) const
    {
        const QJsonValue v = value(key);
        if (v.isUndefined())
            return fallback;
        if (!v.isBool())
            throw Refused{QStringLiteral("\"%1\" is not true or false").arg(QLatin1String(key))};
        return v.toBool();
    }

    QJsonArray list(const char *key) const
    {
        const QJsonValue v = value(key);
        if (v.isUndefined())
            return {};
        if (!v.isArray() || v.toArray().size() > kMaxListItems)
            throw Refused{QStringLiteral("\"%1\" is not a list of at most %2 items").arg(QLatin1String(key)).arg(kMaxListItems)};
        return v.toArray();
    }

    QStringList texts(const char *key) const
    {
        QStringList out;
        for (const QJsonValue &v : list(key)) {
            if (!v.isString() || v.toString().isEmpty() || v.toString().size() > kMaxTextLength || hasControl(v.toString()))
                throw Refused{QStringLiteral("\"%1\" is not a list of texts").arg(QLatin1String(key))};
            out << v.toString();
        }
        return out;
    }

    QStringList paths(const char *key, Use use) const
    {
        QStringList out = texts(key);
        for (const QString &p : out) {
            if (const QString why = problemFor(p, use); !why.isEmpty())
                throw Refused{QStringLiteral("\"%1\": %2").arg(QLatin1String(key), why)};
        }
        return out;
    }

    QString path(const char *key, Use use, bool required = false) const
    {
        const QString p = text(key, required);
        if (p.isEmpty())
            return p;
        if (const QString why = problemFor(p, use); !why.isEmpty())
            throw Refused{QStringLiteral("\"%1\": %2").arg(QLatin1String(key), why)};
        return p;
    }

    QList<int> ints(const char *key, QList<int> fallback, int max) const
    {
        if (!has(key))
            return fallback;
        QList<int> out;
        for (const QJsonValue &v : list(key)) {
            const double d = v.toDouble(-1);
            if (!v.isDouble() || d != int(d) || d < 0 || d > max)
                throw Refused{QStringLiteral("\"%1\" is not a list of numbers from 0 to %2").arg(QLatin1String(key)).arg(max)};
            out << int(d);
        }
        return out;
    }

private:
    QJsonObject m_object;
};

PK::File preferenceFile(const QString &pattern)
{
    const struct
    {
        const char *prefix;
        PK::Base base;
    } map[] = {{"~/.config/", PK::Base::Preferences}, {"~/.local/share/", PK::Base::Support},
               {"~/Documents/", PK::Base::Documents},  {"/srv/Shared/", PK::Base::Shared},
               {"~/", PK::Base::Home}};
    for (const auto &m : map) {
        if (pattern.startsWith(QLatin1String(m.prefix)))
            return {m.base, pattern.mid(qstrlen(m.prefix))};
    }
    return {PK::Base::Home, pattern};
}

PK::Application parsePreferences(const Obj &o, const QString &fallbackId, const QString &fallbackName,
                                 const QString &fallbackIcon)
{
    PK::Application app;
    app.key = fallbackId.isEmpty() ? o.text("id", true) : (o.has("id") ? o.text("id", true) : fallbackId);
    app.name = o.has("name") || fallbackName.isEmpty() ? o.text("name", true) : fallbackName;
    app.icon = o.has("icon") ? o.text("icon") : fallbackIcon;
    const QJsonArray kinds = o.list("kinds");
    if (kinds.isEmpty())
        throw Refused{QStringLiteral("no \"kinds\"")};
    for (const QJsonValue &v : kinds) {
        const Obj k(v, QStringLiteral("a kind"), {QStringLiteral("key"), QStringLiteral("name"), QStringLiteral("checked"),
                                                   QStringLiteral("files")});
        PK::Kind kind{k.text("name", true), k.text("key", true), k.flag("checked", true), {}};
        for (const QString &p : k.paths("files", Use::Preference))
            kind.files << preferenceFile(p);
        app.kinds << kind;
    }
    return app;
}

PK::PathApplication parsePaths(const Obj &o)
{
    PK::PathApplication app;
    app.title = o.text("id", true);
    app.icon = o.text("icon");
    app.preferenceFile = o.text("preferenceFile", true);
    if (app.preferenceFile.contains(QLatin1Char('/')) || app.preferenceFile.startsWith(QLatin1Char('.')))
        throw Refused{QStringLiteral("\"preferenceFile\" is not a plain file name")};
    const QString format = o.has("format") ? o.text("format", true) : QStringLiteral("plist");
    if (format != QLatin1String("plist") && format != QLatin1String("ini"))
        throw Refused{QStringLiteral("\"format\" is neither \"plist\" nor \"ini\"")};
    app.ini = format == QLatin1String("ini");
    for (const QJsonValue &v : o.list("rows")) {
        const Obj r(v, QStringLiteral("a row"),
                    {QStringLiteral("key"), QStringLiteral("title"), QStringLiteral("default"), QStringLiteral("files"),
                     QStringLiteral("suffix"), QStringLiteral("colorCoded"), QStringLiteral("noMove"),
                     QStringLiteral("readOnly"), QStringLiteral("resetsToNil"), QStringLiteral("group"), QStringLiteral("entry")});
        PK::PathRow row;
        if (app.ini) {
            // Text that could start another group or entry would let a write touch other lines.
            row.iniGroup = r.text("group", true);
            row.iniEntry = r.text("entry", true);
            if (row.iniGroup.contains(QLatin1Char(']')) || row.iniGroup.contains(QLatin1Char('[')))
                throw Refused{QStringLiteral("\"group\" holds a bracket")};
            for (const QChar c : std::as_const(row.iniEntry)) {
                if (c == QLatin1Char('=') || c == QLatin1Char('[') || c == QLatin1Char(']') || c.isSpace())
                    throw Refused{QStringLiteral("\"entry\" holds \"=\", a bracket or a space")};
            }
        } else if (r.has("group") || r.has("entry")) {
            throw Refused{QStringLiteral("\"group\" and \"entry\" are for \"ini\" files")};
        }
        row.key = r.text("key", true);
        row.title = r.text("title", true);
        row.defaultPath = r.path("default", Use::PathDefault);
        row.fileList = r.texts("files");
        row.relativeSuffix = r.text("suffix");
        const QStringList relatives = QStringList(row.fileList) << row.relativeSuffix;
        for (const QString &relative : relatives) {
            if (!relative.isEmpty() && (relative.startsWith(QLatin1Char('/')) ||
                                        relative.split(QLatin1Char('/')).contains(QStringLiteral(".."))))
                throw Refused{QStringLiteral("\"%1\" leaves its folder").arg(relative.left(64))};
        }
        row.colorCoded = r.flag("colorCoded", false);
        row.noMove = r.flag("noMove", false);
        row.readOnly = r.flag("readOnly", false);
        row.resetsToNil = r.flag("resetsToNil", false);
        app.rows << row;
    }
    return app;
}

T::CleaningTask parseCleaning(const Obj &o, const QString &fallbackIcon)
{
    T::CleaningTask task;
    task.uniqueID = o.text("id", true);
    task.title = o.text("title", true);
    task.icon = o.has("icon") ? o.text("icon") : fallbackIcon;
    task.selected = o.flag("selected", true);
    task.presetGroups = o.ints("presets", {0, 1}, 1);
    task.paths = o.paths("paths", Use::Cleaning);
    return task;
}

T::PluginFolder parsePluginFolder(const Obj &o)
{
    T::PluginFolder f;
    f.id = o.text("id", true);
    f.type = o.text("type", true);
    f.computer = o.path("computer", Use::Plugin);
    f.user = o.path("user", Use::Plugin);
    if (f.computer.isEmpty() && f.user.isEmpty())
        throw Refused{QStringLiteral("neither \"computer\" nor \"user\" folder")};
    f.extensions = o.texts("extensions");
    for (const QString &e : f.extensions) {
        if (e.contains(QLatin1Char('/')) || e.contains(QLatin1Char('.')) || e.size() > 16)
            throw Refused{QStringLiteral("extension \"%1\" is not a plain suffix").arg(e.left(64))};
    }
    f.folderPlugins = o.flag("folderPlugins", false);
    return f;
}

// An application entry and what it brings along for the other sections.
struct AppEntry
{
    T::App app;
    QList<PK::Application> preferences;
    QList<T::CleaningTask> cleaning;
    QList<T::PluginFolder> plugins;
};

const QStringList kAppKeys{QStringLiteral("id"),           QStringLiteral("name"),
                           QStringLiteral("icon"),         QStringLiteral("listed"),
                           QStringLiteral("desktopIds"),   QStringLiteral("executables"),
                           QStringLiteral("debianPackages"), QStringLiteral("flatpakIds"),
                           QStringLiteral("applicationFolders"), QStringLiteral("version"),
                           QStringLiteral("crashNames"),   QStringLiteral("crashPrefixes"),
                           QStringLiteral("preferences"),  QStringLiteral("cleaning"),
                           QStringLiteral("pluginFolders")};

void checkNames(const QStringList &names, const char *key)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._+ -]*$"));
    for (const QString &n : names) {
        if (!plain.match(n).hasMatch())
            throw Refused{QStringLiteral("\"%1\" holds \"%2\", not a plain name").arg(QLatin1String(key), n.left(64))};
    }
}

AppEntry parseApplication(const Obj &o)
{
    AppEntry e;
    T::App &a = e.app;
    a.bundleID = o.text("id", true);
    a.name = o.text("name", true);
    a.icon = o.has("icon") ? o.text("icon") : a.bundleID;
    a.listed = o.flag("listed", true);
    a.desktopIds = o.texts("desktopIds");
    checkNames(a.desktopIds, "desktopIds");
    a.debianPackages = o.texts("debianPackages");
    checkNames(a.debianPackages, "debianPackages");
    a.flatpakIds = o.texts("flatpakIds");
    checkNames(a.flatpakIds, "flatpakIds");
    a.crashNames = o.texts("crashNames");
    checkNames(a.crashNames, "crashNames");
    a.crashPrefixes = o.texts("crashPrefixes");
    checkNames(a.crashPrefixes, "crashPrefixes");
    a.applicationFolders = o.paths("applicationFolders", Use::Program);
    for (const QString &exe : o.texts("executables")) {
        if (exe.startsWith(QLatin1Char('/'))) {
            if (const QString why = problemFor(exe, Use::Program); !why.isEmpty())
                throw Refused{QStringLiteral("\"executables\": %1").arg(why)};
        } else {
            checkNames({exe}, "executables");
        }
        a.executables << exe;
    }
    if (o.has("version")) {
        const Obj v(o.value("version"), QStringLiteral("\"version\""), {QStringLiteral("arguments"), QStringLiteral("pattern")});
        a.versionArguments = v.texts("arguments");
        a.versionPattern = v.text("pattern", true);
        const QRegularExpression re(a.versionPattern);
        if (!re.isValid() || re.captureCount() < 1)
            throw Refused{QStringLiteral("\"version\" pattern is not a valid expression with a capture")};
    }
    if (o.has("preferences")) {
        const Obj p(o.value("preferences"), QStringLiteral("\"preferences\""),
                    {QStringLiteral("id"), QStringLiteral("name"), QStringLiteral("icon"), QStringLiteral("kinds")});
        e.preferences << parsePreferences(p, a.bundleID, a.name, a.icon);
    }
    for (const QJsonValue &v : o.list("cleaning")) {
        e.cleaning << parseCleaning(Obj(v, QStringLiteral("a cleaning task"),
                                        {QStringLiteral("id"), QStringLiteral("title"), QStringLiteral("icon"),
                                         QStringLiteral("selected"), QStringLiteral("presets"), QStringLiteral("paths")}),
                                    a.icon);
    }
    for (const QJsonValue &v : o.list("pluginFolders")) {
        e.plugins << parsePluginFolder(Obj(v, QStringLiteral("a plug-in folder"),
                                           {QStringLiteral("id"), QStringLiteral("type"), QStringLiteral("computer"),
                                            QStringLiteral("user"), QStringLiteral("extensions"),
                                            QStringLiteral("folderPlugins")}));
    }
    return e;
}

// Entries by id in first-seen order; a later one with the same id takes the place.
template<typename V>
struct Section
{
    QList<QString> ids;
    QHash<QString, V> values;
    QHash<QString, QString> files; // where each entry came from
    void put(QString id, V value, const QString &file)
    {
        if (!values.contains(id))
            ids << id;
        values.insert(id, std::move(value));
        files.insert(id, file);
    }
};

struct Loader
{
    Section<AppEntry> apps;
    Section<PK::Application> preferences;
    Section<PK::PathApplication> paths;
    Section<T::CleaningTask> cleaning;
    Section<T::RemovalGroup> groups;
    Section<T::PluginFolder> plugins;
    QStringList problems;
    int entries = 0;

    void refuse(const QString &file, const QString &section, const QString &entry, const QString &why)
    {
        problems << QStringLiteral("%1: %2 entry %3 refused: %4").arg(file, section, entry, why);
    }

    void readFile(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            problems << QStringLiteral("%1: cannot be read").arg(path);
            return;
        }
        // A root process acts on what the catalogue says (runs programs, empties folders):
        // only files root alone may change.
        struct stat st {};
        if (ZDLocalPaths::isRoot() && !path.startsWith(QLatin1Char(':'))
            && (::fstat(file.handle(), &st) != 0 || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
            problems << QStringLiteral("%1: not root's or writable by others, not read").arg(path);
            return;
        }
        if (file.size() > kMaxFileBytes) {
            problems << QStringLiteral("%1: larger than %2 bytes, not read").arg(path).arg(kMaxFileBytes);
            return;
        }
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(ZDBoundedRead::upTo(file, kMaxFileBytes + 1), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            problems << QStringLiteral("%1: not a JSON object (%2 at byte %3)")
                            .arg(path, error.error != QJsonParseError::NoError ? error.errorString() : QStringLiteral("no object"))
                            .arg(error.offset);
            return;
        }
        const QJsonObject top = doc.object();
        for (auto it = top.constBegin(); it != top.constEnd(); ++it) {
            const QString section = it.key();
            static const QStringList known{QStringLiteral("applications"), QStringLiteral("preferences"),
                                           QStringLiteral("paths"),        QStringLiteral("cleaning"),
                                           QStringLiteral("removalGroups"), QStringLiteral("pluginFolders")};
            if (!known.contains(section)) {
                problems << QStringLiteral("%1: unknown section \"%2\" refused").arg(path, section.left(64));
                continue;
            }
            if (!it.value().isArray()) {
                problems << QStringLiteral("%1: section \"%2\" is not a list, refused").arg(path, section);
                continue;
            }
            const QJsonArray list = it.value().toArray();
            if (list.size() > kMaxEntriesPerFile)
                problems << QStringLiteral("%1: section \"%2\" has more than %3 entries; the rest is left out")
                                .arg(path, section).arg(kMaxEntriesPerFile);
            for (qsizetype i = 0; i < std::min<qsizetype>(list.size(), kMaxEntriesPerFile); ++i) {
                if (++entries > kMaxEntries) {
                    problems << QStringLiteral("%1: more than %2 entries in all; the rest is left out").arg(path).arg(kMaxEntries);
                    return;
                }
                readEntry(path, section, list.at(i), int(i) + 1);
            }
        }
    }

    void readEntry(const QString &path, const QString &section, const QJsonValue &value, int number)
    {
        QString name = QStringLiteral("#%1").arg(number);
        const QJsonValue given = value.toObject().value(QStringLiteral("id"));
        if (given.isString() && !given.toString().isEmpty())
            name = QStringLiteral("\"%1\"").arg(given.toString().left(64));
        try {
            const QString what = QStringLiteral("the entry");
            if (section == QLatin1String("applications")) {
                const Obj o(value, what, kAppKeys);
                AppEntry e = parseApplication(o);
                const QString id = e.app.bundleID;
                apps.put(id, std::move(e), path);
            } else if (section == QLatin1String("preferences")) {
                const Obj o(value, what, {QStringLiteral("id"), QStringLiteral("name"), QStringLiteral("icon"), QStringLiteral("kinds")});
                PK::Application a = parsePreferences(o, {}, {}, {});
                const QString id = a.key;
                preferences.put(id, std::move(a), path);
            } else if (section == QLatin1String("paths")) {
                const Obj o(value, what, {QStringLiteral("id"), QStringLiteral("icon"), QStringLiteral("preferenceFile"),
                                          QStringLiteral("format"), QStringLiteral("rows")});
                PK::PathApplication a = parsePaths(o);
                const QString id = a.title;
                paths.put(id, std::move(a), path);
            } else if (section == QLatin1String("cleaning")) {
                const Obj o(value, what, {QStringLiteral("id"), QStringLiteral("title"), QStringLiteral("icon"),
                                          QStringLiteral("selected"), QStringLiteral("presets"), QStringLiteral("paths")});
                T::CleaningTask t = parseCleaning(o, {});
                const QString id = t.uniqueID;
                cleaning.put(id, std::move(t), path);
            } else if (section == QLatin1String("removalGroups")) {
                const Obj o(value, what, {QStringLiteral("id"), QStringLiteral("icon")});
                const QString title = o.text("id", true);
                groups.put(title, T::RemovalGroup{title, o.text("icon"), 0}, path);
            } else {
                const Obj o(value, what, {QStringLiteral("id"), QStringLiteral("type"), QStringLiteral("computer"),
                                          QStringLiteral("user"), QStringLiteral("extensions"), QStringLiteral("folderPlugins")});
                T::PluginFolder f = parsePluginFolder(o);
                const QString id = f.id;
                plugins.put(id, std::move(f), path);
            }
        } catch (const Refused &r) {
            refuse(path, section, name, r.why);
        }
    }

    // One list from the sections: what applications bring comes after the section's own
    // entries, and an id or key met before refuses the later one.
    Catalogue finish()
    {
        Catalogue c;
        QSet<QString> prefIds(preferences.ids.cbegin(), preferences.ids.cend());
        QSet<QString> cleaningIds(cleaning.ids.cbegin(), cleaning.ids.cend());
        QSet<QString> pluginIds(plugins.ids.cbegin(), plugins.ids.cend());
        QList<PK::Application> prefs;
        QHash<QString, QString> prefFiles; // of what applications bring
        for (const QString &id : preferences.ids)
            prefs << preferences.values.value(id);
        QList<T::CleaningTask> tasks;
        for (const QString &id : cleaning.ids)
            tasks << cleaning.values.value(id);
        for (const QString &id : plugins.ids)
            c.pluginFolders << plugins.values.value(id);
        // An application whose rows take an id already used is refused whole.
        for (const QString &id : apps.ids) {
            const AppEntry &e = apps.values[id];
            QString why;
            const auto check = [&why](QSet<QString> &used, const QString &key, const char *what) {
                if (why.isEmpty() && used.contains(key))
                    why = QStringLiteral("its %1 \"%2\" is used already").arg(QLatin1String(what), key);
                used.insert(key);
            };
            QSet<QString> newPrefs = prefIds, newCleaning = cleaningIds, newPlugins = pluginIds;
            for (const PK::Application &p : e.preferences)
                check(newPrefs, p.key, "preferences");
            for (const T::CleaningTask &t : e.cleaning)
                check(newCleaning, t.uniqueID, "cleaning task");
            for (const T::PluginFolder &f : e.plugins)
                check(newPlugins, f.id, "plug-in folder");
            if (!why.isEmpty()) {
                refuse(apps.files.value(id), QStringLiteral("applications"), QStringLiteral("\"%1\"").arg(id), why);
                continue;
            }
            prefIds = newPrefs;
            cleaningIds = newCleaning;
            pluginIds = newPlugins;
            c.applications << e.app;
            for (const PK::Application &p : e.preferences)
                prefFiles.insert(p.key, apps.files.value(id));
            prefs << e.preferences;
            tasks << e.cleaning;
            c.pluginFolders << e.plugins;
        }
        QSet<QString> kindKeys;
        for (const PK::Application &p : prefs) {
            QString used;
            QSet<QString> own;
            for (const PK::Kind &k : p.kinds) {
                if (kindKeys.contains(k.key) || own.contains(k.key))
                    used = k.key;
                own.insert(k.key);
            }
            if (!used.isEmpty()) {
                const QString file = preferences.files.value(p.key, prefFiles.value(p.key));
                refuse(file, QStringLiteral("preferences"), QStringLiteral("\"%1\"").arg(p.key),
                       QStringLiteral("kind key \"%1\" is used already").arg(used));
                continue;
            }
            kindKeys.unite(own);
            c.preferences << p;
        }
        c.cleaning = tasks;
        QSet<QString> rowKeys;
        for (const QString &id : paths.ids) {
            const PK::PathApplication &a = paths.values[id];
            QString used;
            QSet<QString> own;
            for (const PK::PathRow &r : a.rows) {
                if (rowKeys.contains(r.key) || own.contains(r.key))
                    used = r.key;
                own.insert(r.key);
            }
            if (!used.isEmpty()) {
                refuse(paths.files.value(id), QStringLiteral("paths"), QStringLiteral("\"%1\"").arg(id),
                       QStringLiteral("row key \"%1\" is used already").arg(used));
                continue;
            }
            rowKeys.unite(own);
            c.paths << a;
        }
        for (const QString &id : groups.ids) {
            T::RemovalGroup g = groups.values.value(id);
            g.index = int(c.removalGroups.size());
            c.removalGroups << g;
        }
        c.problems = problems;
        return c;
    }
};

QStringList jsonFiles(const QString &folder)
{
    QStringList out;
    const QFileInfoList entries =
        QDir(folder).entryInfoList({QStringLiteral("*.json")}, QDir::Files | QDir::Readable, QDir::Name);
    for (const QFileInfo &entry : entries.mid(0, kMaxFilesPerFolder))
        out << entry.filePath();
    return out;
}

} // namespace

QString pathProblem(const QString &pattern)
{
    // The widest use: anything a catalogue path may be somewhere.
    for (const Use use : {Use::Preference, Use::Cleaning, Use::Plugin, Use::PathDefault}) {
        if (problemFor(pattern, use).isEmpty())
            return {};
    }
    return problemFor(pattern, Use::Cleaning);
}

Catalogue load(const QStringList &folders, bool builtIn)
{
    Loader loader;
    QStringList files;
    QSet<QString> installed;
    for (qsizetype i = 0; i < folders.size(); ++i) {
        const QStringList found = jsonFiles(folders.at(i));
        if (found.size() >= kMaxFilesPerFolder)
            loader.problems << QStringLiteral("%1: only the first %2 files are read").arg(folders.at(i)).arg(kMaxFilesPerFolder);
        files << found;
        if (i == 0) {
            for (const QString &f : found)
                installed.insert(QFileInfo(f).fileName());
        }
    }
    QStringList order;
    if (builtIn) {
        // A built-in file the first folder (the packages') holds too is read from there.
        for (const QString &f : jsonFiles(kBuiltIn)) {
            if (!installed.contains(QFileInfo(f).fileName()))
                order << f;
        }
    }
    order << files;
    for (const QString &f : order)
        loader.readFile(f);
    Catalogue c = loader.finish();
    c.files = order;
    return c;
}

QStringList systemFolders()
{
    return {ZDLocalPaths::systemPath(QStringLiteral("/usr/share/kestra/catalogue.d")),
            ZDLocalPaths::systemPath(QStringLiteral("/etc/xdg/kestra/catalogue.d"))};
}

const Catalogue &current()
{
    static const Catalogue catalogue = [] {
        Catalogue c = load(systemFolders());
        for (const QString &problem : c.problems)
            ZDLog::appendLog(QStringLiteral("Catalogue: %@"), problem);
        return c;
    }();
    return catalogue;
}

QString expand(const QString &pattern)
{
    if (!pattern.startsWith(QLatin1String("~/")))
        return ZDLocalPaths::systemPath(pattern);
    const struct
    {
        const char *prefix;
        QString folder;
    } map[] = {
        {"~/.config/", ZDLocalPaths::prefsDirectory(true)},
        {"~/.local/share/", ZDLocalPaths::appSupportDirectory(true)},
        {"~/.cache/", ZDLocalPaths::cacheDirectory(true)},
        {"~/Documents/", ZDLocalPaths::documentDirectory(true)},
        {"~/Videos/", ZDLocalPaths::movieDirectory()},
        {"~/", ZDLocalPaths::userDirectory()},
    };
    for (const auto &m : map) {
        if (pattern.startsWith(QLatin1String(m.prefix)) && !m.folder.isEmpty())
            return m.folder + QLatin1Char('/') + pattern.mid(qstrlen(m.prefix));
    }
    return {};
}

QStringList glob(const QString &pattern, int max)
{
    QStringList found{QStringLiteral("/")};
    for (const QString &part : pattern.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        QStringList next;
        for (const QString &base : std::as_const(found)) {
            const QString prefix = base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/');
            if (!part.contains(QLatin1Char('*'))) {
                next << prefix + part;
                continue;
            }
            const QStringList names = QDir(base).entryList(
                {part}, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::CaseSensitive, QDir::Name);
            for (const QString &name : names.mid(0, max))
                next << prefix + name;
        }
        found = next.mid(0, max);
    }
    QStringList existing;
    for (const QString &path : std::as_const(found)) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            existing << path;
    }
    return existing;
}

} // namespace ZDCatalogue
