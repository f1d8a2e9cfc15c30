// Parallel batch fetch: results in input order, and the first failure in
// input order whichever thread meets it first.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "faidx/batch.hpp"

using namespace sekvo;

namespace {

// A FASTA file in a fresh temporary directory, removed with the object.
class TempFasta {
public:
    explicit TempFasta(const std::string& text) {
        char pattern[] = "/tmp/sekvo-batch-XXXXXX";
        directory_ = mkdtemp(pattern);
        path_ = directory_ + "/test.fa";
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~TempFasta() { std::filesystem::remove_all(directory_); }
    TempFasta(const TempFasta&) = delete;
    TempFasta& operator=(const TempFasta&) = delete;
    const std::string& path() const { return path_; }

    std::unique_ptr<IndexHandle> open(bool strict = false, bool mutable_file = false) const {
        OpenOptions options;
        options.filename = path_;
        options.strict_bounds = strict;
        options.mutable_file = mutable_file;
        auto handle = IndexHandle::open(options);
        if (!handle.ok()) {
            core_test::record_failure(__FILE__, __LINE__, handle.error().exception_message());
            throw core_test::RequireFailed{};
        }
        return std::move(handle.take());
    }

private:
    std::string directory_;
    std::string path_;
};

std::string with_line_width(const std::string& residues, std::size_t width) {
    std::string lines;
    for (std::size_t i = 0; i < residues.size(); i += width) lines += residues.substr(i, width) + "\n";
    return lines;
}

std::string random_residues(std::mt19937_64& random, std::size_t length) {
    static const char letters[] = "ACGTacgtN";
    std::string text(length, 'A');
    for (char& c : text) c = letters[random() % 9];
    return text;
}

std::string chr1_residues() {
    std::string text;
    for (int i = 0; i < 100; ++i) text += "ACGT"[i % 4];
    return text;
}

}  // namespace

CORE_TEST(batch_results_follow_input_order) {
    std::mt19937_64 random(20240607);
    const std::vector<std::string> names = {"chr1", "chr2", "a_much_longer_record_name_x"};
    std::vector<std::string> residues;
    std::string text;
    for (std::size_t r = 0; r < names.size(); ++r) {
        residues.push_back(random_residues(random, 50000 + 7919 * r));
        text += ">" + names[r] + " description\n" + with_line_width(residues[r], 60 + r);
    }
    TempFasta fasta(text);

    const std::size_t count = 200000;
    std::vector<NamedRegion> regions;
    regions.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t r = random() % names.size();
        const std::uint64_t length = 50 + random() % 951;
        const std::uint64_t start = 1 + random() % (residues[r].size() - length);
        regions.push_back({names[r], start, start + length - 1});
    }
    auto matches = [&](const std::vector<SequenceValue>& values, std::size_t n) {
        if (values.size() != n) return false;
        for (std::size_t i = 0; i < n; ++i) {
            const NamedRegion& region = regions[i];
            const std::size_t r = std::find(names.begin(), names.end(), region.name) - names.begin();
            const SequenceValue& value = values[i];
            if (value.name != region.name || value.start != region.start || value.end != region.end ||
                value.seq != residues[r].substr(region.start - 1, region.end - region.start + 1))
                return false;
        }
        return true;
    };

    for (bool mutable_file : {false, true}) {
        auto handle = fasta.open(/*strict=*/true, mutable_file);
        const auto began = std::chrono::steady_clock::now();
        auto result = fetch_many(*handle, regions);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
        std::fprintf(stderr, "  %zu regions (%s): %.3f s\n", count,
                     mutable_file ? "file reads" : "mapping", took.count());
        REQUIRE(result.ok());
        CHECK(matches(result.value(), count));
    }

    // The same-record variant, on the first record only.
    std::vector<Span> spans;
    for (const NamedRegion& region : regions)
        if (region.name == names[0]) spans.push_back({region.start, region.end});
    auto handle = fasta.open(/*strict=*/true);
    auto same = fetch_many_same_chr(*handle, names[0], spans);
    REQUIRE(same.ok());
    REQUIRE(same.value().size() == spans.size());
    bool all_match = true;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        all_match = all_match && same.value()[i].seq == residues[0].substr(spans[i].start - 1,
                                                                            spans[i].end - spans[i].start + 1);
    }
    CHECK(all_match);
}

