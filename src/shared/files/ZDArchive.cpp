#include "files/ZDArchive.h"

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

// A relative name without "..", ".", or empty components, or empty when the
// entry must not be extracted.
QString safeEntryName(const char *raw)
{
    if (!raw || !*raw)
        return {};
    const QString name = QString::fromUtf8(raw);
    if (name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name.contains(QChar(0)))
        return {};
    QStringList kept;
    for (const QString &part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".."))
            return {};
        if (part != QLatin1String("."))
            kept << part;
    }
    return kept.join(QLatin1Char('/'));
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

ZDFileTree::Result ZDArchive::extractZip(const QString &archivePath, const QString &destinationFolder)
{
    ReadPtr in(archive_read_new());
    archive_read_support_format_zip(in.get());
    if (archive_read_open_filename(in.get(), QFile::encodeName(archivePath).constData(), 1 << 16) != ARCHIVE_OK)
        return archiveFailure(in.get(), archivePath);

    if (!QDir().mkpath(destinationFolder))
        return ZDFileTree::Result::failure(errno ? errno : EACCES, destinationFolder);
    // The link check walks every component, so the destination itself must be link-free.
    const QString root = QFileInfo(destinationFolder).canonicalFilePath();
    if (root.isEmpty())
        return ZDFileTree::Result::failure(ENOENT, destinationFolder);

    WritePtr disk(archive_write_disk_new());
    archive_write_disk_set_options(disk.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                                                   ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                   ARCHIVE_EXTRACT_SECURE_NODOTDOT);

    // A refused entry is skipped and reported at the end; a broken archive stops.
    ZDFileTree::Result firstRefusal;
    const auto refuse = [&firstRefusal](const ZDFileTree::Result &r) {
        if (firstRefusal.ok)
            firstRefusal = r;
    };
    archive_entry *entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(in.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status < ARCHIVE_WARN)
            return archiveFailure(in.get(), archivePath);

        const char *raw = archive_entry_pathname_utf8(entry) ? archive_entry_pathname_utf8(entry)
                                                             : archive_entry_pathname(entry);
        const QString name = safeEntryName(raw);
        const mode_t type = archive_entry_filetype(entry);
        const bool plainType = type == AE_IFREG || type == AE_IFDIR || type == AE_IFLNK;
        if (name.isEmpty() || !plainType || archive_entry_hardlink(entry)) {
            refuse(ZDFileTree::Result::failure(QStringLiteral("refused entry"), QString::fromUtf8(raw)));
            continue;
        }
        const QString target = root + QLatin1Char('/') + name;
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
        archive_entry_update_pathname_utf8(entry, target.toUtf8().constData());

        const int header = archive_write_header(disk.get(), entry);
        if (header == ARCHIVE_FATAL)
            return archiveFailure(disk.get(), target);
        if (header < ARCHIVE_WARN) {
            refuse(archiveFailure(disk.get(), target));
            continue;
        }
        if (type == AE_IFREG) {
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            for (;;) {
                const int r = archive_read_data_block(in.get(), &block, &size, &offset);
                if (r == ARCHIVE_EOF)
                    break;
                if (r < ARCHIVE_WARN)
                    return archiveFailure(in.get(), archivePath);
                if (archive_write_data_block(disk.get(), block, size, offset) < ARCHIVE_WARN)
                    return archiveFailure(disk.get(), target);
            }
        }
        if (archive_write_finish_entry(disk.get()) < ARCHIVE_WARN)
            return archiveFailure(disk.get(), target);
    }
    if (archive_write_close(disk.get()) != ARCHIVE_OK)
        return archiveFailure(disk.get(), root);
    return firstRefusal;
}
