// The wavelet filter bank: set-up tables, the branch runs against the
// filter-bank formulas, the fronts' block loop, statuses and allocations.
#include <limits.h>
#include <math.h>
#include <string.h>

#include <functional>
#include <random>
#include <vector>

#include "TestAllocator.h"
#include "sp_reference.h"
#include "sp_test_support.h"
#include "sp_wavelet_internal.h"
#include "sp_wavelet_reference.h"

namespace {

using Floats = std::vector<float>;

Floats RandomFloats(size_t n, uint32_t seed, float scale) {
    Floats v = sptest::RandomSignal(n, seed);
    for (float& x : v) x *= scale;
    return v;
}

// Random call sizes summing to total, some odd, some zero.
std::vector<int32_t> RandomCalls(int32_t total, uint32_t seed, bool even) {
    std::mt19937 rng(seed);
    std::vector<int32_t> calls;
    while (total > 0) {
        int32_t n = static_cast<int32_t>(rng() % 40);
        if (even) n &= ~1;
        n = n < total ? n : total;
        calls.push_back(n);
        total -= n;
    }
    return calls;
}

// Within f32 rounding of the exact sum: a few ulps of the sum of magnitudes.
void ExpectNear(const std::vector<double>& want, const float* got, double mag) {
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_NEAR(want[i], got[i], 4e-7 * mag + 1e-30) << "value " << i;
}

// Fails each allocation of create in turn: -9, a null state and nothing left
// allocated; without a failure the state is made and freed.
void ExpectEachAllocationFailureClean(const std::function<sp_status(void**)>& create,
                                      const std::function<sp_status(void*)>& release) {
    const uint64_t steps = zvtest::ForEachAllocationFailure([&](uint64_t k) {
        void* made = &made;
        const sp_status status = create(&made);
        if (zvtest::GetAllocatorCounts().failures != 0) {
            EXPECT_EQ(sp_status_no_memory, status) << "failure at allocation " << k;
            EXPECT_EQ(nullptr, made);
            EXPECT_EQ(sptest::LiveBlocks(), 0u);
        } else {
            ASSERT_EQ(sp_status_ok, status);
            EXPECT_EQ(sp_status_ok, release(made));
        }
    });
    EXPECT_GT(steps, 8u);
}

// ---- Set-up tables --------------------------------------------------------------

TEST(WaveletSetUp, TablesAndOffsets) {
    const float t[5] = {1, 2, 3, 4, 5};
    sp_wavelet_merge_branch* m1 = sp_wavelet_merge_branch_create(t, 1, 0);
    ASSERT_NE(m1, nullptr);
    EXPECT_EQ(m1->filter->ne, 1);
    EXPECT_EQ(m1->filter->no, 0);
    EXPECT_EQ(m1->filter->odd, nullptr);
    sp_wavelet_merge_branch* m5 = sp_wavelet_merge_branch_create(t, 5, 0);
    ASSERT_NE(m5, nullptr);
    EXPECT_EQ(Floats(m5->filter->even, m5->filter->even + 3), (Floats{5, 3, 1}));
    EXPECT_EQ(Floats(m5->filter->odd, m5->filter->odd + 2), (Floats{4, 2}));
    EXPECT_EQ(Floats(m5->filter->table->even, m5->filter->table->even + 3), (Floats{5, 3, 1}));
    sp_wavelet_split_branch* s4 = sp_wavelet_split_branch_create(t, 4, 0);
    ASSERT_NE(s4, nullptr);
    EXPECT_EQ(Floats(s4->filter->reversed, s4->filter->reversed + 4), (Floats{4, 3, 2, 1}));
    EXPECT_EQ(Floats(s4->filter->table->taps, s4->filter->table->taps + 4), (Floats{1, 2, 3, 4}));
    EXPECT_EQ(s4->filter->delay->size, 4);
    sp_wavelet_split_branch_free(s4);
    sp_wavelet_merge_branch_free(m1);
    sp_wavelet_merge_branch_free(m5);

    struct Case {
        int32_t offset, splitPhase, splitDelay, mergePhase, mergeDelay;
    };
    for (const Case& c : {Case{-1, 1, 0, 1, 0}, Case{0, 0, 0, 0, 0}, Case{1, 0, 1, 1, 0},
                          Case{2, 0, 2, 0, 1}, Case{3, 0, 3, 1, 1}, Case{5, 0, 5, 1, 2}}) {
        SCOPED_TRACE(c.offset);
        sp_wavelet_split_branch* s = sp_wavelet_split_branch_create(t, 3, c.offset);
        sp_wavelet_merge_branch* m = sp_wavelet_merge_branch_create(t, 3, c.offset);
        ASSERT_TRUE(s != nullptr && m != nullptr);
        EXPECT_EQ(s->filter->phase, c.splitPhase);
        EXPECT_EQ(s->offsetDelay ? s->offsetDelay->size : 0, c.splitDelay);
        EXPECT_EQ(m->filter->phase, c.mergePhase);
        EXPECT_EQ(m->offsetDelay ? m->offsetDelay->size : 0, c.mergeDelay);
        sp_wavelet_split_branch_free(s);
        sp_wavelet_merge_branch_free(m);
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

// ---- Branch level ---------------------------------------------------------------

// Every tap count and offset, random taps, data and calls: the analysis branch
// equals the shape-following reference bit for bit and the formula within
// rounding; the synthesis branch (write and add forms) equals the formula.
TEST(WaveletBranch, AgainstReferencesOverCallsOfRandomSize) {
    uint32_t seed = 1;
    for (int32_t len = 1; len <= 20; ++len) {
        for (int32_t offset = -1; offset <= 5; ++offset) {
            SCOPED_TRACE(testing::Message() << "len " << len << " offset " << offset);
            const Floats taps = RandomFloats(len, ++seed, 1.0f);
            const int32_t total = 200;
            // Magnitudes over 2^-20 .. 2^20 make the double sums round, so a
            // change in their order shows in the f32 results.
            Floats x = RandomFloats(total, ++seed, 1.0f);
            for (size_t i = 0; i < x.size(); ++i)
                x[i] = ldexpf(x[i], static_cast<int>((i * 7919 + seed) % 41) - 20);
            const std::vector<int32_t> calls = RandomCalls(total, ++seed, false);

            sp_wavelet_split_branch* s = sp_wavelet_split_branch_create(taps.data(), len, offset);
            ASSERT_NE(s, nullptr);
            Floats band(total, NAN);
            int32_t at = 0, written = 0;
            for (int32_t n : calls) {
                written += sp_wavelet_split_branch_run(s, x.data() + at, n, band.data() + written);
                at += n;
            }
            sp_wavelet_split_branch_free(s);
            const Floats shaped = sptest::WaveletSplitShaped(taps, offset, x, calls);
            ASSERT_EQ(written, static_cast<int32_t>(shaped.size()));
            EXPECT_EQ(0, memcmp(shaped.data(), band.data(), written * sizeof(float)));
            ExpectNear(sptest::WaveletSplitFormula(taps, offset == -1 ? -1 : offset, x, written),
                       band.data(), 0x1p20 * len);

            // Synthesis: k outputs per call; the add form on a preloaded buffer.
            const Floats b = RandomFloats(total, ++seed, 1000.0f);
            const std::vector<int32_t> outs = RandomCalls(total, ++seed, false);
            const Floats old = RandomFloats(total, ++seed, 100.0f);
            for (bool add : {false, true}) {
                sp_wavelet_merge_branch* m =
                    sp_wavelet_merge_branch_create(taps.data(), len, offset);
                ASSERT_NE(m, nullptr);
                Floats y = add ? old : Floats(total, NAN);
                int32_t used = 0, t = 0;
                for (int32_t k : outs) {
                    used +=
                        add ? sp_wavelet_merge_branch_run_add(m, b.data() + used, y.data() + t, k)
                            : sp_wavelet_merge_branch_run(m, b.data() + used, y.data() + t, k);
                    t += k;
                }
                sp_wavelet_merge_branch_free(m);
                const std::vector<double> want =
                    sptest::WaveletMergeFormula(taps, offset, b, total);
                for (int32_t i = 0; i < total; ++i) {
                    const float expect =
                        add ? static_cast<float>(want[i] + old[i]) : static_cast<float>(want[i]);
                    ASSERT_EQ(expect, y[i]) << (add ? "add " : "write ") << "output " << i;
                }
            }
        }
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

// Unit taps over samples of +-2^60 and small ones: every order of summation
// keeps or loses a different set of the small terms, so the analysis body's
// grouping and the head's running sum show in the f32 results.
TEST(WaveletBranch, SummationShapeShowsWhereSumsCancel) {
    for (int32_t len = 8; len <= 20; ++len) {
        SCOPED_TRACE(len);
        const Floats taps(len, 1.0f);
        std::mt19937 rng(900 + len);
        Floats x(300);
        for (float& v : x) {
            const uint32_t pick = rng() % 3;
            v = pick == 0 ? 0x1p60f : pick == 1 ? -0x1p60f : static_cast<float>(rng() % 1000 + 1);
        }
        const std::vector<int32_t> calls = RandomCalls(300, 950 + len, false);
        sp_wavelet_split_branch* s = sp_wavelet_split_branch_create(taps.data(), len, 1);
        ASSERT_NE(s, nullptr);
        Floats band(300);
        int32_t at = 0, written = 0;
        for (int32_t n : calls) {
            written += sp_wavelet_split_branch_run(s, x.data() + at, n, band.data() + written);
            at += n;
        }
        sp_wavelet_split_branch_free(s);
        const Floats shaped = sptest::WaveletSplitShaped(taps, 1, x, calls);
        ASSERT_EQ(written, static_cast<int32_t>(shaped.size()));
        EXPECT_EQ(Floats(band.begin(), band.begin() + written), shaped);
    }
}

TEST(WaveletBranch, SmallExamples) {
    const float one[1] = {1};
    const float two[2] = {1, 1};
    const Floats x = {1, 2, 3, 4, 5, 6, 7, 8};
    struct SplitCase {
        const float* taps;
        int32_t len, offset;
        std::vector<int32_t> calls, writes;
        Floats band;
    };
    for (const SplitCase& c : {SplitCase{one, 1, 0, {8}, {4}, {1, 3, 5, 7}},
                               SplitCase{one, 1, -1, {8}, {4}, {2, 4, 6, 8}},
                               SplitCase{two, 2, 0, {8}, {4}, {1, 5, 9, 13}},
                               SplitCase{one, 1, 0, {3, 3, 0}, {2, 1, 0}, {1, 3, 5}},
                               SplitCase{one, 1, 5, {2, 6}, {1, 3}, {0, 0, 0, 2}}}) {
        sp_wavelet_split_branch* s = sp_wavelet_split_branch_create(c.taps, c.len, c.offset);
        ASSERT_NE(s, nullptr);
        Floats band(8, -1.0f);
        int32_t at = 0, w = 0;
        for (size_t i = 0; i < c.calls.size(); ++i) {
            const int32_t got =
                sp_wavelet_split_branch_run(s, x.data() + at, c.calls[i], band.data() + w);
            EXPECT_EQ(got, c.writes[i]) << "call " << i;
            at += c.calls[i];
            w += got;
        }
        EXPECT_EQ(Floats(band.begin(), band.begin() + w), c.band);
        EXPECT_EQ(band[w], -1.0f);
        sp_wavelet_split_branch_free(s);
    }
    // Synthesis: one tap gives b, 0; two ones give every value twice; offsets
    // -1 and 1 both delay by one sample; k = 3 then 1.
    const Floats b = {1, 2, 3, 4};
    struct MergeCase {
        const float* taps;
        int32_t len, offset;
        std::vector<int32_t> outs;
        Floats y;
    };
    for (const MergeCase& c : {MergeCase{one, 1, 0, {8}, {1, 0, 2, 0, 3, 0, 4, 0}},
                               MergeCase{two, 2, 0, {8}, {1, 1, 2, 2, 3, 3, 4, 4}},
                               MergeCase{two, 2, -1, {8}, {0, 1, 1, 2, 2, 3, 3, 4}},
                               MergeCase{two, 2, 1, {8}, {0, 1, 1, 2, 2, 3, 3, 4}},
                               MergeCase{two, 2, 0, {3, 1, 0, 4}, {1, 1, 2, 2, 3, 3, 4, 4}}}) {
        sp_wavelet_merge_branch* m = sp_wavelet_merge_branch_create(c.taps, c.len, c.offset);
        ASSERT_NE(m, nullptr);
        Floats y(8, -1.0f);
        int32_t used = 0, t = 0;
        for (int32_t k : c.outs) {
            used += sp_wavelet_merge_branch_run(m, b.data() + used, y.data() + t, k);
            t += k;
        }
        EXPECT_EQ(y, c.y);
        sp_wavelet_merge_branch_free(m);
    }
}

// ---- Fronts -----------------------------------------------------------------------

class Wavelet : public sptest::VariantTest {
protected:
    void SetUp() override {
        VariantTest::SetUp();
        if (Member<sp_entry_sp_wavelet_merge_run>() == nullptr) GTEST_SKIP() << "member not built";
    }
    void TearDown() override { EXPECT_EQ(sptest::LiveBlocks(), 0u); }
};

TEST_P(Wavelet, FrontsAgainstFormulas) {
    const Floats taps1 = RandomFloats(3, 11, 1.0f), taps2 = RandomFloats(9, 12, 1.0f);
    for (int32_t len : {1, 2, 511, 512, 513, 1024, 1025, 3000}) {
        SCOPED_TRACE(len);
        sp_wavelet_split_state* s = nullptr;
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_wavelet_split_create>()(&s, taps1.data(), 3, 2,
                                                                           taps2.data(), 9, -1));
        // The source ends at a guard page: no sample past the run is read.
        sptest::GuardedBuffer src = sptest::GuardedBuffer::AtEnd(4 * size_t(len));
        const std::vector<int16_t> x16 = sptest::RandomI16(2 * size_t(len), 100 + len);
        memcpy(src.Data(), x16.data(), 4 * size_t(len));
        Floats b1(len), b2(len);
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_wavelet_split_run>()(
                                    src.As<int16_t>(), b1.data(), b2.data(), len, s));
        EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_wavelet_split_free>()(s));
        const Floats x(x16.begin(), x16.end());
        ExpectNear(sptest::WaveletSplitFormula(taps1, 2, x, len), b1.data(), 3 * 32768.0);
        ExpectNear(sptest::WaveletSplitFormula(taps2, -1, x, len), b2.data(), 9 * 32768.0);

        // Merge: work = f32(branch 2 + f32(branch 1)), then to nearest even.
        sp_wavelet_merge_state* m = nullptr;
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_wavelet_merge_create>()(&m, taps1.data(), 3, 3,
                                                                           taps2.data(), 9, 0));
        const Floats a1 = RandomFloats(len, 200 + len, 2000.0f),
                     a2 = RandomFloats(len, 300 + len, 2000.0f);
        sptest::GuardedBuffer out = sptest::GuardedBuffer::AtEnd(4 * size_t(len));
        ASSERT_EQ(sp_status_ok, Member<sp_entry_sp_wavelet_merge_run>()(a1.data(), a2.data(), len,
                                                                        out.As<int16_t>(), m));
        EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_wavelet_merge_free>()(m));
        const std::vector<double> y1 = sptest::WaveletMergeFormula(taps1, 3, a1, 2 * len);
        const std::vector<double> y2 = sptest::WaveletMergeFormula(taps2, 0, a2, 2 * len);
        for (int32_t t = 0; t < 2 * len; ++t) {
            const double w = static_cast<float>(y2[t] + static_cast<float>(y1[t]));
            const double r = fmin(32767.0, fmax(-32768.0, nearbyint(w)));
            ASSERT_NEAR(r, out.As<int16_t>()[t], Variant() == 0 ? 0.0 : 1.0) << "sample " << t;
        }
    }
}

