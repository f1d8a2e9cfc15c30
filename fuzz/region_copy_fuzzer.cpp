// Region copying with arbitrary index entries and coordinates against an
// arbitrary buffer, through the mapping and through the file.
//
// Checks, beyond "no crash, no read outside the buffer, no undefined
// behaviour":
// - the mapped copy and the positional-read copy return the same bytes;
// - a copy never returns more than was asked for, nor a line terminator;
// - on a well-formed record (generated from the input: any residues, any
//   line width, LF or CRLF, other records around it) every region inside it
//   reads back exactly.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "faidx/retrieval.hpp"
#include "fuzz_support.hpp"

namespace {

using sekvo::IndexEntry;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// A number for an entry field or coordinate: mostly near the buffer's
// size, sometimes at the edges of the 64-bit range, sometimes anything.
std::uint64_t pick_number(FuzzedDataProvider& provider, std::uint64_t size) {
    switch (provider.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return provider.ConsumeIntegralInRange<std::uint64_t>(0, 16);
    case 1:
        return provider.ConsumeIntegralInRange<std::uint64_t>(0, 2 * size + 16);
    case 2: {
        static const std::uint64_t edges[] = {kMax,      kMax - 1,       kMax / 2,      kMax / 2 + 1,
                                              1ull << 32, (1ull << 63) - 1, 1ull << 62, 0};
        return edges[provider.ConsumeIntegralInRange<std::size_t>(0, 7)];
    }
    default:
        return provider.ConsumeIntegral<std::uint64_t>();
    }
}

void check_copies_agree(const std::vector<std::uint8_t>& buffer, const IndexEntry& entry,
                        std::uint64_t first, std::uint64_t count) {
    static fuzz::MemoryFile file;
    file.assign(buffer.data(), buffer.size());
    const std::string mapped = sekvo::read_from_mapping(buffer.data(), buffer.size(), entry, first, count);
    auto read = sekvo::read_from_file(file.fd(), entry, first, count);
    FUZZ_CHECK(read.ok());
    FUZZ_CHECK(read.value() == mapped);
    FUZZ_CHECK(mapped.size() <= count);
    FUZZ_CHECK(mapped.find_first_of("\r\n") == std::string::npos);
    // Copying into a caller's buffer gives the same bytes, up to its size,
    // and calls them ASCII only when they are.
    const std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
    std::string out(capacity, '\0');
    const sekvo::BufferCopy copy =
        sekvo::read_into_buffer(buffer.data(), buffer.size(), entry, first, count, out.data(), capacity);
    FUZZ_CHECK(copy.written <= capacity);
    FUZZ_CHECK(out.compare(0, copy.written, mapped, 0, copy.written) == 0);
    FUZZ_CHECK(copy.written == std::min<std::size_t>(mapped.size(), capacity));
    const bool all_ascii = std::all_of(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(copy.written),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    FUZZ_CHECK(!copy.ascii || all_ascii);
    // No mapping at all reads nothing.
    FUZZ_CHECK(sekvo::read_from_mapping(nullptr, 0, entry, first, count).empty());
}

void arbitrary_entry(FuzzedDataProvider& provider) {
    const std::uint64_t budget = provider.remaining_bytes();
    IndexEntry entry;
    entry.rlen = pick_number(provider, budget);
    entry.offset = pick_number(provider, budget);
    entry.lenc = pick_number(provider, budget);
    entry.lenb = pick_number(provider, budget);
    const std::uint64_t first = pick_number(provider, budget);
    const std::uint64_t count = pick_number(provider, budget);
    // An exact-size heap copy, so that ASan sees any read past its end.
    const std::vector<std::uint8_t> buffer = provider.ConsumeRemainingBytes<std::uint8_t>();
    check_copies_agree(buffer, entry, first, count);
}

void well_formed_record(FuzzedDataProvider& provider) {
    const std::uint64_t width = provider.ConsumeIntegralInRange<std::uint64_t>(1, 80);
    const bool crlf = provider.ConsumeBool();
    const std::string before = provider.ConsumeBool() ? ">before\nACGT\nAC\n" : "";
    const std::string after = provider.ConsumeBool() ? ">after x\nTTTT\nGG\n" : "";
    const std::uint64_t pick = provider.ConsumeIntegral<std::uint64_t>();
    std::string residues = provider.ConsumeRemainingBytesAsString();
    for (char& c : residues)
        if (c == '\r' || c == '\n') c = 'N';

    const std::string eol = crlf ? "\r\n" : "\n";
    std::string text = before + ">rec description" + eol;
    const std::uint64_t offset = text.size();
    for (std::size_t i = 0; i < residues.size(); i += width) text += residues.substr(i, width) + eol;
    text += after;
    // As the scan writes it: the first line's residues and bytes.
    const std::uint64_t first_line = std::min<std::uint64_t>(width, residues.size());
    const IndexEntry entry{residues.size(), offset, first_line, first_line == 0 ? 0 : first_line + eol.size()};

    const std::vector<std::uint8_t> buffer(text.begin(), text.end());
    const std::uint64_t rlen = residues.size();
    if (rlen == 0) {
        check_copies_agree(buffer, entry, 1, 1);
        return;
    }
    const std::uint64_t first = 1 + pick % rlen;
    const std::uint64_t count = 1 + (pick >> 32) % (rlen - first + 1);
    const std::string expected = residues.substr(first - 1, count);
    FUZZ_CHECK(sekvo::read_from_mapping(buffer.data(), buffer.size(), entry, first, count) == expected);
    FUZZ_CHECK(sekvo::read_from_mapping(buffer.data(), buffer.size(), entry, 1, rlen) == residues);
    check_copies_agree(buffer, entry, first, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    if (provider.ConsumeBool())
        well_formed_record(provider);
    else
        arbitrary_entry(provider);
    return 0;
}
