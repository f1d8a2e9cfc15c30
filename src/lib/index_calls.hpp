// The retrieval calls that Faidx and Fasta share: convert the Python
// arguments (naming the parameter on failure), call the core on the
// handle, and build the Python result.
#pragma once

#include "faidx/index_handle.hpp"
#include "lib/binding/binding.hpp"

namespace sekvo {

// `rc` is the optional reverse-complement argument (None, True or False;
// NULL when not given or when the method has none), converted after the
// others, in parameter order.
PyObject* call_fetch(const IndexHandle& handle, PyObject* name, PyObject* start, PyObject* end, PyObject* rc);
PyObject* call_fetch_entire_sequence(const IndexHandle& handle, PyObject* name);
PyObject* call_fetch_many(const IndexHandle& handle, PyObject* regions, PyObject* rc);
PyObject* call_fetch_many_same_chr(const IndexHandle& handle, PyObject* name, PyObject* regions, PyObject* rc);
// A new list of every record name, in name order.
PyObject* names_list(const IndexHandle& handle);
// `name in obj`: 1, 0, or -1 with the argument error naming `name`.
int call_contains(const IndexHandle& handle, PyObject* name);
// Converts the optional `rc` argument (None and False mean no).
bool extract_rc(PyObject* argument, bool& rc);

}  // namespace sekvo
