// The five-column index file: name, rlen, offset, lenc, lenb.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "faidx/fasta_scan.hpp"
#include "faidx/name_table.hpp"

namespace sekvo {

// The index file text for `records`, one line each, in order.
std::string format_index(const std::vector<ScannedRecord>& records);

// Writes the index file so that readers only ever see a complete one: the
// text goes to a new file beside it, which then replaces it. A symbolic
// link, a file that is not regular, and a file that cannot be replaced but
// can be written (a directory that refuses new or renamed files) are
// rewritten in place under an exclusive lock instead. An error is an
// IOError; no temporary file is left behind.
std::optional<Error> write_index_file(const std::string& path, const std::string& text);

// Reads an index file into `table`, under a shared lock. Lines that do not hold exactly five
// tab-separated fields are skipped; a number that does not parse is a
// FastaIndexingError naming its column.
std::optional<Error> load_index_file(const std::string& path, NameTable& table);
// The same for index text already in memory.
std::optional<Error> load_index_text(std::string_view text, NameTable& table);

}  // namespace sekvo
