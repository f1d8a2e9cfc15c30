// What a Fasta object holds, and the small objects it hands out: records
// and the two iterators, which keep their Fasta (and so its index handle
// and mapping) alive through a counted reference.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/binding/binding.hpp"
#include "lib/index_settings.hpp"

namespace sekvo {

// The index handle opened from the sixteen settings. The filename and the
// mutable flag of the Fasta are those the handle keeps.
using FastaValue = OpenedIndex;

// The handle of a Fasta object; it never changes after construction, so
// readers need no borrow of the Fasta itself.
inline const IndexHandle& fasta_handle(PyObject* fasta) {
    return *binding::box_of<FastaValue>(fasta)->value.handle;
}

struct FastaRecordValue {
    std::string name;
    binding::Ref source;  // the Fasta
};

struct FastaIteratorValue {
    std::vector<std::string> names;  // taken when the iterator was made
    std::uint64_t position = 0;      // index of the next name
    binding::Ref source;
};

struct SequenceIteratorValue {
    std::string name;
    binding::Ref source;
    std::uint64_t line_length = 70;  // residues per piece (the record's lenc)
    std::uint64_t length = 0;        // the record's rlen
    std::uint64_t position = 1;      // 1-based first residue of the next piece
    bool exhausted = false;          // the last piece ended at 2^64 - 1
};

// __iter__ of the iterator classes: the iterator itself.
template <class T>
PyObject* iterator_self(PyObject* self) {
    auto iterator = binding::borrow_shared<T>(self);
    if (!iterator) return nullptr;
    return Py_NewRef(self);
}

// New objects referring to `source` (a Fasta object); NULL with the error set.
PyObject* new_fasta_record(std::string name, PyObject* source);
// Over a snapshot of the source's names in name order, at position 0.
PyObject* new_fasta_iterator(PyObject* source);
// Over the record `name`: its lenc and rlen (70 and 0 for a missing name).
PyObject* new_sequence_iterator(std::string name, PyObject* source);

}  // namespace sekvo
