#include "core/score_table.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;
using testing::two_to;

template <class S>
class ScoreTable : public ::testing::Test {};
TYPED_TEST_SUITE(ScoreTable, testing::Scalars);

TYPED_TEST(ScoreTable, CellsAreStoredFrameByFrame) {
    using S = TypeParam;
    auto table = StateScoreTable<S>::filled(2, 3, ModelError("emission table allocation failed"));
    EXPECT_EQ(table.index(1, 0), 3u);
    EXPECT_EQ(table.index(0, 2), 2u);
    table(1, 0) = S(4);
    EXPECT_EQ(table.values[3], S(4));
}

TYPED_TEST(ScoreTable, NewTableHoldsLogZero) {
    using S = TypeParam;
    const auto table = StateScoreTable<S>::filled(4, 5, ModelError("HSMM allocation failed"));
    ASSERT_EQ(table.values.size(), 20u);
    EXPECT_EQ(table.frames, 4u);
    EXPECT_EQ(table.states, 5u);
    for (const S value : table.values) {
        if constexpr (sizeof(S) == 4) {
            EXPECT_EQ(bits(value), 0xd8635fa9u);
            EXPECT_EQ(value, -999999986991104.0f);
        } else {
            EXPECT_EQ(value, -1e15);
        }
    }
}

TYPED_TEST(ScoreTable, AllocFailReportsTheCallersMessage) {
    using S = TypeParam;
    const ModelError failure("emission table allocation failed");
    // 2^50 cells, and a product that overflows 64 bits.
    EXPECT_EQ(error_of([&] { StateScoreTable<S>::filled(two_to(25), two_to(25), failure); }),
              "emission table allocation failed");
    EXPECT_EQ(error_of([&] { StateScoreTable<S>::filled(two_to(40), two_to(40), failure); }),
              "emission table allocation failed");
}

}  // namespace
}  // namespace tarvek
