// One large, immutable-once-filled block of bytes for columnar results.
// Large blocks are mapped anonymously, on 4 kB pages: huge pages were tried
// and cost more in a fresh process, as a virtual machine that hands freed
// memory back to its host charges 3 to 5 times as much per byte to fault in
// a fresh huge page. The last large block released is kept for the next
// one of its size or smaller, so that repeated batches skip the kernel's
// faulting and zeroing (see the .cpp).
#pragma once

#include <cstddef>

namespace sekvo {

class ByteBuffer {
public:
    ByteBuffer() = default;
    enum Zeroed { zeroed };
    // Throws std::bad_alloc when the memory cannot be had. The bytes are
    // not set: a block kept from before holds what it held.
    explicit ByteBuffer(std::size_t size);
    // The same, every byte 0 (fresh mappings are, at no cost).
    ByteBuffer(std::size_t size, Zeroed);
    ~ByteBuffer();
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    char* data() { return data_; }
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void allocate(std::size_t size, bool zero);
    void release() noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace sekvo
