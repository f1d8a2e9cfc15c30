// Index building, writing and loading: the exact index text, names, the
// stale-index rules, loader rules, UTF-8, layout warnings and safe writes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check.hpp"
#include "faidx/fasta_scan.hpp"
#include "faidx/index_file.hpp"
#include "faidx/retrieval.hpp"
#include "faidx/utf8.hpp"
#include "test_files.hpp"

using namespace core_test;
using sekvo::ErrorKind;

namespace {

// Builds the index of `fasta` in a fresh directory; returns the index text.
std::string built_index(const std::string& fasta, std::vector<std::string>* names = nullptr) {
    TempDir dir;
    write_file(dir / "a.fa", fasta);
    auto handle = open_fasta(dir / "a.fa");
    if (!handle) return "<error: " + handle.error().exception_message() + ">";
    if (names) *names = handle.value()->names();
    return read_file(dir / "a.fa.fai");
}

std::string index_of(const std::vector<sekvo::ScannedRecord>& records) {
    return sekvo::format_index(records);
}

// Scans `fasta` fed in pieces of the given sizes (cycled).
std::string index_fed_in_pieces(const std::string& fasta, const std::vector<std::size_t>& sizes) {
    sekvo::FastaScanner scanner;
    const auto* data = reinterpret_cast<const unsigned char*>(fasta.data());
    std::size_t done = 0;
    for (std::size_t i = 0; done < fasta.size(); ++i) {
        std::size_t piece = std::min(sizes[i % sizes.size()], fasta.size() - done);
        if (!scanner.feed(data + done, piece)) return "<invalid>";
        done += piece;
    }
    if (!scanner.finish()) return "<invalid>";
    return index_of(scanner.records());
}

}  // namespace

CORE_TEST(index_text_of_small_files) {
    const std::pair<std::string, std::string> cases[] = {
        {">chr1 some description\nACGT\nAC\n", "chr1\t6\t23\t4\t5\n"},
        {">chr1 some description\r\nACGT\r\nAC\r\n", "chr1\t6\t24\t4\t6\n"},
        {"ACGT\nTT\n>\nAAAA\n>x\nG\n", "x\t1\t18\t1\t2\n"},  // stray residues, lone ">"
        {">chr1\n\nACGT\n", "chr1\t4\t6\t0\t1\n"},
        {">chr1\r\n\r\nACGT\r\n", "chr1\t4\t7\t0\t2\n"},
        {">chr1\nACGT\nAC", "chr1\t6\t6\t4\t5\n"},
        {">a\nAC\n>b", "a\t2\t3\t2\t3\nb\t0\t8\t0\t0\n"},
        {">s\nA C\tG\r\r\n", "s\t5\t3\t5\t8\n"},
        {"", ""},
    };
    StderrCapture quiet;  // records with a blank first line warn
    for (const auto& [fasta, expected] : cases) CHECK_EQ(built_index(fasta), expected);
}

CORE_TEST(scan_does_not_depend_on_piece_boundaries) {
    std::string fasta = ">chr1 d\xC3\xA9sc\r\nACGT\r\nAC\r\n\r\n>\xE2\x80\x83x\xE3\x80\x80y\nAAA\nAA\nAAAA\n"
                        ">long";
    fasta += std::string(300, 'n') + "\nCCC\r\r\n>t\nG";
    StderrCapture quiet;  // record x is ragged and warns once per scan
    const std::string whole = index_fed_in_pieces(fasta, {fasta.size()});
    CHECK_EQ(whole, "chr1\t6\t13\t4\t6\nx\t9\t35\t3\t4\nlong" + std::string(300, 'n') +
                        "\t3\t353\t3\t6\nt\t1\t362\t1\t1\n");
    for (std::size_t size : {1, 2, 3, 5, 7, 64}) CHECK_EQ(index_fed_in_pieces(fasta, {size}), whole);
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::size_t> sizes;
        for (int i = 0; i < 16; ++i) sizes.push_back(1 + rng() % 40);
        CHECK_EQ(index_fed_in_pieces(fasta, sizes), whole);
    }
}

