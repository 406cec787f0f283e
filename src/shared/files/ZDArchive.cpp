#include "files/ZDArchive.h"

#include "files/ZDBeneath.h"
#include "platform/ZDLocalPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct ReadCloser
{
    void operator()(archive *a) const { archive_read_free(a); }
};
struct WriteCloser
{
    void operator()(archive *a) const { archive_write_free(a); }
};
struct EntryCloser
{
    void operator()(archive_entry *e) const { archive_entry_free(e); }
};
using ReadPtr = std::unique_ptr<archive, ReadCloser>;
using WritePtr = std::unique_ptr<archive, WriteCloser>;
using EntryPtr = std::unique_ptr<archive_entry, EntryCloser>;

constexpr int kMaxDepth = 2048;

ZDFileTree::Result archiveFailure(archive *a, const QString &path)
{
    const char *text = archive_error_string(a);
    const int err = archive_errno(a);
    if (text)
        return ZDFileTree::Result::failure(QString::fromLocal8Bit(text), path);
    return ZDFileTree::Result::failure(err > 0 ? err : EIO, path);
}

struct ZipWriter
{
    archive *out;
    QByteArray skip; // the archive being written, should it sit inside the source

    ZDFileTree::Result add(const QByteArray &path, const QString &entryName, int depth)
    {
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0)
            return ZDFileTree::Result::failure(errno, QFile::decodeName(path));
        if (path == skip)
            return {};
        if (depth > kMaxDepth)
            return ZDFileTree::Result::failure(ELOOP, QFile::decodeName(path));
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode))
            return {}; // devices, pipes and sockets have no place in an archive

        if (!entryName.isEmpty()) {
            EntryPtr entry(archive_entry_new());
            archive_entry_copy_stat(entry.get(), &st);
            const QString name = S_ISDIR(st.st_mode) ? entryName + QLatin1Char('/') : entryName;
            archive_entry_update_pathname_utf8(entry.get(), name.toUtf8().constData());
            if (S_ISLNK(st.st_mode)) {
                std::vector<char> target(size_t(PATH_MAX) + 1);
                const ssize_t n = ::readlink(path.constData(), target.data(), target.size() - 1);
                if (n < 0)
                    return ZDFileTree::Result::failure(errno, QFile::decodeName(path));
                target[size_t(n)] = '\0';
                archive_entry_set_symlink(entry.get(), target.data());
                archive_entry_set_size(entry.get(), 0);
            } else if (S_ISDIR(st.st_mode)) {
                archive_entry_set_size(entry.get(), 0);
            }
            int fd = -1;
            if (S_ISREG(st.st_mode)) {
                fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0)
                    return ZDFileTree::Result::failure(errno, QFile::decodeName(path));
            }
            const std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) {
                if (*f >= 0)
                    ::close(*f);
            });
            if (archive_write_header(out, entry.get()) != ARCHIVE_OK)
                return archiveFailure(out, QFile::decodeName(path));
            if (fd >= 0) {
                std::vector<char> buffer(1 << 16);
                for (;;) {
                    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0)
                        return ZDFileTree::Result::failure(errno, QFile::decodeName(path));
                    if (n == 0)
                        break;
                    if (archive_write_data(out, buffer.data(), size_t(n)) < 0)
                        return archiveFailure(out, QFile::decodeName(path));
                }
            }
        }
        if (!S_ISDIR(st.st_mode))
            return {};

        const int dirFd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dirFd < 0)
            return ZDFileTree::Result::failure(errno, QFile::decodeName(path));
        std::unique_ptr<DIR, int (*)(DIR *)> dir(::fdopendir(dirFd), ::closedir);
        if (!dir) {
            ::close(dirFd);
            return ZDFileTree::Result::failure(errno, QFile::decodeName(path));
        }
        std::vector<QByteArray> names;
        while (dirent *e = ::readdir(dir.get())) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        }
        std::sort(names.begin(), names.end());
        for (const QByteArray &n : names) {
            const QString child = QFile::decodeName(n);
            auto r = add(path + '/' + n, entryName.isEmpty() ? child : entryName + QLatin1Char('/') + child,
                         depth + 1);
            if (!r.ok)
                return r;
        }
        return {};
    }
};

