#include "core/pruning.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;
using testing::two_to;

template <class S>
class RadiusWindow : public ::testing::Test {};
TYPED_TEST_SUITE(RadiusWindow, testing::Scalars);

TYPED_TEST(RadiusWindow, EmptySegmentsAndSharedBoundaryFrames) {
    // Boundaries 0, 3, 3, 5 over 5 frames: segment 0 covers frame 0 only, segment 1 frames
    // 0 to 3, segment 2 frame 3, segment 3 frames 3 to 4.
    const std::vector<std::int32_t> boundaries{0, 3, 3, 5};
    const StateRadiusWindow<TypeParam> window(boundaries, 5, TypeParam(0));
    const std::vector<IndexRange> frames{{0, 1}, {0, 4}, {3, 4}, {3, 5}};
    for (std::uint64_t k = 0; k < 4; ++k) {
        EXPECT_EQ(window.segment_frames(k), frames[k]) << k;
        // Radius 0: only the segment's own position, also at the boundary frame it shares.
        EXPECT_EQ(window.segment_positions(k), (IndexRange{k, k + 1})) << k;
        EXPECT_EQ(window.position_frames(k), frames[k]) << k;
    }
}

TYPED_TEST(RadiusWindow, FractionalRadiusTruncates) {
    const std::vector<std::int32_t> boundaries{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const StateRadiusWindow<TypeParam> window(boundaries, 10, TypeParam(1.5));
    EXPECT_EQ(window.segment_positions(3), (IndexRange{1, 5}));  // trunc(1.5) .. trunc(4.5)
    EXPECT_EQ(window.segment_positions(0), (IndexRange{0, 2}));
    EXPECT_EQ(window.segment_positions(9), (IndexRange{7, 10}));
    // Position 1 is in the windows of segments 0 to 3, so frames 0 to 4.
    EXPECT_EQ(window.position_segments(1), (IndexRange{0, 4}));
    EXPECT_EQ(window.position_frames(1), (IndexRange{0, 5}));
}

TYPED_TEST(RadiusWindow, SegmentsStartingAtTheEndCoverNothing) {
    const std::vector<std::int32_t> boundaries{2, 4, 4};
    const StateRadiusWindow<TypeParam> window(boundaries, 4, TypeParam(0));
    EXPECT_EQ(window.segment_frames(0), (IndexRange{0, 3}));
    EXPECT_EQ(window.segment_frames(1), (IndexRange{2, 4}));
    EXPECT_TRUE(window.segment_frames(2).empty());
    EXPECT_TRUE(window.position_frames(2).empty());
}

// The frames of a position, against the union of the segment windows holding it.
TYPED_TEST(RadiusWindow, PositionFramesAreTheUnionOfSegmentWindows) {
    using S = TypeParam;
    std::mt19937_64 random(11);
    for (int trial = 0; trial < 300; ++trial) {
        const auto positions = std::uniform_int_distribution<std::uint64_t>(1, 12)(random);
        const auto frames = std::uniform_int_distribution<std::int32_t>(1, 20)(random);
        std::vector<std::int32_t> boundaries(positions);
        for (auto& b : boundaries)
            b = std::uniform_int_distribution<std::int32_t>(0, frames)(random);
        std::sort(boundaries.begin(), boundaries.end());
        boundaries.back() = frames;
        const S radius = static_cast<S>(std::uniform_int_distribution<int>(0, 12)(random)) / S(4);
        const StateRadiusWindow<S> window(boundaries, frames, radius);
        for (std::uint64_t s = 0; s < positions; ++s) {
            std::vector<bool> visited(frames, false);
            std::vector<std::uint64_t> segments;
            for (std::uint64_t k = 0; k < positions; ++k) {
                if (!window.segment_positions(k).contains(s)) continue;
                segments.push_back(k);
                const IndexRange f = window.segment_frames(k);
                for (std::uint64_t t = f.first; t < f.last; ++t) visited[t] = true;
            }
            const IndexRange range = window.position_frames(s);
            for (std::int32_t t = 0; t < frames; ++t) {
                ASSERT_EQ(visited[t], range.contains(t)) << trial << ' ' << s << ' ' << t;
            }
            const IndexRange held = window.position_segments(s);
            ASSERT_EQ(held.size(), segments.size());
            if (!segments.empty()) {
                EXPECT_EQ(held.first, segments.front());
            }
        }
    }
}

TEST(LinearBand, HalfWidthIsTruncatedAndSaturating) {
    EXPECT_EQ(LinearBand::half_width_of(0.0, 10), 0u);
    EXPECT_EQ(LinearBand::half_width_of(0.09, 10), 0u);  // 0.9
    EXPECT_EQ(LinearBand::half_width_of(0.35f, 10), 3u);
    EXPECT_EQ(LinearBand::half_width_of(3e38f, two_to(31) - 1),
              std::numeric_limits<std::uint64_t>::max());
}

TEST(LinearBand, ZeroWidthBandIsEmpty) {
    const LinearBand band(7, 10, 0);
    for (std::uint64_t t = 0; t < 7; ++t) EXPECT_TRUE(band.frame_positions(t).empty()) << t;
    for (std::uint64_t s = 0; s < 10; ++s) EXPECT_TRUE(band.position_frames(s).empty()) << s;
}

TEST(LinearBand, HandWorkedBand) {
    // T = 4, S = 10, w = 2: centres 0, 2, 5, 7.
    const LinearBand band(4, 10, 2);
    const std::vector<IndexRange> rows{{0, 2}, {0, 4}, {3, 7}, {5, 9}};
    for (std::uint64_t t = 0; t < 4; ++t) EXPECT_EQ(band.frame_positions(t), rows[t]) << t;
    EXPECT_EQ(band.position_frames(0), (IndexRange{0, 2}));
    EXPECT_EQ(band.position_frames(3), (IndexRange{1, 3}));
    EXPECT_EQ(band.position_frames(4), (IndexRange{2, 3}));
    EXPECT_EQ(band.position_frames(8), (IndexRange{3, 4}));
    EXPECT_TRUE(band.position_frames(9).empty());
    // Frame 0 covers positions 0 to min(S, w) − 1.
    EXPECT_EQ(LinearBand(4, 10, 30).frame_positions(0), (IndexRange{0, 10}));
}

TEST(LinearBand, CentreDoesNotOverflow) {
    const LinearBand square(two_to(40), two_to(40), 1);
    EXPECT_EQ(square.centre(two_to(40) - 1), two_to(40) - 1);
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

TEST(LinearBand, PositionFramesMatchFrameRows) {
    std::mt19937_64 random(5);
    for (int trial = 0; trial < 300; ++trial) {
        const auto frames = std::uniform_int_distribution<std::uint64_t>(1, 30)(random);
        const auto positions = std::uniform_int_distribution<std::uint64_t>(1, 30)(random);
        const auto width = std::uniform_int_distribution<std::uint64_t>(0, 35)(random);
        const LinearBand band(frames, positions, width);
        for (std::uint64_t s = 0; s < positions; ++s) {
            const IndexRange range = band.position_frames(s);
            for (std::uint64_t t = 0; t < frames; ++t) {
                ASSERT_EQ(band.frame_positions(t).contains(s), range.contains(t))
                    << frames << ' ' << positions << ' ' << width << ' ' << s << ' ' << t;
            }
        }
    }
}

TEST(WindowBoundaries, CheckOrder) {
    const ModelError unordered("unordered");
    const ModelError final_mismatch("final");
    const auto check = [&](std::vector<std::int32_t> boundaries, std::uint64_t frames) {
        return error_of(
            [&] { check_window_boundaries(boundaries, frames, unordered, final_mismatch); });
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
