// The engine's fixed-point operations: the exact values its algorithms rely
// on, against wider references.
#include "AecFixedPoint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

using namespace aec;

namespace {

const int32_t kBoundary16[] = {-32768, -32767, -1, 0, 1, 32766, 32767};

TEST(AecFixedPoint, SaturatingSixteenBitAddAndSubtract) {
    EXPECT_EQ(add16(30000, 10000), 32767);
    EXPECT_EQ(sub16(-30000, 10000), -32768);
    for (int32_t a : kBoundary16) {
        for (int32_t b : kBoundary16) {
            SCOPED_TRACE(testing::Message() << a << ", " << b);
            int64_t sum = std::clamp<int64_t>(int64_t(a) + b, -32768, 32767);
            int64_t diff = std::clamp<int64_t>(int64_t(a) - b, -32768, 32767);
            EXPECT_EQ(add16(int16_t(a), int16_t(b)), sum);
            EXPECT_EQ(sub16(int16_t(a), int16_t(b)), diff);
        }
    }
}

TEST(AecFixedPoint, SaturatingThirtyTwoBitAddAndSubtract) {
    EXPECT_EQ(add32(0x7FFFFFFF, 1), 0x7FFFFFFF);
    EXPECT_EQ(add32(kInt32Min, -1), kInt32Min);
    const int32_t values[] = {kInt32Min, kInt32Min + 1, -1, 0, 1, kInt32Max - 1, kInt32Max};
    for (int32_t a : values) {
        for (int32_t b : values) {
            SCOPED_TRACE(testing::Message() << a << ", " << b);
            EXPECT_EQ(add32(a, b), std::clamp<int64_t>(int64_t(a) + b, kInt32Min, kInt32Max));
            EXPECT_EQ(sub32(a, b), std::clamp<int64_t>(int64_t(a) - b, kInt32Min, kInt32Max));
        }
    }
}

TEST(AecFixedPoint, Norm32CountsLeftShiftsToNormalise) {
    EXPECT_EQ(norm32(1), 30);
    EXPECT_EQ(norm32(0x40000000), 0);
    EXPECT_EQ(norm32(-1), 31);
    EXPECT_EQ(norm32(0), 0);
    EXPECT_EQ(norm32(kInt32Min), 0);
    EXPECT_EQ(norm32(kInt32Max), 0);
    EXPECT_EQ(Norm32NonZero(0), 31);
    for (int bit = 0; bit < 31; ++bit) {
        int32_t x = int32_t(1) << bit;
        EXPECT_EQ(norm32(x), 30 - bit);
        int32_t shifted = x << norm32(x);
        EXPECT_GE(shifted, 0x40000000);
    }
}

TEST(AecFixedPoint, DivisionSaturatesWhereTheQuotientCannotBeHeld) {
    for (int32_t a : {0, 1, -1, 12345, kInt32Min, kInt32Max})
        EXPECT_EQ(div32by16(a, 0), 0x7FFFFFFF);
    EXPECT_EQ(div32by16(kInt32Min, -1), 0x7FFFFFFF);
    EXPECT_EQ(div32by16(-7, 2), -3);  // toward zero
    EXPECT_EQ(div32by16(7, -2), -3);
    EXPECT_EQ(div32by16(kInt32Min, 1), kInt32Min);
}

// The Schur recursion's Q15 quotient: the fifteen bits restoring division
// gives, for every divisor and the numerators at both ends and between.
TEST(AecFixedPoint, QuotientIsTheRestoringDivisionsFifteenBits) {
    auto restoring = [](int32_t num, int32_t den) {
        int32_t out = 0, rem = num;
        for (int i = 0; i < 15; ++i) {
            out <<= 1;
            rem <<= 1;
            if (rem >= den) {
                rem -= den;
                out += 1;
            }
        }
        return out;
    };
    uint32_t seed = 12345;
    for (int32_t den = 1; den <= 32767; ++den) {
        seed = seed * 1664525u + 1013904223u;
        const int32_t between = int32_t((seed >> 8) % uint32_t(den + 1));
        for (int32_t num : {0, 1, den / 2, den - 1, den, between}) {
            if (num < 0) continue;
            ASSERT_EQ(DivideQ15(num, den), restoring(num, den)) << num << " / " << den;
        }
    }
}

TEST(AecFixedPoint, SquareRootGivesTheListedValues) {
    const struct {
        int32_t x, root;
    } cases[] = {{0, 0},        {1, 1},          {2, 1},          {4, 2},
                 {26, 5},       {100, 10},       {10000, 100},    {65536, 256},
                 {260537, 510}, {1 << 20, 1024}, {2605373, 1614}, {1 << 30, 32792}};
    for (auto c : cases) {
        SCOPED_TRACE(c.x);
        EXPECT_EQ(sqrt32(c.x), c.root);
    }
}

TEST(AecFixedPoint, SquareRootNearTheTopOfTheRangeStaysPositive) {
    // Rounding the normalised argument must not carry into the sign.
    EXPECT_EQ(sqrt32(0x3FFFFFFF), 32767);
    EXPECT_EQ(sqrt32(1048560), 1023);
    EXPECT_EQ(sqrt32(0x7FFFFFFF), 46338);
}

TEST(AecFixedPoint, SquareRootIsMonotoneAndCloseToTheTrueRoot) {
    int32_t previous = 0;
    // A dense sweep: every value up to 2^16, then geometric steps to 2^31.
    for (int64_t x = 1; x <= kInt32Max; x = x < 65536 ? x + 1 : x + x / 977 + 1) {
        int32_t root = sqrt32(int32_t(x));
        ASSERT_GE(root, previous) << x;
        double exact = std::sqrt(double(x));
        ASSERT_LE(std::fabs(root - exact), 0.02 * exact + 1.0) << x;
        previous = root;
    }
}

TEST(AecFixedPoint, HeadroomShiftKeepsSumsOfSquaresInThirtyTwoBits) {
    int16_t loud[16];
    fill16(loud, -32768, 16);
    EXPECT_EQ(HeadroomShift(loud, 16), 5);
    int shift = -1;
    int32_t energy = energyScaled(loud, 16, &shift);
    EXPECT_EQ(shift, 5);
    EXPECT_EQ(energy, 16 * ((int32_t(1) << 30) >> 5));
    int16_t zeros[8] = {};
    EXPECT_EQ(HeadroomShift(zeros, 8), 0);
    int16_t small[4] = {3, -4, 0, 1};
    EXPECT_EQ(HeadroomShift(small, 4), 0);
    EXPECT_EQ(energyScaled(small, 4, &shift), 26);
}

TEST(AecFixedPoint, LeakyEnergyConvergesToTheMeanSquare) {
    int16_t x[16];
    fill16(x, 1000, 16);
    int32_t acc = 1;
    for (int i = 0; i < 200; ++i) TrackEnergy(&acc, x, 16, 5);
    EXPECT_NEAR(acc, 1000000, 1000000 / 100);
    // And it never falls below 1.
    int16_t zeros[16] = {};
    for (int i = 0; i < 200; ++i) TrackEnergy(&acc, zeros, 16, 5);
    EXPECT_GE(acc, 1);
    EXPECT_LE(acc, 40);
}

// Every step of the leaky energy against the saturating 64-bit step, from
// any start (negative and full-scale ones too), for loud, silent and
// alternating extreme input.
TEST(AecFixedPoint, LeakyEnergyStepsAsTheSaturatingReference) {
    uint32_t seed = 7;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed;
    };
    const int32_t starts[] = {kInt32Min, -1000000,       -1,       0, 1, 2605,
                              1 << 30,   kInt32Max - 64, kInt32Max};
    for (int trial = 0; trial < 2000; ++trial) {
        int16_t x[16];
        const int kind = trial % 4;
        for (int i = 0; i < 16; ++i) {
            const uint32_t r = next();
            x[i] = kind == 0   ? int16_t(r >> 16)
                   : kind == 1 ? int16_t((i & 1) ? -32768 : 32767)
                   : kind == 2 ? int16_t(0)
                               : int16_t(int16_t(r >> 16) >> (r % 15));
        }
        const int k = 4 + int(next() % 4);
        const int32_t cs[] = {0, int32_t(1) << (k - 1), (int32_t(1) << 30) - 1, int32_t(1) << 30,
                              -5};
        const int32_t c = cs[next() % 5];
        int32_t start = trial < 9 * 5 ? starts[trial % 9] : int32_t(next());
        int32_t acc = start, wide = start;
        LeakyEnergy(&acc, x, 16, k, c);
        for (int i = 0; i < 16; ++i)
            wide = Saturate32(int64_t(wide) + ((int64_t(int32_t(x[i]) * x[i]) - wide + c) >> k));
        ASSERT_EQ(acc, wide) << start << " " << k << " " << c << " " << kind;
    }
}

