// Wave correlator: a planted delay between a speech-like far end and its
// echo found and published only after enough agreeing estimates made from
// active blocks, a weak echo found as well, finality until a reset, the activity rule against a
// 64-bit reference, sample widths, 16 kHz, failures of memory and of the correlation, and the
// module contract.
#include <CKAUDPWAVC.h>
#include <sp_dispatch.h>

#include <EchoSignals.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "EngineCallRecorder.h"
#include "ModuleContract.h"

namespace zvmodtest {
namespace {

constexpr ULONGLONG kSentinel = 0xDEADBEEFCAFEF00Dull;

// Speech-like far end at -20 dBFS that talks all the time (or in spurts).
std::vector<SHORT> FarEnd(ULONG rate, double seconds, bool spurts, uint64_t seed = 3) {
    echotest::SpeechParams p;
    p.rate = static_cast<int>(rate);
    p.seed = seed;
    p.spurts = spurts;
    const std::vector<int16_t> pcm =
        echotest::ToPcm(echotest::SpeechLike(p, static_cast<size_t>(seconds * rate)));
    return std::vector<SHORT>(pcm.begin(), pcm.end());
}

// The far end delayed by delay(i) samples at half its level, plus noise at -50 dBFS.
std::vector<SHORT> Echo(const std::vector<SHORT>& far, const std::function<size_t(size_t)>& delay) {
    const std::vector<double> noise = echotest::Noise(17, far.size(), -50.0, false);
    std::vector<double> near(far.size());
    for (size_t i = 0; i < far.size(); ++i) {
        const size_t d = delay(i);
        near[i] = (i >= d ? 0.5 * far[i - d] : 0.0) + noise[i];
    }
    const std::vector<int16_t> pcm = echotest::ToPcm(near);
    return std::vector<SHORT>(pcm.begin(), pcm.end());
}

// What a run saw after each near-end block.
struct Trace {
    std::vector<ULONGLONG> side;       // the side value after the block
    std::vector<ULONGLONG> estimates;  // correlations made so far
    std::vector<ULONG> enable;         // property 2 after the block
};

class WavcTest : public OneModuleTest<CKAUDPWAVC> {
protected:
    void SetUp() override {
        OneModuleTest::SetUp();
        // As at filter load: the primitives' variant for this processor.
        sp_dispatch_init();
        ResetWatchedCalls();
    }

