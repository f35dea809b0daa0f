#include "core/numerics.hpp"

#include <gtest/gtest.h>

namespace tarvek {
namespace {
TEST(Numerics, Smoke) {
    EXPECT_FLOAT_EQ(numerics::log_add(0.0f, 0.0f), 0.69314718f);
}
}  // namespace
}  // namespace tarvek
