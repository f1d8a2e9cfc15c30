// The index-file loader, over arbitrary bytes.
//
// Checks, beyond "no crash, no leak, no undefined behaviour":
// - loading the text from memory and loading it as a file give the same
//   outcome: the same error, or the same names and entries in the same order;
// - every failure is one of the loader's documented errors;
// - the name table is consistent: each name enumerated once and found by
//   lookup with its entry;
// - the table written back as index text loads to the same table.
#include <cstdint>
#include <string>
#include <string_view>

#include "faidx/index_file.hpp"
#include "faidx/name_table.hpp"
#include "faidx/utf8.hpp"
#include "fuzz_support.hpp"

namespace {

using sekvo::ErrorKind;
using sekvo::IndexEntry;
using sekvo::NameTable;

bool same_entry(const IndexEntry& a, const IndexEntry& b) {
    return a.rlen == b.rlen && a.offset == b.offset && a.lenc == b.lenc && a.lenb == b.lenb;
}

bool same_table(const NameTable& a, const NameTable& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a.name_at(i) != b.name_at(i) || !same_entry(a.entry_at(i), b.entry_at(i))) return false;
    return true;
}

bool documented(const sekvo::Error& error) {
    if (error.kind == ErrorKind::FastaIndexing)
        return error.detail == "Invalid rlen" || error.detail == "Invalid offset" ||
               error.detail == "Invalid lenc" || error.detail == "Invalid lenb";
    return error.kind == ErrorKind::IO && error.detail_text() == sekvo::kInvalidUtf8Message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static fuzz::MemoryFile file;
    file.assign(data, size);

    NameTable from_text;
    NameTable from_file;
    const auto text_error = sekvo::load_index_text(text, from_text);
    const auto file_error = sekvo::load_index_file(file.path(), from_file);
    FUZZ_CHECK(text_error.has_value() == file_error.has_value());
    if (text_error) {
        FUZZ_CHECK(documented(*text_error));
        FUZZ_CHECK(text_error->kind == file_error->kind && text_error->detail == file_error->detail);
        return 0;
    }
    FUZZ_CHECK(same_table(from_text, from_file));

    std::vector<sekvo::ScannedRecord> records;
    for (std::size_t i = 0; i < from_text.size(); ++i) {
        const std::string& name = from_text.name_at(i);
        const IndexEntry* found = from_text.lookup(name);
        FUZZ_CHECK(found == &from_text.entry_at(i));
        records.push_back({name, *found});
    }
    FUZZ_CHECK(from_text.names().size() == from_text.size());

    NameTable reloaded;
    FUZZ_CHECK(!sekvo::load_index_text(sekvo::format_index(records), reloaded).has_value());
    FUZZ_CHECK(same_table(from_text, reloaded));
    return 0;
}
