// Index building below the Python layer: the scan across piece boundaries
// and both read paths, names, UTF-8, layout warnings, index write targets,
// concurrent rebuilds and file permissions.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check.hpp"
#include "faidx/fasta_scan.hpp"
#include "faidx/index_file.hpp"
#include "faidx/retrieval.hpp"
#include "faidx/unicode_whitespace.hpp"
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

// The scan in `parts` parts on the worker pool, with what it wrote to
// standard error, or "<invalid>".
std::pair<std::string, std::string> index_in_parts(const std::string& fasta, std::size_t parts) {
    StderrCapture capture;
    auto records = sekvo::scan_fasta_in_parts(reinterpret_cast<const unsigned char*>(fasta.data()), fasta.size(),
                                              parts, nullptr);
    return {records ? index_of(records.value()) : "<invalid>", capture.text()};
}

CORE_TEST(scan_in_parts_matches_the_scan_in_one_piece) {
    std::vector<std::string> files = {
        ">chr1 d\xC3\xA9sc\r\nACGT\r\nAC\r\n\r\n>x\nAAA\nAA\nAAAA\n>t\nG",  // ragged x, no final line feed
        ">a\nAC\n\nA\n>b\nAA\nA\nA\n>c\nAAA\nAAA\nA\n\n\n",
        "AC\nACGT\n>s\nA\n>\nAC\nACGT\nA\n",  // text before the first header, an unnamed record
        ">a\nAC\n\xC3\nAC\n",                   // invalid UTF-8 in the middle
        ">a\nAC\nA\xE2\x80",                     // ends inside a character
        "",
        "\n\n\n",
    };
    // Long regular and irregular records, so that parts begin inside them.
    std::mt19937 rng(11);
    std::string regular, irregular;
    for (int r = 0; r < 30; ++r) {
        regular += ">rec" + std::to_string(r) + " x\n";
        irregular += ">odd" + std::to_string(r) + "\n";
        const std::size_t length = rng() % 5000;
        for (std::size_t i = 0; i < length; i += 60) {
            regular += std::string(std::min<std::size_t>(60, length - i), 'A') + "\n";
            irregular += std::string(1 + rng() % 70, 'C') + (rng() % 9 == 0 ? "\r\n" : "\n");
            if (rng() % 50 == 0) irregular += "\n";
        }
    }
    files.push_back(regular);
    files.push_back(irregular);
    for (const std::string& fasta : files) {
        std::pair<std::string, std::string> plain;
        {
            StderrCapture capture;
            plain.first = index_fed_in_pieces(fasta, {fasta.size()});
            plain.second = capture.text();
        }
        const std::pair<std::string, std::string> whole = index_in_parts(fasta, 1);
        CHECK(whole == plain);
        for (std::size_t parts : {2, 3, 7, 64, 1000}) CHECK(index_in_parts(fasta, parts) == whole);
    }
}

