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
    // at the same place (empty ones), the one holding the data.
    auto after = std::upper_bound(uncompressed.begin(), uncompressed.end(), offset);
    return after == uncompressed.begin() ? 0 : static_cast<std::size_t>(after - uncompressed.begin()) - 1;
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
