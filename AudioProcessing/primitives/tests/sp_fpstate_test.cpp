// Every member of every routine of this library hands the floating-point
// control state (MXCSR and the x87 control word) back exactly as it found it,
// and gives the same results whatever that state was.
#include <string.h>

#include <vector>

#include "sp_test_support.h"

namespace {

class FpState : public sptest::VariantTest {};

TEST_P(FpState, EveryRoutineLeavesTheControlStateAsFound) {
    const std::vector<int16_t> x = sptest::RandomI16(301, 9);
    std::vector<int16_t> y(301);
    std::vector<float> f(301);
    std::vector<double> taps(301);
    auto run = [&] {
        Member<sp_entry_sp_copy_i16>()(x.data(), y.data(), 301);
        Member<sp_entry_sp_zero_i16>()(y.data(), 301);
        Member<sp_entry_sp_zero_f32>()(f.data(), 301);
        Member<sp_entry_sp_convert_i16_to_f32>()(x.data(), f.data(), 301);
        for (int32_t mode : {0, 1, 2})
            Member<sp_entry_sp_convert_f32_to_i16_scaled>()(f.data(), y.data(), 301, mode, 3);
        for (int32_t mask : {3, 5, 7, 9, 11})
            Member<sp_entry_sp_median_filter_i16>()(x.data(), y.data(), 301, mask);
        for (int32_t kind : {0, 1, 2, 3, 4})
            Member<sp_entry_sp_fir_design_lowpass_f64>()(0.1, taps.data(), 301, kind, 1);
    };
    EXPECT_TRUE(sptest::KeepsFpControl(run));
}

TEST_P(FpState, IntegerResultsDoNotDependOnTheCallersState) {
    const std::vector<int16_t> x = sptest::RandomI16(257, 4);
    std::vector<float> f(257);
    for (int32_t i = 0; i < 257; ++i) f[i] = x[i] * 0.75f + 0.5f;
    for (int32_t mode : {0, 1}) {
        std::vector<int16_t> normal(257), unusual(257);
        Member<sp_entry_sp_convert_f32_to_i16_scaled>()(f.data(), normal.data(), 257, mode, 1);
        sptest::KeepsFpControl([&] {
            Member<sp_entry_sp_convert_f32_to_i16_scaled>()(f.data(), unusual.data(), 257, mode, 1);
        });
        EXPECT_EQ(normal, unusual) << "mode " << mode;
    }
    std::vector<int16_t> a(257), b(257);
    Member<sp_entry_sp_median_filter_i16>()(x.data(), a.data(), 257, 9);
    sptest::KeepsFpControl(
        [&] { Member<sp_entry_sp_median_filter_i16>()(x.data(), b.data(), 257, 9); });
    EXPECT_EQ(a, b);
}

SP_INSTANTIATE_VARIANTS(FpState);

TEST(FpStateChecker, NoticesAChangedRegister) {
    EXPECT_FALSE(sptest::KeepsFpControl([] {
        sptest::FpControl s = sptest::ReadFpControl();
        s.mxcsr &= ~0x40u;  // denormals-are-zero cleared
        sptest::WriteFpControl(s);
    }));
    EXPECT_FALSE(sptest::KeepsFpControl([] {
        sptest::FpControl s = sptest::ReadFpControl();
        s.x87 = static_cast<uint16_t>(s.x87 & ~0x0C00u);  // rounding to nearest
        sptest::WriteFpControl(s);
    }));
    const sptest::FpControl before = sptest::ReadFpControl();
    EXPECT_TRUE(sptest::KeepsFpControl([] {}));
    EXPECT_EQ(sptest::ReadFpControl(), before);
}

}  // namespace
