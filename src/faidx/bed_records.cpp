#include "faidx/bed_records.hpp"

#include <charconv>
#include <utility>

namespace sekvo {

namespace {

// Regions read before their window is checked and written.
constexpr std::size_t kRegionsPerWindow = RecordWindow::kWindowRecords;

// Column 6 of a line (without its line end), or "" when it has fewer.
std::string_view sixth_column(std::string_view line) {
    for (int tabs = 0; tabs < 5; ++tabs) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) return {};
        line.remove_prefix(tab + 1);
    }
    return line.substr(0, line.find('\t'));
}

void append_number(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto done = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, done.ptr);
}

}  // namespace

BedRecordStream::BedRecordStream(const IndexHandle& handle, BedRecordOptions options, OutputSink& sink)
    : handle_(handle), options_(options), sink_(sink) {}

bool BedRecordStream::read_line(std::string_view line) {
    const std::uint64_t number = reader_.next_line();
    const std::size_t before = reader_.regions().size();
    if (!reader_.read_line(line)) {
        problem_ = reader_.problem();
        return false;
    }
    if (reader_.regions().size() == before) return true;  // a header, comment or blank line
    lines_.push_back(number);
    if (options_.strand) {
        std::string_view text = line;
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        strand_texts_.append(sixth_column(text));
        strand_ends_.push_back(strand_texts_.size());
    }
    if (reader_.regions().size() >= kRegionsPerWindow) return write_window();
    return true;
}

bool BedRecordStream::feed(std::string_view text) {
    if (stopped()) return false;
    splitter_.feed(text);
    std::string_view line;
    while (splitter_.next(line))
        if (!read_line(line)) return false;
    return !stopped();
}

bool BedRecordStream::finish() {
    if (stopped()) return false;
    std::string_view line;
    if (splitter_.finish(line) && !read_line(line)) return false;
    if (!write_window()) return false;
    sink_.flush();
    return !stopped();
}

bool BedRecordStream::write_window() {
    RegionColumns regions = reader_.take_regions();
    // Each name is looked up once: the window takes the entries found here
    // and refers to records by their numbers in `regions`.
    const std::vector<const IndexEntry*> records = handle_.lookup_all(regions.record_names());
    window_.clear();
    window_.use_records(regions, records);
    std::size_t strand_begin = 0;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const std::string_view name = regions.name(i);
        const std::uint64_t start = regions.start(i) - 1;  // back to the file's 0-based start
        const std::uint64_t end = regions.end(i);
        const std::string_view strand =
            options_.strand ? std::string_view(strand_texts_).substr(strand_begin, strand_ends_[i] - strand_begin)
                            : std::string_view();
        if (options_.strand) strand_begin = strand_ends_[i];
        const IndexEntry* record = records[regions.record(i)];
        if (start > end) {
            problem_ = BedProblem{lines_[i], "start " + std::to_string(start) + " is greater than end " +
                                                  std::to_string(end)};
            break;
        }
        if (record == nullptr) {
            if (!options_.keep_going) {
                problem_ = BedProblem{lines_[i], "no sequence named '" + std::string(name) +
                                                      "' in the FASTA file (--continue skips such lines)"};
                break;
            }
            skips_.push_back({BedSkip::unknown_name, lines_[i], std::string(name), start, end, 0});
            continue;
        }
        if (start == end || end > record->rlen) {
            skips_.push_back({start == end ? BedSkip::empty : BedSkip::past_end, lines_[i], std::string(name),
                              start, end, record->rlen});
            continue;
        }
        header_.clear();
        if (options_.header != BedHeader::coordinates) header_.append(regions.label(i));
        if (options_.header == BedHeader::name_and_coordinates) header_.append("::");
        if (options_.header != BedHeader::name_only) {
            header_.append(name);
            header_.push_back(':');
            append_number(header_, start);
            header_.push_back('-');
            append_number(header_, end);
        }
        if (options_.strand) {
            header_.push_back('(');
            header_.append(strand);
            header_.push_back(')');
        }
        window_.add(header_, regions.record(i), start + 1, end, options_.strand && strand == "-");
        if (window_.full()) {
            records_ += window_.size();
            if (auto failed = window_.write(handle_, options_.layout, sink_)) error_ = std::move(failed);
            window_.clear();
            window_.use_records(regions, records);
            if (stopped()) break;
        }
    }
    lines_.clear();
    strand_texts_.clear();
    strand_ends_.clear();
    if (!problem_ && !error_ && !window_.empty()) {
        records_ += window_.size();
        if (auto failed = window_.write(handle_, options_.layout, sink_)) error_ = std::move(failed);
        window_.clear();
    }
    return !stopped();
}

}  // namespace sekvo
