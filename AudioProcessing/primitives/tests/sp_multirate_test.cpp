// Down- and up-sampling in every member: against plain loops, block by block
// with the phase carried, at odd addresses against guard pages, and the
// statuses in their order with nothing written on an error.
#include <string.h>

#include <random>
#include <vector>

#include "sp_dispatch.h"
#include "sp_multirate_reference.h"
#include "sp_test_support.h"

namespace {

using sptest::GuardedBuffer;
using sptest::Samples;

constexpr int32_t kLengthStep = sptest::CaseStep(3, 7);

class RateChange : public sptest::VariantTest {
protected:
    sp_downsample_i16_fn Down() const { return Member<sp_entry_sp_downsample_i16>(); }
    sp_upsample_i16_fn Up() const { return Member<sp_entry_sp_upsample_i16>(); }
};

TEST_P(RateChange, KnownCases) {
    const Samples x = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    struct Case {
        int32_t len, factor, phase;
        Samples kept;
        int32_t nextPhase;
    };
    for (const Case& c : {Case{10, 3, 0, {10, 13, 16, 19}, 2}, Case{10, 3, 2, {12, 15, 18}, 1},
                          Case{2, 5, 3, {}, 1}, Case{2, 5, 4, {}, 2}, Case{10, 1, 0, x, 0}}) {
        SCOPED_TRACE(testing::Message() << c.len << " by " << c.factor << " from " << c.phase);
        Samples dst(12, 77);
        int32_t dstLen = -1, phase = c.phase;
        ASSERT_EQ(Down()(x.data(), c.len, dst.data(), &dstLen, c.factor, &phase), sp_status_ok);
        EXPECT_EQ(Samples(dst.begin(), dst.begin() + dstLen), c.kept);
        EXPECT_EQ(phase, c.nextPhase);
        EXPECT_EQ(dst[static_cast<size_t>(dstLen)], 77);  // nothing past the kept samples
    }
    Samples up(13, 77);
    int32_t upLen = -1, phase = 1;
    ASSERT_EQ(Up()(x.data(), 3, up.data(), &upLen, 4, &phase), sp_status_ok);
    EXPECT_EQ(upLen, 12);
    EXPECT_EQ(phase, 1);
    EXPECT_EQ(up, (Samples{0, 10, 0, 0, 0, 11, 0, 0, 0, 12, 0, 0, 77}));
}

// Every factor 1-9 and length 1-200 (47, 48 and 49 put factor 3 and more on
// either side of the kernels' threshold) from every phase, at odd sample
// addresses right against guard pages: the same samples as the plain loops.
TEST_P(RateChange, EqualsPlainLoopsAtOddAddresses) {
    for (int32_t factor = 1; factor <= 9; ++factor) {
        for (int32_t len = 1; len <= 200;
             len += (len >= 44 && len <= 52) || len < 20 ? 1 : kLengthStep) {
            const Samples x = sptest::RandomI16(static_cast<size_t>(len), 100 + len);
            GuardedBuffer src = GuardedBuffer::AtFront(2 * static_cast<size_t>(len) + 2, 2);
            memcpy(src.As<int16_t>(), x.data(), 2 * x.size());
            for (int32_t phase = 0; phase < factor; ++phase) {
                SCOPED_TRACE(testing::Message()
                             << "factor " << factor << " len " << len << " phase " << phase);
                int32_t wantPhase = phase;
                const Samples want = sptest::DownsampleReference(x, factor, &wantPhase);
                GuardedBuffer down = GuardedBuffer::AtEnd(2 * want.size() + 2);
                int16_t* d = down.As<int16_t>() + 1;
                int32_t dstLen = -1, p = phase;
                ASSERT_EQ(Down()(src.As<int16_t>(), len, d, &dstLen, factor, &p), sp_status_ok);
                ASSERT_EQ(dstLen, static_cast<int32_t>(want.size()));
                EXPECT_EQ(Samples(d, d + dstLen), want);
                EXPECT_EQ(p, factor == 1 ? 0 : wantPhase);

                const Samples upWant = sptest::UpsampleReference(x, factor, phase);
                GuardedBuffer up = GuardedBuffer::AtEnd(2 * upWant.size() + 2);
                int16_t* u = up.As<int16_t>() + 1;
                p = phase;
                ASSERT_EQ(Up()(src.As<int16_t>(), len, u, &dstLen, factor, &p), sp_status_ok);
                ASSERT_EQ(dstLen, static_cast<int32_t>(upWant.size()));
                EXPECT_EQ(Samples(u, u + dstLen), upWant);
            }
        }
    }
}

// A signal cut into random blocks, the phase carried from block to block,
// keeps the same samples as one call over the whole signal.
TEST_P(RateChange, BlocksWithCarriedPhaseEqualOneCall) {
    std::mt19937 rng(5);
    const Samples x = sptest::RandomI16(1500, 9);
    for (int32_t factor = 1; factor <= 9; ++factor) {
        SCOPED_TRACE(factor);
        int32_t phase = factor - 1, wantPhase = phase;
        const Samples want = sptest::DownsampleReference(x, factor, &wantPhase);
        Samples got;
        for (size_t at = 0; at < x.size();) {
            const size_t len = std::min<size_t>(x.size() - at, 1 + rng() % 120);
            Samples block(len + 1);
            int32_t dstLen = 0;
            ASSERT_EQ(Down()(x.data() + at, static_cast<int32_t>(len), block.data(), &dstLen,
                             factor, &phase),
                      sp_status_ok);
            got.insert(got.end(), block.begin(), block.begin() + dstLen);
            at += len;
        }
        EXPECT_EQ(got, want);
        if (factor > 1) {
            EXPECT_EQ(phase, wantPhase);
        }
    }
}

TEST_P(RateChange, StatusesInOrderLeaveEverythingUntouched) {
    const Samples x(8, 5);
    struct Case {
        bool nullSrc, nullDst, nullLen, nullPhase;
        int32_t len, factor, phase;
        sp_status want;
    };
    const Case cases[] = {
        {true, false, false, false, 0, 0, 9, sp_status_null_ptr},
        {false, true, false, false, 8, 2, 0, sp_status_null_ptr},
        {false, false, true, false, 8, 2, 0, sp_status_null_ptr},
        {false, false, false, true, 8, 2, 0, sp_status_null_ptr},
        {false, false, false, false, 0, 0, 9, sp_status_bad_size},
        {false, false, false, false, -3, 2, 0, sp_status_bad_size},
        {false, false, false, false, 8, 0, 9, sp_status_factor},
        {false, false, false, false, 8, -2, 0, sp_status_factor},
        {false, false, false, false, 8, 3, -1, sp_status_phase},
        {false, false, false, false, 8, 3, 3, sp_status_phase},
        {false, false, false, false, 8, 1, 1, sp_status_phase},
    };
    for (bool up : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << (up ? "up" : "down") << " len " << c.len
                                            << " factor " << c.factor << " phase " << c.phase);
            Samples dst(32, 77);
            int32_t dstLen = -5, phase = c.phase;
            const sp_downsample_i16_fn fn = up ? Up() : Down();
            EXPECT_EQ(fn(c.nullSrc ? nullptr : x.data(), c.len, c.nullDst ? nullptr : dst.data(),
                         c.nullLen ? nullptr : &dstLen, c.factor, c.nullPhase ? nullptr : &phase),
                      c.want);
            EXPECT_EQ(dst, Samples(32, 77));
            EXPECT_EQ(dstLen, -5);
            EXPECT_EQ(phase, c.phase);
        }
    }
}

