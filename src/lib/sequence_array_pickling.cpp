// Pickling a SequenceArray by value. Under pickle protocol 5 its columns
// leave as out-of-band buffers (pickle.PickleBuffer over the array's own
// memory, not copied into the pickle); under older protocols as bytes.
// The receiver checks every column before it builds anything, since the
// state may come from anywhere.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "lib/columnar_objects.hpp"
#include "lib/pickling.hpp"

namespace sekvo {

namespace {

using namespace binding;

constexpr Py_ssize_t kStateSize = 11;

// One column for the pickle: a PickleBuffer over `bytes` bytes that
// `owner` keeps alive, or a bytes copy below protocol 5.
PyObject* column(const std::shared_ptr<const void>& owner, const void* data, std::size_t bytes, bool out_of_band) {
    if (!out_of_band) return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes));
    ColumnView view;
    view.owner = owner;
    view.data = data;
    view.shape[0] = static_cast<Py_ssize_t>(bytes);
    Ref memory = Ref::steal(memoryview_of(std::move(view)));
    if (!memory) return nullptr;
    return PyPickleBuffer_FromObject(memory.get());
}

template <class T>
PyObject* vector_column(const std::shared_ptr<const ColumnarData>& owner, const std::vector<T>& values,
                        bool out_of_band) {
    return column(owner, values.data(), values.size() * sizeof(T), out_of_band);
}

// The strands and labels are kept inside RegionColumns; they are small
// next to the residues and are copied out.
PyObject* strands_of(const RegionColumns& regions) {
    std::string strands;
    bool any = false;
    for (std::size_t i = 0; i < regions.size() && !any; ++i) any = regions.strand(i) != Strand::none;
    if (any) {
        strands.resize(regions.size());
        for (std::size_t i = 0; i < regions.size(); ++i) strands[i] = static_cast<char>(regions.strand(i));
    }
    return PyBytes_FromStringAndSize(strands.data(), static_cast<Py_ssize_t>(strands.size()));
}

PyObject* labels_of(const RegionColumns& regions) {
    if (!regions.has_labels()) return PyTuple_New(0);
    return list_from(regions.size(), [&](std::size_t i) { return to_python(regions.label(i)); });
}

// --- the receiving side ----------------------------------------------------------

// The bytes of a buffer-protocol object, as `count` items of T (a whole
// number of them), copied out.
template <class T>
bool read_column(PyObject* object, const char* what, std::vector<T>& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS) < 0) return false;
    const bool whole = view.len % static_cast<Py_ssize_t>(sizeof(T)) == 0;
    if (whole) {
        out.resize(static_cast<std::size_t>(view.len) / sizeof(T));
        if (view.len > 0) std::memcpy(out.data(), view.buf, static_cast<std::size_t>(view.len));
    }
    PyBuffer_Release(&view);
    if (!whole) PyErr_Format(PyExc_ValueError, "SequenceArray state: %s is not a whole number of items", what);
    return whole;
}

