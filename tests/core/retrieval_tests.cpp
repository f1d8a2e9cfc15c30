// Region retrieval below the Python layer: the batch fetch's silent
// corrections, both copy paths against the byte-by-byte window rule, and
// crafted index entries.
#include <algorithm>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "faidx/retrieval.hpp"
#include "test_files.hpp"

using namespace core_test;
using sekvo::ErrorKind;
using sekvo::IndexEntry;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// The batch path's per-region fetch and the whole-record fetch, planned and
// completed as the module's calls do.
sekvo::Result<sekvo::SequenceValue> fetch_for_batch(const sekvo::IndexHandle& handle, std::string_view name,
                                                    std::uint64_t start, std::uint64_t end) {
    return sekvo::complete(handle, sekvo::plan_fetch_for_batch(handle, name, start, end));
}

sekvo::Result<sekvo::SequenceValue> fetch_entire_sequence(const sekvo::IndexHandle& handle,
                                                          std::string_view name) {
    return sekvo::complete(handle, sekvo::plan_entire_sequence(handle, name));
}

using core_test::fasta_text;
using core_test::random_residues;

// A directory holding one.fa: record chr1 of 100 residues in lines of 60.
struct Chr1File {
    TempDir dir;
    std::string seq = random_residues(100, 1);
    std::string path = dir / "one.fa";
    Chr1File() { write_file(path, fasta_text({{"chr1 test record", seq}}, 60, "\n")); }

    std::unique_ptr<sekvo::IndexHandle> open(const std::function<void(sekvo::OpenOptions&)>& adjust = {}) {
        auto handle = open_fasta(path, adjust);
        if (!handle) throw std::runtime_error(handle.error().exception_message());
        return std::move(handle.take());
    }
};

struct Expected {
    std::string seq;
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
};

bool same(const sekvo::SequenceValue& value, const Expected& expected) {
    return value.seq == expected.seq && value.start == expected.start && value.end == expected.end &&
           !value.comp;
}

// The copy as the design states it, byte by byte: the window from the
// first residue's byte, every CR and LF skipped.
std::string reference_copy(const std::string& file, const IndexEntry& e, std::uint64_t first,
                           std::uint64_t count) {
    if (count == 0 || e.rlen == 0 || e.lenc == 0) return "";
    unsigned __int128 s = e.offset + (unsigned __int128)((first - 1) % e.lenc) +
                          (unsigned __int128)((first - 1) / e.lenc) * e.lenb;
    if (s >= file.size()) return "";
    unsigned __int128 terminator = e.lenb > e.lenc ? e.lenb - e.lenc : 0;
    unsigned __int128 w = s + e.lenb + count + terminator * ((count + e.lenc - 1) / e.lenc);
    if (w > file.size()) w = file.size();
    std::string out;
    for (std::size_t i = static_cast<std::size_t>(s); i < w && out.size() < count; ++i)
        if (file[i] != '\r' && file[i] != '\n') out += file[i];
    return out;
}

}  // namespace

CORE_TEST(batch_fetch_corrects_silently) {
    Chr1File file;
    auto lenient = file.open();
    struct Case {
        std::uint64_t start, end;
        Expected expected;
    };
    const Case cases[] = {
        {0, 10, {file.seq.substr(0, 10), 1, 10}},
        {95, 120, {file.seq.substr(94), 95, 100}},
        {150, 160, {"", 150, 150}},  // wholly past the end: empty
        {101, 50, {"", 101, 101}},
        {20, 10, {"", 20, 10}},
        {5, 0, {"", 5, 1}},
        {0, 0, {file.seq.substr(0, 1), 1, 1}},
    };
    StderrCapture capture;
    for (const Case& c : cases) CHECK(same(fetch_for_batch(*lenient, "chr1", c.start, c.end).value(), c.expected));

    auto strict = file.open([](sekvo::OpenOptions& o) { o.strict_bounds = true; });
    for (auto [start, end] : {std::pair<std::uint64_t, std::uint64_t>{5, 2}, {0, 3}, {3, 0}, {99, 101}, {150, 160}}) {
        auto result = fetch_for_batch(*strict, "chr1", start, end);
        REQUIRE(!result.ok());
        CHECK_EQ(result.error().display_text(), "Invalid region: Invalid region chr1:" + std::to_string(start) + "-" +
                                                    std::to_string(end) + " (sequence length: 100)");
    }
    CHECK(same(fetch_for_batch(*strict, "chr1", 1, 100).value(), {file.seq, 1, 100}));
    auto missing = fetch_for_batch(*lenient, "chrZ", 1, 2);
    REQUIRE(!missing.ok());
    CHECK_EQ(missing.error().display_text(), "Fetch error: Sequence 'chrZ' not found");
    CHECK_EQ(capture.text(), "");
}

