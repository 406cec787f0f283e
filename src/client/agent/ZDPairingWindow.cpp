#include "agent/ZDPairingWindow.h"

#include "log/ZDLog.h"
#include "platform/ZDLocalPaths.h"
#include "platform/ZDNoFollow.h"
#include "rpc/ZDOrvProtocol.h"
#include "trust/ZDEnrolledConsoles.h"
#include "trust/ZDTlsIdentity.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <pwd.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxLine = 512;
// A peer that connected has this long to say what it wants.
constexpr int kRequestWaitMs = 3000;

bool fillAddress(const QString &path, sockaddr_un &address)
{
    const QByteArray encoded = QFile::encodeName(path);
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (encoded.size() >= qsizetype(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    return true;
}

// A peer that does not read never holds a writer up for long.
void boundWrites(int fd)
{
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

ZDOwnedFd connectTo(const QString &path)
{
    sockaddr_un address{};
    if (!fillAddress(path, address))
        return {};
    ZDOwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.isValid() || ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return {};
    boundWrites(fd.get());
    return fd;
}

// Only root may have made or changed it: a folder others can write lets them swap the socket.
bool isRootsOnly(const QString &path, bool wantSocket)
{
    struct stat st{};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || st.st_uid != 0)
        return false;
    if (wantSocket)
        return S_ISSOCK(st.st_mode);
    return S_ISDIR(st.st_mode) && (st.st_mode & 022) == 0;
}

bool makeRootFolder(const QString &path, QString *error)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0755) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot make %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!isRootsOnly(path, false)) {
        *error = QStringLiteral("%1 is not a folder only root may change").arg(path);
        return false;
    }
    return true;
}

void writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

void say(int out, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(out, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

// One line of at most kMaxLine bytes, within timeoutMs; empty on silence, end or excess.
QByteArray readLine(int fd, int timeoutMs)
{
    QByteArray line;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (line.size() < kMaxLine) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
            return {};
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        if (c == '\n')
            return line.isEmpty() ? QByteArray(" ") : line;
        line += c;
    }
    return {};
}

QString userOf(int fd)
{
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return QStringLiteral("an unknown user");
    const passwd *pw = ::getpwuid(cred.uid);
    return QStringLiteral("user %1 (uid %2)")
        .arg(pw ? QString::fromLocal8Bit(pw->pw_name) : QStringLiteral("?"))
        .arg(cred.uid);
}

struct Request
{
    QString console;
    QString agent;
};

// "pair CONSOLE AGENT": two fingerprints.
bool parseRequest(const QByteArray &line, Request *request)
{
    const QList<QByteArray> words = line.trimmed().split(' ');
    if (words.size() != 3 || words.at(0) != "pair")
        return false;
    request->console = ZDTlsIdentity::normalizeFingerprint(QString::fromLatin1(words.at(1)));
    request->agent = ZDTlsIdentity::normalizeFingerprint(QString::fromLatin1(words.at(2)));
    return !request->console.isEmpty() && !request->agent.isEmpty();
}

class SocketFile
{
public:
    explicit SocketFile(QString path) : m_path(std::move(path)) {}
    ~SocketFile() { ::unlink(QFile::encodeName(m_path).constData()); }
    SocketFile(const SocketFile &) = delete;
    SocketFile &operator=(const SocketFile &) = delete;

private:
    QString m_path;
};

} // namespace

QString ZDPairingWindow::folder()
{
    return ZDLocalPaths::systemPath(QStringLiteral("/run/kestra"));
}

QString ZDPairingWindow::socketPath()
{
    return folder() + QStringLiteral("/pair.sock");
}

