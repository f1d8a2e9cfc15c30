// The Python class SequenceArray: the regions of a columnar batch and
// their residues in one buffer, seen as Sequence objects, strs, numpy
// arrays (buffer protocol), Arrow strings or one-hot codes.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "faidx/one_hot.hpp"
#include "lib/classes.hpp"
#include "lib/columnar_objects.hpp"

namespace sekvo {

namespace {

using namespace binding;

const SequenceArrayValue& array_of(PyObject* self) { return box_of<SequenceArrayValue>(self)->value; }

// Residues as str, the way str() of a fetched Sequence gives them.
PyObject* residues_str(std::string_view text, bool ascii) {
    if (!ascii) return to_python(text);
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str == nullptr) return nullptr;
    if (!text.empty()) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
}

Py_ssize_t array_length(PyObject* self) { return static_cast<Py_ssize_t>(array_of(self).data->batch.size()); }

PyObject* array_item(PyObject* self, PyObject* key) {
    const ColumnarData& data = *array_of(self).data;
    if (!PyIndex_Check(key)) {
        PyErr_Format(PyExc_TypeError, "SequenceArray indices must be integers, not %T", key);
        return nullptr;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    const auto n = static_cast<Py_ssize_t>(data.batch.size());
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        PyErr_SetString(PyExc_IndexError, "SequenceArray index out of range");
        return nullptr;
    }
    const auto k = static_cast<std::size_t>(i);
    const ColumnarBatch& batch = data.batch;
    SequenceValue value;
    value.name = std::string(data.regions.name(k));
    value.seq = Residues(batch.residues_of(k));
    if (batch.value_flags[k] & ColumnarBatch::kHasCoordinates) {
        value.start = batch.value_starts[k];
        value.end = batch.value_ends[k];
    }
    value.comp = batch.value_flags[k] & ColumnarBatch::kComplement;
    return sequence_from_value(std::move(value));
}

PyObject* array_iter(PyObject* self) { return PySeqIter_New(self); }

PyObject* array_repr(PyObject* self) {
    const ColumnarBatch& batch = array_of(self).data->batch;
    const std::string text = "<SequenceArray of " + std::to_string(batch.size()) + " regions, " +
                             std::to_string(batch.offsets.back()) + " residues>";
    return to_python(text);
}

// Uniform lengths: a (regions, length) uint8 array; otherwise refused.
int array_getbuffer(PyObject* self, Py_buffer* buffer, int flags) {
    const SequenceArrayValue& array = array_of(self);
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "SequenceArray is read-only");
        return -1;
    }
    if (!array.common_length) {
        PyErr_SetString(PyExc_BufferError,
                        "the regions of this SequenceArray differ in length, so it is not a 2-D array; "
                        "use .data (all residues) and .offsets (where each region starts)");
        return -1;
    }
    buffer->buf = const_cast<char*>(array.data->batch.residues.data());
    buffer->obj = Py_NewRef(self);
    buffer->len = array.shape[0] * array.shape[1];
    buffer->readonly = 1;
    buffer->itemsize = 1;
    buffer->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("B") : nullptr;
    buffer->ndim = 2;
    buffer->shape = (flags & PyBUF_ND) ? const_cast<Py_ssize_t*>(array.shape) : nullptr;
    buffer->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(array.strides) : nullptr;
    buffer->suboffsets = nullptr;
    buffer->internal = nullptr;
    return 0;
}

void array_releasebuffer(PyObject*, Py_buffer*) {}

// numpy asks __array__ after a refused buffer, and would otherwise build an
// object array from the items: the refusal must reach the caller instead.
PyObject* array_dunder_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"SequenceArray.__array__()", {"dtype", "copy"}, 0};
    PyObject* argv[2];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    Ref view = Ref::steal(PyMemoryView_FromObject(self));
    if (!view) return nullptr;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    const bool copy = argv[1] != nullptr && argv[1] != Py_None && PyObject_IsTrue(argv[1]) == 1;
    Ref convert = Ref::steal(PyObject_GetAttrString(numpy.get(), copy ? "array" : "asarray"));
    if (!convert) return nullptr;
    Ref positional = Ref::steal(PyTuple_Pack(2, view.get(), argv[0] != nullptr ? argv[0] : Py_None));
    if (!positional) return nullptr;
    return PyObject_Call(convert.get(), positional.get(), nullptr);
}

PyObject* array_to_pylist(PyObject* self, PyObject*) {
    const ColumnarBatch& batch = array_of(self).data->batch;
    return list_from(batch.size(), [&](std::size_t i) { return residues_str(batch.residues_of(i), batch.ascii); });
}

