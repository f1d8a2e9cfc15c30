// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods and for
// constructors (tp_new's tuple and dict), with the module's TypeError texts.
#pragma once

#include "lib/binding/python.hpp"

#include <cstddef>
#include <initializer_list>

namespace sekvo::binding {

// The parameters of one function: the first `required` are required, the
// rest optional; all may be given by position or by keyword.
// `function` is the name used in messages, e.g. "Faidx.fetch()", or
// "Sequence.__new__()" for a constructor.
struct Signature {
    const char* function;
    std::initializer_list<const char*> parameters;
    std::size_t required = 0;
    // The last `keyword_only` parameters are never taken by position.
    std::size_t keyword_only = 0;
};

// Fills out[0..parameters.size()) with the argument of each parameter
// (borrowed references, valid for the call) or NULL when it was not given.
// Returns false with TypeError set on: too many positional arguments, an
// argument given by position and keyword, an unknown keyword, or missing
// required arguments.
bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out);

// The same for tp_new's calling convention (args tuple, kwargs dict or NULL).
bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace sekvo::binding
