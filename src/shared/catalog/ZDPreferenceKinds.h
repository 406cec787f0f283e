#pragma once
// The editing applications the preference and path tools know: their kinds of
// preference files and their folder paths. One table read by the agent, the
// console and the tools, so they cannot drift; it comes from the catalogue files. File names stay as the
// applications use them; their base folders map through the local folder table.
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace ZDPreferenceKinds {

// Where a preference file lives: the user's preferences, application support or
// documents folder, or the computer's shared folder.
// Home: anywhere else in the user's home (a Flatpak's folder, a dot folder).
enum class Base { Preferences, Support, Documents, Shared, Home };

struct File
{
    Base base;
    QString relative; // may hold the tool's "*" wildcard
};

struct Kind
{
    QString name;
    QString key;
    bool checked; // the default check-box state
    QList<File> files;
};

struct Application
{
    QString name;
    QString key;
    QString icon;
    QList<Kind> kinds;
};

// Sorted by name (case-insensitive), kinds in their fixed order.
const QList<Application> &applications();
const Kind *kindForKey(const QString &key);
QStringList allKeys();
// Absolute paths of the files a kind covers on this computer (wildcards kept).
QStringList filePatterns(const Kind &kind);
QString baseFolder(Base base);
// Whether an absolute path is one of the kinds' files, or lies inside one of
// their folders: all a backup may ever restore.
bool isCovered(const QString &path);

// Backup names travel to the tool as a file name: no "/", "..", NUL, control
// characters, leading "-" or "."; at most kMaxNameLength characters. Empty when
// acceptable, else why not.
constexpr int kMaxNameLength = 200;
QString backupNameProblem(const QString &name);
// The folder the preference tool keeps its backup packages in, and their extension.
QString backupFolder();
constexpr const char *kBackupExtension = "stb2";
// A key list as it travels ("a,b"): known keys only, none empty. Empty when acceptable.
QString keyListProblem(const QString &keyList);

// Path rows of the path tool.
struct PathRow
{
    QString key;
    QString title;
    QString defaultPath; // as written in the table ("~/..." or "/..."); empty: none
    QStringList fileList;
    QString relativeSuffix;
    bool colorCoded = false;
    bool noMove = false;
    bool readOnly = false;
    bool resetsToNil = false;
    // In a text (INI) preference file: the group and the entry holding the path.
    QString iniGroup;
    QString iniEntry;
};

struct PathApplication
{
    QString title;
    QString icon;
    QString preferenceFile; // the application's preference file, holding its paths
    bool ini = false;       // a text file of "[group]" and "entry=value" lines, else a property list
    QList<PathRow> rows;
};

const QList<PathApplication> &pathApplications();
const PathRow *pathRowForKey(const QString &key, QString *applicationTitle = nullptr);
const PathRow *pathRow(const QString &applicationTitle, const QString &pathTitle);
// A table default mapped onto this computer's folders; empty for none.
QString mappedDefault(const PathRow &row);
// Paths travel as absolute paths without control characters, at most 4096 bytes.
QString pathProblem(const QString &path);
// One tool argument is limited to this many bytes.
constexpr qsizetype kMaxArgumentBytes = 128 * 1024;
// A whole path dictionary {application title: {path title: path}}: known titles,
// acceptable paths. Empty when acceptable.
QString pathDictionaryProblem(const QVariantMap &paths);

} // namespace ZDPreferenceKinds
