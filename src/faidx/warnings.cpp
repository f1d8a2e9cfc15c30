#include "faidx/warnings.hpp"

#include <unistd.h>

#include <string>

#include "common/posix_io.hpp"

namespace sekvo {

void write_warning(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 10);
    line.append("WARNING: ").append(text).push_back('\n');
    // Nowhere to report a broken standard error stream.
    write_all(STDERR_FILENO, line);
}

}  // namespace sekvo
