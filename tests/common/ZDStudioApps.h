#pragma once
// A Linux editing workstation inside a test's system root: Kdenlive and Blender laid
// out as their Debian packages lay them out (desktop entries, programs that answer
// --version as the real ones do, the package database), and a fingerprint of a
// folder tree that shows any change below it, links included.
#include "ZDTestSandbox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

namespace zdtest {

struct StudioApps
{
    QString kdenlive; // the package's version in the package database; empty: not installed
    QString blender;  // what the program's --version says; empty: not installed
};

inline bool writeStudioFile(const QString &path, const QByteArray &text, bool executable = false)
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && ZDTestSandbox::writeFile(path, text)
        && (!executable || QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

// Blender's package is listed as removed with its configuration kept, so its version
// can only come from the program itself.
inline bool layOutStudioApps(const QString &root, const StudioApps &apps)
{
    bool ok = true;
    QByteArray status;
    if (!apps.kdenlive.isEmpty()) {
        ok = ok && writeStudioFile(root + QStringLiteral("/usr/share/applications/org.kde.kdenlive.desktop"),
                                   "[Desktop Entry]\nType=Application\nName=Kdenlive\nExec=kdenlive %F\nIcon=kdenlive\n"
                                   "[Desktop Action new]\nName=New Project\nExec=kdenlive --new\n")
            && writeStudioFile(root + QStringLiteral("/usr/bin/kdenlive"), "#!/bin/sh\necho 'kdenlive 99.99'\n", true);
        status += "Package: kdenlive\nStatus: install ok installed\nArchitecture: amd64\nVersion: " + apps.kdenlive.toUtf8()
                  + "\nDescription: non-linear video editor\n\n";
    }
    if (!apps.blender.isEmpty()) {
        ok = ok && writeStudioFile(root + QStringLiteral("/usr/share/applications/blender.desktop"),
                                   "[Desktop Entry]\nName=Blender\nExec=blender %f\nIcon=blender\nType=Application\n")
            && writeStudioFile(root + QStringLiteral("/usr/bin/blender"),
                               "#!/bin/sh\nprintf 'Blender " + apps.blender.toUtf8() + "\\n\\tbuild date: 2024-01-08\\n'\n", true);
    }
    status += "Package: blender\nStatus: deinstall ok config-files\nVersion: 3.4.1+dfsg-2\n\n";
    return ok && writeStudioFile(root + QStringLiteral("/var/lib/dpkg/status"), status);
}

// Names, kinds, modes, link targets and contents of everything below a folder.
inline QByteArray treeHash(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        QString entry = path.mid(folder.size()) + QLatin1Char(' ') + QString::number(st.st_mode, 8);
        if (S_ISLNK(st.st_mode))
            entry += QStringLiteral(" -> ") + QFile::symLinkTarget(path);
        else if (S_ISREG(st.st_mode))
            entry += QLatin1Char(' ')
                     + QString::fromLatin1(QCryptographicHash::hash(ZDTestSandbox::readFile(path), QCryptographicHash::Sha256).toHex());
        entries << entry;
    }
    entries.sort();
    return QCryptographicHash::hash(entries.join(QLatin1Char('\n')).toUtf8(), QCryptographicHash::Sha256).toHex();
}

} // namespace zdtest
