// Region retrieval: bounds policy and its exact messages, coordinates,
// padding, case, line layouts, the two copy paths and crafted indexes.
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "faidx/retrieval.hpp"
#include "test_files.hpp"

using namespace core_test;
using sekvo::ErrorKind;
using sekvo::IndexEntry;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::string random_residues(std::size_t length, unsigned seed) {
    static const char alphabet[] = "ACGTacgtN";
    std::mt19937 rng(seed);
    std::string out;
    for (std::size_t i = 0; i < length; ++i) out += alphabet[rng() % 9];
    return out;
}

std::string fasta_text(const std::vector<std::pair<std::string, std::string>>& records, std::size_t width,
                       const std::string& eol) {
    std::string out;
    for (const auto& [header, seq] : records) {
        out += ">" + header + eol;
        for (std::size_t i = 0; i < seq.size(); i += width) out += seq.substr(i, width) + eol;
    }
    return out;
}

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

// The text of a result, by value (CHECK_EQ keeps references to its operands).
std::string text_of(const sekvo::Result<sekvo::SequenceValue>& result) {
    return result.ok() ? result.value().seq : "<" + result.error().exception_message() + ">";
}

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

CORE_TEST(regions_across_line_breaks) {
    Chr1File file;
    auto handle = file.open();
    StderrCapture capture;
    CHECK(same(sekvo::fetch(*handle, "chr1", 1, 60).value(), {file.seq.substr(0, 60), 1, 60}));
    CHECK(same(sekvo::fetch(*handle, "chr1", 60, 61).value(), {file.seq.substr(59, 2), 60, 61}));
    CHECK(same(sekvo::fetch(*handle, "chr1", 1, 100).value(), {file.seq, 1, 100}));
    CHECK(sekvo::fetch(*handle, "chr1", 7, 7).value().name == "chr1");
    CHECK_EQ(capture.text(), "");
}

CORE_TEST(lenient_bounds_warn_and_correct) {
    Chr1File file;
    const std::string& seq = file.seq;
    const std::string bounds = "WARNING: coordinates ";
    const std::string of_chr1 = " are out of bounds for sequence 'chr1' of length 100\n";
    const std::string zero = "WARNING: coordinates cannot be 0 (1-based indexing)\n";
    struct Case {
        std::uint64_t start, end;
        std::size_t from;  // residues from..to of chr1 are expected; 0: none
        std::size_t to;
        std::uint64_t result_start, result_end;  // of the early results
        std::string warnings;
    };
    const std::vector<Case> cases = {
        {95, 120, 95, 100, 0, 0, bounds + "95-120" + of_chr1},
        {150, 160, 0, 0, 150, 150, bounds + "150-160" + of_chr1},
        {0, 10, 0, 0, 0, 10, zero},
        {10, 0, 0, 0, 10, 0, zero},
        {20, 10, 0, 0, 20, 10, "WARNING: start coordinate 20 is greater than end coordinate 10\n"},
        {0, 200, 0, 0, 0, 100, bounds + "0-200" + of_chr1 + zero},
        {100, 150, 100, 100, 0, 0, bounds + "100-150" + of_chr1},
        {kMax, kMax, 0, 0, kMax, kMax, bounds + "18446744073709551615-18446744073709551615" + of_chr1},
    };
    for (const Case& c : cases) {
        for (int variant = 0; variant < 3; ++variant) {
            auto handle = file.open([&](sekvo::OpenOptions& o) {
                o.as_raw = variant == 1;
                o.one_based_attributes = variant != 2;
                o.default_seq = "N";  // never pads an early result
                o.sequence_always_upper = true;
            });
            StderrCapture capture;
            auto result = sekvo::fetch(*handle, "chr1", c.start, c.end);
            CHECK_EQ(capture.text(), c.warnings);
            REQUIRE(result.ok());
            if (c.from == 0) {  // early results keep their coordinates whatever the settings
                CHECK(same(result.value(), {"", c.result_start, c.result_end}));
            } else {
                std::string upper = seq.substr(c.from - 1, c.to - c.from + 1);
                for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                CHECK_EQ(result.value().seq, upper);
            }
        }
    }
}

