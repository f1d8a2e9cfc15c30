#include "faidx/retrieval.hpp"

#include <cstdint>
#include <limits>
#include <new>

#include "common/huge_pages.hpp"
#include "faidx/mapping_guard.hpp"
#include "faidx/warnings.hpp"

namespace sekvo {

namespace {

std::string decimal(std::uint64_t value) { return std::to_string(value); }

std::string out_of_bounds_text(std::string_view name, std::uint64_t start, std::uint64_t end,
                               std::uint64_t length) {
    return "coordinates " + decimal(start) + "-" + decimal(end) + " are out of bounds for sequence '" +
           std::string(name) + "' of length " + decimal(length);
}

const char* const kZeroCoordinateText = "coordinates cannot be 0 (1-based indexing)";

std::string reversed_text(std::uint64_t start, std::uint64_t end) {
    return "start coordinate " + decimal(start) + " is greater than end coordinate " + decimal(end);
}

// A plan with nothing to copy, carrying its coordinates whatever the
// settings say.
RegionPlan early_result(std::string_view name, std::uint64_t start, std::uint64_t end) {
    RegionPlan plan;
    plan.value = SequenceValue{std::string(name), {}, start, end, false};
    return plan;
}

Error truncated_while_mapped() {
    return Error::io_custom("FASTA file was truncated or became unreadable while open");
}

// A file that shrinks inside a mapped page raises no fault: the bytes past
// its new end read as zeros. NUL is no line terminator, so a copy that met
// them took every byte after them too and ends in one; only such a copy
// asks the file's size, and marks the mapping failed when bytes were lost.
bool lost_tail(const IndexHandle& handle, const char* copied, std::size_t size) {
    if (size == 0 || copied[size - 1] != '\0' || !handle.mapped_file_shrank()) return false;
    handle.mapping_failed().store(true);
    return true;
}

Result<std::string> copy_residues(const IndexHandle& handle, const IndexEntry& entry,
                                  std::uint64_t first, std::uint64_t count) {
    if (const UncompressedSource* source = handle.uncompressed_source())
        return read_from_source(*source, entry, first, count);
    if (handle.has_mapping()) {
        if (handle.mapping_failed()) return truncated_while_mapped();
        std::string residues;
        {
            MappingGuard guard(handle.mapping_data(), handle.mapping_size(), handle.mapping_failed(),
                               handle.mapped_file_descriptor());
            residues = read_from_mapping(handle.mapping_data(), handle.mapping_size(), entry, first, count);
        }
        // Checked after the read: it may have met a page the guard replaced.
        if (handle.mapping_failed() || lost_tail(handle, residues.data(), residues.size()))
            return truncated_while_mapped();
        return residues;
    }
    if (handle.file_descriptor() >= 0)
        return read_from_file(handle.file_descriptor(), entry, first, count);
    return Error::io_custom("No file handle available");
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

void upper_case(char* text, std::size_t size) {
    for (char* c = text; c != text + size; ++c)
        if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - ('a' - 'A'));
}

// Residues first..last with padding and the coordinates the settings ask for.
RegionPlan region_plan(const IndexHandle& handle, std::string_view name, const IndexEntry& entry,
                       std::uint64_t first, std::uint64_t last) {
    const OpenOptions& settings = handle.options();
    RegionPlan plan;
    plan.value.name = std::string(name);
    if (!settings.as_raw) {
        plan.value.start = settings.one_based_attributes ? first : first - 1;
        plan.value.end = last;
    }
    plan.entry = &entry;
    plan.first = first;
    // last - first + 1 overflows only for 1..2^64-1; saturate instead of wrapping to 0.
    plan.count = last - first == std::numeric_limits<std::uint64_t>::max() ? last - first : last - first + 1;
    return plan;
}

}  // namespace

Result<RegionPlan> plan_fetch(const IndexHandle& handle, std::string_view name, std::uint64_t start,
                              std::uint64_t end) {
    const IndexEntry* entry = handle.lookup(name);
    if (entry == nullptr) return sequence_not_found(name);
    return plan_fetch(handle, name, *entry, start, end);
}

Result<RegionPlan> plan_fetch(const IndexHandle& handle, std::string_view name, const IndexEntry& record,
                              std::uint64_t start, std::uint64_t end) {
    const IndexEntry* entry = &record;
    const std::uint64_t length = entry->rlen;
    const bool out_of_bounds = start > length || end > length;

    if (handle.options().strict_bounds) {
        if (out_of_bounds)
            return Error{ErrorKind::OutOfRange, out_of_bounds_text(name, start, end, length)};
        if (start == 0 || end == 0) return Error{ErrorKind::OutOfRange, kZeroCoordinateText};
        if (start > end) return Error{ErrorKind::OutOfRange, reversed_text(start, end)};
        return region_plan(handle, name, *entry, start, end);
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
    return region_plan(handle, name, *entry, s, e);
}

Result<RegionPlan> plan_entire_sequence(const IndexHandle& handle, std::string_view name) {
    const IndexEntry* entry = handle.lookup(name);
    if (entry == nullptr) return sequence_not_found(name);
    const OpenOptions& settings = handle.options();
    RegionPlan plan;
    plan.value.name = std::string(name);
    if (!settings.as_raw) {
        plan.value.start = settings.one_based_attributes ? 1 : 0;
        plan.value.end = entry->rlen;
    }
    plan.entry = entry;
    plan.first = 1;
    plan.count = entry->rlen;
    plan.pad = false;
    return plan;
}

Result<RegionPlan> plan_fetch_for_batch(const IndexHandle& handle, std::string_view name,
                                        std::uint64_t start, std::uint64_t end) {
    const IndexEntry* entry = handle.lookup(name);
    if (entry == nullptr) return sequence_not_found(name);
    return plan_fetch_for_batch(handle, name, *entry, start, end);
}

Result<RegionPlan> plan_fetch_for_batch(const IndexHandle& handle, std::string_view name,
                                        const IndexEntry& record, std::uint64_t start, std::uint64_t end) {
    const IndexEntry* entry = &record;
    const std::uint64_t length = entry->rlen;

    if (handle.options().strict_bounds) {
        if (start == 0 || end == 0 || start > end || start > length || end > length)
            return Error{ErrorKind::Region, "Invalid region " + std::string(name) + ":" + decimal(start) +
                                                "-" + decimal(end) + " (sequence length: " +
                                                decimal(length) + ")"};
        return region_plan(handle, name, *entry, start, end);
    }

    // Silent corrections. A region starting past the end of the record is
    // empty, as the single fetch has it, not the record's last residue.
    if (start > length) return early_result(name, start, start);
    const std::uint64_t s = std::min(std::max<std::uint64_t>(start, 1), length);
    const std::uint64_t e = std::min(std::max<std::uint64_t>(end, 1), length);
    if (std::max<std::uint64_t>(end, 1) < s) return early_result(name, s, e);
    return region_plan(handle, name, *entry, s, e);
}

Result<SequenceValue> complete(const IndexHandle& handle, RegionPlan&& plan) {
    if (plan.entry == nullptr) return std::move(plan.value);
    const OpenOptions& settings = handle.options();
    Result<std::string> copied = copy_residues(handle, *plan.entry, plan.first, plan.count);
    if (!copied) return std::move(copied.error());
    std::string seq = copied.take();
    if (plan.pad && seq.size() < plan.count && settings.default_seq)
        pad(seq, plan.count - seq.size(), *settings.default_seq);
    else if (seq.size() > plan.count)
        seq.resize(static_cast<std::size_t>(plan.count));
    if (settings.sequence_always_upper) upper_case(seq.data(), seq.size());
    plan.value.seq = std::move(seq);
    return std::move(plan.value);
}

std::size_t buffer_size(const IndexHandle& handle, const ResidueSpan& plan) {
    if (plan.entry == nullptr) return 0;
    if (const UncompressedSource* source = handle.uncompressed_source())
        return static_cast<std::size_t>(std::min(plan.count, source->size()));
    if (!handle.has_mapping()) return 0;
    // Never more than the file could hold, however large the request.
    return static_cast<std::size_t>(std::min(plan.count, handle.mapping_size()));
}

void prefetch(const IndexHandle& handle, const ResidueSpan& plan) {
    if (plan.entry == nullptr || handle.mapping_data() == nullptr) return;
    prefetch_region(handle.mapping_data(), handle.mapping_size(), *plan.entry, plan.first, plan.count);
}

Result<bool> fill_buffer(const IndexHandle& handle, const ResidueSpan& plan, char* out) {
    if (handle.mapping_failed()) return truncated_while_mapped();
    const std::size_t capacity = buffer_size(handle, plan);
    // A fresh buffer of many megabytes costs more in page faults than in
    // copying; smaller ones are left to the allocator's recycled pages.
    advise_huge_pages(out, capacity, 4);
    BufferCopy copy;
    if (const UncompressedSource* source = handle.uncompressed_source()) {
        Result<BufferCopy> copied = read_source_into_buffer(*source, *plan.entry, plan.first, plan.count, out, capacity);
        if (!copied) return std::move(copied.error());
        copy = copied.value();
    } else {
        MappingGuard guard(handle.mapping_data(), handle.mapping_size(), handle.mapping_failed(),
                           handle.mapped_file_descriptor());
        copy = read_into_buffer(handle.mapping_data(), handle.mapping_size(), *plan.entry, plan.first,
                                plan.count, out, capacity);
    }
    if (handle.mapping_failed() || lost_tail(handle, out, copy.written)) return truncated_while_mapped();
    if (copy.written != plan.count) return false;
    if (handle.options().sequence_always_upper) upper_case(out, copy.written);
    return copy.ascii;
}

Result<SequenceValue> complete(const IndexHandle& handle, Result<RegionPlan>&& plan) {
    if (!plan) return std::move(plan.error());
    return complete(handle, plan.take());
}

Result<SequenceValue> fetch(const IndexHandle& handle, std::string_view name, std::uint64_t start,
                            std::uint64_t end) {
    return complete(handle, plan_fetch(handle, name, start, end));
}

Error sequence_not_found(std::string_view name) {
    return Error{ErrorKind::Fetch, "Sequence '" + std::string(name) + "' not found"};
}

}  // namespace sekvo
