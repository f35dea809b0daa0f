#include "core/data/data_operations.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;

template <class S>
class DataOperations : public ::testing::Test {};
TYPED_TEST_SUITE(DataOperations, Scalars);

using Ints = std::vector<std::int32_t>;
using Rows = std::vector<Ints>;
using Dims = std::vector<std::size_t>;

// Frames first..last-1 of an observation whose stream r, frame t, dimension j holds
// 1000 r + 10 t + j, rebased to frame 0.
template <Scalar S>
ObservationData<S> numbered(Dims dims, std::size_t first, std::size_t last) {
    auto observation = ObservationData<S>::create(last - first, dims);
    for (std::size_t r = 0; r < dims.size(); ++r) {
        for (std::size_t t = first; t < last; ++t) {
            for (std::size_t j = 0; j < dims[r]; ++j) {
                observation.streams[r].values[(t - first) * dims[r] + j] = S(1000 * r + 10 * t + j);
            }
        }
    }
    return observation;
}

// A segmentation with default jumps.
template <Scalar S>
SegmentationData<S> plain(Ints boundaries, Ints durations, Rows rows) {
    const std::size_t n = boundaries.size();
    return {std::move(boundaries), std::move(durations), std::move(rows),
            std::vector<std::vector<JumpParameters<S>>>(n, {{1, S(1)}})};
}

// Segment i has duration state 10 + i and output state 20 + i (and 30 + i in a second
// stream, where every segment but the last also gets skips).
template <Scalar S>
SegmentationData<S> chain(Ints boundaries, bool two_streams = false) {
    Ints durations, first, second;
    for (std::size_t i = 0; i < boundaries.size(); ++i) {
        durations.push_back(static_cast<std::int32_t>(10 + i));
        first.push_back(static_cast<std::int32_t>(20 + i));
        second.push_back(static_cast<std::int32_t>(30 + i));
    }
    auto segmentation =
        plain<S>(boundaries, durations, two_streams ? Rows{first, second} : Rows{first});
    for (std::size_t i = 0; two_streams && i + 1 < boundaries.size(); ++i) {
        segmentation.outgoing[i] = {{2, S(0.25)}, {-1, S(0.5)}, {1, S(0.25)}};
    }
    return segmentation;
}

template <Scalar S>
AlignedDataset<S> regroup(std::vector<ObservationData<S>> observations,
                          std::vector<SegmentationData<S>> segmentations, std::size_t k) {
    return regroup_with_precision<S>(observations, segmentations, k);
}

TYPED_TEST(DataOperations, RegroupIntoUnitsWithDefaultJumps) {
    using S = TypeParam;
    const auto source = numbered<S>({2, 1}, 0, 10);
    const auto segmentation = chain<S>({3, 5, 9, 10}, true);
    const auto pairs = regroup<S>({source}, {segmentation}, 2);
    EXPECT_EQ(pairs.observations,
              (std::vector{numbered<S>({2, 1}, 0, 5), numbered<S>({2, 1}, 5, 10)}));
    EXPECT_EQ(pairs.segmentations, (std::vector{plain<S>({3, 5}, {10, 11}, {{20, 21}, {30, 31}}),
                                                plain<S>({4, 5}, {12, 13}, {{22, 23}, {32, 33}})}));
    const auto triples = regroup<S>({source}, {segmentation}, 3);
    EXPECT_EQ(triples.observations,
              (std::vector{numbered<S>({2, 1}, 0, 9), numbered<S>({2, 1}, 9, 10)}));
    EXPECT_EQ(triples.segmentations,
              (std::vector{plain<S>({3, 5, 9}, {10, 11, 12}, {{20, 21, 22}, {30, 31, 32}}),
                           plain<S>({1}, {13}, {{23}, {33}})}));
    // A unit size at least the segment count gives the sample itself, with default jumps.
    for (const std::size_t k : {std::size_t{4}, std::numeric_limits<std::size_t>::max()}) {
        const auto whole = regroup<S>({source}, {segmentation}, k);
        EXPECT_EQ(whole.observations, std::vector{source});
        EXPECT_EQ(whole.segmentations,
                  std::vector{plain<S>(segmentation.boundaries, segmentation.duration_states,
                                       segmentation.output_states)});
    }

    // Two empty segments make a unit of no frames; a pair without segments or frames
    // yields nothing.
    const auto units =
        regroup<S>({numbered<S>({1}, 0, 4), numbered<S>({3}, 0, 0), numbered<S>({2}, 0, 6)},
                   {chain<S>({0, 0, 4}), chain<S>({}), chain<S>({2, 3, 6})}, 2);
    EXPECT_EQ(units.observations, (std::vector{numbered<S>({1}, 0, 0), numbered<S>({1}, 0, 4),
                                               numbered<S>({2}, 0, 3), numbered<S>({2}, 3, 6)}));
    EXPECT_EQ(units.segmentations,
              (std::vector{plain<S>({0, 0}, {10, 11}, {{20, 21}}), plain<S>({4}, {12}, {{22}}),
                           plain<S>({2, 3}, {10, 11}, {{20, 21}}), plain<S>({3}, {12}, {{22}})}));
    EXPECT_TRUE(regroup<S>({}, {}, 1).observations.empty());
}

