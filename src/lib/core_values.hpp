// Core values at the Python boundary: a core Error raised as its Python
// exception, residues converted from and to str. Kept out of the binding
// layer, which knows nothing of the core.
#pragma once

#include "lib/binding/python.hpp"

#include "common/error.hpp"
#include "sequence/residues.hpp"

namespace sekvo {

// Sets the Python exception for a core error: the six index/retrieval
// kinds as the built-in Exception with exception_message(), OutOfRange as
// IndexError(detail), BatchFailed as RuntimeError(detail). Returns NULL so
// that methods can `return raise(error);`.
PyObject* raise(const Error& error);

// A str's text as residues (see binding::extract for strings).
bool extract(PyObject* object, Residues& out);
// Residues held in a str's own storage come back as that str.
PyObject* to_python(const Residues& residues);

}  // namespace sekvo
