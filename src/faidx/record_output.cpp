#include "faidx/record_output.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <utility>

#include "faidx/columnar_fetch.hpp"
#include "faidx/retrieval.hpp"
#include "faidx/worker_pool.hpp"

namespace sekvo {

namespace {

using Table = std::array<unsigned char, 256>;

Table complement_table(bool rna) {
    Table table;
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<unsigned char>(i);
    const std::string_view from = "ACGTUMRWSYKVHDBNacgtumrwsykvhdbn";
    const std::string_view to = rna ? "UGCAAKYWSRMBDHVNugcaakywsrmbdhvn" : "TGCAAKYWSRMBDHVNtgcaakywsrmbdhvn";
    for (std::size_t i = 0; i < from.size(); ++i)
        table[static_cast<unsigned char>(from[i])] = static_cast<unsigned char>(to[i]);
    return table;
}

const Table kDnaComplement = complement_table(false);
const Table kRnaComplement = complement_table(true);

// Residues into lines of `width` (0: one line) at `out`, `column` carried
// between the pieces of one record; returns the end of what was written.
char* put_wrapped(char* out, std::string_view text, std::size_t width, std::size_t& column) {
    if (width == 0) {
        std::memcpy(out, text.data(), text.size());
        column += text.size();
        return out + text.size();
    }
    while (!text.empty()) {
        const std::size_t take = std::min(width - column, text.size());
        std::memcpy(out, text.data(), take);
        out += take;
        column += take;
        if (column == width) {
            *out++ = '\n';
            column = 0;
        }
        text.remove_prefix(take);
    }
    return out;
}

// Bytes that `residues` more residues take from `column` on, and the column after.
std::size_t wrapped_size(std::size_t residues, std::size_t width, std::size_t& column) {
    if (width == 0) {
        column += residues;
        return residues;
    }
    const std::size_t lines = (column + residues) / width;
    column = (column + residues) % width;
    return residues + lines;
}

// Blocks smaller than this are laid out on the calling thread: waking the
// pool costs more.
constexpr std::size_t kParallelBlock = std::size_t{64} << 10;

}  // namespace

void peer_reverse_complement(char* text, std::size_t size, bool rna) {
    const Table& table = rna ? kRnaComplement : kDnaComplement;
    std::reverse(text, text + size);
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>(table[static_cast<unsigned char>(text[i])]);
}

void RecordWindow::use_records(const RegionColumns& regions, std::vector<const IndexEntry*> entries) {
    pieces_.restart_with_names_of(regions);
    entries_ = std::move(entries);
}

const std::vector<const IndexEntry*>& RecordWindow::entries(const IndexHandle& handle) {
    // Names added by name since (or without) use_records() are looked up here.
    if (entries_.size() != pieces_.record_names().size()) entries_ = handle.lookup_all(pieces_.record_names());
    return entries_;
}

void RecordWindow::add(std::string_view header, std::uint32_t record, std::uint64_t start, std::uint64_t end,
                       bool reverse) {
    headers_.append(header);
    if (end >= start) {
        residues_ += end - start + 1;
        const std::uint64_t pieces = (end - start) / kPieceResidues + 1;
        for (std::uint64_t k = 0; k < pieces; ++k) {
            const std::uint64_t p = reverse ? pieces - 1 - k : k;
            const std::uint64_t from = start + p * kPieceResidues;
            pieces_.add(record, from, std::min(end, from + kPieceResidues - 1));
        }
    }
    records_.push_back(Record{headers_.size(), pieces_.size(), reverse});
}

void RecordWindow::clear() {
    headers_.clear();
    records_.clear();
    pieces_ = RegionColumns{};
    entries_.clear();
    residues_ = 0;
}

std::optional<Error> RecordWindow::write(const IndexHandle& handle, const RecordLayout& layout, OutputSink& sink,
                                         std::vector<ShortRecord>* short_records) {
    if (!sink.takes_jobs()) return write_now(handle, layout, sink, short_records);
    if (short_records != nullptr) {
        sink.flush();  // the windows posted before come first
        return write_now(handle, layout, sink, short_records);
    }
    if (std::optional<Error> failed = sink.take_failure()) return failed;
    if (!carry_) carry_ = std::make_shared<Carry>();
    auto job = std::make_shared<RecordWindow>();
    job->headers_ = std::move(headers_);
    job->records_ = std::move(records_);
    entries(handle);
    job->entries_ = std::move(entries_);
    job->pieces_ = std::move(pieces_);
    job->carry_ = carry_;
    clear();
    passed_.posted(handle, job->pieces_, job->entries_);
    sink.post([job, &handle, layout, &sink] {
        if (sink.failed() || sink.error() != 0) return;
        if (std::optional<Error> failed = job->write_now(handle, layout, sink, nullptr)) sink.fail(std::move(*failed));
    });
    // Once post() returns, every window but this one and the one before is
    // done (one runs, one waits).
    passed_.finished(handle, 2);
    return std::nullopt;
}

namespace {

// Residues of a fetch made before the block is laid out.
class FetchedPieces {
public:
    FetchedPieces(const ColumnarBatch& batch, std::size_t first_piece) : batch_(batch), first_(first_piece) {}
    std::string_view view(std::size_t piece) const { return batch_.residues_of(piece - first_); }
    std::size_t size(std::size_t piece) const { return view(piece).size(); }
    bool copy(std::size_t piece, char* out) const {
        const std::string_view text = view(piece);
        std::memcpy(out, text.data(), text.size());
        return true;
    }
    void prefetch(std::size_t) const {}
    static constexpr bool kHasView = true;

private:
    const ColumnarBatch& batch_;
    std::size_t first_;
};

// Residues copied from a plain file's mapping straight into the output
// block: one pass over the pool and one copy per residue instead of three
// passes (plan, copy, lay out) and two copies. Only for pieces that lie
// within their records; a piece the mapping cannot give in full (a file
// shorter than its index says, bytes that are not ASCII) fails the copy,
// and the caller fetches those pieces the general way instead.
class MappedPieces {
public:
    MappedPieces(const IndexHandle& handle, const RegionColumns& pieces, const std::vector<const IndexEntry*>& records)
        : handle_(handle), pieces_(pieces), records_(records) {}

