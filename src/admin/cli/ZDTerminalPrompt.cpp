#include "ZDTerminalPrompt.h"

#include "ZDCliOutput.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// One line, without its end; none at the end of input. Longer lines are cut.
std::optional<std::string> readLine(FILE *in)
{
    std::string line;
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < size_t(ZDTerminalPrompt::kMaxLineBytes))
            line.push_back(char(c));
    }
    if (!any)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// Echo off for as long as it lives.
class EchoOff
{
public:
    explicit EchoOff(int fd) : m_fd(fd)
    {
        if (::tcgetattr(fd, &m_saved) == 0) {
            termios quiet = m_saved;
            quiet.c_lflag &= ~tcflag_t(ECHO);
            m_active = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~EchoOff()
    {
        if (m_active)
            ::tcsetattr(m_fd, TCSAFLUSH, &m_saved);
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

private:
    int m_fd;
    termios m_saved{};
    bool m_active = false;
};

void wipe(std::string &s)
{
    std::fill(s.begin(), s.end(), '\0');
}

} // namespace

ZDTerminalPrompt::ZDTerminalPrompt(bool applyToAll, bool keepInKeychain)
    : m_applyToAll(applyToAll), m_keepInKeychain(keepInKeychain)
{
}

ZDCredentialPrompt::Answer ZDTerminalPrompt::ask(const Request &request)
{
    std::lock_guard lock(m_mutex);
    if (m_beforeAsking)
        m_beforeAsking();
    Answer answer;
    answer.applyToAll = m_applyToAll;
    answer.keepInKeychain = m_keepInKeychain;

    const bool interactive = ::isatty(STDIN_FILENO) == 1;
    FILE *in = stdin;
    FILE *out = stderr;
    const QByteArray name = ZDCliOutput::terminalText(request.displayName).toUtf8();
    if (request.previousRefused)
        std::fprintf(out, "Invalid username or password\nPlease enter a valid admin username and password for %s.\n",
                     name.constData());
    else
        std::fprintf(out, "Administrator credentials for %s (\"-\" skips this computer)\n", name.constData());
    const QByteArray suggested = ZDCliOutput::terminalText(request.suggestedUser).toUtf8();
    if (interactive) {
        std::fprintf(out, "User name [%s]: ", suggested.constData());
        std::fflush(out);
    }
    std::optional<std::string> user = readLine(in);
    if (!user)
        return answer; // Cancel
    if (*user == "-") {
        answer.result = Result::Skip;
        return answer;
    }
    answer.user = user->empty() ? request.suggestedUser : QString::fromStdString(*user);
    std::optional<std::string> password;
    if (interactive) {
        std::fputs("Password: ", out);
        std::fflush(out);
        {
            EchoOff quiet(STDIN_FILENO);
            password = readLine(in);
        }
        std::fputs("\n", out);
    } else {
        password = readLine(in);
    }
    if (!password)
        return answer;
    answer.password = QString::fromStdString(*password);
    wipe(*password);
    answer.result = Result::OK;
    return answer;
}
