// One BGZF block: a gzip member of at most 64 KiB carrying its own size in
// the "BC" extra field, so that a reader can jump from block to block and
// inflate any one alone. Also recognises other compressed formats by their
// first bytes, so they can be refused by name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sekvo {

inline constexpr std::size_t kBgzfHeaderSize = 18;
inline constexpr std::size_t kBgzfFooterSize = 8;
inline constexpr std::size_t kBgzfMaxBlockSize = 65536;
inline constexpr std::size_t kBgzfMaxInflatedSize = 65536;
// The empty block every BGZF file ends with.
inline constexpr std::size_t kBgzfEofSize = 28;
extern const unsigned char kBgzfEofBlock[kBgzfEofSize];

enum class Compression { None, Bgzf, Gzip, Bzip2, Xz, Zstd, Lz4, Zip, UnixCompress };

// What the first bytes of a file say it is.
Compression sniff_compression(const unsigned char* data, std::size_t size);
// "gzip", "bzip2", ...: for messages.
const char* compression_name(Compression kind);

// The whole block's size from the header at `data` (at least
// kBgzfHeaderSize bytes), or 0 when they are not a BGZF block header.
std::size_t bgzf_block_size(const unsigned char* data, std::size_t size);

// The uncompressed size recorded in a whole block's last four bytes.
std::uint32_t bgzf_recorded_size(const unsigned char* block, std::size_t block_size);

enum class InflateStatus { Ok, BadHeader, BadData, BadSize, BadCrc };

struct Inflated {
    InflateStatus status = InflateStatus::Ok;
    std::size_t size = 0;
};

// Inflates the whole block [block, block + block_size) into `out`
// (kBgzfMaxInflatedSize bytes), checking its length and CRC-32.
Inflated inflate_bgzf_block(const unsigned char* block, std::size_t block_size, unsigned char* out);

// A short phrase for a failed status, for messages ("fails its CRC check").
const char* inflate_problem(InflateStatus status);

// The library that inflates: "libdeflate" or "zlib".
const char* inflate_library();

}  // namespace sekvo