CORE_TEST(mapped_and_read_scans_agree_on_a_large_file) {
    // Large enough to cross the scanner's internal pieces in both paths.
    TempDir dir;
    std::mt19937 rng(3);
    std::string fasta;
    for (int r = 0; r < 40; ++r) {
        fasta += ">rec" + std::to_string(r) + " x\n";
        std::size_t length = rng() % 40000;
        for (std::size_t i = 0; i < length; i += 61) fasta += std::string(std::min<std::size_t>(61, length - i), 'A') + "\n";
    }
    write_file(dir / "a.fa", fasta);
    REQUIRE(open_fasta(dir / "a.fa").ok());
    const std::string mapped = read_file(dir / "a.fa.fai");
    set_mtime(dir / "a.fa", 4000000000, 0);  // far newer than the index: rebuilt
    REQUIRE(open_fasta(dir / "a.fa", [](sekvo::OpenOptions& o) { o.mutable_file = true; }).ok());
    CHECK_EQ(read_file(dir / "a.fa.fai"), mapped);
    CHECK_EQ(index_fed_in_pieces(fasta, {fasta.size()}), mapped);
}

CORE_TEST(header_name_is_the_first_word) {
    const std::string headers[] = {
        "chr1\tx", " chr1 x", "chr1\xC2\xA0x", "\xE3\x80\x80" "chr1\xE3\x80\x80x", "chr1\xC2\x85x",
        "chr1\xE1\x9A\x80x", "chr1\xE2\x80\x80x", "chr1\xE2\x80\x8Ax", "chr1\xE2\x80\xA8",
        "chr1\xE2\x80\xA9x", "chr1\xE2\x80\xAFx", "chr1\xE2\x81\x9Fx", "chr1\x0B", "\x0C" "chr1",
        "chr1\r\r",
    };
    for (const std::string& header : headers) {
        std::vector<std::string> names;
        built_index(">" + header + "\nACGT\n", &names);
        CHECK(names == std::vector<std::string>{"chr1"});
    }
    // Characters that only look blank, and other non-ASCII text, belong to the name.
    for (const std::string& name : {std::string("chr\xE2\x80\x8B" "1"), std::string("chr\xC3\xA9"),
                                    std::string("a\x1F" "b")}) {
        std::vector<std::string> names;
        built_index(">" + name + " tail\nACGT\n", &names);
        CHECK(names == std::vector<std::string>{name});
    }
}

CORE_TEST(duplicate_names) {
    TempDir dir;
    write_file(dir / "a.fa", ">chr1\nAAAA\n>chr2\nCC\n>chr1 again\nGGG\n");
    auto handle = open_fasta(dir / "a.fa");
    REQUIRE(handle.ok());
    CHECK_EQ(read_file(dir / "a.fa.fai"), "chr1\t4\t6\t4\t5\nchr2\t2\t17\t2\t3\nchr1\t3\t32\t3\t4\n");
    const sekvo::IndexHandle& h = *handle.value();
    CHECK((h.names() == std::vector<std::string>{"chr1", "chr2"}));
    REQUIRE(h.lookup("chr1") != nullptr);
    CHECK_EQ(h.lookup("chr1")->offset, 32u);
    CHECK_EQ(h.table().entry_at(0).rlen, 3u);
    // Loading the written index gives the same table.
    auto loaded = open_fasta(dir / "a.fa", [](sekvo::OpenOptions& o) { o.build_index = false; });
    REQUIRE(loaded.ok());
    CHECK((loaded.value()->names() == std::vector<std::string>{"chr1", "chr2"}));
    CHECK_EQ(loaded.value()->lookup("chr1")->offset, 32u);
}

CORE_TEST(many_names_keep_file_order) {
    std::string fasta;
    std::vector<std::string> expected;
    std::mt19937 rng(11);
    for (int i = 0; i < 5000; ++i) {
        expected.push_back(std::string("n").append(std::to_string(rng())));
        fasta += ">" + expected.back() + "\nA\n";
    }
    std::vector<std::string> unique;
    for (const auto& name : expected)
        if (std::find(unique.begin(), unique.end(), name) == unique.end()) unique.push_back(name);
    std::vector<std::string> names;
    built_index(fasta, &names);
    CHECK(names == unique);
}

CORE_TEST(missing_files) {
    TempDir dir;
    auto missing = open_fasta(dir / "none.fa");
    REQUIRE(!missing.ok());
    CHECK(missing.error().kind == ErrorKind::FastaNotFound);
    CHECK_EQ(missing.error().detail, dir / "none.fa");

    write_file(dir / "a.fa", ">chr1\nACGT\n");
    auto no_index = open_fasta(dir / "a.fa", [](sekvo::OpenOptions& o) { o.build_index = false; });
    REQUIRE(!no_index.ok());
    CHECK_EQ(no_index.error().exception_message(), "IndexNotFoundError: " + (dir / "a.fa.fai"));
    CHECK(!file_exists(dir / "a.fa.fai"));

    auto named = open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) {
        o.build_index = false;
        o.indexname = dir / "x.fai";
    });
    REQUIRE(!named.ok());
    CHECK_EQ(named.error().detail, dir / "x.fai");
}

