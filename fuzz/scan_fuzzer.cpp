// The FASTA scan that builds an index, over arbitrary bytes.
//
// Checks, beyond "no crash, no leak, no undefined behaviour":
// - the whole-buffer scan, the scan fed in small pieces and the scan of the
//   same bytes as a file give the same records, and fail together exactly
//   when the bytes are not UTF-8;
// - each record agrees with a plain line-by-line reading of the text
//   (name, offset, residue count, first-line residues and bytes);
// - a record laid out regularly reads back, whole and in part, as exactly
//   its residues through the window copy;
// - the index text written for the records loads back to the same entries.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "faidx/fasta_scan.hpp"
#include "faidx/index_file.hpp"
#include "faidx/retrieval.hpp"
#include "faidx/unicode_whitespace.hpp"
#include "faidx/utf8.hpp"
#include "fuzz_support.hpp"

namespace {

using sekvo::IndexEntry;
using sekvo::ScannedRecord;

// One record as a plain reading of the lines sees it.
struct ExpectedRecord {
    std::string name;
    std::uint64_t offset = 0;
    std::string residues;  // every byte of its lines but trailing CRs and the LF
    std::uint64_t first_residues = 0;
    std::uint64_t first_bytes = 0;
    bool first_line_seen = false;
    // Regular: every non-blank line but the last has the first line's
    // residues and bytes, the last has no more residues, and blank lines
    // come only after it. Lines with a CR before their end are not regular
    // either: the copy drops such a CR, the scan counts it as a residue.
    bool regular = true;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> lines;  // residues, bytes
};

std::vector<ExpectedRecord> read_lines(std::string_view text) {
    std::vector<ExpectedRecord> records;
    bool in_record = false;
    ExpectedRecord current;
    auto finish = [&] {
        if (in_record && !current.name.empty()) records.push_back(std::move(current));
        current = ExpectedRecord();
    };
    for (std::size_t begin = 0; begin < text.size();) {
        std::size_t line_feed = text.find('\n', begin);
        std::size_t end = line_feed == std::string_view::npos ? text.size() : line_feed;
        std::size_t next = line_feed == std::string_view::npos ? text.size() : line_feed + 1;
        std::string_view line = text.substr(begin, end - begin);
        if (!line.empty() && line.front() == '>') {
            finish();
            in_record = true;
            current.name = std::string(sekvo::header_name(line.substr(1)));
            current.offset = next;
        } else if (in_record) {
            std::string_view content = line;
            while (!content.empty() && content.back() == '\r') content.remove_suffix(1);
            if (content.find('\r') != std::string_view::npos) current.regular = false;
            current.residues.append(content);
            if (!current.first_line_seen) {
                current.first_line_seen = true;
                current.first_residues = content.size();
                current.first_bytes = next - begin;
            }
            current.lines.emplace_back(content.size(), next - begin);
        }
        begin = next;
    }
    finish();

    for (ExpectedRecord& record : records) {
        std::size_t last = record.lines.size();  // last non-blank line
        while (last > 0 && record.lines[last - 1].first == 0) --last;
        for (std::size_t i = 0; i < last; ++i) {
            const auto [residues, bytes] = record.lines[i];
            if (residues == 0) record.regular = false;  // blank line before the last
            if (i + 1 < last && (residues != record.first_residues || bytes != record.first_bytes))
                record.regular = false;
            if (i + 1 == last && residues > record.first_residues) record.regular = false;
        }
    }
    return records;
}

bool same_entry(const IndexEntry& a, const IndexEntry& b) {
    return a.rlen == b.rlen && a.offset == b.offset && a.lenc == b.lenc && a.lenb == b.lenb;
}

bool same_records(const std::vector<ScannedRecord>& a, const std::vector<ScannedRecord>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || !same_entry(a[i].entry, b[i].entry)) return false;
    return true;
}

