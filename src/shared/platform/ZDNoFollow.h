#pragma once
// Folders and files reached without following links: each component is opened from
// the descriptor of the one before with O_NOFOLLOW, and what is made is handed to
// its owner by descriptor. Whoever controls a folder on the way cannot send a root
// process elsewhere by a link, nor swap one in between a check and a use.
#include <QString>
#include <QStringList>

#include <optional>

#include <sys/types.h>

// An owned file descriptor, closed when it goes.
class ZDOwnedFd
{
public:
    ZDOwnedFd() = default;
    explicit ZDOwnedFd(int fd) : m_fd(fd) {}
    ZDOwnedFd(ZDOwnedFd &&other) noexcept : m_fd(other.release()) {}
    ZDOwnedFd &operator=(ZDOwnedFd &&other) noexcept;
    ZDOwnedFd(const ZDOwnedFd &) = delete;
    ZDOwnedFd &operator=(const ZDOwnedFd &) = delete;
    ~ZDOwnedFd();
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd = -1;
};

namespace ZDNoFollow {

struct Owner
{
    uid_t uid;
    gid_t gid;
};

// The folder `relative` ("a/b/c") below the open folder `base`. With `create`,
// missing folders are made with `mode` and, with an owner, given to it. Invalid on
// a link, a non-folder, "..", or any error (errno tells).
ZDOwnedFd openFolder(int base, const QString &relative, bool create, mode_t mode = 0700,
                     std::optional<Owner> owner = std::nullopt);
// The same below a folder the caller trusts by name (a home the password database
// names, the system root), which is opened as it is.
ZDOwnedFd openFolder(const QString &trustedBase, const QString &relative, bool create, mode_t mode = 0700,
                     std::optional<Owner> owner = std::nullopt);
// A new file (never an existing one, never through a link) in an open folder.
ZDOwnedFd createFile(int folder, const QString &name, mode_t mode = 0600, std::optional<Owner> owner = std::nullopt);
// An existing regular file for reading, its name no link.
ZDOwnedFd openRegularFile(int folder, const QString &name);
// Names of the regular files (no links) in an open folder ending with `suffix`, at most `limit`, sorted.
QStringList regularFiles(int folder, const QString &suffix, int limit);

} // namespace ZDNoFollow
