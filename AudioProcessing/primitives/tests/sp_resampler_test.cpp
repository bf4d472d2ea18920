// The polyphase resampler in every member: creation's checks and layout
// against an independently designed prototype, runs against a double-
// precision reference bit for bit, block-by-block runs, negative times, the
// split taps of the SSE2 and SSE3 states, and injected allocation failures.
#include <math.h>
#include <string.h>

#include <limits>
#include <numeric>
#include <vector>

#include "TestAllocator.h"
#include "sp_dispatch.h"
#include "sp_resampler_internal.h"
#include "sp_resampler_reference.h"
#include "sp_test_support.h"

namespace {

using Samples = std::vector<int16_t>;

struct Ratio {
    int32_t in, out;
    int64_t p, q;
};
const Ratio kRatios[] = {{8000, 16000, 1, 2}, {16000, 8000, 2, 1}, {44100, 48000, 147, 160}};

class Resampler : public sptest::VariantTest {
protected:
    void TearDown() override {
        for (sp_resampler_state* s : made_) EXPECT_EQ(sp_status_ok, sp_resampler_free(s));
        made_.clear();
        EXPECT_EQ(sptest::LiveBlocks(), 0u);
    }
    sp_resampler_state* Make(int32_t in, int32_t out, int32_t len, int32_t hint,
                             float rolloff = 0.9f, float alpha = 8.0f) {
        sp_resampler_state* s = nullptr;
        EXPECT_EQ(sp_status_ok,
                  Member<sp_entry_sp_resampler_create>()(&s, in, out, len, rolloff, alpha, hint));
        if (s != nullptr) made_.push_back(s);
        return s;
    }
    sp_status Run(const sp_resampler_state* s, const int16_t* src, int32_t len, int16_t* dst,
                  float norm, double* time, int32_t* outLen) const {
        return Member<sp_entry_sp_resampler_run_i16>()(s, src, len, dst, norm, time, outLen);
    }
    // The tap the state holds for prototype index i, side block added back.
    static double Tap(const sp_resampler_state* s, int64_t i) {
        const int64_t q = s->q, half = s->half;
        const int64_t phi = i % q == 0 ? 0 : q - i % q;  // a phase whose taps include index i
        const int64_t pos = phi == 0 ? half + i / q : half - 1 + (i + phi) / q;
        if (s->flags & kResamplerFloatTaps) return static_cast<const float*>(s->phases[phi])[pos];
        const int16_t* taps = static_cast<const int16_t*>(s->phases[phi]);
        double v = taps[pos];
        if (s->side_len != 0 && pos >= half - 8 && pos < half + 8)
            v += taps[s->block_len - s->side_len + pos - half + 8];
        return v;
    }
    sptest::ResampledBlock Reference(const sp_resampler_state* s, const int16_t* src, int32_t len,
                                     float norm, double time) const {
        const double gain = (s->q < s->p ? double(s->q) / double(s->p) : 1.0) * s->tap_scale * norm;
        return sptest::ResampleReference([&](int64_t i) { return Tap(s, i); }, s->p, s->q, s->half,
                                         src, len, gain, time);
    }

private:
    std::vector<sp_resampler_state*> made_;
};

TEST_P(Resampler, CreateChecksInOrder) {
    const float nan = std::numeric_limits<float>::quiet_NaN(),
                inf = std::numeric_limits<float>::infinity();
    struct Case {
        int32_t in, out, len;
        float rolloff, alpha;
        sp_status want;
    };
    const Case cases[] = {
        {0, 8000, 32, 2.0f, 0.5f, sp_status_bad_size},
        {8000, 0, 32, 0.9f, 8, sp_status_bad_size},
        {8000, 8000, 0, 0.9f, 8, sp_status_bad_size},
        {8000, 8000, 32, 0.0f, 0.5f, sp_status_bad_arg},
        {8000, 8000, 32, -0.1f, 8, sp_status_bad_arg},
        {8000, 8000, 32, 1.01f, 8, sp_status_bad_arg},
        {8000, 8000, 32, nan, 8, sp_status_bad_arg},
        {8000, 8000, 32, 0.9f, 0.99f, sp_status_bad_arg},
        {8000, 8000, 32, 0.9f, inf, sp_status_bad_arg},
        {8000, 8000, 32, 0.9f, nan, sp_status_bad_arg},
        {8000, 8000, 32, 0.9f, 701, sp_status_bad_arg},
    };
    auto create = Member<sp_entry_sp_resampler_create>();
    EXPECT_EQ(sp_status_null_ptr, create(nullptr, 0, 0, 0, nan, nan, 0));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.in << " " << c.out << " " << c.len << " " << c.rolloff << " " << c.alpha);
        sp_resampler_state* s = reinterpret_cast<sp_resampler_state*>(0x1234);
        EXPECT_EQ(c.want, create(&s, c.in, c.out, c.len, c.rolloff, c.alpha, 0));
        EXPECT_EQ(s, reinterpret_cast<sp_resampler_state*>(0x1234));
    }
    EXPECT_EQ(sp_status_null_ptr, sp_resampler_free(nullptr));
    // Two large coprime rates: reduced at once, refused for their size.
    sp_resampler_state* s = nullptr;
    EXPECT_EQ(sp_status_alloc_failed, create(&s, 2147483647, 2147483646, 32, 0.9f, 8, 0));
    EXPECT_EQ(s, nullptr);
}

