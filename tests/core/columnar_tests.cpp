// Columnar batches: the same residues, coordinates and failures as the
// parallel batch fetch for every region, in windows too; one-hot codes.
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "faidx/columnar_fetch.hpp"
#include "faidx/one_hot.hpp"
#include "faidx/retrieval.hpp"
#include "test_files.hpp"

using namespace sekvo;

namespace {

std::string random_residues(std::mt19937_64& random, std::size_t length) {
    static const char letters[] = "ACGTacgtNRY";
    std::string text(length, 'A');
    for (char& c : text) c = letters[random() % 11];
    return text;
}

struct Genome {
    core_test::TempDir dir;
    std::string path = dir / "g.fa";
    std::vector<std::string> names = {"chr1", "chr2", "a_record_name_longer_than_sso"};
    std::vector<std::string> residues;

    Genome() {
        std::mt19937_64 random(11);
        std::string text;
        for (std::size_t r = 0; r < names.size(); ++r) {
            residues.push_back(random_residues(random, 3000 + 977 * r));
            text += ">" + names[r] + "\n";
            for (std::size_t i = 0; i < residues[r].size(); i += 61) text += residues[r].substr(i, 61) + "\n";
        }
        core_test::write_file(path, text);
    }
};

RegionColumns random_regions(std::mt19937_64& random, const Genome& genome, std::size_t count, bool wild) {
    RegionColumns regions;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t r = random() % genome.names.size();
        const std::uint64_t length = genome.residues[r].size();
        std::uint64_t start = 1 + random() % length;
        std::uint64_t end = std::min(start + random() % 300, length);
        if (wild && random() % 10 == 0) {
            start = random() % (length + 20);  // 0, past the end, after end...
            end = random() % (length + 20);
        }
        regions.add(genome.names[r], start, end);
        regions.set_strand(random() % 2 ? Strand::reverse : Strand::forward);
    }
    return regions;
}

// Region i as the parallel batch fetch gives it, with `rc` applied.
SequenceValue expected(const IndexHandle& handle, const RegionColumns& regions, std::size_t i, bool rc) {
    Result<SequenceValue> value =
        complete(handle, plan_fetch_for_batch(handle, regions.name(i), regions.start(i), regions.end(i)));
    if (!value.ok()) {
        core_test::record_failure(__FILE__, __LINE__, value.error().display_text());
        throw core_test::RequireFailed{};
    }
    if (rc) reverse_complement_in_place(value.value());
    return value.take();
}

void check_same(const IndexHandle& handle, const RegionColumns& regions, const ColumnarBatch& batch,
                std::size_t begin, Orientation orientation) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::size_t g = begin + i;
        const bool rc = orientation == Orientation::reverse_all ||
                        (orientation == Orientation::by_strand && regions.strand(g) == Strand::reverse);
        const SequenceValue want = expected(handle, regions, g, rc);
        CHECK(batch.residues_of(i) == want.seq.view());
        const bool has = batch.value_flags[i] & ColumnarBatch::kHasCoordinates;
        CHECK_EQ(has, want.start.has_value());
        if (has && want.start) {
            CHECK_EQ(batch.value_starts[i], *want.start);
            CHECK_EQ(batch.value_ends[i], *want.end);
        }
        CHECK_EQ(bool(batch.value_flags[i] & ColumnarBatch::kComplement), want.comp);
    }
}

}  // namespace

CORE_TEST(columnar_batch_matches_parallel_fetch_across_settings) {
    Genome genome;
    std::mt19937_64 random(3);
    for (bool upper : {false, true}) {
        for (bool one_based : {false, true}) {
            for (bool raw : {false, true}) {
                auto handle = core_test::open_fasta(genome.path, [&](OpenOptions& o) {
                    o.sequence_always_upper = upper;
                    o.one_based_attributes = one_based;
                    o.as_raw = raw;
                });
                REQUIRE(handle.ok());
                for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{999}, std::size_t{1000},
                                          std::size_t{2500}}) {
                    RegionColumns regions = random_regions(random, genome, count, true);
                    for (Orientation orientation :
                         {Orientation::forward, Orientation::reverse_all, Orientation::by_strand}) {
                        Result<ColumnarBatch> batch = fetch_columns(*handle.value(), regions, orientation);
                        REQUIRE(batch.ok());
                        REQUIRE(batch.value().size() == count);
                        check_same(*handle.value(), regions, batch.value(), 0, orientation);
                    }
                }
            }
        }
    }
}

// Batches of many megabytes reuse the block of one released before: every
// byte of the new batch must be written over the old residues.
CORE_TEST(columnar_large_batches_after_one_another_hold_only_their_residues) {
    Genome genome;
    auto handle = core_test::open_fasta(genome.path);
    REQUIRE(handle.ok());
    std::mt19937_64 random(17);
    for (int round = 0; round < 3; ++round) {
        RegionColumns regions;
        for (int i = 0; i < 4000; ++i) {
            const std::size_t r = random() % genome.names.size();
            const std::uint64_t length = genome.residues[r].size();
            const std::uint64_t start = 1 + random() % 500;
            // Past the end in every tenth region: clamped, so shorter than asked.
            regions.add(genome.names[r], start, i % 10 == 0 ? length + 50 : length - random() % 400);
        }
        Result<ColumnarBatch> batch = fetch_columns(*handle.value(), regions, Orientation::reverse_all);
        REQUIRE(batch.ok());
        REQUIRE(batch.value().residues.size() > (std::size_t{8} << 20));
        check_same(*handle.value(), regions, batch.value(), 0, Orientation::reverse_all);
    }
}

