#include "common/line_splitter.hpp"

namespace sekvo {

bool LineSplitter::next(std::string_view& line) {
    if (joined_) {
        carried_.clear();
        joined_ = false;
    }
    const std::size_t feed = rest_.find('\n');
    if (feed == std::string_view::npos) {
        carried_.append(rest_);
        rest_ = {};
        return false;
    }
    if (carried_.empty()) {
        line = rest_.substr(0, feed);
    } else {
        carried_.append(rest_.substr(0, feed));
        line = carried_;
        joined_ = true;
    }
    rest_.remove_prefix(feed + 1);
    ++lines_;
    return true;
}

bool LineSplitter::finish(std::string_view& line) {
    if (joined_) {
        carried_.clear();
        joined_ = false;
    }
    if (carried_.empty()) return false;
    line = carried_;
    joined_ = true;
    ++lines_;
    return true;
}

}  // namespace sekvo
