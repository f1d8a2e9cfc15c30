// How many threads the worker pool runs: the environment rule, kept apart
// from the pool so it can be tested without starting threads.
#include <unistd.h>

#include <charconv>
#include <cstdint>

#include "faidx/worker_pool.hpp"

namespace sekvo {
namespace {

// Decimal digits with an optional leading sign, nothing else; values that
// do not fit are treated as unparseable.
std::optional<std::int64_t> parse_integer(std::string_view text, bool allow_minus) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || (allow_minus && text.front() == '-'))) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::uint64_t magnitude = 0;
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(text.data(), last, magnitude);
    if (error != std::errc() || end != last) return std::nullopt;
    if (magnitude > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    const auto value = static_cast<std::int64_t>(magnitude);
    return negative ? -value : value;
}

}  // namespace

std::size_t resolve_pool_size(std::optional<std::string_view> rayon_num_threads,
                              std::optional<std::string_view> rayon_rs_num_cpus,
                              std::optional<std::size_t> processor_count) {
    const std::size_t processors =
        processor_count.has_value() && *processor_count > 0 ? *processor_count : 1;
    if (rayon_num_threads) {
        if (auto threads = parse_integer(*rayon_num_threads, /*allow_minus=*/false)) {
            return *threads > 0 ? static_cast<std::size_t>(*threads) : processors;
        }
    }
    if (rayon_rs_num_cpus) {
        auto cpus = parse_integer(*rayon_rs_num_cpus, /*allow_minus=*/true);
        if (cpus && *cpus > 0) return static_cast<std::size_t>(*cpus);
    }
    return processors;
}

std::optional<std::size_t> logical_processor_count() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    if (count <= 0) return std::nullopt;
    return static_cast<std::size_t>(count);
}

}  // namespace sekvo
