// Copying residues out of the FASTA file: the byte window a region can
// occupy, and the copy that drops line terminators from it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/posix_io.hpp"
#include "faidx/retrieval.hpp"
#include "faidx/uncompressed_source.hpp"
#include "faidx/worker_pool.hpp"

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
    const std::uint64_t begin = residue_file_offset(entry, first - 1);
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

std::uint64_t residue_file_offset(const IndexEntry& entry, std::uint64_t index) {
    return add_sat(add_sat(entry.offset, index % entry.lenc), mul_sat(index / entry.lenc, entry.lenb));
}

ByteRange region_byte_range(const IndexEntry& entry, std::uint64_t first, std::uint64_t count,
                            std::uint64_t file_size) {
    const Window window = region_window(entry, first, count, file_size);
    return {window.begin, window.end};
}

Result<std::string> read_from_source(const UncompressedSource& source, const IndexEntry& entry,
                                     std::uint64_t first, std::uint64_t count) {
    std::string out;
    const Window window = region_window(entry, first, count, source.size());
    if (window.begin == window.end) return out;
    out.reserve(static_cast<std::size_t>(std::min(count, window.end - window.begin)));
    std::uint64_t remaining = count;
    unsigned high = 0;
    StringSink sink{out};
    auto error = source.read_pieces(window.begin, window.end, [&](const unsigned char* piece, std::size_t size) {
        append_residues(sink, piece, piece + size, remaining, high);
        return remaining > 0;
    });
    if (error) return std::move(*error);
    return out;
}

namespace {

// Bytes of a window from which a copy out of a source is shared among the
// worker pool's threads.
constexpr std::uint64_t kParallelCopyBytes = 4 << 20;

std::uint64_t residues_in(const Piece& piece) {
    std::uint64_t terminators = 0;
    for (std::size_t i = 0; i < piece.size; ++i) terminators += is_terminator(piece.data[i]);
    return piece.size - terminators;
}

// Each piece's residues go to their own place in `out`, found by counting
// the residues of the pieces before it, so the pieces are copied at once.
bool copy_pieces_in_parallel(const std::vector<Piece>& pieces, char*& out, std::uint64_t& remaining,
                             unsigned& high) {
    std::vector<std::uint64_t> before(pieces.size() + 1, 0);
    parallel_for_each_index(pieces.size(), [&](std::size_t i) { before[i + 1] = residues_in(pieces[i]); });
    for (std::size_t i = 0; i < pieces.size(); ++i) before[i + 1] += before[i];
    std::vector<unsigned> highs(pieces.size(), 0);
    parallel_for_each_index(pieces.size(), [&](std::size_t i) {
        if (before[i] >= remaining) return;
        std::uint64_t left = std::min(remaining - before[i], before[i + 1] - before[i]);
        BufferSink sink{out + before[i]};
        append_residues(sink, pieces[i].data, pieces[i].data + pieces[i].size, left, highs[i]);
    });
    for (unsigned piece_high : highs) high |= piece_high;
    const std::uint64_t copied = std::min(remaining, before.back());
    out += copied;
    remaining -= copied;
    return remaining > 0;
}

// From this many bytes on, a region read from a source is first copied
// block by block in parallel at the places its index entry predicts.
constexpr std::uint64_t kPredictedCopyBytes = 512 << 10;

// The residues before file offset `at` (>= entry.offset) when every line of
// the record holds lenc residues and lenb - lenc terminators.
std::uint64_t residues_before(const IndexEntry& entry, std::uint64_t at) {
    const std::uint64_t offset = at - entry.offset;
    return offset / entry.lenb * entry.lenc + std::min(offset % entry.lenb, entry.lenc);
}

// Copies the residues of [p, end) to `out`, which must receive exactly
// `expected` of them; false (having written no more than `expected`) when
// the piece holds another number.
bool copy_expected_residues(const unsigned char* p, const unsigned char* end, char* out, std::uint64_t expected,
                            unsigned& high) {
    while (p < end) {
        const unsigned char* run_end = find_terminator<true>(p, end, high);
        const auto run = static_cast<std::uint64_t>(run_end - p);
        if (run > expected) return false;
        std::memcpy(out, p, run);
        out += run;
        expected -= run;
        p = run_end;
        while (p < end && is_terminator(*p)) ++p;
    }
    return expected == 0;
}

// The first `wanted` residues from `index` on, copied piece by piece in
// parallel, each piece to where the entry's line lengths place it. Every
// piece must hold exactly the residues predicted for it, so that the places
// are right; otherwise (a ragged record, or no source support) false, and
// the caller copies in order.
bool copy_at_predicted_places(const UncompressedSource& source, const IndexEntry& entry, std::uint64_t index,
                              std::uint64_t wanted, char* out, unsigned& high) {
    if (wanted == 0 || entry.lenc == 0 || entry.lenb < entry.lenc) return false;
    const std::uint64_t last = add_sat(index, wanted - 1);
    const std::uint64_t begin = residue_file_offset(entry, index);
    const std::uint64_t end = add_sat(residue_file_offset(entry, last), 1);
    if (end > source.size() || end == kMax) return false;
    std::atomic<unsigned> highs{0};
    const bool copied = source.visit_in_parallel(begin, end, [&](std::uint64_t at, const unsigned char* piece,
                                                                 std::size_t size) {
        const std::uint64_t before = residues_before(entry, at) - index;
        const std::uint64_t expected = residues_before(entry, at + size) - index - before;
        if (before + expected > wanted) return false;
        unsigned piece_high = 0;
        const bool exact = copy_expected_residues(piece, piece + size, out + before, expected, piece_high);
        highs.fetch_or(piece_high, std::memory_order_relaxed);
        return exact;
    });
    high |= highs.load();
    return copied;
}

}  // namespace

Result<BufferCopy> read_source_into_buffer(const UncompressedSource& source, const IndexEntry& entry,
                                           std::uint64_t first, std::uint64_t count, char* out,
                                           std::size_t capacity) {
    const Window window = region_window(entry, first, count, source.size());
    if (window.begin == window.end) return BufferCopy{};
    std::uint64_t remaining = std::min<std::uint64_t>(count, capacity);
    const std::uint64_t wanted = remaining;
    unsigned high = 0;
    std::optional<Error> error;
    if (window.end - window.begin >= kPredictedCopyBytes &&
        copy_at_predicted_places(source, entry, first - 1, wanted, out, high))
        return BufferCopy{static_cast<std::size_t>(wanted), high == 0};
    high = 0;
    if (window.end - window.begin >= kParallelCopyBytes) {
        char* cursor = out;
        error = source.read_windows(window.begin, window.end, [&](const std::vector<Piece>& pieces) {
            return copy_pieces_in_parallel(pieces, cursor, remaining, high);
        });
    } else {
        BufferSink sink{out};
        error = source.read_pieces(window.begin, window.end, [&](const unsigned char* piece, std::size_t size) {
            append_residues(sink, piece, piece + size, remaining, high);
            return remaining > 0;
        });
    }
    if (error) return std::move(*error);
    return BufferCopy{static_cast<std::size_t>(wanted - remaining), high == 0};
}

}  // namespace sekvo