// The scan fed in pieces whose sizes cycle through `sizes`.
sekvo::Result<std::vector<ScannedRecord>> scan_in_pieces(const std::uint8_t* data, std::size_t size,
                                                         const std::vector<std::size_t>& sizes) {
    sekvo::FastaScanner scanner;
    std::size_t done = 0;
    for (std::size_t i = 0; done < size; ++i) {
        std::size_t piece = std::min(sizes[i % sizes.size()], size - done);
        if (!scanner.feed(data + done, piece)) return sekvo::Error::io_custom("invalid");
        done += piece;
    }
    if (!scanner.finish()) return sekvo::Error::io_custom("invalid");
    return std::move(scanner.records());
}

std::uint64_t fnv1a(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
    return hash;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStderr::prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The whole input is the FASTA text, so that seeds are plain FASTA
    // files; the piece sizes and the region to read come from its hash.
    const std::uint64_t hash = fnv1a(data, size);
    const std::vector<std::size_t> piece_sizes = {1 + hash % 64, 1 + (hash >> 8) % 7, 1 + (hash >> 16) % 251};
    const std::uint64_t region_pick = hash * 0x9E3779B97F4A7C15ull;

    static fuzz::MemoryFile file;
    file.assign(data, size);

    fuzz::QuietStderr quiet;
    auto whole = sekvo::scan_fasta(data, size);
    auto pieces = scan_in_pieces(data, size, piece_sizes);
    auto from_file = sekvo::scan_fasta_file(file.fd());
    auto in_parts = sekvo::scan_fasta_in_parts(data, size, 1 + (hash >> 24) % 9, nullptr);

    const bool utf8 = sekvo::is_valid_utf8(data, size);
    FUZZ_CHECK(whole.ok() == utf8 && pieces.ok() == utf8 && from_file.ok() == utf8 && in_parts.ok() == utf8);
    if (!utf8) {
        FUZZ_CHECK(whole.error().detail_text() == sekvo::kInvalidUtf8Message);
        return 0;
    }
    const std::vector<ScannedRecord>& records = whole.value();
    FUZZ_CHECK(same_records(records, pieces.value()));
    FUZZ_CHECK(same_records(records, from_file.value()));
    FUZZ_CHECK(same_records(records, in_parts.value()));

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<ExpectedRecord> expected = read_lines(text);
    FUZZ_CHECK(expected.size() == records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const ScannedRecord& got = records[i];
        const ExpectedRecord& want = expected[i];
        FUZZ_CHECK(got.name == want.name);
        FUZZ_CHECK(got.entry.offset == want.offset && got.entry.offset <= size);
        FUZZ_CHECK(got.entry.rlen == want.residues.size());
        FUZZ_CHECK(got.entry.lenc == want.first_residues && got.entry.lenb == want.first_bytes);

        // Reading never leaves the buffer (ASan watches the exact-size copy);
        // a regular record reads back exactly.
        const std::string all = sekvo::read_from_mapping(data, size, got.entry, 1, got.entry.rlen);
        FUZZ_CHECK(all.size() <= got.entry.rlen);
        if (want.regular) {
            FUZZ_CHECK(all == want.residues);
            if (got.entry.rlen > 0) {
                const std::uint64_t first = 1 + region_pick % got.entry.rlen;
                const std::uint64_t count = 1 + (region_pick >> 32) % (got.entry.rlen - first + 1);
                FUZZ_CHECK(sekvo::read_from_mapping(data, size, got.entry, first, count) ==
                           want.residues.substr(first - 1, count));
            }
        }
    }

    // The index text round-trips; a later record of the same name wins.
    sekvo::NameTable table;
    FUZZ_CHECK(!sekvo::load_index_text(sekvo::format_index(records), table).has_value());
    for (const ScannedRecord& record : records) {
        const IndexEntry* loaded = table.lookup(record.name);
        FUZZ_CHECK(loaded != nullptr);
    }
    for (std::size_t i = records.size(); i-- > 0;) {
        const IndexEntry* loaded = table.lookup(records[i].name);
        bool later_duplicate = false;
        for (std::size_t j = i + 1; j < records.size(); ++j)
            later_duplicate = later_duplicate || records[j].name == records[i].name;
        if (!later_duplicate) FUZZ_CHECK(same_entry(*loaded, records[i].entry));
    }
    return 0;
}