// Why an entry may not be unpacked, or empty; components gets its name's parts.
QString refusalOf(archive_entry *entry, QStringList *components)
{
    const char *utf8 = archive_entry_pathname_utf8(entry);
    const char *raw = utf8 ? utf8 : archive_entry_pathname(entry);
    const QString name = QString::fromUtf8(raw ? raw : "");
    if (name.isEmpty())
        return QStringLiteral("an entry has no name");
    if (name.startsWith(QLatin1Char('/')))
        return QStringLiteral("has an absolute name");
    if (name.contains(QLatin1Char('\\')))
        return QStringLiteral("has a backslash in its name");
    *components = ZDBeneath::components(name);
    if (components->isEmpty())
        return name.split(QLatin1Char('/')).contains(QLatin1String("..")) ? QStringLiteral("climbs out with \"..\"")
                                                                          : QStringLiteral("has an empty name");
    if (archive_entry_hardlink(entry))
        return QStringLiteral("is a hard link");
    const mode_t type = archive_entry_filetype(entry);
    if (type == AE_IFLNK || archive_entry_symlink(entry))
        return QStringLiteral("is a link");
    if (type != AE_IFREG && type != AE_IFDIR)
        return QStringLiteral("is a device, pipe or socket");
    return {};
}

ZDFileTree::Result refused(const QString &why, archive_entry *entry = nullptr)
{
    QString name;
    if (entry) {
        const char *utf8 = archive_entry_pathname_utf8(entry);
        name = QString::fromUtf8(utf8 ? utf8 : archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "");
        name = QStringLiteral("entry \"%1\" ").arg(name.left(200));
    }
    return ZDFileTree::Result::failure(QStringLiteral("refused archive: ") + name + why, {});
}

ReadPtr openArchive(const QString &path, const QByteArray *data, ZDFileTree::Result *failure)
{
    ReadPtr in(archive_read_new());
    archive_read_support_format_zip(in.get());
    const int opened = data ? archive_read_open_memory(in.get(), data->constData(), size_t(data->size()))
                            : archive_read_open_filename(in.get(), QFile::encodeName(path).constData(), 1 << 16);
    if (opened != ARCHIVE_OK) {
        *failure = ZDFileTree::Result::failure(QStringLiteral("not a zip archive"), path);
        return {};
    }
    return in;
}

// Reads the whole archive once, writing nothing: every entry and the bytes it
// really unpacks to (never what its header claims) are held to the rule.
ZDFileTree::Result checkAll(const QString &path, const QByteArray *data, const ZDArchive::Limits &limits)
{
    ZDFileTree::Result failure;
    const ReadPtr in = openArchive(path, data, &failure);
    if (!in)
        return failure;
    std::vector<char> buffer(1 << 16);
    qint64 entries = 0, bytes = 0;
    archive_entry *entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(in.get(), &entry);
        if (status == ARCHIVE_EOF)
            return {};
        if (status < ARCHIVE_WARN)
            return archiveFailure(in.get(), path);
        if (++entries > limits.maxEntries)
            return refused(QStringLiteral("it holds more than %1 entries").arg(limits.maxEntries));
        QStringList components;
        if (const QString why = refusalOf(entry, &components); !why.isEmpty())
            return refused(why, entry);
        for (;;) {
            const la_ssize_t n = archive_read_data(in.get(), buffer.data(), buffer.size());
            if (n < 0)
                return archiveFailure(in.get(), path);
            if (n == 0)
                break;
            bytes += n;
            if (bytes > limits.maxBytes)
                return refused(QStringLiteral("it unpacks to more than %1 bytes").arg(limits.maxBytes));
        }
    }
}

// Owner read and write (and entry for folders) always; group and others never write; no set-id bits.
mode_t maskedMode(archive_entry *entry, bool folder)
{
    mode_t perm = archive_entry_perm(entry) & 0777;
    if (perm == 0)
        perm = folder ? 0755 : 0644;
    return folder ? ((perm & 0755) | 0700) : ((perm & 0755) | 0600);
}

} // namespace

ZDFileTree::Result ZDArchive::createZip(const QString &source, const QString &destination, bool includeParent)
{
    const QString src = QDir::cleanPath(QDir(source).absolutePath());
    const QString dst = QDir::cleanPath(QDir(destination).absolutePath());
    struct stat st {};
    if (::lstat(QFile::encodeName(src).constData(), &st) != 0)
        return ZDFileTree::Result::failure(errno, src);

    // Written beside the destination and renamed, so no half archive ever shows.
    const QString partial = dst + QStringLiteral(".part-") + ZDLocalPaths::randomString(8);
    WritePtr out(archive_write_new());
    archive_write_set_format_zip(out.get());
    archive_write_set_options(out.get(), "hdrcharset=UTF-8");
    if (archive_write_open_filename(out.get(), QFile::encodeName(partial).constData()) != ARCHIVE_OK)
        return archiveFailure(out.get(), dst);

    ZipWriter writer{out.get(), QFile::encodeName(partial)};
    const QString top = (includeParent || !S_ISDIR(st.st_mode)) ? ZDFileTree::lastComponent(src) : QString();
    auto r = writer.add(QFile::encodeName(src), top, 0);
    if (r.ok && archive_write_close(out.get()) != ARCHIVE_OK)
        r = archiveFailure(out.get(), dst);
    out.reset();
    if (r.ok && ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(dst).constData()) != 0)
        r = ZDFileTree::Result::failure(errno, dst);
    if (!r.ok)
        QFile::remove(partial);
    return r;
}

