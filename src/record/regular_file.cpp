// Opening recording and scene files without ever blocking on what is not a regular file: a FIFO or
// a terminal named *.csv would hold the GUI thread in open(2) or read(2). Used by the writer and the
// reader on the GUI thread.
#include "record/record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const char* typeName(mode_t mode) {
    if (S_ISFIFO(mode)) return "a named pipe (FIFO)";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "of an unknown type";
}

std::string notRegularReason(mode_t mode) { return std::string("It is ") + typeName(mode) + ", not a regular file."; }

}  // namespace

std::string systemReason(int error) { return std::string(std::strerror(error)) + "."; }

int openRegularFile(const std::string& path, int flags, std::string& problem) {
    // The type is checked before opening (a FIFO's open would wait for its other end), and again on
    // the descriptor, in case the name was replaced in between; that open cannot wait either.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            problem = notRegularReason(status.st_mode);
            return -1;
        }
    } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
        problem = systemReason(errno);
        return -1;
    }
    const int file = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (file < 0) {
        problem = systemReason(errno);
        return -1;
    }
    if (::fstat(file, &status) != 0) {
        problem = systemReason(errno);
        ::close(file);
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = notRegularReason(status.st_mode);
        ::close(file);
        return -1;
    }
    const int fileFlags = ::fcntl(file, F_GETFL);
    if (fileFlags < 0 || ::fcntl(file, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
        problem = systemReason(errno);
        ::close(file);
        return -1;
    }
    return file;
}
