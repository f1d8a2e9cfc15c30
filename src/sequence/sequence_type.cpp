// The Python class Sequence: a SequenceValue with coordinates, printing,
// indexing, slicing, comparison and the derived forms of the transforms.
//
// Texts are bytes inside (one byte, one residue). They come in as the
// UTF-8 of a str and go out decoded as UTF-8 with "surrogateescape", so a
// slice that cuts a multi-byte character yields lone surrogates in str()
// instead of an error, and such a str converts back to the same bytes.
#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/core_values.hpp"
#include "lib/pickling.hpp"
#include "sequence/sequence_value.hpp"
#include "sequence/slicing.hpp"

#include <string>
#include <string_view>
#include <utility>

namespace sekvo {

namespace {

using namespace binding;

PyObject* sequence_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature{"Sequence.__new__()", {"name", "seq", "start", "end", "comp"}, 0};
    PyObject* argv[5];
    if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
    SequenceValue value;
    if (!extract_argument("name", argv[0], value.name) || !extract_argument("seq", argv[1], value.seq) ||
        !extract_argument("start", argv[2], value.start) || !extract_argument("end", argv[3], value.end) ||
        !extract_argument("comp", argv[4], value.comp)) {
        return nullptr;
    }
    return box_new(type, std::move(value));
}

// --- stored attributes -------------------------------------------------------

template <auto Member>
PyObject* load(PyObject* self) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    return to_python((*sequence).*Member);
}

// Converts first and stores only on success, so a failed assignment
// leaves the object as it was. The exclusive use is taken before the
// conversion: a conversion callback that reads this object is refused.
template <auto Member>
int store(PyObject* self, PyObject* value, const char* attribute) {
    auto sequence = borrow_exclusive<SequenceValue>(self);
    if (!sequence) return -1;
    std::remove_reference_t<decltype((*sequence).*Member)> converted{};
    if (!extract_argument(attribute, value, converted)) return -1;
    (*sequence).*Member = std::move(converted);
    return 0;
}

int set_name(PyObject* self, PyObject* value) { return store<&SequenceValue::name>(self, value, "name"); }
int set_seq(PyObject* self, PyObject* value) { return store<&SequenceValue::seq>(self, value, "seq"); }
int set_start(PyObject* self, PyObject* value) { return store<&SequenceValue::start>(self, value, "start"); }
int set_end(PyObject* self, PyObject* value) { return store<&SequenceValue::end>(self, value, "end"); }
int set_comp(PyObject* self, PyObject* value) { return store<&SequenceValue::comp>(self, value, "comp"); }

// --- derived attributes ------------------------------------------------------

PyObject* get_long_name(PyObject* self) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    return to_python(long_name(*sequence));
}

template <SequenceValue (*Transform)(const SequenceValue&)>
PyObject* transformed(PyObject* self) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    return sequence_from_value(Transform(*sequence));
}

PyObject* get_orientation(PyObject* self) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    const std::optional<int> value = orientation(*sequence);
    if (!value) Py_RETURN_NONE;
    return PyLong_FromLong(*value);
}

template <double (*Measure)(std::string_view)>
PyObject* gc_measure(PyObject* self) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    return to_python(Measure(sequence->seq));
}

// --- protocol slots ----------------------------------------------------------

PyObject* sequence_str(PyObject* self) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    return to_python(sequence->seq);
}

// ">long name\nresidues". Undecodable bytes show as \xNN escapes so that
// printing a repr never fails.
PyObject* sequence_repr(PyObject* self) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    const std::string name = long_name(*sequence);
    std::string text;
    text.reserve(name.size() + sequence->seq.size() + 2);
    text.append(1, '>').append(name).append(1, '\n').append(sequence->seq);
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
}

Py_ssize_t sequence_length(PyObject* self) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return -1;
    return length_result(sequence->seq.size());
}

PyObject* sequence_subscript(PyObject* self, PyObject* key) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    if (PySlice_Check(key)) {
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
        PySlice_AdjustIndices(static_cast<Py_ssize_t>(sequence->seq.size()), &start, &stop, step);
        return sequence_from_value(slice_sequence(*sequence, AdjustedSlice{start, stop, step}));
    }
    const long long index = PyLong_AsLongLong(key);
    if (index == -1 && PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, "Invalid index type");
        return nullptr;
    }
    Result<SequenceValue> residue = residue_at(*sequence, index);
    if (!residue) return raise(residue.error());
    return sequence_from_value(residue.take());
}

