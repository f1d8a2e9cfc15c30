// Scanning a FASTA file into index entries, in file order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "faidx/name_table.hpp"
#include "faidx/utf8.hpp"

namespace sekvo {

struct ScannedRecord {
    std::string name;
    IndexEntry entry;
};

class LineLog;

// Consumes the file in pieces of any size (lines may straddle pieces) and
// produces one entry per named record. A record whose lines are not laid
// out regularly is still indexed, with a warning line on standard error.
class FastaScanner {
public:
    FastaScanner() = default;
    // Scans a part of the file that starts at `start_position` and at the
    // start of a line, logging its lines into `log` instead of indexing.
    FastaScanner(std::uint64_t start_position, LineLog& log) : position_(start_position), log_(&log) {}

    // false: the text is not valid UTF-8.
    bool feed(const unsigned char* data, std::size_t size);
    // Ends the file; false when it ended inside a UTF-8 character.
    bool finish();
    std::vector<ScannedRecord>& records() { return records_; }

private:
    void complete_line(const unsigned char* line, const unsigned char* line_feed,
                       std::uint64_t end_position);
    const unsigned char* continue_line(const unsigned char* p, const unsigned char* end);
    void start_partial_line(const unsigned char* p, const unsigned char* end);
    void append_to_partial_line(const unsigned char* p, const unsigned char* end);
    void on_header(std::string_view rest, std::uint64_t end_position);
    void on_sequence_line(std::uint64_t residues, std::uint64_t bytes);
    void close_record();
    friend class LineLog;

    Utf8StreamValidator utf8_;
    std::uint64_t position_ = 0;  // bytes fed before the current piece
    LineLog* log_ = nullptr;
    std::vector<ScannedRecord> records_;

    // The line that straddles pieces, if any.
    bool in_line_ = false;
    bool line_is_header_ = false;
    std::string header_;           // header text after ">", so far
    std::uint64_t line_bytes_ = 0;  // sequence line bytes so far, line feed excluded
    std::uint64_t trailing_cr_ = 0;

    // The current record.
    std::string name_;
    std::uint64_t offset_ = 0;
    std::uint64_t residues_ = 0;
    std::uint64_t lines_ = 0;
    std::uint64_t lenc_ = 0;
    std::uint64_t lenb_ = 0;
    // Layout check: a line that differs from the first may only be the last
    // non-blank line of the record.
    bool seen_blank_ = false;
    bool seen_odd_line_ = false;
    bool ragged_ = false;
};

// The lines of a part of a file, in order: headers, and runs of sequence
// lines of the same size. Replayed into a scanner, they index the part as
// if that scanner had read it, so parts can be scanned at the same time
// and joined in file order.
class LineLog {
public:
    void header(std::string_view rest, std::uint64_t end_position);
    void sequence_line(std::uint64_t residues, std::uint64_t bytes);
    // Too many distinct runs to be worth keeping (lines of many lengths).
    bool overflowed() const { return overflowed_; }
    void replay(FastaScanner& scanner) const;

private:
    struct Event {
        std::uint64_t residues;  // header events: the end position
        std::uint64_t bytes;
        std::uint64_t count;     // 0 for a header
        std::size_t header;      // index into headers_
    };
    std::vector<Event> events_;
    std::vector<std::string> headers_;
    bool overflowed_ = false;
};

// Scans a whole FASTA file held in memory (the read-only mapping).
// Large files are scanned in parts on the worker pool; reads of the parts
// are guarded against the file shrinking when `mapping_failed` is given
// (see MappingGuard).
Result<std::vector<ScannedRecord>> scan_fasta(const unsigned char* data, std::uint64_t size,
                                              std::atomic<bool>* mapping_failed = nullptr);
// The scan in about `parts` parts, whatever the size; the same result.
Result<std::vector<ScannedRecord>> scan_fasta_in_parts(const unsigned char* data, std::uint64_t size,
                                                       std::size_t parts, std::atomic<bool>* mapping_failed);
// Scans the open FASTA file with positional reads from its start.
Result<std::vector<ScannedRecord>> scan_fasta_file(int fd);

}  // namespace sekvo
