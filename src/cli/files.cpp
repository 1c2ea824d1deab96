// The kinds of file the commands take, checked before any work starts.
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int refuse(const std::string& path, const char* why) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), why);
    return CLI_EXIT_USAGE;
}

const char* kindText(mode_t mode) {
    if (S_ISDIR(mode))
        return "is a directory";
    if (S_ISFIFO(mode))
        return "is a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "is a device node, not a regular file";
    return "is not a regular file";
}

} // namespace

int KorvanaCli_checkInputFile(const std::string& path) {
    struct stat st;
    if (path.empty())
        return refuse(path, "no file name given");
    if (stat(path.c_str(), &st) != 0)
        return refuse(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return refuse(path, kindText(st.st_mode));
    if (access(path.c_str(), R_OK) != 0)
        return refuse(path, std::strerror(errno));
    return CLI_EXIT_OK;
}

int KorvanaCli_checkOutputFile(const std::string& path) {
    struct stat st;
    if (path.empty())
        return refuse(path, "no file name given");
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? CLI_EXIT_OK : refuse(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return refuse(path, kindText(st.st_mode));
    return CLI_EXIT_OK;
}