    // Feeds [from, to) of both streams in blocks of `block` samples, far end
    // first, the near end with `side`.
    Trace Feed(const std::vector<SHORT>& far, const std::vector<SHORT>& near, size_t from,
               size_t to, size_t block, ULONGLONG* side) {
        Trace t;
        for (size_t at = from; at + block <= to; at += block) {
            EXPECT_EQ(Submit(0, &far[at], block, nullptr), ZV_OK);
            EXPECT_EQ(Submit(1, &near[at], block, side), ZV_OK);
            t.side.push_back(*side);
            t.estimates.push_back(WatchedCallsOf(kCallXcorr).calls);
            ULONG enable = 0;
            EXPECT_EQ(m_module->GetPropertyDword(CKAUDPWAVC::kPropEnable, &enable), ZV_OK);
            t.enable.push_back(enable);
        }
        return t;
    }
    ZvStatus Submit(ULONG pin, const SHORT* samples, size_t count, ULONGLONG* side) {
        return m_module->SubmitPinData(pin, const_cast<SHORT*>(samples),
                                       static_cast<ULONG>(count * 2), nullptr, 0, side);
    }
    ULONG Property(ULONG id) {
        ULONG value = 0xFFFFFFFF;
        EXPECT_EQ(m_module->GetPropertyDword(id, &value), ZV_OK) << id;
        return value;
    }
};

// Index of the first block after which the side value differs from `before`;
// the trace's length when it never does.
size_t FirstChange(const Trace& t, ULONGLONG before) {
    size_t i = 0;
    while (i < t.side.size() && t.side[i] == before) ++i;
    return i;
}

// The published value is the lag counted one sample short, in whole ms
// (truncated): a delay of exactly D ms reads as D - 1.
void ExpectDelay(ULONGLONG side, ULONG ms) {
    EXPECT_EQ(side >> 32, 0u);
    EXPECT_EQ(static_cast<ULONG>(side), ms - 1) << "for a planted " << ms << " ms";
}

TEST_F(WavcTest, PlantedDelayIsPublishedAfterSixAgreeingEstimatesThenFinalUntilReset) {
    const std::vector<SHORT> far = FarEnd(8000, 16, false);
    // 100 ms for the first 6 s, 180 ms after.
    const std::vector<SHORT> near = Echo(far, [](size_t i) { return i < 48000 ? 800 : 1440; });
    ULONGLONG side = kSentinel;

    Trace t = Feed(far, near, 0, 48000, 80, &side);
    // Nothing before both pins have W + S = 6408 samples; the first block
    // boundary after that is 7200.
    for (size_t b = 0; b < t.side.size(); ++b) {
        if ((b + 1) * 80 < 7200) {
            ASSERT_EQ(t.estimates[b], 0u) << b;
        }
    }
    EXPECT_EQ(t.estimates[7200 / 80 - 1], 1u);
    const size_t published = FirstChange(t, kSentinel);
    ASSERT_LT(published, t.side.size());
    EXPECT_EQ(t.estimates[published], 6u);
    ExpectDelay(t.side[published], 100);
    // Final after ten: estimating stops with full confidence.
    EXPECT_EQ(t.estimates.back(), 10u);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropEnable), 0u);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropConfidence), 100u);
    const ULONGLONG first = side;

    // The echo path moves to 180 ms: ignored while the estimate is final.
    t = Feed(far, near, 48000, 80000, 80, &side);
    EXPECT_EQ(WatchedCallsOf(kCallXcorr).calls, 10u);
    EXPECT_EQ(side, first);

    // A re-correlation starts afresh and finds the new delay.
    ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropReset, 0), ZV_OK);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropEnable), 1u);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropConfidence), 0u);
    t = Feed(far, near, 80000, 128000, 80, &side);
    const size_t republished = FirstChange(t, first);
    ASSERT_LT(republished, t.side.size());
    ExpectDelay(side, 180);
    EXPECT_EQ(t.estimates[republished], 16u);

    // Every correlation and median ran under a floating-point save.
    EXPECT_EQ(WatchedCallsOf(kCallXcorr).unsaved, 0u);
    EXPECT_EQ(WatchedCallsOf(kCallMedian).unsaved, 0u);
    EXPECT_EQ(WatchedCallsOf(kCallMedian).calls, 2 * WatchedCallsOf(kCallXcorr).calls);
}

// An echo far below the far end, as a camera's microphone hears desk
// loudspeakers, over a quiet room's noise (-70 dBFS): still found to the
// millisecond down to 35 dB below a far end at -20 dBFS.
TEST_F(WavcTest, AWeakEchoIsFoundExactly) {
    const std::vector<SHORT> far = FarEnd(8000, 6, false);
    const std::vector<double> noise = echotest::Noise(17, far.size(), -70.0, false);
    for (double db : {-20.0, -25.0, -30.0, -35.0}) {
        SCOPED_TRACE(db);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropReset, 0), ZV_OK);
        std::vector<double> mic(far.size());
        for (size_t i = 0; i < far.size(); ++i)
            mic[i] = (i >= 960 ? std::pow(10.0, db / 20) * far[i - 960] : 0.0) + noise[i];
        const std::vector<int16_t> pcm = echotest::ToPcm(mic);
        ULONGLONG side = kSentinel;
        Feed(far, std::vector<SHORT>(pcm.begin(), pcm.end()), 0, far.size(), 80, &side);
        ExpectDelay(side, 120);
    }
}

