#include "core/training/statistics.hpp"

#include <gtest/gtest.h>

#include <concepts>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;

template <class S>
class Statistics : public ::testing::Test {};
TYPED_TEST_SUITE(Statistics, Scalars);

// A reference taken through a temporary edit would be written after the edit renewed the stamp:
// no such expression compiles, while a named edit hands out its vectors.
template <class Value>
constexpr bool written_through_a_temporary_edit =
    requires(Value& value) { value.edit().streams(); } ||
    requires(Value& value) { value.edit().durations(); } ||
    requires(Value& value) { value.edit().streams; } ||
    requires(Value& value) { value.edit().durations; };
template <class Value>
constexpr bool written_through_a_named_edit = requires(const typename Value::Edit& edit) {
    { edit.streams() } -> std::same_as<std::vector<std::decay_t<decltype(Value().streams[0])>>&>;
    {
        edit.durations()
    } -> std::same_as<std::vector<std::decay_t<decltype(Value().durations[0])>>&>;
};
static_assert(!written_through_a_temporary_edit<ModelParameters<float>>);
static_assert(!written_through_a_temporary_edit<ModelSufficientStatistics<double>>);
static_assert(written_through_a_named_edit<ModelParameters<float>>);
static_assert(written_through_a_named_edit<ModelSufficientStatistics<double>>);

const char* kInvalid = "Gaussian statistics contain invalid values";
const char* kDurations = "duration statistics must be finite and nonnegative";
const char* kDiffer = "Gaussian statistics dimensions differ from the model";
const char* kCounts = "statistics stream or duration counts differ from the model";

// Two streams (2 emissions of 2 components in 3 dimensions; 1 emission of 3 in 2), 3 states.
template <class S>
ModelParameters<S> two_stream_model() {
    const std::vector<StreamLayout> layouts{{2, 2, 3}, {1, 3, 2}};
    return ModelParameters<S>(layouts, 3);
}

template <class S>
void expect_zero_gaussian(const GaussianSufficientStatistics<S>& g, std::uint64_t m,
                          std::uint64_t d) {
    EXPECT_EQ(g.weighted_sums, std::vector<S>(m * d));
    EXPECT_EQ(g.weighted_squared_sums, std::vector<S>(m * d));
    EXPECT_EQ(g.component_occupancies, std::vector<S>(m));
    EXPECT_EQ(g.dimensions, d);
    EXPECT_EQ(g.state_occupancy, S(0));
}

TYPED_TEST(Statistics, NewChecksInOrder) {
    using S = TypeParam;
    using G = GaussianSufficientStatistics<S>;
    expect_zero_gaussian(G(2, 3), 2, 3);
    const char* addressable = "parameter allocation exceeds addressable memory";
    expect_messages({{[] { G(0, 3); }, kPositive},
                     {[] { G(2, 0); }, kPositive},
                     {[] { G(0, two_to(31)); }, kPositive},
                     {[] { G(2, two_to(31)); }, kLegacy},
                     {[] { G(two_to(31), 1); }, kLegacy},
                     {[] { G(two_to(31) - 1, two_to(31) - 1); }, addressable}});
    GaussianMixtureParameters<S> mixture(4, 2);
    expect_zero_gaussian(G::from_mixture(mixture), 4, 2);
    mixture.variance_floors.push_back(S(0));
    EXPECT_EQ(error_of([&] { G::from_mixture(mixture); }), kLengths);
}

TYPED_TEST(Statistics, NewAllocFail) {
    using S = TypeParam;
    using G = GaussianSufficientStatistics<S>;
    const char* failed = "statistics allocation failed";
    // 2^60 entries address fine as 32-bit values but not as 64-bit ones.
    expect_messages({{[] { G(two_to(30), two_to(30)); },
                      sizeof(S) == 8 ? "parameter allocation exceeds addressable memory" : failed},
                     {[] { G(two_to(24), two_to(24)); }, failed},
                     {[] { zeros<S>(two_to(50)); }, failed},
                     {[] { zeros<S>(two_to(62)); }, failed}});
}

