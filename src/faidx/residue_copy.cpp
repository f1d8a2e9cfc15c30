// Copying residues out of the FASTA file: the byte window a region can
// occupy, and the copy that drops line terminators from it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/posix_io.hpp"
#include "faidx/retrieval.hpp"

namespace sekvo {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kFileBlock = 1 << 20;

std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? kMax : sum;
}

std::uint64_t mul_sat(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? kMax : product;
}

// The bytes [begin, end) of the file that hold a region; begin == end when
// the region is empty. Saturating arithmetic: an entry with absurd numbers
// gives a window at or past the end of any real file, never a wrapped one.
struct Window {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

Window region_window(const IndexEntry& entry, std::uint64_t first, std::uint64_t count,
                     std::uint64_t file_size) {
    if (count == 0 || entry.rlen == 0 || entry.lenc == 0 || first == 0) return {};
    const std::uint64_t index = first - 1;
    const std::uint64_t begin =
        add_sat(add_sat(entry.offset, index % entry.lenc), mul_sat(index / entry.lenc, entry.lenb));
    if (begin >= file_size) return {};
    // The residues, one terminator per line they span and one more line as
    // slack. An entry with fewer bytes than residues per line has no room
    // for terminators, so it gets none.
    const std::uint64_t terminator = entry.lenb > entry.lenc ? entry.lenb - entry.lenc : 0;
    const std::uint64_t lines = count / entry.lenc + (count % entry.lenc != 0);
    std::uint64_t end = add_sat(add_sat(add_sat(begin, entry.lenb), count), mul_sat(terminator, lines));
    return {begin, std::min(end, file_size)};
}

inline bool is_terminator(unsigned char c) { return c == '\n' || c == '\r'; }

// The first CR or LF in [p, end), or end. ORs the high bit of every byte
// it passes over into `high`, so callers learn for free whether a run was
// all ASCII.
template <bool kTrackHigh>
inline const unsigned char* find_terminator(const unsigned char* p, const unsigned char* end,
                                            unsigned& high) {
#if defined(__SSE2__)
    const __m128i line_feed = _mm_set1_epi8('\n');
    const __m128i carriage_return = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int hits = _mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, line_feed), _mm_cmpeq_epi8(bytes, carriage_return)));
        if constexpr (kTrackHigh) high |= static_cast<unsigned>(_mm_movemask_epi8(bytes));
        if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
        p += 16;
    }
#endif
    for (; p < end && !is_terminator(*p); ++p) {
        if constexpr (kTrackHigh) high |= *p & 0x80u;
    }
    return p;
}

struct StringSink {
    static constexpr bool kTracksAscii = false;
    std::string& out;
    void put(const unsigned char* p, std::size_t n) { out.append(reinterpret_cast<const char*>(p), n); }
};

struct BufferSink {
    static constexpr bool kTracksAscii = true;
    char* out;
    void put(const unsigned char* p, std::size_t n) {
        std::memcpy(out, p, n);
        out += n;
    }
};

// Puts the bytes of [p, end) other than CR and LF into `sink`, stopping once
// `remaining` bytes have been put. Whole runs between terminators are
// copied at once.
template <class Sink>
void append_residues(Sink& sink, const unsigned char* p, const unsigned char* end, std::uint64_t& remaining,
                     unsigned& high) {
    while (p < end && remaining > 0) {
        const unsigned char* run_end = find_terminator<Sink::kTracksAscii>(p, end, high);
        const std::size_t run = static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(run_end - p), remaining));
        sink.put(p, run);
        remaining -= run;
        p = run_end;
        while (p < end && is_terminator(*p)) ++p;
    }
}

}  // namespace

std::string read_from_mapping(const unsigned char* data, std::uint64_t size, const IndexEntry& entry,
                              std::uint64_t first, std::uint64_t count) {
    std::string out;
    const Window window = region_window(entry, first, count, data == nullptr ? 0 : size);
    if (window.begin == window.end) return out;
    // Never more than the window could supply, however large `count` is.
    out.reserve(static_cast<std::size_t>(std::min(count, window.end - window.begin)));
    std::uint64_t remaining = count;
    unsigned high = 0;
    StringSink sink{out};
    append_residues(sink, data + window.begin, data + window.end, remaining, high);
    return out;
}

void prefetch_region(const unsigned char* data, std::uint64_t size, const IndexEntry& entry, std::uint64_t first,
                     std::uint64_t count) {
    const Window window = region_window(entry, first, count, data == nullptr ? 0 : size);
    constexpr std::uint64_t kLine = 64;
    constexpr std::uint64_t kMostBytes = 16 * kLine;  // the hardware streams on from there
    const std::uint64_t end = std::min(window.end, window.begin + kMostBytes);
    for (std::uint64_t at = window.begin & ~(kLine - 1); at < end; at += kLine) __builtin_prefetch(data + at);
}

BufferCopy read_into_buffer(const unsigned char* data, std::uint64_t size, const IndexEntry& entry,
                            std::uint64_t first, std::uint64_t count, char* out, std::size_t capacity) {
    const Window window = region_window(entry, first, count, data == nullptr ? 0 : size);
    if (window.begin == window.end) return {};
    std::uint64_t remaining = std::min<std::uint64_t>(count, capacity);
    const std::uint64_t wanted = remaining;
    unsigned high = 0;
    BufferSink sink{out};
    append_residues(sink, data + window.begin, data + window.end, remaining, high);
    return {static_cast<std::size_t>(wanted - remaining), high == 0};
}

Result<std::string> read_from_file(int fd, const IndexEntry& entry, std::uint64_t first,
                                   std::uint64_t count) {
    // The file's size bounds the window just as the mapping's length does,
    // so both copies give the same bytes.
    struct stat info;
    if (::fstat(fd, &info) != 0) return Error::io_from_errno(errno);
    const std::uint64_t size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    std::string out;
    const Window window = region_window(entry, first, count, size);
    if (window.begin == window.end) return out;

    const std::uint64_t span = window.end - window.begin;
    const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(span, kFileBlock));
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[block]);
    out.reserve(static_cast<std::size_t>(std::min(count, span)));
    std::uint64_t remaining = count;
    unsigned high = 0;
    StringSink sink{out};
    for (std::uint64_t position = window.begin; position < window.end && remaining > 0;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(block, window.end - position));
        const ssize_t got = pread_full(fd, buffer.get(), want, static_cast<off_t>(position));
        if (got < 0) return Error::io_from_errno(errno);
        if (got == 0) break;  // the file shrank since fstat
        append_residues(sink, buffer.get(), buffer.get() + got, remaining, high);
        position += static_cast<std::uint64_t>(got);
    }
    return out;
}

}  // namespace sekvo