bool read_residues(PyObject* object, ByteBuffer& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS) < 0) return false;
    try {
        out = ByteBuffer(static_cast<std::size_t>(view.len));
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    if (view.len > 0) std::memcpy(out.data(), view.buf, static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return true;
}

bool refuse(const char* problem) {
    PyErr_Format(PyExc_ValueError, "SequenceArray state: %s", problem);
    return false;
}

bool offsets_fit(const std::vector<std::int64_t>& offsets, std::size_t regions, std::size_t residues) {
    if (offsets.size() != regions + 1 || offsets.front() != 0) return false;
    if (!std::is_sorted(offsets.begin(), offsets.end())) return false;
    return static_cast<std::uint64_t>(offsets.back()) == residues;
}

struct Columns {
    std::vector<std::string> record_names;
    std::vector<std::uint32_t> records;
    std::vector<std::uint64_t> starts, ends, value_starts, value_ends;
    std::vector<std::int64_t> offsets;
    std::vector<std::uint8_t> value_flags;
    std::vector<char> strands;
    std::vector<std::string> labels;
};

bool read_columns(PyObject* const* items, Columns& columns, ByteBuffer& residues) {
    if (!extract_argument("record_names", items[0], columns.record_names) ||
        !read_column(items[1], "records", columns.records) || !read_column(items[2], "starts", columns.starts) ||
        !read_column(items[3], "ends", columns.ends) || !read_column(items[4], "strands", columns.strands) ||
        !extract_argument("labels", items[5], columns.labels) || !read_residues(items[6], residues) ||
        !read_column(items[7], "offsets", columns.offsets) ||
        !read_column(items[8], "value_starts", columns.value_starts) ||
        !read_column(items[9], "value_ends", columns.value_ends) ||
        !read_column(items[10], "value_flags", columns.value_flags)) {
        return false;
    }
    const std::size_t n = columns.records.size();
    for (const std::size_t size : {columns.starts.size(), columns.ends.size(), columns.value_starts.size(),
                                   columns.value_ends.size(), columns.value_flags.size()}) {
        if (size != n) return refuse("the columns differ in length");
    }
    if (!columns.strands.empty() && columns.strands.size() != n) return refuse("the strands do not match the regions");
    if (!columns.labels.empty() && columns.labels.size() != n) return refuse("the labels do not match the regions");
    for (const std::uint32_t record : columns.records) {
        if (record >= columns.record_names.size()) return refuse("a region refers to a record name it lacks");
    }
    for (const char strand : columns.strands) {
        if (strand != '.' && strand != '+' && strand != '-') return refuse("a strand is not '.', '+' or '-'");
    }
    if (!offsets_fit(columns.offsets, n, residues.size())) return refuse("the offsets do not fit the residues");
    return true;
}

}  // namespace

PyObject* reduce_sequence_array(const std::shared_ptr<const ColumnarData>& data, int protocol) {
    const bool out_of_band = protocol >= 5;
    const RegionColumns& regions = data->regions;
    const ColumnarBatch& batch = data->batch;
    Ref names = Ref::steal(list_from(regions.record_names().size(),
                                     [&](std::size_t i) { return to_python(regions.record_names()[i]); }));
    if (!names) return nullptr;
    return reduce_to("SequenceArray",
                     Py_BuildValue("(ONNNNNNNNNN)", names.get(), vector_column(data, regions.records(), out_of_band),
                                   vector_column(data, regions.starts(), out_of_band),
                                   vector_column(data, regions.ends(), out_of_band), strands_of(regions),
                                   labels_of(regions),
                                   column(data, batch.residues.data(), static_cast<std::size_t>(batch.offsets.back()),
                                          out_of_band),
                                   vector_column(data, batch.offsets, out_of_band),
                                   vector_column(data, batch.value_starts, out_of_band),
                                   vector_column(data, batch.value_ends, out_of_band),
                                   vector_column(data, batch.value_flags, out_of_band)));
}

PyObject* rebuild_sequence_array(PyObject* state) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != kStateSize) {
        PyErr_Format(PyExc_TypeError, "_reconstruct(): the state of SequenceArray must be a tuple of %zd items",
                     kStateSize);
        return nullptr;
    }
    Columns columns;
    auto data = std::make_shared<ColumnarData>();
    ColumnarBatch& batch = data->batch;
    if (!read_columns(&PyTuple_GET_ITEM(state, 0), columns, batch.residues)) return nullptr;
    const std::size_t n = columns.records.size();
    RegionColumns& regions = data->regions;
    regions.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        regions.add(columns.record_names[columns.records[i]], columns.starts[i], columns.ends[i]);
        if (!columns.strands.empty()) regions.set_strand(static_cast<Strand>(columns.strands[i]));
        if (!columns.labels.empty()) regions.set_label(columns.labels[i]);
    }
    batch.offsets = std::move(columns.offsets);
    batch.value_starts = std::move(columns.value_starts);
    batch.value_ends = std::move(columns.value_ends);
    batch.value_flags = std::move(columns.value_flags);
    // Worked out again rather than taken on trust: ASCII residues become str
    // without a UTF-8 check.
    const char* residues = batch.residues.data();
    batch.ascii = std::all_of(residues, residues + batch.offsets.back(),
                              [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return new_sequence_array(std::move(data));
}

}  // namespace sekvo
