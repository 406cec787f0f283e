#pragma once
// Administrator rights for file operations and tool runs.
//
// A root process runs tools directly. Otherwise rights come from the system's own
// authentication: a user name and password of any administrator account (checked
// and used through su and sudo in a pseudo-terminal), or, with a dialog allowed,
// from polkit (pkexec), which asks the person at the screen. The password lives
// only in this object's memory, is handed to the authentication tools on their
// terminal, and is wiped when the rights end.
//
// System folders (exact match) are never removed, trashed or moved.
#include <QString>
#include <QStringList>

#include <memory>

class ZDAuthorization
{
public:
    // Whether polkit may ask the person at the screen when no password was given.
    enum class Dialog { Allowed, Never };
    // What a root process does with what it would trash into its own account.
    enum class RootTrash { Trash, Delete };
    enum class Launch { Detached, Waited };
    // The numbers are the test helper's printed answers.
    enum class ExecResult { Started = 0, NoRights = -1, ToolMissing = -2 };

    // The process's one instance; the first call decides whether a dialog may appear.
    static ZDAuthorization &sharedController(Dialog dialog = Dialog::Allowed);

    ~ZDAuthorization();
    ZDAuthorization(const ZDAuthorization &) = delete;
    ZDAuthorization &operator=(const ZDAuthorization &) = delete;

    bool isAuthorized() const;
    bool canAuthorize() const;
    bool hasGUI() const;
    // The home folder recorded at creation for a non-root process; empty for root.
    QString userDirectory() const;

    bool authStart();
    bool authStartWithUser(const QString &username, const QString &password);
    void authEnd();

    bool authRemoveFile(const QString &path);
    bool authTrashFile(const QString &path, RootTrash onRoot = RootTrash::Trash);
    bool authTrashFolderContents(const QString &path, RootTrash onRoot = RootTrash::Trash);
    bool authMoveFolderContents(const QString &path, const QString &toPath);
    bool authMoveFile(const QString &path, const QString &toPath);
    bool authCopyFile(const QString &path, const QString &toPath);
    bool authCreateDir(const QString &path);
    // Started: the tool runs (Waited: and has ended).
    ExecResult authExecTask(const QString &path, const QStringList &parameters, Launch launch = Launch::Detached);

    // Checks an account's password and that it may administer this computer,
    // without keeping anything. Used for the agent's credential checks too.
    static bool validateAdministrator(const QString &username, const QString &password);

    // The canonical path of an item that may be run or read with administrator
    // rights, or empty with the reason: the item and every folder above it belong to
    // root and nobody else may write to them. A folder anyone may write to counts only with its sticky
    // bit, below which nobody can replace what root or this user owns.
    static QString trustedPath(const QString &path, QString *reason = nullptr);

private:
    explicit ZDAuthorization(Dialog dialog);
    struct Private;
    std::unique_ptr<Private> d;
};