// Calls of random size continue one signal: the result of one call.
TEST_P(Wavelet, StreamInPiecesEqualsOneCall) {
    const Floats taps1 = RandomFloats(5, 21, 1.0f), taps2 = RandomFloats(6, 22, 1.0f);
    const int32_t len = 2500;
    const std::vector<int16_t> x = sptest::RandomI16(2 * len, 23);
    const Floats a1 = RandomFloats(len, 24, 3000.0f), a2 = RandomFloats(len, 25, 3000.0f);
    Floats one1(len), one2(len), part1(len), part2(len);
    std::vector<int16_t> oneY(2 * len), partY(2 * len);
    for (bool pieces : {false, true}) {
        sp_wavelet_split_state* s = nullptr;
        sp_wavelet_merge_state* m = nullptr;
        ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_create>()(&s, taps1.data(), 5, 4,
                                                                taps2.data(), 6, -1));
        ASSERT_EQ(0, Member<sp_entry_sp_wavelet_merge_create>()(&m, taps1.data(), 5, 7,
                                                                taps2.data(), 6, 2));
        std::mt19937 rng(26);
        for (int32_t i = 0; i < len;) {
            int32_t n = pieces ? 1 + static_cast<int32_t>(rng() % 700) : len;
            n = n < len - i ? n : len - i;
            float* b1 = (pieces ? part1 : one1).data() + i;
            float* b2 = (pieces ? part2 : one2).data() + i;
            ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_run>()(x.data() + 2 * i, b1, b2, n, s));
            int16_t* y = (pieces ? partY : oneY).data() + 2 * i;
            ASSERT_EQ(
                0, Member<sp_entry_sp_wavelet_merge_run>()(a1.data() + i, a2.data() + i, n, y, m));
            i += n;
        }
        EXPECT_EQ(0, Member<sp_entry_sp_wavelet_split_free>()(s));
        EXPECT_EQ(0, Member<sp_entry_sp_wavelet_merge_free>()(m));
    }
    if (Variant() == 0) {
        EXPECT_EQ(one1, part1);
        EXPECT_EQ(one2, part2);
        EXPECT_EQ(oneY, partY);
        return;
    }
    // The SIMD heads and bodies sum in different orders, so where a block
    // boundary falls moves values by f32 rounding, and a merged sample by at
    // most one step.
    ExpectNear(std::vector<double>(one1.begin(), one1.end()), part1.data(), 5 * 32768.0);
    ExpectNear(std::vector<double>(one2.begin(), one2.end()), part2.data(), 6 * 32768.0);
    for (int32_t t = 0; t < 2 * len; ++t) ASSERT_NEAR(oneY[t], partY[t], 1) << "sample " << t;
}