    // Whether pieces [begin, end) can be copied this way.
    bool covers(std::size_t begin, std::size_t end) const {
        if (handle_.mapping_data() == nullptr || handle_.bgzf() != nullptr) return false;
        for (std::size_t p = begin; p < end; ++p) {
            const IndexEntry* entry = records_[pieces_.record(p)];
            if (entry == nullptr || pieces_.start(p) == 0 || pieces_.end(p) < pieces_.start(p) ||
                pieces_.end(p) > entry->rlen)
                return false;
        }
        return true;
    }
    std::size_t size(std::size_t piece) const {
        return static_cast<std::size_t>(pieces_.end(piece) - pieces_.start(piece) + 1);
    }
    bool copy(std::size_t piece, char* out) const {
        const Result<bool> filled = fill_buffer(handle_, plan(piece), out);
        return filled && filled.value();
    }
    void prefetch(std::size_t piece) const { sekvo::prefetch(handle_, plan(piece)); }
    static constexpr bool kHasView = false;

private:
    ResidueSpan plan(std::size_t piece) const {
        return ResidueSpan{records_[pieces_.record(piece)], pieces_.start(piece), size(piece), true};
    }

    const IndexHandle& handle_;
    const RegionColumns& pieces_;
    const std::vector<const IndexEntry*>& records_;
};

}  // namespace

template <class Residues>
std::size_t RecordWindow::plan_segments(Cursor& at, std::size_t fetch_end, const RecordLayout& layout,
                                        const Residues& residues_of, std::vector<ShortRecord>* short_records) {
    const std::size_t width = layout.tab ? 0 : layout.line_width;
    std::vector<Segment>& segments = carry_->segments;
    segments.clear();
    std::size_t block_size = 0;
    while (at.record < records_.size()) {
        const Record& r = records_[at.record];
        if (!at.open && at.piece == fetch_end && r.piece_end > at.piece) break;  // all its residues come later
        Segment segment{at.record, at.header_begin, at.piece, 0, at.column, block_size, !at.open, false};
        if (!at.open) {
            block_size += (layout.tab ? 0 : 1) + (r.header_end - at.header_begin) + 1;
            segment.column = at.column = 0;
            at.got = at.wanted = 0;
            at.open = true;
        }
        std::size_t count = 0;
        for (; at.piece < r.piece_end && at.piece < fetch_end; ++at.piece) {
            count += residues_of(at.piece);
            at.wanted += pieces_.end(at.piece) - pieces_.start(at.piece) + 1;
        }
        at.got += count;
        segment.piece_end = at.piece;
        block_size += wrapped_size(count, width, at.column);
        if (at.piece < r.piece_end) {  // the rest of this record is in the next fetch
            segments.push_back(segment);
            break;
        }
        segment.closes = true;
        if (layout.tab || at.column != 0) ++block_size;
        if (at.got != at.wanted && short_records != nullptr) short_records->push_back({at.record, at.got, at.wanted});
        at.open = false;
        at.header_begin = r.header_end;
        ++at.record;
        segments.push_back(segment);
    }
    return block_size;
}

template <class Source>
bool RecordWindow::lay_out(const Source& source, char* block, std::size_t block_size, const RecordLayout& layout) {
    const std::vector<Segment>& segments = carry_->segments;
    const std::size_t width = layout.tab ? 0 : layout.line_width;
    std::atomic<bool> failed{false};
    auto lay_out_chunk = [&](std::size_t from, std::size_t to) {
        // The first bytes of a piece are asked for a few pieces ahead.
        constexpr std::size_t kAhead = 8;
        const std::size_t last_piece = segments[to - 1].piece_end;
        for (std::size_t p = segments[from].piece_begin; p < std::min(last_piece, segments[from].piece_begin + kAhead);
             ++p)
            source.prefetch(p);
        std::string scratch;
        for (std::size_t item = from; item < to && !failed.load(std::memory_order_relaxed); ++item) {
            const Segment& segment = segments[item];
            const Record& r = records_[segment.record];
            char* out = block + segment.offset;
            if (segment.opens) {
                if (!layout.tab) *out++ = '>';
                const std::size_t size = r.header_end - segment.header_begin;
                std::memcpy(out, headers_.data() + segment.header_begin, size);
                out += size;
                *out++ = layout.tab ? '\t' : '\n';
            }
            std::size_t at = segment.column;
            for (std::size_t p = segment.piece_begin; p < segment.piece_end; ++p) {
                if (p + kAhead < last_piece) source.prefetch(p + kAhead);
                const std::size_t size = source.size(p);
                if constexpr (Source::kHasView) {
                    if (!r.reverse && width != 0) {
                        out = put_wrapped(out, source.view(p), width, at);
                        continue;
                    }
                }
                char* residues = out;
                if (width != 0) {
                    scratch.resize(size);
                    residues = scratch.data();
                }
                if (!source.copy(p, residues)) {
                    failed.store(true, std::memory_order_relaxed);
                    return;
                }
                if (r.reverse) peer_reverse_complement(residues, size, layout.rna);
                if (width == 0) {
                    out += size;
                    at += size;
                } else {
                    out = put_wrapped(out, scratch, width, at);
                }
            }
            if (segment.closes && (layout.tab || at != 0)) *out = '\n';
        }
    };
    if (block_size >= kParallelBlock && segments.size() > 1) {
        parallel_for_each_chunk(segments.size(), ChunkWork(lay_out_chunk));
    } else if (!segments.empty()) {
        lay_out_chunk(0, segments.size());
    }
    return !failed.load();
}

std::optional<Error> RecordWindow::write_now(const IndexHandle& handle, const RecordLayout& layout,
                                             OutputSink& sink, std::vector<ShortRecord>* short_records) {
    if (!carry_) carry_ = std::make_shared<Carry>();
    ByteBuffer& spare = carry_->spare;
    const MappedPieces mapped(handle, pieces_, entries(handle));
    // A window's pieces are fetched about kFetchResidues at a time; the
    // records they complete are laid out in the sink in one block, each
    // record's bytes at an offset known beforehand, by the worker pool.
    Cursor cursor;
    while (cursor.record < records_.size()) {
        const std::size_t fetch_begin = cursor.piece;
        std::size_t fetch_end = cursor.piece;
        std::uint64_t residues = 0;
        while (fetch_end < pieces_.size() && (fetch_end == fetch_begin || residues < kFetchResidues)) {
            residues += pieces_.end(fetch_end) - pieces_.start(fetch_end) + 1;
            ++fetch_end;
        }

        if (mapped.covers(fetch_begin, fetch_end)) {
            Cursor direct = cursor;
            const std::size_t block_size =
                plan_segments(direct, fetch_end, layout, [&](std::size_t p) { return mapped.size(p); }, nullptr);
            if (lay_out(mapped, sink.claim_block(block_size), block_size, layout)) {
                cursor = direct;
                sink.write_if_full();
                if (sink.error() != 0) return std::nullopt;
                continue;
            }
            sink.unclaim(block_size);  // some piece came out otherwise: fetched below
        }

        if (spare.size() < residues) {
            // Sized for any later fetch, unless the job is small.
            spare = ByteBuffer(residues < kFetchResidues ? residues : kFetchResidues + kPieceResidues);
        }
        Result<ColumnarBatch> fetched =
            fetch_columns(handle, pieces_, fetch_begin, fetch_end, Orientation::forward, &spare);
        if (!fetched) return std::move(fetched.error());
        ColumnarBatch& batch = fetched.value();
        // Handed back to spare once this piece of the window is written.
        struct GiveBack {
            ByteBuffer& from;
            ByteBuffer& to;
            ~GiveBack() { to = std::move(from); }
        } give_back{batch.residues, spare};

        const FetchedPieces source(batch, fetch_begin);
        const std::size_t block_size = plan_segments(
            cursor, fetch_end, layout, [&](std::size_t p) { return source.size(p); }, short_records);
        lay_out(source, sink.claim_block(block_size), block_size, layout);
        sink.write_if_full();
        if (sink.error() != 0) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace sekvo
