// Whitespace in header names and index lines: every character with the
// Unicode White_Space property. Inputs are valid UTF-8.
#pragma once

#include <cstddef>
#include <string_view>

namespace sekvo {

// Byte length of the whitespace character that starts `text`, or 0.
std::size_t whitespace_prefix_length(std::string_view text);
// Byte length of the whitespace character that ends `text`, or 0.
std::size_t whitespace_suffix_length(std::string_view text);

std::string_view trim_whitespace(std::string_view text);

// The first word of a FASTA header line (without its ">"): the text after
// leading whitespace up to the next whitespace character.
std::string_view header_name(std::string_view header_rest);

}  // namespace sekvo
