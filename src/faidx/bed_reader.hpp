// BED files read into region columns: tab-separated, 0-based half-open
// intervals; `track`, `browser`, `#` and blank lines are skipped, CRLF line
// ends accepted; column 4 is kept as the label and column 6 as the strand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/error.hpp"
#include "common/line_splitter.hpp"
#include "faidx/region_columns.hpp"

namespace sekvo {

// What is wrong with a line, and its 1-based number in the file.
struct BedProblem {
    std::uint64_t line = 0;
    std::string message;
};

// "<path>: line <n>: <message>", the text callers show for a problem.
std::string describe_bed_problem(std::string_view path, const BedProblem& problem);

// Parses a BED text fed in pieces of any size, so that a file of any size
// can be read in bounded memory: a line cut by a piece's end is kept until
// the next piece (or finish()) completes it. Parsing stops at the first
// bad line; regions of the lines before it stay in regions().
class BedReader {
public:
    explicit BedReader(std::uint64_t first_line = 1) : next_line_(first_line) {}

    // False once a problem was met (see problem()).
    bool feed(std::string_view piece);
    // Parses a last line that has no line feed.
    bool finish();
    // Parses one whole line, without its line feed.
    bool read_line(std::string_view line);

    const std::optional<BedProblem>& problem() const { return problem_; }
    // The regions parsed so far; take them to keep memory bounded.
    RegionColumns& regions() { return regions_; }
    RegionColumns take_regions() { return std::exchange(regions_, RegionColumns{}); }
    // Number of the next line to be parsed.
    std::uint64_t next_line() const { return next_line_; }

private:
    RegionColumns regions_;
    LineSplitter lines_;
    std::uint64_t next_line_;
    std::optional<BedProblem> problem_;
};

struct BedText {
    RegionColumns regions;
    std::optional<BedProblem> problem;  // the first bad line, if any
};

// A whole BED text; large texts are parsed in parts on the worker pool.
BedText parse_bed_text(std::string_view text);

// A whole BED file, plain or gzip-compressed (any number of members, so
// BGZF too). Failing to open, read or decompress it is an IO error.
Result<BedText> read_bed_file(const std::string& path);

}  // namespace sekvo
