#include "faidx/index_calls_type.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "faidx/batch.hpp"
#include "faidx/retrieval.hpp"
#include "lib/classes.hpp"

namespace sekvo {

namespace {

using namespace binding;

PyObject* sequence_result(Result<SequenceValue>&& result, bool rc) {
    if (!result) return raise(result.error());
    if (rc) reverse_complement_in_place(result.value());
    return sequence_from_value(result.take());
}

PyObject* sequence_list_result(Result<std::vector<SequenceValue>>&& result, bool rc) {
    if (!result) return raise(result.error());
    if (rc) {
        for (SequenceValue& value : result.value()) reverse_complement_in_place(value);
    }
    return sequence_list_from_values(result.take());
}

}  // namespace

bool extract_rc(PyObject* argument, bool& rc) {
    std::optional<bool> flag;
    if (!extract_argument("rc", argument, flag)) return false;
    rc = flag.value_or(false);
    return true;
}

PyObject* call_fetch(const IndexHandle& handle, PyObject* name, PyObject* start, PyObject* end, bool rc) {
    std::string name_text;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    if (!extract_argument("name", name, name_text) || !extract_argument("start", start, first) ||
        !extract_argument("end", end, last)) {
        return nullptr;
    }
    return sequence_result(fetch(handle, name_text, first, last), rc);
}

PyObject* call_fetch_entire_sequence(const IndexHandle& handle, PyObject* name) {
    std::string name_text;
    if (!extract_argument("name", name, name_text)) return nullptr;
    return sequence_result(fetch_entire_sequence(handle, name_text), false);
}

PyObject* call_fetch_many(const IndexHandle& handle, PyObject* regions, bool rc) {
    std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> items;
    if (!extract_argument("regions", regions, items)) return nullptr;
    std::vector<NamedRegion> named;
    named.reserve(items.size());
    for (const auto& [name, start, end] : items) named.push_back({name, start, end});
    return sequence_list_result(fetch_many(handle, named), rc);
}

PyObject* call_fetch_many_same_chr(const IndexHandle& handle, PyObject* name, PyObject* regions, bool rc) {
    std::string name_text;
    std::vector<std::tuple<std::uint64_t, std::uint64_t>> items;
    if (!extract_argument("name", name, name_text) || !extract_argument("regions", regions, items)) {
        return nullptr;
    }
    std::vector<Span> spans;
    spans.reserve(items.size());
    for (const auto& [start, end] : items) spans.push_back({start, end});
    return sequence_list_result(fetch_many_same_chr(handle, name_text, spans), rc);
}

int call_contains(const IndexHandle& handle, PyObject* name) {
    std::string name_text;
    if (!extract_argument("name", name, name_text)) return -1;
    return handle.contains(name_text) ? 1 : 0;
}

}  // namespace sekvo
