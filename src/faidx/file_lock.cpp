#include "faidx/file_lock.hpp"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "faidx/blocking_wait.hpp"

namespace sekvo {

namespace {

// 0: locked (or no locks here); EWOULDBLOCK: held by another; else errno.
int try_lock(int fd, int operation) {
    while (::flock(fd, operation | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return EWOULDBLOCK;
        return 0;  // ENOLCK, EINVAL, EOPNOTSUPP: a file system without flock
    }
    return 0;
}

}  // namespace

int lock_whole_file(int fd, bool exclusive) {
    const int operation = exclusive ? LOCK_EX : LOCK_SH;
    int result = try_lock(fd, operation);
    if (result != EWOULDBLOCK) return result;
    // Polled rather than a blocking flock, so that the wait is bounded.
    run_blocking([&] {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFileLockWaitMilliseconds);
        useconds_t pause = 500;
        while (result == EWOULDBLOCK && Clock::now() < deadline) {
            ::usleep(pause);
            pause = std::min<useconds_t>(pause * 2, 50000);
            result = try_lock(fd, operation);
        }
    });
    return result;
}

}  // namespace sekvo
