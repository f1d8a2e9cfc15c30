#include "faidx/retrieval.hpp"

#include <limits>
#include <new>

#include "faidx/mapping_guard.hpp"
#include "faidx/warnings.hpp"

namespace sekvo {

namespace {

std::string decimal(std::uint64_t value) { return std::to_string(value); }

Error not_found(std::string_view name) {
    return Error{ErrorKind::Fetch, "Sequence '" + std::string(name) + "' not found"};
}

std::string out_of_bounds_text(std::string_view name, std::uint64_t start, std::uint64_t end,
                               std::uint64_t length) {
    return "coordinates " + decimal(start) + "-" + decimal(end) + " are out of bounds for sequence '" +
           std::string(name) + "' of length " + decimal(length);
}

const char* const kZeroCoordinateText = "coordinates cannot be 0 (1-based indexing)";

std::string reversed_text(std::uint64_t start, std::uint64_t end) {
    return "start coordinate " + decimal(start) + " is greater than end coordinate " + decimal(end);
}

// A result that carries its coordinates whatever the settings say.
SequenceValue early_result(std::string_view name, std::uint64_t start, std::uint64_t end) {
    return SequenceValue{std::string(name), std::string(), start, end, false};
}

Error truncated_while_mapped() {
    return Error::io_custom("FASTA file was truncated or became unreadable while open");
}

Result<std::string> copy_residues(const IndexHandle& handle, const IndexEntry& entry,
                                  std::uint64_t first, std::uint64_t count) {
    if (handle.has_mapping()) {
        if (handle.mapping_failed()) return truncated_while_mapped();
        std::string residues;
        {
            MappingGuard guard(handle.mapping_data(), handle.mapping_size(), handle.mapping_failed());
            residues = read_from_mapping(handle.mapping_data(), handle.mapping_size(), entry, first, count);
        }
        // Checked after the read: it may have met a page the guard replaced.
        if (handle.mapping_failed()) return truncated_while_mapped();
        return residues;
    }
    if (handle.file_descriptor() >= 0)
        return read_from_file(handle.file_descriptor(), entry, first, count);
    return Error::io_custom("No file handle available");
}

void upper_case(std::string& text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
}

// Appends `missing` copies of `filler`. The size is checked first so that an
// impossible request is std::bad_alloc (MemoryError), never a length_error.
void pad(std::string& text, std::uint64_t missing, const std::string& filler) {
    std::uint64_t extra;
    std::uint64_t total;
    if (__builtin_mul_overflow(missing, filler.size(), &extra) ||
        __builtin_add_overflow(extra, text.size(), &total) || total > text.max_size())
        throw std::bad_alloc();
    if (filler.size() == 1) {
        text.append(static_cast<std::size_t>(missing), filler[0]);
        return;
    }
    text.reserve(static_cast<std::size_t>(total));
    for (std::uint64_t i = 0; i < missing; ++i) text.append(filler);
}

// Copies residues first..last and applies padding, case and coordinates.
Result<SequenceValue> complete_region(const IndexHandle& handle, std::string_view name,
                                      const IndexEntry& entry, std::uint64_t first,
                                      std::uint64_t last) {
    const OpenOptions& settings = handle.options();
    // last - first + 1 overflows only for 1..2^64-1; saturate instead of wrapping to 0.
    const std::uint64_t count =
        last - first == std::numeric_limits<std::uint64_t>::max() ? last - first : last - first + 1;
    Result<std::string> copied = copy_residues(handle, entry, first, count);
    if (!copied) return std::move(copied.error());
    std::string seq = copied.take();
    if (seq.size() < count && settings.default_seq) pad(seq, count - seq.size(), *settings.default_seq);
    else if (seq.size() > count) seq.resize(static_cast<std::size_t>(count));
    if (settings.sequence_always_upper) upper_case(seq);

    SequenceValue value{std::string(name), std::move(seq), std::nullopt, std::nullopt, false};
    if (!settings.as_raw) {
        value.start = settings.one_based_attributes ? first : first - 1;
        value.end = last;
    }
    return value;
}

}  // namespace

Result<SequenceValue> fetch(const IndexHandle& handle, std::string_view name, std::uint64_t start,
                            std::uint64_t end) {
    const IndexEntry* entry = handle.lookup(name);
    if (entry == nullptr) return not_found(name);
    const std::uint64_t length = entry->rlen;
    const bool out_of_bounds = start > length || end > length;

    if (handle.options().strict_bounds) {
        if (out_of_bounds)
            return Error{ErrorKind::OutOfRange, out_of_bounds_text(name, start, end, length)};
        if (start == 0 || end == 0) return Error{ErrorKind::OutOfRange, kZeroCoordinateText};
        if (start > end) return Error{ErrorKind::OutOfRange, reversed_text(start, end)};
        return complete_region(handle, name, *entry, start, end);
    }

    if (out_of_bounds) {
        write_warning(out_of_bounds_text(name, start, end, length));
        if (start > length) return early_result(name, start, start);
    }
    const std::uint64_t s = std::min(start, length);
    const std::uint64_t e = std::min(end, length);
    if (s == 0 || e == 0) {
        write_warning(kZeroCoordinateText);
        return early_result(name, s, e);
    }
    if (e < s) {
        write_warning(reversed_text(s, e));
        return early_result(name, s, e);
    }
    return complete_region(handle, name, *entry, s, e);
}

Result<SequenceValue> fetch_entire_sequence(const IndexHandle& handle, std::string_view name) {
    const IndexEntry* entry = handle.lookup(name);
    if (entry == nullptr) return not_found(name);
    Result<std::string> copied = copy_residues(handle, *entry, 1, entry->rlen);
    if (!copied) return std::move(copied.error());
    const OpenOptions& settings = handle.options();
    SequenceValue value{std::string(name), copied.take(), std::nullopt, std::nullopt, false};
    if (settings.sequence_always_upper) upper_case(value.seq);
    if (!settings.as_raw) {
        value.start = settings.one_based_attributes ? 1 : 0;
        value.end = entry->rlen;
    }
    return value;
}

Result<SequenceValue> fetch_for_batch(const IndexHandle& handle, std::string_view name,
                                      std::uint64_t start, std::uint64_t end) {
    const IndexEntry* entry = handle.lookup(name);
    if (entry == nullptr) return not_found(name);
    const std::uint64_t length = entry->rlen;

    if (handle.options().strict_bounds) {
        if (start == 0 || end == 0 || start > end || start > length || end > length)
            return Error{ErrorKind::Region, "Invalid region " + std::string(name) + ":" + decimal(start) +
                                                "-" + decimal(end) + " (sequence length: " +
                                                decimal(length) + ")"};
        return complete_region(handle, name, *entry, start, end);
    }

    // Silent corrections. A region starting past the end of the record is
    // empty, as the single fetch has it, not the record's last residue.
    if (start > length) return early_result(name, start, start);
    const std::uint64_t s = std::min(std::max<std::uint64_t>(start, 1), length);
    const std::uint64_t e = std::min(std::max<std::uint64_t>(end, 1), length);
    if (std::max<std::uint64_t>(end, 1) < s) return early_result(name, s, e);
    return complete_region(handle, name, *entry, s, e);
}

}  // namespace sekvo