TEST_P(Resampler, LayoutFollowsThePrototype) {
    const bool split = Variant() >= sp_variant_sse2;
    for (const Ratio& r : kRatios) {
        for (int32_t len : {1, 8, 32, 64}) {
            for (int32_t hint : {0, 1, 2, 3}) {
                SCOPED_TRACE(testing::Message()
                             << r.in << " -> " << r.out << " len " << len << " hint " << hint);
                const sp_resampler_state* s = Make(r.in, r.out, len, hint);
                ASSERT_NE(s, nullptr);
                const int64_t half = ((len + 3) & ~3) / 2;
                EXPECT_EQ(s->p, r.p);
                EXPECT_EQ(s->q, r.q);
                EXPECT_EQ(s->half, half);
                EXPECT_EQ(s->flags, hint == 2 ? kResamplerFloatTaps : kResamplerI16Taps);
                EXPECT_EQ(s->side_len, split && hint != 2 ? kResamplerSideLen : 0);
                int64_t sum = 0;
                for (int64_t i = 0; i < r.q; ++i) {
                    int64_t want = ((i + 1) * r.p) / r.q - (i * r.p) / r.q;
                    if ((i * r.p) % r.q == 0) ++want;
                    if ((i * r.p) % r.q == ((r.q - 1) * r.p) % r.q) --want;
                    EXPECT_EQ(s->advance[(i * r.p) % r.q], want) << "phase " << (i * r.p) % r.q;
                    sum += s->advance[i];
                }
                EXPECT_EQ(sum, r.p);
                const std::vector<double> h = sptest::ResamplerPrototype(r.p, r.q, half, 0.9, 8.0);
                for (int64_t i = 0; i <= half * r.q; ++i) {
                    const double want = hint == 2 ? h[i] : nearbyint(16384.0 * h[i]);
                    ASSERT_NEAR(Tap(s, i), want, hint == 2 ? 1e-6 : 1.0) << "index " << i;
                }
            }
        }
    }
}

