// The Python class SequenceIterator: one record of a Fasta in line-sized
// pieces. It moves only forward; once exhausted it stays exhausted.
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "faidx/record_reading.hpp"
#include "faidx/retrieval.hpp"
#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/core_values.hpp"
#include "lib/fasta_objects.hpp"
#include "lib/pickling.hpp"

namespace sekvo {

namespace {

using namespace binding;

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

// Pickled with its position: the Fasta, the record's name and where the
// next piece starts. A copy moves on its own.
PyObject* sequence_iterator_reduce(PyObject* self, PyObject*) {
    auto iterator = borrow_shared<SequenceIteratorValue>(self);
    if (!iterator) return nullptr;
    return reduce_to("SequenceIterator",
                     Py_BuildValue("(ONNN)", iterator->source.get(), to_python(iterator->name),
                                   to_python(iterator->position), to_python(iterator->exhausted)));
}

PyMethodDef sequence_iterator_methods[] = {
    {"__reduce__", noargs_method<sequence_iterator_reduce>(), METH_NOARGS, SEKVO_DOC("__reduce__($self)", "")},
    {nullptr, nullptr, 0, nullptr},
};

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

PyTypeObject* sequence_iterator_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, sequence_iterator_class);
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
