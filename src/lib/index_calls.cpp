#include "lib/index_calls.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/huge_pages.hpp"
#include "faidx/batch.hpp"
#include "faidx/retrieval.hpp"
#include "lib/classes.hpp"
#include "lib/core_values.hpp"
#include "lib/str_residues.hpp"

namespace sekvo {

namespace {

using namespace binding;

PyObject* sequence_result(const IndexHandle& handle, Result<RegionPlan>&& plan, bool rc) {
    Result<SequenceValue> result = complete_in_str(handle, std::move(plan));
    if (!result) return raise(result.error());
    if (rc) reverse_complement_in_place(result.value());
    return sequence_from_value(result.take());
}

PyObject* sequence_list_result(Result<BatchResult>&& result, StrBuffers& buffers, bool rc) {
    if (!result) return raise(result.error());
    buffers.lend_to(result.value());
    std::vector<SequenceValue>& values = result.value().values;
    if (rc) {
        for (SequenceValue& value : values) reverse_complement_in_place(value);
    }
    return sequence_list_from_values(std::move(values));
}

// Argument conversions, each naming its parameter on failure.

struct FetchArguments {
    std::string name;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

bool convert_fetch(PyObject* name, PyObject* start, PyObject* end, FetchArguments& out) {
    return extract_argument("name", name, out.name) && extract_argument("start", start, out.start) &&
           extract_argument("end", end, out.end);
}

// The regions refer to the names by view, so the converted items that own
// the names live beside them for the whole call.
struct RegionArguments {
    std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> items;
    std::vector<NamedRegion> named;
};

bool convert_regions(PyObject* regions, RegionArguments& out) {
    if (!extract_argument("regions", regions, out.items)) return false;
    reserve_on_huge_pages(out.named, out.items.size());
    for (const auto& [name, start, end] : out.items) out.named.push_back({name, start, end});
    return true;
}

bool convert_same_chr(PyObject* name, PyObject* regions, std::string& name_text, std::vector<Span>& out) {
    std::vector<std::tuple<std::uint64_t, std::uint64_t>> items;
    if (!extract_argument("name", name, name_text) || !extract_argument("regions", regions, items)) {
        return false;
    }
    out.reserve(items.size());
    for (const auto& [start, end] : items) out.push_back({start, end});
    return true;
}

}  // namespace

bool extract_rc(PyObject* argument, bool& rc) {
    std::optional<bool> flag;
    if (!extract_argument("rc", argument, flag)) return false;
    rc = flag.value_or(false);
    return true;
}

PyObject* call_fetch(const IndexHandle& handle, PyObject* name, PyObject* start, PyObject* end, PyObject* rc) {
    FetchArguments arguments;
    bool flag = false;
    if (!convert_fetch(name, start, end, arguments) || !extract_rc(rc, flag)) return nullptr;
    return sequence_result(handle, plan_fetch(handle, arguments.name, arguments.start, arguments.end), flag);
}

PyObject* call_fetch_entire_sequence(const IndexHandle& handle, PyObject* name) {
    std::string name_text;
    if (!extract_argument("name", name, name_text)) return nullptr;
    return sequence_result(handle, plan_entire_sequence(handle, name_text), false);
}

PyObject* call_fetch_many(const IndexHandle& handle, PyObject* regions, PyObject* rc) {
    RegionArguments arguments;
    bool flag = false;
    if (!convert_regions(regions, arguments) || !extract_rc(rc, flag)) return nullptr;
    StrBuffers buffers(arguments.named.size());
    return sequence_list_result(fetch_many_into(handle, arguments.named, buffers), buffers, flag);
}

PyObject* call_fetch_many_same_chr(const IndexHandle& handle, PyObject* name, PyObject* regions,
                                   PyObject* rc) {
    std::string name_text;
    std::vector<Span> spans;
    bool flag = false;
    if (!convert_same_chr(name, regions, name_text, spans) || !extract_rc(rc, flag)) return nullptr;
    StrBuffers buffers(spans.size());
    return sequence_list_result(fetch_many_same_chr_into(handle, name_text, spans, buffers), buffers, flag);
}

PyObject* names_list(const IndexHandle& handle) {
    const NameTable& table = handle.table();
    return list_from(table.size(), [&](std::size_t i) { return to_python(table.name_at(i)); });
}

int call_contains(const IndexHandle& handle, PyObject* name) {
    std::string name_text;
    if (!extract_argument("name", name, name_text)) return -1;
    return handle.contains(name_text) ? 1 : 0;
}

}  // namespace sekvo