CORE_TEST(strict_bounds_messages) {
    Chr1File file;
    auto handle = file.open([](sekvo::OpenOptions& o) { o.strict_bounds = true; });
    const std::pair<std::pair<std::uint64_t, std::uint64_t>, std::string> cases[] = {
        {{95, 120}, "coordinates 95-120 are out of bounds for sequence 'chr1' of length 100"},
        {{150, 160}, "coordinates 150-160 are out of bounds for sequence 'chr1' of length 100"},
        {{0, 10}, "coordinates cannot be 0 (1-based indexing)"},
        {{5, 0}, "coordinates cannot be 0 (1-based indexing)"},
        {{20, 10}, "start coordinate 20 is greater than end coordinate 10"},
        {{0, 101}, "coordinates 0-101 are out of bounds for sequence 'chr1' of length 100"},
    };
    StderrCapture capture;
    for (const auto& [region, message] : cases) {
        auto result = sekvo::fetch(*handle, "chr1", region.first, region.second);
        REQUIRE(!result.ok());
        CHECK(result.error().kind == ErrorKind::OutOfRange);
        CHECK_EQ(result.error().detail, message);
    }
    CHECK(same(sekvo::fetch(*handle, "chr1", 1, 100).value(), {file.seq, 1, 100}));
    CHECK_EQ(capture.text(), "");
}

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
    for (const Case& c : cases) CHECK(same(sekvo::fetch_for_batch(*lenient, "chr1", c.start, c.end).value(), c.expected));

    auto strict = file.open([](sekvo::OpenOptions& o) { o.strict_bounds = true; });
    for (auto [start, end] : {std::pair<std::uint64_t, std::uint64_t>{5, 2}, {0, 3}, {3, 0}, {99, 101}, {150, 160}}) {
        auto result = sekvo::fetch_for_batch(*strict, "chr1", start, end);
        REQUIRE(!result.ok());
        CHECK_EQ(result.error().display_text(), "Invalid region: Invalid region chr1:" + std::to_string(start) + "-" +
                                                    std::to_string(end) + " (sequence length: 100)");
    }
    CHECK(same(sekvo::fetch_for_batch(*strict, "chr1", 1, 100).value(), {file.seq, 1, 100}));
    auto missing = sekvo::fetch_for_batch(*lenient, "chrZ", 1, 2);
    REQUIRE(!missing.ok());
    CHECK_EQ(missing.error().display_text(), "Fetch error: Sequence 'chrZ' not found");
    CHECK_EQ(capture.text(), "");
}

CORE_TEST(coordinate_settings_and_whole_records) {
    Chr1File file;
    auto zero_based = file.open([](sekvo::OpenOptions& o) { o.one_based_attributes = false; });
    CHECK(same(sekvo::fetch(*zero_based, "chr1", 1, 10).value(), {file.seq.substr(0, 10), 0, 10}));
    CHECK(same(sekvo::fetch_entire_sequence(*zero_based, "chr1").value(), {file.seq, 0, 100}));
    auto raw = file.open([](sekvo::OpenOptions& o) { o.as_raw = true; });
    CHECK(same(sekvo::fetch(*raw, "chr1", 1, 10).value(), {file.seq.substr(0, 10), std::nullopt, std::nullopt}));
    CHECK(same(sekvo::fetch_for_batch(*raw, "chr1", 1, 10).value(), {file.seq.substr(0, 10), std::nullopt, std::nullopt}));
    CHECK(same(sekvo::fetch_entire_sequence(*raw, "chr1").value(), {file.seq, std::nullopt, std::nullopt}));
    CHECK(same(sekvo::fetch_entire_sequence(*file.open(), "chr1").value(), {file.seq, 1, 100}));
    auto missing = sekvo::fetch_entire_sequence(*raw, "chrZ");
    REQUIRE(!missing.ok());
    CHECK_EQ(missing.error().exception_message(), "FetchError: Sequence 'chrZ' not found");
}

CORE_TEST(padding_and_upper_case) {
    TempDir dir;
    write_file(dir / "t.fa", ">u\nzZ\n>t\nacGT\nAC-*\n");
    write_file(dir / "t.fa.fai", "u\t2\t3\t2\t3\nt\t20\t9\t4\t5\n");  // t promises more than it holds
    for (bool mutable_file : {false, true}) {
        auto open = [&](std::optional<std::string> filler, bool upper) {
            return std::move(open_fasta(dir / "t.fa", [&](sekvo::OpenOptions& o) {
                       o.rebuild = false;
                       o.mutable_file = mutable_file;
                       o.default_seq = filler;
                       o.sequence_always_upper = upper;
                   }).take());
        };
        CHECK_EQ(text_of(sekvo::fetch(*open(std::nullopt, false), "t", 7, 12)), "-*");
        CHECK_EQ(text_of(sekvo::fetch(*open("N", false), "t", 7, 12)), "-*NNNN");
        CHECK_EQ(text_of(sekvo::fetch(*open("xy", false), "t", 7, 10)), "-*xyxy");
        CHECK_EQ(text_of(sekvo::fetch(*open("xy", true), "t", 7, 10)), "-*XYXY");  // padded, then upper-cased
        CHECK_EQ(text_of(sekvo::fetch_for_batch(*open("N", false), "t", 19, 30)), "NN");
        CHECK_EQ(text_of(sekvo::fetch_entire_sequence(*open("N", true), "t")), "ACGTAC-*");
        CHECK_EQ(text_of(sekvo::fetch(*open(std::nullopt, true), "u", 1, 2)), "ZZ");
        CHECK_EQ(text_of(sekvo::fetch(*open("", false), "t", 7, 12)), "-*");
    }
}

