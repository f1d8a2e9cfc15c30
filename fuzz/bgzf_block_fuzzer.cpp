// The BGZF block reader over arbitrary bytes taken as a compressed file.
//
// Checks, beyond "no crash, no leak, no undefined behaviour, no hang":
// - a file that opens and whose block headers read gives, through the
//   block reader, exactly the text its blocks inflate to one by one, for
//   any range, cached or windowed;
// - the index scan in parts gives what the block-by-block scan gives;
// - every failure is an IOError (or the invalid-text error of the scan).
// The first input byte chooses whether the end-of-file block is appended
// and how many parts the scan uses; the rest is the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "faidx/bgzf_block.hpp"
#include "faidx/bgzf_scan.hpp"
#include "faidx/bgzf_source.hpp"
#include "fuzz_support.hpp"
#include "bgzf_writer.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStderr::prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned choice = data[0];
    std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
    if (choice & 1) file += fuzz::eof_block();
    static fuzz::MemoryFile memory;
    memory.assign(reinterpret_cast<const std::uint8_t*>(file.data()), file.size());

    // Inflating the file's start as one block never writes past the block.
    {
        std::vector<unsigned char> out(sekvo::kBgzfMaxInflatedSize);
        const std::size_t block_size = sekvo::bgzf_block_size(reinterpret_cast<const unsigned char*>(file.data()), file.size());
        if (block_size != 0 && block_size <= file.size()) {
            auto inflated = sekvo::inflate_bgzf_block(reinterpret_cast<const unsigned char*>(file.data()), block_size, out.data());
            FUZZ_CHECK(inflated.status != sekvo::InflateStatus::Ok || inflated.size <= out.size());
        }
    }

    auto opened = sekvo::BgzfSource::open(sekvo::FileDescriptor(::dup(memory.fd())), "fuzz.fa.gz");
    if (!opened) {
        FUZZ_CHECK(opened.error().kind == sekvo::ErrorKind::IO);
        return 0;
    }
    sekvo::BgzfSource& source = *opened.value();
    auto table = source.read_block_headers();
    if (!table) {
        FUZZ_CHECK(table.error().kind == sekvo::ErrorKind::IO);
        return 0;
    }
    FUZZ_CHECK(!source.use_table(table.take(), true).has_value());

    std::string text;
    std::vector<unsigned char> buffer(sekvo::kBgzfMaxInflatedSize);
    bool sound = true;
    for (std::size_t block = 0; block < source.table().blocks() && sound; ++block) {
        auto inflated = source.inflate_into(block, buffer.data());
        if (!inflated) {
            FUZZ_CHECK(inflated.error().kind == sekvo::ErrorKind::IO);
            sound = false;
        } else {
            text.append(reinterpret_cast<const char*>(buffer.data()), inflated.value());
        }
    }
    if (sound) {
        FUZZ_CHECK(text.size() == source.size());
        const std::uint64_t ranges[][2] = {{0, text.size()}, {text.size() / 3, text.size() / 2},
                                           {choice % (text.size() + 1), text.size()}};
        for (const auto& range : ranges) {
            std::string read;
            auto error = source.read_pieces(range[0], range[1], [&](const unsigned char* piece, std::size_t n) {
                read.append(reinterpret_cast<const char*>(piece), n);
                return true;
            });
            FUZZ_CHECK(!error.has_value());
            FUZZ_CHECK(read == text.substr(range[0], range[1] - range[0]));
        }
    }

    fuzz::QuietStderr quiet;
    auto whole = sekvo::scan_bgzf_in_parts(source, 1);
    auto parts = sekvo::scan_bgzf_in_parts(source, 2 + (choice >> 1) % 9);
    FUZZ_CHECK(whole.ok() == parts.ok());
    if (!whole.ok()) {
        FUZZ_CHECK(whole.error().kind == sekvo::ErrorKind::IO);
        FUZZ_CHECK(whole.error().detail_text() == parts.error().detail_text() || !sound);
        return 0;
    }
    FUZZ_CHECK(whole.value().size() == parts.value().size());
    for (std::size_t i = 0; i < whole.value().size(); ++i) {
        const auto& a = whole.value()[i];
        const auto& b = parts.value()[i];
        FUZZ_CHECK(a.name == b.name && a.entry.rlen == b.entry.rlen && a.entry.offset == b.entry.offset &&
                   a.entry.lenc == b.entry.lenc && a.entry.lenb == b.entry.lenb);
    }
    return 0;
}