// Against the reference on the state's own taps: bit for bit in every member,
// for both tap forms, short and long filters, several start times.
TEST_P(Resampler, RunsMatchTheReference) {
    const Samples signal = sptest::RandomI16(1200, 77);
    for (const Ratio& r : kRatios) {
        for (int32_t len : {8, 12, 32, 64}) {
            for (int32_t hint : {0, 2}) {
                const sp_resampler_state* s = Make(r.in, r.out, len, hint);
                ASSERT_NE(s, nullptr);
                for (double time : {0.0, 3.75, 0.3, 17.999}) {
                    SCOPED_TRACE(testing::Message() << r.in << " -> " << r.out << " len " << len
                                                    << " hint " << hint << " time " << time);
                    const int16_t* src = signal.data() + 100;
                    const sptest::ResampledBlock want = Reference(s, src, 600, 0.8f, time);
                    Samples dst(2000, 77);
                    int32_t outLen = -1;
                    double t = time;
                    ASSERT_EQ(sp_status_ok, Run(s, src, 600, dst.data(), 0.8f, &t, &outLen));
                    ASSERT_EQ(outLen, static_cast<int32_t>(want.out.size()));
                    EXPECT_EQ(Samples(dst.begin(), dst.begin() + outLen), want.out);
                    EXPECT_EQ(dst[outLen], 77);
                    EXPECT_NEAR(t, time + double(outLen) * r.p / r.q, 1e-9);
                }
            }
        }
    }
}

TEST_P(Resampler, ConstantInputKeepsItsLevel) {
    const Samples level(2000, 1000);
    for (const Ratio& r : kRatios) {
        for (int32_t hint : {0, 2}) {
            SCOPED_TRACE(testing::Message() << r.in << " -> " << r.out << " hint " << hint);
            const sp_resampler_state* s = Make(r.in, r.out, 32, hint);
            ASSERT_NE(s, nullptr);
            Samples dst(4000);
            int32_t outLen = 0;
            double t = 0.0;
            ASSERT_EQ(sp_status_ok,
                      Run(s, level.data() + 100, 1500, dst.data(), 1.0f, &t, &outLen));
            ASSERT_GT(outLen, 0);
            for (int32_t i = 0; i < outLen; ++i) ASSERT_NEAR(dst[i], 1000, 1) << "output " << i;
        }
    }
}

// Blocks with src moved on and time lowered by the move give the same
// outputs in the same order (a start time of 0.3 rounds up to the grid of
// 1/q, which must not make the stream fall back); a negative time is the same run on a buffer
// shifted by whole samples.
TEST_P(Resampler, BlocksAndNegativeTimes) {
    const Samples signal = sptest::RandomI16(3000, 12);
    for (const Ratio& r : kRatios) {
        SCOPED_TRACE(testing::Message() << r.in << " -> " << r.out);
        const sp_resampler_state* s = Make(r.in, r.out, 24, 0);
        ASSERT_NE(s, nullptr);
        const int16_t* src = signal.data() + 100;
        Samples whole(4000);
        int32_t wholeLen = 0;
        double t = 0.3;
        ASSERT_EQ(sp_status_ok, Run(s, src, 2000, whole.data(), 1.0f, &t, &wholeLen));
        Samples pieces;
        double time = 0.3;
        int32_t at = 0;
        for (int32_t len : {1, 7, 160, 333, 999, 500}) {
            Samples dst(2000);
            int32_t outLen = 0;
            ASSERT_EQ(sp_status_ok, Run(s, src + at, len, dst.data(), 1.0f, &time, &outLen));
            pieces.insert(pieces.end(), dst.begin(), dst.begin() + outLen);
            time -= len;
            at += len;
        }
        whole.resize(static_cast<size_t>(wholeLen));
        EXPECT_EQ(pieces, whole);
        // The time stays at the block start: the stream neither falls back nor
        // runs ahead of its source by a sample per block.
        EXPECT_GE(time, -1.0);
        EXPECT_LT(time, 1.0 + double(r.p) / r.q);

        // -2.25 on a block is 0.75 on the same samples from three earlier.
        Samples a(400, 77), b(400, 77);
        int32_t lenA = -1, lenB = -1;
        double ta = -2.25, tb = 0.75;
        ASSERT_EQ(sp_status_ok, Run(s, src + 200, 150, a.data(), 1.0f, &ta, &lenA));
        ASSERT_EQ(sp_status_ok, Run(s, src + 197, 153, b.data(), 1.0f, &tb, &lenB));
        EXPECT_EQ(lenA, lenB);
        EXPECT_GT(lenA, 0);
        EXPECT_EQ(a, b);
        EXPECT_NEAR(ta, -2.25 + double(lenA) * r.p / r.q, 1e-9);
    }
    // A block that holds no output position changes nothing.
    const sp_resampler_state* s = Make(8000, 8000, 16, 0);
    ASSERT_NE(s, nullptr);
    Samples dst(16, 77);
    int32_t outLen = -1;
    double t = 4.5;
    ASSERT_EQ(sp_status_ok, Run(s, signal.data() + 100, 4, dst.data(), 1.0f, &t, &outLen));
    EXPECT_EQ(outLen, 0);
    EXPECT_EQ(t, 4.5);
    EXPECT_EQ(dst, Samples(16, 77));
    // Time 3.75 with q = 4 starts at phase 3 of sample 3.
    const sp_resampler_state* quarter = Make(3, 4, 16, 0);
    ASSERT_NE(quarter, nullptr);
    t = 3.75;
    ASSERT_EQ(sp_status_ok, Run(quarter, signal.data() + 100, 8, dst.data(), 1.0f, &t, &outLen));
    const sptest::ResampledBlock want = Reference(quarter, signal.data() + 100, 8, 1.0f, 3.75);
    EXPECT_EQ(outLen, static_cast<int32_t>(want.out.size()));
    EXPECT_EQ(dst[0], want.out[0]);
}

