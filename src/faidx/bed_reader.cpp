#include "faidx/bed_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/posix_io.hpp"
#include "faidx/worker_pool.hpp"

namespace sekvo {

namespace {

bool is_blank(std::string_view line) {
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; });
}

bool is_interval(std::string_view line) {
    return !line.empty() && line[0] != '#' && !line.starts_with("track") && !line.starts_with("browser") &&
           !is_blank(line);
}

// A column as a whole number; the problem text when it is not one.
std::optional<std::string> parse_whole_number(std::string_view what, std::string_view text,
                                              std::uint64_t& out) {
    std::uint64_t value = 0;
    bool digits = !text.empty();
    bool overflow = false;
    for (char c : text) {
        if (c < '0' || c > '9') {
            digits = false;
            break;
        }
        overflow |= __builtin_mul_overflow(value, 10, &value) ||
                    __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value);
    }
    if (!digits) return std::string(what) + " '" + std::string(text) + "' is not a non-negative whole number";
    if (overflow) return std::string(what) + " '" + std::string(text) + "' is too large";
    out = value;
    return std::nullopt;
}

// Texts below this size are parsed on the calling thread.
constexpr std::size_t kParallelParseSize = std::size_t{1} << 20;

}  // namespace

std::string describe_bed_problem(std::string_view path, const BedProblem& problem) {
    return std::string(path) + ": line " + std::to_string(problem.line) + ": " + problem.message;
}

bool BedReader::read_line(std::string_view line) {
    if (problem_) return false;
    const std::uint64_t number = next_line_++;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!is_interval(line)) return true;

    std::string_view fields[6];
    std::size_t count = 0;
    std::size_t from = 0;
    while (count < 6) {
        const std::size_t tab = line.find('\t', from);
        fields[count++] = line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from);
        if (tab == std::string_view::npos) break;
        from = tab + 1;
    }
    if (count < 3) {
        problem_ = BedProblem{number, "expected at least 3 tab-separated columns (chrom, start, end)"};
        return false;
    }
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::optional<std::string> bad = parse_whole_number("start", fields[1], start);
    if (!bad) bad = parse_whole_number("end", fields[2], end);
    if (bad) {
        problem_ = BedProblem{number, std::move(*bad)};
        return false;
    }
    regions_.add_zero_based(fields[0], start, end);
    if (count > 3) regions_.set_label(fields[3]);
    if (count > 5 && fields[5].size() == 1) {
        if (fields[5][0] == '-') regions_.set_strand(Strand::reverse);
        else if (fields[5][0] == '+') regions_.set_strand(Strand::forward);
    }
    return true;
}

bool BedReader::feed(std::string_view piece) {
    if (problem_) return false;
    lines_.feed(piece);
    std::string_view line;
    while (lines_.next(line))
        if (!read_line(line)) return false;
    return true;
}

bool BedReader::finish() {
    if (problem_) return false;
    std::string_view line;
    return !lines_.finish(line) || read_line(line);
}

BedText parse_bed_text(std::string_view text) {
    // Parts end just after a line feed, so each holds whole lines.
    std::vector<std::string_view> parts;
    const std::size_t wanted = text.size() < kParallelParseSize ? 1 : pool_size() * 4;
    const std::size_t step = text.size() / wanted + 1;
    while (!text.empty()) {
        std::size_t cut = std::min(text.size(), step);
        const std::size_t feed = text.find('\n', cut - 1);
        cut = feed == std::string_view::npos ? text.size() : feed + 1;
        parts.push_back(text.substr(0, cut));
        text.remove_prefix(cut);
    }
    std::vector<BedReader> readers(parts.size());
    parallel_for_each_index(parts.size(), [&](std::size_t k) {
        readers[k].feed(parts[k]);
        readers[k].finish();
    });

    BedText result;
    std::uint64_t lines_before = 0;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (readers[k].problem()) {
            result.problem = *readers[k].problem();
            result.problem->line += lines_before;
            break;
        }
        if (k == 0) {
            result.regions = readers[0].take_regions();
            // Sized once for every part: appending part by part would grow
            // the columns by exactly each part, copying them all each time.
            std::size_t total = 0;
            for (BedReader& reader : readers) total += reader.regions().size();
            result.regions.reserve(total);
        } else {
            result.regions.append(readers[k].regions());
        }
        lines_before += static_cast<std::uint64_t>(std::count(parts[k].begin(), parts[k].end(), '\n'));
    }
    return result;
}

namespace {

Result<std::string> read_whole_file(const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.is_open()) return Error::io_from_errno(errno);
    std::string text;
    struct stat info {};
    if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode)) text.reserve(static_cast<std::size_t>(info.st_size));
    if (int error = read_all(file.get(), text); error != 0) return Error::io_from_errno(error);
    return text;
}

bool is_gzip(std::string_view data) {
    return data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0x1f &&
           static_cast<unsigned char>(data[1]) == 0x8b;
}

// Every gzip member of `data`, one after another.
Result<std::string> gunzip(std::string_view data) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return Error::io_custom("cannot start gzip decompression");
    std::string text;
    char block[1 << 16];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = 0;
    std::size_t left = data.size();
    int status = Z_OK;
    for (;;) {
        if (stream.avail_in == 0 && left > 0) {
            const std::size_t take = std::min<std::size_t>(left, 1u << 30);
            stream.avail_in = static_cast<uInt>(take);
            left -= take;
        }
        stream.next_out = reinterpret_cast<Bytef*>(block);
        stream.avail_out = sizeof block;
        status = inflate(&stream, Z_NO_FLUSH);
        text.append(block, sizeof block - stream.avail_out);
        if (status == Z_STREAM_END) {
            if (stream.avail_in == 0 && left == 0) break;
            inflateReset(&stream);  // another member follows
            continue;
        }
        if (status != Z_OK) {  // output room is always given: a buffer error means the input ended
            inflateEnd(&stream);
            if (status == Z_BUF_ERROR) return Error::io_custom("gzip-compressed BED file is truncated");
            return Error::io_custom(std::string("gzip-compressed BED file is corrupt: ") +
                                    (stream.msg != nullptr ? stream.msg : "inflate failed"));
        }
    }
    inflateEnd(&stream);
    return text;
}

}  // namespace

Result<BedText> read_bed_file(const std::string& path) {
    Result<std::string> raw = read_whole_file(path);
    if (!raw) return std::move(raw.error());
    if (!is_gzip(raw.value())) return parse_bed_text(raw.value());
    Result<std::string> text = gunzip(raw.value());
    if (!text) return std::move(text.error());
    std::string().swap(raw.value());  // the compressed bytes are no longer needed
    return parse_bed_text(text.value());
}

}  // namespace sekvo
