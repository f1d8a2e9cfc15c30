// Private module functions behind the `sekvo` command line: the output
// engine of the core (records fetched window by window and written to a
// file descriptor), driven by python/sekvo_cli.
#pragma once

#include "lib/binding/python.hpp"

namespace sekvo {

// The module's function table (NULL-terminated).
PyMethodDef* command_line_functions();

}  // namespace sekvo
