// Prints the descriptors it was started with, space-separated, on one line.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <set>

int main()
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return 1;
    const int own = ::dirfd(dir);
    std::set<int> fds;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own)
            fds.insert(fd);
    }
    ::closedir(dir);
    const char *separator = "";
    for (const int fd : fds) {
        std::printf("%s%d", separator, fd);
        separator = " ";
    }
    std::printf("\n");
    return 0;
}
