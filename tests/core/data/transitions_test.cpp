#include "core/data/transitions.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;

template <class S>
class Transitions : public ::testing::Test {};
TYPED_TEST_SUITE(Transitions, Scalars);

template <Scalar S>
using Jumps = std::vector<JumpParameters<S>>;
template <Scalar S>
using Seg = SegmentationData<S>;

constexpr std::int32_t int32_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int32_min = std::numeric_limits<std::int32_t>::min();
const char* kWeight = "transition weights must be finite and nonnegative";

template <Scalar S>
std::vector<Jumps<S>> lists_of(const Seg<S>& segmentation) {
    const IncomingJumps<S> incoming = build_incoming(segmentation);
    std::vector<Jumps<S>> lists;
    for (std::size_t p = 0; p < incoming.size(); ++p)
        lists.emplace_back(incoming[p].begin(), incoming[p].end());
    return lists;
}

// The incoming lists grown one jump at a time, straight from their definition.
template <Scalar S>
std::vector<Jumps<S>> reference_incoming(const Seg<S>& segmentation) {
    const auto n = static_cast<std::int64_t>(segmentation.segment_count());
    std::vector<Jumps<S>> lists(static_cast<std::size_t>(n), Jumps<S>{{-1, S(1)}});
    for (std::int64_t source = 0; source < n; ++source) {
        for (const auto& jump : segmentation.outgoing[static_cast<std::size_t>(source)]) {
            const std::int64_t target = source + jump.delta;
            if (target < 0 || target >= n) continue;
            auto& list = lists[static_cast<std::size_t>(target)];
            if (jump.delta == 1) {
                list.back().probability = jump.probability;
            } else {
                list.insert(list.end() - 1,
                            {static_cast<std::int32_t>(-jump.delta), jump.probability});
            }
        }
    }
    return lists;
}

TYPED_TEST(Transitions, IncomingListExamples) {
    using S = TypeParam;
    EXPECT_EQ(build_transitions(Seg<S>::create(1, 0)).incoming.size(), 0u);
    auto single = Seg<S>::create(1, 1);
    single.outgoing[0] = {{1, S(0.3)}};  // the advance leaves the chain
    EXPECT_EQ(lists_of(single), (std::vector<Jumps<S>>{{{-1, S(1)}}}));

    auto three = Seg<S>::create(2, 3);
    three.outgoing[0] = {{2, S(0.2)}, {1, S(0.8)}};
    three.outgoing[1] = {{0, S(0)}, {1, S(0.6)}};
    three.boundaries = {4, 2, 7};
    const auto graph = build_transitions(three);
    EXPECT_EQ(graph.incoming, build_incoming(three));
    EXPECT_EQ(lists_of(three),
              (std::vector<Jumps<S>>{
                  {{-1, S(1)}}, {{0, S(0)}, {-1, S(0.8)}}, {{-2, S(0.2)}, {-1, S(0.6)}}}));
    EXPECT_EQ(graph.segmentation, three);
}

// Random chains grown with add_jump, including deltas whose targets leave the chain (the
// extreme deltas are sign-extended, never overflowed).
TYPED_TEST(Transitions, IncomingListsMatchDefinition) {
    using S = TypeParam;
    std::mt19937 random(12345);
    const std::int32_t deltas[] = {-3, -2, -1, 0, 2, 3, 5, 1, int32_min, int32_max};
    std::uniform_int_distribution<int> pick_delta(0, std::size(deltas) - 1);
    std::uniform_real_distribution<double> pick_weight(0.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t positions = static_cast<std::size_t>(trial % 13);
        auto segmentation = Seg<S>::create(1, positions);
        for (std::size_t source = 0; source < positions; ++source) {
            for (int j = static_cast<int>(random() % 5); j > 0; --j) {
                add_jump(segmentation, source, deltas[pick_delta(random)],
                         static_cast<S>(pick_weight(random)));
            }
        }
        ASSERT_EQ(lists_of(segmentation), reference_incoming(segmentation)) << "trial " << trial;
    }
}

