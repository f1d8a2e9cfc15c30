// Result buffers: a large block released is used again, and must then be
// wholly usable at its new size, while zeroed requests still read 0.
#include <cstring>

#include "check.hpp"
#include "faidx/byte_buffer.hpp"

using namespace sekvo;

namespace {

constexpr std::size_t kLarge = std::size_t{24} << 20;  // past the size that gets its own mapping

void fill(ByteBuffer& buffer, char c) { std::memset(buffer.data(), c, buffer.size()); }

bool all_are(const ByteBuffer& buffer, char c) {
    for (std::size_t i = 0; i < buffer.size(); ++i)
        if (buffer.data()[i] != c) return false;
    return true;
}

}  // namespace

CORE_TEST(byte_buffer_zeroed_reads_zero_after_a_dirty_block_was_released) {
    for (std::size_t size : {std::size_t{100}, kLarge, kLarge - 12345}) {
        {
            ByteBuffer dirty(size);
            fill(dirty, 'x');
        }
        ByteBuffer clean(size, ByteBuffer::zeroed);
        CHECK_EQ(clean.size(), size);
        CHECK(all_are(clean, 0));
    }
}

CORE_TEST(byte_buffer_blocks_used_again_are_whole_at_every_size) {
    // Same size, smaller (the kept block is cut), larger (a new block), and
    // two alive at once (only one can be the kept one).
    for (std::size_t size : {kLarge, kLarge / 2 + 7, kLarge * 2, kLarge - 1}) {
        ByteBuffer first(size);
        ByteBuffer second(size);
        fill(first, 'a');
        fill(second, 'b');
        CHECK(all_are(first, 'a'));
        CHECK(all_are(second, 'b'));
        ByteBuffer moved(std::move(first));
        CHECK_EQ(moved.size(), size);
        CHECK(all_are(moved, 'a'));
    }
}