CORE_TEST(stale_index_rules) {
    struct Case {
        bool rebuild;
        bool build_index;
        long long index_seconds;
        long index_nanoseconds;
        bool rebuilt;
    };
    // The FASTA file is at 1000 s + 5 ns.
    const Case cases[] = {
        {true, true, 1000, 4, true},    // older by one nanosecond
        {false, true, 1000, 4, false},
        {true, false, 1000, 4, false},
        {true, true, 1000, 5, false},   // equal: current
        {true, true, 1001, 0, false},   // newer
    };
    for (const Case& c : cases) {
        TempDir dir;
        write_file(dir / "a.fa", ">chr1\nACGT\n");
        write_file(dir / "a.fa.fai", "old\t4\t5\t4\t5\n");
        set_mtime(dir / "a.fa", 1000, 5);
        set_mtime(dir / "a.fa.fai", c.index_seconds, c.index_nanoseconds);
        auto handle = open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) {
            o.rebuild = c.rebuild;
            o.build_index = c.build_index;
        });
        REQUIRE(handle.ok());
        CHECK((handle.value()->names() == std::vector<std::string>{c.rebuilt ? "chr1" : "old"}));
    }
}

CORE_TEST(loader_line_rules) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"chr1\t4\t6\t4\t5\textra\n", {}},
        {"chr1\t4\t6\t4\n", {}},
        {"\n\nchr1\t4\t6\t4\t5\n\n", {"chr1"}},
        {"  chr1\t+4\t6\t4\t5  \r\n", {"chr1"}},
        {"\xE3\x80\x80" "chr1\t4\t6\t4\t5\xC2\xA0\n", {"chr1"}},
        {"a name\t4\t6\t4\t5", {"a name"}},
        {"\t4\t6\t4\t5\n", {}},
        {"b\t1\t1\t1\t1\na\t1\t1\t1\t1\nb\t2\t2\t2\t2\n", {"b", "a"}},
        {"", {}},
    };
    for (const auto& [text, keys] : cases) {
        TempDir dir;
        write_file(dir / "a.fa", ">chr1\nACGT\n");
        write_file(dir / "a.fa.fai", text);
        auto handle = open_fasta(dir / "a.fa", [](sekvo::OpenOptions& o) { o.rebuild = false; });
        REQUIRE(handle.ok());
        CHECK(handle.value()->names() == keys);
    }
    TempDir dir;
    write_file(dir / "a.fa", ">chr1\nACGT\n");
    write_file(dir / "a.fa.fai", "chr1\t+6\t6\t4\t5\n");
    auto plus = open_fasta(dir / "a.fa", [](sekvo::OpenOptions& o) { o.rebuild = false; });
    REQUIRE(plus.ok());
    CHECK_EQ(plus.value()->lookup("chr1")->rlen, 6u);
}

CORE_TEST(loader_number_errors) {
    const std::pair<std::string, std::string> cases[] = {
        {"chr1\t-6\t6\t4\t5", "Invalid rlen"},
        {"chr1\t6\tx\t4\t5", "Invalid offset"},
        {"chr1\t6\t6\t4.0\t5", "Invalid lenc"},
        {"chr1\t6\t6\t4\t18446744073709551616", "Invalid lenb"},
        {"chr1\t6\t6\t4\t18446744073709551615", ""},
        {"chr1\t\t6\t4\t5", "Invalid rlen"},
        {"chr1\t+\t6\t4\t5", "Invalid rlen"},
        {"chr1\t++6\t6\t4\t5", "Invalid rlen"},
        {"chr1\t6\t 6\t4\t5", "Invalid offset"},
        {"chr1\tx\ty\tz\tw", "Invalid rlen"},  // the first failing column is reported
    };
    for (const auto& [line, message] : cases) {
        TempDir dir;
        write_file(dir / "a.fa", ">chr1\nACGT\n");
        write_file(dir / "a.fa.fai", "ok\t1\t1\t1\t2\n" + line + "\n");
        auto handle = open_fasta(dir / "a.fa", [](sekvo::OpenOptions& o) { o.rebuild = false; });
        if (message.empty()) {
            CHECK(handle.ok());
            continue;
        }
        REQUIRE(!handle.ok());
        CHECK_EQ(handle.error().exception_message(), "FastaIndexingError: " + message);
    }
}

