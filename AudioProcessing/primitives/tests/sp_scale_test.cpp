// The exact output scale and the three saturating conversions to 16 bits.
#include <gtest/gtest.h>
#include <math.h>

#include <limits>

#include "sp_scale_internal.h"
#include "sp_test_support.h"

namespace {

using namespace sp_internal;

TEST(ExactScale, FactorIsAnExactPowerOfTwoClampedAtAThousand) {
    for (int32_t s = -1000; s <= 1000; ++s) ASSERT_EQ(ExactScaleFactor(s), ldexp(1.0, -s)) << s;
    // A float exponent field would wrap these round to 1.
    EXPECT_EQ(ExactScaleFactor(128), ldexp(1.0, -128));
    EXPECT_EQ(ExactScaleFactor(-128), ldexp(1.0, 128));
    EXPECT_NE(ExactScaleFactor(128), 1.0);
    for (int32_t s : {1001, 5000, INT32_MAX}) EXPECT_EQ(ExactScaleFactor(s), ldexp(1.0, -1000));
    for (int32_t s : {-1001, -5000, INT32_MIN}) EXPECT_EQ(ExactScaleFactor(s), ldexp(1.0, 1000));
    // The largest factor is finite, so silence stays silence.
    EXPECT_EQ(0.0 * ExactScaleFactor(INT32_MIN), 0.0);
    EXPECT_EQ(RoundI16NearestEven(0.0 * ExactScaleFactor(INT32_MIN)), 0);
}

struct RoundCase {
    double y;
    int16_t nearestEven, halfAway, towardZero;
};

TEST(ExactScale, ConversionsRoundAndSaturate) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const RoundCase cases[] = {
        {2.5, 2, 3, 2},
        {3.5, 4, 4, 3},
        {-2.5, -2, -3, -2},
        {-3.5, -4, -4, -3},
        {2.9, 3, 3, 2},
        {-2.9, -3, -3, -2},
        {0.5, 0, 1, 0},
        {-0.5, 0, -1, 0},
        {0.49999999999999994, 0, 0, 0},
        {-0.0, 0, 0, 0},
        {32766.5, 32766, 32767, 32766},
        {32767.4, 32767, 32767, 32767},
        {-32767.5, -32768, -32768, -32767},
        {40000.0, 32767, 32767, 32767},
        {3e9, 32767, 32767, 32767},
        {inf, 32767, 32767, 32767},
        {-40000.0, -32768, -32768, -32768},
        {-inf, -32768, -32768, -32768},
        {nan, -32768, -32768, -32768},
        {-nan, -32768, -32768, -32768},
    };
    for (const RoundCase& c : cases) {
        SCOPED_TRACE(c.y);
        EXPECT_EQ(RoundI16NearestEven(c.y), c.nearestEven);
        EXPECT_EQ(RoundI16HalfAway(c.y), c.halfAway);
        EXPECT_EQ(RoundI16TowardZero(c.y), c.towardZero);
    }
}

TEST(ExactScale, NearestEvenAgreesWithTheProcessorEverywhereInRange) {
    // Every quarter step over the 16-bit range against the C library's rounding
    // (rint under the default mode); then the same answers under another mode.
    for (int32_t q = -4 * 32768; q <= 4 * 32767; ++q) {
        const double y = q / 4.0;
        const int16_t want = static_cast<int16_t>(rint(y));
        ASSERT_EQ(RoundI16NearestEven(y), want) << y;
        ASSERT_EQ(RoundI16HalfAway(y), static_cast<int16_t>(round(y))) << y;
        ASSERT_EQ(RoundI16TowardZero(y), static_cast<int16_t>(trunc(y))) << y;
    }
    EXPECT_TRUE(sptest::KeepsFpControl([] {
        EXPECT_EQ(RoundI16NearestEven(2.5), 2);
        EXPECT_EQ(RoundI16NearestEven(-1.75), -2);
        EXPECT_EQ(ExactScaleFactor(3), 0.125);
    }));
}

}  // namespace