// Equal to a str with the same text, or to a Sequence with the same seq;
// unequal to everything else. No ordering.
PyObject* sequence_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    bool equal = false;
    if (PyUnicode_Check(other)) {
        std::string text;
        if (extract(other, text)) {
            equal = text == sequence->seq;
        } else if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();  // a surrogate no Sequence text can hold
        } else {
            return nullptr;
        }
    } else if (Py_IS_TYPE(other, Py_TYPE(self))) {
        if (other == self) {
            equal = true;
        } else {
            auto other_sequence = borrow_shared<SequenceValue>(other);
            if (!other_sequence) return nullptr;
            equal = other_sequence->seq == sequence->seq;
        }
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* sequence_negative(PyObject* self) {
    return transformed<reverse_complement>(self);
}

// By value: the constructor's five arguments.
PyObject* sequence_reduce(PyObject* self, PyObject*) {
    auto sequence = borrow_shared<SequenceValue>(self);
    if (!sequence) return nullptr;
    return reduce_to("Sequence", Py_BuildValue("(NNNNN)", to_python(sequence->name), to_python(sequence->seq),
                                               to_python(sequence->start), to_python(sequence->end),
                                               to_python(sequence->comp)));
}

PyMethodDef sequence_methods[] = {
    {"__reduce__", noargs_method<sequence_reduce>(), METH_NOARGS, SEKVO_DOC("__reduce__($self)", "")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sequence_getset[] = {
    {"name", getter<load<&SequenceValue::name>>, setter<set_name>, nullptr, nullptr},
    {"seq", getter<load<&SequenceValue::seq>>, setter<set_seq>, nullptr, nullptr},
    {"start", getter<load<&SequenceValue::start>>, setter<set_start>, nullptr, nullptr},
    {"end", getter<load<&SequenceValue::end>>, setter<set_end>, nullptr, nullptr},
    {"comp", getter<load<&SequenceValue::comp>>, setter<set_comp>, nullptr, nullptr},
    {"long_name", getter<get_long_name>, nullptr, nullptr, nullptr},
    {"fancy_name", getter<get_long_name>, nullptr, nullptr, nullptr},
    {"complement", getter<transformed<complement>>, nullptr, nullptr, nullptr},
    {"reverse", getter<transformed<reverse>>, nullptr, nullptr, nullptr},
    {"orientation", getter<get_orientation>, nullptr, nullptr, nullptr},
    {"gc", getter<gc_measure<gc>>, nullptr, nullptr, nullptr},
    {"gc_strict", getter<gc_measure<gc_strict>>, nullptr, nullptr, nullptr},
    {"gc_iupac", getter<gc_measure<gc_iupac>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ClassDef sequence_class() {
    return define_class<SequenceValue>("Sequence", "(name=..., seq=..., start=None, end=None, comp=False)",
                                       {
                                           {Py_tp_new, slot<sequence_new>()},
                                           {Py_tp_str, slot<sequence_str>()},
                                           {Py_tp_repr, slot<sequence_repr>()},
                                           {Py_tp_richcompare, slot<sequence_richcompare>()},
                                           {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
                                           {Py_mp_length, slot<sequence_length>()},
                                           {Py_mp_subscript, slot<sequence_subscript>()},
                                           {Py_nb_negative, slot<sequence_negative>()},
                                           {Py_tp_getset, sequence_getset},
                                           {Py_tp_methods, sequence_methods},
                                       });
}

}  // namespace

PyTypeObject* sequence_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, sequence_class);
}

PyObject* sequence_from_value(SequenceValue&& value) {
    PyTypeObject* type = sequence_type();
    if (type == nullptr) return nullptr;
    return box_new(type, std::move(value));
}

PyObject* sequence_list_from_values(std::vector<SequenceValue>&& values) {
    PyTypeObject* type = sequence_type();
    if (type == nullptr) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    Py_ssize_t index = 0;
    for (SequenceValue& value : values) {
        PyObject* item = box_new(type, std::move(value));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), index++, item);
    }
    return list.release();
}

}  // namespace sekvo