PyObject* array_data(PyObject* self) {
    const auto& data = array_of(self).data;
    ColumnView view;
    view.owner = data;
    view.data = data->batch.residues.data();
    view.shape[0] = static_cast<Py_ssize_t>(data->batch.offsets.back());
    return memoryview_of(std::move(view));
}

PyObject* int_column(const std::shared_ptr<const ColumnarData>& data, const void* values, std::size_t count,
                     const char* format) {
    ColumnView view;
    view.owner = data;
    view.data = values;
    view.format = format;
    view.itemsize = 8;
    view.shape[0] = static_cast<Py_ssize_t>(count);
    return memoryview_of(std::move(view));
}

PyObject* array_offsets(PyObject* self) {
    const auto& data = array_of(self).data;
    return int_column(data, data->batch.offsets.data(), data->batch.offsets.size(), "q");
}

PyObject* array_starts(PyObject* self) {
    const auto& data = array_of(self).data;
    return int_column(data, data->regions.starts().data(), data->regions.size(), "Q");
}

PyObject* array_ends(PyObject* self) {
    const auto& data = array_of(self).data;
    return int_column(data, data->regions.ends().data(), data->regions.size(), "Q");
}

// One str per record, shared by every region of that record.
PyObject* array_names(PyObject* self) {
    const RegionColumns& regions = array_of(self).data->regions;
    std::vector<Ref> records;
    records.reserve(regions.record_names().size());
    for (const std::string& name : regions.record_names()) {
        records.push_back(Ref::steal(to_python(name)));
        if (!records.back()) return nullptr;
    }
    return list_from(regions.size(), [&](std::size_t i) { return Py_NewRef(records[regions.record(i)].get()); });
}

// The BED name column: "" where a line has none, and for regions given as
// tuples or columns, so that labels always pairs with the regions.
PyObject* array_labels(PyObject* self) {
    const RegionColumns& regions = array_of(self).data->regions;
    return list_from(regions.size(), [&](std::size_t i) { return to_python(regions.label(i)); });
}

PyObject* array_one_hot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"SequenceArray.one_hot()", {"alphabet"}, 0};
    PyObject* argv[1];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    std::string alphabet = "ACGT";
    if (!extract_argument("alphabet", argv[0], alphabet)) return nullptr;
    if (std::optional<std::string> problem = one_hot_alphabet_problem(alphabet)) {
        PyErr_SetString(PyExc_ValueError, problem->c_str());
        return nullptr;
    }
    const SequenceArrayValue& array = array_of(self);
    if (!array.common_length) {
        PyErr_SetString(PyExc_ValueError,
                        "one_hot needs regions of one length, and the regions of this SequenceArray differ in length");
        return nullptr;
    }
    std::shared_ptr<ByteBuffer> codes;
    {
        WithoutInterpreterLock unlocked;
        codes = std::make_shared<ByteBuffer>(one_hot(array.data->batch, *array.common_length, alphabet));
    }
    ColumnView view;
    view.data = codes->data();
    view.owner = std::move(codes);
    view.ndim = 3;
    view.shape[0] = array.shape[0];
    view.shape[1] = array.shape[1];
    view.shape[2] = static_cast<Py_ssize_t>(alphabet.size());
    return memoryview_of(std::move(view));
}

PyObject* array_arrow_schema(PyObject*, PyObject*) { return arrow_schema_capsule(); }

// requested_schema: large_string, string, large_binary or binary as asked;
// any other type is answered with large_string, as the interface allows.
PyObject* array_arrow_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"SequenceArray.__arrow_c_array__()", {"requested_schema"}, 0};
    PyObject* argv[1];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    const std::optional<ArrowLayout> layout = requested_layout(argv[0]);
    if (!layout) return nullptr;
    return arrow_array_capsules(array_of(self).data, *layout);
}

PyObject* array_arrow_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"SequenceArray.__arrow_c_stream__()", {"requested_schema"}, 0};
    PyObject* argv[1];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    const std::optional<ArrowLayout> layout = requested_layout(argv[0]);
    if (!layout) return nullptr;
    return arrow_stream_capsule(array_of(self).data, *layout);
}

PyObject* array_reduce_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"SequenceArray.__reduce_ex__()", {"protocol"}, 1};
    PyObject* argv[1];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    std::int64_t protocol = 0;
    if (!extract_argument("protocol", argv[0], protocol)) return nullptr;
    return reduce_sequence_array(array_of(self).data, static_cast<int>(std::clamp<std::int64_t>(protocol, 0, 5)));
}

