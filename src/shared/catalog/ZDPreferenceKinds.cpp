#include "catalog/ZDPreferenceKinds.h"

#include "catalog/ZDCatalogue.h"

#include "platform/ZDLocalPaths.h"

#include <QDir>

#include <algorithm>

namespace ZDPreferenceKinds {
namespace {

bool hasControl(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.unicode() < 0x20 || c.unicode() == 0x7f || (c.unicode() >= 0x80 && c.unicode() < 0xa0);
    });
}

// One path component against one of the tool's patterns ("*": any run of characters).
bool componentMatches(const QString &pattern, const QString &name)
{
    const QStringList parts = pattern.split(QLatin1Char('*'));
    if (parts.size() == 1)
        return pattern == name;
    if (!name.startsWith(parts.first()))
        return false;
    qsizetype at = parts.first().size();
    for (qsizetype i = 1; i + 1 < parts.size(); ++i) {
        at = name.indexOf(parts.at(i), at);
        if (at < 0)
            return false;
        at += parts.at(i).size();
    }
    return name.size() - at >= parts.last().size() && name.endsWith(parts.last());
}

} // namespace

const QList<Application> &applications()
{
    static const QList<Application> apps = [] {
        QList<Application> sorted = ZDCatalogue::current().preferences;
        std::stable_sort(sorted.begin(), sorted.end(), [](const Application &a, const Application &b) {
            return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
        });
        return sorted;
    }();
    return apps;
}

const Kind *kindForKey(const QString &key)
{
    for (const Application &a : applications()) {
        for (const Kind &k : a.kinds) {
            if (k.key == key)
                return &k;
        }
    }
    return nullptr;
}

QStringList allKeys()
{
    QStringList keys;
    for (const Application &a : applications()) {
        for (const Kind &k : a.kinds)
            keys << k.key;
    }
    return keys;
}

QString baseFolder(Base base)
{
    switch (base) {
    case Base::Preferences:
        return ZDLocalPaths::prefsDirectory(true);
    case Base::Support:
        return ZDLocalPaths::appSupportDirectory(true);
    case Base::Documents:
        return ZDLocalPaths::documentDirectory(true);
    case Base::Shared:
        return ZDLocalPaths::systemPath(QStringLiteral("/srv/Shared"));
    case Base::Home:
        return ZDLocalPaths::userDirectory();
    }
    return {};
}

QStringList filePatterns(const Kind &kind)
{
    QStringList paths;
    for (const File &f : kind.files)
        paths << baseFolder(f.base) + QLatin1Char('/') + f.relative;
    return paths;
}

bool isCovered(const QString &path)
{
    const QStringList components = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!path.startsWith(QLatin1Char('/')) ||
        components.contains(QLatin1String(".")) || components.contains(QLatin1String("..")))
        return false;
    for (const Application &app : applications()) {
        for (const Kind &kind : app.kinds) {
            for (const QString &pattern : filePatterns(kind)) {
                const QStringList wanted = pattern.split(QLatin1Char('/'), Qt::SkipEmptyParts);
                if (wanted.size() > components.size())
                    continue;
                bool all = true;
                for (qsizetype i = 0; all && i < wanted.size(); ++i)
                    all = componentMatches(wanted.at(i), components.at(i));
                if (all)
                    return true;
            }
        }
    }
    return false;
}

QString backupNameProblem(const QString &name)
{
    if (name.trimmed().isEmpty() || name == QLatin1String("."))
        return QStringLiteral("You must enter a valid name for this backup.");
    if (name.size() > kMaxNameLength)
        return QStringLiteral("The backup name is longer than %1 characters.").arg(kMaxNameLength);
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1String("..")))
        return QStringLiteral("The backup name cannot contain \"/\" or \"..\".");
    if (name.contains(QChar(0)) || hasControl(name))
        return QStringLiteral("The backup name cannot contain control characters.");
    if (name.startsWith(QLatin1Char('-')) || name.startsWith(QLatin1Char('.')))
        return QStringLiteral("The backup name cannot start with \"-\" or \".\".");
    return {};
}

QString backupFolder()
{
    return ZDLocalPaths::appSupportDirectory(true) + QStringLiteral("/Stowel/Backups");
}

QString keyListProblem(const QString &keyList)
{
    if (keyList.isEmpty())
        return QStringLiteral("No items selected.");
    for (const QString &key : keyList.split(QLatin1Char(','))) {
        if (!kindForKey(key))
            return QStringLiteral("Unknown preference key \"%1\".").arg(key.left(64));
    }
    return {};
}

const QList<PathApplication> &pathApplications()
{
    return ZDCatalogue::current().paths;
}

const PathRow *pathRowForKey(const QString &key, QString *applicationTitle)
{
    for (const PathApplication &a : pathApplications()) {
        for (const PathRow &r : a.rows) {
            if (r.key == key) {
                if (applicationTitle)
                    *applicationTitle = a.title;
                return &r;
            }
        }
    }
    return nullptr;
}

const PathRow *pathRow(const QString &applicationTitle, const QString &pathTitle)
{
    for (const PathApplication &a : pathApplications()) {
        if (a.title != applicationTitle)
            continue;
        for (const PathRow &r : a.rows) {
            if (r.title == pathTitle)
                return &r;
        }
    }
    return nullptr;
}

QString mappedDefault(const PathRow &row)
{
    const QString &path = row.defaultPath;
    if (path.isEmpty())
        return {};
    // The table's folders, user ones first; the rest lands below the system root.
    const struct
    {
        const char *prefix;
        QString folder;
    } map[] = {
        {"~/Documents", ZDLocalPaths::documentDirectory(true)},
        {"~/Library/Caches", ZDLocalPaths::cacheDirectory(true)},
        {"~/Library/Application Support", ZDLocalPaths::appSupportDirectory(true)},
        {"/Library/Application Support", ZDLocalPaths::appSupportDirectory(false)},
        {"/Library/Caches", ZDLocalPaths::cacheDirectory(false)},
    };
    for (const auto &m : map) {
        const QLatin1String prefix(m.prefix);
        if (path == prefix || path.startsWith(prefix + QLatin1Char('/')))
            return m.folder + path.mid(prefix.size());
    }
    return ZDLocalPaths::systemPath(path);
}

QString pathProblem(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return QStringLiteral("The path \"%1\" is not absolute.").arg(path.left(64));
    if (path.toUtf8().size() > 4096)
        return QStringLiteral("A path is longer than 4096 bytes.");
    if (path.contains(QChar(0)) || hasControl(path))
        return QStringLiteral("A path contains control characters.");
    return {};
}

QString pathDictionaryProblem(const QVariantMap &paths)
{
    for (auto app = paths.cbegin(); app != paths.cend(); ++app) {
        if (app.value().userType() != QMetaType::QVariantMap)
            return QStringLiteral("The paths of \"%1\" are not a dictionary.").arg(app.key().left(64));
        const QVariantMap rows = app.value().toMap();
        for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
            if (!pathRow(app.key(), it.key()))
                return QStringLiteral("Unknown path \"%1\" of \"%2\".").arg(it.key().left(64), app.key().left(64));
            if (it.value().userType() != QMetaType::QString)
                return QStringLiteral("The path of \"%1\" is not text.").arg(it.key().left(64));
            if (const QString why = pathProblem(it.value().toString()); !why.isEmpty())
                return why;
        }
    }
    return {};
}

} // namespace ZDPreferenceKinds
