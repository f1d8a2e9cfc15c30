#include "faidx/record_output.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include "faidx/columnar_fetch.hpp"
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

void RecordWindow::add(std::string_view header, std::string_view name, std::uint64_t start, std::uint64_t end,
                       bool reverse) {
    headers_.append(header);
    if (end >= start) {
        residues_ += end - start + 1;
        const std::uint64_t pieces = (end - start) / kPieceResidues + 1;
        for (std::uint64_t k = 0; k < pieces; ++k) {
            const std::uint64_t p = reverse ? pieces - 1 - k : k;
            const std::uint64_t from = start + p * kPieceResidues;
            pieces_.add(name, from, std::min(end, from + kPieceResidues - 1));
        }
    }
    records_.push_back(Record{headers_.size(), pieces_.size(), reverse});
}

void RecordWindow::clear() {
    headers_.clear();
    records_.clear();
    pieces_ = RegionColumns{};
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
    job->pieces_ = std::move(pieces_);
    job->carry_ = carry_;
    clear();
    passed_.posted(handle, job->pieces_);
    sink.post([job, &handle, layout, &sink] {
        if (sink.failed() || sink.error() != 0) return;
        if (std::optional<Error> failed = job->write_now(handle, layout, sink, nullptr)) sink.fail(std::move(*failed));
    });
    // Once post() returns, every window but this one and the one before is
    // done (one runs, one waits).
    passed_.finished(handle, 2);
    return std::nullopt;
}

std::optional<Error> RecordWindow::write_now(const IndexHandle& handle, const RecordLayout& layout,
                                             OutputSink& sink, std::vector<ShortRecord>* short_records) {
    if (!carry_) carry_ = std::make_shared<Carry>();
    ByteBuffer& spare = carry_->spare;
    std::vector<Segment>& segments = carry_->segments;
    // A window's pieces are fetched about kFetchResidues at a time into the
    // same buffer; the records they complete are laid out in the sink in
    // one block, each record's bytes at an offset known beforehand, by the
    // worker pool.
    const std::size_t width = layout.tab ? 0 : layout.line_width;
    std::size_t record = 0;
    std::size_t header_begin = 0;
    std::size_t piece = 0;
    std::size_t column = 0;
    bool open = false;  // the current record's header is laid out, its residues not all
    std::uint64_t got = 0;
    std::uint64_t wanted = 0;
    while (record < records_.size()) {
        const std::size_t fetch_begin = piece;
        std::size_t fetch_end = piece;
        std::uint64_t residues = 0;
        while (fetch_end < pieces_.size() && (fetch_end == piece || residues < kFetchResidues)) {
            residues += pieces_.end(fetch_end) - pieces_.start(fetch_end) + 1;
            ++fetch_end;
        }
        if (spare.size() < residues) {
            // Sized for any later fetch, unless the job is small.
            spare = ByteBuffer(residues < kFetchResidues ? residues : kFetchResidues + kPieceResidues);
        }
        Result<ColumnarBatch> fetched =
            fetch_columns(handle, pieces_, piece, fetch_end, Orientation::forward, &spare);
        if (!fetched) return std::move(fetched.error());
        ColumnarBatch& batch = fetched.value();
        // Handed back to spare once this piece of the window is written.
        struct GiveBack {
            ByteBuffer& from;
            ByteBuffer& to;
            ~GiveBack() { to = std::move(from); }
        } give_back{batch.residues, spare};

        // Where each record's part of this fetch goes, and how long it is.
        segments.clear();
        std::size_t block_size = 0;
        while (record < records_.size()) {
            const Record& r = records_[record];
            if (!open && piece == fetch_end && r.piece_end > piece) break;  // all its residues come later
            Segment segment{record, header_begin, piece, 0, column, block_size, !open, false};
            if (!open) {
                block_size += (layout.tab ? 0 : 1) + (r.header_end - header_begin) + 1;
                segment.column = column = 0;
                got = wanted = 0;
                open = true;
            }
            std::size_t count = 0;
            for (; piece < r.piece_end && piece < fetch_end; ++piece) {
                count += batch.residues_of(piece - fetch_begin).size();
                wanted += pieces_.end(piece) - pieces_.start(piece) + 1;
            }
            got += count;
            segment.piece_end = piece;
            block_size += wrapped_size(count, width, column);
            if (piece < r.piece_end) {  // the rest of this record is in the next fetch
                segments.push_back(segment);
                break;
            }
            segment.closes = true;
            if (layout.tab || column != 0) ++block_size;
            if (got != wanted && short_records != nullptr) short_records->push_back({record, got, wanted});
            open = false;
            header_begin = r.header_end;
            ++record;
            segments.push_back(segment);
        }

        char* block = sink.claim_block(block_size);
        auto lay_out = [&](std::size_t from, std::size_t to) {
            std::string reversed;
            for (std::size_t item = from; item < to; ++item) {
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
                    const std::string_view text = batch.residues_of(p - fetch_begin);
                    if (!r.reverse) {
                        out = put_wrapped(out, text, width, at);
                    } else if (width == 0) {
                        std::memcpy(out, text.data(), text.size());
                        peer_reverse_complement(out, text.size(), layout.rna);
                        out += text.size();
                        at += text.size();
                    } else {
                        reversed.assign(text);
                        peer_reverse_complement(reversed.data(), reversed.size(), layout.rna);
                        out = put_wrapped(out, reversed, width, at);
                    }
                }
                if (segment.closes && (layout.tab || at != 0)) *out = '\n';
            }
        };
        if (block_size >= kParallelBlock && segments.size() > 1) {
            parallel_for_each_chunk(segments.size(), ChunkWork(lay_out));
        } else {
            lay_out(0, segments.size());
        }
        sink.write_if_full();
        if (sink.error() != 0) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace sekvo
