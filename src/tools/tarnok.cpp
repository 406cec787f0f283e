// Tarnok, the path tool. The applications keep their folder paths in
// their own preference files (the shared table names them), under the path keys;
// a path never set reads as the table's default mapped onto this computer, a path
// reset to nothing is stored empty and left out.
//   -allpaths                 {application title: {path title: path}} as a property list
//   -setpath KEY PATH         set one path
//   -resetpath KEY            back to the default (or nothing)
//   -setallpaths TEXT         the whole dictionary as old-style property-list text
//   -resetallpaths            every path back (task "0")
// Exit status: 0 done, 1 a preference file could not be written, 2 unknown key,
// 64 usage, 65 refused input.
#include "platform/ZDLocalPaths.h"
#include "catalog/ZDPreferenceKinds.h"
#include "plist/ZDPropertyList.h"
#include "ZDToolRun.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <functional>

namespace PK = ZDPreferenceKinds;

namespace {

using ZDTool::kFailed;
using ZDTool::kRefused;
using ZDTool::kUsage;
constexpr int kUnknownKey = 2;

int refuse(const QString &why, int status = kRefused)
{
    return ZDTool::refuse("Tarnok", why, status);
}

QString preferenceFile(const PK::PathApplication &app)
{
    return ZDLocalPaths::prefsDirectory(true) + QLatin1Char('/') + app.preferenceFile;
}

const PK::PathApplication *applicationOf(const QString &title)
{
    for (const PK::PathApplication &app : PK::pathApplications()) {
        if (app.title == title)
            return &app;
    }
    return nullptr;
}

// Changes some keys of one application's preference file, keeping its other keys.
bool edit(const PK::PathApplication &app, const std::function<void(QVariantMap &)> &change)
{
    const QString file = preferenceFile(app);
    // A file that is not a dictionary is the application's, not ours to replace.
    const QVariant read = QFileInfo::exists(file) ? ZDPropertyList::readFile(file) : QVariant(QVariantMap());
    if (read.userType() != QMetaType::QVariantMap) {
        std::fprintf(stderr, "Tarnok: %s is not a preference dictionary\n", qPrintable(file));
        return false;
    }
    QVariantMap prefs = read.toMap();
    change(prefs);
    if (ZDPropertyList::writeFile(file, prefs))
        return true;
    std::fprintf(stderr, "Tarnok: cannot write %s\n", qPrintable(file));
    return false;
}

int allPaths(const QStringList &)
{
    QVariantMap answer;
    for (const PK::PathApplication &app : PK::pathApplications()) {
        const QVariantMap prefs = ZDPropertyList::readDictionary(preferenceFile(app));
        QVariantMap paths;
        for (const PK::PathRow &row : app.rows) {
            const QVariant stored = prefs.value(row.key);
            const QString path = stored.isValid() ? stored.toString() : PK::mappedDefault(row);
            if (!path.isEmpty() && PK::pathProblem(path).isEmpty())
                paths.insert(row.title, path);
        }
        if (!paths.isEmpty())
            answer.insert(app.title, paths);
    }
    const QByteArray out = ZDPropertyList::toData(answer);
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return 0;
}

int setPath(const QStringList &args)
{
    if (args.size() != 2)
        return refuse(QStringLiteral("usage: -setpath KEY PATH"), kUsage);
    QString title;
    const PK::PathRow *row = PK::pathRowForKey(args.at(0), &title);
    if (!row)
        return refuse(QStringLiteral("unknown key %1").arg(args.at(0).left(64)), kUnknownKey);
    if (const QString why = PK::pathProblem(args.at(1)); !why.isEmpty())
        return refuse(why);
    return edit(*applicationOf(title), [&](QVariantMap &prefs) { prefs.insert(row->key, args.at(1)); }) ? 0
                                                                                                         : kFailed;
}

void reset(const PK::PathRow &row, QVariantMap &prefs)
{
    if (row.resetsToNil)
        prefs.insert(row.key, QString());
    else
        prefs.remove(row.key);
}

int resetPath(const QStringList &args)
{
    if (args.size() != 1)
        return refuse(QStringLiteral("usage: -resetpath KEY"), kUsage);
    QString title;
    const PK::PathRow *row = PK::pathRowForKey(args.at(0), &title);
    if (!row)
        return refuse(QStringLiteral("unknown key %1").arg(args.at(0).left(64)), kUnknownKey);
    return edit(*applicationOf(title), [&](QVariantMap &prefs) { reset(*row, prefs); }) ? 0 : kFailed;
}

int setAllPaths(const QStringList &args)
{
    if (args.size() != 1)
        return refuse(QStringLiteral("usage: -setallpaths TEXT"), kUsage);
    const QByteArray text = args.at(0).toUtf8();
    if (text.size() > PK::kMaxArgumentBytes)
        return refuse(QStringLiteral("the path dictionary is larger than %1 bytes").arg(PK::kMaxArgumentBytes));
    QString error;
    const QVariant value = ZDPropertyList::fromOpenStep(text, &error);
    if (value.userType() != QMetaType::QVariantMap)
        return refuse(error.isEmpty() ? QStringLiteral("the paths are not a dictionary") : error);
    const QVariantMap all = value.toMap();
    // Checked whole before anything changes.
    if (const QString why = PK::pathDictionaryProblem(all); !why.isEmpty())
        return refuse(why, why.startsWith(QLatin1String("Unknown")) ? kUnknownKey : kRefused);
    int status = 0;
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        const QVariantMap paths = it.value().toMap();
        const bool ok = edit(*applicationOf(it.key()), [&](QVariantMap &prefs) {
            for (auto p = paths.cbegin(); p != paths.cend(); ++p)
                prefs.insert(PK::pathRow(it.key(), p.key())->key, p.value().toString());
        });
        if (!ok)
            status = kFailed;
    }
    return status;
}

int resetAllPaths(const QStringList &)
{
    int status = 0;
    for (const PK::PathApplication &app : PK::pathApplications()) {
        if (!QFileInfo::exists(preferenceFile(app)))
            continue;
        const bool ok = edit(app, [&](QVariantMap &prefs) {
            for (const PK::PathRow &row : app.rows)
                prefs.remove(row.key);
        });
        if (!ok)
            status = kFailed;
    }
    return status;
}

const ZDTool::Command kCommands[] = {
    {"-allpaths", allPaths},       {"-setpath", setPath},           {"-resetpath", resetPath},
    {"-setallpaths", setAllPaths}, {"-resetallpaths", resetAllPaths},
};

} // namespace

int main(int argc, char **argv)
{
    return ZDTool::dispatch(argc, argv, kCommands, "Tarnok",
                             QStringLiteral("usage: Tarnok -allpaths | -setpath KEY PATH | -resetpath KEY | -setallpaths TEXT | "
                                            "-resetallpaths"));
}