// factor * len beyond INT32_MAX: no caller could supply the destination, so
// nothing is written rather than the count wrapping.
TEST_P(RateChange, UpsampleRefusesResultsLongerThanInt32) {
    const Samples x(4, 5);
    Samples dst(8, 77);
    for (int32_t factor : {65536, 0x7FFFFFFF}) {
        int32_t dstLen = -5, phase = 0;
        const int32_t len = factor == 65536 ? 32768 : 2;
        EXPECT_EQ(Up()(x.data(), len, dst.data(), &dstLen, factor, &phase), sp_status_bad_size);
        EXPECT_EQ(dstLen, -5);
        EXPECT_EQ(dst, Samples(8, 77));
    }
}

TEST_P(RateChange, KeepsFpControl) {
    const Samples x = sptest::RandomI16(100, 3);
    Samples dst(400);
    int32_t dstLen = 0, phase = 1;
    EXPECT_TRUE(
        sptest::KeepsFpControl([&] { Down()(x.data(), 100, dst.data(), &dstLen, 2, &phase); }));
    EXPECT_TRUE(
        sptest::KeepsFpControl([&] { Up()(x.data(), 100, dst.data(), &dstLen, 4, &phase); }));
}

SP_INSTANTIATE_VARIANTS(RateChange);

}  // namespace
