#include "faidx/byte_buffer.hpp"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace sekvo {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on, a block gets its own mapping, in whole 2 MB steps.
constexpr std::size_t kMappedSize = 4 * kHugePage;

std::size_t mapped_length(std::size_t size) { return (size + kHugePage - 1) & ~(kHugePage - 1); }

// The last large block released, kept for the next one of its size or
// smaller: its pages are faulted in already, so the kernel neither faults
// nor zeroes them again (a fresh 100 MB result spends a third of its time
// there). Its length is written in its first bytes while it waits. The
// memory stays with the process until then, at most kKeptMost bytes, and
// is marked MADV_FREE: the kernel takes it back under memory pressure (a
// taken-back page reads as 0, which no caller relies on either way). A
// pointer swapped atomically, so a fork at any moment leaves it sound.
constexpr std::size_t kKeptMost = std::size_t{256} << 20;
std::atomic<char*> g_kept{nullptr};

std::size_t kept_length(const char* block) {
    std::size_t length;
    std::memcpy(&length, block, sizeof length);
    return length;
}

void keep_or_unmap(char* block, std::size_t length) {
    if (length > kKeptMost) {
        ::munmap(block, length);
        return;
    }
#ifdef MADV_FREE
    ::madvise(block, length, MADV_FREE);
#endif
    std::memcpy(block, &length, sizeof length);
    if (char* displaced = g_kept.exchange(block)) ::munmap(displaced, kept_length(displaced));
}

// The kept block cut to `length` when it is at least that long; else null,
// and a block too short is given back rather than held beside the new one.
char* take_kept(std::size_t length) {
    char* block = g_kept.exchange(nullptr);
    if (block == nullptr) return nullptr;
    const std::size_t have = kept_length(block);
    if (have < length) {
        ::munmap(block, have);
        return nullptr;
    }
    if (have > length) ::munmap(block + length, have - length);
    return block;
}

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
    const std::size_t rounded = mapped_length(size);
    // A zeroed block would cost as much to clear as a fresh one to fault in.
    char* block = zero ? nullptr : take_kept(rounded);
    if (block == nullptr) {
        void* fresh = ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (fresh == MAP_FAILED) throw std::bad_alloc();
        block = static_cast<char*>(fresh);
    }
    data_ = block;
    mapped_ = true;
}

void ByteBuffer::release() noexcept {
    if (data_ == nullptr) return;
    if (mapped_) keep_or_unmap(data_, mapped_length(size_));
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
