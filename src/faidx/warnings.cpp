#include "faidx/warnings.hpp"

#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>

#include "faidx/blocking_wait.hpp"

namespace sekvo {

namespace {

// One line at a time, so that a line written in pieces stays whole.
std::mutex g_line_mutex;

void wait_until_writable(int fd) {
    pollfd wanted{fd, POLLOUT, 0};
    run_blocking([&] {
        while (::poll(&wanted, 1, -1) < 0 && errno == EINTR) {
        }
    });
}

// Writes the line, never blocking in write(2) while it would keep the
// interpreter from running the stream's reader: a pipe or socket takes at
// most PIPE_BUF bytes at a time, and only once poll says it has room (a
// free pipe slot holds a whole PIPE_BUF write).
void write_line(const std::string& line) {
    struct stat info;
    const bool stream = ::fstat(STDERR_FILENO, &info) != 0 || !S_ISREG(info.st_mode);
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        pollfd ready{STDERR_FILENO, POLLOUT, 0};
        int polled = ::poll(&ready, 1, 0);
        if (polled == 0) {
            wait_until_writable(STDERR_FILENO);
            continue;
        }
        if (polled < 0 && errno == EINTR) continue;
        ssize_t written = ::write(STDERR_FILENO, p, stream ? std::min<std::size_t>(left, PIPE_BUF) : left);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                wait_until_writable(STDERR_FILENO);
                continue;
            }
            return;  // nowhere to report a broken standard error stream
        }
        p += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void write_warning(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 10);
    line.append("WARNING: ").append(text).push_back('\n');
    // Never wait for another writer while holding the interpreter: that
    // writer may need it back to finish.
    std::unique_lock lock(g_line_mutex, std::try_to_lock);
    if (!lock.owns_lock()) run_blocking([&] { lock.lock(); });
    write_line(line);
}

}  // namespace sekvo
