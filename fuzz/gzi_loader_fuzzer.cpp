// The ".gzi" loader over arbitrary bytes, for a fixed sound BGZF file.
//
// Checks, beyond "no crash, no leak, no undefined behaviour": a block index
// that loads either reads the file's exact text, for any range, or fails
// with an IOError; it never yields other text. One that does not load
// fails with an IOError. The table written back loads to the same table.
#include <cstdint>
#include <string>

#include "faidx/block_index_file.hpp"
#include "faidx/block_table.hpp"
#include "faidx/bgzf_source.hpp"
#include "fuzz_support.hpp"
#include "bgzf_writer.hpp"

namespace {

// Blocks of unequal sizes, with an empty block among them.
const std::string& fasta_text() {
    static const std::string text = [] {
        std::string t;
        for (int r = 0; r < 6; ++r) {
            t += ">r" + std::to_string(r) + "\n";
            for (int line = 0; line < 9; ++line) t += std::string(20 + r, "ACGT"[(r + line) % 4]) + "\n";
        }
        return t;
    }();
    return text;
}

const std::string& compressed_file() {
    static const std::string file = [] {
        const std::string& text = fasta_text();
        std::string out = fuzz::stored_block(text.substr(0, 100)) + fuzz::stored_block("") +
                          fuzz::stored_block(text.substr(100, 333));
        for (std::size_t at = 433; at < text.size(); at += 97) out += fuzz::stored_block(text.substr(at, 97));
        return out + fuzz::eof_block();
    }();
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::MemoryFile file;
    static fuzz::MemoryFile gzi;
    static bool written = false;
    if (!written) {
        file.assign(reinterpret_cast<const std::uint8_t*>(compressed_file().data()), compressed_file().size());
        written = true;
    }
    gzi.assign(data, size);
    auto opened = sekvo::BgzfSource::open(sekvo::FileDescriptor(::dup(file.fd())), "fuzz.fa.gz");
    FUZZ_CHECK(opened.ok());
    sekvo::BgzfSource& source = *opened.value();
    auto error = sekvo::load_block_index(gzi.path(), source);
    if (error) {
        FUZZ_CHECK(error->kind == sekvo::ErrorKind::IO);
        return 0;
    }
    const std::string& text = fasta_text();
    const std::uint64_t ranges[][2] = {{0, text.size()}, {50, 51}, {99, 101}, {text.size() - 5, text.size()}};
    for (const auto& range : ranges) {
        std::string read;
        auto failed = source.read_pieces(range[0], range[1], [&](const unsigned char* piece, std::size_t n) {
            read.append(reinterpret_cast<const char*>(piece), n);
            return true;
        });
        if (failed) {
            FUZZ_CHECK(failed->kind == sekvo::ErrorKind::IO);
            continue;
        }
        FUZZ_CHECK(source.size() <= text.size());
        FUZZ_CHECK(read == text.substr(range[0], range[1] - range[0]) || source.size() < range[1]);
    }
    std::string problem;
    auto reparsed = sekvo::parse_gzi(sekvo::format_gzi(source.table()), source.compressed_size(), problem);
    FUZZ_CHECK(reparsed.has_value());
    FUZZ_CHECK(reparsed->compressed == source.table().compressed && reparsed->uncompressed == source.table().uncompressed);
    return 0;
}
