// The command line's output engine: records in input order across windows
// and pieces, headers and skips of BED intervals, and write failures.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>

#include "check.hpp"
#include "faidx/bed_records.hpp"
#include "faidx/record_output.hpp"
#include "faidx/passed_pages.hpp"
#include "faidx/region_lines.hpp"
#include "faidx/serial_jobs.hpp"
#include "test_files.hpp"

using namespace sekvo;
using core_test::TempDir;

namespace {

// chr1 = ACGTTGCAAC repeated, in 7-residue lines; chr2 = 12 residues.
std::string fasta_text() {
    std::string chr1;
    for (int i = 0; i < 30; ++i) chr1 += "ACGTTGCAAC";
    std::string text = ">chr1 first\n";
    for (std::size_t i = 0; i < chr1.size(); i += 7) text += chr1.substr(i, 7) + "\n";
    return text + ">chr2\nRYKMacgtNNNU\n";
}

// Output written to a file and read back.
class Captured {
public:
    explicit Captured(const TempDir& dir) : path_(dir / "out") {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    ~Captured() { ::close(fd_); }
    int fd() const { return fd_; }
    std::string text() const { return core_test::read_file(path_); }

private:
    std::string path_;
    int fd_;
};

std::string bed_output(const IndexHandle& handle, const TempDir& dir, const std::string& bed,
                       const BedRecordOptions& options, std::size_t piece, std::vector<BedSkip>* skips = nullptr,
                       std::optional<BedProblem>* problem = nullptr) {
    Captured out(dir);
    OutputSink sink(out.fd());
    BedRecordStream stream(handle, options, sink);
    bool ok = true;
    for (std::size_t at = 0; at < bed.size() && ok; at += piece) ok = stream.feed(std::string_view(bed).substr(at, piece));
    if (ok) stream.finish();
    if (skips) *skips = stream.take_skips();
    if (problem) *problem = stream.problem();
    return out.text();
}

}  // namespace

CORE_TEST(bed_records_headers_strands_and_layouts) {
    TempDir dir;
    core_test::write_file(dir / "g.fa", fasta_text());
    auto handle = core_test::open_fasta(dir / "g.fa");
    REQUIRE(handle.ok());
    const std::string bed =
        "track x\nchr1\t0\t5\tone\t0\t+\nchr2\t2\t9\ttwo\t0\t-\r\nchr1\t3\t4\tthree\t0\t.\nchr1\t1\t3\n";
    BedRecordOptions plain;
    CHECK_EQ(bed_output(*handle.value(), dir, bed, plain, bed.size()),
             std::string(">chr1:0-5\nACGTT\n>chr2:2-9\nKMacgtN\n>chr1:3-4\nT\n>chr1:1-3\nCG\n"));
    BedRecordOptions named;
    named.header = BedHeader::name_and_coordinates;
    named.strand = true;
    named.layout.tab = true;
    CHECK_EQ(bed_output(*handle.value(), dir, bed, named, 3),
             std::string("one::chr1:0-5(+)\tACGTT\ntwo::chr2:2-9(-)\tNacgtKM\nthree::chr1:3-4(.)\tT\n"
                         "::chr1:1-3()\tCG\n"));
    BedRecordOptions rna;
    rna.header = BedHeader::name_only;
    rna.strand = true;
    rna.layout.rna = true;
    CHECK_EQ(bed_output(*handle.value(), dir, "chr2\t0\t12\tr\t0\t-\n", rna, 1),
             std::string(">r(-)\nANNNacguKMRY\n"));
}

CORE_TEST(bed_records_skip_and_refuse_with_line_numbers) {
    TempDir dir;
    core_test::write_file(dir / "g.fa", fasta_text());
    auto handle = core_test::open_fasta(dir / "g.fa");
    REQUIRE(handle.ok());
    BedRecordOptions options;
    options.keep_going = true;
    std::vector<BedSkip> skips;
    std::optional<BedProblem> problem;
    const std::string out = bed_output(*handle.value(), dir, "#c\nchr1\t2\t2\nchrZ\t0\t1\nchr2\t5\t13\nchr2\t0\t1\n",
                                       options, 5, &skips, &problem);
    CHECK_EQ(out, std::string(">chr2:0-1\nR\n"));
    REQUIRE(skips.size() == 3);
    CHECK(skips[0].kind == BedSkip::empty && skips[0].line == 2);
    CHECK(skips[1].kind == BedSkip::unknown_name && skips[1].line == 3 && skips[1].name == "chrZ");
    CHECK(skips[2].kind == BedSkip::past_end && skips[2].line == 4 && skips[2].length == 12);

    options.keep_going = false;
    bed_output(*handle.value(), dir, "chr1\t0\t1\nchrZ\t0\t1\n", options, 100, &skips, &problem);
    REQUIRE(problem.has_value());
    CHECK(problem->line == 2 && problem->message.find("no sequence named 'chrZ'") != std::string::npos);
    bed_output(*handle.value(), dir, "chr1\t0\t1\n\nchr1\t5\t3\n", options, 100, &skips, &problem);
    REQUIRE(problem.has_value());
    CHECK(problem->line == 3 && problem->message == "start 5 is greater than end 3");
}

CORE_TEST(record_windows_keep_input_order_and_wrap_lines) {
    TempDir dir;
    core_test::write_file(dir / "g.fa", fasta_text());
    auto handle = core_test::open_fasta(dir / "g.fa");
    REQUIRE(handle.ok());
    // Twice a window's worth of records, alternating strands and an empty one.
    Captured out(dir);
    OutputSink sink(out.fd());
    RecordLayout layout;
    layout.line_width = 4;
    RecordWindow window;
    std::string expected;
    const std::size_t count = 2 * RecordWindow::kWindowRecords + 3;
    for (std::size_t i = 0; i < count; ++i) {
        const bool reverse = i % 2 == 1;
        const std::uint64_t start = 1 + i % 290;
        const std::uint64_t end = i % 1000 == 7 ? start - 1 : start + i % 11;
        const std::string header = std::string(1, 'r').append(std::to_string(i));
        window.add(header, "chr1", start, end, reverse);
        std::string residues;
        for (std::uint64_t p = start; p <= end; ++p) residues += "ACGTTGCAAC"[(p - 1) % 10];
        if (reverse) peer_reverse_complement(residues.data(), residues.size(), false);
        expected.append(">").append(header).append("\n");
        for (std::size_t at = 0; at < residues.size(); at += 4) expected += residues.substr(at, 4) + "\n";
        if (window.full() || i + 1 == count) {
            CHECK(!window.write(*handle.value(), layout, sink));
            window.clear();
        }
    }
    sink.flush();
    CHECK(sink.error() == 0);
    CHECK(out.text() == expected);
}

// Records longer than a fetch are laid out across fetches: the header with
// the first piece, the wrap column carried on, a reverse record's pieces
// from last to first; a background sink writes the same.
CORE_TEST(record_windows_lay_out_records_longer_than_a_fetch) {
    TempDir dir;
    std::string big;
    for (std::size_t i = 0; i < 2'500'003; ++i) big += "ACGTTGCAACNRYacgt"[i % 17];
    std::string text = ">big\n";
    for (std::size_t at = 0; at < big.size(); at += 61) text += big.substr(at, 61) + "\n";
    core_test::write_file(dir / "g.fa", text + ">s\nACGTA\n");
    auto handle = core_test::open_fasta(dir / "g.fa");
    REQUIRE(handle.ok());
    struct Asked {
        const char* name;
        std::uint64_t start;
        std::uint64_t end;
        bool reverse;
    };
    const Asked asked[] = {{"s", 2, 4, false}, {"big", 7, 2'400'000, true}, {"s", 1, 5, true},
                           {"big", 1, 2'500'003, false}, {"s", 3, 2, false}};
    for (const bool background : {false, true}) {
        for (const std::size_t width : {0, 60}) {
            Captured out(dir);
            std::optional<OutputSink> sink;
            if (background) sink.emplace(out.fd(), OutputSink::background);
            else sink.emplace(out.fd());
            RecordLayout layout;
            layout.line_width = width;
            RecordWindow window;
            std::string expected;
            for (const Asked& a : asked) {
                const std::string header = std::string(a.name) + "_" + std::to_string(a.start);
                window.add(header, a.name, a.start, a.end, a.reverse);
                std::string residues = a.end < a.start ? "" : (a.name[0] == 's' ? std::string("ACGTA") : big)
                                                                  .substr(a.start - 1, a.end - a.start + 1);
                if (a.reverse) peer_reverse_complement(residues.data(), residues.size(), false);
                expected += ">" + header + "\n";
                const std::size_t step = width == 0 ? residues.size() : width;
                for (std::size_t at = 0; at < residues.size(); at += step) expected += residues.substr(at, step) + "\n";
            }
            CHECK(!window.write(*handle.value(), layout, *sink));
            sink->flush();
            CHECK(sink->error() == 0);
            CHECK(out.text() == expected);
        }
    }
}

// Records copied straight from the mapping share their fetch with records
// the mapping cannot give as asked (bytes that are not ASCII; a file cut
// short of what its index says): those are fetched the general way, and the
// block comes out as if all were.
CORE_TEST(record_windows_fetch_what_the_mapping_cannot_give_directly) {
    TempDir dir;
    const std::string path = dir / "g.fa";
    core_test::write_file(path, ">a\nACGTACGTAC\n>u\nAC\xc3\xa9GT\n>z\nACGTACGTACGTACGTACGT\n");
    REQUIRE(core_test::open_fasta(path).ok());  // the index, then the file cut short
    core_test::write_file(path, ">a\nACGTACGTAC\n>u\nAC\xc3\xa9GT\n>z\nACGTACG");
    const struct timeval older[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};  // than the index: kept
    REQUIRE(::utimes(path.c_str(), older) == 0);
    auto handle = core_test::open_fasta(path);
    REQUIRE(handle.ok());
    for (const std::size_t width : {0, 4}) {
        Captured out(dir);
        OutputSink sink(out.fd());
        RecordLayout layout;
        layout.line_width = width;
        RecordWindow window;
        window.add("h1", "a", 2, 9, true);
        window.add("h2", "u", 1, 6, false);
        window.add("h3", "z", 3, 12, false);
        window.add("h4", "a", 1, 5, false);
        std::vector<RecordWindow::ShortRecord> short_records;
        CHECK(!window.write(*handle.value(), layout, sink, &short_records));
        sink.flush();
        const std::string expected = width == 0
                                         ? ">h1\nTACGTACG\n>h2\nAC\xc3\xa9GT\n>h3\nGTACG\n>h4\nACGTA\n"
                                         : ">h1\nTACG\nTACG\n>h2\nAC\xc3\xa9\nGT\n>h3\nGTAC\nG\n>h4\nACGT\nA\n";
        CHECK_EQ(out.text(), expected);
        REQUIRE(short_records.size() == 1);
        CHECK(short_records[0].index == 2 && short_records[0].residues == 5 && short_records[0].wanted == 10);
    }
}

// A window that fails on the sink's thread (here: an unknown record) is
// reported by the next write, once, and nothing is written after it.
CORE_TEST(background_sink_reports_a_failed_window_and_stops) {
    TempDir dir;
    core_test::write_file(dir / "g.fa", fasta_text());
    auto handle = core_test::open_fasta(dir / "g.fa");
    REQUIRE(handle.ok());
    Captured out(dir);
    OutputSink sink(out.fd(), OutputSink::background);
    RecordLayout layout;
    RecordWindow window;
    window.add("a", "chr1", 1, 3, false);
    CHECK(!window.write(*handle.value(), layout, sink));
    CHECK(window.empty());
    window.add("b", "nope", 1, 3, false);
    CHECK(!window.write(*handle.value(), layout, sink));
    sink.flush();
    window.add("c", "chr1", 1, 3, false);
    const std::optional<Error> failed = window.write(*handle.value(), layout, sink);
    REQUIRE(failed.has_value());
    CHECK(failed->kind == ErrorKind::BatchFailed);
    CHECK(!sink.take_failure());
    sink.flush();
    CHECK_EQ(out.text(), std::string(">a\nACG\n"));
}

namespace {

// Whether the page holding `address` is in this process's page tables.
bool page_present(const void* address) {
    const int fd = ::open("/proc/self/pagemap", O_RDONLY);
    if (fd < 0) return false;
    std::uint64_t entry = 0;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const off_t at = static_cast<off_t>(reinterpret_cast<std::uintptr_t>(address) / page * sizeof entry);
    const bool read = ::pread(fd, &entry, sizeof entry, at) == sizeof entry;
    ::close(fd);
    return read && (entry >> 63) != 0;
}

}  // namespace

// Windows read in file order drop the pages behind them; a window that goes
// back in the file keeps everything after it.
CORE_TEST(passed_pages_drop_what_windows_in_file_order_left_behind) {
    if (::access("/proc/self/pagemap", R_OK) != 0) return;
    TempDir dir;
    std::string text = ">c\n";
    for (int line = 0; line < 20000; ++line) text += std::string(60, "ACGT"[line % 4]) + "\n";  // 1.2 MB
    core_test::write_file(dir / "g.fa", text);
    auto handle = core_test::open_fasta(dir / "g.fa");
    REQUIRE(handle.ok());
    const IndexHandle& h = *handle.value();
    const unsigned char* data = h.mapping_data();
    REQUIRE(data != nullptr);
    auto window = [](std::uint64_t start, std::uint64_t end) {
        RegionColumns regions;
        regions.add("c", start, end);
        return regions;
    };
    auto touch = [&] {
        volatile unsigned char sum = 0;
        for (std::uint64_t at = 0; at < h.mapping_size(); at += 4096) sum = sum + data[at];
    };
    touch();
    const std::vector<const IndexEntry*> entries{h.lookup("c")};
    PassedPages in_order;
    in_order.posted(h, window(1, 60000), entries);        // bytes 3 .. ~61,000
    in_order.posted(h, window(600001, 660000), entries);  // from byte ~610,000 on
    in_order.finished(h, 1);
    CHECK(!page_present(data + 8192));
    CHECK(!page_present(data + 500000));
    CHECK(page_present(data + 700000));
    touch();
    PassedPages going_back;
    going_back.posted(h, window(600001, 660000), entries);
    going_back.posted(h, window(1, 60000), entries);
    going_back.finished(h, 1);
    CHECK(page_present(data + 8192));
    CHECK(page_present(data + 500000));
}

CORE_TEST(serial_jobs_run_in_order_and_hand_back_an_exception) {
    std::vector<int> ran;
    SerialJobs jobs;
    for (int i = 0; i < 50; ++i) jobs.post([&ran, i] { ran.push_back(i); });
    jobs.wait();
    REQUIRE(ran.size() == 50);
    for (int i = 0; i < 50; ++i) CHECK(ran[static_cast<std::size_t>(i)] == i);
    jobs.post([] { throw std::runtime_error("failed job"); });
    bool thrown = false;
    try {
        jobs.wait();
    } catch (const std::runtime_error&) {
        thrown = true;
    }
    CHECK(thrown);
    jobs.post([&ran] { ran.push_back(-1); });  // usable again once the failure is handed back
    jobs.wait();
    CHECK(ran.back() == -1);
}

CORE_TEST(output_sink_reports_a_full_disk) {
    const int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) return;  // no /dev/full here
    OutputSink sink(fd);
    sink.append(std::string(100, 'x'));
    sink.flush();
    CHECK_EQ(sink.error(), ENOSPC);
    sink.append("more");  // dropped once failed
    sink.flush();
    CHECK_EQ(sink.error(), ENOSPC);
    ::close(fd);
}

