// Stand-in for the maker's crash-report tool: it is opened with a crash report's
// path and records what it was opened with, one line per opening,
//   "Fennick<TAB>argument<TAB>...\n"
// appended to the file named by KESTRA_STANDIN_LOG (standard output without it).
// Exits 0 when the first argument names a readable file, 1 otherwise.
#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    std::string line = "Fennick";
    for (int i = 1; i < argc; ++i)
        line += std::string("\t") + argv[i];
    line += '\n';

    const char *logPath = std::getenv("KESTRA_STANDIN_LOG");
    const int fd = logPath && *logPath ? ::open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : STDOUT_FILENO;
    if (fd >= 0) {
        // One write, so concurrent openings never interleave within a line.
        while (::write(fd, line.data(), line.size()) < 0 && errno == EINTR) {
        }
        if (fd != STDOUT_FILENO)
            ::close(fd);
    }
    return argc > 1 && ::access(argv[1], R_OK) == 0 ? 0 : 1;
}
