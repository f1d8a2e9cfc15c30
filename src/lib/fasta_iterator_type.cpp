// The Python class FastaIterator: the records of a Fasta, over a snapshot
// of its names. It moves only forward; once exhausted it stays exhausted.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/fasta_objects.hpp"
#include "lib/pickling.hpp"

namespace sekvo {

namespace {

using namespace binding;

// The position moves before the record is made, so a failure to make it
// skips that name on the next call.
PyObject* fasta_iterator_next(PyObject* self) {
    auto iterator = borrow_exclusive<FastaIteratorValue>(self);
    if (!iterator) return nullptr;
    if (iterator->position >= iterator->names.size()) return nullptr;
    std::string name = iterator->names[static_cast<std::size_t>(iterator->position++)];
    return new_fasta_record(std::move(name), iterator->source.get());
}

// Pickled with its position: the Fasta and the names still to come. A copy
// moves on its own.
PyObject* fasta_iterator_reduce(PyObject* self, PyObject*) {
    auto iterator = borrow_shared<FastaIteratorValue>(self);
    if (!iterator) return nullptr;
    const std::size_t size = iterator->names.size();
    const auto first = static_cast<std::size_t>(std::min<std::uint64_t>(iterator->position, size));
    PyObject* names = list_from(size - first, [&](std::size_t i) { return to_python(iterator->names[first + i]); });
    return reduce_to("FastaIterator", Py_BuildValue("(ONi)", iterator->source.get(), names, 0));
}

PyMethodDef fasta_iterator_methods[] = {
    {"__reduce__", noargs_method<fasta_iterator_reduce>(), METH_NOARGS, SEKVO_DOC("__reduce__($self)", "")},
    {nullptr, nullptr, 0, nullptr},
};

ClassDef fasta_iterator_class() {
    return define_class<FastaIteratorValue>("FastaIterator", nullptr,
                                            {
                                                {Py_tp_iter, slot<iterator_self<FastaIteratorValue>>()},
                                                {Py_tp_iternext, slot<fasta_iterator_next>()},
                                                {Py_tp_methods, fasta_iterator_methods},
                                            });
}

}  // namespace

PyTypeObject* fasta_iterator_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, fasta_iterator_class);
}

PyObject* new_fasta_iterator(PyObject* source) {
    PyTypeObject* type = fasta_iterator_type();
    if (type == nullptr) return nullptr;
    return box_new(type, FastaIteratorValue{fasta_handle(source).names(), 0, Ref::borrow(source)});
}

}  // namespace sekvo
