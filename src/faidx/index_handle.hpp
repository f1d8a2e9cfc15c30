// An opened FASTA file with its index: the read-only mapping (or the open
// file), the name table and the settings. Built once, read-only afterwards,
// so any number of threads may look up names and read through it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/posix_io.hpp"
#include "faidx/bgzf_source.hpp"
#include "faidx/fasta_scan.hpp"
#include "faidx/name_table.hpp"
#include "faidx/uncompressed_source.hpp"

namespace sekvo {

// The constructor settings that the core keeps. The two Python-object
// settings (key_function, filt_function) are kept by the binding objects.
struct OpenOptions {
    std::string filename;
    std::optional<std::string> indexname;
    // The block index of a BGZF file; default: filename + ".gzi".
    std::optional<std::string> gziname;
    // Rebuild the block index whatever its age (the command line's index).
    bool always_build_block_index = false;
    bool as_raw = false;
    bool strict_bounds = false;
    bool sequence_always_upper = false;
    bool rebuild = true;
    bool build_index = true;
    bool one_based_attributes = true;
    std::optional<std::string> default_seq;
    bool mutable_file = false;
    // Accepted and kept; nothing reads them.
    std::optional<std::string> split_char;
    bool read_long_names = false;
    std::string duplicate_action = "stop";
    std::optional<std::uint64_t> read_ahead;
};

class IndexHandle {
public:
    static Result<std::unique_ptr<IndexHandle>> open(OpenOptions options);
    // The records of the FASTA file `options.filename`, scanned afresh as
    // open() scans them to build an index, whatever index file exists.
    static Result<std::vector<ScannedRecord>> scan_records(OpenOptions options);
    ~IndexHandle();
    IndexHandle(const IndexHandle&) = delete;
    IndexHandle& operator=(const IndexHandle&) = delete;

    const IndexEntry* lookup(std::string_view name) const { return table_.lookup(name); }
    bool contains(std::string_view name) const { return table_.lookup(name) != nullptr; }
    // The entry of each name (nullptr where there is none), for callers
    // that refer to records by their number in `names`.
    std::vector<const IndexEntry*> lookup_all(const std::vector<std::string>& names) const {
        std::vector<const IndexEntry*> entries(names.size());
        for (std::size_t r = 0; r < names.size(); ++r) entries[r] = table_.lookup(names[r]);
        return entries;
    }
    // Every name once, in index-file order (first occurrence keeps its place).
    std::vector<std::string> names() const { return table_.names(); }
    const NameTable& table() const { return table_; }

    const OpenOptions& options() const { return options_; }

    // A BGZF-compressed file is read through its blocks (no mapping, no
    // file descriptor); null for a plain file.
    const BgzfSource* bgzf() const { return bgzf_.get(); }
    const UncompressedSource* uncompressed_source() const { return bgzf_.get(); }

    // The whole FASTA file when it is mapped; empty data() otherwise.
    bool has_mapping() const { return mapping_ != nullptr || mapping_is_empty_file_; }
    const unsigned char* mapping_data() const { return mapping_; }
    std::uint64_t mapping_size() const { return mapping_size_; }
    // The open FASTA file when there is no mapping, else -1. Read it only
    // with positional reads (pread), so concurrent readers never interfere.
    int file_descriptor() const { return fd_.get(); }
    // Set once a read through the mapping met a part of the file that is
    // gone (the file shrank after it was mapped); see MappingGuard.
    std::atomic<bool>& mapping_failed() const { return mapping_failed_; }
    // The mapped file, kept open so that its current size can be asked: a
    // file that shrinks inside its last mapped page raises no fault, the
    // lost bytes just read as zeros. -1 without a mapping.
    int mapped_file_descriptor() const { return mapped_fd_.get(); }
    // True when the mapped file is now shorter than its mapping.
    bool mapped_file_shrank() const;

private:
    IndexHandle() = default;

    OpenOptions options_;
    std::string index_path_;
    NameTable table_;
    const unsigned char* mapping_ = nullptr;
    std::uint64_t mapping_size_ = 0;
    bool mapping_is_empty_file_ = false;
    FileDescriptor fd_;
    FileDescriptor mapped_fd_;
    std::unique_ptr<BgzfSource> bgzf_;
    mutable std::atomic<bool> mapping_failed_{false};

    friend class IndexHandleBuilder;
};

}  // namespace sekvo