ZDFileTree::Result ZDArchive::check(const QString &archivePath, const Limits &limits)
{
    return checkAll(archivePath, nullptr, limits);
}

ZDFileTree::Result ZDArchive::checkData(const QByteArray &data, const Limits &limits)
{
    return checkAll(QString(), &data, limits);
}

ZDFileTree::Result ZDArchive::extractZip(const QString &archivePath, const QString &destinationFolder, const Limits &limits)
{
    // A refused archive writes nothing at all, not even its first entries.
    if (const ZDFileTree::Result checked = check(archivePath, limits); !checked.ok)
        return checked;
    ZDFileTree::Result failure;
    const ReadPtr in = openArchive(archivePath, nullptr, &failure);
    if (!in)
        return failure;
    if (!QDir().mkpath(destinationFolder))
        return ZDFileTree::Result::failure(errno ? errno : EACCES, destinationFolder);
    const QString root = QDir::cleanPath(QDir(destinationFolder).absolutePath());
    const ZDBeneath::Fd rootFd = ZDBeneath::openBase(root);
    if (!rootFd.isValid())
        return ZDFileTree::Result::failure(errno, root);

    // What this extraction made at the top goes again should a later entry fail.
    QStringList made;
    const auto undo = [&](const ZDFileTree::Result &r) {
        for (const QString &top : std::as_const(made))
            ZDFileTree::remove(root + QLatin1Char('/') + top);
        return r;
    };
    std::vector<char> buffer(1 << 16);
    qint64 entries = 0, bytes = 0;
    archive_entry *entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(in.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status < ARCHIVE_WARN)
            return undo(archiveFailure(in.get(), archivePath));
        // Checked again as written: the file is the caller's, but cheap to hold to the rule twice.
        QStringList components;
        if (++entries > limits.maxEntries)
            return undo(refused(QStringLiteral("it holds more than %1 entries").arg(limits.maxEntries)));
        if (const QString why = refusalOf(entry, &components); !why.isEmpty())
            return undo(refused(why, entry));
        const QString target = root + QLatin1Char('/') + components.join(QLatin1Char('/'));
        if (!made.contains(components.first())
            && ::faccessat(rootFd.get(), QFile::encodeName(components.first()).constData(), F_OK, AT_SYMLINK_NOFOLLOW) != 0)
            made << components.first();
        const bool folder = archive_entry_filetype(entry) == AE_IFDIR;
        const QString last = components.takeLast();
        const ZDBeneath::Fd parent = ZDBeneath::makeFolders(rootFd.get(), components);
        if (!parent.isValid())
            return undo(ZDFileTree::Result::failure(errno, target));
        ZDBeneath::Fd fd = folder ? ZDBeneath::makeFolders(parent.get(), {last}) : ZDBeneath::replaceFile(parent.get(), last, 0600);
        if (!fd.isValid())
            return undo(ZDFileTree::Result::failure(errno, target));
        if (!folder) {
            for (;;) {
                const la_ssize_t n = archive_read_data(in.get(), buffer.data(), buffer.size());
                if (n < 0)
                    return undo(archiveFailure(in.get(), archivePath));
                if (n == 0)
                    break;
                bytes += n;
                if (bytes > limits.maxBytes)
                    return undo(refused(QStringLiteral("it unpacks to more than %1 bytes").arg(limits.maxBytes)));
                for (la_ssize_t done = 0; done < n;) {
                    const ssize_t w = ::write(fd.get(), buffer.data() + done, size_t(n - done));
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w < 0)
                        return undo(ZDFileTree::Result::failure(errno, target));
                    done += w;
                }
            }
        }
        if (::fchmod(fd.get(), maskedMode(entry, folder)) != 0)
            return undo(ZDFileTree::Result::failure(errno, target));
        if (!folder && archive_entry_mtime_is_set(entry)) {
            const struct timespec times[2] = {{0, UTIME_OMIT}, {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}};
            ::futimens(fd.get(), times);
        }
    }
    return {};
}
