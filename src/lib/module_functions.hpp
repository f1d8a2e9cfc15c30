// The module's functions (not classes). All are private: they serve the
// command line, which shares the core's engines instead of writing them
// again, and pickle (_reconstruct, lib/pickling.hpp).
#pragma once

#include "lib/binding/python.hpp"

namespace sekvo {

// The module's method table, ending with the sentinel.
PyMethodDef* module_functions();

}  // namespace sekvo