TYPED_TEST(DataOperations, RegroupChecksInOrder) {
    using S = TypeParam;
    using Observation = ObservationData<S>;
    using Segmentation = SegmentationData<S>;
    // Each row fails one step, and the later steps too where it can.
    Observation no_streams = numbered<S>({2}, 0, 10), huge_frames = no_streams,
                bad_storage = no_streams;
    no_streams.streams.clear();
    huge_frames.frames = two_to(31);
    bad_storage.streams[0].values.pop_back();
    Segmentation short_states = chain<S>({3, 2, 11}), extra_row = short_states;
    short_states.duration_states.pop_back();
    short_states.output_states.push_back({});
    extra_row.output_states.push_back({0, 0, 0});
    Segmentation bad_jumps = extra_row;
    bad_jumps.outgoing[1] = {{1, S(1)}, {2, S(1)}};
    const Observation ten = numbered<S>({2}, 0, 10);
    const char* counts = "regrouping requires a positive unit size and matching sample counts";
    const char* unordered = "regrouping boundaries are unordered or out of range";
    const char* final_boundary = "regrouping final boundary must match frame count";
    const struct {
        std::vector<Observation> observations;
        std::vector<Segmentation> segmentations;
        std::size_t k;
        const char* expected;
    } rows[] = {
        {{}, {}, 0, counts},
        {{no_streams}, {bad_jumps}, 0, counts},
        {{no_streams}, {}, 1, counts},
        {{huge_frames}, {short_states}, 1, "frame count exceeds the legacy format"},
        {{no_streams}, {short_states}, 1, "an observation requires at least one stream"},
        {{bad_storage}, {short_states}, 1, "observation storage does not match dimensions"},
        {{ten}, {short_states}, 1, "segmentation arrays have inconsistent lengths"},
        {{ten}, {bad_jumps}, 1, "outgoing jumps must terminate with a single delta-1 transition"},
        {{ten}, {extra_row}, 1, "regrouping stream counts differ"},
        {{ten}, {chain<S>({3, 2, 10})}, 1, unordered},
        {{ten}, {chain<S>({3, 11})}, 1, unordered},  // before the final-boundary check
        {{ten}, {chain<S>({-1, 10})}, 1, unordered},
        {{ten}, {chain<S>({3, 9})}, 1, final_boundary},
        {{numbered<S>({1}, 0, 5)}, {chain<S>({})}, 1, final_boundary},
        {{numbered<S>({1}, 0, 0)}, {chain<S>({})}, 1, "no error"},
    };
    for (const auto& row : rows) {
        // A valid pair first: every pair is validated in order before anything is built.
        auto observations = row.observations;
        auto segmentations = row.segmentations;
        if (row.k != 0) {
            observations.insert(observations.begin(), ten);
            segmentations.insert(segmentations.begin(), chain<S>({3, 10}));
        }
        EXPECT_EQ(error_of([&] { regroup<S>(observations, segmentations, row.k); }), row.expected);
    }
}