CORE_TEST(columnar_windows_give_the_whole_batch_in_parts) {
    Genome genome;
    std::mt19937_64 random(5);
    auto handle = core_test::open_fasta(genome.path);
    REQUIRE(handle.ok());
    RegionColumns regions = random_regions(random, genome, 3000, false);
    Result<ColumnarBatch> whole = fetch_columns(*handle.value(), regions, Orientation::by_strand);
    REQUIRE(whole.ok());
    for (std::size_t begin = 0; begin < regions.size(); begin += 700) {
        Result<ColumnarBatch> part = fetch_columns(*handle.value(), regions, begin, begin + 700, Orientation::by_strand);
        REQUIRE(part.ok());
        for (std::size_t i = 0; i < part.value().size(); ++i)
            CHECK(part.value().residues_of(i) == whole.value().residues_of(begin + i));
    }
}

CORE_TEST(columnar_failures_name_the_first_bad_region_of_the_list) {
    Genome genome;
    std::mt19937_64 random(9);
    auto strict = core_test::open_fasta(genome.path, [](OpenOptions& o) { o.strict_bounds = true; });
    REQUIRE(strict.ok());
    RegionColumns regions = random_regions(random, genome, 2000, false);
    RegionColumns bad;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (i == 1500) bad.add("missing", 1, 2);
        else if (i == 1700) bad.add("chr1", 0, 5);
        else bad.add(regions.name(i), regions.start(i), regions.end(i));
    }
    Result<ColumnarBatch> all = fetch_columns(*strict.value(), bad, Orientation::forward);
    REQUIRE(!all.ok());
    CHECK(all.error().kind == ErrorKind::BatchFailed);
    CHECK_EQ(all.error().detail, std::string("Error fetching region 1500: Fetch error: Sequence 'missing' not found"));
    Result<ColumnarBatch> window = fetch_columns(*strict.value(), bad, 1600, 1800, Orientation::forward);
    REQUIRE(!window.ok());
    CHECK_EQ(window.error().detail,
             std::string("Error fetching region 1700: Invalid region: Invalid region chr1:0-5 (sequence length: 3000)"));
}

CORE_TEST(columnar_short_file_and_padding_take_the_single_region_way) {
    // The index claims more residues than the file holds.
    core_test::TempDir dir;
    const std::string path = dir / "short.fa";
    core_test::write_file(path, ">s\nACGTACGTAC\nGT\n");
    core_test::write_file(path + ".fai", "s\t40\t3\t10\t11\n");
    for (const char* filler : {static_cast<const char*>(nullptr), "N"}) {
        auto handle = core_test::open_fasta(path, [&](OpenOptions& o) {
            o.build_index = false;
            o.rebuild = false;
            if (filler) o.default_seq = std::string(filler);
        });
        REQUIRE(handle.ok());
        RegionColumns regions;
        for (std::uint64_t start = 1; start < 40; start += 3) regions.add("s", start, start + 9);
        for (Orientation orientation : {Orientation::forward, Orientation::reverse_all}) {
            Result<ColumnarBatch> batch = fetch_columns(*handle.value(), regions, orientation);
            REQUIRE(batch.ok());
            check_same(*handle.value(), regions, batch.value(), 0, orientation);
        }
    }
}

CORE_TEST(one_hot_codes_letters_without_case) {
    Genome genome;
    auto handle = core_test::open_fasta(genome.path);
    REQUIRE(handle.ok());
    std::mt19937_64 random(13);
    RegionColumns regions;
    for (int i = 0; i < 700; ++i) {
        const std::uint64_t start = 1 + random() % 2000;
        regions.add(genome.names[i % 3], start, start + 49);
    }
    Result<ColumnarBatch> batch = fetch_columns(*handle.value(), regions, Orientation::forward);
    REQUIRE(batch.ok());
    REQUIRE(batch.value().common_length() == std::optional<std::size_t>(50));
    const std::string alphabet = "ACgT";
    ByteBuffer codes = one_hot(batch.value(), 50, alphabet);
    REQUIRE(codes.size() == 700 * 50 * 4);
    for (std::size_t i = 0; i < 700; ++i) {
        const std::string_view residues = batch.value().residues_of(i);
        for (std::size_t j = 0; j < 50; ++j) {
            for (std::size_t k = 0; k < 4; ++k) {
                const bool same = std::toupper(residues[j]) == std::toupper(alphabet[k]);
                CHECK_EQ(int(codes.data()[(i * 50 + j) * 4 + k]), same ? 1 : 0);
            }
        }
    }
    CHECK(one_hot_alphabet_problem("ACGT") == std::nullopt);
    CHECK(one_hot_alphabet_problem("") == std::optional<std::string>("alphabet must not be empty"));
    CHECK(one_hot_alphabet_problem("ACGa") == std::optional<std::string>("alphabet has the letter 'a' twice"));
}
