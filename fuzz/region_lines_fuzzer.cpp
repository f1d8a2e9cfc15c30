// The region-line reader of the command line, over arbitrary bytes, against
// a small FASTA file whose names include a ':' and non-ASCII.
//
// Checks, beyond "no crash, no leak, no undefined behaviour":
// - the text fed in pieces (their size from the first input byte) gives the
//   same lines handed over, with the same numbers, and the same records as
//   the whole text fed at once;
// - every line is counted, the last one without a line feed too;
// - a line handed over is trimmed, not empty and holds no line feed;
// - a line read as a record is UTF-8 and names a record of the file, and
//   its window is fetched and written without an error.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "faidx/output_sink.hpp"
#include "faidx/region_lines.hpp"
#include "faidx/utf8.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr std::string_view kSuffix = "/s";
constexpr std::string_view kAdded = "#added";

const sekvo::IndexHandle& fasta() {
    static const std::unique_ptr<sekvo::IndexHandle> handle = [] {
        char directory[] = "/tmp/sekvo-fuzz-XXXXXX";
        if (::mkdtemp(directory) == nullptr) std::abort();
        sekvo::OpenOptions options;
        options.filename = std::string(directory) + "/g.fa";
        const std::string text = ">c\nAACCGCGGTT\n>x\nGG\n>x:1-2\nTT\n>d\nACGTAC\nGT\n>\xc3\xa9\nACG\n";
        sekvo::FileDescriptor file(::open(options.filename.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        if (!file.is_open() || sekvo::write_all(file.get(), text) != 0) std::abort();
        auto opened = sekvo::IndexHandle::open(options);
        if (!opened.ok()) std::abort();
        // Read through the open handle from here on: nothing is left behind.
        ::unlink(options.filename.c_str());
        ::unlink((options.filename + ".fai").c_str());
        ::rmdir(directory);
        return std::move(opened.value());
    }();
    return *handle;
}

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct Reading {
    std::vector<std::string> events;  // lines handed over and records read, in order
    std::uint64_t lines = 0;
};

void take_window(sekvo::RegionLineReader& reader, Reading& reading, bool write) {
    sekvo::RecordWindow& window = reader.window();
    for (std::size_t i = 0; i < window.size(); ++i) {
        const std::string_view header = window.header(i);
        reading.events.push_back("record " + std::string(header));
        if (header == kAdded) continue;
        FUZZ_CHECK(header.ends_with(kSuffix));
        const std::string_view line = header.substr(0, header.size() - kSuffix.size());
        FUZZ_CHECK(sekvo::is_valid_utf8(reinterpret_cast<const unsigned char*>(line.data()), line.size()));
        const std::size_t colon = line.rfind(':');
        FUZZ_CHECK(colon != std::string_view::npos && fasta().contains(line.substr(0, colon)));
    }
    if (write) {
        static const sekvo::FileDescriptor null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        sekvo::OutputSink sink(null.get());
        sekvo::RecordLayout layout;
        layout.line_width = 3;
        FUZZ_CHECK(!window.write(fasta(), layout, sink));
        sink.flush();
        FUZZ_CHECK(sink.error() == 0);
    }
    window.clear();
}

Reading read_in_pieces(std::string_view text, std::size_t piece, bool reverse, bool write) {
    sekvo::RegionLineReader reader(fasta(), std::string(kSuffix), reverse);
    Reading reading;
    const auto read_fed = [&] {
        for (;;) {
            switch (reader.read()) {
            case sekvo::RegionLineReader::Stop::referred: {
                const std::string_view line = reader.referred();
                FUZZ_CHECK(!line.empty() && line.find('\n') == std::string_view::npos);
                FUZZ_CHECK(!is_ascii_space(line.front()) && !is_ascii_space(line.back()));
                reading.events.push_back("referred " + std::to_string(reader.line()) + " " + std::string(line));
                if (line.size() % 2 == 0) reader.add(kAdded, "c", 2, 5);
                break;
            }
            case sekvo::RegionLineReader::Stop::window_full:
                take_window(reader, reading, write);
                break;
            case sekvo::RegionLineReader::Stop::end:
                return;
            }
        }
    };
    for (std::size_t at = 0; at < text.size(); at += piece) {
        reader.feed(text.substr(at, piece));
        read_fed();
    }
    reader.finish();
    read_fed();
    take_window(reader, reading, write);
    reading.lines = reader.line();
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = 1 + (data[0] >> 1) % 37;
    const bool reverse = (data[0] & 1) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    const Reading whole = read_in_pieces(text, std::max<std::size_t>(text.size(), 1), reverse, true);
    const Reading pieces = read_in_pieces(text, piece, reverse, false);
    FUZZ_CHECK(whole.events == pieces.events);
    FUZZ_CHECK(whole.lines == pieces.lines);
    const auto feeds = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
    FUZZ_CHECK(whole.lines == feeds + (text.empty() || text.back() == '\n' ? 0 : 1));
    return 0;
}
