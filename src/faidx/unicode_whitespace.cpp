#include "faidx/unicode_whitespace.hpp"

namespace sekvo {

namespace {

inline bool is_ascii_whitespace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Multi-byte White_Space characters: U+0085, U+00A0, U+1680, U+2000-U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000.
inline bool is_two_byte_whitespace(unsigned char a, unsigned char b) {
    return a == 0xC2 && (b == 0x85 || b == 0xA0);
}

inline bool is_three_byte_whitespace(unsigned char a, unsigned char b, unsigned char c) {
    switch (a) {
        case 0xE1: return b == 0x9A && c == 0x80;
        case 0xE2:
            if (b == 0x80) return c <= 0x8A || c == 0xA8 || c == 0xA9 || c == 0xAF;
            return b == 0x81 && c == 0x9F;
        case 0xE3: return b == 0x80 && c == 0x80;
        default: return false;
    }
}

inline unsigned char byte_at(std::string_view text, std::size_t i) {
    return static_cast<unsigned char>(text[i]);
}

}  // namespace

std::size_t whitespace_prefix_length(std::string_view text) {
    if (text.empty()) return 0;
    unsigned char a = byte_at(text, 0);
    if (a < 0x80) return is_ascii_whitespace(a) ? 1 : 0;
    if (text.size() >= 2 && is_two_byte_whitespace(a, byte_at(text, 1))) return 2;
    if (text.size() >= 3 && is_three_byte_whitespace(a, byte_at(text, 1), byte_at(text, 2)))
        return 3;
    return 0;
}

std::size_t whitespace_suffix_length(std::string_view text) {
    std::size_t n = text.size();
    if (n == 0) return 0;
    unsigned char last = byte_at(text, n - 1);
    if (last < 0x80) return is_ascii_whitespace(last) ? 1 : 0;
    // In valid UTF-8 a suffix that spells a whole character is one.
    if (n >= 2 && is_two_byte_whitespace(byte_at(text, n - 2), last)) return 2;
    if (n >= 3 && is_three_byte_whitespace(byte_at(text, n - 3), byte_at(text, n - 2), last))
        return 3;
    return 0;
}

std::string_view trim_whitespace(std::string_view text) {
    while (std::size_t k = whitespace_prefix_length(text)) text.remove_prefix(k);
    while (std::size_t k = whitespace_suffix_length(text)) text.remove_suffix(k);
    return text;
}

std::string_view header_name(std::string_view rest) {
    while (std::size_t k = whitespace_prefix_length(rest)) rest.remove_prefix(k);
    std::size_t i = 0;
    while (i < rest.size()) {
        unsigned char c = byte_at(rest, i);
        if (c < 0x80) {
            if (is_ascii_whitespace(c)) break;
            ++i;
            continue;
        }
        if (whitespace_prefix_length(rest.substr(i)) != 0) break;
        ++i;  // a lead or continuation byte; whitespace never starts mid-character
    }
    return rest.substr(0, i);
}

}  // namespace sekvo
