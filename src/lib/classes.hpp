// The module's classes, for the files that need another class's type
// object or make its objects. Each *_type() returns the process-wide type
// object (borrowed), creating it on first use; NULL with the error set.
#pragma once

#include "lib/binding/python.hpp"

#include "sequence/sequence_value.hpp"

#include <vector>

namespace sekvo {

PyTypeObject* fasta_type();                  // lib/fasta_type.cpp
PyTypeObject* faidx_type();                  // faidx/faidx_type.cpp
PyTypeObject* sequence_type();               // sequence/sequence_type.cpp
PyTypeObject* fasta_record_type();           // lib/fasta_record_type.cpp
PyTypeObject* fasta_iterator_type();         // lib/fasta_iterator_type.cpp
PyTypeObject* sequence_iterator_type();      // lib/sequence_iterator_type.cpp
PyTypeObject* mutable_fasta_record_type();   // lib/mutable_fasta_record_type.cpp
PyTypeObject* sequence_array_type();         // lib/sequence_array_type.cpp

// A new Sequence object holding `value`; NULL with the error set.
PyObject* sequence_from_value(SequenceValue&& value);
// A new list of Sequence objects, one per value in order (the values are
// moved out); NULL with the error set and no partial list.
PyObject* sequence_list_from_values(std::vector<SequenceValue>&& values);
// A new MutableFastaRecord (only unpickling makes one); NULL with the error set.
PyObject* new_mutable_fasta_record();

}  // namespace sekvo
