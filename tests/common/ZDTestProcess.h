#pragma once
// Small shared steps of tests that set up accounts and application folders.
#include "ZDTestFixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace zdtest {

// As a crash would: the child is killed, reaped and forgotten.
inline void killChild(std::unique_ptr<QProcess> &child)
{
    if (!child)
        return;
    child->kill();
    child->waitForFinished(10000);
    child.reset();
}

// Exit status of a program fed `input` on its standard input; -1 when it did not start or crashed.
inline int run(const QString &program, const QStringList &arguments, const QByteArray &input = {})
{
    return runProgram(program, arguments, {}, input).exit();
}

inline void removeAccount(const QString &name)
{
    run(QStringLiteral("/usr/sbin/userdel"), {QStringLiteral("-r"), QStringLiteral("-f"), name});
}

// A fresh account with a home and that password, in group sudo when an administrator
// (an old account of that name goes first); as root only.
inline bool makeAccount(const QString &name, const QString &password, bool administrator)
{
    removeAccount(name);
    const QStringList groups = administrator ? QStringList{QStringLiteral("-G"), QStringLiteral("sudo")} : QStringList{};
    return run(QStringLiteral("/usr/sbin/useradd"), QStringList{QStringLiteral("-m")} + groups + QStringList{name}) == 0
        && run(QStringLiteral("/usr/sbin/chpasswd"), {}, (name + QLatin1Char(':') + password + QLatin1Char('\n')).toUtf8()) == 0;
}

// Copies a folder tree with its permissions (application folders keep their executables).
inline bool copyTree(const QString &from, const QString &to)
{
    if (!QDir().mkpath(to))
        return false;
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        if (it.fileInfo().isDir()) {
            if (!QDir().mkpath(target))
                return false;
        } else if (!QFile::copy(source, target)) {
            return false;
        } else {
            QFile::setPermissions(target, it.fileInfo().permissions());
        }
    }
    return true;
}

} // namespace zdtest