// The correlation buffer holds the cross-correlation of the last half
// second of both pins divided by the least power of two that keeps the
// root of the product of the windows' energies within 16 bits (at most 2^27,
// 2^28 at 16 kHz); an echo of exactly 800 samples peaks at output W - 1 + 800
// and reads as 99 ms.
TEST_F(WavcTest, TheCorrelationIsScaledAndItsPeakCountedOneSampleShort) {
    for (ULONG rate : {8000u, 16000u}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropRate, rate), ZV_OK);
        const WavcState& s = *m_module->EngineState();
        const ULONG w = s.window;
        const std::vector<SHORT> far = FarEnd(rate, 2, false);
        const std::vector<SHORT> near = Echo(far, [](size_t) { return 800; });
        ULONGLONG side = kSentinel;
        const size_t block = rate / 100;
        // Up to the first correlation: the first block end past W + S.
        const size_t first = (w + s.search + s.block - 1) / s.block * s.block;
        const ULONGLONG before = WatchedCallsOf(kCallXcorr).calls;
        const Trace t = Feed(far, near, 0, first, block, &side);
        ASSERT_EQ(t.estimates.back(), before + 1);
        const SHORT* f = s.farBuffer + s.writeFar - w;
        const SHORT* n = s.nearBuffer + s.writeNear - w;
        // Output i holds lag i + 1 - W: sum over j of far[j] * near[j + lag].
        size_t peak = 0;
        for (size_t i = 1; i < 2 * w + 1; ++i)
            if (std::abs(s.correlation[i]) > std::abs(s.correlation[peak])) peak = i;
        EXPECT_EQ(peak, w - 1 + 800);
        const long lag = static_cast<long>(peak) + 1 - static_cast<long>(w);
        long double sum = 0;
        for (long j = 0; j + lag < static_cast<long>(w); ++j) sum += f[j] * n[j + lag];
        long double farEnergy = 0, nearEnergy = 0;
        for (ULONG j = 0; j < w; ++j) farEnergy += f[j] * f[j], nearEnergy += n[j] * n[j];
        int scale = 0;
        while (std::ldexp(std::sqrt(farEnergy * nearEnergy), -scale) >= 32767) ++scale;
        EXPECT_LT(scale, rate == 8000 ? 27 : 28);
        const long double expected = std::ldexp(sum, -scale);
        EXPECT_GT(expected, 8000.0L);  // far from both neighbouring scales
        EXPECT_NEAR(s.correlation[peak], static_cast<double>(expected), 1.0);
        EXPECT_EQ(s.delay, 800u * 1000 / rate - 1);
    }
}

// The correlation keeps its transform from one estimate to the next: after
// the first estimate of a rate, estimating takes nothing from the pool.
TEST_F(WavcTest, EstimatesAfterTheFirstAllocateNothing) {
    for (ULONG rate : {8000u, 16000u}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropRate, rate), ZV_OK);
        const WavcState& s = *m_module->EngineState();
        const std::vector<SHORT> far = FarEnd(rate, 3, false);
        const std::vector<SHORT> near = Echo(far, [](size_t) { return 800; });
        ULONGLONG side = kSentinel;
        const size_t block = rate / 100;
        const size_t first = (s.window + s.search + s.block - 1) / s.block * s.block;
        const ULONGLONG before = WatchedCallsOf(kCallXcorr).calls;
        Feed(far, near, 0, first, block, &side);
        ASSERT_EQ(WatchedCallsOf(kCallXcorr).calls, before + 1);
        const ULONGLONG allocations = KpPoolUsage(0).TotalAllocations;
        Feed(far, near, first, far.size(), block, &side);
        EXPECT_GE(WatchedCallsOf(kCallXcorr).calls, before + 6);
        EXPECT_EQ(KpPoolUsage(0).TotalAllocations, allocations);
    }
}

TEST_F(WavcTest, ResumingWithPropertyTwoPublishesAfterOneMoreAgreeingEstimate) {
    const std::vector<SHORT> far = FarEnd(8000, 8, false);
    const std::vector<SHORT> near = Echo(far, [](size_t) { return 400; });
    ULONGLONG side = kSentinel;
    Feed(far, near, 0, 32000, 80, &side);
    ASSERT_EQ(Property(CKAUDPWAVC::kPropEnable), 0u);
    ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropEnable, 7), ZV_OK);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropEnable), 1u);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropConfidence), 25u);
    side = kSentinel;
    const Trace t = Feed(far, near, 32000, 40000, 80, &side);
    const size_t published = FirstChange(t, kSentinel);
    ASSERT_LT(published, t.side.size());
    EXPECT_EQ(t.estimates[published], 11u);
    ExpectDelay(side, 50);
    // Disabling stops estimating at once.
    ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropEnable, 0), ZV_OK);
    const ULONGLONG made = WatchedCallsOf(kCallXcorr).calls;
    Feed(far, near, 40000, 56000, 80, &side);
    EXPECT_EQ(WatchedCallsOf(kCallXcorr).calls, made);
}

