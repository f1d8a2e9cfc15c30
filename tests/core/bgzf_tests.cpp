// BGZF input: block rules, the ".gzi" format, the scan in parts, reads
// across blocks against the plain file, and damaged files.
#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bgzf_writer.hpp"
#include "check.hpp"
#include "faidx/batch.hpp"
#include "faidx/bgzf_block.hpp"
#include "faidx/bgzf_scan.hpp"
#include "faidx/block_table.hpp"
#include "faidx/fasta_scan.hpp"
#include "faidx/retrieval.hpp"
#include "test_files.hpp"

using namespace core_test;
using sekvo::Compression;
using sekvo::InflateStatus;

namespace {


// Records of many sizes: empty, short, spanning many blocks; a header
// longer than a block.
std::string varied_fasta(std::size_t width, const std::string& eol) {
    return core_test::fasta_text({{"empty", ""},
                  {"short desc", core_test::random_residues(7, 1)},
                  {"long", core_test::random_residues(40000, 2)},
                  {std::string(3000, 'h'), core_test::random_residues(5000, 3)},
                  {"last", core_test::random_residues(12345, 4)}},
                 width, eol);
}

const unsigned char* bytes(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

std::unique_ptr<sekvo::IndexHandle> open_ok(const std::string& path) {
    auto opened = open_fasta(path);
    if (!opened) record_failure(__FILE__, __LINE__, "open failed: " + opened.error().detail_text());
    REQUIRE(opened.ok());
    return opened.take();
}

std::string fetch_seq(const sekvo::IndexHandle& handle, const std::string& name, std::uint64_t start,
                      std::uint64_t end) {
    auto value = sekvo::fetch(handle, name, start, end);
    return value ? std::string(value.value().seq.view()) : "error: " + value.error().detail_text();
}

}  // namespace

CORE_TEST(compressed_formats_are_known_by_their_first_bytes) {
    const std::string block = bgzf_block("ACGT");
    struct Case {
        std::string head;
        Compression kind;
    } cases[] = {
        {block, Compression::Bgzf},
        {std::string("\x1f\x8b\x08\x00\0\0\0\0\0\x03", 10) + std::string(20, 'x'), Compression::Gzip},
        {block.substr(0, 12) + "XY" + block.substr(14), Compression::Gzip},  // another extra subfield
        {"BZh91AY&SY", Compression::Bzip2},
        {std::string("\xfd" "7zXZ\0", 6), Compression::Xz},
        {"\x28\xb5\x2f\xfd rest", Compression::Zstd},
        {"\x04\x22\x4d\x18 rest", Compression::Lz4},
        {"PK\x03\x04 rest", Compression::Zip},
        {"\x1f\x9d\x90 rest", Compression::UnixCompress},
        {">chr1\nACGT\n", Compression::None},
        {"", Compression::None},
        {"\x1f", Compression::None},
    };
    for (const Case& c : cases) CHECK_EQ(static_cast<int>(sekvo::sniff_compression(bytes(c.head), c.head.size())),
                                         static_cast<int>(c.kind));
}

CORE_TEST(blocks_inflate_only_when_sound) {
    const std::string text = core_test::random_residues(5000, 7);
    const std::string block = bgzf_block(text);
    std::vector<unsigned char> out(sekvo::kBgzfMaxInflatedSize);
    auto inflate = [&](const std::string& b) { return sekvo::inflate_bgzf_block(bytes(b), b.size(), out.data()); };

    sekvo::Inflated good = inflate(block);
    CHECK(good.status == InflateStatus::Ok);
    CHECK_EQ(std::string(reinterpret_cast<char*>(out.data()), good.size), text);
    CHECK_EQ(sekvo::bgzf_block_size(bytes(block), block.size()), block.size());
    CHECK(sekvo::bgzf_block_size(bytes(block), 17) == 0);  // shorter than a header

    std::string bad_crc = block;
    bad_crc[bad_crc.size() - 8] ^= 1;
    CHECK(inflate(bad_crc).status == InflateStatus::BadCrc);
    std::string bad_size = block;
    bad_size[bad_size.size() - 4] ^= 1;
    CHECK(inflate(bad_size).status == InflateStatus::BadSize);
    std::string huge_size = block;
    huge_size[huge_size.size() - 2] = 0x7f;
    CHECK(inflate(huge_size).status == InflateStatus::BadSize);
    std::string bad_data = block;
    for (std::size_t i = 18; i < 30; ++i) bad_data[i] = '\xff';
    CHECK(inflate(bad_data).status != InflateStatus::Ok);
    std::string short_block = block.substr(0, block.size() - 1);
    CHECK(inflate(short_block).status == InflateStatus::BadHeader);
    CHECK(std::string(reinterpret_cast<const char*>(sekvo::kBgzfEofBlock), sekvo::kBgzfEofSize) == bgzf_eof());
}

// `make core-tests-zlib` sets SEKVO_EXPECT_INFLATE, so that a build that
// silently picked libdeflate cannot pass for the zlib fallback.
CORE_TEST(blocks_inflate_with_the_library_the_build_chose) {
    if (const char* expected = std::getenv("SEKVO_EXPECT_INFLATE"))
        CHECK_EQ(std::string(sekvo::inflate_library()), std::string(expected));
}

CORE_TEST(gzi_bytes_round_trip_and_malformed_ones_are_refused) {
    sekvo::BlockTable table;
    table.compressed = {0, 100, 250};
    table.uncompressed = {0, 65280, 130560};
    const std::string gzi = sekvo::format_gzi(table);
    CHECK_EQ(gzi.size(), std::size_t{8 + 2 * 16});
    CHECK_EQ(gzi.substr(0, 9), std::string("\x02\0\0\0\0\0\0\0\x64", 9));
    std::string problem;
    auto parsed = sekvo::parse_gzi(gzi, 1000, problem);
    REQUIRE(parsed.has_value());
    CHECK(parsed->compressed == table.compressed);
    CHECK(parsed->uncompressed == table.uncompressed);

    auto refused = [&](const std::string& bytes, std::uint64_t size) {
        std::string why;
        return !sekvo::parse_gzi(bytes, size, why).has_value() && !why.empty();
    };
    CHECK(refused("", 1000));
    CHECK(refused(gzi.substr(0, gzi.size() - 1), 1000));
    CHECK(refused(gzi + std::string(16, '\0'), 1000));
    CHECK(refused(std::string("\xff\xff\xff\xff\xff\xff\xff\x0f", 8), 1000));  // absurd count
    CHECK(refused(gzi, 250));                                               // past the end
    std::string disordered = gzi;
    std::swap(disordered[8], disordered[24]);
    CHECK(refused(disordered, 1000));
    CHECK(!refused(std::string(8, '\0'), 28));  // one block only
}

CORE_TEST(the_block_of_an_offset_skips_empty_blocks) {
    sekvo::BlockTable table;
    table.compressed = {0, 28, 90};
    table.uncompressed = {0, 0, 10};  // an empty first block
    table.uncompressed_end = 20;
    CHECK_EQ(table.block_of(0), std::size_t{1});
    CHECK_EQ(table.block_of(9), std::size_t{1});
    CHECK_EQ(table.block_of(10), std::size_t{2});
    CHECK_EQ(table.block_of(19), std::size_t{2});
    CHECK_EQ(table.inflated_size(2), std::uint64_t{10});
}

// The search starts from a guess that only even blocks make right: tables
// of uneven and empty blocks must give what a search of the whole does.
CORE_TEST(the_block_of_an_offset_in_uneven_tables) {
    std::mt19937_64 random(7);
    for (std::uint64_t most : {1, 3, 1000, 65280}) {
        sekvo::BlockTable table;
        std::uint64_t at = 0;
        for (int i = 0; i < 300; ++i) {
            table.uncompressed.push_back(at);
            at += random() % 4 == 0 ? 0 : 1 + random() % most;
        }
        table.uncompressed_end = at + 1;  // a last block holding a byte
        table.compressed.resize(table.uncompressed.size());
        for (std::uint64_t offset = 0; offset < table.uncompressed_end; offset += 1 + random() % (most / 7 + 1)) {
            auto after = std::upper_bound(table.uncompressed.begin(), table.uncompressed.end(), offset);
            CHECK_EQ(table.block_of(offset), static_cast<std::size_t>(after - table.uncompressed.begin()) - 1);
        }
    }
}

CORE_TEST(the_scan_in_parts_indexes_as_the_plain_scan) {
    TempDir dir;
    for (const std::string eol : {"\n", "\r\n"}) {
        for (std::size_t width : {1, 60, 61, 4096}) {
            const std::string text = varied_fasta(width, eol);
            auto plain = sekvo::scan_fasta(bytes(text), text.size());
            REQUIRE(plain.ok());
            write_file(dir / "x.fa.gz", bgzf_file(text, 997));
            auto handle = open_ok(dir / "x.fa.gz");
            for (std::size_t parts : {1, 2, 3, 7, 64, 1000}) {
                auto scanned = sekvo::scan_bgzf_in_parts(*handle->bgzf(), parts);
                REQUIRE(scanned.ok());
                REQUIRE(scanned.value().size() == plain.value().size());
                for (std::size_t i = 0; i < plain.value().size(); ++i) {
                    const auto& a = plain.value()[i];
                    const auto& b = scanned.value()[i];
                    CHECK_EQ(a.name, b.name);
                    CHECK(a.entry.rlen == b.entry.rlen && a.entry.offset == b.entry.offset &&
                          a.entry.lenc == b.entry.lenc && a.entry.lenb == b.entry.lenb);
                }
            }
            CHECK_EQ(read_file(dir / "x.fa.gz.fai"), read_file([&] {
                         write_file(dir / "x.fa", text);
                         open_ok(dir / "x.fa");
                         return dir / "x.fa.fai";
                     }()));
            std::remove((dir / "x.fa.gz.fai").c_str());
            std::remove((dir / "x.fa.gz.gzi").c_str());
        }
    }
}

CORE_TEST(invalid_text_inside_blocks_is_the_plain_files_error) {
    TempDir dir;
    std::string text = varied_fasta(60, "\n");
    text[30000] = '\xff';
    write_file(dir / "bad.fa.gz", bgzf_file(text, 997));
    auto opened = open_fasta(dir / "bad.fa.gz");
    REQUIRE(!opened.ok());
    CHECK_EQ(opened.error().detail_text(), std::string(sekvo::kInvalidUtf8Message));
}

CORE_TEST(every_region_reads_as_from_the_plain_file) {
    TempDir dir;
    const std::string text = varied_fasta(61, "\r\n");
    write_file(dir / "p.fa", text);
    write_file(dir / "c.fa.gz", bgzf_file(text, 997));
    auto plain = open_ok(dir / "p.fa");
    auto compressed = open_ok(dir / "c.fa.gz");
    CHECK_EQ(read_file(dir / "c.fa.gz.gzi").size(), std::size_t{8 + 16 * (text.size() / 997)});
    std::mt19937 rng(5);
    StderrCapture warnings;  // out-of-bounds regions warn, from both files alike
    std::vector<sekvo::NamedRegion> regions;
    const std::vector<std::string> names{"long", "last", "short", "empty", std::string(3000, 'h')};
    for (const std::string& name : names) {
        const std::uint64_t length = plain->lookup(name)->rlen;
        for (int i = 0; i < 300; ++i) {
            const std::uint64_t start = rng() % (length + 3);
            const std::uint64_t end = start + rng() % (i % 3 == 0 ? 30000 : 200);
            CHECK_EQ(fetch_seq(*compressed, name, start, end), fetch_seq(*plain, name, start, end));
            regions.push_back({name, start, end});
        }
    }
    auto a = sekvo::fetch_many(*plain, regions);
    auto b = sekvo::fetch_many(*compressed, regions);
    REQUIRE(a.ok() && b.ok());
    REQUIRE(a.value().size() == b.value().size());
    for (std::size_t i = 0; i < a.value().size(); ++i) CHECK(a.value()[i].seq.view() == b.value()[i].seq.view());
    const std::string text_of_warnings = warnings.text();
    CHECK(!text_of_warnings.empty());
}

CORE_TEST(regions_wider_than_a_window_read_whole) {
    TempDir dir;
    // About 1200 blocks of 1000 bytes: wider than one window of blocks.
    const std::string seq = core_test::random_residues(1'180'000, 9);
    const std::string text = core_test::fasta_text({{"big", seq}}, 70, "\n");
    write_file(dir / "big.fa.gz", bgzf_file(text, 1000));
    auto handle = open_ok(dir / "big.fa.gz");
    CHECK(fetch_seq(*handle, "big", 1, seq.size()) == seq);
    std::vector<sekvo::Span> spans;
    // Small regions over more blocks than a window holds, and a few larger
    // than a window.
    for (std::uint64_t start = 1; start < seq.size(); start += 983)
        spans.push_back({start, start + (spans.size() % 100 == 0 ? 650'000 : 300)});
    auto values = sekvo::fetch_many_same_chr(*handle, handle->table().name_at(0), spans);
    REQUIRE(values.ok());
    for (std::size_t i = 0; i < spans.size(); ++i)
        CHECK(values.value()[i].seq.view() == seq.substr(spans[i].start - 1, spans[i].end - spans[i].start + 1));
}

// Long reads copy each block at the place the line lengths predict, and fall
// back to copying in order when a line breaks the pattern: both must give
// what the plain file gives, bytes, count and ASCII flag alike.
CORE_TEST(long_reads_into_buffers_match_the_plain_file_whatever_the_lines) {
    TempDir dir;
    const std::string seq = core_test::random_residues(1'500'000, 11);
    auto lines = [&](std::size_t width, const std::string& eol, std::size_t odd_line, long odd_by) {
        std::string text = ">r desc\n";
        for (std::size_t at = 0, line = 0; at < seq.size(); ++line) {
            const std::size_t take = line == odd_line ? static_cast<std::size_t>(static_cast<long>(width) + odd_by) : width;
            text += seq.substr(at, take) + eol;
            at += take;
        }
        return text + ">next\nACGT\n";
    };
    std::string non_ascii = lines(60, "\n", -1, 0);
    non_ascii.replace(non_ascii.size() / 2, 2, "\xc3\xa9");
    const std::string files[] = {
        lines(60, "\n", -1, 0),      lines(61, "\r\n", -1, 0), non_ascii,
        lines(60, "\n", 9000, -1),   // one short line in the middle
        lines(60, "\n", 20000, +1),  // one long line near the end
        lines(60, "\n", 9000, -60),  // one empty line in the middle
    };
    int case_number = 0;
    for (const std::string& text : files) {
        const std::string stem = dir / ("l" + std::to_string(case_number++));
        write_file(stem + ".fa", text);
        write_file(stem + ".fa.gz", bgzf_file(text, 9973));  // odd: CRLF pairs split between blocks
        auto plain = open_ok(stem + ".fa");
        auto compressed = open_ok(stem + ".fa.gz");
        const sekvo::IndexEntry& entry = compressed->table().entry_at(0);
        REQUIRE(plain->has_mapping() && compressed->uncompressed_source() != nullptr);
        struct Read {
            std::uint64_t first, count;
            std::size_t capacity;
        } reads[] = {{1, entry.rlen, entry.rlen},
                     {12'345, 1'400'000, 1'400'000},
                     {61, 1'300'000, 700'000},
                     {1, 600'000, 600'000}};  // ends at a line's end, past the short line
        for (const Read& read : reads) {
            std::string want(read.capacity, '\0');
            std::string got(read.capacity, '\0');
            const sekvo::BufferCopy expected = sekvo::read_into_buffer(
                plain->mapping_data(), plain->mapping_size(), plain->table().entry_at(0), read.first, read.count,
                want.data(), read.capacity);
            auto copied = sekvo::read_source_into_buffer(*compressed->uncompressed_source(), entry, read.first,
                                                         read.count, got.data(), read.capacity);
            REQUIRE(copied.ok());
            CHECK_EQ(copied.value().written, expected.written);
            CHECK_EQ(copied.value().ascii, expected.ascii);
            CHECK(got == want);
        }
    }

    // A damaged block inside a long read is an error naming its offset, not
    // a buffer with a hole in it.
    const std::string text = lines(60, "\n", -1, 0);
    std::string damaged;
    std::uint64_t damaged_offset = 0;
    for (std::size_t at = 0, block = 0; at < text.size(); at += 9973, ++block) {
        std::string one = bgzf_block(text.substr(at, 9973));
        if (block == 70) {
            damaged_offset = damaged.size();
            one[one.size() - 8] ^= 0x10;  // the CRC
        }
        damaged += one;
    }
    write_file(dir / "d.fa.gz", bgzf_file(text, 9973));
    open_ok(dir / "d.fa.gz");  // the index files, from the sound file
    write_file(dir / "d.fa.gz", damaged + bgzf_eof());
    set_mtime(dir / "d.fa.gz", 1000, 0);
    auto handle = open_ok(dir / "d.fa.gz");
    std::string out(1'400'000, '\0');
    auto failed = sekvo::read_source_into_buffer(*handle->uncompressed_source(), handle->table().entry_at(0), 1,
                                                 out.size(), out.data(), out.size());
    REQUIRE(!failed.ok());
    CHECK(failed.error().exception_message().find("at offset " + std::to_string(damaged_offset)) != std::string::npos);
}

CORE_TEST(threads_share_the_block_cache) {
    TempDir dir;
    const std::string text = varied_fasta(60, "\n");
    write_file(dir / "p.fa", text);
    write_file(dir / "c.fa.gz", bgzf_file(text, 997));
    auto plain = open_ok(dir / "p.fa");
    auto compressed = open_ok(dir / "c.fa.gz");
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            for (int i = 0; i < 3000; ++i) {
                const std::uint64_t start = 1 + rng() % 39800;
                if (fetch_seq(*compressed, "long", start, start + 150) != fetch_seq(*plain, "long", start, start + 150))
                    ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    CHECK(mismatches == std::vector<int>(4, 0));
}

CORE_TEST(damaged_files_fail_naming_the_file_and_offset) {
    TempDir dir;
    const std::string text = varied_fasta(60, "\n");
    const std::string good = bgzf_file(text, 997);
    const std::string first = bgzf_block(text.substr(0, 997));
    const std::string second = bgzf_block(text.substr(997, 997));
    const std::string second_offset = std::to_string(first.size());
    auto open_error = [&](const std::string& content) {
        write_file(dir / "d.fa.gz", content);
        std::remove((dir / "d.fa.gz.fai").c_str());
        std::remove((dir / "d.fa.gz.gzi").c_str());
        auto opened = open_fasta(dir / "d.fa.gz");
        return opened.ok() ? std::string("opened") : opened.error().exception_message();
    };
    auto mentions = [&](const std::string& message, const std::string& offset) {
        return message.rfind("IOError: '" + (dir / "d.fa.gz") + "'", 0) == 0 &&
               message.find("at offset " + offset) != std::string::npos;
    };
    CHECK(mentions(open_error(good.substr(0, good.size() - 28)), std::to_string(good.size() - 28)));
    CHECK(mentions(open_error(good.substr(0, 5000) + bgzf_eof()), "0") ||
          open_error(good.substr(0, 5000) + bgzf_eof()).find("at offset") != std::string::npos);
    std::string bad_crc = good;
    bad_crc[first.size() + second.size() - 8] ^= 0x40;
    CHECK(mentions(open_error(bad_crc), second_offset));
    std::string bad_size = good;
    bad_size[first.size() + second.size() - 4] ^= 0x01;
    CHECK(mentions(open_error(bad_size), second_offset));

    // Damage after the index files were made: the read that meets it fails.
    write_file(dir / "d.fa.gz", good);
    std::remove((dir / "d.fa.gz.fai").c_str());
    std::remove((dir / "d.fa.gz.gzi").c_str());
    open_ok(dir / "d.fa.gz");
    write_file(dir / "d.fa.gz", bad_crc);
    set_mtime(dir / "d.fa.gz", 1000, 0);
    auto handle = open_ok(dir / "d.fa.gz");
    auto failed = sekvo::fetch(*handle, "short", 1, 7);  // in the first block, still sound
    CHECK(failed.ok());
    auto value = sekvo::fetch(*handle, "long", 1000, 1100);
    REQUIRE(!value.ok());
    CHECK(mentions(value.error().exception_message(), second_offset));

    // A ".gzi" whose second entry points into the middle of a block, or
    // whose offsets of the text are shifted: refused when it is loaded.
    const std::string gzi = read_file(dir / "d.fa.gz.gzi");
    for (std::size_t at : {std::size_t{8}, std::size_t{16}, gzi.size() - 1}) {
        std::string changed = gzi;
        changed[at] = static_cast<char>(changed[at] + 3);
        write_file(dir / "d.fa.gz", good);
        write_file(dir / "d.fa.gz.gzi", changed);
        set_mtime(dir / "d.fa.gz", 1000, 0);
        auto misled = open_fasta(dir / "d.fa.gz");
        REQUIRE(!misled.ok());
        CHECK(misled.error().exception_message().find("does not match the file") != std::string::npos);
        CHECK(misled.error().exception_message().find("at offset") != std::string::npos);
    }
}