TYPED_TEST(Statistics, FromModel) {
    using S = TypeParam;
    using Model = ModelParameters<S>;
    const std::vector<StreamLayout> layouts{{2, 2, 3}, {0, 0, 0}, {1, 4, 1}};
    auto statistics = ModelSufficientStatistics<S>::from_model(Model(layouts, 5));
    ASSERT_EQ(statistics.streams.size(), 3u);
    ASSERT_EQ(statistics.streams[0].emissions.size(), 2u);
    expect_zero_gaussian(statistics.streams[0].emissions[1], 2, 3);
    EXPECT_TRUE(statistics.streams[1].emissions.empty());
    ASSERT_EQ(statistics.streams[2].emissions.size(), 1u);
    EXPECT_EQ(statistics.durations.size(), 5u);
    const auto empty = ModelSufficientStatistics<S>::from_model(Model({}, 4));
    EXPECT_TRUE(empty.streams.empty());
    ASSERT_EQ(empty.durations.size(), 4u);
    for (const auto& d : empty.durations) {
        EXPECT_EQ(std::vector<S>({d.value_sum, d.squared_sum, d.occupancy}), std::vector<S>(3));
    }
    // clear() zeroes every value and keeps every shape.
    {
        const auto edit = statistics.edit();
        auto& gaussian = edit.streams()[2].emissions[0];
        gaussian.weighted_sums.assign(4, S(2));
        gaussian.weighted_squared_sums.assign(4, S(-3));
        gaussian.component_occupancies.assign(4, S(4));
        gaussian.state_occupancy = S(5);
        edit.durations()[4] = {S(1), S(2), S(3)};
    }
    statistics.clear();
    expect_zero_gaussian(statistics.streams[2].emissions[0], 4, 1);
    EXPECT_EQ(statistics.durations[4].squared_sum, S(0));

    // The shape pass covers every mixture of every stream before any stream is built, so
    // the fault of the last stream wins over an earlier stream's failing full validation.
    using M = GaussianMixtureParameters<S>;
    const auto last = [](void (*edit)(M&)) {
        return [=](Model& m) {
            const auto model_edit = m.edit();
            edit(model_edit.streams()[1].emissions[0]);
        };
    };
    expect_rows<Model>(two_stream_model<S>(),
                       [](const Model& m) { ModelSufficientStatistics<S>::from_model(m); },
                       {{last([](M& m) { m.weights.clear(); }), kPositive},
                        {last([](M& m) { m.dimensions = 0; }), kPositive},
                        {last([](M& m) { m.dimensions = two_to(31); }), kLegacy},
                        {last([](M& m) { m.means.push_back(S(0)); }), kLengths},
                        {last([](M& m) { m.variances.pop_back(); }), kLengths},
                        {last([](M& m) { m.variance_floors.pop_back(); }), kLengths},
                        {[](Model& m) {
                             const auto edit = m.edit();
                             edit.streams()[0].emissions[1].means.pop_back();
                             edit.streams()[1].emissions[0].weights.clear();
                         },
                         kLengths}});
}

TYPED_TEST(Statistics, ValidateForChecksInOrder) {
    using S = TypeParam;
    struct Both {
        ModelParameters<S> m;
        ModelSufficientStatistics<S> s;
    };
    const S neg = S(-1);
    const auto model = two_stream_model<S>();
    // Both values open for writing while a row runs; `g` and `m` are the statistics' and the
    // model's mixture of stream i, emission j.
    struct Edits {
        explicit Edits(Both& b) : s(b.s.edit()), model(b.m.edit()) {}
        auto& g(int i, int j) const { return s.streams()[i].emissions[j]; }
        auto& m(int i, int j) const { return model.streams()[i].emissions[j]; }
        typename ModelSufficientStatistics<S>::Edit s;
        typename ModelParameters<S>::Edit model;
    };
    // Several rows also plant a fault of a later check, which must not be the one reported.
    expect_rows<Both>(
        Both{model, ModelSufficientStatistics<S>::from_model(model)},
        [](const Both& b) { b.s.validate_for(b.m); },
        {{[](Both&) {}, "no error"},
         {[](Both& b) {
              const Edits e(b);
              e.s.durations().emplace_back(), e.s.streams()[0].emissions.pop_back();
          },
          kCounts},
         {[](Both& b) {
              const Edits e(b);
              e.s.streams().pop_back();
          },
          kCounts},
         {[=](Both& b) {
              const Edits e(b);
              e.s.streams()[1].emissions.emplace_back(), e.s.durations()[0].occupancy = neg;
          },
          "statistics emission counts differ from the model"},
         // An earlier stream's Gaussian before a later stream's emission count.
         {[=](Both& b) {
              const Edits e(b);
              e.g(0, 1).state_occupancy = neg, e.s.streams()[1].emissions.pop_back();
          },
          kInvalid},
         {[=](Both& b) {
              const Edits e(b);
              e.m(0, 0).weights.clear(), e.g(0, 0).dimensions = 7;
          },
          kPositive},
         {[=](Both& b) {
              const Edits e(b);
              e.m(0, 1).dimensions = 0;
          },
          kPositive},
         {[=](Both& b) {
              const Edits e(b);
              e.m(1, 0).dimensions = two_to(31);
          },
          kLegacy},
         {[=](Both& b) {
              const Edits e(b);
              e.m(1, 0).variance_floors.pop_back(), e.g(1, 0).weighted_sums.pop_back();
          },
          kLengths},
         {[=](Both& b) {
              const Edits e(b);
              e.g(0, 0).dimensions = 2, e.g(0, 0).state_occupancy = nan<S>;
          },
          kDiffer},
         {[=](Both& b) {
              const Edits e(b);
              e.g(0, 0).weighted_sums.push_back(S(0));
          },
          kDiffer},
         {[=](Both& b) {
              const Edits e(b);
              e.g(1, 0).weighted_squared_sums.pop_back();
          },
          kDiffer},
         {[=](Both& b) {
              const Edits e(b);
              e.g(1, 0).component_occupancies.pop_back();
          },
          kDiffer},
         {[=](Both& b) {
              const Edits e(b);
              e.g(0, 0).state_occupancy = neg, e.s.durations()[2].value_sum = nan<S>;
          },
          kInvalid},
         {[=](Both& b) {
              const Edits e(b);
              e.g(1, 0).weighted_sums[5] = nan<S>;
          },
          kInvalid},
         {[=](Both& b) {
              const Edits e(b);
              e.g(0, 1).weighted_squared_sums[0] = neg;
          },
          kInvalid},
         {[=](Both& b) {
              const Edits e(b);
              e.g(0, 1).component_occupancies[1] = neg;
          },
          kInvalid},
         {[=](Both& b) {
              const Edits e(b);
              e.s.durations()[2].squared_sum = neg;
          },
          kDurations}});
}

