#include "faidx/record_output.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "faidx/columnar_fetch.hpp"

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

// Residues into lines of `width` (0: one line), `column` carried between
// the pieces of one record.
void put_wrapped(OutputSink& sink, std::string_view text, std::size_t width, std::size_t& column) {
    if (width == 0) {
        sink.append(text);
        column += text.size();
        return;
    }
    while (!text.empty()) {
        const std::size_t take = std::min(width - column, text.size());
        const bool ends_line = column + take == width;
        char* out = sink.claim(take + (ends_line ? 1 : 0));
        std::memcpy(out, text.data(), take);
        if (ends_line) out[take] = '\n';
        column = ends_line ? 0 : column + take;
        text.remove_prefix(take);
    }
}

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
    // A window's pieces are fetched about kFetchResidues at a time into
    // the same buffer.
    std::size_t record = 0;
    std::size_t header_begin = 0;
    std::size_t piece = 0;
    std::size_t column = 0;
    bool open = false;  // the current record's header is written, its residues not all
    std::uint64_t got = 0;
    std::uint64_t wanted = 0;
    std::string reversed;
    while (record < records_.size()) {
        const std::size_t fetch_begin = piece;
        std::size_t fetch_end = piece;
        std::uint64_t residues = 0;
        while (fetch_end < pieces_.size() && (fetch_end == piece || residues < kFetchResidues)) {
            residues += pieces_.end(fetch_end) - pieces_.start(fetch_end) + 1;
            ++fetch_end;
        }
        if (spare_.size() < residues) {
            // Sized for any later fetch, unless the job is small.
            spare_ = ByteBuffer(residues < kFetchResidues ? residues : kFetchResidues + kPieceResidues);
        }
        Result<ColumnarBatch> fetched =
            fetch_columns(handle, pieces_, piece, fetch_end, Orientation::forward, &spare_);
        if (!fetched) return std::move(fetched.error());
        ColumnarBatch& batch = fetched.value();
        // Handed back to spare_ once this piece of the window is written.
        struct GiveBack {
            ByteBuffer& from;
            ByteBuffer& to;
            ~GiveBack() { to = std::move(from); }
        } give_back{batch.residues, spare_};
        for (; record < records_.size(); ++record) {
            const Record& r = records_[record];
            if (!open) {
                const std::string_view header(headers_.data() + header_begin, r.header_end - header_begin);
                if (!layout.tab) sink.put('>');
                sink.append(header);
                sink.put(layout.tab ? '\t' : '\n');
                column = 0;
                got = wanted = 0;
                open = true;
            }
            for (; piece < r.piece_end && piece < fetch_end; ++piece) {
                const std::string_view text = batch.residues_of(piece - fetch_begin);
                got += text.size();
                wanted += pieces_.end(piece) - pieces_.start(piece) + 1;
                if (!r.reverse) {
                    put_wrapped(sink, text, layout.tab ? 0 : layout.line_width, column);
                } else {
                    reversed.assign(text);
                    peer_reverse_complement(reversed.data(), reversed.size(), layout.rna);
                    put_wrapped(sink, reversed, layout.tab ? 0 : layout.line_width, column);
                }
                sink.write_if_full();
            }
            if (piece < r.piece_end) break;  // the rest of this record is in the next fetch
            if (layout.tab || column != 0) sink.put('\n');
            if (got != wanted && short_records != nullptr) short_records->push_back({record, got, wanted});
            open = false;
            header_begin = r.header_end;
            sink.write_if_full();
            if (sink.error() != 0) return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace sekvo
