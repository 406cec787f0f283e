#pragma once
// The catalogue of applications as data: JSON files read in this order, a later
// entry with the same id replacing an earlier one in place:
//   the suite's own files (built in, each shadowed by an installed file of the same name),
//   <root>/usr/share/kestra/catalogue.d/*.json (shipped with packages),
//   <root>/etc/xdg/kestra/catalogue.d/*.json (the administrator's).
// Every entry is checked on load; a bad one is refused with a message naming its
// file and entry, and the rest still load. The tables in ZDApplicationTables and
// ZDPreferenceKinds are read from here.
#include "catalog/ZDApplicationTables.h"
#include "catalog/ZDPreferenceKinds.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace ZDCatalogue {

constexpr qint64 kMaxFileBytes = 1024 * 1024;
constexpr int kMaxFilesPerFolder = 100;
constexpr int kMaxEntriesPerFile = 1000;
constexpr int kMaxEntries = 5000;
constexpr int kMaxListItems = 256;
constexpr int kMaxTextLength = 1024;

struct Catalogue
{
    QList<ZDApplicationTables::App> applications; // listed or not, in file order
    QList<ZDPreferenceKinds::Application> preferences;
    QList<ZDPreferenceKinds::PathApplication> paths;
    QList<ZDApplicationTables::CleaningTask> cleaning;
    QList<ZDApplicationTables::RemovalGroup> removalGroups;
    QList<ZDApplicationTables::PluginFolder> pluginFolders;
    QStringList files;    // what was read, in order
    QStringList problems; // one line per refused file or entry
};

// The built-in files, then each folder's *.json in name order.
Catalogue load(const QStringList &folders, bool builtIn = true);
// The folders of this computer (below the system root).
QStringList systemFolders();
// Loaded once from the built-in files and systemFolders(); problems go to the log.
const Catalogue &current();

// A path as the catalogue writes it ("~/.config/x", "~/x" or an absolute path below
// an allowed root) on this computer: the home's XDG folders honoured, absolute ones
// below the system root. Wildcards kept.
QString expand(const QString &pattern);
// Existing paths matching an expanded pattern ("*" within one component), at most max.
QStringList glob(const QString &pattern, int max = 64);
// Why a catalogue path is refused; empty when acceptable.
QString pathProblem(const QString &pattern);

} // namespace ZDCatalogue
