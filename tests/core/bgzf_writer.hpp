// A small BGZF writer for the core tests (zlib, raw deflate): blocks of a
// chosen input size, so that short texts still span many blocks.
#pragma once

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace core_test {

inline void put_little(std::string& out, unsigned long value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

inline std::string bgzf_block(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
    std::string deflated(data.size() + 1024, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(deflated.data());
    stream.avail_out = static_cast<uInt>(deflated.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    deflated.resize(stream.total_out);
    deflateEnd(&stream);
    std::string block("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);
    put_little(block, 18 + deflated.size() + 8 - 1, 2);
    block += deflated;
    put_little(block, crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())), 4);
    put_little(block, data.size(), 4);
    return block;
}

inline const std::string& bgzf_eof() {
    static const std::string eof = bgzf_block("");
    return eof;
}

// `text` in blocks of `block_input` bytes, then the end-of-file block.
inline std::string bgzf_file(const std::string& text, std::size_t block_input = 65280) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); at += block_input) out += bgzf_block(text.substr(at, block_input));
    return out + bgzf_eof();
}

}  // namespace core_test
