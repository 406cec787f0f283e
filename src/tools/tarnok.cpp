// Tarnok, the path tool. The applications keep their folder paths in
// their own preference files (the shared table names them), under the path keys;
// a path never set reads as the table's default mapped onto this computer, a path
// reset to nothing is stored empty and left out.
//   -allpaths                 {application title: {path title: path}} as a property list
//   -setpath KEY PATH         set one path
//   -resetpath KEY            back to the default (or nothing)
//   -setallpaths TEXT         the whole dictionary as old-style property-list text
//   -resetallpaths            every path back (task "0")
// An application whose preferences are text ("[group]" and "entry=value" lines) keeps
// each path in the row's group and entry; only the lines of the paths changed are
// rewritten, the file replaced by rename and never through a link.
// Exit status: 0 done, 1 a preference file could not be written, 2 unknown key,
// 64 usage, 65 refused input.
#include "platform/ZDLocalPaths.h"
#include "platform/ZDNoFollow.h"
#include "catalog/ZDPreferenceKinds.h"
#include "plist/ZDPropertyList.h"
#include "ZDIniText.h"
#include "ZDToolRun.h"
#include "platform/ZDBoundedRead.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

constexpr qint64 kMaxIniBytes = 1024 * 1024;

// A text preference file read without following a link: its bytes (empty when there
// is none yet), or nullopt with the reason on standard error.
std::optional<QByteArray> readIni(int folder, const QString &name, struct stat *st)
{
    const ZDOwnedFd fd(::openat(folder, QFile::encodeName(name).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.isValid()) {
        if (errno == ENOENT)
            return QByteArray();
        std::fprintf(stderr, "Tarnok: cannot read %s (a link is never followed)\n", qPrintable(name));
        return std::nullopt;
    }
    if (::fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode) || st->st_size > kMaxIniBytes) {
        std::fprintf(stderr, "Tarnok: %s is not a preference file of at most %lld bytes\n", qPrintable(name), kMaxIniBytes);
        return std::nullopt;
    }
    QFile file;
    if (!file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return std::nullopt;
    return ZDBoundedRead::upTo(file, kMaxIniBytes);
}

ZDOwnedFd preferenceFolder(bool create)
{
    const QString folder = ZDLocalPaths::prefsDirectory(true);
    if (create)
        QDir().mkpath(folder);
    return ZDOwnedFd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The stored paths of a text preference file by row key.
QVariantMap iniValues(const PK::PathApplication &app, const QByteArray &text)
{
    QVariantMap values;
    for (const PK::PathRow &row : app.rows) {
        if (const std::optional<QString> v = ZDIniText::value(text, row.iniGroup, row.iniEntry, QDir::homePath()))
            values.insert(row.key, *v);
    }
    return values;
}

QVariantMap storedValues(const PK::PathApplication &app)
{
    if (!app.ini)
        return ZDPropertyList::readDictionary(preferenceFile(app));
    const ZDOwnedFd folder = preferenceFolder(false);
    struct stat st {};
    const std::optional<QByteArray> text = folder.isValid() ? readIni(folder.get(), app.preferenceFile, &st) : std::nullopt;
    return text ? iniValues(app, *text) : QVariantMap();
}

// The rows' lines changed in place, the file replaced by rename from a new file
// beside it (with the old one's mode), so that a reader sees the old file or the new.
bool editIni(const PK::PathApplication &app, const std::function<void(QVariantMap &)> &change)
{
    const ZDOwnedFd folder = preferenceFolder(true);
    if (!folder.isValid()) {
        std::fprintf(stderr, "Tarnok: cannot open the preference folder\n");
        return false;
    }
    struct stat st {};
    st.st_mode = 0600;
    const std::optional<QByteArray> before = readIni(folder.get(), app.preferenceFile, &st);
    if (!before)
        return false;
    const QVariantMap old = iniValues(app, *before);
    QVariantMap wanted = old;
    change(wanted);
    QByteArray text = *before;
    for (const PK::PathRow &row : app.rows) {
        if (wanted.contains(row.key) == old.contains(row.key) && wanted.value(row.key) == old.value(row.key))
            continue;
        std::optional<QString> value;
        if (wanted.contains(row.key))
            value = wanted.value(row.key).toString().isNull() ? QStringLiteral("") : wanted.value(row.key).toString();
        text = ZDIniText::withValue(text, row.iniGroup, row.iniEntry, value);
    }
    if (text == *before)
        return true;
    const QString temporary = QStringLiteral(".%1.tarnok-%2").arg(app.preferenceFile).arg(::getpid());
    const QByteArray tmp = QFile::encodeName(temporary);
    ::unlinkat(folder.get(), tmp.constData(), 0); // a leftover of an interrupted run of this process id
    const ZDOwnedFd out = ZDNoFollow::createFile(folder.get(), temporary, st.st_mode & 0777);
    bool ok = out.isValid() && ::fchmod(out.get(), st.st_mode & 0777) == 0;
    // With rights, the file stays its owner's.
    if (ok && ::geteuid() == 0 && st.st_nlink > 0)
        ok = ::fchown(out.get(), st.st_uid, st.st_gid) == 0;
    for (qsizetype at = 0; ok && at < text.size();) {
        const ssize_t n = ::write(out.get(), text.constData() + at, size_t(text.size() - at));
        ok = n > 0;
        at += ok ? n : 0;
    }
    ok = ok && ::fsync(out.get()) == 0
         && ::renameat(folder.get(), tmp.constData(), folder.get(), QFile::encodeName(app.preferenceFile).constData()) == 0;
    if (!ok) {
        ::unlinkat(folder.get(), tmp.constData(), 0);
        std::fprintf(stderr, "Tarnok: cannot write %s\n", qPrintable(preferenceFile(app)));
    }
    return ok;
}

// Changes some keys of one application's preference file, keeping its other keys.
bool edit(const PK::PathApplication &app, const std::function<void(QVariantMap &)> &change)
{
    if (app.ini)
        return editIni(app, change);
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
        const QVariantMap prefs = storedValues(app);
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