// Haar analysis and synthesis rebuild the input two samples late, exactly.
TEST_P(Wavelet, HaarBankRebuildsTheInput) {
    const float lo[2] = {0.5f, 0.5f}, hi[2] = {0.5f, -0.5f}, sum[2] = {1, 1}, diff[2] = {-1, 1};
    const int32_t len = 1500;
    const std::vector<int16_t> x = sptest::RandomI16(2 * len, 31);
    sp_wavelet_split_state* s = nullptr;
    sp_wavelet_merge_state* m = nullptr;
    ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_create>()(&s, lo, 2, 0, hi, 2, 0));
    ASSERT_EQ(0, Member<sp_entry_sp_wavelet_merge_create>()(&m, sum, 2, 1, diff, 2, 1));
    Floats a(len), d(len);
    std::vector<int16_t> y(2 * len);
    ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_run>()(x.data(), a.data(), d.data(), len, s));
    ASSERT_EQ(0, Member<sp_entry_sp_wavelet_merge_run>()(a.data(), d.data(), len, y.data(), m));
    EXPECT_EQ(0, Member<sp_entry_sp_wavelet_split_free>()(s));
    EXPECT_EQ(0, Member<sp_entry_sp_wavelet_merge_free>()(m));
    EXPECT_EQ(y[0], 0);
    EXPECT_EQ(y[1], 0);
    for (int32_t t = 2; t < 2 * len; ++t) ASSERT_EQ(y[t], x[t - 2]) << "sample " << t;
}

