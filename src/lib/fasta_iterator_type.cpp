// The Python class FastaIterator: the records of a Fasta, over a snapshot
// of its names. It moves only forward; once exhausted it stays exhausted.
#include <string>
#include <utility>

#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/fasta_objects.hpp"

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

ClassDef fasta_iterator_class() {
    return define_class<FastaIteratorValue>("FastaIterator", nullptr,
                                            {
                                                {Py_tp_iter, slot<iterator_self<FastaIteratorValue>>()},
                                                {Py_tp_iternext, slot<fasta_iterator_next>()},
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
