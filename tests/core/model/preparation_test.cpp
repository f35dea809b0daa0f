#include "core/model/preparation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;

template <class S>
class Preparation : public ::testing::Test {};
TYPED_TEST_SUITE(Preparation, Scalars);

template <class S>
using Options = PreparationOptions<S>;
const char* kOptions = "invalid duration preparation options";
const char* kLaw = "duration requires a finite mean and positive variance";

// Two streams (two and one emissions) and three states, every value valid.
template <class S>
ModelParameters<S> valid_model() {
    const std::vector<StreamLayout> layouts{{2, 2, 3}, {1, 1, 2}};
    ModelParameters<S> model(layouts, 3);
    const auto edit = model.edit();
    for (auto& stream : edit.streams()) {
        for (auto& mixture : stream.emissions) {
            for (std::size_t i = 0; i < mixture.variances.size(); ++i) {
                mixture.variances[i] = static_cast<S>(0.5 + static_cast<double>(i));
                mixture.means[i] = static_cast<S>(i);
            }
        }
    }
    for (std::size_t q = 0; q < 3; ++q) edit.durations()[q] = {static_cast<S>(4 + q), S(2)};
    return model;
}

TYPED_TEST(Preparation, DurationCache) {
    using S = TypeParam;
    const DurationParameters<S> law{S(4), S(2), 3};
    const DurationPreparation<S> plain(law, Options<S>{5});
    ASSERT_EQ(plain.cache.size(), 5u);
    for (std::size_t d = 0; d < 3; ++d) EXPECT_EQ(plain.cache[d], log_zero<S>);
    const long double pi = 3.141592653589793238462643383279L;
    for (std::size_t d = 3; d < 5; ++d) {
        EXPECT_NEAR(plain.cache[d], -0.5L * std::log(4 * pi) - (d - 4.0L) * (d - 4.0L) / 4, 1e-6);
    }
    const DurationPreparation<S> frozen(law, Options<S>{5, S(1), S(0)});
    EXPECT_EQ(frozen.cache, (std::vector<S>{log_zero<S>, log_zero<S>, log_zero<S>, S(0), S(0)}));
    EXPECT_EQ(frozen.probability(law, 1000), S(1));
    const DurationPreparation<S> half(law, Options<S>{5, S(1), S(0.5)});
    EXPECT_EQ(half.cache[2], S(-5e14));
    EXPECT_EQ(half.probability(law, 1), static_cast<S>(static_cast<float>(fast_exp_floor)));
    const DurationPreparation<S> weightless({S(4), S(2)}, Options<S>{6, S(0)});
    EXPECT_EQ(weightless.cache, std::vector<S>(6, S(0)));

    // Beyond the cache (here every duration of an empty cache) the same rule holds bit for bit.
    for (const std::int32_t minimum : {-1, 3}) {
        for (const S t : {S(1), S(0.7), S(0)}) {
            const DurationParameters<S> other{S(6.5), S(3), minimum};
            const DurationPreparation<S> cached(other, {40, S(1.3), t}),
                uncached(other, {0, S(1.3), t});
            EXPECT_TRUE(uncached.cache.empty());
            for (std::uint64_t d = 0; d < 45; ++d) {
                EXPECT_EQ(bits(cached.log_value(other, d)), bits(uncached.log_value(other, d)));
                EXPECT_EQ(bits(cached.probability(other, d)), bits(uncached.probability(other, d)));
            }
        }
    }
    const DurationParameters<S> none;
    expect_messages(
        {{[&] { plain.probability(law, two_to(31)); }, "duration exceeds the legacy frame range"},
         {[&] { plain.log_probability(law, two_to(31) - 1); }, "no error"},
         // Options before the law.
         {[&] { DurationPreparation<S>(none, {two_to(31)}); }, kOptions},
         {[&] {
              DurationPreparation<S>(law, {1, S(-1)});
          },
          kOptions},
         {[&] {
              DurationPreparation<S>(law, {1, S(1), nan<S>});
          },
          kOptions},
         {[&] {
              DurationPreparation<S>(law, {1, inf<S>});
          },
          kOptions},
         {[&] { DurationPreparation<S>(none, {1}); }, kLaw},
         {[&] {
              DurationPreparation<S>(law, {4, S(-0.0), S(-0.0)});
          },
          "no error"}});
}