TEST_F(WavcTest, SilenceOnEitherSideIsNeverCorrelated) {
    const std::vector<SHORT> talk = FarEnd(8000, 5, false);
    // A quiet room's noise, about -70 dBFS.
    const std::vector<int16_t> noise =
        echotest::ToPcm(echotest::Noise(17, talk.size(), -70, false));
    const std::vector<SHORT> hush(noise.begin(), noise.end());
    for (int quietPin = 0; quietPin < 2; ++quietPin) {
        SCOPED_TRACE(quietPin);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropReset, 0), ZV_OK);
        ULONGLONG side = kSentinel;
        const std::vector<SHORT>& far = quietPin == 0 ? hush : talk;
        const std::vector<SHORT>& near = quietPin == 0 ? talk : hush;
        Feed(far, near, 0, talk.size(), 80, &side);
        EXPECT_EQ(side, kSentinel);
        EXPECT_EQ(WatchedCallsOf(kCallXcorr).calls, 0u);
    }
}

// Mean square of each 800-sample block, in 64 bits, against the threshold.
std::vector<bool> ActiveBlocks(const std::vector<SHORT>& x, size_t block) {
    std::vector<bool> active;
    for (size_t at = 0; at + block <= x.size(); at += block) {
        unsigned long long sum = 0;
        for (size_t i = at; i < at + block; ++i) sum += static_cast<long long>(x[i]) * x[i];
        active.push_back(sum / block >= 2500);
    }
    return active;
}

// With talk spurts and gated stretches of silence, a correlation is made at
// exactly the near-end block ends where both pins had at least two active
// blocks among their last five.
TEST_F(WavcTest, OnlyStretchesWithActiveBlocksOnBothSidesAreCorrelated) {
    std::vector<SHORT> far = FarEnd(8000, 20, true, 9);
    // Silent stretches (far end) of various lengths.
    const std::pair<double, double> gaps[] = {{2.0, 2.3}, {5.0, 6.5}, {9.0, 9.35}, {12.0, 15.0}};
    for (auto [from, to] : gaps)
        std::fill(far.begin() + long(from * 8000), far.begin() + long(to * 8000), SHORT(0));
    std::vector<SHORT> near = Echo(far, [](size_t) { return 600; });
    // The microphone goes dead for a while too.
    std::fill(near.begin() + 7 * 8000, near.begin() + 8 * 8000, SHORT(3));
    const std::vector<bool> farActive = ActiveBlocks(far, 800);
    const std::vector<bool> nearActive = ActiveBlocks(near, 800);

    ULONGLONG side = kSentinel;
    ULONGLONG expected = 0;
    ULONG enable = 1;
    size_t skippedForActivity = 0;
    for (size_t at = 0; at + 80 <= far.size(); at += 80) {
        ASSERT_EQ(Submit(0, &far[at], 80, nullptr), ZV_OK);
        ASSERT_EQ(Submit(1, &near[at], 80, &side), ZV_OK);
        const size_t n = at + 80;
        if (n % 800 == 0 && n >= 6408 && enable == 1) {
            const size_t k = n / 800;  // blocks completed
            int farCount = 0, nearCount = 0;
            for (size_t b = k >= 5 ? k - 5 : 0; b < k; ++b) {
                farCount += farActive[b];
                nearCount += nearActive[b];
            }
            if (farCount >= 2 && nearCount >= 2) {
                ++expected;
            } else {
                ++skippedForActivity;
            }
        }
        ASSERT_EQ(WatchedCallsOf(kCallXcorr).calls, expected) << "at sample " << n;
        enable = Property(CKAUDPWAVC::kPropEnable);
        if (enable == 0) {
            // Keep estimating to see more decisions.
            ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropEnable, 1), ZV_OK);
            enable = 1;
        }
    }
    EXPECT_GT(expected, 20u);
    EXPECT_GT(skippedForActivity, 5u);
    ExpectDelay(side, 75);
}

