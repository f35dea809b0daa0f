#include "core/posterior_exchange.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;
using testing::two_to;

constexpr const char* offset_range = "posterior values exceed the 32-bit offset range";

TEST(PosteriorExchange, OffsetsRunUpToTheLast32BitCount) {
    const std::vector<std::uint64_t> lengths{two_to(31), 0, two_to(31) - 1};
    EXPECT_EQ(exchange_offsets(lengths),
              (std::vector<std::uint32_t>{0, 0x80000000u, 0x80000000u, 0xFFFFFFFFu}));
    EXPECT_EQ(exchange_offsets(std::vector<std::uint64_t>{}), std::vector<std::uint32_t>{0});
}

TEST(PosteriorExchange, OffsetsPastThe32BitRangeAreRefusedNotWrapped) {
    EXPECT_EQ(
        error_of([] { exchange_offsets(std::vector<std::uint64_t>{two_to(31), two_to(31)}); }),
        offset_range);
    EXPECT_EQ(error_of([] { exchange_offsets(std::vector<std::uint64_t>{two_to(32)}); }),
              offset_range);
    EXPECT_EQ(error_of([] { exchange_offsets(std::vector<std::uint64_t>{1, ~std::uint64_t{0}}); }),
              offset_range);
}

// The table readers take their lengths from the stored 64-bit offsets (no values are needed to
// see the range): absent cells own nothing.
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
