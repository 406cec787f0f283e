#pragma once
// A throw-away computer for one test: a temporary folder that becomes
// KESTRA_SYSTEM_ROOT, with the XDG folders (config, data, cache, state, runtime)
// inside it. The previous environment comes back when the sandbox goes away.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QTemporaryDir>
#include <optional>

class ZDTestSandbox
{
public:
    ZDTestSandbox();
    ~ZDTestSandbox();
    ZDTestSandbox(const ZDTestSandbox &) = delete;
    ZDTestSandbox &operator=(const ZDTestSandbox &) = delete;
    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QString home() const { return path(QStringLiteral("home")); }
    // Sets an environment variable for the sandbox's life time.
    void setEnv(const char *name, const QByteArray &value);
    void unsetEnv(const char *name);
    static bool writeFile(const QString &path, const QByteArray &contents);
    static QByteArray readFile(const QString &path);
    // A real utmp file with one login of `user` on terminal `line` (":0" is the console).
    static bool writeUtmp(const QString &file, const char *user, const char *line);

private:
    void remember(const char *name);
    QTemporaryDir m_dir;
    QList<QPair<QByteArray, std::optional<QByteArray>>> m_saved;
};
