// The Python class MutableFastaRecord: registered for a future writable
// record. Nothing in the module makes one, and item assignment refuses.
#include <string>

#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/pickling.hpp"

namespace sekvo {

namespace {

using namespace binding;

struct MutableFastaRecordValue {};

int mutable_record_assign(PyObject* self, PyObject* /*key*/, PyObject* value) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
        return -1;
    }
    auto record = borrow_shared<MutableFastaRecordValue>(self);
    if (!record) return -1;
    std::string text;
    if (!extract_argument("_value", value, text)) return -1;
    PyErr_SetString(PyExc_NotImplementedError, "Mutable FASTA records not yet implemented");
    return -1;
}

// The record holds nothing, so nothing is pickled.
PyObject* mutable_record_reduce(PyObject* self, PyObject*) {
    auto record = borrow_shared<MutableFastaRecordValue>(self);
    if (!record) return nullptr;
    return reduce_to("MutableFastaRecord", PyTuple_New(0));
}

PyMethodDef mutable_record_methods[] = {
    {"__reduce__", noargs_method<mutable_record_reduce>(), METH_NOARGS, SEKVO_DOC("__reduce__($self)", "")},
    {nullptr, nullptr, 0, nullptr},
};

ClassDef mutable_record_class() {
    return define_class<MutableFastaRecordValue>("MutableFastaRecord", nullptr,
                                                 {{Py_mp_ass_subscript, slot<mutable_record_assign>()},
                                                  {Py_tp_methods, mutable_record_methods}});
}

}  // namespace

PyTypeObject* mutable_fasta_record_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, mutable_record_class);
}

PyObject* new_mutable_fasta_record() {
    PyTypeObject* type = mutable_fasta_record_type();
    if (type == nullptr) return nullptr;
    return box_new(type, MutableFastaRecordValue{});
}

}  // namespace sekvo