// Plain name:start-end lines are read in the core; every other form goes to
// the caller in line order, and what it adds lands between them.
CORE_TEST(region_lines_read_plain_lines_and_refer_the_rest) {
    TempDir dir;
    core_test::write_file(dir / "g.fa", ">c\nAACCGCGGTT\n>x\nGG\n>x:1-2\nTT\n>d\nACGTACGT\n");
    auto handle = core_test::open_fasta(dir / "g.fa");
    REQUIRE(handle.ok());
    const std::string text =
        "c:2-5\n  c:3-4\t\r\n\nx:1-2\nc:8-20\n{c}:2-4\nc:1,0\nd:1-8\nc\n\xc2\xa0c:1-2\nnope:1-2\n"
        "c:5-3\nd:01-2\nc:2-3 \xc2\xa0\nc:10-10";
    RegionLineReader reader(*handle.value(), "/rc", true);
    std::vector<std::pair<std::uint64_t, std::string>> referred;
    reader.feed(text);
    reader.finish();
    while (reader.read() == RegionLineReader::Stop::referred) {
        referred.emplace_back(reader.line(), std::string(reader.referred()));
        if (reader.referred() == "c") reader.add("whole", "c", 1, 10);
    }
    CHECK_EQ(reader.line(), std::uint64_t{15});
    const std::vector<std::pair<std::uint64_t, std::string>> expected_referred = {
        {4, "x:1-2"}, {5, "c:8-20"}, {6, "{c}:2-4"}, {7, "c:1,0"}, {9, "c"}, {10, "\xc2\xa0c:1-2"},
        {11, "nope:1-2"}, {12, "c:5-3"}, {13, "d:01-2"}, {14, "c:2-3 \xc2\xa0"}};
    CHECK(referred == expected_referred);
    Captured out(dir);
    OutputSink sink(out.fd());
    RecordLayout layout;
    layout.line_width = 3;
    CHECK(!reader.window().write(*handle.value(), layout, sink));
    sink.flush();
    CHECK_EQ(out.text(), std::string(">c:2-5/rc\nCGG\nT\n>c:3-4/rc\nGG\n>d:1-8/rc\nACG\nTAC\nGT\n"
                                     ">whole\nAAC\nCGC\nGGT\nT\n>c:10-10/rc\nA\n"));
}

CORE_TEST(region_lines_stop_when_a_window_is_full) {
    TempDir dir;
    core_test::write_file(dir / "g.fa", ">c\nAACCGCGGTT\n");
    auto handle = core_test::open_fasta(dir / "g.fa");
    REQUIRE(handle.ok());
    std::string text;
    for (std::size_t i = 0; i < RecordWindow::kWindowRecords + 5; ++i) text += "c:1-2\n";
    RegionLineReader reader(*handle.value(), "", false);
    reader.feed(text);
    reader.finish();
    CHECK(reader.read() == RegionLineReader::Stop::window_full);
    CHECK_EQ(reader.window().size(), RecordWindow::kWindowRecords);
    CHECK_EQ(reader.line(), std::uint64_t{RecordWindow::kWindowRecords});
    reader.window().clear();
    CHECK(reader.read() == RegionLineReader::Stop::end);
    CHECK_EQ(reader.window().size(), std::size_t{5});
}
