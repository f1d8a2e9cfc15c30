#include "common/posix_io.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace sekvo {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int FileDescriptor::close_checked() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
}

int FileDescriptor::release() noexcept { return std::exchange(fd_, -1); }

int write_all(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, p, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

int read_all(int fd, std::string& out) {
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        out.reserve(out.size() + static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        out.append(buffer, static_cast<std::size_t>(got));
    }
}

ssize_t pread_full(int fd, void* buffer, std::size_t size, off_t offset) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, out + done, size - done, offset + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace sekvo
