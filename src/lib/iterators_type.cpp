// The Python classes FastaIterator (the records of a Fasta, over a snapshot
// of its names) and SequenceIterator (one record in line-sized pieces).
// Both move only forward; an exhausted iterator stays exhausted.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "faidx/record_reading.hpp"
#include "faidx/retrieval.hpp"
#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/fasta_objects.hpp"
#include "lib/pickling.hpp"

namespace sekvo {

namespace {

using namespace binding;

template <class T>
PyObject* iterator_self(PyObject* self) {
    auto iterator = borrow_shared<T>(self);
    if (!iterator) return nullptr;
    return Py_NewRef(self);
}

// The position moves before the record is made, so a failure to make it
// skips that name on the next call.
PyObject* fasta_iterator_next(PyObject* self) {
    auto iterator = borrow_exclusive<FastaIteratorValue>(self);
    if (!iterator) return nullptr;
    if (iterator->position >= iterator->names.size()) return nullptr;
    std::string name = iterator->names[static_cast<std::size_t>(iterator->position++)];
    return new_fasta_record(std::move(name), iterator->source.get(), iterator->mutable_file);
}

// A piece that fails to read leaves the position where it was, so the
// next call meets the same failure.
PyObject* sequence_iterator_next(PyObject* self) {
    auto iterator = borrow_exclusive<SequenceIteratorValue>(self);
    if (!iterator) return nullptr;
    if (iterator->exhausted || iterator->length < iterator->position) return nullptr;
    const std::uint64_t end = piece_end(iterator->position, iterator->line_length, iterator->length);
    Result<SequenceValue> piece = fetch(fasta_handle(iterator->source.get()), iterator->name,
                                        iterator->position, end);
    if (!piece) return raise(piece.error());
    PyObject* result = sequence_from_value(piece.take());
    if (result == nullptr) return nullptr;
    if (end == std::numeric_limits<std::uint64_t>::max()) iterator->exhausted = true;
    else iterator->position = end + 1;
    return result;
}

// Iterators pickle with their position: the Fasta, the names still to
// come and where the next piece starts. A copy moves on its own.
PyObject* fasta_iterator_reduce(PyObject* self, PyObject*) {
    auto iterator = borrow_shared<FastaIteratorValue>(self);
    if (!iterator) return nullptr;
    const std::size_t size = iterator->names.size();
    const auto first = static_cast<std::size_t>(std::min<std::uint64_t>(iterator->position, size));
    PyObject* names = list_from(size - first, [&](std::size_t i) { return to_python(iterator->names[first + i]); });
    return reduce_to("FastaIterator", Py_BuildValue("(ONi)", iterator->source.get(), names, 0));
}

PyObject* sequence_iterator_reduce(PyObject* self, PyObject*) {
    auto iterator = borrow_shared<SequenceIteratorValue>(self);
    if (!iterator) return nullptr;
    return reduce_to("SequenceIterator",
                     Py_BuildValue("(ONNN)", iterator->source.get(), to_python(iterator->name),
                                   to_python(iterator->position), to_python(iterator->exhausted)));
}

PyMethodDef fasta_iterator_methods[] = {
    {"__reduce__", noargs_method<fasta_iterator_reduce>(), METH_NOARGS, SEKVO_DOC("__reduce__($self)", "")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef sequence_iterator_methods[] = {
    {"__reduce__", noargs_method<sequence_iterator_reduce>(), METH_NOARGS, SEKVO_DOC("__reduce__($self)", "")},
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

ClassDef sequence_iterator_class() {
    return define_class<SequenceIteratorValue>(
        "SequenceIterator", nullptr,
        {
            {Py_tp_iter, slot<iterator_self<SequenceIteratorValue>>()},
            {Py_tp_iternext, slot<sequence_iterator_next>()},
            {Py_tp_methods, sequence_iterator_methods},
        });
}

}  // namespace

PyTypeObject* fasta_iterator_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, fasta_iterator_class);
}

PyTypeObject* sequence_iterator_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, sequence_iterator_class);
}

PyObject* new_fasta_iterator(PyObject* source) {
    PyTypeObject* type = fasta_iterator_type();
    if (type == nullptr) return nullptr;
    const IndexHandle& handle = fasta_handle(source);
    return box_new(type, FastaIteratorValue{handle.names(), 0, Ref::borrow(source),
                                            handle.options().mutable_file});
}

PyObject* new_sequence_iterator(std::string name, PyObject* source) {
    PyTypeObject* type = sequence_iterator_type();
    if (type == nullptr) return nullptr;
    SequenceIteratorValue value;
    const IndexEntry* entry = fasta_handle(source).lookup(name);
    if (entry != nullptr) {
        value.line_length = entry->lenc;
        value.length = entry->rlen;
    }
    value.name = std::move(name);
    value.source = Ref::borrow(source);
    return box_new(type, std::move(value));
}

}  // namespace sekvo