TEST(AecFixedPoint, TapUpdateWrapsInSixteenBits) {
    int16_t taps[3] = {32767, -32768, 100};
    const int16_t x[3] = {32767, -32767, 0};
    tapUpdate(32767, 3, x, taps);
    // (32767 * 32767 + 0x8000) >> 16 = 16383: 32767 + 16383 wraps negative.
    EXPECT_EQ(taps[0], int16_t(uint16_t(32767 + 16383)));
    EXPECT_EQ(taps[1], int16_t(uint16_t(-32768 - 16383 + 65536)));
    EXPECT_EQ(taps[2], 100);
}

TEST(AecFixedPoint, DotWrapsAndScaledDotShifts) {
    int16_t a[4] = {32767, 32767, 32767, 32767};
    uint32_t expected = 0;
    for (int i = 0; i < 4; ++i) expected += uint32_t(32767 * 32767);
    EXPECT_EQ(dot(a, a, 4), int32_t(expected));
    EXPECT_EQ(dotScaled(a, a, 4, 2), 4 * ((32767 * 32767) >> 2));
}

TEST(AecFixedPoint, ReflectionOfSilenceIsAllZero) {
    int32_t r[9] = {0};
    r[0] = 1;  // what callers force for an all-zero autocorrelation
    int16_t k[9];
    int32_t gain = reflection(r, 8, k);
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(k[i], 0) << i;
    EXPECT_EQ(gain, 1);
}