// The block judgement sums in 64 bits: loud blocks stay active.
TEST_F(WavcTest, LoudBlocksAreActive) {
    WavcState* s = nullptr;
    ASSERT_EQ(WavcCreate(&s), ZV_OK);
    struct Case {
        const char* name;
        std::function<SHORT(size_t)> sample;
        ULONG active;
    };
    std::vector<double> loud = echotest::Noise(4, 800, 20 * std::log10(8000.0 / 32768.0), false);
    const Case cases[] = {
        // 2318^2 * 800 passes 2^32 by only 3.5 million: at 32 bits a quiet block.
        {"square 2318", [](size_t i) { return SHORT(i % 2 ? 2318 : -2318); }, 1},
        {"noise RMS 8000",
         [&](size_t i) { return SHORT(std::clamp(std::lround(loud[i]), -32768L, 32767L)); }, 1},
        {"full scale", [](size_t i) { return SHORT(i % 2 ? 32767 : -32768); }, 1},
        {"constant 50", [](size_t) { return SHORT(50); }, 1},
        {"constant 49", [](size_t) { return SHORT(-49); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SHORT> block(800);
        for (size_t i = 0; i < block.size(); ++i) block[i] = c.sample(i);
        const ULONG index = s->activityFarIndex;
        ASSERT_EQ(WavcProcess(s, 0, block.data(), 1600, nullptr), ZV_OK);
        EXPECT_EQ(s->activityFar[index], c.active);
        EXPECT_EQ(s->activityFarIndex, (index + 1) % 5);
    }
    WavcDestroy(s);
}

// 8-bit and 32-bit input are taken as 16-bit samples: the same estimate.
TEST_F(WavcTest, EightAndThirtyTwoBitInputGiveTheSameEstimate) {
    const std::vector<SHORT> far = FarEnd(8000, 4, false);
    const std::vector<SHORT> near = Echo(far, [](size_t) { return 1000; });
    struct Width {
        ULONG bits;
        ULONGLONG side = kSentinel;
        ULONGLONG estimates = 0;
    };
    Width widths[] = {{16}, {32}, {8}};
    for (Width& w : widths) {
        SCOPED_TRACE(w.bits);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropBits, w.bits), ZV_OK);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropReset, 0), ZV_OK);
        ResetWatchedCalls();
        const ULONG bytes = w.bits / 8;
        for (size_t at = 0; at + 80 <= far.size(); at += 80) {
            for (ULONG pin = 0; pin < 2; ++pin) {
                const SHORT* x = (pin == 0 ? far.data() : near.data()) + at;
                std::vector<UCHAR> buf(80 * bytes);
                for (size_t i = 0; i < 80; ++i) {
                    if (w.bits == 8) buf[i] = static_cast<UCHAR>((x[i] >> 8) + 128);
                    if (w.bits == 16) Put16(&buf[2 * i], x[i]);
                    // The lower half carries anything: it is not read.
                    if (w.bits == 32)
                        Put32(&buf[4 * i], (static_cast<ULONG>(static_cast<USHORT>(x[i])) << 16) |
                                               ((i * 7919) & 0xFFFF));
                }
                ASSERT_EQ(m_module->SubmitPinData(pin, buf.data(), static_cast<ULONG>(buf.size()),
                                                  nullptr, 0, pin == 1 ? &w.side : nullptr),
                          ZV_OK);
            }
        }
        w.estimates = WatchedCallsOf(kCallXcorr).calls;
        ExpectDelay(w.side, 125);
    }
    EXPECT_EQ(widths[1].side, widths[0].side);
    EXPECT_EQ(widths[1].estimates, widths[0].estimates);
    EXPECT_EQ(widths[2].side, widths[0].side);
    // A trailing partial sample is ignored: 5 bytes of 16-bit samples are 2 samples.
    const ULONG position = m_module->EngineState()->writeNear;
    UCHAR odd[5] = {};
    ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropBits, 16), ZV_OK);
    ASSERT_EQ(m_module->SubmitPinData(1, odd, 5, nullptr, 0, nullptr), ZV_OK);
    EXPECT_EQ(m_module->EngineState()->writeNear, position + 2);
}