TYPED_TEST(Transitions, BuildChecksInOrder) {
    using S = TypeParam;
    const auto weighted = [](std::int32_t delta, S weight) {
        return [=](Seg<S>& s) { s.outgoing[2] = {{delta, weight}, {1, S(1)}}; };
    };
    // The weight check runs before the target is looked at.
    expect_rows<Seg<S>>(
        Seg<S>::create(2, 3), [](const Seg<S>& s) { build_incoming(s); },
        {{[](Seg<S>& s) {
              s.output_states[1].pop_back(), s.outgoing[0] = {{1, nan<S>}, {1, nan<S>}};
          },
          "segmentation arrays have inconsistent lengths"},
         {[](Seg<S>& s) { s.outgoing[0] = {{1, nan<S>}}, s.outgoing[1] = {{2, S(1)}}; },
          "outgoing jumps must terminate with a single delta-1 transition"},
         {weighted(4, nan<S>), kWeight},  // the target lies outside the chain
         {[](Seg<S>& s) { s.outgoing[2] = {{1, nan<S>}}; }, kWeight},
         {weighted(-1, inf<S>), kWeight},
         {weighted(-1, S(-1)), kWeight},
         {weighted(-2, -std::numeric_limits<S>::denorm_min()), kWeight},
         {weighted(-2, S(-0.0)), "no error"},
         {weighted(0, S(0)), "no error"}});
}

TYPED_TEST(Transitions, AddJump) {
    using S = TypeParam;
    auto segmentation = Seg<S>::create(1, 3);
    add_jump(segmentation, 0, 2, S(0.5));
    add_jump(segmentation, 0, 1, S(0.25));  // only the final jump's weight changes
    add_jump(segmentation, 0, 2, S(0.1));
    add_jump(segmentation, 1, 3, S(0.7));
    EXPECT_EQ(segmentation.outgoing[0], (Jumps<S>{{2, S(0.5)}, {2, S(0.1)}, {1, S(0.25)}}));
    EXPECT_EQ(segmentation.outgoing[1], (Jumps<S>{{3, S(0.7)}, {1, S(1)}}));
    EXPECT_EQ(lists_of(segmentation),
              (std::vector<Jumps<S>>{
                  {{-1, S(1)}}, {{-1, S(0.25)}}, {{-2, S(0.5)}, {-2, S(0.1)}, {-1, S(1)}}}));
    // Targets outside the chain are stored and later ignored, never overflowed.
    const auto lists = lists_of(segmentation);
    add_jump(segmentation, 2, int32_max, S(0.5));
    add_jump(segmentation, 1, int32_min, S(0.5));
    EXPECT_EQ(segmentation.outgoing[2], (Jumps<S>{{int32_max, S(0.5)}, {1, S(1)}}));
    EXPECT_EQ(lists_of(segmentation), lists);

    // Every failure leaves the segmentation unchanged; the weight is checked before the source.
    const auto add = [](
                         std::size_t source, std::int32_t delta, S weight,
                         void (*edit)(Seg<S>&) = [](Seg<S>&) {}) {
        return [=] {
            auto edited = Seg<S>::create(1, 3);
            edit(edited);
            const auto before = edited;
            try {
                add_jump(edited, source, delta, weight);
            } catch (const ModelError&) {
                EXPECT_EQ(edited, before);
                throw;
            }
        };
    };
    expect_messages({{add(9, 2, S(-1), [](Seg<S>& s) { s.boundaries.push_back(0); }),
                      "segmentation arrays have inconsistent lengths"},
                     {add(9, 2, S(-1), [](Seg<S>& s) { s.outgoing[2].clear(); }),
                      "outgoing jumps must terminate with a single delta-1 transition"},
                     {add(3, 1, S(-1)), kWeight},
                     {add(0, 2, nan<S>), kWeight},
                     // 1e300 rounds to infinity in 32 bits.
                     {add(0, 2, static_cast<S>(1e300)), sizeof(S) == 4 ? kWeight : "no error"},
                     {add(3, 1, S(1)), "jump source is out of range"},
                     {add(0, 1, S(-0.0)), "no error"}});
}

}  // namespace
}  // namespace tarvek
