#include "core/inference/posterior_exchange.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;
using testing::two_to;

constexpr const char* offset_range = "posterior values exceed the 32-bit offset range";
using Lengths = std::vector<std::uint64_t>;

TEST(PosteriorExchange, OffsetsRunUpToTheLast32BitCountAndNeverWrap) {
    EXPECT_EQ(exchange_offsets(Lengths{two_to(31), 0, two_to(31) - 1}),
              (std::vector<std::uint32_t>{0, 0x80000000u, 0x80000000u, 0xFFFFFFFFu}));
    EXPECT_EQ(exchange_offsets(Lengths{}), std::vector<std::uint32_t>{0});
    for (const Lengths& lengths :
         {Lengths{two_to(31), two_to(31)}, Lengths{two_to(32)}, Lengths{1, ~std::uint64_t{0}}}) {
        EXPECT_EQ(error_of([&] { exchange_offsets(lengths); }), offset_range);
    }
}

// The table readers take their lengths from the stored 64-bit offsets, so no values are needed
// to reach the range; absent cells own nothing.
TEST(PosteriorExchange, TableReadersRefuseOffsetsPastThe32BitRange) {
    MixtureOccupancies mixtures;
    mixtures.presence = {1, 0, 1};
    mixtures.offsets = {0, two_to(31), two_to(31), two_to(32)};
    EXPECT_EQ(error_of([&] { exchange_offsets(mixtures); }), offset_range);
    mixtures.offsets.back() = two_to(32) - 1;
    EXPECT_EQ(exchange_offsets(mixtures),
              (std::vector<std::uint32_t>{0, 0x80000000u, 0x80000000u, 0xFFFFFFFFu}));
    DurationOccupancies durations;
    durations.presence = {1, 1};
    durations.minimums = {1, 1};
    durations.offsets = {0, two_to(31), two_to(32)};
    EXPECT_EQ(error_of([&] { exchange_offsets(durations); }), offset_range);
}

}  // namespace
}  // namespace tarvek
