#include "core/data.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "data_test_support.hpp"

namespace tarvek {
namespace {

using testing_support::expect_cases;
using testing_support::failure_of;

constexpr std::size_t two_31 = std::size_t{1} << 31;

template <class S>
class DataTest : public ::testing::Test {};
using Scalars = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DataTest, Scalars);

template <class S>
ObservationStreamData<S> stream(std::size_t dimension, std::size_t value_count) {
    return {std::vector<S>(value_count, S(0)), dimension};
}

TYPED_TEST(DataTest, ObservationCreateShapes) {
    using S = TypeParam;
    const std::vector<std::size_t> one{3};
    const auto empty = ObservationData<S>::create(0, one);
    EXPECT_EQ(empty.frames, 0u);
    ASSERT_EQ(empty.streams.size(), 1u);
    EXPECT_EQ(empty.streams[0].dimension, 3u);
    EXPECT_TRUE(empty.streams[0].values.empty());
    EXPECT_NO_THROW(empty.validate());

    const std::vector<std::size_t> two{2, 1};
    const auto filled = ObservationData<S>::create(3, two);
    ASSERT_EQ(filled.streams.size(), 2u);
    EXPECT_EQ(filled.streams[0].values, std::vector<S>(6, S(0)));
    EXPECT_EQ(filled.streams[1].values, std::vector<S>(3, S(0)));
    EXPECT_EQ(filled.streams[1].dimension, 1u);
    EXPECT_NO_THROW(filled.validate());
}

TYPED_TEST(DataTest, ObservationCreateCheckOrder) {
    using S = TypeParam;
    const auto create = [](std::size_t frames, std::vector<std::size_t> dimensions) {
        return [=] { return failure_of([&] { ObservationData<S>::create(frames, dimensions); }); };
    };
    const char* shape = "observation requires streams and a frame count fitting i32";
    const char* dimension = "observation dimensions must be positive and fit i32";
    expect_cases({
        {"frame count too large, bad dimension too", create(two_31, {0}), shape},
        {"no streams", create(5, {}), shape},
        {"second dimension zero", create(5, {2, 0}), dimension},
        {"dimension too large", create(5, {two_31}), dimension},
        {"valid", create(4, {2, 1}), ""},
    });
}

// Shapes whose values would need far more than the allocation cap are refused before
// anything is allocated, in stream order with the dimension checks.
TYPED_TEST(DataTest, ObservationCreateAllocFail) {
    using S = TypeParam;
    const auto create = [](std::size_t frames, std::vector<std::size_t> dimensions) {
        return [=] { return failure_of([&] { ObservationData<S>::create(frames, dimensions); }); };
    };
    const char* failed = "observation allocation failed";
    expect_cases({
        {"2^62 values", create(two_31 - 1, {two_31 - 1}), failed},
        {"2^48 values", create(std::size_t{1} << 25, {std::size_t{1} << 23}), failed},
        {"small stream then huge one", create(std::size_t{1} << 20, {1, two_31 - 1}), failed},
        {"allocation before a later bad dimension", create(two_31 - 1, {two_31 - 1, 0}), failed},
        {"bad dimension before a later huge stream", create(two_31 - 1, {0, two_31 - 1}),
         "observation dimensions must be positive and fit i32"},
    });
}

TYPED_TEST(DataTest, ObservationValidateCheckOrder) {
    using S = TypeParam;
    const auto check = [](std::size_t frames, std::vector<ObservationStreamData<S>> streams) {
        return [=] { return failure_of([&] { ObservationData<S>{streams, frames}.validate(); }); };
    };
    expect_cases({
        {"frame count before streams", check(two_31, {}), "frame count exceeds the legacy format"},
        {"no streams", check(4, {}), "an observation requires at least one stream"},
        {"zero dimension before a later bad count", check(2, {stream<S>(0, 0), stream<S>(1, 5)}),
         "observation dimensions must be positive and fit i32"},
        {"dimension too large", check(0, {stream<S>(two_31, 0)}),
         "observation dimensions must be positive and fit i32"},
        {"bad count before a later bad dimension", check(2, {stream<S>(2, 3), stream<S>(0, 0)}),
         "observation storage does not match dimensions"},
        {"bad count in a later stream", check(2, {stream<S>(2, 4), stream<S>(3, 5)}),
         "observation storage does not match dimensions"},
        {"valid", check(2, {stream<S>(2, 4), stream<S>(3, 6)}), ""},
        {"no frames", check(0, {stream<S>(7, 0)}), ""},
    });
}

TYPED_TEST(DataTest, SegmentationCreateShape) {
    using S = TypeParam;
    const auto segmentation = SegmentationData<S>::create(2, 3);
    const std::vector<std::int32_t> zeros(3, 0);
    EXPECT_EQ(segmentation.boundaries, zeros);
    EXPECT_EQ(segmentation.duration_states, zeros);
    EXPECT_EQ(segmentation.output_states, (std::vector<std::vector<std::int32_t>>{zeros, zeros}));
    ASSERT_EQ(segmentation.outgoing.size(), 3u);
    for (const auto& jumps : segmentation.outgoing) {
        EXPECT_EQ(jumps, (std::vector<JumpParameters<S>>{{1, S(1)}}));
    }
    EXPECT_NO_THROW(segmentation.validate());

    const auto empty = SegmentationData<S>::create(0, 0);
    EXPECT_EQ(empty.segment_count(), 0u);
    EXPECT_EQ(empty.stream_count(), 0u);
    EXPECT_NO_THROW(empty.validate());
}

// The largest shape the object layer lets through needs about 2^62 integers.
TYPED_TEST(DataTest, SegmentationCreateAllocFail) {
    using S = TypeParam;
    EXPECT_THROW(SegmentationData<S>::create(two_31 - 1, two_31 - 1), std::bad_alloc);
    EXPECT_THROW(SegmentationData<S>::create(std::size_t{1} << 20, std::size_t{1} << 28),
                 std::bad_alloc);
    EXPECT_THROW(SegmentationData<S>::create(0, std::size_t{1} << 46), std::bad_alloc);
}

TYPED_TEST(DataTest, SegmentationValidateCheckOrder) {
    using S = TypeParam;
    using Jumps = std::vector<JumpParameters<S>>;
    const auto with_jumps = [](Jumps jumps) {
        return [=] {
            auto segmentation = SegmentationData<S>::create(2, 3);
            segmentation.outgoing[1] = jumps;
            return failure_of([&] { segmentation.validate(); });
        };
    };
    const auto edited = [](std::function<void(SegmentationData<S>&)> edit) {
        return [=] {
            auto segmentation = SegmentationData<S>::create(2, 3);
            segmentation.outgoing[0].clear();  // also breaks the jump rule
            edit(segmentation);
            return failure_of([&] { segmentation.validate(); });
        };
    };
    const char* lengths = "segmentation arrays have inconsistent lengths";
    const char* rule = "outgoing jumps must terminate with a single delta-1 transition";
    expect_cases({
        {"duration states short", edited([](auto& s) { s.duration_states.pop_back(); }), lengths},
        {"outgoing short", edited([](auto& s) { s.outgoing.pop_back(); }), lengths},
        {"second row long", edited([](auto& s) { s.output_states[1].push_back(0); }), lengths},
        {"empty list", with_jumps({}), rule},
        {"advance first", with_jumps({{1, S(0.5)}, {2, S(0.5)}}), rule},
        {"two advances", with_jumps({{1, S(0.5)}, {1, S(0.5)}}), rule},
        {"no advance", with_jumps({{0, S(0.5)}}), rule},
        {"skip then advance", with_jumps({{2, S(0.5)}, {-1, S(0.1)}, {1, S(0.5)}}), ""},
        {"no segments, empty rows",
         [] { return failure_of([] { SegmentationData<S>::create(3, 0).validate(); }); }, ""},
        {"no segments, non-empty row",
         [&] {
             auto segmentation = SegmentationData<S>::create(3, 0);
             segmentation.output_states[2].push_back(0);
             return failure_of([&] { segmentation.validate(); });
         },
         lengths},
    });
}

}  // namespace
}  // namespace tarvek