CORE_TEST(header_name_is_the_first_word) {
    // Every Unicode White_Space character ends the name; look-alikes do not.
    const std::string blanks[] = {"\t", " ", "\x0B", "\x0C", "\r", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
                                  "\xE2\x80\x80", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9",
                                  "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (const std::string& blank : blanks) {
        // Views into the temporaries are copied before the temporaries go.
        CHECK_EQ(std::string(sekvo::header_name(blank + "chr1" + blank + "x" + blank)), "chr1");
        CHECK_EQ(std::string(sekvo::trim_whitespace(blank + "a b" + blank)), "a b");
    }
    for (const std::string& name : {std::string("chr\xE2\x80\x8B" "1"), std::string("chr\xC3\xA9"),
                                    std::string("a\x1F" "b"), std::string("\xE2\x80\x8B")})
        CHECK_EQ(std::string(sekvo::header_name(name + " tail")), name);
    CHECK_EQ(sekvo::header_name(" \xE3\x80\x80\t"), "");
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

CORE_TEST(failed_scan_keeps_the_existing_index) {
    TempDir dir;
    write_file(dir / "bad.fa", ">chr1\nAC\xFFGT\n");
    write_file(dir / "bad.fa.fai", "chr1\t5\t6\t5\t6\n");
    set_mtime(dir / "bad.fa.fai", 1000, 0);  // stale: a rebuild is attempted
    for (bool mutable_file : {false, true}) {
        auto handle = open_fasta(dir / "bad.fa", [&](sekvo::OpenOptions& o) { o.mutable_file = mutable_file; });
        REQUIRE(!handle.ok());
        CHECK_EQ(handle.error().exception_message(), "IOError: stream did not contain valid UTF-8");
    }
    CHECK_EQ(read_file(dir / "bad.fa.fai"), "chr1\t5\t6\t5\t6\n");
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
    CHECK_EQ(built_index(">a\nAC\n\nA\n>b\nAA\nA\nA\n"), "a\t3\t3\t2\t3\nb\t4\t12\t2\t3\n");  // indexed as written
    CHECK_EQ(capture.text(), "WARNING: sequence 'a" + warning_tail + "WARNING: sequence 'b" + warning_tail);
}

CORE_TEST(index_write_targets) {
    TempDir dir;
    write_file(dir / "a.fa", ">chr1\nACGT\n");
    set_mtime(dir / "a.fa", 4000000000LL, 0);  // newer than any index: always rebuilt
    auto not_dir = open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) { o.indexname = dir / "a.fa/x.fai"; });
    REQUIRE(!not_dir.ok());
    CHECK_EQ(not_dir.error().exception_message(), "IOError: Not a directory (os error 20)");
    std::filesystem::create_directory(dir / "d.fai");
    auto is_dir = open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) { o.indexname = dir / "d.fai"; });
    REQUIRE(!is_dir.ok());
    CHECK(is_dir.error().kind == ErrorKind::IO);

    // A symbolic link stays a link; the file it points to gets the index,
    // written in place through the link, never replaced by a rename.
    write_file(dir / "target.fai", "stale\t1\t1\t1\t1\n");
    ::chmod((dir / "target.fai").c_str(), 0640);
    std::filesystem::create_symlink("target.fai", dir / "link.fai");
    set_mtime(dir / "target.fai", 1000, 0);
    struct stat info;
    REQUIRE(::stat((dir / "target.fai").c_str(), &info) == 0);
    const ino_t target_inode = info.st_ino;
    REQUIRE(open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) { o.indexname = dir / "link.fai"; }).ok());
    CHECK(std::filesystem::is_symlink(dir / "link.fai"));
    CHECK_EQ(read_file(dir / "target.fai"), "chr1\t4\t6\t4\t5\n");
    REQUIRE(::stat((dir / "target.fai").c_str(), &info) == 0);
    CHECK_EQ(info.st_mode & 0777, 0640u);  // the replaced file's permissions are kept
    CHECK_EQ(info.st_ino, target_inode);

    // A file that is not a regular one (a pipe, a device) is written in
    // place, never replaced.
    REQUIRE(::mkfifo((dir / "pipe.fai").c_str(), 0600) == 0);
    std::string piped;
    std::thread reader([&] { piped = read_file(dir / "pipe.fai"); });
    REQUIRE(open_fasta(dir / "a.fa", [&](sekvo::OpenOptions& o) { o.indexname = dir / "pipe.fai"; }).ok());
    reader.join();
    CHECK_EQ(piped, "chr1\t4\t6\t4\t5\n");
    CHECK(std::filesystem::is_fifo(dir / "pipe.fai"));

    std::vector<std::string> entries;  // failed writes left no temporary files
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        entries.push_back(entry.path().filename());
    std::sort(entries.begin(), entries.end());
    CHECK((entries == std::vector<std::string>{"a.fa", "d.fai", "link.fai", "pipe.fai", "target.fai"}));
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

