#pragma once
// Asks the person at the console for an administrator user name and password for
// one computer. The window answers with a sheet, the command line on the terminal,
// tests with scripted answers. Called on a dispatcher worker thread, one question
// at a time; an implementation that needs the main thread must get there itself.
#include "fleet/ZDService.h"

#include <QString>

class ZDCredentialPrompt
{
public:
    enum class Result { OK, Skip, Cancel };

    struct Request
    {
        ZDServicePtr service;     // may be null when the computer is not in the list
        QString hostName;         // the computer asked for
        QString displayName;      // its name for people
        QString suggestedUser;    // the cached user of the host, else the login name
        bool previousRefused = false; // the last answer for this computer was refused
    };

    struct Answer
    {
        Result result = Result::Cancel;
        QString user;
        QString password;
        bool applyToAll = false;     // use these credentials for every selected computer
        bool keepInKeychain = false; // remember the password in the keychain
    };

    virtual ~ZDCredentialPrompt() = default;
    virtual Answer ask(const Request &request) = 0;
};
