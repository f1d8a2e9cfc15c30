#include "faidx/region_lines.hpp"

namespace sekvo {

namespace {

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim_ascii_space(std::string_view text) {
    while (!text.empty() && is_ascii_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_ascii_space(text.back())) text.remove_suffix(1);
    return text;
}

// [1-9][0-9]{0,17}: far below the 64-bit limit, no sign, no separator.
bool plain_number(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 18 || text[0] < '1' || text[0] > '9') return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

bool RegionLineReader::add_plain(std::string_view line) {
    if (static_cast<unsigned char>(line.front()) >= 0x80 || static_cast<unsigned char>(line.back()) >= 0x80 ||
        line.front() == '{')
        return false;
    const std::size_t colon = line.rfind(':');
    if (colon == std::string_view::npos) return false;
    const IndexEntry* entry = handle_.lookup(line.substr(0, colon));
    if (entry == nullptr || handle_.contains(line)) return false;
    const std::string_view coords = line.substr(colon + 1);
    const std::size_t dash = coords.find('-');
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    if (dash == std::string_view::npos || !plain_number(coords.substr(0, dash), start) ||
        !plain_number(coords.substr(dash + 1), end) || start > end || end > entry->rlen)
        return false;
    header_.assign(line);
    header_.append(suffix_);
    window_.add(header_, line.substr(0, colon), start, end, reverse_);
    return true;
}

RegionLineReader::Stop RegionLineReader::read() {
    for (;;) {
        if (window_.full()) return Stop::window_full;
        std::string_view text;
        if (!lines_.next(text) && !(finished_ && lines_.finish(text))) return Stop::end;
        const std::string_view line = trim_ascii_space(text);
        if (line.empty() || add_plain(line)) continue;
        referred_ = line;
        return Stop::referred;
    }
}

}  // namespace sekvo
