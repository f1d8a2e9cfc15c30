#include "faidx/byte_buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <utility>

namespace sekvo {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on, a block gets its own mapping aligned to huge pages.
constexpr std::size_t kMappedSize = 4 * kHugePage;

}  // namespace

ByteBuffer::ByteBuffer(std::size_t size) { allocate(size, false); }
ByteBuffer::ByteBuffer(std::size_t size, Zeroed) { allocate(size, true); }

void ByteBuffer::allocate(std::size_t size, bool zero) {
    size_ = size;
    if (size < kMappedSize) {
        // Never a null pointer, even for 0 bytes: views of it need an address.
        const std::size_t bytes = size == 0 ? 1 : size;
        data_ = static_cast<char*>(zero ? std::calloc(bytes, 1) : std::malloc(bytes));
        if (data_ == nullptr) throw std::bad_alloc();
        return;
    }
    const std::size_t rounded = (size + kHugePage - 1) & ~(kHugePage - 1);
    void* block = ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    ::madvise(block, rounded, MADV_HUGEPAGE);
    data_ = static_cast<char*>(block);
    size_ = size;
    mapped_ = true;
}

void ByteBuffer::release() noexcept {
    if (data_ == nullptr) return;
    if (mapped_) ::munmap(data_, (size_ + kHugePage - 1) & ~(kHugePage - 1));
    else std::free(data_);
    data_ = nullptr;
}

ByteBuffer::~ByteBuffer() { release(); }

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)), mapped_(other.mapped_) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = other.mapped_;
    }
    return *this;
}

}  // namespace sekvo
