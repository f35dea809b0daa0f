#include "core/model/model.hpp"

#include <gtest/gtest.h>

#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;

template <class S>
class Model : public ::testing::Test {};
TYPED_TEST_SUITE(Model, Scalars);

TYPED_TEST(Model, NewChecksInOrder) {
    using S = TypeParam;
    using M = GaussianMixtureParameters<S>;
    const M mixture(3, 2);
    EXPECT_EQ(mixture.weights, std::vector<S>(3, static_cast<S>(1.0 / 3.0)));
    EXPECT_EQ(mixture.means, std::vector<S>(6));
    EXPECT_EQ(mixture.variances, std::vector<S>(6));
    EXPECT_EQ(mixture.variance_floors, std::vector<S>(6));
    const StreamParameters<S> empty(0, 0, 0);
    EXPECT_TRUE(empty.emissions.empty() && empty.weight == S(1));
    const std::uint64_t big = two_to(31) - 1;
    expect_messages({{[] { M(0, 2); }, kPositive},
                     {[] { M(2, 0); }, kPositive},
                     {[] { M(0, two_to(31)); }, kPositive},
                     {[] { M(two_to(31), 1); }, kLegacy},
                     {[] { M(1, two_to(31)); }, kLegacy},
                     {[&] { M(big, big); }, "parameter allocation exceeds addressable memory"},
                     {[] { StreamParameters<S>(2, 0, 3); }, kPositive},
                     {[] { StreamParameters<S>(two_to(31), 0, 0); },
                      "emission count exceeds the legacy format"}});
}

TYPED_TEST(Model, MixtureAllocFail) {
    using S = TypeParam;
    // Passes every range check, but is refused before anything is allocated.
    EXPECT_THROW(GaussianMixtureParameters<S>(two_to(24), two_to(24)), std::bad_alloc);
    EXPECT_THROW(StreamParameters<S>(2, two_to(24), two_to(24)), std::bad_alloc);
    // Streams that each fit may not fit together; the refusal comes where construction meets
    // it, before a later layout's count error.
    const std::vector<StreamLayout> together(8, StreamLayout{1, two_to(22), two_to(22)});
    EXPECT_THROW(ModelParameters<S>(together, 0), std::bad_alloc);
    const std::vector<StreamLayout> then_bad{{1, two_to(24), two_to(24)}, {1, 0, 1}};
    EXPECT_THROW(ModelParameters<S>(then_bad, 0), std::bad_alloc);
    // A model's layout fails as the stream made from it would: the emission array first.
    const std::uint64_t most = two_to(31) - 1;
    EXPECT_EQ(error_of([&] { ModelParameters<S>(std::vector<StreamLayout>{{most, 0, 2}}, 0); }),
              error_of([&] { StreamParameters<S>(most, 0, 2); }));
    // 2^60 values pass the addressable limit only as 32-bit values.
    if constexpr (sizeof(S) == 4) {
        EXPECT_THROW(GaussianMixtureParameters<S>(two_to(30), two_to(30)), std::bad_alloc);
    } else {
        EXPECT_EQ(error_of([] { GaussianMixtureParameters<S>(two_to(30), two_to(30)); }),
                  "parameter allocation exceeds addressable memory");
    }
}

TYPED_TEST(Model, ShapeCheckInOrder) {
    using S = TypeParam;
    using M = GaussianMixtureParameters<S>;
    // Rows that break an early check also break the length check, which must not win.
    expect_rows<M>(M(2, 3), [](const M& m) { m.check_shape(); },
                   {{[](M&) {}, "no error"},
                    {[](M& m) { m.weights.clear(); }, kPositive},
                    {[](M& m) { m = M(); }, kPositive},
                    {[](M& m) { m.means.pop_back(), m.dimensions = 0; }, kPositive},
                    {[](M& m) { m.dimensions = two_to(31); }, kLegacy},
                    {[](M& m) { m.means.push_back(S(0)); }, kLengths},
                    {[](M& m) { m.variances.pop_back(); }, kLengths},
                    {[](M& m) { m.variance_floors.pop_back(); }, kLengths}});
    StreamParameters<S> stream(3, 1, 2);
    stream.emissions[2].dimensions = 0;
    stream.emissions[1].variances.push_back(S(1));
    EXPECT_EQ(error_of([&] { stream.validate(); }), kLengths);  // the first emission's fault
}

