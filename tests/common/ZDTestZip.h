#pragma once
// Zip archives built by the test itself: stored entries with any name, type and
// mode (hostile ones included), and a deflated bomb produced as a stream, so that
// its gigabyte never touches the disk.
#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QList>

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>

#include <memory>
#include <vector>

namespace zdtest {

struct ZipEntry
{
    QByteArray name;
    QByteArray data;         // a link's target for S_IFLNK
    quint32 mode = S_IFREG | 0644; // file type and permissions, as a Unix zip tool stores them
};

inline quint32 zipCrc32(const QByteArray &data)
{
    quint32 c = 0xFFFFFFFFu;
    for (const char ch : data) {
        c ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// A stored (uncompressed) zip written by hand.
inline QByteArray makeZip(const QList<ZipEntry> &entries)
{
    QByteArray local, central, end;
    QDataStream l(&local, QIODevice::WriteOnly), c(&central, QIODevice::WriteOnly), d(&end, QIODevice::WriteOnly);
    for (QDataStream *s : {&l, &c, &d})
        s->setByteOrder(QDataStream::LittleEndian);
    for (const ZipEntry &e : entries) {
        const quint32 offset = quint32(local.size()), crc = zipCrc32(e.data), size = quint32(e.data.size());
        l << quint32(0x04034b50) << quint16(20) << quint16(0) << quint16(0) << quint16(0) << quint16(0x21) << crc
          << size << size << quint16(e.name.size()) << quint16(0);
        l.writeRawData(e.name.constData(), int(e.name.size()));
        l.writeRawData(e.data.constData(), int(size));
        c << quint32(0x02014b50) << quint16((3 << 8) | 20) << quint16(20) << quint16(0) << quint16(0) << quint16(0)
          << quint16(0x21) << crc << size << size << quint16(e.name.size()) << quint16(0) << quint16(0) << quint16(0)
          << quint16(0) << quint32(e.mode << 16) << offset;
        c.writeRawData(e.name.constData(), int(e.name.size()));
    }
    d << quint32(0x06054b50) << quint16(0) << quint16(0) << quint16(entries.size()) << quint16(entries.size())
      << quint32(central.size()) << quint32(local.size()) << quint16(0);
    return local + central + end;
}

// One deflated entry `name` of `bytes` zero bytes, compressed as it is fed.
inline QByteArray zipBomb(const QByteArray &name, qint64 bytes)
{
    QByteArray out;
    const std::unique_ptr<archive, decltype(&archive_write_free)> a(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(a.get());
    archive_write_zip_set_compression_deflate(a.get());
    archive_write_set_options(a.get(), "zip:compression-level=1");
    archive_write_set_bytes_in_last_block(a.get(), 1);
    const auto sink = [](archive *, void *to, const void *buffer, size_t length) -> la_ssize_t {
        static_cast<QByteArray *>(to)->append(static_cast<const char *>(buffer), qsizetype(length));
        return la_ssize_t(length);
    };
    if (archive_write_open(a.get(), &out, nullptr, sink, nullptr) != ARCHIVE_OK)
        return {};
    const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(e.get(), name.constData());
    archive_entry_set_filetype(e.get(), AE_IFREG);
    archive_entry_set_perm(e.get(), 0644);
    archive_entry_set_size(e.get(), bytes);
    if (archive_write_header(a.get(), e.get()) != ARCHIVE_OK)
        return {};
    const std::vector<char> zeros(1 << 20, '\0');
    for (qint64 done = 0; done < bytes; done += qint64(zeros.size()))
        if (archive_write_data(a.get(), zeros.data(), zeros.size()) < 0)
            return {};
    return archive_write_close(a.get()) == ARCHIVE_OK ? out : QByteArray();
}

} // namespace zdtest
