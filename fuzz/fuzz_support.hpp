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
#include <string_view>

#include "common/posix_io.hpp"

namespace fuzz {

// An anonymous file whose whole content is replaced for each input.
class MemoryFile {
public:
    MemoryFile() : file_(::memfd_create("sekvo-fuzz", MFD_CLOEXEC)) {
        if (!file_.is_open()) {
            std::perror("memfd_create");
            std::abort();
        }
    }
    int fd() const { return file_.get(); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd()); }
    void assign(const std::uint8_t* data, std::size_t size) {
        const std::string_view bytes(reinterpret_cast<const char*>(data), size);
        if (::ftruncate(fd(), 0) != 0 || ::lseek(fd(), 0, SEEK_SET) != 0 || sekvo::write_all(fd(), bytes) != 0)
            std::abort();
    }

private:
    sekvo::FileDescriptor file_;
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