TEST_F(WavcTest, SixteenKilohertz) {
    ASSERT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropRate, 16000), ZV_OK);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropRate), 16000u);
    const WavcState& s = *m_module->EngineState();
    EXPECT_EQ(s.window, 8000u);
    EXPECT_EQ(s.block, 1600u);
    EXPECT_EQ(s.search, 4816u);
    EXPECT_EQ(s.scale, 28u);
    EXPECT_EQ(s.historyLength, 21u);
    const std::vector<SHORT> far = FarEnd(16000, 4, false);
    const std::vector<SHORT> near = Echo(far, [](size_t) { return 1600; });
    ULONGLONG side = kSentinel;
    const Trace t = Feed(far, near, 0, far.size(), 160, &side);
    // First correlation at the first block end past W + S = 12816: 14400.
    EXPECT_EQ(t.estimates[14400 / 160 - 2], 0u);
    EXPECT_EQ(t.estimates[14400 / 160 - 1], 1u);
    const size_t published = FirstChange(t, kSentinel);
    ASSERT_LT(published, t.side.size());
    EXPECT_EQ(t.estimates[published], 6u);
    ExpectDelay(side, 100);
}

TEST_F(WavcTest, PropertiesAndRefusedValues) {
    const ULONG expected[] = {0, 0, 1, 0, 16, 8000, 0};
    for (ULONG id = 0; id < 7; ++id) EXPECT_EQ(Property(id), expected[id]) << id;
    ULONG value = 0;
    EXPECT_EQ(m_module->GetPropertyDword(7, &value), ZV_FAILED);
    for (ULONG bits : {0u, 12u, 24u, 64u})
        EXPECT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropBits, bits), ZV_FAILED) << bits;
    for (ULONG rate : {0u, 11025u, 44100u, 48000u})
        EXPECT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropRate, rate), ZV_FAILED) << rate;
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropRate, 8000), ZV_OK);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropConfidence, 60), ZV_FAILED);
    EXPECT_EQ(m_module->SetPropertyDword(0, 1), ZV_FAILED);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropBits), 16u);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropRate), 8000u);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropConfidence), 0u);
    // Other pins are refused without touching anything.
    SHORT x[80] = {1};
    ULONGLONG side = kSentinel;
    EXPECT_EQ(m_module->SubmitPinData(2, x, 160, nullptr, 0, &side), ZV_FAILED);
    EXPECT_EQ(m_module->SubmitPinData(0, nullptr, 160, nullptr, 0, &side), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, x, 0, nullptr, 0, &side), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->EngineState()->countFar + m_module->EngineState()->countNear, 0u);
    EXPECT_EQ(side, kSentinel);
}

// A rate change whose memory cannot be had keeps the old rate and buffers:
// the correlator goes on working at 8 kHz and nothing leaks.
TEST_F(WavcTest, FailedRateChangeKeepsTheOldRateWorking) {
    const SHORT* before = m_module->EngineState()->nearBuffer;
    for (ULONG k = 1; k <= 6; ++k) {
        SCOPED_TRACE(k);
        const LONG live = LiveBlocks();
        FailAllocation(k);
        EXPECT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropRate, 16000), ZV_NO_MEMORY);
        KpPoolClearFailures();
        EXPECT_EQ(LiveBlocks(), live);
        EXPECT_EQ(Property(CKAUDPWAVC::kPropRate), 8000u);
        EXPECT_EQ(m_module->EngineState()->window, 4000u);
        EXPECT_EQ(m_module->EngineState()->nearBuffer, before);
    }
    const std::vector<SHORT> far = FarEnd(8000, 4, false);
    const std::vector<SHORT> near = Echo(far, [](size_t) { return 800; });
    ULONGLONG side = kSentinel;
    Feed(far, near, 0, far.size(), 80, &side);
    ExpectDelay(side, 100);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPWAVC::kPropRate, 16000), ZV_OK);
    EXPECT_EQ(m_module->EngineState()->window, 8000u);
    EXPECT_EQ(Property(CKAUDPWAVC::kPropEnable), 1u);
}

