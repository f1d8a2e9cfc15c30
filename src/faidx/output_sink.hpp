// Output to a file descriptor in large writes, for the command line.
#pragma once

#include <cstddef>
#include <string_view>

#include "faidx/byte_buffer.hpp"

namespace sekvo {

class OutputSink {
public:
    // Bytes are written once this many are pending: large writes, from a
    // buffer small enough that faulting it in costs little.
    static constexpr std::size_t kWriteSize = std::size_t{1} << 20;

    explicit OutputSink(int fd);
    OutputSink(const OutputSink&) = delete;
    OutputSink& operator=(const OutputSink&) = delete;

    // Room for `size` more bytes, to be filled by the caller at once.
    char* claim(std::size_t size);
    // Room for a block of `size` bytes, after what is pending, which is
    // written first when the block would not fit beside it.
    char* claim_block(std::size_t size);
    void append(std::string_view text);
    void put(char c) { *claim(1) = c; }
    // Writes what is pending once enough is; flush() writes it all.
    void write_if_full() {
        if (size_ >= kWriteSize) flush();
    }
    void flush();

    // The errno of the first failed write, or 0. After a failure output is
    // dropped: the caller reports the error and stops.
    int error() const { return error_; }

private:
    int fd_;
    int error_ = 0;
    // Not zeroed: every byte is written before use.
    ByteBuffer pending_;
    std::size_t size_ = 0;
};

}  // namespace sekvo
