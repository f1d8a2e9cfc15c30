#include "faidx/bgzf_block.hpp"

#include <cstring>
#include <memory>

#if defined(SEKVO_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace sekvo {

const unsigned char kBgzfEofBlock[kBgzfEofSize] = {0x1f, 0x8b, 0x08, 0x04, 0, 0, 0, 0, 0, 0xff, 0x06, 0,
                                                  0x42, 0x43, 0x02, 0, 0x1b, 0, 0x03, 0, 0, 0, 0, 0,
                                                  0, 0, 0, 0};

namespace {

std::uint32_t little_16(const unsigned char* p) { return p[0] | (std::uint32_t{p[1]} << 8); }
std::uint32_t little_32(const unsigned char* p) { return little_16(p) | (little_16(p + 2) << 16); }

bool starts_with(const unsigned char* data, std::size_t size, const char* magic, std::size_t length) {
    return size >= length && std::memcmp(data, magic, length) == 0;
}

#if defined(SEKVO_HAVE_LIBDEFLATE)
// One decompressor per thread: allocating one costs more than a block.
struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

libdeflate_decompressor* thread_decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

bool raw_inflate(const unsigned char* in, std::size_t in_size, unsigned char* out, std::size_t capacity,
                 std::size_t& produced) {
    libdeflate_decompressor* d = thread_decompressor();
    if (d == nullptr) return false;
    return libdeflate_deflate_decompress(d, in, in_size, out, capacity, &produced) == LIBDEFLATE_SUCCESS;
}

std::uint32_t checksum(const unsigned char* data, std::size_t size) { return libdeflate_crc32(0, data, size); }
#else
bool raw_inflate(const unsigned char* in, std::size_t in_size, unsigned char* out, std::size_t capacity,
                 std::size_t& produced) {
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return false;
    stream.next_in = const_cast<unsigned char*>(in);
    stream.avail_in = static_cast<uInt>(in_size);
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(capacity);
    const int status = inflate(&stream, Z_FINISH);
    produced = capacity - stream.avail_out;
    inflateEnd(&stream);
    return status == Z_STREAM_END;
}

std::uint32_t checksum(const unsigned char* data, std::size_t size) {
    return static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(size)));
}
#endif

}  // namespace

Compression sniff_compression(const unsigned char* data, std::size_t size) {
    if (starts_with(data, size, "\x1f\x8b", 2))
        return size >= kBgzfHeaderSize && bgzf_block_size(data, size) != 0 ? Compression::Bgzf : Compression::Gzip;
    if (starts_with(data, size, "BZh", 3)) return Compression::Bzip2;
    if (starts_with(data, size, "\xfd" "7zXZ\x00", 6)) return Compression::Xz;
    if (starts_with(data, size, "\x28\xb5\x2f\xfd", 4)) return Compression::Zstd;
    if (starts_with(data, size, "\x04\x22\x4d\x18", 4)) return Compression::Lz4;
    if (starts_with(data, size, "PK\x03\x04", 4)) return Compression::Zip;
    if (starts_with(data, size, "\x1f\x9d", 2)) return Compression::UnixCompress;
    return Compression::None;
}

const char* compression_name(Compression kind) {
    switch (kind) {
        case Compression::None: return "uncompressed";
        case Compression::Bgzf: return "BGZF";
        case Compression::Gzip: return "gzip";
        case Compression::Bzip2: return "bzip2";
        case Compression::Xz: return "xz";
        case Compression::Zstd: return "zstd";
        case Compression::Lz4: return "lz4";
        case Compression::Zip: return "zip";
        case Compression::UnixCompress: return "Unix compress (.Z)";
    }
    return "";
}

// The header check of htslib's reader: gzip with deflate, FEXTRA set, and
// the extra field exactly one "BC" subfield of two bytes.
std::size_t bgzf_block_size(const unsigned char* data, std::size_t size) {
    if (size < kBgzfHeaderSize) return 0;
    if (data[0] != 0x1f || data[1] != 0x8b || data[2] != 8 || (data[3] & 4) == 0) return 0;
    if (little_16(data + 10) != 6 || data[12] != 'B' || data[13] != 'C' || little_16(data + 14) != 2) return 0;
    const std::size_t block_size = little_16(data + 16) + 1;
    return block_size >= kBgzfHeaderSize + kBgzfFooterSize ? block_size : 0;
}

std::uint32_t bgzf_recorded_size(const unsigned char* block, std::size_t block_size) {
    return little_32(block + block_size - 4);
}

Inflated inflate_bgzf_block(const unsigned char* block, std::size_t block_size, unsigned char* out) {
    if (bgzf_block_size(block, block_size) != block_size) return {InflateStatus::BadHeader, 0};
    const std::uint32_t recorded = bgzf_recorded_size(block, block_size);
    if (recorded > kBgzfMaxInflatedSize) return {InflateStatus::BadSize, 0};
    std::size_t produced = 0;
    const std::size_t deflated = block_size - kBgzfHeaderSize - kBgzfFooterSize;
    if (!raw_inflate(block + kBgzfHeaderSize, deflated, out, kBgzfMaxInflatedSize, produced))
        return {InflateStatus::BadData, 0};
    if (produced != recorded) return {InflateStatus::BadSize, 0};
    if (checksum(out, produced) != little_32(block + block_size - 8)) return {InflateStatus::BadCrc, 0};
    return {InflateStatus::Ok, produced};
}

const char* inflate_problem(InflateStatus status) {
    switch (status) {
        case InflateStatus::Ok: return "is sound";
        case InflateStatus::BadHeader: return "has no valid BGZF header";
        case InflateStatus::BadData: return "does not hold valid deflate data";
        case InflateStatus::BadSize: return "does not inflate to its recorded size";
        case InflateStatus::BadCrc: return "fails its CRC check";
    }
    return "";
}

const char* inflate_library() {
#if defined(SEKVO_HAVE_LIBDEFLATE)
    return "libdeflate";
#else
    return "zlib";
#endif
}

}  // namespace sekvo
