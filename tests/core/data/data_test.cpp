#include "core/data/data.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <new>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;

template <class S>
class Data : public ::testing::Test {};
TYPED_TEST_SUITE(Data, Scalars);

const char* kDimension = "observation dimensions must be positive and fit i32";
const char* kArrays = "segmentation arrays have inconsistent lengths";
const char* kJumps = "outgoing jumps must terminate with a single delta-1 transition";

template <class S>
std::function<void()> create(std::size_t frames, std::vector<std::size_t> dimensions) {
    return [=] { ObservationData<S>::create(frames, dimensions); };
}

TYPED_TEST(Data, ObservationCreateChecksInOrder) {
    using S = TypeParam;
    const auto empty = ObservationData<S>::create(0, std::vector<std::size_t>{3});
    EXPECT_EQ(empty, (ObservationData<S>{{{{}, 3}}, 0}));
    EXPECT_NO_THROW(empty.validate());
    EXPECT_EQ(ObservationData<S>::create(3, std::vector<std::size_t>{2, 1}),
              (ObservationData<S>{{{std::vector<S>(6), 2}, {std::vector<S>(3), 1}}, 3}));
    const char* shape = "observation requires streams and a frame count fitting i32";
    expect_messages({{create<S>(two_to(31), {0}), shape},
                     {create<S>(5, {}), shape},
                     {create<S>(5, {2, 0}), kDimension},
                     {create<S>(5, {two_to(31)}), kDimension}});
}

// Sizes far beyond the allocation cap are refused before anything is allocated, in stream
// order with the dimension checks.
TYPED_TEST(Data, ObservationCreateAllocFail) {
    using S = TypeParam;
    const char* failed = "observation allocation failed";
    const std::uint64_t big = two_to(31) - 1;
    expect_messages({{create<S>(big, {big}), failed},
                     {create<S>(two_to(25), {two_to(23)}), failed},
                     {create<S>(two_to(20), {1, big}), failed},
                     {create<S>(big, {big, 0}), failed},
                     {create<S>(big, {0, big}), kDimension}});
}

TYPED_TEST(Data, ObservationValidateChecksInOrder) {
    using S = TypeParam;
    const auto stream = [](std::size_t dimension, std::size_t values) {
        return ObservationStreamData<S>{std::vector<S>(values), dimension};
    };
    const char* storage = "observation storage does not match dimensions";
    const struct {
        std::size_t frames;
        std::vector<ObservationStreamData<S>> streams;
        const char* expected;
    } rows[] = {{two_to(31), {}, "frame count exceeds the legacy format"},
                {4, {}, "an observation requires at least one stream"},
                {2, {stream(0, 0), stream(1, 5)}, kDimension},
                {0, {stream(two_to(31), 0)}, kDimension},
                {2, {stream(2, 3), stream(0, 0)}, storage},
                {2, {stream(2, 4), stream(3, 5)}, storage},
                {2, {stream(2, 4), stream(3, 6)}, "no error"},
                {0, {stream(7, 0)}, "no error"}};
    for (const auto& row : rows) {
        EXPECT_EQ(error_of([&] { ObservationData<S>{row.streams, row.frames}.validate(); }),
                  row.expected);
    }
}

TYPED_TEST(Data, SegmentationCreateAndValidate) {
    using S = TypeParam;
    using Seg = SegmentationData<S>;
    const Seg segmentation = Seg::create(2, 3);
    const std::vector<std::int32_t> zeros(3, 0);
    EXPECT_EQ(segmentation, (Seg{zeros,
                                 zeros,
                                 {zeros, zeros},
                                 std::vector<std::vector<JumpParameters<S>>>(3, {{1, S(1)}})}));
    const auto validate = [](const Seg& s) { s.validate(); };
    // The length rows also break a jump list; the other rows keep the lengths right.
    expect_rows<Seg>(
        segmentation, validate,
        {{[](Seg&) {}, "no error"},
         {[](Seg& s) { s.duration_states.pop_back(), s.outgoing[0].clear(); }, kArrays},
         {[](Seg& s) { s.outgoing.pop_back(); }, kArrays},
         {[](Seg& s) { s.output_states[1].push_back(0), s.outgoing[0].clear(); }, kArrays},
         {[](Seg& s) { s.outgoing[1].clear(); }, kJumps},
         {[](Seg& s) { s.outgoing[1] = {{1, S(0.5)}, {2, S(0.5)}}; }, kJumps},
         {[](Seg& s) { s.outgoing[1] = {{1, S(0.5)}, {1, S(0.5)}}; }, kJumps},
         {[](Seg& s) { s.outgoing[1] = {{0, S(0.5)}}; }, kJumps},
         {[](Seg& s) { s.outgoing[1] = {{2, S(0.5)}, {-1, S(0.1)}, {1, S(0.5)}}; }, "no error"}});
    EXPECT_EQ(error_of([&] { validate(Seg::create(3, 0)); }), "no error");
    Seg empty_rows = Seg::create(3, 0);
    empty_rows.output_states[2].push_back(0);
    EXPECT_EQ(error_of([&] { validate(empty_rows); }), kArrays);
}

// The largest shape the object layer lets through needs about 2^62 integers.
TYPED_TEST(Data, SegmentationCreateAllocFail) {
    using S = TypeParam;
    EXPECT_THROW(SegmentationData<S>::create(two_to(31) - 1, two_to(31) - 1), std::bad_alloc);
    EXPECT_THROW(SegmentationData<S>::create(two_to(20), two_to(28)), std::bad_alloc);
    EXPECT_THROW(SegmentationData<S>::create(0, two_to(46)), std::bad_alloc);
}

}  // namespace
}  // namespace tarvek
