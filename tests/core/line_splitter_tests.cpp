// The line splitter: the same lines whatever the pieces the text comes in.
#include <string>
#include <vector>

#include "check.hpp"
#include "common/line_splitter.hpp"

using namespace sekvo;

namespace {

std::vector<std::string> split_in_pieces(std::string_view text, std::size_t size, std::uint64_t& count) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    std::string_view line;
    for (std::size_t at = 0; at < text.size(); at += size) {
        splitter.feed(text.substr(at, size));
        while (splitter.next(line)) lines.emplace_back(line);
    }
    if (splitter.finish(line)) lines.emplace_back(line);
    CHECK(!splitter.finish(line));  // the last line is handed out once
    count = splitter.lines();
    return lines;
}

}  // namespace

CORE_TEST(line_splitter_pieces_of_every_size_give_the_same_lines) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"", {}},
        {"\n", {""}},
        {"a\r\n\nbc\n", {"a\r", "", "bc"}},
        {"first\n\nlast without a feed", {"first", "", "last without a feed"}},
    };
    for (const auto& [text, expected] : cases) {
        for (std::size_t size = 1; size <= text.size() + 1; ++size) {
            std::uint64_t count = 0;
            CHECK(split_in_pieces(text, size, count) == expected);
            CHECK_EQ(count, std::uint64_t{expected.size()});
        }
    }
}
