// The two sample conversions in every member: exactness, the documented
// rounding and saturation, agreement with the generic member, and the
// floating-point control state left as found.
#include <limits.h>
#include <math.h>
#include <string.h>

#include <random>
#include <vector>

#include "sp_test_support.h"

namespace {

using sptest::GuardedBuffer;

class Convert : public sptest::VariantTest {
protected:
    std::vector<int16_t> ToI16(const std::vector<float>& in, int32_t mode, int32_t scale) {
        std::vector<int16_t> out(in.size(), 0x5555);
        EXPECT_EQ(Member<sp_entry_sp_convert_f32_to_i16_scaled>()(
                      in.data(), out.data(), static_cast<int32_t>(in.size()), mode, scale),
                  sp_status_ok);
        return out;
    }
};

TEST_P(Convert, I16ToF32IsExactForEveryValueAndAlignment) {
    auto convert = Member<sp_entry_sp_convert_i16_to_f32>();
    std::vector<int16_t> all(65536 + 8);
    for (int32_t v = 0; v < 65536; ++v) all[v] = static_cast<int16_t>(v - 32768);
    std::vector<float> out(65536 + 16);
    for (int so = 0; so < 8; ++so) {
        for (int dOff = 0; dOff < 4; ++dOff) {
            SCOPED_TRACE(testing::Message() << "src+" << so * 2 << " dst+" << dOff * 4);
            std::vector<int16_t> src(all.begin(), all.begin() + 65536);
            src.insert(src.begin(), so, 0);
            ASSERT_EQ(convert(src.data() + so, out.data() + dOff, 65536), sp_status_ok);
            for (int32_t v = 0; v < 65536; ++v)
                ASSERT_EQ(out[dOff + v], static_cast<float>(v - 32768));
        }
    }
    // Short runs against guard pages (head and tail loops).
    for (int32_t len = 1; len <= 40; ++len) {
        GuardedBuffer s = GuardedBuffer::AtEnd(len * 2u);
        GuardedBuffer d = GuardedBuffer::AtEnd(len * 4u);
        for (int32_t i = 0; i < len; ++i)
            s.As<int16_t>()[i] = static_cast<int16_t>(i * 1000 - 20000);
        ASSERT_EQ(convert(s.As<int16_t>(), d.As<float>(), len), sp_status_ok);
        for (int32_t i = 0; i < len; ++i)
            ASSERT_EQ(d.As<float>()[i], static_cast<float>(i * 1000 - 20000));
    }
}

TEST_P(Convert, RoundingAndSaturationCases) {
    EXPECT_EQ(ToI16({0.5f, 1.5f, 2.5f, -1.5f, -0.5f, 3.5f, -2.5f}, 1, 0),
              (std::vector<int16_t>{0, 2, 2, -2, 0, 4, -2}));
    EXPECT_EQ(ToI16({1.9f, -1.9f, 0.49999997f}, 0, 0), (std::vector<int16_t>{1, -1, 0}));
    EXPECT_EQ(ToI16({0.49999997f, -0.49999997f, 32766.5f, -32767.5f}, 1, 0),
              (std::vector<int16_t>{0, 0, 32766, -32768}));
    for (int32_t mode : {0, 1}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(
            ToI16({40000.0f, -40000.0f, 32767.0f, -32768.0f, 1e30f, -1e30f, INFINITY, -INFINITY},
                  mode, 0),
            (std::vector<int16_t>{32767, -32768, 32767, -32768, 32767, -32768, 32767, -32768}));
        EXPECT_EQ(ToI16({20000.0f}, mode, -1), (std::vector<int16_t>{32767}));
        EXPECT_EQ(ToI16({65534.0f}, mode, 1), (std::vector<int16_t>{32767}));
    }
    EXPECT_EQ(ToI16({3.0f}, 1, 1), (std::vector<int16_t>{2}));
    EXPECT_EQ(ToI16({3.0f}, 0, 1), (std::vector<int16_t>{1}));
}

TEST_P(Convert, NaNAndOtherRoundModesAsDocumented) {
    const bool simd = Variant() != sp_variant_generic;
    const int16_t nanValue = simd ? 32767 : -32768;
    EXPECT_EQ(ToI16({NAN, -NAN}, 1, 0), (std::vector<int16_t>{nanValue, nanValue}));
    EXPECT_EQ(ToI16({NAN}, 0, 3), (std::vector<int16_t>{nanValue}));
    // Round mode 2: truncation in the generic and SSE members, nearest in SSE2/SSE3.
    const bool nearest = Variant() == sp_variant_sse2 || Variant() == sp_variant_sse3;
    EXPECT_EQ(ToI16({1.75f, -1.75f, 2.5f}, 2, 0),
              nearest ? (std::vector<int16_t>{2, -2, 2}) : (std::vector<int16_t>{1, -1, 2}));
}

TEST_P(Convert, ExtremeScalesReturnPromptly) {
    // 2^-INT_MAX is 0; 2^-INT_MIN is infinite.
    EXPECT_EQ(ToI16({1.0f, -30000.0f, 0.0f}, 1, INT_MAX), (std::vector<int16_t>{0, 0, 0}));
    EXPECT_EQ(ToI16({1.0f, -1.0f}, 1, INT_MIN), (std::vector<int16_t>{32767, -32768}));
    EXPECT_EQ(ToI16({1.0f, -1.0f}, 0, INT_MIN + 1), (std::vector<int16_t>{32767, -32768}));
}

TEST_P(Convert, AgreesBitExactlyWithTheGenericMember) {
    auto generic = sp_dispatch_member<sp_entry_sp_convert_f32_to_i16_scaled>(sp_variant_generic);
    auto member = Member<sp_entry_sp_convert_f32_to_i16_scaled>();
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> mag(-70000.0f, 70000.0f);
    std::vector<float> src(1000 + 8);
    for (auto& x : src) x = mag(rng);
    // Halves and near-halves, where rounding is decided.
    for (int i = 0; i < 200; ++i)
        src[i] = static_cast<float>(static_cast<int>(rng() % 2000) - 1000) + 0.5f;
    for (int32_t scale = -3; scale <= 20; ++scale) {
        for (int32_t mode : {0, 1}) {
            for (int off = 0; off < 8; ++off) {
                SCOPED_TRACE(testing::Message()
                             << "scale " << scale << " mode " << mode << " offset " << off);
                const int32_t len = 1000 - off;
                std::vector<int16_t> want(len + 8), got(len + 8, 0x7777);
                ASSERT_EQ(generic(src.data() + off, want.data(), len, mode, scale), sp_status_ok);
                ASSERT_EQ(member(src.data() + off, got.data() + (off & 7), len, mode, scale),
                          sp_status_ok);
                ASSERT_EQ(memcmp(want.data(), got.data() + (off & 7), len * 2), 0);
            }
        }
    }
    // Guard pages for the tails of both conversions.
    for (int32_t len = 1; len <= 40; ++len) {
        GuardedBuffer s = GuardedBuffer::AtEnd(len * 4u);
        GuardedBuffer d = GuardedBuffer::AtEnd(len * 2u);
        memcpy(s.Data(), src.data(), len * 4u);
        ASSERT_EQ(member(s.As<float>(), d.As<int16_t>(), len, 1, 2), sp_status_ok);
        std::vector<int16_t> want(len);
        generic(src.data(), want.data(), len, 1, 2);
        ASSERT_EQ(memcmp(want.data(), d.Data(), len * 2u), 0) << "len " << len;
    }
}

TEST_P(Convert, ControlStateIsLeftAsFound) {
    auto toI16 = Member<sp_entry_sp_convert_f32_to_i16_scaled>();
    auto toF32 = Member<sp_entry_sp_convert_i16_to_f32>();
    std::vector<float> f = {0.5f,  1.5f, -2.5f,  NAN,  1e20f, -1e20f,
                            3.25f, 7.5f, 1e-40f, 9.0f, 10.5f, -11.5f};
    std::vector<int16_t> out(f.size());
    std::vector<int16_t> want(f.size());
    for (int32_t mode : {0, 1, 2}) {
        SCOPED_TRACE(mode);
        EXPECT_TRUE(sptest::KeepsFpControl([&] { toI16(f.data(), out.data(), 12, mode, 0); }));
        EXPECT_TRUE(sptest::KeepsFpControl([&] { toI16(f.data(), out.data(), 12, mode, -3); }));
        // Results do not depend on the caller's rounding or denormal settings.
        toI16(f.data(), want.data(), 12, mode, 0);
        sptest::KeepsFpControl([&] { toI16(f.data(), out.data(), 12, mode, 0); });
        EXPECT_EQ(out, want);
    }
    std::vector<float> back(12);
    EXPECT_TRUE(sptest::KeepsFpControl([&] { toF32(want.data(), back.data(), 12); }));
}

TEST_P(Convert, NullBeforeLengthAndOutputsUntouched) {
    auto toI16 = Member<sp_entry_sp_convert_f32_to_i16_scaled>();
    auto toF32 = Member<sp_entry_sp_convert_i16_to_f32>();
    float f[2] = {1.0f, 2.0f};
    int16_t s[2] = {3, 4};
    EXPECT_EQ(toI16(nullptr, s, 0, 1, 0), sp_status_null_ptr);
    EXPECT_EQ(toI16(f, nullptr, 2, 1, 0), sp_status_null_ptr);
    EXPECT_EQ(toI16(f, s, 0, 1, 0), sp_status_bad_size);
    EXPECT_EQ(toF32(nullptr, f, -1), sp_status_null_ptr);
    EXPECT_EQ(toF32(s, nullptr, 2), sp_status_null_ptr);
    EXPECT_EQ(toF32(s, f, -1), sp_status_bad_size);
    EXPECT_EQ(s[0] + s[1], 7);
    EXPECT_EQ(f[0] + f[1], 3.0f);
}

SP_INSTANTIATE_VARIANTS(Convert);

}  // namespace