TYPED_TEST(DataOperations, Resegment) {
    using S = TypeParam;
    using Occurrences = std::vector<StateOccurrence>;
    const auto source = chain<S>({3, 5, 9}, true);
    const Occurrences occurrences{{2, 4}, {0, 4}, {1, 9}};
    EXPECT_EQ(resegment(source, std::span(occurrences)),
              plain<S>({4, 4, 9}, {12, 10, 11}, {{22, 20, 21}, {32, 30, 31}}));
    EXPECT_EQ(resegment(source, std::span<const StateOccurrence>()), plain<S>({}, {}, {{}, {}}));

    auto invalid_source = source;
    invalid_source.outgoing[2].clear();
    const auto reseg = [](const SegmentationData<S>& from, Occurrences occurrences) {
        return [=] { resegment(from, std::span(occurrences)); };
    };
    // The length check runs before any occurrence is read: the span's tail is never touched.
    const StateOccurrence bad{7, 1};
    const char* invalid = "resegmentation has invalid states or boundaries";
    expect_messages(
        {{reseg(invalid_source, {{3, 4}}),
          "outgoing jumps must terminate with a single delta-1 transition"},
         {[&] { resegment(source, std::span<const StateOccurrence>(&bad, two_to(31))); },
          "resegmentation length exceeds the legacy format"},
         {reseg(source, {{3, 4}}), invalid},
         {reseg(source, {{0, 5}, {1, 4}}), invalid},
         {reseg(source, {{0, two_to(31)}}), invalid},
         {reseg(source, {{0, two_to(31) - 1}}), "no error"}});
}

template <class Sample>
void exercise_builder(const std::function<Sample(int)>& make, const Sample& invalid,
                      const char* invalid_message) {
    using Builder = SampleSetBuilder<Sample>;
    const char* count = "sample count exceeds the legacy format";
    const char* index = "sample slot index out of range";
    auto builder = Builder::create(3);
    expect_messages({{[] { Builder::create(two_to(31)); }, count},
                     {[&] { builder.set(3, make(0)); }, index},
                     {[&] { builder.clear(3); }, index}});
    EXPECT_TRUE(Builder::create(0).build().empty());
    EXPECT_FALSE(builder.get(3).has_value() || builder.get(1).has_value());
    for (int i = 0; i < 3; ++i) builder.set(i, make(i == 1 ? 7 : i));
    EXPECT_EQ(error_of([&] { builder.resize(two_to(31)); }), count);  // keeps every slot
    builder.clear(0);
    builder.resize(5);  // keeps the slots, empty ones included, and adds empty ones
    EXPECT_EQ(builder.size(), 5u);
    EXPECT_FALSE(builder.has(0) || builder.has(3) || builder.has(4));
    EXPECT_EQ(builder.get(2), make(2));
    builder.resize(2);  // drops slot 2 for good
    builder.resize(3);
    EXPECT_EQ(builder.get(1), make(7));
    EXPECT_FALSE(builder.has(2));
    // Slots are checked in index order: emptiness, then validity.
    auto empty_first = builder, invalid_first = builder;
    empty_first.set(2, invalid);
    invalid_first.set(0, invalid);
    EXPECT_EQ(error_of([&] { std::move(empty_first).build(); }),
              "sample set contains an unfilled slot");
    EXPECT_EQ(error_of([&] { std::move(invalid_first).build(); }), invalid_message);
    builder.set(0, make(0));
    builder.set(2, make(2));
    EXPECT_EQ(std::move(builder).build(), (std::vector<Sample>{make(0), make(7), make(2)}));
}

TYPED_TEST(DataOperations, SampleSetBuilders) {
    using S = TypeParam;
    auto no_streams = numbered<S>({1}, 0, 1);
    no_streams.streams.clear();
    exercise_builder<ObservationData<S>>(
        [](int i) { return numbered<S>({2}, 0, static_cast<std::size_t>(i)); }, no_streams,
        "an observation requires at least one stream");
    auto bad_jumps = chain<S>({1});
    bad_jumps.outgoing[0].clear();
    // Boundaries are not examined: a decreasing chain builds.
    exercise_builder<SegmentationData<S>>(
        [](int i) { return chain<S>({5 + i, i}); }, bad_jumps,
        "outgoing jumps must terminate with a single delta-1 transition");
}

}  // namespace
}  // namespace tarvek
