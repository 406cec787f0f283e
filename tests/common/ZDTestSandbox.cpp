#include "ZDTestSandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <paths.h>
#include <utmpx.h>

ZDTestSandbox::ZDTestSandbox()
    : m_dir(QDir::tempPath() + QStringLiteral("/kestra-test-XXXXXX"))
{
    if (!m_dir.isValid())
        return;
    const QString h = home();
    for (const char *sub : {"home", "home/.config", "home/.local/share", "home/.cache", "home/.local/state", "run"})
        QDir().mkpath(path(QString::fromLatin1(sub)));
    QFile::setPermissions(path(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setEnv("KESTRA_SYSTEM_ROOT", root().toUtf8());
    setEnv("HOME", h.toUtf8());
    setEnv("XDG_CONFIG_HOME", (h + QStringLiteral("/.config")).toUtf8());
    setEnv("XDG_DATA_HOME", (h + QStringLiteral("/.local/share")).toUtf8());
    setEnv("XDG_CACHE_HOME", (h + QStringLiteral("/.cache")).toUtf8());
    setEnv("XDG_STATE_HOME", (h + QStringLiteral("/.local/state")).toUtf8());
    setEnv("XDG_RUNTIME_DIR", path(QStringLiteral("run")).toUtf8());
    unsetEnv("XDG_DOCUMENTS_DIR");
    unsetEnv("XDG_DESKTOP_DIR");
    unsetEnv("XDG_VIDEOS_DIR");
}

ZDTestSandbox::~ZDTestSandbox()
{
    for (auto it = m_saved.crbegin(); it != m_saved.crend(); ++it) {
        if (it->second)
            qputenv(it->first.constData(), *it->second);
        else
            qunsetenv(it->first.constData());
    }
}

void ZDTestSandbox::remember(const char *name)
{
    for (const auto &s : m_saved)
        if (s.first == name)
            return;
    std::optional<QByteArray> old;
    if (qEnvironmentVariableIsSet(name))
        old = qgetenv(name);
    m_saved.append({QByteArray(name), old});
}

void ZDTestSandbox::setEnv(const char *name, const QByteArray &value)
{
    remember(name);
    qputenv(name, value);
}

void ZDTestSandbox::unsetEnv(const char *name)
{
    remember(name);
    qunsetenv(name);
}

bool ZDTestSandbox::writeFile(const QString &filePath, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    QFile f(filePath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(contents) == contents.size();
}

QByteArray ZDTestSandbox::readFile(const QString &filePath)
{
    QFile f(filePath);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool ZDTestSandbox::writeUtmp(const QString &file, const char *user, const char *line)
{
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.close();
    const QByteArray path = QFile::encodeName(file);
    if (utmpxname(path.constData()) != 0)
        return false;
    setutxent();
    struct utmpx u {};
    u.ut_type = USER_PROCESS;
    u.ut_pid = 4242;
    std::strncpy(u.ut_line, line, sizeof u.ut_line - 1);
    std::strncpy(u.ut_id, "k1", sizeof u.ut_id);
    std::strncpy(u.ut_user, user, sizeof u.ut_user - 1);
    const bool ok = pututxline(&u) != nullptr;
    endutxent();
    utmpxname(_PATH_UTMPX);
    return ok;
}