TEST_P(Wavelet, MergeRoundsToEvenAndSaturates) {
    const float one[1] = {1}, zero[1] = {0};
    sp_wavelet_merge_state* m = nullptr;
    ASSERT_EQ(0, Member<sp_entry_sp_wavelet_merge_create>()(&m, one, 1, 0, zero, 1, 0));
    const Floats band = {0.5f, 1.5f, 40000.0f, -40000.0f, -2.5f};
    const Floats none(5, 0.0f);
    std::vector<int16_t> y(10, 99);
    ASSERT_EQ(0, Member<sp_entry_sp_wavelet_merge_run>()(band.data(), none.data(), 5, y.data(), m));
    EXPECT_EQ(y, (std::vector<int16_t>{0, 0, 2, 0, 32767, 0, -32768, 0, -2, 0}));
    EXPECT_EQ(0, Member<sp_entry_sp_wavelet_merge_free>()(m));
}

TEST_P(Wavelet, StatusesInOrderAndOutputsUntouched) {
    const float t[2] = {1, 2};
    static int markTarget;
    sp_wavelet_split_state* const mark = reinterpret_cast<sp_wavelet_split_state*>(&markTarget);
    auto splitCreate = Member<sp_entry_sp_wavelet_split_create>();
    auto mergeCreate = Member<sp_entry_sp_wavelet_merge_create>();
    struct Case {
        bool nullPp;
        const float* t1;
        int32_t l1, o1;
        const float* t2;
        int32_t l2, o2;
        sp_status want;
    };
    for (const Case& c : {Case{true, t, 0, 0, t, 0, -2, sp_status_null_ptr},
                          Case{false, nullptr, 0, -2, t, 1, 0, sp_status_null_ptr},
                          Case{false, t, 0, -2, nullptr, 1, 0, sp_status_bad_size},
                          Case{false, t, 1, -2, nullptr, 0, 0, sp_status_null_ptr},
                          Case{false, t, 1, -2, t, 0, -2, sp_status_bad_size},
                          Case{false, t, 1, -2, t, 1, 0, sp_status_wavelet_offset},
                          Case{false, t, 1, 0, t, 1, -2, sp_status_wavelet_offset}}) {
        sp_wavelet_split_state* s = mark;
        EXPECT_EQ(c.want, splitCreate(c.nullPp ? nullptr : &s, c.t1, c.l1, c.o1, c.t2, c.l2, c.o2));
        EXPECT_EQ(s, mark);
        sp_wavelet_merge_state* m = reinterpret_cast<sp_wavelet_merge_state*>(mark);
        EXPECT_EQ(c.want, mergeCreate(c.nullPp ? nullptr : &m, c.t1, c.l1, c.o1, c.t2, c.l2, c.o2));
    }

    sp_wavelet_split_state* s = nullptr;
    sp_wavelet_merge_state* m = nullptr;
    ASSERT_EQ(0, splitCreate(&s, t, 2, 3, t, 1, -1));
    ASSERT_EQ(0, mergeCreate(&m, t, 2, 3, t, 1, -1));
    auto splitRun = Member<sp_entry_sp_wavelet_split_run>();
    auto mergeRun = Member<sp_entry_sp_wavelet_merge_run>();
    const int16_t src[4] = {1, 2, 3, 4};
    Floats band(2, 7.0f);
    std::vector<int16_t> dst(4, 7);
    EXPECT_EQ(sp_status_null_ptr, splitRun(src, band.data(), band.data(), 2, nullptr));
    EXPECT_EQ(sp_status_null_ptr, splitRun(nullptr, band.data(), band.data(), 2, s));
    EXPECT_EQ(sp_status_null_ptr, splitRun(src, band.data(), nullptr, 2, s));
    EXPECT_EQ(sp_status_bad_size, splitRun(src, band.data(), band.data(), 0, s));
    EXPECT_EQ(sp_status_null_ptr, mergeRun(band.data(), nullptr, 0, nullptr, m));
    EXPECT_EQ(sp_status_bad_size, mergeRun(band.data(), band.data(), 0, nullptr, m));
    EXPECT_EQ(sp_status_null_ptr, mergeRun(band.data(), band.data(), 2, nullptr, m));
    // The other side's state, even with null data pointers: -17, nothing freed.
    auto* asMerge = reinterpret_cast<sp_wavelet_merge_state*>(s);
    auto* asSplit = reinterpret_cast<sp_wavelet_split_state*>(m);
    EXPECT_EQ(sp_status_wrong_state, splitRun(nullptr, nullptr, nullptr, 0, asSplit));
    EXPECT_EQ(sp_status_wrong_state, mergeRun(nullptr, nullptr, 0, nullptr, asMerge));
    EXPECT_EQ(sp_status_wrong_state, Member<sp_entry_sp_wavelet_split_free>()(asSplit));
    EXPECT_EQ(sp_status_wrong_state, Member<sp_entry_sp_wavelet_merge_free>()(asMerge));
    EXPECT_EQ(band, Floats(2, 7.0f));
    EXPECT_EQ(dst, std::vector<int16_t>(4, 7));

    // Each corrupted field makes the state inconsistent for run and free, even
    // with null data pointers; restored, the state works again.
    sp_wavelet_split_branch* sb = s->branch1;
    sp_wavelet_merge_branch* mb = m->branch2;
    auto splitBad = [&] {
        return splitRun(nullptr, nullptr, nullptr, 0, s) == sp_status_wrong_state &&
               Member<sp_entry_sp_wavelet_split_free>()(s) == sp_status_wrong_state;
    };
    auto mergeBad = [&] {
        return mergeRun(nullptr, nullptr, 0, nullptr, m) == sp_status_wrong_state &&
               Member<sp_entry_sp_wavelet_merge_free>()(m) == sp_status_wrong_state;
    };
    struct Corruption {
        int32_t* field;
        int32_t value;
        bool split;
    };
    for (const Corruption& c :
         {Corruption{&sb->offsetDelay->index, 3, true},
          Corruption{&sb->filter->delay->size, 0, true},
          Corruption{&sb->filter->delay->index, -1, true}, Corruption{&sb->filter->phase, 2, true},
          Corruption{&sb->filter->len, 3, true}, Corruption{&sb->filter->table->len, 0, true},
          Corruption{&s->workLength, 0, true}, Corruption{&s->workLength, 1, true},
          Corruption{&s->kind, 54, true}, Corruption{&mb->filter->phase, 2, false},
          Corruption{&mb->filter->ne, 2, false}, Corruption{&mb->filter->no, 1, false},
          Corruption{&mb->filter->delay->index, 1, false},
          Corruption{&mb->filter->table->len, 0, false}, Corruption{&m->workLength, -1, false},
          Corruption{&m->workLength, 512, false}, Corruption{&m->kind, 45, false}}) {
        const int32_t keep = *c.field;
        *c.field = c.value;
        EXPECT_TRUE(c.split ? splitBad() : mergeBad())
            << "field at " << static_cast<void*>(c.field);
        *c.field = keep;
    }
    for (float** p : {&sb->filter->reversed, &sb->filter->table->second, &sb->filter->delay->buffer,
                      &s->work}) {
        float* keep = *p;
        *p = nullptr;
        EXPECT_TRUE(splitBad());
        *p = keep;
    }
    for (float** p : {&mb->filter->even, &mb->filter->table->taps, &m->work}) {
        float* keep = *p;
        *p = nullptr;
        EXPECT_TRUE(mergeBad());
        *p = keep;
    }
    void** branches[] = {reinterpret_cast<void**>(&s->branch2),
                         reinterpret_cast<void**>(&m->branch1),
                         reinterpret_cast<void**>(&sb->filter)};
    for (void** p : branches) {
        void* keep = *p;
        *p = nullptr;
        EXPECT_TRUE(p == branches[1] ? mergeBad() : splitBad());
        *p = keep;
    }
    EXPECT_EQ(sp_status_ok, splitRun(src, band.data(), band.data(), 2, s));
    EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_wavelet_split_free>()(s));
    EXPECT_EQ(sp_status_ok, Member<sp_entry_sp_wavelet_merge_free>()(m));
    EXPECT_EQ(sp_status_null_ptr, Member<sp_entry_sp_wavelet_split_free>()(nullptr));
}

