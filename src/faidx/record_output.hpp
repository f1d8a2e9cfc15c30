// Records written by the command line: a header and the residues of a
// region, as FASTA (wrapped or on one line) or as "header<TAB>residues"
// lines. Regions are gathered in windows of bounded size; a window is
// copied on the worker pool from a plain file's mapping straight into the
// output (or, for what the mapping cannot give as asked, fetched with the
// columnar batch fetch) and written in input order. A region larger than a
// window piece is fetched in pieces, so memory stays bounded whatever the
// regions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "faidx/byte_buffer.hpp"
#include "faidx/index_handle.hpp"
#include "faidx/output_sink.hpp"
#include "faidx/passed_pages.hpp"
#include "faidx/region_columns.hpp"

namespace sekvo {

struct RecordLayout {
    std::size_t line_width = 0;  // residues per line; 0: all on one line
    bool tab = false;            // "header\tresidues\n" instead of FASTA
    bool rna = false;            // reverse strands complement A as U
};

class RecordWindow {
public:
    // Residues fetched at most in one piece, in one batch fetch, and
    // gathered in one window. Fetches are small because fresh memory is
    // dear (a page fault per 4 kB; on virtual machines the host's first
    // touch on top): one buffer of kFetchResidues + kPieceResidues serves
    // every fetch of a run.
    static constexpr std::uint64_t kPieceResidues = std::uint64_t{1} << 20;
    static constexpr std::uint64_t kFetchResidues = std::uint64_t{1} << 20;
    static constexpr std::uint64_t kWindowResidues = std::uint64_t{16} << 20;
    // Small enough that a background sink's first job starts soon after
    // the first lines are read.
    static constexpr std::size_t kWindowRecords = 1u << 13;

    // A record of residues start..end (1-based, inclusive) of the record
    // `name`, reverse-complemented when `reverse`; end < start: no residues.
    // The coordinates must lie within the record.
    void add(std::string_view header, std::string_view name, std::uint64_t start, std::uint64_t end,
             bool reverse) {
        add(header, pieces_.intern(name), start, end, reverse);
    }
    // The records of `regions`, with their index entries (nullptr for an
    // unknown name), become those of the window, which must be empty: then
    // a record is added by its number in regions.record_names(), and
    // neither the name nor its entry is looked up again.
    void use_records(const RegionColumns& regions, std::vector<const IndexEntry*> entries);
    void add(std::string_view header, std::uint32_t record, std::uint64_t start, std::uint64_t end, bool reverse);
    bool full() const { return records_.size() >= kWindowRecords || residues_ >= kWindowResidues; }
    bool empty() const { return records_.empty(); }
    std::size_t size() const { return records_.size(); }
    std::string_view header(std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : records_[i - 1].header_end;
        return std::string_view(headers_).substr(begin, records_[i].header_end - begin);
    }
    void clear();

    // A record that came out shorter than its coordinates (a FASTA file
    // shorter than its index says): written as read, reported here.
    struct ShortRecord {
        std::size_t index;  // in the window
        std::uint64_t residues;
        std::uint64_t wanted;
    };

    // Fetches the window's residues and writes its records to `sink`;
    // records that came out short are added to `short_records` when given.
    // A background sink (without short_records) takes the window as a job
    // and the window is left empty: the failure returned is then that of a
    // window posted before (the sink keeps the last one's, see
    // OutputSink::take_failure()).
    std::optional<Error> write(const IndexHandle& handle, const RecordLayout& layout, OutputSink& sink,
                               std::vector<ShortRecord>* short_records = nullptr);

private:
    std::optional<Error> write_now(const IndexHandle& handle, const RecordLayout& layout, OutputSink& sink,
                                   std::vector<ShortRecord>* short_records);

    struct Record {
        std::size_t header_end;   // end of its header in headers_
        std::size_t piece_end;    // end of its pieces in pieces_
        bool reverse;
    };
    std::string headers_;
    std::vector<Record> records_;
    RegionColumns pieces_;  // forward pieces; a reverse record's from last to first
    // The index entry of each of pieces_.record_names(), once known.
    std::vector<const IndexEntry*> entries_;
    const std::vector<const IndexEntry*>& entries(const IndexHandle& handle);
    // The part of one record that one fetch lays out: its header when it
    // opens the record, the residues of pieces [piece_begin, piece_end)
    // from wrap column `column` on, the line end when it closes it.
    struct Segment {
        std::size_t record;
        std::size_t header_begin;
        std::size_t piece_begin;
        std::size_t piece_end;
        std::size_t column;
        std::size_t offset;  // in the fetch's block of output
        bool opens;
        bool closes;
    };
    // How far writing has come: the record and piece laid out next.
    struct Cursor {
        std::size_t record = 0;
        std::size_t header_begin = 0;
        std::size_t piece = 0;
        std::size_t column = 0;
        bool open = false;  // the record's header is laid out, its residues not all
        std::uint64_t got = 0;
        std::uint64_t wanted = 0;
    };
    // The segments of the records pieces [at.piece, fetch_end) complete,
    // piece p giving residues_of(p) residues; the size of their block.
    template <class Residues>
    std::size_t plan_segments(Cursor& at, std::size_t fetch_end, const RecordLayout& layout,
                              const Residues& residues_of, std::vector<ShortRecord>* short_records);
    // Lays the segments planned out in `block` (block_size bytes), residues
    // from `source`; false when the source could not give a piece as planned.
    template <class Source>
    bool lay_out(const Source& source, char* block, std::size_t block_size, const RecordLayout& layout);

    std::uint64_t residues_ = 0;
    // What writing keeps from one window to the next, shared by the jobs a
    // background sink runs (one after another):
    struct Carry {
        // The residue buffer of the last fetch, kept for the next: a fresh
        // buffer costs a page fault per page (or a huge page zeroed) each time.
        ByteBuffer spare;
        std::vector<Segment> segments;
    };
    std::shared_ptr<Carry> carry_;
    // The windows handed to a background sink, for the pages they leave behind.
    PassedPages passed_;
};

// The complement the peer tools write: IUPAC letters and U swap, case is
// kept, any other byte stays as it is.
void peer_reverse_complement(char* text, std::size_t size, bool rna);

}  // namespace sekvo
