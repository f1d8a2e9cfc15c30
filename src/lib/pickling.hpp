// Pickling and copying. The classes are named "builtins.X", where pickle
// cannot find them, so every object reduces to the module's private
// function sekvo._reconstruct(kind, state), which makes it again.
#pragma once

#include "lib/binding/python.hpp"

namespace sekvo {

// The (sekvo._reconstruct, (kind, state)) pair a __reduce__ returns. Takes
// over `state` (a new reference); NULL with the error set, also when
// `state` is NULL.
PyObject* reduce_to(const char* kind, PyObject* state);

// The module-level function _reconstruct(kind, state).
PyMethodDef reconstruct_method();

}  // namespace sekvo