TEST_P(Wavelet, AllocationFailuresGiveNoMemoryAndLeakNothing) {
    const Floats taps = RandomFloats(5, 41, 1.0f);
    // Offsets with and without offset delays; lengths with and without odd taps.
    for (int32_t len : {1, 4, 5}) {
        for (int32_t offset : {-1, 0, 4}) {
            SCOPED_TRACE(testing::Message() << "len " << len << " offset " << offset);
            for (bool split : {true, false}) {
                ExpectEachAllocationFailureClean(
                    [&](void** made) {
                        return split ? Member<sp_entry_sp_wavelet_split_create>()(
                                           reinterpret_cast<sp_wavelet_split_state**>(made),
                                           taps.data(), len, offset, taps.data(), 5, 3)
                                     : Member<sp_entry_sp_wavelet_merge_create>()(
                                           reinterpret_cast<sp_wavelet_merge_state**>(made),
                                           taps.data(), len, offset, taps.data(), 5, 3);
                    },
                    [&](void* made) {
                        return split ? Member<sp_entry_sp_wavelet_split_free>()(
                                           static_cast<sp_wavelet_split_state*>(made))
                                     : Member<sp_entry_sp_wavelet_merge_free>()(
                                           static_cast<sp_wavelet_merge_state*>(made));
                    });
            }
        }
    }
}

