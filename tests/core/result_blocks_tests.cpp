// Batch result blocks: a block goes back when its last result does, a kept
// result pins its own block only, and results never share bytes.
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "faidx/result_blocks.hpp"
#include "sequence/residues.hpp"

using namespace sekvo;

namespace {

// `count` results of `size` bytes each, filled with their index.
std::vector<Residues> carve_results(std::size_t count, std::size_t size) {
    ResultBlocks blocks;
    ResultBlocks::Slab slab;
    std::vector<Residues> results;
    for (std::size_t i = 0; i < count; ++i) {
        ResultBlocks::Block* owner = nullptr;
        char* target = slab.carve(blocks, size, owner);
        if (target == nullptr) break;
        std::memset(target, 'a' + static_cast<int>(i % 26), size);
        results.push_back(Residues::lend(target, size, owner, ResultBlocks::release));
    }
    return results;
}

}  // namespace

CORE_TEST(result_blocks_go_back_with_their_last_result) {
    const std::size_t before = ResultBlocks::live_blocks();
    {
        // 3000 results of 1000 bytes: two blocks at least.
        std::vector<Residues> results = carve_results(3000, 1000);
        REQUIRE(results.size() == 3000);
        CHECK(ResultBlocks::live_blocks() - before >= 2);
        bool intact = true;
        for (std::size_t i = 0; i < results.size(); ++i)
            intact = intact && results[i].view() == std::string(1000, static_cast<char>('a' + i % 26));
        CHECK(intact);

        // Keeping the last result alone keeps its block and no other.
        Residues kept = std::move(results.back());
        results.clear();
        CHECK_EQ(ResultBlocks::live_blocks() - before, std::size_t{1});
        CHECK(kept.view() == std::string(1000, static_cast<char>('a' + 2999 % 26)));
        // A copy owns its bytes and pins nothing.
        Residues copy = kept;
        kept = Residues();
        CHECK_EQ(ResultBlocks::live_blocks(), before);
        CHECK(copy.owner() == nullptr && copy.size() == 1000);
    }
    CHECK_EQ(ResultBlocks::live_blocks(), before);
}

CORE_TEST(result_blocks_undo_and_oversized_requests) {
    const std::size_t before = ResultBlocks::live_blocks();
    {
        ResultBlocks blocks;
        ResultBlocks::Slab slab;
        ResultBlocks::Block* owner = nullptr;
        CHECK(slab.carve(blocks, ResultBlocks::kMaxResult + 1, owner) == nullptr);
        char* first = slab.carve(blocks, 100, owner);
        REQUIRE(first != nullptr);
        slab.undo(first);                       // not used: its space is carved again
        CHECK(slab.carve(blocks, 50, owner) == first);
        Residues kept = Residues::lend(first, 50, owner, ResultBlocks::release);
        slab.close();
        CHECK(ResultBlocks::live_blocks() > before);
    }
    CHECK_EQ(ResultBlocks::live_blocks(), before);
}