CORE_TEST(batch_reports_first_failure_in_input_order) {
    TempFasta fasta(">chr1\n" + with_line_width(chr1_residues(), 60));
    auto handle = fasta.open();
    struct Case {
        std::size_t count;
        std::vector<std::size_t> missing;
        const char* expected;
    };
    // Failures in different chunks: whichever thread meets one first, the
    // lowest position wins.
    const Case cases[] = {
        {1000, {999, 3}, "Error fetching region 3: Fetch error: Sequence 'chrZ' not found"},
        {200000, {199999, 150000, 7}, "Error fetching region 7: Fetch error: Sequence 'chrZ' not found"},
        {200000, {199999}, "Error fetching region 199999: Fetch error: Sequence 'chrZ' not found"},
    };
    for (const Case& c : cases) {
        std::vector<NamedRegion> regions(c.count, {"chr1", 1, 10});
        for (std::size_t position : c.missing) regions[position].name = "chrZ";
        auto result = fetch_many(*handle, regions);
        REQUIRE(!result.ok());
        CHECK(result.error().kind == ErrorKind::BatchFailed);
        CHECK_EQ(result.error().detail, std::string(c.expected));
    }
}

namespace {

// Buffers filled as they are given, as the Python layer's: records the
// order in which they are asked for.
class EveryRegionBuffers final : public ResultBuffers {
public:
    explicit EveryRegionBuffers(std::size_t count) : texts_(count) {}
    std::size_t min_size() const override { return 300; }
    char* provide(std::size_t index, std::size_t size) override {
        in_order_ = in_order_ && (asked_.empty() || asked_.back() < index);
        asked_.push_back(index);
        texts_[index].assign(size, '\0');
        return texts_[index].data();
    }
    bool in_order() const { return in_order_; }
    const std::string& text(std::size_t index) const { return texts_[index]; }

private:
    std::vector<std::string> texts_;
    std::vector<std::size_t> asked_;
    bool in_order_ = true;
};

}  // namespace

CORE_TEST(batch_fills_buffers_as_they_are_given) {
    std::mt19937_64 random(7);
    const std::string residues = random_residues(random, 30000) + "\xc3\xa9" + random_residues(random, 100);
    TempFasta fasta(">chr1\n" + with_line_width(residues, 61));
    auto handle = fasta.open();
    std::vector<NamedRegion> regions;
    for (std::size_t i = 0; i < 5000; ++i) {
        const std::uint64_t start = 1 + random() % (residues.size() - 1);
        regions.push_back({"chr1", start, start + random() % 1200});  // some past the end, some not ASCII, some small
    }
    EveryRegionBuffers buffers(regions.size());
    auto result = fetch_many_into(*handle, regions, buffers);
    REQUIRE(result.ok());
    CHECK(buffers.in_order());
    auto expected = fetch_many(*handle, regions);
    REQUIRE(expected.ok());
    std::vector<bool> in_buffer(regions.size(), false);
    for (std::size_t i : result.value().in_buffer) in_buffer[i] = true;
    bool all_match = true;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const std::string_view got = in_buffer[i] ? std::string_view(buffers.text(i))
                                                  : result.value().values[i].seq.view();
        all_match = all_match && got == expected.value()[i].seq.view() &&
                    result.value().values[i].end == expected.value()[i].end;
    }
    CHECK(all_match);

    regions[4321].name = "chrZ";
    EveryRegionBuffers failing(regions.size());
    auto failed = fetch_many_into(*handle, regions, failing);
    REQUIRE(!failed.ok());
    CHECK_EQ(failed.error().detail, std::string("Error fetching region 4321: Fetch error: Sequence 'chrZ' not found"));
}

CORE_TEST(batch_names_a_region_that_fails_while_waiting_for_its_buffer) {
    // 1000 small regions copied at once, then 1000 that wait for a buffer;
    // the file loses its end before the fetch, so only waiting ones fail,
    // and the one named must be a waiting one, from the 1500th on.
    std::mt19937_64 random(11);
    TempFasta fasta(">chr1\n" + with_line_width(random_residues(random, 600000), 60));
    auto handle = fasta.open();
    std::vector<NamedRegion> regions;
    for (std::uint64_t i = 0; i < 1000; ++i) regions.push_back({"chr1", 1 + i * 100, 100 + i * 100});
    for (std::uint64_t i = 0; i < 1000; ++i) regions.push_back({"chr1", 200001 + i * 400, 200400 + i * 400});
    std::filesystem::resize_file(fasta.path(), 6 + 400000 / 60 * 61);  // residues past 400,000 are gone
    EveryRegionBuffers buffers(regions.size());
    auto failed = fetch_many_into(*handle, regions, buffers);
    REQUIRE(!failed.ok());
    const std::string& detail = failed.error().detail;
    const std::string prefix = "Error fetching region ";
    REQUIRE(detail.starts_with(prefix));
    const unsigned long position = std::stoul(detail.substr(prefix.size()));
    CHECK(position >= 1000 && position <= 1500);
}
