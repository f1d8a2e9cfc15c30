// Lines of a region file, as the command line's faidx reads them: the
// usual "name:start-end" line (both numbers plain decimals, the name a
// record, the whole line not itself a record name, start <= end <= the
// record's length) is read here and added to a record window with the
// line as its header. Every other line (a bare name, "name:start",
// "name:-end", numbers with commas, fractions or suffixes, braces, a
// region past the record's end, unknown names, non-ASCII at either end)
// is handed to the caller, which reads it by the general rules and adds
// the record it stands for; so the general rules live in one place and
// the common line costs no more than a look-up. The file is fed in pieces
// of any size, so it is read in bounded memory however long it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/line_splitter.hpp"
#include "faidx/index_handle.hpp"
#include "faidx/record_output.hpp"

namespace sekvo {

class RegionLineReader {
public:
    // `suffix` follows the line in each header; `reverse`: records are
    // reverse-complemented.
    RegionLineReader(const IndexHandle& handle, std::string suffix, bool reverse)
        : handle_(handle), suffix_(std::move(suffix)), reverse_(reverse) {}

    // The next piece of the file, kept alive by the caller until read()
    // returns Stop::end; then the next piece, or finish() at the file's end.
    void feed(std::string_view piece) { lines_.feed(piece); }
    // The file ended: its last line needs no line feed.
    void finish() { finished_ = true; }

    enum class Stop {
        end,          // what was fed is read
        referred,     // referred() is the caller's to read, then read on
        window_full,  // window() is to be written and cleared, then read on
    };
    // Reads the lines fed so far.
    Stop read();

    // The line handed over, ASCII white space trimmed (never empty). Lines
    // read here are UTF-8 (names come from the index); one handed over may
    // not be, for the caller to refuse.
    std::string_view referred() const { return referred_; }
    // The 1-based number of the line last read.
    std::uint64_t line() const { return lines_.lines(); }

    // Adds a record the caller read; end < start: an empty record.
    void add(std::string_view header, std::string_view name, std::uint64_t start, std::uint64_t end) {
        window_.add(header, name, start, end, reverse_);
    }
    RecordWindow& window() { return window_; }

private:
    // Adds the line as a record and returns true when it is a plain one.
    bool add_plain(std::string_view line);

    const IndexHandle& handle_;
    std::string suffix_;
    bool reverse_;
    LineSplitter lines_;
    bool finished_ = false;
    RecordWindow window_;
    std::string header_;
    std::string_view referred_;
};

}  // namespace sekvo