CORE_TEST(mapped_and_file_copies_follow_the_window_rule) {
    // Files with odd terminators (lone CRs, CR CR LF, blank lines) and
    // entries with arbitrary numbers: both copies must give exactly the
    // bytes of the plain byte-by-byte rule.
    TempDir dir;
    std::mt19937_64 rng(5);
    static const char* pieces[] = {"A", "C", "g", "t", "\n", "\r\n", "\r", "\r\r\n", "\n\n", "NNNN", "x"};
    for (int file_number = 0; file_number < 20; ++file_number) {
        std::string text;
        std::size_t size = rng() % 3000;
        while (text.size() < size) text += pieces[rng() % (sizeof pieces / sizeof *pieces)];
        const std::string path = dir / std::string("f").append(std::to_string(file_number)).append(".fa");
        write_file(path, text);
        FILE* raw = std::fopen(path.c_str(), "rb");
        REQUIRE(raw != nullptr);
        const int fd = ::fileno(raw);
        for (int i = 0; i < 500; ++i) {
            IndexEntry e;
            e.rlen = 1 + rng() % 5000;
            e.offset = rng() % (text.size() + 20);
            e.lenc = rng() % 90;
            e.lenb = rng() % 4 == 0 ? rng() % 90 : e.lenc + rng() % 3;
            std::uint64_t first = 1 + rng() % 3000;
            std::uint64_t count = rng() % 4 == 0 ? rng() % 5 : rng() % 4000;
            const std::string expected = reference_copy(text, e, first, count);
            CHECK_EQ(sekvo::read_from_mapping(reinterpret_cast<const unsigned char*>(text.data()), text.size(), e,
                                              first, count),
                     expected);
            auto from_file = sekvo::read_from_file(fd, e, first, count);
            REQUIRE(from_file.ok());
            CHECK_EQ(from_file.value(), expected);
        }
        std::fclose(raw);
    }
}

CORE_TEST(crafted_index_entries_never_crash) {
    TempDir dir;
    write_file(dir / "c.fa", ">x\n" + std::string(10 * 11, 'A'));
    const char* entries[] = {
        "x\t9223372036854775807\t3\t60\t61",
        "x\t18446744073709551615\t18446744073709551615\t1\t1",
        "x\t18446744073709551615\t3\t1\t18446744073709551615",
        "x\t100\t3\t60\t10",   // fewer bytes per line than residues
        "x\t100\t3\t0\t0",     // no residues per line
        "x\t100\t3\t0\t61",
        "x\t100\t999999\t60\t61",
        "x\t100\t3\t18446744073709551615\t18446744073709551615",
        "x\t18446744073709551615\t18446744073709551614\t2\t18446744073709551615",
    };
    const std::pair<std::uint64_t, std::uint64_t> regions[] = {
        {1, 10}, {50, 100}, {1, 1}, {1ULL << 63, (1ULL << 63) + 5}, {1, kMax}, {kMax - 3, kMax}};
    StderrCapture quiet;
    for (const char* entry : entries) {
        write_file(dir / "c.fa.fai", std::string(entry) + "\n");
        for (bool mutable_file : {false, true}) {
            for (bool strict : {false, true}) {
                auto handle = open_fasta(dir / "c.fa", [&](sekvo::OpenOptions& o) {
                    o.rebuild = false;
                    o.mutable_file = mutable_file;
                    o.strict_bounds = strict;
                }).take();
                for (auto [start, end] : regions) {
                    for (auto result : {sekvo::fetch(*handle, "x", start, end),
                                        fetch_for_batch(*handle, "x", start, end)}) {
                        if (!result.ok()) continue;
                        CHECK(result.value().seq.size() <= 110);
                        CHECK(result.value().seq.view().find_first_not_of('A') == std::string::npos);
                    }
                }
                auto whole = fetch_entire_sequence(*handle, "x");
                REQUIRE(whole.ok());
                CHECK(whole.value().seq.size() <= 110);
            }
        }
    }
    // Padding an absurd region is an allocation failure, not a crash.
    write_file(dir / "c.fa.fai", "x\t18446744073709551615\t3\t60\t61\n");
    auto padded = open_fasta(dir / "c.fa", [](sekvo::OpenOptions& o) {
                      o.rebuild = false;
                      o.default_seq = "NN";
                  }).take();
    bool threw = false;
    try {
        sekvo::fetch(*padded, "x", 1, kMax);
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    CHECK(threw);
}

// A file cut inside a mapped page reads as zeros past its new end, without
// a fault. A copy that meets them takes all that follow, so it ends in NUL
// exactly when it lost bytes: what the fetch checks to report truncation.
CORE_TEST(copy_into_a_zeroed_tail_ends_in_nul) {
    const std::string text = fasta_text({{"a", random_residues(12000, 3)}}, 60, "\n");
    const std::uint64_t cut = 1000;
    std::string zeroed = text;
    std::fill(zeroed.begin() + cut, zeroed.end(), '\0');
    const IndexEntry e{12000, 3, 60, 61};
    for (std::uint64_t first = 900; first < 1100; first += 7) {
        for (std::uint64_t count : {1, 20, 61, 300}) {
            const std::string shorter = reference_copy(text.substr(0, cut), e, first, count);
            const std::string got = sekvo::read_from_mapping(reinterpret_cast<const unsigned char*>(zeroed.data()),
                                                             zeroed.size(), e, first, count);
            CHECK(got == shorter || (got.back() == '\0' && got.compare(0, shorter.size(), shorter) == 0));
        }
    }
}
