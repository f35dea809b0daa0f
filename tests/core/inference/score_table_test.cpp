#include "core/inference/score_table.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;
using testing::two_to;

template <class S>
class ScoreTable : public ::testing::Test {};
TYPED_TEST_SUITE(ScoreTable, testing::Scalars);

TYPED_TEST(ScoreTable, FilledWithLogZeroAndStoredFrameByFrame) {
    using S = TypeParam;
    const auto table = StateScoreTable<S>::filled(2, 3, ModelError("unused"));
    EXPECT_EQ(table.frames, 2u);
    EXPECT_EQ(table.states, 3u);
    EXPECT_EQ(table.index(1, 0), 3u);
    EXPECT_EQ(table.index(0, 2), 2u);
    const S log_zero = sizeof(S) == 4 ? S(-999999986991104.0f) : S(-1e15);
    EXPECT_EQ(table.values, std::vector<S>(6, log_zero));
    if constexpr (sizeof(S) == 4) {
        EXPECT_EQ(testing::bits(table.values[0]), 0xd8635fa9u);
    }
}

TYPED_TEST(ScoreTable, AllocFailReportsTheCallersMessage) {
    using S = TypeParam;
    const ModelError failure("emission table allocation failed");
    // 2^50 cells, and a product that overflows 64 bits.
    for (const auto side : {two_to(25), two_to(40)}) {
        EXPECT_EQ(error_of([&] { StateScoreTable<S>::filled(side, side, failure); }),
                  "emission table allocation failed");
    }
}

}  // namespace
}  // namespace tarvek
