// Scanning a BGZF-compressed FASTA file into index entries: the same
// entries, warnings and errors as scanning the text it inflates to.
#pragma once

#include <vector>

#include "faidx/bgzf_source.hpp"
#include "common/error.hpp"
#include "faidx/fasta_scan.hpp"

namespace sekvo {

// Large files are inflated and scanned in parts on the worker pool.
Result<std::vector<ScannedRecord>> scan_bgzf(const BgzfSource& source);
// The scan in about `parts` parts whatever the size (1: one after another).
Result<std::vector<ScannedRecord>> scan_bgzf_in_parts(const BgzfSource& source, std::size_t parts);

}  // namespace sekvo