TYPED_TEST(Model, NewModel) {
    using S = TypeParam;
    const std::vector<StreamLayout> layouts{{2, 1, 3}};
    const ModelParameters<S> model(layouts, 4);
    ASSERT_EQ(model.streams.size(), 1u);
    ASSERT_EQ(model.streams[0].emissions.size(), 2u);
    EXPECT_EQ(model.streams[0].emissions[1].weights, std::vector<S>{S(1)});
    EXPECT_EQ(model.streams[0].emissions[1].means.size(), 3u);
    ASSERT_EQ(model.durations.size(), 4u);
    for (const auto& d : model.durations) {
        EXPECT_EQ(std::tuple(d.mean, d.variance, d.minimum_duration, d.maximum_duration,
                             d.fixed_mean_duration, d.variance_floor),
                  std::tuple(S(0), S(0), -1, -1, -1, S(0)));
    }
    // Slot counts are checked first, then the layouts in order.
    const std::vector<StreamLayout> bad{{1, 0, 1}, {two_to(31), 1, 1}};
    EXPECT_EQ(error_of([&] { ModelParameters<S>(bad, 1); }), kPositive);
    EXPECT_EQ(error_of([&] { ModelParameters<S>(bad, two_to(31)); }),
              "slot count exceeds the legacy format");
    EXPECT_STREQ(ModelError("dimensions exceed the legacy format").what(), kLegacy);
}

TYPED_TEST(Model, BuildersCheckInOrder) {
    using S = TypeParam;
    using B = ModelParametersBuilder<S>;
    const char* slots = "slot count exceeds the legacy format";
    expect_messages({{[] { B(two_to(31), 0); }, slots},
                     {[] { B(0, two_to(31)); }, slots},
                     {[] { StreamParametersBuilder<S>(two_to(31)); }, slots}});
    const ModelParameters<S> empty = B(0, 0).build();
    EXPECT_TRUE(empty.streams.empty() && empty.durations.empty());

    B filled(2, 1);
    filled.streams[0].emplace(1, 1, 1);
    filled.streams[1].emplace(2, 2, 1);
    filled.streams[1]->weight = S(0.25);
    filled.durations[0].emplace().mean = S(3);
    expect_rows<B>(
        filled, [](B& b) { std::move(b).build(); },
        {{[](B& b) { b.streams[1].reset(), b.durations[0].reset(); },
          "model builder contains an unfilled stream slot"},
         {[](B& b) { b.durations[0].reset(); }, "model builder contains an unfilled duration slot"},
         {[](B& b) { b.streams[1]->emissions[1].dimensions = 0; }, kPositive}});
    B failed = filled;
    failed.durations[0].reset();
    EXPECT_NE(error_of([&] { std::move(failed).build(); }), "no error");
    EXPECT_TRUE(failed.streams.empty() && failed.durations.empty());  // consumed
    const ModelParameters<S> model = std::move(filled).build();
    EXPECT_EQ(model.streams[1].weight, S(0.25));
    EXPECT_EQ(model.streams[1].emissions[1].weights.size(), 2u);
    EXPECT_EQ(model.durations[0].mean, S(3));

    StreamParametersBuilder<S> builder(2);
    EXPECT_EQ(builder.weight, S(1));
    builder.emissions[0].emplace(1, 2);
    auto unfilled = builder;
    EXPECT_EQ(error_of([&] { std::move(unfilled).build(); }),
              "stream builder contains an unfilled emission slot");
    builder.emissions[1].emplace(2, 3);
    auto malformed = builder;
    malformed.emissions[1]->variance_floors.clear();
    EXPECT_EQ(error_of([&] { std::move(malformed).build(); }), kLengths);
    builder.weight = S(0.5);
    const StreamParameters<S> stream = std::move(builder).build();
    EXPECT_EQ(stream.emissions[1].dimensions, 3u);
    EXPECT_EQ(stream.weight, S(0.5));
}

}  // namespace
}  // namespace tarvek
