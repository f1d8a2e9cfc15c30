#include "faidx/block_table.hpp"

#include <algorithm>

namespace sekvo {

namespace {

void append_little_64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint64_t little_64(const char* p) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(p[i]);
    return value;
}

}  // namespace

std::size_t BlockTable::block_of(std::uint64_t offset) const {
    // The last block starting at or before `offset`: among blocks starting
    // at the same place (empty ones), the one holding the data. bgzip fills
    // every block but the last with as much text, so an even spread of the
    // text over the blocks nearly always guesses the block; the search
    // widens from the guess until it brackets `offset`. Batches ask this
    // for every region, and a search of the whole table costs a cache miss
    // a step.
    const std::size_t count = uncompressed.size();
    if (count == 0) return 0;
    const std::uint64_t average = std::max<std::uint64_t>(uncompressed_end / count, 1);
    std::size_t low = static_cast<std::size_t>(std::min<std::uint64_t>(offset / average, count - 1));
    std::size_t high = low + 1;
    for (std::size_t step = 1; low > 0 && uncompressed[low] > offset; step *= 2) {
        high = low;
        low = low > step ? low - step : 0;
    }
    for (std::size_t step = 1; high < count && uncompressed[high] <= offset; step *= 2) {
        low = high;
        high = std::min(count, high + step);
    }
    const auto first = uncompressed.begin();
    const auto after = std::upper_bound(first + static_cast<std::ptrdiff_t>(low), first + static_cast<std::ptrdiff_t>(high), offset);
    return after == first ? 0 : static_cast<std::size_t>(after - first) - 1;
}

std::string format_gzi(const BlockTable& table) {
    std::string out;
    const std::size_t stored = table.blocks() > 0 ? table.blocks() - 1 : 0;
    out.reserve(8 + 16 * stored);
    append_little_64(out, stored);
    for (std::size_t i = 1; i < table.blocks(); ++i) {
        append_little_64(out, table.compressed[i]);
        append_little_64(out, table.uncompressed[i]);
    }
    return out;
}

std::optional<BlockTable> parse_gzi(std::string_view bytes, std::uint64_t compressed_size, std::string& problem) {
    if (bytes.size() < 8) {
        problem = "is too short to hold its entry count";
        return std::nullopt;
    }
    const std::uint64_t count = little_64(bytes.data());
    if (count > (bytes.size() - 8) / 16 || bytes.size() != 8 + 16 * count) {
        problem = "says it holds " + std::to_string(count) + " entries but its size is " +
                  std::to_string(bytes.size()) + " bytes";
        return std::nullopt;
    }
    BlockTable table;
    table.compressed.reserve(count + 1);
    table.uncompressed.reserve(count + 1);
    table.compressed.push_back(0);
    table.uncompressed.push_back(0);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t compressed = little_64(bytes.data() + 8 + 16 * i);
        const std::uint64_t uncompressed = little_64(bytes.data() + 16 + 16 * i);
        if (compressed <= table.compressed.back() || compressed >= compressed_size ||
            uncompressed < table.uncompressed.back()) {
            problem = "entry " + std::to_string(i) + " (block at offset " + std::to_string(compressed) +
                      ") is out of order or past the end of the file";
            return std::nullopt;
        }
        table.compressed.push_back(compressed);
        table.uncompressed.push_back(uncompressed);
    }
    return table;
}

}  // namespace sekvo
