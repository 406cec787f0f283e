#pragma once
// Zip archives of files and folders, written and read in-process.
// Extraction treats every archive as hostile: nothing lands outside the
// destination, links are never written through, no set-id bits, no devices.
#include "files/ZDFileTree.h"

#include <QString>

class ZDArchive
{
public:
    ZDArchive() = delete;

    // With `includeParent` a folder's entries start with the folder's own name;
    // without, they are its contents. A single file is stored under its name.
    static ZDFileTree::Result createZip(const QString &source, const QString &destination, bool includeParent);
    // Creates the destination folder and fills it with the archive's entries.
    static ZDFileTree::Result extractZip(const QString &archive, const QString &destinationFolder);
};
