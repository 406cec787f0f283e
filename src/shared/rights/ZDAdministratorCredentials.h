#pragma once
// An administrator's name and password, held only in this object's memory and
// wiped when it goes away, with the system's own ways of checking and using
// them: PAM for a root process; otherwise su to the administrator and then sudo,
// both in a pseudo-terminal and both answered with the password at their prompt.
#include "process/ZDPseudoTerminal.h"

#include <QString>
#include <QStringList>

#include <memory>

class ZDAdministratorCredentials
{
public:
    ZDAdministratorCredentials(const QString &username, const QString &password);
    ~ZDAdministratorCredentials();
    ZDAdministratorCredentials(const ZDAdministratorCredentials &) = delete;
    ZDAdministratorCredentials &operator=(const ZDAdministratorCredentials &) = delete;

    const QString &username() const { return m_username; }
    // A name su cannot take for an option, and a password a terminal passes on as it is.
    bool isUsable() const;

    // For a root process: PAM accepts the password and the account may administer
    // this computer (root, group sudo or wheel, or allowed by the sudoers policy).
    bool checkAsRoot() const;
    // For any other process: su and sudo both accept the password.
    bool checkThroughSu() const;

    enum class Outcome { Started, Refused, NoTerminal };
    struct Start
    {
        Outcome outcome = Outcome::Refused;
        int error = 0;                                // errno, for NoTerminal
        std::unique_ptr<ZDPseudoTerminal> terminal;   // the running tool, once Started
    };
    // Starts the tool as root; the caller drains and reaps the terminal.
    Start startAsRoot(const QString &tool, const QStringList &arguments) const;

private:
    class Secret;
    QString m_username;
    std::unique_ptr<Secret> m_secret;
};