// Offsets whose doubled delay line no 32-bit count can hold are refused as
// out of memory instead of wrapping to a small or negative request.
TEST_P(Wavelet, HugeOffsetIsOutOfMemory) {
    const float t[1] = {1};
    for (int32_t offset : {INT32_MAX, 0x40000000, 0x40000001}) {
        sp_wavelet_split_state* s = reinterpret_cast<sp_wavelet_split_state*>(&s);
        EXPECT_EQ(sp_status_no_memory,
                  Member<sp_entry_sp_wavelet_split_create>()(&s, t, 1, 0, t, 1, offset));
        EXPECT_EQ(s, nullptr);
        // Synthesis delays count band samples: offset / 2 of them, doubled.
        sp_wavelet_merge_state* m = reinterpret_cast<sp_wavelet_merge_state*>(&m);
        EXPECT_EQ(sp_status_no_memory,
                  Member<sp_entry_sp_wavelet_merge_create>()(&m, t, 1, offset, t, 1, 0));
        EXPECT_EQ(m, nullptr);
    }
}

TEST_P(Wavelet, KeepsFpControl) {
    const float t[3] = {0.25f, 0.5f, 0.25f};
    sp_wavelet_split_state* s = nullptr;
    sp_wavelet_merge_state* m = nullptr;
    const std::vector<int16_t> x = sptest::RandomI16(2000, 51);
    Floats a(1000), d(1000);
    std::vector<int16_t> y(2000);
    EXPECT_TRUE(sptest::KeepsFpControl(
        [&] { Member<sp_entry_sp_wavelet_split_create>()(&s, t, 3, 1, t, 2, 0); }));
    EXPECT_TRUE(sptest::KeepsFpControl(
        [&] { Member<sp_entry_sp_wavelet_merge_create>()(&m, t, 3, 1, t, 2, 0); }));
    ASSERT_TRUE(s != nullptr && m != nullptr);
    EXPECT_TRUE(sptest::KeepsFpControl(
        [&] { Member<sp_entry_sp_wavelet_split_run>()(x.data(), a.data(), d.data(), 1000, s); }));
    EXPECT_TRUE(sptest::KeepsFpControl(
        [&] { Member<sp_entry_sp_wavelet_merge_run>()(a.data(), d.data(), 1000, y.data(), m); }));
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Member<sp_entry_sp_wavelet_split_free>()(s); }));
    EXPECT_TRUE(sptest::KeepsFpControl([&] { Member<sp_entry_sp_wavelet_merge_free>()(m); }));
}

SP_INSTANTIATE_VARIANTS(Wavelet);

// ---- Analysis side, every member ----------------------------------------------------

class WaveletSplit : public sptest::VariantTest {
protected:
    void TearDown() override { EXPECT_EQ(sptest::LiveBlocks(), 0u); }
};

// Runs one analysis branch of `variant` over x in calls of the given sizes.
Floats RunSplitBranch(const Floats& taps, int32_t offset, const Floats& x,
                      const std::vector<int32_t>& calls, int32_t variant) {
    sp_wavelet_split_branch* (*const build[])(const float*, int32_t, int32_t) = {
        sp_wavelet_split_branch_create, sp_wavelet_split_branch_create_sse,
        sp_wavelet_split_branch_create_sse2, sp_wavelet_split_branch_create_sse3};
    int32_t (*const run[])(sp_wavelet_split_branch*, const float*, int32_t, float*) = {
        sp_wavelet_split_branch_run, sp_wavelet_split_branch_run_sse,
        sp_wavelet_split_branch_run_sse2, sp_wavelet_split_branch_run_sse3};
    sp_wavelet_split_branch* b =
        build[variant](taps.data(), static_cast<int32_t>(taps.size()), offset);
    EXPECT_NE(b, nullptr);
    // Room for the outputs plus a marker, placed at every 4-byte offset.
    std::vector<float> out(x.size() + 8, -7.0f);
    float* dst = out.data() + (static_cast<uint32_t>(x.size()) & 3);
    int32_t at = 0, w = 0;
    for (int32_t n : calls) {
        w += run[variant](b, x.data() + at, n, dst + w);
        at += n;
    }
    sp_wavelet_split_branch_free(b);
    return Floats(dst, dst + w);
}

