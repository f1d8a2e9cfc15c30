// BED intervals written as records, streaming: text is fed in pieces of
// any size, lines are parsed by the BED reader, checked against the index
// and gathered into windows that are fetched and written in input order as
// they fill, so memory stays bounded however long the file is. Headers and
// skipping rules are those of bedtools getfasta.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "faidx/bed_reader.hpp"
#include "common/error.hpp"
#include "common/line_splitter.hpp"
#include "faidx/index_handle.hpp"
#include "faidx/output_sink.hpp"
#include "faidx/record_output.hpp"

namespace sekvo {

enum class BedHeader {
    coordinates,           // chrom:start-end
    name_and_coordinates,  // name::chrom:start-end
    name_only,             // name
};

struct BedRecordOptions {
    BedHeader header = BedHeader::coordinates;
    bool strand = false;      // "(column 6)" after the header; '-' intervals reverse-complemented
    bool keep_going = false;  // skip intervals on unknown records instead of stopping
    RecordLayout layout;
};

// An interval left out, for the caller to report.
struct BedSkip {
    enum Kind { unknown_name, empty, past_end } kind;
    std::uint64_t line;
    std::string name;
    std::uint64_t start;  // 0-based, as in the file
    std::uint64_t end;
    std::uint64_t length;  // of the record, for past_end
};

class BedRecordStream {
public:
    BedRecordStream(const IndexHandle& handle, BedRecordOptions options, OutputSink& sink);

    // Both false once the stream stopped: see problem() and error().
    bool feed(std::string_view text);
    // The last line, the last window, and everything pending written.
    bool finish();

    // A line that cannot be read or is refused (start after end, unknown
    // record without keep_going).
    const std::optional<BedProblem>& problem() const { return problem_; }
    // A fetch that failed (the FASTA file changed underneath).
    const std::optional<Error>& error() const { return error_; }
    std::vector<BedSkip> take_skips() { return std::exchange(skips_, {}); }
    std::uint64_t records_written() const { return records_; }
    std::uint64_t lines_read() const { return reader_.next_line() - 1; }

private:
    bool read_line(std::string_view line);  // one line, without its '\n'
    bool write_window();
    bool stopped() const { return problem_ || error_ || sink_.error() != 0; }

    const IndexHandle& handle_;
    BedRecordOptions options_;
    OutputSink& sink_;
    BedReader reader_;
    LineSplitter splitter_;
    std::vector<std::uint64_t> lines_;        // line number of each region read
    std::string strand_texts_;                // column 6 of each region, when asked for
    std::vector<std::size_t> strand_ends_;
    RecordWindow window_;
    std::string header_;
    std::vector<BedSkip> skips_;
    std::optional<BedProblem> problem_;
    std::optional<Error> error_;
    std::uint64_t records_ = 0;
};

}  // namespace sekvo
