#pragma once
// Asks for administrator credentials on the controlling terminal, the password
// with echo off. Without a terminal it reads a user name line and a password line
// from standard input; the end of input cancels.
#include "dispatch/ZDCredentialPrompt.h"

#include <functional>
#include <mutex>

class ZDTerminalPrompt : public ZDCredentialPrompt
{
public:
    // applyToAll / keepInKeychain: what every answer asks for (command-line options).
    ZDTerminalPrompt(bool applyToAll, bool keepInKeychain);

    // Called before the prompt writes to the terminal (a progress bar clears its line).
    void setBeforeAsking(std::function<void()> hook) { m_beforeAsking = std::move(hook); }

    Answer ask(const Request &request) override;

    static constexpr int kMaxLineBytes = 1024;

private:
    const bool m_applyToAll;
    const bool m_keepInKeychain;
    std::function<void()> m_beforeAsking;
    std::mutex m_mutex;
};
