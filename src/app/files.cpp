// Opening a user's file without ever blocking on what is not a regular file, and writing a whole
// buffer to a descriptor: the one open of the program, used by every subsystem that reads or writes a
// user's file (settings, recordings, scenes, exports, captures, the tools), and the write loop of all
// but the raw capture writer (it counts each write as it lands) and the simulator (it tells a reader
// that has gone from a failure). Any thread.
#include "app/app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool writeWhole(int file, const void* data, size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(file, next, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        if (written == 0) {  // nothing taken and no error: give up rather than spin
            errno = EIO;
            return false;
        }
        next += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

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

// A failed open: the reason for the user, with errno left at the cause for the caller.
int refuse(std::string& problem, int error, const std::string& reason) {
    problem = reason;
    errno = error;
    return -1;
}

int refuseSystem(std::string& problem, int error) { return refuse(problem, error, systemReason(error)); }

}  // namespace

std::string systemReason(int error) { return std::string(std::strerror(error)) + "."; }

int openRegularFile(const std::string& path, int flags, std::string& problem) {
    // The type is checked before opening (a FIFO's open would wait for its other end), and again on
    // the descriptor, in case the name was replaced in between; that open cannot wait either.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) return refuse(problem, EINVAL, notRegularReason(status.st_mode));
    } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
        return refuseSystem(problem, errno);
    }
    const int file = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (file < 0) return refuseSystem(problem, errno);
    int error = 0;
    std::string reason;
    if (::fstat(file, &status) != 0) {
        error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        error = EINVAL;
        reason = notRegularReason(status.st_mode);
    } else if (const int fileFlags = ::fcntl(file, F_GETFL);
               fileFlags < 0 || ::fcntl(file, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
        error = errno;
    }
    if (error == 0) return file;
    ::close(file);
    return refuse(problem, error, reason.empty() ? systemReason(error) : reason);
}
