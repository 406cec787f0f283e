#pragma once
// The agent's computer-wide list of consoles it trusts and whether it talks to
// those alone, in one file only root may change. A file that is not root's, or
// that others may write, trusts no console and asks for enrolment: it cannot be
// told from one an attacker placed.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class ZDEnrolledConsoles
{
public:
    struct State
    {
        bool requireEnrolled = false;
        QStringList fingerprints;
        QString problem; // why the file was not trusted, else empty
    };

    // <system root>/etc/xdg/com.zendrel.KestraClient.consoles.plist
    static QString defaultPath();
    explicit ZDEnrolledConsoles(QString path = defaultPath());

    State read() const;
    bool isEnrolled(const QString &fingerprint) const;

    // Writers (root): false and a reason on failure.
    bool setRequireEnrolled(bool require, QString *error) const;
    bool add(const QString &fingerprint, QString *error) const;
    bool remove(const QString &fingerprint, QString *error) const;
    // Takes a token once, before its expiry (and not one claiming more than a week ahead).
    bool enroll(const QString &token, const QDateTime &now, QString *fingerprint, QString *error) const;

    static constexpr int kMaxConsoles = 1000;
    static constexpr int kMaxTokenDays = 7;

private:
    bool update(const std::function<bool(QVariantMap &, QString *)> &change, QString *error) const;
    QString m_path;
};
