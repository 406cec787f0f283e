#pragma once
// Where plug-ins live on this computer, by kind: the folders the listing walks,
// the only places a path from the network may point into, and where the plug-in
// tool moves a plug-in when it is disabled, enabled or given to other users. The rows
// come from the catalogue's plug-in folders.
// Shared by the agent and the plug-in tool's stand-in. Needs only the shared layer.
#include <QList>
#include <QString>

struct ZDPluginFolder
{
    QString type;     // the kind's label on the wire ("FxPlug", "Audio Unit", ...)
    QString computer; // computer-wide folder (access 0)
    QString user;     // the user's folder (access 1); empty when the kind has none
    QStringList extensions{}; // what counts as a plug-in here; empty: the usual kinds
    bool folderPlugins = false; // each folder in it is one plug-in
};

class ZDPluginsFolders
{
public:
    ZDPluginsFolders() = delete;

    // In listing order; a kind may have several rows (VST3 and VST).
    static QList<ZDPluginFolder> folders();
    // The disabled plug-ins keep their whole former path below this folder.
    static QString disabledRoot();
    static bool isDisabledPath(const QString &path);
    static QString withoutDisabledPrefix(const QString &path);
    // 1 for a path inside the user's home (tested first: a test home lies inside the
    // test's system root), else 0; the disabled prefix is removed first.
    static int accessTypeForPath(const QString &path);
    // The kind's folder row the (enabled form of the) path lies in, and the base it
    // lies below; false when none.
    static bool locate(const QString &path, ZDPluginFolder *row, QString *base);
    // A path from the network, resolved without following its last component, when
    // it names an existing item (not a link) strictly inside a plug-in folder or its
    // disabled mirror; empty otherwise.
    static QString resolveInside(const QString &path);
    // Where the plug-in goes for this access mode and disabled state, keeping its
    // subfolder; access -1 keeps the current one. Empty when the kind has no such folder.
    static QString destination(const QString &path, int access, bool disabled);
    // The per-user folder a new copy of this kind is installed into; empty when unknown.
    static QString installFolderForType(const QString &type);
    // "CS<major>" of the newest installed Premiere (whole major number), "CS6" without one.
    static QString adobeSuiteName();
};