// Double-precision Levinson-Durbin: prediction-error filter 1 + sum a_j z^-j.
std::vector<double> Levinson(const int32_t* r, int p) {
    std::vector<double> a(p + 1, 0.0), prev(p + 1, 0.0);
    a[0] = 1.0;
    double err = r[0];
    for (int i = 1; i <= p; ++i) {
        double acc = r[i];
        for (int j = 1; j < i; ++j) acc += a[j] * r[i - j];
        double k = -acc / err;
        prev = a;
        for (int j = 1; j < i; ++j) a[j] = prev[j] + k * prev[i - j];
        a[i] = k;
        err *= 1.0 - k * k;
    }
    return a;
}

TEST(AecFixedPoint, SchurAndStepUpMatchADoublePrecisionRecursion) {
    // x[n] = 1.2 x[n-1] - 0.5 x[n-2] + w[n]: prediction-error filter close to
    // 1 - 1.2 z^-1 + 0.5 z^-2.
    const int n = 4000;
    static int16_t x[n];
    double y1 = 0, y2 = 0;
    uint32_t seed = 12345;
    for (int i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        double w = (double(seed >> 8) / double(1 << 24) - 0.5) * 2000.0;
        double y = 1.2 * y1 - 0.5 * y2 + w;
        y2 = y1;
        y1 = y;
        x[i] = int16_t(std::lround(y));
    }
    for (int order : {2, 5, 8}) {
        SCOPED_TRACE(order);
        int32_t r[9];
        int shift = 0;
        autocorr(x, n, order, r, &shift);
        std::vector<double> ref = Levinson(r, order);
        int16_t k[9];
        int32_t gain = reflection(r, order, k);
        int16_t a[9];
        stepUp(k, order, 12, a);
        EXPECT_EQ(a[0], 4096);
        for (int j = 1; j <= order; ++j) EXPECT_NEAR(a[j] / 4096.0, ref[j], 0.01) << j;
        EXPECT_GT(gain, 2);  // a strongly predictable process
        if (order == 2) {
            EXPECT_NEAR(ref[1], -1.2, 0.05);
            EXPECT_NEAR(ref[2], 0.5, 0.05);
        }
        // The same through the lag variant and the Q13 step-up.
        autocorrLags(x, n, order, r, &shift);
        ref = Levinson(r, order);
        reflection(r, order, k);
        stepUp(k, order, 13, a);
        for (int j = 1; j <= order; ++j) EXPECT_NEAR(a[j] / 8192.0, ref[j], 0.01) << j;
    }
}

