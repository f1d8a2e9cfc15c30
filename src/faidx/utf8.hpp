// UTF-8 validation for the FASTA scan and the index loader.
#pragma once

#include <cstddef>

namespace sekvo {

// The IOError text for input that is not UTF-8.
inline constexpr const char* kInvalidUtf8Message = "stream did not contain valid UTF-8";

// Result of checking a buffer that may end in the middle of a character.
struct Utf8Check {
    bool valid;             // false: an invalid sequence occurs
    std::size_t tail_size;  // bytes at the end that start an unfinished character
};

Utf8Check check_utf8_prefix(const unsigned char* data, std::size_t size);

inline bool is_valid_utf8(const unsigned char* data, std::size_t size) {
    Utf8Check check = check_utf8_prefix(data, size);
    return check.valid && check.tail_size == 0;
}

// Validates a byte stream fed in arbitrary pieces; characters may straddle
// piece boundaries.
class Utf8StreamValidator {
public:
    bool feed(const unsigned char* data, std::size_t size);
    // True when the stream ended on a character boundary.
    bool finish() const { return pending_size_ == 0; }

private:
    unsigned char pending_[4] = {};
    std::size_t pending_size_ = 0;
};

}  // namespace sekvo