int ZDPairingWindow::hold(int minutes, int in, int out)
{
    QString error;
    const QString run = ZDLocalPaths::systemPath(QStringLiteral("/run"));
    if (!makeRootFolder(run, &error) || !makeRootFolder(folder(), &error)) {
        say(out, QStringLiteral("KestraClient: %1\n").arg(error));
        return 1;
    }
    const QString path = socketPath();
    if (connectTo(path).isValid()) {
        say(out, QStringLiteral("KestraClient: a pairing window is open already on this computer\n"));
        return 1;
    }
    ::unlink(QFile::encodeName(path).constData());
    sockaddr_un address{};
    ZDOwnedFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fillAddress(path, address) || !listener.isValid()
        || ::bind(listener.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        say(out, QStringLiteral("KestraClient: cannot open the pairing window at %1: %2\n")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return 1;
    }
    const SocketFile removeAtEnd(path);
    // The agent runs as the session user: it must be able to connect.
    if (::chmod(QFile::encodeName(path).constData(), 0666) != 0 || ::listen(listener.get(), 8) != 0) {
        say(out, QStringLiteral("KestraClient: cannot open the pairing window: %1\n")
                     .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return 1;
    }
    const auto deadline = Clock::now() + std::chrono::minutes(minutes);
    say(out, QStringLiteral("Pairing window open for %1 minute(s), until %2: on the console, run \"kestra pair HOST\" "
                            "(or Pair... on the computer) for this computer.\n")
                 .arg(minutes)
                 .arg(QDateTime::currentDateTime().addSecs(qint64(minutes) * 60).toString(QStringLiteral("HH:mm:ss"))));

    ZDOwnedFd pending;
    Request request;
    QByteArray typed;
    bool inputOpen = true;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd fds[3] = {{listener.get(), POLLIN, 0}, {pending.get(), POLLIN, 0}, {in, POLLIN, 0}};
        if (!pending.isValid() || !inputOpen)
            fds[2].fd = -1;
        const int ready = ::poll(fds, 3, int(std::min<long long>(left, 60000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            ZDOwnedFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (peer.isValid()) {
                boundWrites(peer.get());
                Request asked;
                if (pending.isValid()) {
                    // One question at a time: the second asker is told so at once.
                    writeAll(peer.get(), QByteArray(ZDOrv::kPairingBusy) + '\n');
                    say(out, QStringLiteral("\nAnother pairing request came in while one waits: refused.\n"));
                } else if (parseRequest(readLine(peer.get(), kRequestWaitMs), &asked)) {
                    request = asked;
                    pending = std::move(peer);
                    say(out, QStringLiteral("\nConsole %1 asks to pair with this computer (agent key %2, through the "
                                            "agent of %3).\nPairing code: %4\nPair it only if the console shows the "
                                            "same code. Pair? [y/N] ")
                                 .arg(request.console, request.agent, userOf(pending.get()),
                                      ZDTlsIdentity::pairingCode(request.console, request.agent)));
                }
            }
        }
        if (pending.isValid() && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            // The agent says nothing more: a reading here is its end (the console went away).
            char c = 0;
            if (::recv(pending.get(), &c, 1, MSG_DONTWAIT) <= 0) {
                pending = ZDOwnedFd();
                typed.clear();
                say(out, QStringLiteral("\nThe request was withdrawn (the console went away); the window stays open.\n"));
                continue;
            }
        }
        if (pending.isValid() && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            char c = 0;
            const ssize_t n = ::read(in, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0 && c != '\n') {
                if (typed.size() < kMaxLine)
                    typed += c;
                continue;
            }
            if (n <= 0)
                inputOpen = false; // no one to answer: a no
            const QByteArray answer = typed.trimmed().toLower();
            if (!::isatty(in)) // a piped answer shows as if typed
                say(out, QString::fromLocal8Bit(typed.trimmed()) + QLatin1Char('\n'));
            typed.clear();
            if (answer == "y" || answer == "yes") {
                if (!ZDEnrolledConsoles().add(request.console, &error)) {
                    writeAll(pending.get(), QByteArray(ZDOrv::kPairingRefused) + '\n');
                    say(out, QStringLiteral("KestraClient: %1\n").arg(error));
                    return 1;
                }
                writeAll(pending.get(), QByteArray(ZDOrv::kPairingAccepted) + '\n');
                ZDLog::appendLog(QStringLiteral("Paired: enrolled console %@."), request.console);
                say(out, QStringLiteral("Enrolled %1. The pairing window is closed.\n").arg(request.console));
                return 0;
            }
            writeAll(pending.get(), QByteArray(ZDOrv::kPairingRefused) + '\n');
            say(out, QStringLiteral("Refused: nothing enrolled. The pairing window is closed.\n"));
            return 1;
        }
    }
    if (pending.isValid())
        writeAll(pending.get(), QByteArray(ZDOrv::kPairingExpired) + '\n');
    say(out, QStringLiteral("\nThe pairing window closed at its deadline: nothing enrolled.\n"));
    return 1;
}

QString ZDPairingWindow::request(const QString &consoleFingerprint, const QString &agentFingerprint)
{
    const QString none = QString::fromLatin1(ZDOrv::kPairingNoWindow);
    if (!isRootsOnly(folder(), false) || !isRootsOnly(socketPath(), true))
        return none;
    // One request of this agent's at a time; root's window holds one of all.
    static std::atomic<bool> asking{false};
    if (asking.exchange(true))
        return QString::fromLatin1(ZDOrv::kPairingBusy);
    struct Release
    {
        ~Release() { asking = false; }
    } release;
    const ZDOwnedFd fd = connectTo(socketPath());
    if (!fd.isValid())
        return none;
    writeAll(fd.get(), QStringLiteral("pair %1 %2\n").arg(consoleFingerprint, agentFingerprint).toLatin1());
    // Root answers by its deadline at the latest.
    const QByteArray answer = readLine(fd.get(), (kMaxMinutes + 1) * 60 * 1000).trimmed();
    for (const char *word : {ZDOrv::kPairingAccepted, ZDOrv::kPairingRefused, ZDOrv::kPairingBusy, ZDOrv::kPairingExpired})
        if (answer == word)
            return QString::fromLatin1(word);
    return none;
}