PyMethodDef array_methods[] = {
    {"__reduce_ex__", fastcall_method<array_reduce_ex>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("__reduce_ex__($self, protocol)",
               "By value; under protocol 5 the columns go as out-of-band buffers (pickle.PickleBuffer).")},
    {"to_pylist", noargs_method<array_to_pylist>(), METH_NOARGS,
     SEKVO_DOC("to_pylist($self)", "The residues of every region as a list of str.")},
    {"one_hot", fastcall_method<array_one_hot>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("one_hot($self, alphabet='ACGT')",
               "One-hot codes of the residues: a read-only uint8 memoryview of shape\n"
               "(regions, length, len(alphabet)). Letters are compared without case; any\n"
               "other residue (N, IUPAC codes) is an all-zero row. Every region must have\n"
               "the same length (ValueError otherwise).")},
    {"__array__", fastcall_method<array_dunder_array>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("__array__($self, dtype=None, copy=None)",
               "The (regions, length) uint8 array; BufferError when the lengths differ.")},
    {"__arrow_c_schema__", noargs_method<array_arrow_schema>(), METH_NOARGS,
     SEKVO_DOC("__arrow_c_schema__($self)", "Arrow schema capsule: large_string.")},
    {"__arrow_c_array__", fastcall_method<array_arrow_array>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("__arrow_c_array__($self, requested_schema=None)",
               "Arrow schema and array capsules: the residues as a large_string array, not copied.\n"
               "A requested_schema of string (32-bit offsets; ValueError past 2**31 - 1 residues),\n"
               "large_binary or binary is followed; any other is answered with large_string.")},
    {"__arrow_c_stream__", fastcall_method<array_arrow_stream>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("__arrow_c_stream__($self, requested_schema=None)",
               "Arrow stream capsule holding the large_string array, not copied; requested_schema\n"
               "as for __arrow_c_array__().")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef array_getset[] = {
    {"data", getter<array_data>, nullptr,
     PyDoc_STR("Read-only uint8 memoryview of all residues, region after region."), nullptr},
    {"offsets", getter<array_offsets>, nullptr,
     PyDoc_STR("Read-only int64 memoryview of len(self) + 1 offsets: region i is data[offsets[i]:offsets[i + 1]]."),
     nullptr},
    {"names", getter<array_names>, nullptr, PyDoc_STR("The record name of every region, as a list of str."),
     nullptr},
    {"labels", getter<array_labels>, nullptr,
     PyDoc_STR("The name (fourth) column of every region's BED line, as a list of str: \"\" for a line\n"
               "with three columns and for every region given to fetch_array()."),
     nullptr},
    {"starts", getter<array_starts>, nullptr,
     PyDoc_STR("Read-only uint64 memoryview of the regions' 1-based first positions, as asked for."), nullptr},
    {"ends", getter<array_ends>, nullptr,
     PyDoc_STR("Read-only uint64 memoryview of the regions' 1-based last positions, as asked for."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ClassDef sequence_array_class() {
    return define_class<SequenceArrayValue>(
        "SequenceArray", nullptr,
        {
            {Py_tp_doc, const_cast<char*>(
                            "The residues of many regions in one immutable buffer, made by fetch_array()\n"
                            "and fetch_bed(). arr[i] is the Sequence of region i; numpy.asarray(arr) is a\n"
                            "(regions, length) uint8 array when all lengths agree; pyarrow.array(arr)\n"
                            "is a large_string array; both without copying.")},
            {Py_tp_repr, slot<array_repr>()},
            {Py_tp_iter, slot<array_iter>()},
            {Py_mp_length, slot<array_length>()},
            {Py_mp_subscript, slot<array_item>()},
            {Py_bf_getbuffer, slot<array_getbuffer>()},
            {Py_bf_releasebuffer, reinterpret_cast<void*>(array_releasebuffer)},
            {Py_tp_methods, array_methods},
            {Py_tp_getset, array_getset},
        });
}

}  // namespace

PyTypeObject* sequence_array_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, sequence_array_class);
}

PyObject* new_sequence_array(std::shared_ptr<const ColumnarData> data) {
    PyTypeObject* type = sequence_array_type();
    if (type == nullptr) return nullptr;
    SequenceArrayValue value;
    value.common_length = data->batch.common_length();
    value.shape[0] = static_cast<Py_ssize_t>(data->batch.size());
    value.shape[1] = static_cast<Py_ssize_t>(value.common_length.value_or(0));
    value.strides[0] = value.shape[1];
    value.data = std::move(data);
    return box_new(type, std::move(value));
}

}  // namespace sekvo