CORE_TEST(utf8_validation) {
    const std::pair<std::string, bool> cases[] = {
        {"plain ACGT", true},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\xA7\xAC\xF4\x8F\xBF\xBF", true},
        {"\xFF", false},
        {"\xC0\xAF", false},            // overlong
        {"\xE0\x80\xAF", false},        // overlong
        {"\xED\xA0\x80", false},        // surrogate
        {"\xF4\x90\x80\x80", false},    // above U+10FFFF
        {"\xC3", false},                // unfinished at the end
        {"\xE2\x82", false},
        {"\x80", false},                // lone continuation
        {"\xC3" "A", false},
        {std::string(40, 'A') + "\xE2\x82\xAC" + std::string(40, 'C'), true},
        {std::string(40, 'A') + "\xE2" + std::string(40, 'C'), false},
    };
    for (const auto& [text, valid] : cases) {
        const auto* data = reinterpret_cast<const unsigned char*>(text.data());
        CHECK_EQ(sekvo::is_valid_utf8(data, text.size()), valid);
        // Every split into two pieces gives the same verdict.
        for (std::size_t split = 0; split <= text.size(); ++split) {
            sekvo::Utf8StreamValidator stream;
            bool ok = stream.feed(data, split) && stream.feed(data + split, text.size() - split) &&
                      stream.finish();
            CHECK_EQ(ok, valid);
        }
    }
}

CORE_TEST(invalid_utf8_fasta_is_not_indexed_but_an_index_loads) {
    TempDir dir;
    write_file(dir / "bad.fa", ">chr1\nAC\xFFGT\n");
    for (bool mutable_file : {false, true}) {
        auto handle = open_fasta(dir / "bad.fa", [&](sekvo::OpenOptions& o) { o.mutable_file = mutable_file; });
        REQUIRE(!handle.ok());
        CHECK_EQ(handle.error().exception_message(), "IOError: stream did not contain valid UTF-8");
    }
    CHECK(!file_exists(dir / "bad.fa.fai"));
    write_file(dir / "bad.fa.fai", "chr1\t5\t6\t5\t6\n");
    auto loaded = open_fasta(dir / "bad.fa", [](sekvo::OpenOptions& o) { o.rebuild = false; });
    REQUIRE(loaded.ok());
    auto region = sekvo::fetch(*loaded.value(), "chr1", 1, 5);
    REQUIRE(region.ok());
    CHECK_EQ(region.value().seq, "AC\xFFGT");
    // A failed scan leaves an existing index as it was.
    set_mtime(dir / "bad.fa.fai", 1000, 0);
    CHECK(!open_fasta(dir / "bad.fa").ok());
    CHECK_EQ(read_file(dir / "bad.fa.fai"), "chr1\t5\t6\t5\t6\n");

    write_file(dir / "bad.fa.fai", "chr1\t5\t6\t5\t6\nchr\xFF\t1\t1\t1\t1\n");
    auto bad_index = open_fasta(dir / "bad.fa", [](sekvo::OpenOptions& o) { o.rebuild = false; });
    REQUIRE(!bad_index.ok());
    CHECK_EQ(bad_index.error().exception_message(), "IOError: stream did not contain valid UTF-8");
}

CORE_TEST(mutable_open_of_an_unwritable_file) {
    // A running executable cannot be opened for writing, not even by root.
    auto busy = open_fasta("/proc/self/exe", [](sekvo::OpenOptions& o) { o.mutable_file = true; });
    REQUIRE(!busy.ok());
    CHECK(busy.error().kind == ErrorKind::IO);
    CHECK(busy.error().detail_text().find("(os error ") != std::string::npos);
    if (::geteuid() != 0) {
        TempDir dir;
        write_file(dir / "ro.fa", ">chr1\nACGT\n");
        ::chmod((dir / "ro.fa").c_str(), 0444);
        auto read_only = open_fasta(dir / "ro.fa", [](sekvo::OpenOptions& o) { o.mutable_file = true; });
        REQUIRE(!read_only.ok());
        CHECK_EQ(read_only.error().exception_message(), "IOError: Permission denied (os error 13)");
    }
}