TEST(WaveletSplitSetUp, PairTables) {
    const float t[5] = {0, 1, 2, 3, 4};
    struct Case {
        int32_t len;
        Floats pairs;
    };
    for (const Case& c : {Case{1, {0, 0, 0, 0}}, Case{4, {3, 2, 3, 2, 1, 0, 1, 0}},
                          Case{5, {4, 3, 4, 3, 2, 1, 2, 1, 0, 0, 0, 0}}}) {
        sp_wavelet_split_branch* b = sp_wavelet_split_branch_create_sse2(t, c.len, 0);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(Floats(b->filter->table->second, b->filter->table->second + c.pairs.size()),
                  c.pairs);
        sp_wavelet_split_branch_free(b);
    }
}

// Every SIMD branch lies within f32 rounding of the generic one over random
// taps, offsets, calls and destination offsets; SSE2 and SSE3 agree bit for
// bit.
TEST(WaveletSplitBranch, SimdMembersAgainstGeneric) {
    uint32_t seed = 500;
    sptest::ForEachVariant([&](int32_t v) {
        if (v == 0) return;
        for (int32_t len = 1; len <= 20; ++len) {
            for (int32_t offset = -1; offset <= 5; ++offset) {
                SCOPED_TRACE(testing::Message() << "len " << len << " offset " << offset);
                const Floats taps = RandomFloats(len, ++seed, 1.0f);
                const int32_t total = 151 + (seed & 7);
                const Floats x = RandomFloats(total, ++seed, 1000.0f);
                const std::vector<int32_t> calls = RandomCalls(total, ++seed, false);
                const Floats g = RunSplitBranch(taps, offset, x, calls, 0);
                const Floats s = RunSplitBranch(taps, offset, x, calls, v);
                ASSERT_EQ(g.size(), s.size());
                for (size_t i = 0; i < g.size(); ++i)
                    ASSERT_NEAR(g[i], s[i], 1e-6 * 1000.0 * len) << "value " << i;
                if (v == 3) {
                    EXPECT_EQ(RunSplitBranch(taps, offset, x, calls, 2), s);
                }
            }
        }
    });
}

// The body's forms, with values that expose the order: a single-form output
// sums oldest first in f32 (SSE3/SSE2) or newest first in double (SSE); the
// pair form adds even and odd lanes.  1e8 swallows a 1 added after it in f32.
TEST(WaveletSplitBranch, BodyFormsByAlignmentAndCount) {
    const float taps[3] = {1.0f, 1.0f, 1.0f};
    sp_wavelet_split_taps* t = sp_wavelet_split_taps_create(taps, 3, true);
    ASSERT_NE(t, nullptr);
    // Windows of 3 (oldest first): {1e8, 1, -1e8}: f32 oldest first 0, the pair
    // form (1e8 + -1e8) + 1 = 1, newest first in double 1.
    alignas(16) float s[64];
    for (int32_t i = 0; i < 64; i += 2) {
        s[i] = 1e8f;
        s[i + 1] = 1.0f;
    }
    for (int32_t i = 2; i < 64; i += 2) s[i] = i % 4 == 2 ? -1e8f : 1e8f;
    alignas(16) float out[24];
    // dst 4 bytes past a 16-byte boundary: three single outputs first.
    struct Case {
        void (*body)(const sp_wavelet_split_taps*, const float*, float*, int32_t);
        int32_t skew, c;
    };
    for (const Case& c :
         {Case{sp_wavelet_split_body_sse3, 1, 9}, Case{sp_wavelet_split_body_sse2, 1, 9},
          Case{sp_wavelet_split_body_sse2, 0, 2}, Case{sp_wavelet_split_body_sse, 0, 4},
          Case{sp_wavelet_split_body_sse, 0, 8}, Case{sp_wavelet_split_body_sse, 1, 9}}) {
        for (float& o : out) o = -5.0f;
        c.body(t, s + 2, out + c.skew, c.c);
        Floats want(c.c);
        for (int32_t j = 0; j < c.c; ++j) {
            const float w0 = s[2 * j], w1 = s[2 * j + 1], w2 = s[2 * j + 2];
            const float single = c.body == sp_wavelet_split_body_sse
                                     ? static_cast<float>(static_cast<double>(w2) + w1 + w0)
                                     : (w0 + w1) + w2;
            const float pair = (w0 + w2) + (w1 * 1.0f + 0.0f * s[2 * j + 3]);
            const int32_t k = j + c.skew;
            bool isSingle = k < 4 && c.skew != 0 && j < 4 - c.skew;
            if (c.body == sp_wavelet_split_body_sse) {
                const int32_t rest = c.c - (4 - c.skew) % 4;
                const int32_t tail = rest < 5 ? rest : (rest % 4 == 0 ? 4 : rest % 4);
                isSingle = isSingle || j >= c.c - tail;
            } else {
                isSingle = isSingle || j == c.c - 1;  // odd len: the last output
            }
            want[j] = isSingle ? single : pair;
        }
        EXPECT_EQ(Floats(out + c.skew, out + c.skew + c.c), want)
            << "skew " << c.skew << " c " << c.c;
        EXPECT_EQ(out[c.skew + c.c], -5.0f);
    }
    sp_wavelet_taps_free(t);
}

