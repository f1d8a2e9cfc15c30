// Reads and writes on file descriptors that retry after a signal (EINTR)
// and carry on after a short transfer, and a descriptor that closes itself.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace sekvo {

// Owns a file descriptor (or -1) and closes it when dropped.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    // Closes the descriptor it holds, if any, and takes `fd`.
    void reset(int fd = -1) noexcept;
    // Closes now, returning what close(2) returned: a write may report its
    // error only there.
    int close_checked();

private:
    int release() noexcept;

    int fd_ = -1;
};

// Writes all of `bytes`; 0, or the errno of the failure.
int write_all(int fd, std::string_view bytes);
// Appends everything up to the end of the file to `out`; 0, or the errno.
int read_all(int fd, std::string& out);
// Reads `size` bytes at `offset`, fewer only at the end of the file; the
// count read, or -1 with errno set.
ssize_t pread_full(int fd, void* buffer, std::size_t size, off_t offset);

}  // namespace sekvo