TEST_F(WavcTest, FailedCreationLeaksNothingIsLoggedAndAnswersNotReady) {
    zvtest::RecordProbeSlots();
    // The object, the state, then the six buffers.
    for (ULONG k = 2; k <= 8; ++k) {
        SCOPED_TRACE(k);
        const LONG live = LiveBlocks();
        FailAllocation(k);
        ULONG status = 0;
        CKAUDPWAVC* failed = new CKAUDPWAVC(nullptr, kInstance, &status);
        KpPoolClearFailures();
        ASSERT_NE(failed, nullptr);
        EXPECT_EQ(status, ZV_NO_MEMORY);
        EXPECT_EQ(failed->EngineState(), nullptr);
        SHORT x[80] = {};
        EXPECT_EQ(failed->SubmitPinData(0, x, 160, nullptr, 0, nullptr), ZV_NOT_READY);
        delete failed;
        EXPECT_EQ(LiveBlocks(), live);
    }
    EXPECT_TRUE(LoggedLine("CKAUDPWAVC>> Init_WAVC Failed Status - 8 \n!!! \n"));
}

// A correlation that fails says nothing about the delay: it does not enter
// the history, so publishing waits for six that worked.
TEST_F(WavcTest, FailedCorrelationIsNotTakenAsAnEstimate) {
    const std::vector<SHORT> far = FarEnd(8000, 5, false);
    const std::vector<SHORT> near = Echo(far, [](size_t) { return 800; });
    FailNextXcorr(3, sp_status_no_memory);
    ULONGLONG side = kSentinel;
    const Trace t = Feed(far, near, 0, far.size(), 80, &side);
    const size_t published = FirstChange(t, kSentinel);
    ASSERT_LT(published, t.side.size());
    EXPECT_EQ(t.estimates[published], 9u);
    ExpectDelay(side, 100);
}

TEST_F(WavcTest, EngineFunctionsWithoutAState) {
    ULONG value = 0;
    EXPECT_EQ(WavcCreate(nullptr), ZV_FAILED);
    EXPECT_EQ(WavcDestroy(nullptr), kWavcNoState);
    EXPECT_EQ(WavcGetProperty(nullptr, 2, &value), kWavcNoState);
    EXPECT_EQ(WavcSetProperty(nullptr, 2, 1), kWavcNoState);
    EXPECT_EQ(WavcProcess(nullptr, 0, &value, 4, nullptr), kWavcNoState);
}

struct WavcTraits {
    using Module = CKAUDPWAVC;
    static constexpr ULONG kTag = ZvFourCC("WAVC");
    static constexpr PropertySpec kProperties[] = {{0, 4, true},  {1, 4, true},  {2, 4, false},
                                                   {3, 4, false}, {4, 4, false}, {5, 4, false},
                                                   {6, 4, true}};
    static constexpr ULONG kUnknownId = 7;
    static constexpr ULONG kRangedId = CKAUDPWAVC::kPropBits, kGoodValue = 32, kBadValue = 24;
    static constexpr ZvStatus kBadValueStatus = ZV_FAILED;
    static constexpr bool kBufferProperties = false;
    static inline SHORT in[160];
    static void Configure(Module*) {}
    static ZvStatus Submit(Module* m) {
        return m->SubmitPinData(0, in, sizeof(in), nullptr, 0, nullptr);
    }
    // The object, the state, then the buffers.
    static ZvStatus FailNextConstruction() {
        KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 3);
        return ZV_NO_MEMORY;
    }
};
INSTANTIATE_TYPED_TEST_SUITE_P(WAVC, ModuleContract, WavcTraits);

}  // namespace
}  // namespace zvmodtest
