// The BED reader, over arbitrary bytes.
//
// Checks, beyond "no crash, no leak, no undefined behaviour":
// - the text fed in pieces (cut where the first input byte says) gives the
//   same regions, or the same problem on the same line, as the whole text
//   parsed at once (in parts on the pool when it is large);
// - a problem's line number lies within the text's lines;
// - every region's record name is free of tabs and line feeds.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "faidx/bed_reader.hpp"
#include "fuzz_support.hpp"

namespace {

bool same_regions(const sekvo::RegionColumns& a, const sekvo::RegionColumns& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a.name(i) != b.name(i) || a.start(i) != b.start(i) || a.end(i) != b.end(i) ||
            a.strand(i) != b.strand(i) || a.label(i) != b.label(i))
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = 1 + data[0] % 17;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    sekvo::BedText whole = sekvo::parse_bed_text(text);
    sekvo::BedReader reader;
    for (std::size_t at = 0; at < text.size(); at += piece) reader.feed(text.substr(at, piece));
    reader.finish();

    FUZZ_CHECK(whole.problem.has_value() == reader.problem().has_value());
    if (whole.problem) {
        FUZZ_CHECK(whole.problem->line == reader.problem()->line);
        FUZZ_CHECK(whole.problem->message == reader.problem()->message);
        const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        FUZZ_CHECK(whole.problem->line >= 1 && whole.problem->line <= lines);
        return 0;
    }
    FUZZ_CHECK(same_regions(whole.regions, reader.regions()));
    for (const std::string& name : whole.regions.record_names())
        FUZZ_CHECK(name.find_first_of("\t\n") == std::string::npos);
    return 0;
}