TEST_P(Resampler, SaturationNanAndBadArguments) {
    const Samples signal = sptest::RandomI16(400, 5);
    const sp_resampler_state* s = Make(8000, 16000, 16, 0);
    ASSERT_NE(s, nullptr);
    Samples dst(400, 77);
    int32_t outLen = 0;
    double t = 0.0;
    ASSERT_EQ(sp_status_ok, Run(s, signal.data() + 50, 100, dst.data(), 1e6f, &t, &outLen));
    for (int32_t i = 0; i < outLen; ++i)
        ASSERT_TRUE(dst[i] == 32767 || dst[i] == -32768 || dst[i] == 0) << i;
    t = 0.0;
    ASSERT_EQ(sp_status_ok,
              Run(s, signal.data() + 50, 100, dst.data(), std::nanf(""), &t, &outLen));
    for (int32_t i = 0; i < outLen; ++i) ASSERT_EQ(dst[i], -32768) << i;
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {inf, -inf, std::nan(""), 3e9, -2147483648.0}) {
        Samples untouched(8, 77);
        double time = bad;
        outLen = -1;
        EXPECT_EQ(sp_status_bad_arg,
                  Run(s, signal.data() + 50, 4, untouched.data(), 1.0f, &time, &outLen));
        EXPECT_EQ(untouched, Samples(8, 77));
        EXPECT_EQ(outLen, -1);
    }
    double time = 0.0;
    EXPECT_EQ(sp_status_null_ptr, Run(nullptr, signal.data(), 0, dst.data(), 1.0f, &time, &outLen));
    EXPECT_EQ(sp_status_null_ptr, Run(s, signal.data(), 4, dst.data(), 1.0f, nullptr, &outLen));
    EXPECT_EQ(sp_status_null_ptr, Run(s, signal.data(), 4, dst.data(), 1.0f, &time, nullptr));
    EXPECT_EQ(sp_status_bad_size, Run(s, signal.data(), 0, dst.data(), 1.0f, &time, &outLen));
}

// Short filters make no side block: the run reads only the half samples
// before src that the caller was asked for (the history against a guard page).
TEST_P(Resampler, ShortFiltersReadOnlyTheirHistory) {
    for (int32_t len : {1, 8, 12}) {
        SCOPED_TRACE(len);
        const sp_resampler_state* s = Make(8000, 16000, len, 0);
        ASSERT_NE(s, nullptr);
        const size_t half = static_cast<size_t>(s->half);
        const Samples x = sptest::RandomI16(200 + 2 * half, 3);
        sptest::GuardedBuffer buffer = sptest::GuardedBuffer::AtFront(2 * x.size(), 0);
        memcpy(buffer.Data(), x.data(), 2 * x.size());
        const int16_t* src = buffer.As<int16_t>() + half;
        Samples dst(500);
        int32_t outLen = 0;
        double t = 0.0;
        ASSERT_EQ(sp_status_ok, Run(s, src, 100, dst.data(), 1.0f, &t, &outLen));
        const sptest::ResampledBlock want = Reference(s, src, 100, 1.0f, 0.0);
        EXPECT_EQ(Samples(dst.begin(), dst.begin() + outLen), want.out);
    }
}