CORE_TEST(ragged_records_warn_once) {
    const std::string warning_tail = "' has lines of differing length; regions of it may be read wrongly\n";
    const std::pair<std::string, std::string> cases[] = {
        {">r\nACGT\nAC\nACGT\nA\n", "r"},          // short line inside: one warning
        {">r\nACGT\nACGT\nACGTAC\n", "r"},         // last line longer than the first
        {">r\nACGT\n\nACGT\n", "r"},               // blank line inside
        {">r\n\nACGT\n", "r"},                     // blank first line
        {">r\nACGT\r\nACGT\nAC\n", "r"},           // mixed line ends
        {">r\nACGT\nACGT\nAC\n\n\r\n\n>s\nA\n", ""},  // blank lines that end a record
        {">r\nACGT\nACGT\nACGT", ""},
        {">r\nACGT\nAC\n>s\nACGT\nAC", ""},
        {"AC\nACGT\nA\n>s\nA\n", ""},             // before the first header
        {">\nAC\nACGT\nA\n", ""},                 // unnamed record, not indexed
    };
    for (const auto& [fasta, name] : cases) {
        StderrCapture capture;
        std::string index = built_index(fasta);
        CHECK_EQ(capture.text(), name.empty() ? std::string() : "WARNING: sequence '" + name + warning_tail);
        CHECK(index.find("<error") == std::string::npos);
    }
    StderrCapture capture;
    CHECK_EQ(built_index(">r\nACGT\nAC\nACGT\nA\n"), "r\t11\t3\t4\t5\n");  // indexed as written
    CHECK_EQ(built_index(">a\nAC\n\nA\n>b\nAA\nA\nA\n"), "a\t3\t3\t2\t3\nb\t4\t12\t2\t3\n");
    CHECK_EQ(capture.text(), "WARNING: sequence 'r" + warning_tail + "WARNING: sequence 'a" + warning_tail +
                                 "WARNING: sequence 'b" + warning_tail);
}

CORE_TEST(index_write_is_atomic_and_leaves_no_temporary_files) {
    TempDir dir;
    write_file(dir / "a.fa", ">chr1\nACGT\n");
    for (int i = 0; i < 3; ++i) {
        set_mtime(dir / "a.fa", 4000000000LL + i, 0);
        REQUIRE(open_fasta(dir / "a.fa").ok());
    }
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        entries.push_back(entry.path().filename());
    std::sort(entries.begin(), entries.end());
    CHECK((entries == std::vector<std::string>{"a.fa", "a.fa.fai"}));

    // Unwritable places are IOErrors, and nothing is created.
    auto missing_dir = open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) { o.indexname = dir / "no/a.fai"; });
    REQUIRE(!missing_dir.ok());
    CHECK_EQ(missing_dir.error().exception_message(), "IOError: No such file or directory (os error 2)");
    auto not_dir = open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) { o.indexname = dir / "a.fa/x.fai"; });
    REQUIRE(!not_dir.ok());
    CHECK_EQ(not_dir.error().exception_message(), "IOError: Not a directory (os error 20)");
    std::filesystem::create_directory(dir / "d.fai");
    auto is_dir = open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) { o.indexname = dir / "d.fai"; });
    REQUIRE(!is_dir.ok());
    CHECK(is_dir.error().kind == ErrorKind::IO);

    // A symbolic link stays a link; the file it points to gets the index.
    write_file(dir / "target.fai", "stale\t1\t1\t1\t1\n");
    ::chmod((dir / "target.fai").c_str(), 0640);
    std::filesystem::create_symlink("target.fai", dir / "link.fai");
    set_mtime(dir / "target.fai", 1000, 0);
    REQUIRE(open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) { o.indexname = dir / "link.fai"; }).ok());
    CHECK(std::filesystem::is_symlink(dir / "link.fai"));
    CHECK_EQ(read_file(dir / "target.fai"), "chr1\t4\t6\t4\t5\n");
    struct stat info;
    REQUIRE(::stat((dir / "target.fai").c_str(), &info) == 0);
    CHECK_EQ(info.st_mode & 0777, 0640u);  // the replaced file's permissions are kept

    // A file that is not a regular one (a pipe, a device) is written in
    // place, never replaced.
    REQUIRE(::mkfifo((dir / "pipe.fai").c_str(), 0600) == 0);
    std::string piped;
    std::thread reader([&] { piped = read_file(dir / "pipe.fai"); });
    REQUIRE(open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) { o.indexname = dir / "pipe.fai"; }).ok());
    reader.join();
    CHECK_EQ(piped, "chr1\t4\t6\t4\t5\n");
    CHECK(std::filesystem::is_fifo(dir / "pipe.fai"));
}

