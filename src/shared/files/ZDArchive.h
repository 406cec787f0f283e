#pragma once
// Zip archives of files and folders, written and read in-process.
// Extraction treats every archive as hostile and holds it to one rule: only files
// and folders (no links, hard links, devices), only relative names that stay
// below the destination, a bounded entry count and unpacked size, modes masked
// to 0755/0644. An archive breaking it is refused whole: nothing is written.
#include "files/ZDFileTree.h"

#include <QByteArray>
#include <QString>

class ZDArchive
{
public:
    ZDArchive() = delete;

    struct Limits
    {
        qint64 maxBytes;   // counted as unpacked, never as the headers claim
        qint64 maxEntries;
    };
    // What arrives from another computer (a plug-in, a preference backup): it
    // travels in one message of at most 15 MiB, and real bundles compress about
    // 3:1, so 256 MiB (17:1) is ample while a bomb stops early.
    static constexpr Limits kReceived{256LL * 1024 * 1024, 20000};
    // An application update: its download may be 512 MiB.
    static constexpr Limits kApplication{2048LL * 1024 * 1024, 100000};

    // With `includeParent` a folder's entries start with the folder's own name;
    // without, they are its contents. A single file is stored under its name.
    static ZDFileTree::Result createZip(const QString &source, const QString &destination, bool includeParent);
    // Whether the archive keeps the rule, writing nothing; the failure says why not.
    static ZDFileTree::Result check(const QString &archive, const Limits &limits = kReceived);
    static ZDFileTree::Result checkData(const QByteArray &data, const Limits &limits = kReceived);
    // Creates the destination folder and fills it with the archive's entries, each
    // written from the destination's descriptor without following a link.
    static ZDFileTree::Result extractZip(const QString &archive, const QString &destinationFolder,
                                         const Limits &limits = kReceived);
};
