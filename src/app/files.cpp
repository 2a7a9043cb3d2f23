// Writing a whole buffer to a file descriptor, for the recording writer, the exports, the screenshot,
// the settings and the stream decoder. (The raw capture writer counts each write as it lands, and the
// simulator tells a reader that has gone from a failure, so each has a loop of its own.) Any thread.
#include "app/app.h"

#include <unistd.h>

#include <cerrno>

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