TEST(AecFixedPoint, BlockFloatingPointKeepsTheValue) {
    for (int64_t v :
         {int64_t(1), int64_t(3), int64_t(0x7FFFFFFF), int64_t(1) << 40, int64_t(123456789012)}) {
        Bfp b = ToBfp(v);
        EXPECT_GE(b.mantissa, 0x40000000);
        double back = std::ldexp(double(b.mantissa), b.shift);
        EXPECT_NEAR(back, double(v), double(v) * 1e-9 + 1e-9);
    }
    EXPECT_EQ(ToBfp(0).mantissa, 0);
}

TEST(AecFixedPoint, ShiftHelpersAreDefinedForEveryCount) {
    EXPECT_EQ(ShiftRight32(-1, 40), -1);
    EXPECT_EQ(ShiftRight32(1, -3), 8);
    EXPECT_EQ(ShiftRight32(-5, -1), -10);
    EXPECT_EQ(WrapShl32(0x40000000, 1), kInt32Min);
    EXPECT_EQ(MulQ15Round(-32768, -32768), 32767);
    EXPECT_EQ(MulQ15Round(16384, 16384), 8192);
    EXPECT_EQ(Round16(0x00018000), 2);
    EXPECT_EQ(Round16(0x7FFFFFFF), 32767);
}

}  // namespace

namespace {

// The Schur recursion in double precision on the same 16-bit normalised
// autocorrelation the fixed-point one starts from: reflection coefficients
// in Q15 units.
std::vector<double> SchurReference(const int32_t* r, int p) {
    const int n = Norm32NonZero(r[0]);
    std::vector<double> P(size_t(p) + 1), K(size_t(p) + 1), k(size_t(p) + 1, 0.0);
    for (int i = 0; i <= p; ++i) P[size_t(i)] = double(WrapShl32(r[i], n) >> 16);
    for (int i = 1; i < p; ++i) K[size_t(i)] = P[size_t(i)];
    for (int i = 1; i <= p; ++i) {
        const double ki = -P[1] / P[0] * 32768.0;
        k[size_t(i)] = ki;
        P[0] += P[1] * ki / 32768.0;
        for (int j = 1; j <= p - i; ++j) {
            const double next = P[size_t(j) + 1];
            P[size_t(j)] = next + K[size_t(j)] * ki / 32768.0;
            K[size_t(j)] += next * ki / 32768.0;
        }
    }
    return k;
}

}  // namespace

// The rows of the recursion are rounded, not truncated: over many
// processes the coefficients carry no drift beyond the division's own
// (truncated) half step in magnitude.
TEST(AecFixedPoint, SchurRowsAreRoundedWithoutDrift) {
    const int order = 8;
    double drift = 0.0;
    int count = 0;
    uint32_t seed = 777;
    for (int trial = 0; trial < 400; ++trial) {
        // A random AR(2) process with poles of radius 0.7-0.95.
        seed = seed * 1664525u + 1013904223u;
        const double radius = 0.7 + 0.25 * double(seed >> 8) / double(1 << 24);
        seed = seed * 1664525u + 1013904223u;
        const double angle = 3.0 * double(seed >> 8) / double(1 << 24);
        const double a1 = 2 * radius * std::cos(angle), a2 = -radius * radius;
        static int16_t x[2000];
        double y1 = 0, y2 = 0;
        for (int i = 0; i < 2000; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const double y = a1 * y1 + a2 * y2 + (double(seed >> 8) / double(1 << 24) - 0.5) * 400;
            y2 = y1;
            y1 = y;
            x[i] = int16_t(std::lround(std::clamp(y, -32768.0, 32767.0)));
        }
        int32_t r[order + 1];
        int shift = 0;
        autocorrLags(x, 2000, order, r, &shift);
        int16_t k[order + 1];
        reflection(r, order, k);
        const std::vector<double> ref = SchurReference(r, order);
        for (int i = 1; i <= order; ++i) {
            if (std::fabs(ref[size_t(i)]) > 32000) continue;  // near the stability edge
            // Error in magnitude, less the division's truncation (half a step).
            const double sign = ref[size_t(i)] < 0 ? -1.0 : 1.0;
            drift += sign * (k[i] - ref[size_t(i)]) + 0.5;
            ++count;
        }
    }
    // (Truncated rows drift by about 12 steps.)
    EXPECT_NEAR(drift / count, 0.0, 1.0) << count;
}
