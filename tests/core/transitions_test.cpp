#include "core/transitions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "data_test_support.hpp"

namespace tarvek {
namespace {

using testing_support::expect_cases;
using testing_support::failure_of;

template <class S>
class TransitionsTest : public ::testing::Test {};
using Scalars = ::testing::Types<float, double>;
TYPED_TEST_SUITE(TransitionsTest, Scalars);

template <Scalar S>
using Jumps = std::vector<JumpParameters<S>>;

constexpr std::int32_t int32_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int32_min = std::numeric_limits<std::int32_t>::min();

template <Scalar S>
std::vector<Jumps<S>> lists_of(const IncomingJumps<S>& incoming) {
    std::vector<Jumps<S>> lists;
    for (std::size_t p = 0; p < incoming.size(); ++p) {
        lists.emplace_back(incoming[p].begin(), incoming[p].end());
    }
    return lists;
}

// The incoming lists grown one jump at a time, straight from their definition.
template <Scalar S>
std::vector<Jumps<S>> reference_incoming(const SegmentationData<S>& segmentation) {
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

TYPED_TEST(TransitionsTest, IncomingListExamples) {
    using S = TypeParam;
    EXPECT_EQ(build_transitions(SegmentationData<S>::create(1, 0)).incoming.size(), 0u);

    auto single = SegmentationData<S>::create(1, 1);
    single.outgoing[0] = {{1, S(0.3)}};
    EXPECT_EQ(lists_of(build_incoming(single)), (std::vector<Jumps<S>>{{{-1, S(1)}}}));

    auto three = SegmentationData<S>::create(2, 3);
    three.outgoing[0] = {{2, S(0.2)}, {1, S(0.8)}};
    three.outgoing[1] = {{0, S(0)}, {1, S(0.6)}};
    three.boundaries = {4, 2, 7};
    const auto graph = build_transitions(three);
    EXPECT_EQ(lists_of(graph.incoming),
              (std::vector<Jumps<S>>{
                  {{-1, S(1)}}, {{0, S(0)}, {-1, S(0.8)}}, {{-2, S(0.2)}, {-1, S(0.6)}}}));
    EXPECT_EQ(graph.segmentation, three);
}

// Random chains grown with add_jump, including deltas whose targets leave the chain.
TYPED_TEST(TransitionsTest, IncomingListsMatchDefinition) {
    using S = TypeParam;
    std::mt19937 random(12345);
    const std::int32_t deltas[] = {-3, -2, -1, 0, 2, 3, 5, 1, int32_min, int32_max};
    std::uniform_int_distribution<int> pick_delta(0, std::size(deltas) - 1);
    std::uniform_real_distribution<double> pick_weight(0.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t positions = static_cast<std::size_t>(trial % 13);
        auto segmentation = SegmentationData<S>::create(1, positions);
        for (std::size_t source = 0; source < positions; ++source) {
            for (int j = static_cast<int>(random() % 5); j > 0; --j) {
                add_jump(segmentation, source, deltas[pick_delta(random)],
                         static_cast<S>(pick_weight(random)));
            }
        }
        ASSERT_EQ(lists_of(build_incoming(segmentation)), reference_incoming(segmentation))
            << "trial " << trial;
    }
}

TYPED_TEST(TransitionsTest, BuildTransitionsCheckOrder) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const auto build = [](std::function<void(SegmentationData<S>&)> edit) {
        return [=] {
            auto segmentation = SegmentationData<S>::create(2, 3);
            edit(segmentation);
            return failure_of([&] { build_incoming(segmentation); });
        };
    };
    const auto with_weight = [&](std::int32_t delta, S weight) {
        return build([=](auto& s) { s.outgoing[2] = {{delta, weight}, {1, S(1)}}; });
    };
    const char* weight = "transition weights must be finite and nonnegative";
    expect_cases({
        {"lengths before jumps and weights", build([&](auto& s) {
             s.output_states[1].pop_back();
             s.outgoing[0] = {{1, nan}, {1, nan}};
         }),
         "segmentation arrays have inconsistent lengths"},
        {"jump rule before weights", build([&](auto& s) {
             s.outgoing[0] = {{1, nan}};
             s.outgoing[1] = {{2, S(1)}};
         }),
         "outgoing jumps must terminate with a single delta-1 transition"},
        {"NaN weight on a jump leaving the chain", with_weight(4, nan), weight},
        {"NaN weight on the last advance", build([&](auto& s) { s.outgoing[2] = {{1, nan}}; }),
         weight},
        {"infinite weight", with_weight(-1, std::numeric_limits<S>::infinity()), weight},
        {"negative weight", with_weight(-1, S(-1)), weight},
        {"negative subnormal weight", with_weight(-2, -std::numeric_limits<S>::denorm_min()),
         weight},
        {"negative zero weight", with_weight(-2, S(-0.0)), ""},
        {"zero weight", with_weight(0, S(0)), ""},
    });
}

TYPED_TEST(TransitionsTest, AddJumpEditsOutgoingLists) {
    using S = TypeParam;
    auto segmentation = SegmentationData<S>::create(1, 3);
    add_jump(segmentation, 0, 2, S(0.5));
    EXPECT_EQ(segmentation.outgoing[0], (Jumps<S>{{2, S(0.5)}, {1, S(1)}}));
    add_jump(segmentation, 0, 1, S(0.25));
    EXPECT_EQ(segmentation.outgoing[0], (Jumps<S>{{2, S(0.5)}, {1, S(0.25)}}));
    EXPECT_EQ(lists_of(build_incoming(segmentation)),
              (std::vector<Jumps<S>>{{{-1, S(1)}}, {{-1, S(0.25)}}, {{-2, S(0.5)}, {-1, S(1)}}}));

    add_jump(segmentation, 0, 2, S(0.1));
    EXPECT_EQ(segmentation.outgoing[0], (Jumps<S>{{2, S(0.5)}, {2, S(0.1)}, {1, S(0.25)}}));
    add_jump(segmentation, 1, 3, S(0.7));
    EXPECT_EQ(segmentation.outgoing[1], (Jumps<S>{{3, S(0.7)}, {1, S(1)}}));

    // Targets outside the chain are stored and later ignored, the extreme deltas included.
    auto outside = SegmentationData<S>::create(1, 3);
    add_jump(outside, 0, -1, S(0.5));
    add_jump(outside, 0, 7, S(0.5));
    add_jump(outside, 2, int32_max, S(0.5));
    add_jump(outside, 1, int32_min, S(0.5));
    EXPECT_EQ(outside.outgoing[0], (Jumps<S>{{-1, S(0.5)}, {7, S(0.5)}, {1, S(1)}}));
    EXPECT_EQ(outside.outgoing[2], (Jumps<S>{{int32_max, S(0.5)}, {1, S(1)}}));
    EXPECT_EQ(lists_of(build_incoming(outside)), (std::vector<Jumps<S>>(3, Jumps<S>{{-1, S(1)}})));
}

TYPED_TEST(TransitionsTest, AddJumpCheckOrder) {
    using S = TypeParam;
    const auto add = [](std::function<void(SegmentationData<S>&)> edit, std::size_t source,
                        std::int32_t delta, S weight) {
        return [=] {
            auto segmentation = SegmentationData<S>::create(1, 3);
            edit(segmentation);
            const auto before = segmentation;
            const auto message = failure_of([&] { add_jump(segmentation, source, delta, weight); });
            if (!message.empty()) {
                EXPECT_EQ(segmentation, before) << message;
            }
            return message;
        };
    };
    const auto unchanged = [](SegmentationData<S>&) {};
    const char* weight = "transition weights must be finite and nonnegative";
    expect_cases({
        {"lengths first", add([](auto& s) { s.boundaries.push_back(0); }, 9, 2, S(-1)),
         "segmentation arrays have inconsistent lengths"},
        {"jump rule", add([](auto& s) { s.outgoing[2].clear(); }, 9, 2, S(-1)),
         "outgoing jumps must terminate with a single delta-1 transition"},
        {"weight before source", add(unchanged, 3, 1, S(-1)), weight},
        {"NaN weight", add(unchanged, 0, 2, std::numeric_limits<S>::quiet_NaN()), weight},
        // 1e300 rounds to infinity in 32 bits.
        {"large weight", add(unchanged, 0, 2, static_cast<S>(1e300)),
         std::is_same_v<S, float> ? weight : ""},
        {"source out of range", add(unchanged, 3, 1, S(1)), "jump source is out of range"},
        {"negative zero weight", add(unchanged, 0, 1, S(-0.0)), ""},
    });
}

}  // namespace
}  // namespace tarvek
