// The generic real FFT at its largest orders: rows on the 4096-point block
// path (order 23), the round trips of order 22 with every scaling flag and
// two decomposition levels (order 24).  Each signal, plan and reference is
// tens to hundreds of megabytes, so they run with the long sweeps; the check
// keeps order 22 against its double reference.
#include <vector>

#include "sp_fft.h"
#include "sp_fft_simd_members.h"

namespace {

using sptest::CloseInL2;
using sptest::RandomSignal;
using sptest::Spec;

TEST(RfftSweep, OrderTwentyThreeAgainstADoubleReference) {
    const int32_t order = 23;
    const size_t n = size_t{1} << order;
    Spec p(sp_rfft_spec_init, order, 8);
    ASSERT_NE(nullptr, p.spec);
    const std::vector<float> x = RandomSignal(n, 2100 + order);
    const std::vector<double> want = sptest::PackedSpectrum<double>(x);
    std::vector<float> got(n);
    ASSERT_EQ(sp_status_ok, sp_rfft_forward(x.data(), got.data(), p.spec, nullptr));
    EXPECT_TRUE(CloseInL2(got.data(), want, order));
}

TEST(RfftSweep, OrderTwentyTwoRoundTripWithEveryFlag) {
    const int32_t order = 22;
    const size_t n = size_t{1} << order;
    const std::vector<float> x = RandomSignal(n, 500 + order);
    for (const int32_t flag : {2, 4, 8}) {
        SCOPED_TRACE(flag);
        Spec p(sp_rfft_spec_init, order, flag);
        ASSERT_NE(nullptr, p.spec);
        std::vector<float> y(x);
        ASSERT_EQ(sp_status_ok, sp_rfft_forward(y.data(), y.data(), p.spec, nullptr));
        ASSERT_EQ(sp_status_ok, sp_rfft_inverse(y.data(), y.data(), p.spec, nullptr));
        std::vector<double> want(x.begin(), x.end());
        if (flag == 8)
            for (double& w : want) w *= static_cast<double>(n);
        EXPECT_TRUE(CloseInL2(y.data(), want, order + 2));
    }
}

// Two decomposition levels (order 24); compared with the input, since no
// long-double reference of that size runs in reasonable time.
TEST(RfftSweep, TwoLevelsAgreeWithTheirOwnRoundTrip) {
    const int32_t order = 24;
    const size_t n = size_t{1} << order;
    Spec p(sp_rfft_spec_init, order, 2);
    ASSERT_NE(nullptr, p.spec);
    const std::vector<float> x = RandomSignal(n, 24);
    std::vector<float> y(n);
    ASSERT_EQ(sp_status_ok, sp_rfft_forward(x.data(), y.data(), p.spec, nullptr));
    ASSERT_EQ(sp_status_ok, sp_rfft_inverse(y.data(), y.data(), p.spec, nullptr));
    EXPECT_TRUE(CloseInL2(y.data(), x, order + 2));
    // A pure tone lands in one bin: check the transform, not only its inverse.
    const size_t bin = 12345;
    const std::vector<float> tone = sptest::ToneSum(n, {{bin, 1.0, 0.0}});
    ASSERT_EQ(sp_status_ok, sp_rfft_forward(tone.data(), y.data(), p.spec, nullptr));
    EXPECT_NEAR(n / 2.0, y[2 * bin - 1], n * 1e-5);
    EXPECT_NEAR(0.0, y[2 * bin], n * 1e-5);
    EXPECT_NEAR(0.0, y[2 * bin + 1], n * 1e-5);
}

}  // namespace