CORE_TEST(crlf_gives_the_same_residues) {
    TempDir dir;
    const std::string seq = random_residues(500, 3);
    write_file(dir / "lf.fa", fasta_text({{"c", seq}}, 60, "\n"));
    write_file(dir / "crlf.fa", fasta_text({{"c", seq}}, 60, "\r\n"));
    auto lf = open_fasta(dir / "lf.fa").take();
    auto crlf = open_fasta(dir / "crlf.fa").take();
    CHECK_EQ(crlf->lookup("c")->lenb, 62u);
    std::mt19937 rng(0);
    for (int i = 0; i < 300; ++i) {
        std::uint64_t a = 1 + rng() % 500;
        std::uint64_t b = a + rng() % (501 - a);
        CHECK_EQ(text_of(sekvo::fetch(*crlf, "c", a, b)), seq.substr(a - 1, b - a + 1));
        CHECK_EQ(text_of(sekvo::fetch(*lf, "c", a, b)), seq.substr(a - 1, b - a + 1));
    }
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
        const std::string path = dir / ("f" + std::to_string(file_number) + ".fa");
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

CORE_TEST(mapped_and_file_handles_agree) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> records;
    for (int i = 0; i < 6; ++i)
        records.push_back({"r" + std::to_string(i), random_residues(std::vector<int>{1, 59, 60, 61, 250, 1000}[i], i)});
    write_file(dir / "m.fa", fasta_text(records, 60, "\n"));
    auto mapped = open_fasta(dir / "m.fa").take();
    auto filed = open_fasta(dir / "m.fa", [](sekvo::OpenOptions& o) { o.mutable_file = true; }).take();
    CHECK(mapped->has_mapping());
    CHECK(!filed->has_mapping() && filed->file_descriptor() >= 0);
    std::mt19937 rng(1);
    for (const auto& [name, seq] : records) {
        CHECK_EQ(text_of(sekvo::fetch_entire_sequence(*filed, name)), seq);
        for (int i = 0; i < 50; ++i) {
            std::uint64_t a = 1 + rng() % seq.size();
            std::uint64_t b = a + rng() % (seq.size() - a + 1);
            CHECK_EQ(text_of(sekvo::fetch(*mapped, name, a, b)), seq.substr(a - 1, b - a + 1));
            CHECK_EQ(text_of(sekvo::fetch(*filed, name, a, b)), seq.substr(a - 1, b - a + 1));
        }
    }
    // An index promising more than a record holds: the file copy stops
    // where the mapped copy's window ends instead of running on through
    // the following records.
    write_file(dir / "o.fa", ">a\nACGT\n>b\nTTTTTTTTTTTTTTTTTTTT\n");
    write_file(dir / "o.fa.fai", "a\t30\t3\t4\t5\nb\t20\t11\t20\t21\n");
    auto o_mapped = open_fasta(dir / "o.fa", [](sekvo::OpenOptions& o) { o.rebuild = false; }).take();
    auto o_filed = open_fasta(dir / "o.fa", [](sekvo::OpenOptions& o) {
                       o.rebuild = false;
                       o.mutable_file = true;
                   }).take();
    for (auto [start, end] : {std::pair<std::uint64_t, std::uint64_t>{1, 30}, {3, 12}, {5, 30}}) {
        const std::string a = text_of(sekvo::fetch(*o_mapped, "a", start, end));
        CHECK_EQ(text_of(sekvo::fetch(*o_filed, "a", start, end)), a);
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
                                        sekvo::fetch_for_batch(*handle, "x", start, end)}) {
                        if (!result.ok()) continue;
                        CHECK(result.value().seq.size() <= 110);
                        CHECK(result.value().seq.find_first_not_of('A') == std::string::npos);
                    }
                }
                auto whole = sekvo::fetch_entire_sequence(*handle, "x");
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