CORE_TEST(concurrent_readers_never_see_a_partial_index) {
    TempDir dir;
    std::string fasta;
    const int records = 20000;
    for (int i = 0; i < records; ++i) fasta += ">record_" + std::to_string(i) + "\nACGTACGT\n";
    write_file(dir / "a.fa", fasta);
    REQUIRE(open_fasta(dir / "a.fa").ok());
    set_mtime(dir / "a.fa", 4000000000LL, 0);  // newer than any index: every open rebuilds

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> loads{0};
    std::thread writer([&] {
        for (int i = 0; i < 30; ++i)
            if (!open_fasta(dir / "a.fa").ok()) ++bad;
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t)
        readers.emplace_back([&] {
            while (!stop) {
                auto handle = open_fasta(dir / "a.fa", [](sekvo::OpenOptions& o) { o.build_index = false; });
                if (!handle.ok() || handle.value()->table().size() != records) ++bad;
                ++loads;
            }
        });
    writer.join();
    for (auto& reader : readers) reader.join();
    CHECK_EQ(bad.load(), 0);
    CHECK(loads.load() > 0);
}

CORE_TEST(empty_fasta_file) {
    TempDir dir;
    write_file(dir / "e.fa", "");
    for (bool mutable_file : {false, true}) {
        auto handle = open_fasta(dir / "e.fa", [&](sekvo::OpenOptions& o) { o.mutable_file = mutable_file; });
        REQUIRE(handle.ok());
        CHECK(handle.value()->names().empty());
        CHECK_EQ(read_file(dir / "e.fa.fai"), "");
        auto missing = sekvo::fetch(*handle.value(), "x", 1, 1);
        REQUIRE(!missing.ok());
        CHECK_EQ(missing.error().exception_message(), "FetchError: Sequence 'x' not found");
    }
}

namespace {

std::string permission_dir;  // for the unprivileged child below

void permission_checks() {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
        record_failure(__FILE__, __LINE__, "cannot drop privileges");
        return;
    }
    const std::string locked = permission_dir + "/locked";
    const std::string open_dir = permission_dir + "/open";
    // A writable index in a directory closed to new files is rewritten in place.
    auto in_place = open_fasta(locked + "/a.fa");
    CHECK(in_place.ok());
    CHECK_EQ(read_file(locked + "/a.fa.fai"), "chr1\t4\t6\t4\t5\n");
    // A read-only index is an IOError and stays as it was.
    auto read_only = open_fasta(open_dir + "/b.fa");
    REQUIRE(!read_only.ok());
    CHECK_EQ(read_only.error().exception_message(), "IOError: Permission denied (os error 13)");
    CHECK_EQ(read_file(open_dir + "/b.fa.fai"), "stale\t1\t1\t1\t1\n");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(open_dir)) ++files;
    CHECK_EQ(files, 3u);
    // A mutable handle needs a writable FASTA file.
    auto mutable_open = open_fasta(open_dir + "/c.fa", [](sekvo::OpenOptions& o) { o.mutable_file = true; });
    REQUIRE(!mutable_open.ok());
    CHECK_EQ(mutable_open.error().exception_message(), "IOError: Permission denied (os error 13)");
}

}  // namespace

CORE_TEST(file_permissions_are_respected) {
    TempDir dir;
    permission_dir = dir.path();
    const std::string locked = dir / "locked";
    const std::string open_dir = dir / "open";
    std::filesystem::create_directory(locked);
    std::filesystem::create_directory(open_dir);
    write_file(locked + "/a.fa", ">chr1\nACGT\n");
    write_file(locked + "/a.fa.fai", "stale\t1\t1\t1\t1\n");
    write_file(open_dir + "/b.fa", ">chr1\nACGT\n");
    write_file(open_dir + "/b.fa.fai", "stale\t1\t1\t1\t1\n");
    write_file(open_dir + "/c.fa", ">chr1\nACGT\n");
    set_mtime(locked + "/a.fa", 4000000000LL, 0);
    set_mtime(open_dir + "/b.fa", 4000000000LL, 0);
    ::chmod(dir.path().c_str(), 0755);
    ::chmod((locked + "/a.fa.fai").c_str(), 0666);
    ::chmod(locked.c_str(), 0555);
    ::chmod(open_dir.c_str(), 0777);
    ::chmod((open_dir + "/b.fa.fai").c_str(), 0444);
    ::chmod((open_dir + "/c.fa").c_str(), 0444);
    CHECK(run_in_child(&permission_checks, 60));
    ::chmod(locked.c_str(), 0755);
}