TYPED_TEST(Preparation, PrepareModel) {
    using S = TypeParam;
    const auto copy = valid_model<S>();
    auto prepared = prepare_owned_duration_states(valid_model<S>(), Options<S>{10});
    ASSERT_EQ(prepared.streams.size(), 2u);
    EXPECT_EQ(prepared.streams[0].normalizers[1],
              gaussian_normalizers(copy.streams[0].emissions[1]));
    for (std::size_t q = 0; q < 3; ++q) {
        ASSERT_NE(prepared.duration(q), nullptr);
        EXPECT_EQ(prepared.duration(q)->cache,
                  DurationPreparation<S>(copy.durations[q], {10}).cache);
    }
    EXPECT_EQ(prepared.duration(3), nullptr);
    ASSERT_TRUE(prepared.emission(1, 0).has_value());
    EXPECT_EQ(&prepared.emission(1, 0)->parameters(), &prepared.model.streams[1].emissions[0]);
    EXPECT_FALSE(prepared.emission(1, 1).has_value() || prepared.emission(2, 0).has_value());
    const ModelParameters<S> back = std::move(prepared).into_model();
    EXPECT_EQ(back.streams[0].emissions[1].means, copy.streams[0].emissions[1].means);

    // Selected states, in the caller's order, each once; an unselected law is never examined.
    auto model = valid_model<S>();
    {
        const auto edit = model.edit();
        edit.durations()[1].variance = S(0);
    }
    const std::vector<std::uint64_t> selected{2, 0, 2}, invalid_first{1, 5};
    const auto some = prepare_owned_duration_states(model, Options<S>{4}, selected);
    EXPECT_TRUE(some.duration(0) && !some.duration(1) && some.duration(2));
    EXPECT_EQ(error_of([&] { prepare_owned_duration_states(model, Options<S>{4}); }), kLaw);
    EXPECT_EQ(error_of([&] { prepare_owned_duration_states(model, Options<S>{4}, invalid_first); }),
              kLaw);

    auto stream = valid_model<S>().streams[0];
    const auto prepared_stream = StreamParameters<S>(stream).prepare_owned();
    EXPECT_EQ(prepared_stream.preparation.normalizers[0],
              gaussian_normalizers(stream.emissions[0]));
    EXPECT_TRUE(prepared_stream.emission(1).has_value() &&
                !prepared_stream.emission(2).has_value());
    stream.weight = S(-1);
    auto malformed = stream;  // the shape check comes before the weight's
    malformed.emissions[1].means.pop_back();
    EXPECT_EQ(error_of([&] { std::move(malformed).prepare_owned(); }), kLengths);
    EXPECT_EQ(error_of([&] { std::move(stream).prepare_owned(); }),
              "stream weights must be finite and nonnegative");
    EXPECT_TRUE(stream.emissions.empty());  // consumed on failure
}

TYPED_TEST(Preparation, ModelChecksInOrder) {
    using S = TypeParam;
    using Model = ModelParameters<S>;
    const std::vector<std::uint64_t> out_of_range{7};
    const auto prepare = [&](Options<S> options) {
        return [=](const Model& m) { prepare_owned_duration_states(m, options, out_of_range); };
    };
    // Each row also plants the faults of the later rows.
    const auto weight = [](Model& m) {
        const auto edit = m.edit();
        edit.streams()[0].weight = S(-1);
        edit.streams()[1].emissions[0].variances[0] = S(0);
    };
    const auto shape = [=](Model& m) {
        weight(m);
        const auto edit = m.edit();
        edit.streams()[1].emissions[0].means.pop_back();
    };
    expect_rows<Model>(valid_model<S>(), prepare({two_to(31)}), {{shape, kOptions}});
    expect_rows<Model>(valid_model<S>(), prepare({4}),
                       {{shape, kLengths},
                        {weight, "stream weights must be finite and nonnegative"},
                        {[](Model& m) {
                             const auto edit = m.edit();
                             edit.streams()[1].emissions[0].variances[0] = S(0);
                         },
                         "emissions require finite means, positive variances, and nonnegative "
                         "finite weights"},
                        {[](Model&) {}, "selected duration state is out of range"}});
    auto accepted = valid_model<S>();
    {
        const auto edit = accepted.edit();
        edit.streams()[0].weight = S(-0.0);
    }
    EXPECT_EQ(error_of([&] {
                  prepare_owned_duration_states(accepted, Options<S>{4, S(1), S(-0.0)});
              }),
              "no error");
}

}  // namespace
}  // namespace tarvek
