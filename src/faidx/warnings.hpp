// Warning lines on the standard error stream.
//
// Each line goes to file descriptor 2 in a single write(2), at the moment
// its condition is met, so lines from concurrent writers never interleave
// and they keep their place relative to the interpreter's own output.
#pragma once

#include <string_view>

namespace sekvo {

// Writes "WARNING: " + text + "\n".
void write_warning(std::string_view text);

}  // namespace sekvo