// With two and four taps the pair form has one term per lane, so whether the
// pairs are taken oldest or newest first does not matter: the pair-form
// outputs of SSE, SSE2 and SSE3 agree bit for bit (the SSE member's last four
// are single outputs in double, which may not).
TEST(WaveletSplitBranch, PairFormAgreesAcrossSimdMembersForTwoAndFourTaps) {
    for (int32_t len : {2, 4, 6}) {
        SCOPED_TRACE(len);
        const Floats taps = RandomFloats(len, 90 + len, 1.0f);
        const Floats x = RandomFloats(40, 95 + len, 1000.0f);
        sp_wavelet_split_taps* t = sp_wavelet_split_taps_create(taps.data(), len, true);
        ASSERT_NE(t, nullptr);
        alignas(16) float sse[12], sse2[12], sse3[12];
        const float* s = x.data() + len;
        sp_wavelet_split_body_sse(t, s, sse, 12);
        sp_wavelet_split_body_sse2(t, s, sse2, 12);
        sp_wavelet_split_body_sse3(t, s, sse3, 12);
        sp_wavelet_taps_free(t);
        EXPECT_EQ(Floats(sse2, sse2 + 12), Floats(sse3, sse3 + 12));
        int32_t differ = 0;
        for (int32_t j = 0; j < 8; ++j) differ += sse[j] != sse3[j];
        // Six taps take three pairs per lane, where the order shows.
        if (len < 6) {
            EXPECT_EQ(differ, 0);
        } else {
            EXPECT_GT(differ, 0);
        }
    }
}

TEST_P(WaveletSplit, FrontMatchesBranchesAndStreams) {
    const Floats taps1 = RandomFloats(4, 61, 1.0f), taps2 = RandomFloats(11, 62, 1.0f);
    for (int32_t len : {1, 2, 511, 512, 513, 1025, 3000}) {
        SCOPED_TRACE(len);
        const std::vector<int16_t> x16 = sptest::RandomI16(2 * size_t(len), 63 + len);
        const Floats x(x16.begin(), x16.end());
        Floats one1(len), one2(len), part1(len), part2(len);
        for (bool pieces : {false, true}) {
            sp_wavelet_split_state* s = nullptr;
            ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_create>()(&s, taps1.data(), 4, 1,
                                                                    taps2.data(), 11, -1));
            sptest::GuardedBuffer src = sptest::GuardedBuffer::AtEnd(4 * size_t(len));
            memcpy(src.Data(), x16.data(), 4 * size_t(len));
            std::mt19937 rng(len);
            for (int32_t i = 0; i < len;) {
                int32_t n = pieces ? 1 + static_cast<int32_t>(rng() % 600) : len;
                n = n < len - i ? n : len - i;
                ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_run>()(
                                 src.As<int16_t>() + 2 * i, (pieces ? part1 : one1).data() + i,
                                 (pieces ? part2 : one2).data() + i, n, s));
                i += n;
            }
            EXPECT_EQ(0, Member<sp_entry_sp_wavelet_split_free>()(s));
        }
        ExpectNear(sptest::WaveletSplitFormula(taps1, 1, x, len), one1.data(), 4 * 32768.0);
        ExpectNear(sptest::WaveletSplitFormula(taps2, -1, x, len), one2.data(), 11 * 32768.0);
        ExpectNear(std::vector<double>(one1.begin(), one1.end()), part1.data(), 4 * 32768.0);
        ExpectNear(std::vector<double>(one2.begin(), one2.end()), part2.data(), 11 * 32768.0);
    }
}

TEST_P(WaveletSplit, StatusesAllocationsAndFpControl) {
    const float t[3] = {0.25f, 0.5f, 0.25f};
    auto create = Member<sp_entry_sp_wavelet_split_create>();
    auto run = Member<sp_entry_sp_wavelet_split_run>();
    auto release = Member<sp_entry_sp_wavelet_split_free>();
    sp_wavelet_split_state* s = nullptr;
    EXPECT_EQ(sp_status_null_ptr, create(nullptr, t, 0, 0, t, 0, -2));
    EXPECT_EQ(sp_status_bad_size, create(&s, t, 0, -2, nullptr, 1, 0));
    EXPECT_EQ(sp_status_wavelet_offset, create(&s, t, 1, 0, t, 1, -2));
    EXPECT_EQ(sp_status_no_memory, create(&s, t, 1, 0, t, 1, INT32_MAX));
    EXPECT_TRUE(sptest::KeepsFpControl([&] { create(&s, t, 3, 2, t, 2, -1); }));
    ASSERT_NE(s, nullptr);
    const std::vector<int16_t> x = sptest::RandomI16(2000, 71);
    Floats a(1000), d(1000);
    EXPECT_TRUE(sptest::KeepsFpControl([&] { run(x.data(), a.data(), d.data(), 1000, s); }));
    const int32_t keep = s->branch2->filter->phase;
    s->branch2->filter->phase = 2;
    EXPECT_EQ(sp_status_wrong_state, run(nullptr, nullptr, nullptr, 0, s));
    EXPECT_EQ(sp_status_wrong_state, release(s));
    s->branch2->filter->phase = keep;
    EXPECT_EQ(sp_status_bad_size, run(x.data(), a.data(), d.data(), 0, s));
    EXPECT_TRUE(sptest::KeepsFpControl([&] { EXPECT_EQ(sp_status_ok, release(s)); }));

    for (int32_t offset : {-1, 4}) {
        ExpectEachAllocationFailureClean(
            [&](void** made) {
                return create(reinterpret_cast<sp_wavelet_split_state**>(made), t, 3, offset, t, 2,
                              1);
            },
            [&](void* made) { return release(static_cast<sp_wavelet_split_state*>(made)); });
    }
}

SP_INSTANTIATE_VARIANTS(WaveletSplit);

}  // namespace