// An index rewritten in place and a load of it take turns through flock:
// the reader sees the old index or the new one, whole.
CORE_TEST(index_rewrite_in_place_and_load_take_turns) {
    using namespace std::chrono_literals;
    TempDir dir;
    const std::string index = dir / "a.fai";
    write_file(index, "old\t4\t6\t4\t5\n");
    const std::string next = "new_one\t4\t6\t4\t5\nnew_two\t4\t6\t4\t5\n";

    // A load waits for a rewrite in progress.
    int writing = ::open(index.c_str(), O_WRONLY);
    REQUIRE(writing >= 0 && ::flock(writing, LOCK_EX) == 0 && ::ftruncate(writing, 0) == 0);
    REQUIRE(::write(writing, next.data(), 20) == 20);
    sekvo::NameTable table;
    std::atomic<bool> loaded{false};
    std::thread reader([&] {
        CHECK(!sekvo::load_index_file(index, table));
        loaded = true;
    });
    std::this_thread::sleep_for(300ms);
    CHECK(!loaded);
    REQUIRE(::write(writing, next.data() + 20, next.size() - 20) == static_cast<ssize_t>(next.size() - 20));
    ::close(writing);
    reader.join();
    CHECK_EQ(table.size(), 2u);

    // A rewrite in place (here through a link) waits for a load in progress.
    std::filesystem::create_symlink("a.fai", dir / "link.fai");
    int reading = ::open(index.c_str(), O_RDONLY);
    REQUIRE(reading >= 0 && ::flock(reading, LOCK_SH) == 0);
    std::atomic<bool> written{false};
    std::thread writer([&] {
        CHECK(!sekvo::write_index_file(dir / "link.fai", "newest\t4\t6\t4\t5\n"));
        written = true;
    });
    std::this_thread::sleep_for(300ms);
    CHECK(!written);
    CHECK_EQ(read_file(index), next);
    ::close(reading);
    writer.join();
    CHECK_EQ(read_file(index), "newest\t4\t6\t4\t5\n");
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
constexpr uid_t kOtherUser = 12345;
bool other_users = false;  // files of other users could be made (run as root)

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

    if (!other_users) return;
    // In a sticky shared directory, another user's stale but writable index
    // cannot be renamed over: it is rewritten in place.
    const std::string shared = permission_dir + "/shared";
    CHECK(open_fasta(shared + "/g.fa").ok());
    CHECK_EQ(read_file(shared + "/g.fa.fai"), "chr1\t4\t6\t4\t5\n");
    struct stat info;
    CHECK(::stat((shared + "/g.fa.fai").c_str(), &info) == 0 && info.st_uid == kOtherUser);
    // A link planted there by another user is followed only as the kernel
    // allows (fs.protected_symlinks), never resolved and renamed over.
    if (read_file("/proc/sys/fs/protected_symlinks") == "1\n") {
        auto planted = open_fasta(shared + "/h.fa");
        CHECK(!planted.ok());
        CHECK_EQ(read_file(permission_dir + "/victim"), "mine\n");
    }
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
    const std::string shared = dir / "shared";
    std::filesystem::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    for (const char* name : {"/g.fa", "/h.fa"}) {
        write_file(shared + name, ">chr1\nACGT\n");
        set_mtime(shared + name, 4000000000LL, 0);
    }
    write_file(shared + "/g.fa.fai", "stale\t1\t1\t1\t1\n");
    ::chmod((shared + "/g.fa.fai").c_str(), 0666);
    write_file(dir / "victim", "mine\n");
    std::filesystem::create_symlink(dir / "victim", shared + "/h.fa.fai");
    other_users = ::geteuid() == 0;
    if (other_users) {
        REQUIRE(::chown((shared + "/g.fa.fai").c_str(), kOtherUser, kOtherUser) == 0);
        REQUIRE(::lchown((shared + "/h.fa.fai").c_str(), kOtherUser, kOtherUser) == 0);
        REQUIRE(::chown((dir / "victim").c_str(), 65534, 65534) == 0);
    }
    CHECK(run_in_child(&permission_checks, 60));
    ::chmod(locked.c_str(), 0755);
}
