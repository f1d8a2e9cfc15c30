// The Python class FastaRecord: one named record of a Fasta, read only
// when asked, through its Fasta's index handle and settings.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "faidx/record_reading.hpp"
#include "faidx/retrieval.hpp"
#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/core_values.hpp"
#include "lib/fasta_objects.hpp"
#include "lib/pickling.hpp"
#include "lib/str_residues.hpp"

namespace sekvo {

namespace {

using namespace binding;

const IndexHandle& handle_of(const FastaRecordValue& record) { return fasta_handle(record.source.get()); }

PyObject* value_result(Result<SequenceValue>&& result) {
    if (!result) return raise(result.error());
    return sequence_from_value(result.take());
}

PyObject* record_repr(PyObject* self) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return nullptr;
    return to_python("FastaRecord(\"" + record->name + "\")");
}

PyObject* record_str(PyObject* self) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return nullptr;
    const IndexHandle& handle = handle_of(*record);
    Result<SequenceValue> text = complete_in_str(handle, plan_record(handle, record->name));
    if (!text) return raise(text.error());
    return to_python(text.value().seq);
}

Py_ssize_t record_len(PyObject* self) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return -1;
    return length_result(record_length(handle_of(*record), record->name));
}

// --- subscript -----------------------------------------------------------------

// The integer value of a slice field, or nothing (errors discarded).
std::optional<long long> integer_of(PyObject* field) {
    if (field == Py_None) return std::nullopt;
    const long long value = PyLong_AsLongLong(field);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

// record[:], record[::1] and record[0:len] (step None or 1) read the whole
// record in one piece, without the bounds policy. A step that is not an
// integer is left to the interpreter's slice resolution, which refuses it.
bool covers_whole_record(PySliceObject* slice, std::uint64_t length) {
    const bool unit_step = slice->step == Py_None || integer_of(slice->step) == 1;
    if (!unit_step) return false;
    if (slice->start == Py_None && slice->stop == Py_None) return true;
    const std::optional<long long> start = integer_of(slice->start);
    const std::optional<long long> stop = integer_of(slice->stop);
    return start == 0 && stop && *stop >= 0 && static_cast<std::uint64_t>(*stop) == length;
}

PyObject* record_slice(const FastaRecordValue& record, PyObject* key) {
    const IndexHandle& handle = handle_of(record);
    const std::uint64_t length = record_length(handle, record.name);
    if (covers_whole_record(reinterpret_cast<PySliceObject*>(key), length)) {
        return value_result(complete_in_str(handle, plan_entire_sequence(handle, record.name)));
    }
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    // Residues past 2^63 - 1 (an index promising them) are out of a slice's reach.
    const auto resolved_length = static_cast<Py_ssize_t>(std::min<std::uint64_t>(length, PY_SSIZE_T_MAX));
    PySlice_AdjustIndices(resolved_length, &start, &stop, step);
    return value_result(read_record_slice(handle, record.name, AdjustedSlice{start, stop, step}));
}

PyObject* record_subscript(PyObject* self, PyObject* key) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return nullptr;
    if (PySlice_Check(key)) return record_slice(*record, key);
    const long long index = PyLong_AsLongLong(key);
    if (index == -1 && PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, "Invalid index type");
        return nullptr;
    }
    return value_result(read_record_residue(handle_of(*record), record->name, index));
}

// --- iteration, reversal, attributes ------------------------------------------

PyObject* record_iter(PyObject* self) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return nullptr;
    return new_sequence_iterator(record->name, record->source.get());
}

PyObject* record_reversed(PyObject* self, PyObject*) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return nullptr;
    Result<std::vector<SequenceValue>> pieces = read_reversed_pieces(handle_of(*record), record->name);
    if (!pieces) return raise(pieces.error());
    return sequence_list_from_values(pieces.take());
}

PyObject* record_long_name(PyObject* self) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return nullptr;
    if (!handle_of(*record).contains(record->name)) {
        return raise(sequence_not_found(record->name));
    }
    return to_python(record->name);
}

PyObject* record_unpadded_len(PyObject* self) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return nullptr;
    Result<SequenceValue> text = read_record(handle_of(*record), record->name);
    if (!text) return raise(text.error());
    return to_python(unpadded_length(text.value().seq));
}

PyObject* record_name(PyObject* self) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return nullptr;
    return to_python(record->name);
}

// Its Fasta (pickled once per pickle, however many of its records go
// along) and its name.
PyObject* record_reduce(PyObject* self, PyObject*) {
    auto record = borrow_shared<FastaRecordValue>(self);
    if (!record) return nullptr;
    return reduce_to("FastaRecord", Py_BuildValue("(ON)", record->source.get(), to_python(record->name)));
}

PyMethodDef record_methods[] = {
    {"__reversed__", noargs_method<record_reversed>(), METH_NOARGS, SEKVO_DOC("__reversed__($self)", "")},
    {"__reduce__", noargs_method<record_reduce>(), METH_NOARGS, SEKVO_DOC("__reduce__($self)", "")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef record_getset[] = {
    {"name", getter<record_name>, nullptr, nullptr, nullptr},
    {"long_name", getter<record_long_name>, nullptr, nullptr, nullptr},
    {"unpadded_len", getter<record_unpadded_len>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ClassDef record_class() {
    return define_class<FastaRecordValue>("FastaRecord", nullptr,
                                          {
                                              {Py_tp_repr, slot<record_repr>()},
                                              {Py_tp_str, slot<record_str>()},
                                              {Py_tp_iter, slot<record_iter>()},
                                              {Py_mp_length, slot<record_len>()},
                                              {Py_mp_subscript, slot<record_subscript>()},
                                              {Py_tp_methods, record_methods},
                                              {Py_tp_getset, record_getset},
                                          });
}

}  // namespace

PyTypeObject* fasta_record_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, record_class);
}

PyObject* new_fasta_record(std::string name, PyObject* source) {
    PyTypeObject* type = fasta_record_type();
    if (type == nullptr) return nullptr;
    return box_new(type, FastaRecordValue{std::move(name), Ref::borrow(source)});
}

}  // namespace sekvo
