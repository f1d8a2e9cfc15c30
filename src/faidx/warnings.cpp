#include "faidx/warnings.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace sekvo {

void write_warning(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 10);
    line.append("WARNING: ").append(text).push_back('\n');
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, p, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere to report a broken standard error stream
        }
        p += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace sekvo
