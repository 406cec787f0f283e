#pragma once
// Where a catalogue application is on this Linux computer, as its packages lay it
// out: a desktop entry (the computer's, the user's), its application folder, its
// executables in the program folders, or a Flatpak installation. Its version from
// the package database, the Flatpak's or the system's AppStream metadata, else from
// its own "--version" output (never a program root could not vouch for when this
// process is root).
#include "catalog/ZDApplicationTables.h"

#include <QString>
#include <QStringList>

#include <chrono>

class ZDCatalogueLocator
{
public:
    static constexpr qint64 kMaxStatusBytes = 64 * 1024 * 1024;
    static constexpr qint64 kMaxMetadataBytes = 1024 * 1024;
    static constexpr qsizetype kMaxVersionLength = 64;
    static constexpr std::chrono::seconds kVersionTimeout{5};

    struct Found
    {
        QString path;       // the desktop entry, folder or executable that shows it is installed
        QString executable; // what its processes run; empty when unknown
        QString version;
        QString name;
    };

    ZDCatalogueLocator() = delete;

    // Whether the entry says how to find it on Linux.
    static bool describesLinux(const ZDApplicationTables::App &app);
    static Found locate(const ZDApplicationTables::App &app);
    // The installed version of the first of these packages the package database lists.
    static QString packageVersion(const QStringList &packages);
    // "<release version=...>" of an AppStream metadata file, empty when none.
    static QString metadataVersion(const QString &file);
    // A program name in the computer's program folders, then on the path.
    static QString findProgram(const QString &name);
};
