#include "faidx/fifo_open.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace sekvo {

namespace {

using Clock = std::chrono::steady_clock;

void make_blocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

int milliseconds_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

int await_fifo_writer(int fd) {
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode)) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFifoPeerWaitMilliseconds);
        pollfd wanted{fd, POLLIN, 0};
        for (;;) {
            int ready = ::poll(&wanted, 1, milliseconds_left(deadline));
            if (ready > 0) break;
            if (ready == 0) return ETIMEDOUT;
            if (errno != EINTR) return errno;
        }
    }
    make_blocking(fd);
    return 0;
}

int open_for_writing_bounded(const std::string& path, bool create) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFifoPeerWaitMilliseconds);
    for (;;) {
        int fd = ::open(path.c_str(), O_WRONLY | (create ? O_CREAT : 0) | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd >= 0) {
            make_blocking(fd);
            return fd;
        }
        if (errno != ENXIO || milliseconds_left(deadline) == 0) return -1;
        ::usleep(10000);
    }
}

}  // namespace sekvo
