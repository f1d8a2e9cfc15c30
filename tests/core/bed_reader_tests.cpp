// The BED reader: line rules, pieces of any size, line numbers of bad
// lines, parallel parts and gzip files.
#include <zlib.h>

#include <random>
#include <string>

#include "check.hpp"
#include "faidx/bed_reader.hpp"
#include "test_files.hpp"

using namespace sekvo;

namespace {

// The regions as "name:start-end:strand:label" lines, for comparison.
std::string describe(const RegionColumns& regions) {
    std::string text;
    for (std::size_t i = 0; i < regions.size(); ++i)
        text += std::string(regions.name(i)) + ":" + std::to_string(regions.start(i)) + "-" +
                std::to_string(regions.end(i)) + ":" + static_cast<char>(regions.strand(i)) + ":" +
                std::string(regions.label(i)) + "\n";
    return text;
}

const std::string kMixed =
    "track name=x\r\n"
    "browser position chr1\n"
    "# comment\n"
    "\n"
    " \t\r\n"
    "chr1\t0\t10\r\n"
    "chr2\t5\t6\tfeature\t0\t-\textra\n"
    "chr1\t7\t9\tother\t0\t+\n"
    "chr1\t3\t3\n"
    "chr2\t1\t4\tlast";

const std::string kMixedRegions =
    "chr1:1-10:.:\n"
    "chr2:6-6:-:feature\n"
    "chr1:8-9:+:other\n"
    "chr1:4-3:.:\n"
    "chr2:2-4:.:last\n";

}  // namespace

CORE_TEST(bed_lines_skipped_converted_and_kept) {
    BedText parsed = parse_bed_text(kMixed);
    CHECK(!parsed.problem);
    CHECK_EQ(describe(parsed.regions), kMixedRegions);
    CHECK_EQ(parsed.regions.record_names().size(), std::size_t{2});
}

CORE_TEST(bed_pieces_of_every_size_give_the_same_regions) {
    for (std::size_t size = 1; size <= kMixed.size(); ++size) {
        BedReader reader;
        for (std::size_t at = 0; at < kMixed.size(); at += size) reader.feed(std::string_view(kMixed).substr(at, size));
        CHECK(reader.finish());
        CHECK_EQ(describe(reader.regions()), kMixedRegions);
    }
}

CORE_TEST(bed_bad_lines_are_named_by_number) {
    struct Case {
        std::string text;
        std::uint64_t line;
        std::string message;
    };
    const Case cases[] = {
        {"chr1\t0\t5\nchr1\t5\n", 2, "expected at least 3 tab-separated columns (chrom, start, end)"},
        {"#x\n\nchr1 0 5\n", 3, "expected at least 3 tab-separated columns (chrom, start, end)"},
        {"chr1\t-1\t5\n", 1, "start '-1' is not a non-negative whole number"},
        {"chr1\t0\t5.5\n", 1, "end '5.5' is not a non-negative whole number"},
        {"chr1\t0\t\n", 1, "end '' is not a non-negative whole number"},
        {"chr1\t0\t99999999999999999999\n", 1, "end '99999999999999999999' is too large"},
        {"chr1\t1\t2\r\nchr1\t+3\t4\r\n", 2, "start '+3' is not a non-negative whole number"},
    };
    for (const Case& c : cases) {
        BedText parsed = parse_bed_text(c.text);
        REQUIRE(parsed.problem.has_value());
        CHECK_EQ(parsed.problem->line, c.line);
        CHECK_EQ(parsed.problem->message, c.message);
        // Fed a byte at a time, the same problem.
        BedReader reader;
        for (char ch : c.text) reader.feed(std::string_view(&ch, 1));
        reader.finish();
        REQUIRE(reader.problem().has_value());
        CHECK_EQ(reader.problem()->line, c.line);
    }
    CHECK_EQ(describe_bed_problem("a.bed", BedProblem{4, "bad"}), std::string("a.bed: line 4: bad"));
}

CORE_TEST(bed_large_text_parsed_in_parts_matches_one_reader) {
    std::mt19937_64 random(7);
    std::string text;
    for (int i = 0; i < 120000; ++i) {
        const std::uint64_t start = random() % 100000;
        text += "chr" + std::to_string(random() % 30) + "\t" + std::to_string(start) + "\t" +
                std::to_string(start + random() % 1000);
        if (i % 3 == 0) text += "\tname" + std::to_string(i) + "\t0\t" + (i % 2 ? "-" : "+");
        text += i % 5 == 0 ? "\r\n" : "\n";
        if (i % 1000 == 0) text += "# a comment\n";
    }
    BedReader reader;
    reader.feed(text);
    reader.finish();
    BedText parsed = parse_bed_text(text);
    CHECK(!parsed.problem);
    CHECK_EQ(parsed.regions.size(), std::size_t{120000});
    CHECK(describe(parsed.regions) == describe(reader.regions()));

    // A bad line late in the file is reported with its number in the file.
    const std::size_t cut = text.find('\n', text.size() * 3 / 4) + 1;
    const std::uint64_t line = static_cast<std::uint64_t>(std::count(text.begin(), text.begin() + cut, '\n')) + 1;
    const std::string broken = text.substr(0, cut) + "chrX\tzero\t1\n" + text.substr(cut);
    BedText failed = parse_bed_text(broken);
    REQUIRE(failed.problem.has_value());
    CHECK_EQ(failed.problem->line, line);
}

CORE_TEST(bed_files_plain_and_gzip_with_several_members) {
    core_test::TempDir dir;
    core_test::write_file(dir / "plain.bed", kMixed);
    Result<BedText> plain = read_bed_file(dir / "plain.bed");
    REQUIRE(plain.ok());
    CHECK_EQ(describe(plain.value().regions), kMixedRegions);

    // Two gzip members, cut in the middle of a line.
    const std::string path = dir / "two.bed.gz";
    const std::size_t half = kMixed.size() / 2;
    for (const std::string& part : {kMixed.substr(0, half), kMixed.substr(half)}) {
        gzFile file = gzopen(path.c_str(), "ab");
        REQUIRE(file != nullptr);
        gzwrite(file, part.data(), static_cast<unsigned>(part.size()));
        gzclose(file);
    }
    Result<BedText> zipped = read_bed_file(path);
    REQUIRE(zipped.ok());
    CHECK_EQ(describe(zipped.value().regions), kMixedRegions);

    const std::string whole = core_test::read_file(path);
    core_test::write_file(dir / "cut.bed.gz", whole.substr(0, whole.size() - 9));
    Result<BedText> cut = read_bed_file(dir / "cut.bed.gz");
    REQUIRE(!cut.ok());
    CHECK(cut.error().kind == ErrorKind::IO);

    Result<BedText> missing = read_bed_file(dir / "missing.bed");
    REQUIRE(!missing.ok());
    CHECK_EQ(missing.error().os_error, ENOENT);
}