TEST_P(Resampler, EveryAllocationFailureIsReported) {
    for (int32_t hint : {0, 2}) {
        const uint64_t made = zvtest::ForEachAllocationFailure([&](uint64_t k) {
            SCOPED_TRACE(testing::Message() << "hint " << hint << " allocation " << k);
            sp_resampler_state* s = reinterpret_cast<sp_resampler_state*>(0x1234);
            const sp_status status =
                Member<sp_entry_sp_resampler_create>()(&s, 44100, 48000, 32, 0.9f, 8, hint);
            if (status == sp_status_ok) {
                EXPECT_EQ(sp_status_ok, sp_resampler_free(s));
            } else {
                EXPECT_EQ(status, sp_status_alloc_failed);
                EXPECT_EQ(s, reinterpret_cast<sp_resampler_state*>(0x1234));
            }
            EXPECT_EQ(sptest::LiveBlocks(), 0u);
        });
        EXPECT_EQ(made, hint == 2 ? 2u : 3u);
    }
}

TEST_P(Resampler, KeepsFpControl) {
    const Samples x = sptest::RandomI16(300, 1);
    sp_resampler_state* s = nullptr;
    EXPECT_TRUE(sptest::KeepsFpControl(
        [&] { Member<sp_entry_sp_resampler_create>()(&s, 44100, 48000, 32, 0.9f, 8, 0); }));
    ASSERT_NE(s, nullptr);
    Samples dst(300);
    int32_t outLen = 0;
    double t = 0.5;
    EXPECT_TRUE(
        sptest::KeepsFpControl([&] { Run(s, x.data() + 40, 100, dst.data(), 1.0f, &t, &outLen); }));
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Member<sp_entry_sp_resampler_free>()(s); }));
}

SP_INSTANTIATE_VARIANTS(Resampler);

// The four members hold the same taps (split or not) and give the same
// outputs: both tap forms, half below and above 8, taps beyond 4096.
TEST(ResamplerMembers, AgreeBitForBit) {
    const Samples signal = sptest::RandomI16(1500, 8);
    for (const Ratio& r : kRatios) {
        for (int32_t len : {8, 16, 40}) {
            for (int32_t hint : {0, 2}) {
                SCOPED_TRACE(testing::Message()
                             << r.in << " -> " << r.out << " len " << len << " hint " << hint);
                Samples first;
                sptest::ForEachVariant([&](int32_t v) {
                    sp_resampler_state* s = nullptr;
                    ASSERT_EQ(sp_status_ok, sp_dispatch_member<sp_entry_sp_resampler_create>(v)(
                                                &s, r.in, r.out, len, 0.95f, 6.0f, hint));
                    if (v >= sp_variant_sse2 && hint == 0 && len >= 16) {
                        // The centre tap of phase 0 (about 16384) went to the side block.
                        const int16_t* taps = static_cast<const int16_t*>(s->phases[0]);
                        EXPECT_LE(abs(taps[s->half]), 4096);
                        EXPECT_NE(taps[s->block_len - s->side_len + 8], 0);
                    }
                    Samples dst(3000);
                    int32_t outLen = 0;
                    double t = 1.5;
                    ASSERT_EQ(sp_status_ok,
                              sp_dispatch_member<sp_entry_sp_resampler_run_i16>(v)(
                                  s, signal.data() + 100, 1000, dst.data(), 0.7f, &t, &outLen));
                    dst.resize(static_cast<size_t>(outLen));
                    if (first.empty())
                        first = dst;
                    else
                        EXPECT_EQ(dst, first);
                    sp_resampler_free(s);
                });
            }
        }
    }
}

}  // namespace
