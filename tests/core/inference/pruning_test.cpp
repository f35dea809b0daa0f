#include "core/inference/pruning.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "test_support.hpp"

// The windows are also checked cell by cell against their definitions through the emission
// table (emission_test.cpp), which reads the frames of each position.

namespace tarvek {
namespace {

using testing::error_of;
using testing::two_to;

template <class S>
class RadiusWindow : public ::testing::Test {};
TYPED_TEST_SUITE(RadiusWindow, testing::Scalars);

TYPED_TEST(RadiusWindow, HandWorkedWindows) {
    using S = TypeParam;
    // Segment 0 covers frame 0 only, segment 1 frames 0 to 3, segment 2 frame 3, segment 3
    // frames 3 and 4; radius 0 keeps each to its own position.
    const std::vector<std::int32_t> boundaries{0, 3, 3, 5};
    const StateRadiusWindow<S> window(boundaries, 5, S(0));
    const std::vector<IndexRange> frames{{0, 1}, {0, 4}, {3, 4}, {3, 5}};
    for (std::uint64_t k = 0; k < 4; ++k) {
        EXPECT_EQ(window.segment_frames(k), frames[k]) << k;
        EXPECT_EQ(window.segment_positions(k), (IndexRange{k, k + 1})) << k;
        EXPECT_EQ(window.position_frames(k), frames[k]) << k;
    }
    // Radius 1.5 at k = 3 of 10: trunc(1.5) to trunc(4.5).
    const std::vector<std::int32_t> ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const StateRadiusWindow<S> wide(ten, 10, S(1.5));
    EXPECT_EQ(wide.segment_positions(3), (IndexRange{1, 5}));
    EXPECT_EQ(wide.segment_positions(0), (IndexRange{0, 2}));
    EXPECT_EQ(wide.segment_positions(9), (IndexRange{7, 10}));
    EXPECT_EQ(wide.position_segments(1), (IndexRange{0, 4}));
    EXPECT_EQ(wide.position_frames(1), (IndexRange{0, 5}));
    // A segment starting at T covers nothing.
    const std::vector<std::int32_t> late{2, 4, 4};
    const StateRadiusWindow<S> ending(late, 4, S(0));
    EXPECT_EQ(ending.segment_frames(1), (IndexRange{2, 4}));
    EXPECT_TRUE(ending.segment_frames(2).empty());
    EXPECT_TRUE(ending.position_frames(2).empty());
}

TEST(LinearBand, HandWorkedBands) {
    EXPECT_EQ(LinearBand::half_width_of(0.0, 10), 0u);
    EXPECT_EQ(LinearBand::half_width_of(0.09, 10), 0u);
    EXPECT_EQ(LinearBand::half_width_of(0.35f, 10), 3u);
    EXPECT_EQ(LinearBand::half_width_of(3e38f, two_to(31) - 1),
              std::numeric_limits<std::uint64_t>::max());
    // T = 4, S = 10, w = 2: centres 0, 2, 5, 7; the band is half-open.
    const LinearBand band(4, 10, 2);
    const std::vector<IndexRange> rows{{0, 2}, {0, 4}, {3, 7}, {5, 9}};
    for (std::uint64_t t = 0; t < 4; ++t) EXPECT_EQ(band.frame_positions(t), rows[t]) << t;
    EXPECT_EQ(band.position_frames(3), (IndexRange{1, 3}));
    EXPECT_EQ(band.position_frames(8), (IndexRange{3, 4}));
    EXPECT_TRUE(band.position_frames(9).empty());
    EXPECT_EQ(LinearBand(4, 10, 30).frame_positions(0), (IndexRange{0, 10}));
    const LinearBand empty(7, 10, 0);
    for (std::uint64_t t = 0; t < 7; ++t) EXPECT_TRUE(empty.frame_positions(t).empty()) << t;
    for (std::uint64_t s = 0; s < 10; ++s) EXPECT_TRUE(empty.position_frames(s).empty()) << s;
}

TEST(LinearBand, CentreDoesNotOverflow) {
    EXPECT_EQ(LinearBand(two_to(40), two_to(40), 1).centre(two_to(40) - 1), two_to(40) - 1);
    // 3·2^62 · (2^63 − 1) / 2^63 = 3·2^62 − 1.5.
    const LinearBand wide(two_to(63), 3 * two_to(62), 5);
    EXPECT_EQ(wide.centre(two_to(63) - 1), 3 * two_to(62) - 2);
    EXPECT_EQ(wide.frame_positions(two_to(63) - 1),
              (IndexRange{3 * two_to(62) - 7, 3 * two_to(62)}));
    // The sum c + w saturates instead of wrapping.
    const LinearBand saturated(10, 10, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(saturated.frame_positions(9), (IndexRange{0, 10}));
    EXPECT_EQ(saturated.position_frames(3), (IndexRange{0, 10}));
}

TEST(WindowBoundaries, CheckOrder) {
    const auto check = [](std::vector<std::int32_t> boundaries, std::uint64_t frames) {
        return error_of([&] {
            check_window_boundaries(boundaries, frames, ModelError("unordered"),
                                    ModelError("final"));
        });
    };
    EXPECT_EQ(check({2, 1, 4}, 4), "unordered");
    EXPECT_EQ(check({-1, 4}, 4), "unordered");
    EXPECT_EQ(check({2, 5, 3}, 4), "unordered");  // above T before the final check
    EXPECT_EQ(check({2, 3}, 4), "final");
    EXPECT_EQ(check({}, 3), "final");
    EXPECT_EQ(check({}, 0), "no error");
    EXPECT_EQ(check({0, 3, 3, 5}, 5), "no error");
}

}  // namespace
}  // namespace tarvek
