// The wavelet filter bank's SIMD synthesis: broadcast tables, the body
// kernels' summation shapes bit for bit, the heads' partial sums, every SIMD
// branch against the generic one, and the fronts with guarded buffers.
#include <math.h>
#include <string.h>

#include <random>
#include <vector>

#include "sp_reference.h"
#include "sp_test_support.h"
#include "sp_wavelet_internal.h"
#include "sp_wavelet_reference.h"

namespace {

using Floats = std::vector<float>;

// Random values with magnitudes spread over 2^-range .. 2^range: sums of
// them round differently in most orders, so a change of order shows in the
// f32 result.
Floats Spread(size_t n, uint32_t seed, int range = 20) {
    Floats v = sptest::RandomSignal(n, seed);
    for (size_t i = 0; i < n; ++i)
        v[i] = ldexpf(v[i], static_cast<int>((i * 7919 + seed) % (2 * range + 1)) - range);
    return v;
}

// The SIMD members by variant (1 SSE, 2 SSE2, 3 SSE3).
struct MergeMembers {
    sp_wavelet_merge_branch* (*build)(const float*, int32_t, int32_t);
    int32_t (*run)(sp_wavelet_merge_branch*, const float*, float*, int32_t);
    int32_t (*runAdd)(sp_wavelet_merge_branch*, const float*, float*, int32_t);
    void (*kernel)(const float*, float*, int32_t, const float*, int32_t, int32_t, const float*);
    void (*kernelAdd)(const float*, float*, int32_t, const float*, int32_t, int32_t, const float*);
    void (*body)(const sp_wavelet_merge_taps*, const float*, float*, int32_t, int32_t);
    void (*bodyAdd)(const sp_wavelet_merge_taps*, const float*, float*, int32_t, int32_t);
};
const MergeMembers kMembers[4] = {
    {sp_wavelet_merge_branch_create, sp_wavelet_merge_branch_run, sp_wavelet_merge_branch_run_add,
     nullptr, nullptr, nullptr, nullptr},
    {sp_wavelet_merge_branch_create_sse, sp_wavelet_merge_branch_run_sse,
     sp_wavelet_merge_branch_run_add_sse, sp_wavelet_merge_body_kernel_sse,
     sp_wavelet_merge_body_kernel_add_sse, sp_wavelet_merge_body_sse,
     sp_wavelet_merge_body_add_sse},
    {sp_wavelet_merge_branch_create_sse2, sp_wavelet_merge_branch_run_sse2,
     sp_wavelet_merge_branch_run_add_sse2, sp_wavelet_merge_body_kernel_sse2,
     sp_wavelet_merge_body_kernel_add_sse2, sp_wavelet_merge_body_sse2,
     sp_wavelet_merge_body_add_sse2},
    {sp_wavelet_merge_branch_create_sse3, sp_wavelet_merge_branch_run_sse3,
     sp_wavelet_merge_branch_run_add_sse3, sp_wavelet_merge_body_kernel_sse3,
     sp_wavelet_merge_body_kernel_add_sse3, sp_wavelet_merge_body_sse3,
     sp_wavelet_merge_body_add_sse3},
};

// Runs one synthesis branch of `variant` for the output counts `outs`, into
// dst placed `skew` floats past a 16-byte boundary; adding onto `old` when
// given.
Floats RunMergeBranch(const Floats& taps, int32_t offset, const Floats& band,
                      const std::vector<int32_t>& outs, int32_t variant, const Floats* old,
                      int32_t skew) {
    sp_wavelet_merge_branch* b =
        kMembers[variant].build(taps.data(), static_cast<int32_t>(taps.size()), offset);
    EXPECT_NE(b, nullptr);
    int32_t total = 0;
    for (int32_t k : outs) total += k;
    std::vector<float> room(total + 8, -7.0f);
    float* dst =
        room.data() + ((4 - (reinterpret_cast<uintptr_t>(room.data()) & 15) / 4) & 3) + skew;
    if (old != nullptr) memcpy(dst, old->data(), total * sizeof(float));
    int32_t used = 0, t = 0;
    for (int32_t k : outs) {
        used += (old != nullptr ? kMembers[variant].runAdd : kMembers[variant].run)(
            b, band.data() + used, dst + t, k);
        t += k;
    }
    EXPECT_EQ(dst[total], -7.0f);
    sp_wavelet_merge_branch_free(b);
    return Floats(dst, dst + total);
}

// A SIMD taps table freed however the test leaves.
struct BroadcastTaps {
    sp_wavelet_merge_taps* t;
    BroadcastTaps(const float* taps, int32_t len)
        : t(sp_wavelet_merge_taps_create(taps, len, true)) {}
    ~BroadcastTaps() { sp_wavelet_merge_taps_free(t); }
};

std::vector<int32_t> RandomOuts(int32_t total, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> outs;
    while (total > 0) {
        int32_t n = static_cast<int32_t>(rng() % 50);
        n = n < total ? n : total;
        outs.push_back(n);
        total -= n;
    }
    return outs;
}

// ---- Set-up -------------------------------------------------------------------------

TEST(WaveletMergeSetUp, BroadcastTablesAndTheChecksOfEachLayout) {
    const float t[5] = {1, 2, 3, 4, 5};
    struct Case {
        int32_t len;
        Floats groups;  // one value per group of four
    };
    for (const Case& c : {Case{1, {1, 0}}, Case{4, {4, 3, 2, 1}}, Case{5, {5, 4, 3, 2, 1, 0}}}) {
        SCOPED_TRACE(c.len);
        sp_wavelet_merge_branch* b = sp_wavelet_merge_branch_create_sse3(t, c.len, 0);
        ASSERT_NE(b, nullptr);
        const float* bt = b->filter->table->broadcast;
        for (size_t g = 0; g < c.groups.size(); ++g)
            for (int32_t lane = 0; lane < 4; ++lane)
                EXPECT_EQ(bt[4 * g + lane], c.groups[g]) << "group " << g;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(bt) & 15, 0u);
        // The filter keeps its polyphase arrays; the table has no generic ones.
        EXPECT_EQ(b->filter->ne, (c.len + 1) / 2);
        EXPECT_EQ(b->filter->even[0], t[c.len - 1 - (c.len - 1) % 2]);
        EXPECT_EQ(b->filter->table->even, nullptr);
        EXPECT_TRUE(sp_wavelet_merge_branch_check_sse3(b));
        EXPECT_TRUE(sp_wavelet_merge_branch_check_sse(b));
        EXPECT_FALSE(sp_wavelet_merge_branch_check(b));
        sp_wavelet_merge_branch* g = sp_wavelet_merge_branch_create(t, c.len, 0);
        ASSERT_NE(g, nullptr);
        EXPECT_TRUE(sp_wavelet_merge_branch_check(g));
        EXPECT_FALSE(sp_wavelet_merge_branch_check_sse3(g));
        EXPECT_FALSE(sp_wavelet_merge_branch_check_sse(g));
        sp_wavelet_merge_branch_free(g);
        sp_wavelet_merge_branch_free(b);
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

// A state made by one column is refused by the others' runs (and, on the
// synthesis side, frees), whose bodies would read its tables out of bounds.
TEST(WaveletColumns, StateOfAnotherColumnIsRefused) {
    const float t[3] = {1, 2, 3};
    sp_wavelet_merge_state* g = nullptr;
    sp_wavelet_merge_state* s = nullptr;
    ASSERT_EQ(sp_status_ok, sp_wavelet_merge_create(&g, t, 3, 0, t, 2, 1));
    ASSERT_EQ(sp_status_ok, sp_wavelet_merge_create_sse(&s, t, 3, 0, t, 2, 1));
    const Floats band(4, 1.0f);
    std::vector<int16_t> y(8, 5);
    EXPECT_EQ(sp_status_wrong_state,
              sp_wavelet_merge_run_sse3(band.data(), band.data(), 4, y.data(), g));
    EXPECT_EQ(sp_status_wrong_state,
              sp_wavelet_merge_run(band.data(), band.data(), 4, y.data(), s));
    EXPECT_EQ(sp_status_wrong_state, sp_wavelet_merge_free_sse(g));
    EXPECT_EQ(sp_status_wrong_state, sp_wavelet_merge_free(s));
    EXPECT_EQ(y, std::vector<int16_t>(8, 5));
    // A missing broadcast table is a corrupted SIMD state.
    float* keep = s->branch2->filter->table->broadcast;
    s->branch2->filter->table->broadcast = nullptr;
    EXPECT_EQ(sp_status_wrong_state, sp_wavelet_merge_run_sse(nullptr, nullptr, 0, nullptr, s));
    EXPECT_EQ(sp_status_wrong_state, sp_wavelet_merge_free_sse2(s));
    s->branch2->filter->table->broadcast = keep;
    EXPECT_EQ(sp_status_ok, sp_wavelet_merge_free(g));
    EXPECT_EQ(sp_status_ok, sp_wavelet_merge_free_sse2(s));

    // The analysis side: a generic taps table has len values where the SIMD
    // bodies read a pair table of four per pair, so the runs refuse it (and
    // the generic run a pair table), before looking at the data.
    sp_wavelet_split_state* sg = nullptr;
    sp_wavelet_split_state* ss = nullptr;
    ASSERT_EQ(sp_status_ok, sp_wavelet_split_create(&sg, t, 1, 0, t, 3, 0));
    ASSERT_EQ(sp_status_ok, sp_wavelet_split_create_sse3(&ss, t, 1, 0, t, 3, 0));
    const std::vector<int16_t> x(8, 100);
    Floats b1(4, 5.0f), b2(4, 5.0f);
    for (auto run :
         {sp_wavelet_split_run_sse, sp_wavelet_split_run_sse2, sp_wavelet_split_run_sse3})
        EXPECT_EQ(sp_status_wrong_state, run(x.data(), b1.data(), b2.data(), 4, sg));
    EXPECT_EQ(sp_status_wrong_state, sp_wavelet_split_run(x.data(), b1.data(), b2.data(), 4, ss));
    EXPECT_EQ(b1, Floats(4, 5.0f));
    EXPECT_EQ(sp_status_ok, sp_wavelet_split_run_sse(x.data(), b1.data(), b2.data(), 4, ss));
    EXPECT_EQ(sp_status_ok, sp_wavelet_split_free(sg));
    EXPECT_EQ(sp_status_ok, sp_wavelet_split_free_sse(ss));
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

// ---- Body kernels ---------------------------------------------------------------------

// The kernels' outputs as the summation shapes say, output by output.  A(w)
// applies h[len - 1], h[len - 3], .. and B(w) h[len - 2], h[len - 4], .. to
// w[0], w[1], ..; path 1 gives B(w), A(w), path 0 A(w), B(w + 1), each pair
// advancing w.
struct KernelModel {
    const float* w;
    const float* h;
    int32_t len;
    int32_t variant;
    bool add;
    const float* old;
    Floats out;
    int32_t wi = 0;
    int32_t q = 0;

    // The f32 products of one output, oldest sample first.
    Floats Products(bool kindA, int32_t at) const {
        Floats p;
        for (int32_t k = len - (kindA ? 1 : 2); k >= 0; k -= 2) p.push_back(h[k] * w[at++]);
        return p;
    }
    // One output alone: f32 from 0 oldest first (SSE3, SSE2) or double from
    // the old value (SSE).
    void Single() {
        const size_t o = out.size();
        const bool kindA = q == 0;
        if (variant == 1) {
            double acc = add ? old[o] : 0.0;
            int32_t at = wi;
            for (int32_t k = len - (kindA ? 1 : 2); k >= 0; k -= 2)
                acc += static_cast<double>(h[k]) * w[at++];
            out.push_back(static_cast<float>(acc));
        } else {
            float acc = 0.0f;
            for (float p : Products(kindA, wi)) acc += p;
            out.push_back(add ? acc + old[o] : acc);
        }
        if (q == 0) ++wi;
        q ^= 1;
    }
    float Sum(const Floats& p, bool newestFirst, bool rotate, size_t o, bool pairLoop,
              bool zeroLast) const {
        Floats order = p;
        if (newestFirst) order.assign(p.rbegin(), p.rend());
        if (rotate) {
            order.assign(1, p.back());
            order.insert(order.end(), p.begin(), p.end() - 1);
        }
        float acc = variant == 1 ? 0.0f : order[0];
        size_t i = variant == 1 ? 0 : 1;
        if (add && pairLoop && !zeroLast) {
            for (; i + 1 < order.size(); ++i) acc += order[i];
            return (acc + old[o]) + order.back();
        }
        for (; i < order.size(); ++i) acc += order[i];
        return add ? acc + old[o] : acc;
    }
    // One pair of the group or pair path.
    void Pair(bool pairLoop) {
        const bool longTaps = len >= 6;
        const bool even = len % 2 == 0;
        const Floats a = Products(true, wi);
        const Floats b = Products(false, q == 1 ? wi : wi + 1);
        const bool newestFirst = variant == 1 && longTaps;
        const bool rotate = variant != 1 && longTaps && even && q == 0;
        const size_t o = out.size();
        const bool loop = pairLoop && longTaps;
        const float va = Sum(a, newestFirst, false, o + (q == 1 ? 1 : 0), loop, false);
        const float vb = Sum(b, newestFirst, rotate, o + (q == 1 ? 0 : 1), loop, q == 1 && !even);
        out.push_back(q == 1 ? vb : va);
        out.push_back(q == 1 ? va : vb);
        ++wi;
    }
    Floats Run(int32_t count, int32_t q0, uintptr_t addr) {
        q = q0;
        auto at = [&] { return addr + 4 * out.size(); };
        auto rest = [&] { return count - static_cast<int32_t>(out.size()); };
        if (variant == 1) {
            while (rest() > 0 && (at() & 15) != 0) Single();
            for (int32_t g = rest() > 0 ? (rest() - 1) / 8 : 0; g > 0; --g)
                for (int32_t i = 0; i < 4; ++i) Pair(false);
            while (rest() > 0) Single();
            return out;
        }
        if (rest() > 0 && (at() & 4) != 0) Single();
        if (rest() >= 2 && (at() & 15) != 0) {
            Single();
            Single();
        }
        while (rest() >= 8)
            for (int32_t i = 0; i < 4; ++i) Pair(false);
        while (rest() >= 2) Pair(true);
        if (rest() > 0) Single();
        return out;
    }
};

// Every kernel, both forms, len 2 - 20, both paths, every start on the 16-byte
// grid and counts around the group sizes, bit for bit with the model; the
// model's shapes differ from each other on this data, so a kernel that sums
// in another order fails.
TEST(WaveletMergeKernel, SummationShapesBitForBit) {
    uint32_t seed = 3000;
    int32_t shapesDiffer = 0;
    for (int32_t len = 2; len <= 20; ++len) {
        const Floats h = Spread(len, ++seed, 3);
        const Floats w = Spread(80, ++seed, 3);
        const Floats old = Spread(64, ++seed, 3);
        for (int32_t q = 0; q <= 1; ++q) {
            for (int32_t skew = 0; skew < 4; ++skew) {
                for (int32_t count : {1, 2, 3, 7, 8, 9, 10, 16, 17, 18, 23, 33, 40}) {
                    for (bool add : {false, true}) {
                        SCOPED_TRACE(testing::Message()
                                     << "len " << len << " q " << q << " skew " << skew << " count "
                                     << count << (add ? " add" : " write"));
                        const BroadcastTaps taps(h.data(), len);
                        const sp_wavelet_merge_taps* t = taps.t;
                        ASSERT_NE(t, nullptr);
                        Floats got[4];
                        for (int32_t v = 1; v <= 3; ++v) {
                            alignas(16) float room[72];
                            for (float& x : room) x = -3.0f;
                            float* out = room + skew;
                            if (add) memcpy(out, old.data(), count * sizeof(float));
                            (add ? kMembers[v].kernelAdd : kMembers[v].kernel)(
                                w.data(), out, count, h.data(), len, q, t->broadcast);
                            EXPECT_EQ(out[count], -3.0f) << "variant " << v;
                            got[v] = Floats(out, out + count);
                            KernelModel m = {w.data(), h.data(), len, v, add, old.data(), {}};
                            const Floats want = m.Run(count, q, reinterpret_cast<uintptr_t>(out));
                            ASSERT_EQ(got[v], want) << "variant " << v;
                        }
                        shapesDiffer += got[1] != got[3];
                    }
                }
            }
        }
    }
    EXPECT_GT(shapesDiffer, 500);
}

// The spelled-out cases: with the SSE kernel, 8 outputs after alignment are
// all single outputs in double and 9 make one group and one single; on an
// odd element the SSE3 kernel's first output is alone and the sequence
// continues unchanged.
TEST(WaveletMergeKernel, GroupCountsAndOddStart) {
    const Floats h = Spread(7, 77);
    const Floats w = Spread(40, 78);
    const BroadcastTaps taps(h.data(), 7);
    const sp_wavelet_merge_taps* t = taps.t;
    ASSERT_NE(t, nullptr);
    // A(w) of len 7 in double: h6 w0 + h4 w1 + h2 w2 + h0 w3.
    auto doubleA = [&](int32_t i) {
        double acc = 0.0;
        for (int32_t j = 0; j < 4; ++j) acc += static_cast<double>(h[6 - 2 * j]) * w[i + j];
        return static_cast<float>(acc);
    };
    alignas(16) float out[16];
    sp_wavelet_merge_body_kernel_sse(w.data(), out, 8, h.data(), 7, 0, t->broadcast);
    for (int32_t o = 0; o < 8; o += 2) EXPECT_EQ(out[o], doubleA(o / 2)) << o;
    sp_wavelet_merge_body_kernel_sse(w.data(), out, 9, h.data(), 7, 0, t->broadcast);
    int32_t grouped = 0;
    for (int32_t o = 0; o < 8; o += 2) grouped += out[o] != doubleA(o / 2);
    EXPECT_GT(grouped, 0);
    EXPECT_EQ(out[8], doubleA(4));

    // The same sequence from an odd element as from an even one, within the
    // rounding of the different paths.
    alignas(16) float even[24], odd[24];
    sp_wavelet_merge_body_kernel_sse3(w.data(), even, 20, h.data(), 7, 0, t->broadcast);
    sp_wavelet_merge_body_kernel_sse3(w.data(), odd + 1, 20, h.data(), 7, 0, t->broadcast);
    EXPECT_EQ(odd[1], even[0]);
    for (int32_t o = 0; o < 20; ++o) EXPECT_NEAR(odd[1 + o], even[o], 1e-5f * 0x1p20f) << o;
}

// len 1 bodies: products at the body's phase, zeros (or the old values,
// adding) between.
TEST(WaveletMergeKernel, OneTapBodiesAtBothPhases) {
    const float tap[1] = {3.0f};
    const BroadcastTaps taps(tap, 1);
    const sp_wavelet_merge_taps* t = taps.t;
    ASSERT_NE(t, nullptr);
    const float in[3] = {1, 2, 4};
    for (int32_t v = 1; v <= 3; ++v) {
        SCOPED_TRACE(v);
        Floats out(6, 9.0f);
        kMembers[v].body(t, in, out.data(), 5, 0);
        EXPECT_EQ(out, (Floats{3, 0, 6, 0, 12, 9}));
        out.assign(6, 9.0f);
        kMembers[v].body(t, in, out.data(), 5, 1);
        EXPECT_EQ(out, (Floats{0, 3, 0, 6, 0, 9}));
        out.assign(6, 1.0f);
        kMembers[v].bodyAdd(t, in, out.data(), 5, 0);
        EXPECT_EQ(out, (Floats{4, 1, 7, 1, 13, 1}));
        out.assign(6, 1.0f);
        kMembers[v].bodyAdd(t, in, out.data(), 5, 1);
        EXPECT_EQ(out, (Floats{1, 4, 1, 7, 1, 1}));
    }
}

// ---- Heads ------------------------------------------------------------------------------

// Sums of the delay line by variant: SSE3/SSE2 in double, four partial sums
// over whole groups of eight from nine terms on; SSE f32 products in double.
double HeadSum(int32_t variant, const float* a, const float* x, int32_t n) {
    if (variant == 1) {
        double acc = 0.0;
        for (int32_t j = 0; j < n; ++j) acc += static_cast<double>(a[j] * x[j]);
        return static_cast<float>(acc);
    }
    if (variant == 0 || n <= 8) {
        double acc = 0.0;
        for (int32_t j = 0; j < n; ++j) acc += static_cast<double>(a[j]) * x[j];
        return variant == 0 ? acc : static_cast<float>(acc);  // the generic rounds after adding
    }
    double s[4] = {0, 0, 0, 0};
    const int32_t whole = n / 8 * 8;
    for (int32_t j = 0; j < whole; ++j) s[j % 4] += static_cast<double>(a[j]) * x[j];
    double acc = (s[0] + s[2]) + (s[1] + s[3]);
    for (int32_t j = whole; j < n; ++j) acc += static_cast<double>(a[j]) * x[j];
    return static_cast<float>(acc);
}

// Outputs that all reach into the delay line (no body; two calls, so the
// second sees a full history): len 16, 17 and 18 give even and odd sums of 8
// and 9 terms, where the SSE3/SSE2 head changes shape; write and add forms
// bit for bit, the add form rounding first.
TEST(WaveletMergeHead, SumsOfEightAndNineTerms) {
    uint32_t seed = 4000;
    for (int32_t len : {16, 17, 18}) {
        // Unit taps over samples of +-2^60 among small ones: each order of the
        // double sums keeps or loses a different set of the small terms.
        const Floats taps(len, 1.0f);
        Floats band(len);
        std::mt19937 rng(++seed);
        for (float& v : band) {
            const uint32_t pick = rng() % 3;
            v = pick == 0 ? 0x1p60f : pick == 1 ? -0x1p60f : static_cast<float>(rng() % 1000 + 1);
        }
        const Floats old = Spread(2 * len, ++seed);
        const int32_t ne = (len + 1) / 2, no = len / 2;
        const int32_t h = len - (len & 1);  // all head outputs at phase 0
        Floats z(ne + h, 0.0f);             // zeros before the start
        for (int32_t i = 0; i < h; ++i) z[ne + i] = band[i];
        int32_t differs = 0;
        for (int32_t v = 0; v <= 3; ++v) {
            for (bool add : {false, true}) {
                SCOPED_TRACE(testing::Message() << "len " << len << " variant " << v << add);
                const Floats got =
                    RunMergeBranch(taps, 0, band, {h, h}, v, add ? &old : nullptr, 0);
                for (int32_t t = 0; t < 2 * h; ++t) {
                    // Output t sums the ne (even t) or no (odd t) newest
                    // samples up to band[t / 2], against unit taps.
                    const int32_t n = t % 2 == 0 ? ne : no;
                    const float* window = &z[ne + t / 2 + 1 - n];
                    const double sum = HeadSum(v, taps.data(), window, n);
                    // The generic adds in double before rounding once; the
                    // SIMD sums are f32 values already.
                    const float want =
                        add ? static_cast<float>(sum + old[t]) : static_cast<float>(sum);
                    ASSERT_EQ(got[t], want) << "output " << t;
                    if (v == 3 && !add)
                        differs += static_cast<float>(HeadSum(0, taps.data(), window, n)) != got[t];
                }
            }
        }
        if (len > 16) {
            EXPECT_GT(differs, 0) << "the partial sums must show on this data";
        }
    }
}

// ---- Branch level -----------------------------------------------------------------------

// Every SIMD branch within f32 rounding of the generic one: tap counts 1 - 20,
// offsets -1 .. 5 and one whose delay outlasts many calls, calls of random
// size, both forms, destinations at every float offset of the 16-byte grid;
// SSE2 and SSE3 agree bit for bit.
TEST(WaveletMergeBranch, SimdMembersAgainstGeneric) {
    uint32_t seed = 5000;
    for (int32_t len = 1; len <= 20; ++len) {
        for (int32_t offset : {-1, 0, 1, 2, 3, 4, 5, 41}) {
            SCOPED_TRACE(testing::Message() << "len " << len << " offset " << offset);
            const Floats taps = sptest::RandomSignal(len, ++seed);
            const int32_t total = 150 + static_cast<int32_t>(seed % 9);
            Floats band = sptest::RandomSignal(total, ++seed);
            for (float& x : band) x *= 1000.0f;
            Floats old = sptest::RandomSignal(total, ++seed);
            for (float& x : old) x *= 100.0f;
            const std::vector<int32_t> outs = RandomOuts(total, ++seed);
            const int32_t skew = static_cast<int32_t>(seed % 4);
            for (const Floats* o :
                 {static_cast<const Floats*>(nullptr), static_cast<const Floats*>(&old)}) {
                const Floats g = RunMergeBranch(taps, offset, band, outs, 0, o, skew);
                for (int32_t v = 1; v <= 3; ++v) {
                    const Floats s = RunMergeBranch(taps, offset, band, outs, v, o, skew);
                    for (int32_t t = 0; t < total; ++t)
                        ASSERT_NEAR(g[t], s[t], 2e-7 * 1000.0 * (len + 2) + 2e-5)
                            << "variant " << v << (o ? " add" : " write") << " output " << t;
                    if (v == 3) {
                        EXPECT_EQ(RunMergeBranch(taps, offset, band, outs, 2, o, skew), s);
                    }
                }
            }
        }
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

// ---- Fronts -----------------------------------------------------------------------------

class WaveletGuarded : public sptest::VariantTest {
protected:
    void TearDown() override { EXPECT_EQ(sptest::LiveBlocks(), 0u); }
};

// Sources, bands and destinations ending at a guard page and starting at
// every offset of the 16-byte grid: nothing past a run is read or written,
// the merge gives the bits of a run from ordinary arrays, the split stays
// within rounding of the formula (its bodies write the bands directly, so
// their start decides which outputs are single ones).
TEST_P(WaveletGuarded, EveryStartOffset) {
    const Floats taps1 = sptest::RandomSignal(6, 81), taps2 = sptest::RandomSignal(7, 82);
    for (int32_t shift = 0; shift < 8; ++shift) {
        const int32_t len = 1000 + shift;
        SCOPED_TRACE(len);
        const std::vector<int16_t> x16 = sptest::RandomI16(2 * size_t(len), 83 + shift);
        sptest::GuardedBuffer src = sptest::GuardedBuffer::AtEnd(4 * size_t(len));
        memcpy(src.Data(), x16.data(), 4 * size_t(len));
        sptest::GuardedBuffer b1 = sptest::GuardedBuffer::AtEnd(4 * size_t(len));
        sptest::GuardedBuffer b2 = sptest::GuardedBuffer::AtEnd(4 * size_t(len));
        sp_wavelet_split_state* s = nullptr;
        ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_create>()(&s, taps1.data(), 6, 3,
                                                                taps2.data(), 7, -1));
        ASSERT_EQ(0, Member<sp_entry_sp_wavelet_split_run>()(src.As<int16_t>(), b1.As<float>(),
                                                             b2.As<float>(), len, s));
        EXPECT_EQ(0, Member<sp_entry_sp_wavelet_split_free>()(s));
        const Floats x(x16.begin(), x16.end());
        const std::vector<double> want1 = sptest::WaveletSplitFormula(taps1, 3, x, len);
        const std::vector<double> want2 = sptest::WaveletSplitFormula(taps2, -1, x, len);
        for (int32_t m = 0; m < len; ++m) {
            ASSERT_NEAR(want1[m], b1.As<float>()[m], 1e-6 * 6 * 32768.0) << m;
            ASSERT_NEAR(want2[m], b2.As<float>()[m], 1e-6 * 7 * 32768.0) << m;
        }

        // Merge the bands back from the guarded buffers and from copies.
        std::vector<int16_t> plain(2 * size_t(len));
        sptest::GuardedBuffer y = sptest::GuardedBuffer::AtEnd(4 * size_t(len));
        for (bool guarded : {false, true}) {
            sp_wavelet_merge_state* m = nullptr;
            ASSERT_EQ(0, Member<sp_entry_sp_wavelet_merge_create>()(&m, taps1.data(), 6, 1,
                                                                    taps2.data(), 7, 4));
            const Floats c1(b1.As<float>(), b1.As<float>() + len);
            const Floats c2(b2.As<float>(), b2.As<float>() + len);
            ASSERT_EQ(
                0, Member<sp_entry_sp_wavelet_merge_run>()(
                       guarded ? b1.As<float>() : c1.data(), guarded ? b2.As<float>() : c2.data(),
                       len, guarded ? y.As<int16_t>() : plain.data(), m));
            EXPECT_EQ(0, Member<sp_entry_sp_wavelet_merge_free>()(m));
        }
        EXPECT_EQ(0, memcmp(plain.data(), y.Data(), 4 * size_t(len)));
    }
}

SP_INSTANTIATE_VARIANTS(WaveletGuarded);

}  // namespace
