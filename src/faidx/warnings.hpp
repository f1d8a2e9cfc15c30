// Warning lines on the standard error stream.
//
// Each line goes to file descriptor 2 at the moment its condition is met,
// in one write(2) where the line fits in one atomic pipe write, so lines
// from concurrent writers never interleave and they keep their place
// relative to the interpreter's own output. A write that would block (a
// full pipe, perhaps drained by a thread of this very process) waits
// through run_blocking, so the reader can run.
#pragma once

#include <string_view>

namespace sekvo {

// Writes "WARNING: " + text + "\n".
void write_warning(std::string_view text);

}  // namespace sekvo
