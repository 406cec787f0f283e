// Stand-in for the maker's crash-report tool: it is opened with a crash report's
// path and records what it was opened with, one line per opening,
//   "Fennick<TAB>argument<TAB>...\n"
// appended to the file named by KESTRA_STANDIN_LOG (standard output without it).
// Opened on another computer's report ("-remotename" <computer> "-log" <file>) the
// record line is followed by the report's text. Exits 0 when the report (the first
// argument, or the file after "-log") is a readable file, 1 otherwise.
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
    const char *report = argc > 1 ? argv[1] : "";
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "-log")
            report = argv[i + 1];
    if (report != argv[1] && *report) {
        // Bounded: the record is for tests, a report is a few hundred kilobytes at most.
        const int in = ::open(report, O_RDONLY | O_CLOEXEC);
        char buffer[65536];
        ssize_t n = 0;
        while (in >= 0 && line.size() < (std::size_t(4) << 20) && (n = ::read(in, buffer, sizeof buffer)) > 0)
            line.append(buffer, std::size_t(n));
        if (in >= 0)
            ::close(in);
    }

    const char *logPath = std::getenv("KESTRA_STANDIN_LOG");
    const int fd = logPath && *logPath ? ::open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : STDOUT_FILENO;
    if (fd >= 0) {
        // One write, so concurrent openings never interleave within a line.
        while (::write(fd, line.data(), line.size()) < 0 && errno == EINTR) {
        }
        if (fd != STDOUT_FILENO)
            ::close(fd);
    }
    return *report && ::access(report, R_OK) == 0 ? 0 : 1;
}
