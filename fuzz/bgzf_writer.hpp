// BGZF files for the fuzz harnesses without a compressor: each block holds
// its text as one stored (uncompressed) deflate block.
#pragma once

#include <cstdint>
#include <string>

namespace fuzz {

inline std::uint32_t crc32_of(const std::string& data) {
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void put_little(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

inline std::string stored_block(const std::string& text) {
    std::string deflated("\x01", 1);  // final block, stored
    put_little(deflated, static_cast<std::uint32_t>(text.size()), 2);
    put_little(deflated, static_cast<std::uint32_t>(~text.size() & 0xffff), 2);
    deflated += text;
    std::string block("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);
    put_little(block, static_cast<std::uint32_t>(18 + deflated.size() + 8 - 1), 2);
    block += deflated;
    put_little(block, crc32_of(text), 4);
    put_little(block, static_cast<std::uint32_t>(text.size()), 4);
    return block;
}

inline const std::string& eof_block() {
    static const std::string eof("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0\x1b\0\x03\0\0\0\0\0\0\0\0\0", 28);
    return eof;
}

// `text` in blocks of `block_text` bytes (1 to 65535), then the end-of-file block.
inline std::string bgzf_of(const std::string& text, std::size_t block_text) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); at += block_text) out += stored_block(text.substr(at, block_text));
    return out + eof_block();
}

}  // namespace fuzz
