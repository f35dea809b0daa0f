// Passes whose tables take the blocks that earlier calls left in the shared cache: a larger
// kept block serves a smaller table, a block one value too short is grown or serves none, a
// table freed by one pass is taken by the next, and the results
// are those computed on fresh blocks, bit for bit. The kept blocks hold stale bytes, so a pass
// that reads what it did not write, or past its table's end, shows here (and under
// AddressSanitizer, as a report).

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <vector>

#include "core/inference/geometric.hpp"
#include "core/inference/hsmm.hpp"
#include "core/numerics/address_sanitizer.hpp"
#include "inference/geometric_test_support.hpp"
#include "inference/hsmm_test_support.hpp"
#include "kept_blocks.hpp"

namespace tarvek {
namespace {

using testing::plant_block;
using testing::same_bits;

constexpr std::uint64_t positions = 40;
// The frames of the table a larger block serves, of the block's own, and of the table a
// block one value shorter must not serve.
constexpr std::uint64_t served_frames = 1500, kept_frames = 2000, refused_frames = 1000;

template <class S>
std::size_t table_bytes(std::uint64_t frames) {
    return frames * positions * sizeof(S);
}

template <class S>
struct Inputs {
    ModelParameters<S> model;
    SegmentationData<S> segmentation;
    StateScoreTable<S> emissions;
};

template <class S>
Inputs<S> inputs(std::uint64_t frames) {
    std::mt19937_64 random(frames);
    return {geometric_testing::chain_model<S>(std::vector<double>(positions, frames / positions)),
            geometric_testing::chain_segmentation<S>(positions, frames),
            geometric_testing::random_table<S>(random, frames, positions, -6.0, 0.5)};
}

template <class S>
using Tables = std::vector<StateScoreTable<S>>;

// Moved in, so that each keeps the block the pass gave it.
template <class S, class... Made>
Tables<S> tables_of(Made&&... made) {
    Tables<S> tables;
    (tables.push_back(std::move(made)), ...);
    return tables;
}

template <class S>
struct Pass {
    const char* name;
    std::function<Tables<S>(const Inputs<S>&)> run;
};

template <class S>
std::vector<Pass<S>> passes() {
    const S temperature = 1, slope = S(0.2);
    const HsmmOptions<S> options;
    return {{"geometric forward",
             [=](const Inputs<S>& in) {
                 return tables_of<S>(forward_geometric(in.model, in.segmentation, in.emissions,
                                                       temperature, slope));
             }},
            {"geometric backward",
             [=](const Inputs<S>& in) {
                 return tables_of<S>(backward_geometric(in.model, in.segmentation, in.emissions,
                                                        temperature, slope));
             }},
            {"HSMM forward",
             [=](const Inputs<S>& in) {
                 auto tables = search_hsmm(in.model, in.segmentation, in.emissions, options, false);
                 return tables_of<S>(std::move(tables.begin), std::move(tables.end));
             }},
            {"HSMM backward", [=](const Inputs<S>& in) {
                 auto tables = backward_hsmm_with(in.model, in.segmentation, in.emissions, options);
                 return tables_of<S>(std::move(tables.begin), std::move(tables.end));
             }}};
}

template <class S>
bool takes(const Tables<S>& tables, const void* block) {
    for (const auto& table : tables) {
        if (table.values.data() == block) return true;
    }
    return false;
}

template <class S>
bool same_tables(const Tables<S>& a, const Tables<S>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) return false;
    }
    return true;
}

template <class S>
class KeptBlockPasses : public ::testing::Test {};
TYPED_TEST_SUITE(KeptBlockPasses, testing::Scalars);

TYPED_TEST(KeptBlockPasses, MatchThePassesOnFreshBlocks) {
    using S = TypeParam;
    // Built first: the growth of their tables would take the planted blocks.
    const Inputs<S> served_inputs = inputs<S>(served_frames);
    const Inputs<S> refused_inputs = inputs<S>(refused_frames);
    for (const Pass<S>& pass : passes<S>()) {
        BlockCache::shared().release();
        const Tables<S> fresh_served = pass.run(served_inputs);
        BlockCache::shared().release();
        const Tables<S> fresh_refused = pass.run(refused_inputs);

        const void* const larger = plant_block(table_bytes<S>(kept_frames));
        const Tables<S> served = pass.run(served_inputs);
        EXPECT_TRUE(takes(served, larger)) << pass.name;
        EXPECT_TRUE(same_tables(served, fresh_served)) << pass.name;

        plant_block(table_bytes<S>(refused_frames) - sizeof(S));
        // Grown, wherever the grown block lies.
        const Tables<S> refused = pass.run(refused_inputs);
        EXPECT_TRUE(same_tables(refused, fresh_refused)) << pass.name;

        // The previous call's tables freed just before: kept, or waiting poisoned under the
        // sanitizer, where a pass that still read them would be reported.
        const void* dropped = nullptr;
        {
            const Tables<S> previous = pass.run(served_inputs);
            dropped = previous.front().values.data();
        }
        const Tables<S> next = pass.run(refused_inputs);
        if (!address_sanitizer) {
            EXPECT_TRUE(takes(next, dropped)) << pass.name;
        }
        EXPECT_TRUE(same_tables(next, fresh_refused)) << pass.name;
    }
    BlockCache::shared().release();
}

}  // namespace
}  // namespace tarvek