TYPED_TEST(Statistics, ValidateForAcceptsNegativeZeroAndRefusesEveryOtherNegative) {
    using S = TypeParam;
    using Limits = std::numeric_limits<S>;
    using Stats = ModelSufficientStatistics<S>;
    const auto model = two_stream_model<S>();
    const auto base = Stats::from_model(model);
    const auto message = [&](const Stats& statistics) {
        return error_of([&] { statistics.validate_for(model); });
    };
    // Every value that must be finite and nonnegative, and the message its fault gives.
    const std::pair<void (*)(Stats&, S), const char*> nonnegative[] = {
        {[](Stats& s, S v) {
             const auto edit = s.edit();
             edit.streams()[0].emissions[1].state_occupancy = v;
         },
         kInvalid},
        {[](Stats& s, S v) {
             const auto edit = s.edit();
             edit.streams()[1].emissions[0].weighted_squared_sums[5] = v;
         },
         kInvalid},
        {[](Stats& s, S v) {
             const auto edit = s.edit();
             edit.streams()[0].emissions[0].component_occupancies[1] = v;
         },
         kInvalid},
        {[](Stats& s, S v) {
             const auto edit = s.edit();
             edit.durations()[1].value_sum = v;
         },
         kDurations},
        {[](Stats& s, S v) {
             const auto edit = s.edit();
             edit.durations()[1].squared_sum = v;
         },
         kDurations},
        {[](Stats& s, S v) {
             const auto edit = s.edit();
             edit.durations()[2].occupancy = v;
         },
         kDurations}};
    for (const auto& [set, expected] : nonnegative) {
        auto statistics = base;
        for (const S value : {S(-0.0), Limits::max()}) {
            set(statistics, value);
            EXPECT_EQ(message(statistics), "no error") << expected;
        }
        for (const S value : {-Limits::denorm_min(), -Limits::min(), S(-1), Limits::lowest(),
                              -Limits::infinity(), Limits::infinity(), Limits::quiet_NaN()}) {
            set(statistics, value);
            EXPECT_EQ(message(statistics), expected) << value;
        }
    }
    // Weighted sums may take either sign, but must be finite.
    auto statistics = base;
    for (const S value : {-Limits::denorm_min(), S(-1), Limits::lowest(), Limits::max()}) {
        const std::size_t count = base.streams[0].emissions[1].weighted_sums.size();
        {
            const auto edit = statistics.edit();
            edit.streams()[0].emissions[1].weighted_sums.assign(count, value);
        }
        EXPECT_EQ(message(statistics), "no error") << value;
    }
    for (const S value : {-Limits::infinity(), Limits::infinity(), Limits::quiet_NaN()}) {
        {
            const auto edit = statistics.edit();
            edit.streams()[0].emissions[1].weighted_sums[3] = value;
        }
        EXPECT_EQ(message(statistics), kInvalid) << value;
    }
}

}  // namespace
}  // namespace tarvek
