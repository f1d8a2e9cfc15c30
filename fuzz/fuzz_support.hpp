// Helpers shared by the fuzz harnesses: an in-memory file for the code that
// reads through a file descriptor, a way to silence the warning lines the
// core writes to standard error, and a check that stops the run with a
// report libFuzzer keeps as a crash.
#pragma once

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// An anonymous file whose whole content is replaced for each input.
class MemoryFile {
public:
    MemoryFile() : fd_(::memfd_create("sekvo-fuzz", MFD_CLOEXEC)) {
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
    }
    int fd() const { return fd_; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }
    void assign(const std::uint8_t* data, std::size_t size) {
        if (::ftruncate(fd_, 0) != 0) std::abort();
        for (std::size_t done = 0; done < size;) {
            ssize_t written = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (written <= 0) std::abort();
            done += static_cast<std::size_t>(written);
        }
    }

private:
    int fd_;
};

// Where failed checks and sanitizer reports go: a copy of the real standard
// error, so they get through while QuietStderr is in force.
inline int& report_fd() {
    static int fd = 2;
    return fd;
}

// Points file descriptor 2 at /dev/null while alive (the scan writes a
// warning line for every ragged record, which would drown libFuzzer's
// output). Call prepare() once first.
class QuietStderr {
public:
    static void prepare() {
        report_fd() = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(report_fd())));
        null_fd() = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    QuietStderr() { ::dup2(null_fd(), 2); }
    ~QuietStderr() { ::dup2(report_fd(), 2); }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    static int& null_fd() {
        static int fd = -1;
        return fd;
    }
};

[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    ::dprintf(report_fd(), "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(condition)                                               \
    do {                                                                    \
        if (!(condition)) ::fuzz::fail(__FILE__, __LINE__, #condition);     \
    } while (0)
