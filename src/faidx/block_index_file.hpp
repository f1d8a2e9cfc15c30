// The ".gzi" file beside a BGZF FASTA file: loaded, or built from the block
// headers and written as safely as the index file.
#pragma once

#include <optional>
#include <string>

#include "faidx/bgzf_source.hpp"
#include "common/error.hpp"

namespace sekvo {

// Reads `path` and gives its table to `source`. A file that does not
// parse, or does not fit the compressed file, is an IOError naming it.
std::optional<Error> load_block_index(const std::string& path, BgzfSource& source);

// Reads the block headers of `source`, gives it the table and writes it to
// `path` (when `path` is not empty).
std::optional<Error> build_block_index(const std::string& path, BgzfSource& source);

}  // namespace sekvo
