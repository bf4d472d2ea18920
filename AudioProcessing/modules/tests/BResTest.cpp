// Resampler: the designed filter against a windowed sinc computed here, every
// rate pair of the drivers against a long-double polyphase reference and
// against the ideal band-limited signal, block joins, restarts, saturation,
// the output bound, the floating-point save, and the module contract.
#include <CKAUDPBRes.h>
#include <kp/thread.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "EngineCallRecorder.h"
#include "ModuleContract.h"

namespace zvmodtest {
namespace {

struct RatePair {
    ULONG in;
    ULONG out;
};

// Every pair of the rates the drivers meet, both ways.
const RatePair kDriverPairs[] = {
    {8000, 16000},  {16000, 8000},  {8000, 44100},  {44100, 8000},  {8000, 48000},  {48000, 8000},
    {16000, 44100}, {44100, 16000}, {16000, 48000}, {48000, 16000}, {44100, 48000}, {48000, 44100},
};

std::string PairName(const RatePair& p) {
    return std::to_string(p.in) + "to" + std::to_string(p.out);
}

// Windowed sinc with a Hamming window, normalised to a unit sum, times L.
std::vector<long double> ReferenceTaps(const BResState& s) {
    const long double pi = std::numbers::pi_v<long double>;
    const long double fc =
        static_cast<long double>(s.cutoff) /
        static_cast<long double>(static_cast<float>(static_cast<ULONGLONG>(s.inputRate) * s.L));
    const ULONG n = s.N;
    const long double centre = (n - 1) / 2.0L;
    std::vector<long double> taps(n);
    long double sum = 0;
    for (ULONG i = 0; i < n; ++i) {
        const long double d = std::fabs(i - centre);
        const long double ideal = d == 0 ? 2 * fc : std::sin(2 * pi * fc * d) / (pi * d);
        const long double window =
            (n % 2 == 1 && i == n / 2) ? 1.0L : 0.54L - 0.46L * std::cos(2 * pi * i / (n - 1));
        taps[i] = ideal * window;
        sum += taps[i];
    }
    for (long double& t : taps) t = t / std::fabs(sum) * s.L;
    return taps;
}

// Output j of the resampler belongs to position j * M - L of the signal
// upsampled by L (the first output precedes the first input): the reference
// filters the zero-stuffed input there, in long double.
std::vector<long double> ReferenceResample(const std::vector<SHORT>& x, const BResState& s,
                                           const std::vector<long double>& taps, size_t outputs) {
    std::vector<long double> y(outputs);
    for (size_t j = 0; j < outputs; ++j) {
        const long long m = static_cast<long long>(j) * s.M - s.L;
        long double acc = 0;
        // u[m - t] is non-zero where m - t = i * L for an input sample i.
        const long long first = ((m % s.L) + s.L) % s.L;
        for (long long t = first; t < static_cast<long long>(s.N); t += s.L) {
            const long long i = (m - t) / s.L;
            if (i >= 0 && i < static_cast<long long>(x.size())) acc += taps[t] * x[i];
        }
        y[j] = acc;
    }
    return y;
}

long double TruncateAndSaturate(long double y) {
    return std::clamp(std::trunc(y), -32768.0L, 32767.0L);
}

std::vector<SHORT> Tones(ULONG rate, size_t n,
                         const std::vector<std::pair<double, double>>& tones) {
    std::vector<SHORT> x(n);
    for (size_t i = 0; i < n; ++i) {
        double v = 0;
        for (auto [freq, amplitude] : tones)
            v += amplitude * std::sin(2 * std::numbers::pi * freq * i / rate);
        x[i] = static_cast<SHORT>(std::lround(v));
    }
    return x;
}

class BResTest : public OneModuleTest<CKAUDPBRes> {
protected:
    void SetUp() override {
        OneModuleTest::SetUp();
        ResetWatchedCalls();
    }
    void SetRates(CKAUDPBRes* m, ULONG in, ULONG out, ULONG quality = 1) {
        ASSERT_EQ(m->SetPropertyDword(CKAUDPBRes::kPropInputRate, in), ZV_OK);
        ASSERT_EQ(m->SetPropertyDword(CKAUDPBRes::kPropOutputRate, out), ZV_OK);
        ASSERT_EQ(m->SetPropertyDword(CKAUDPBRes::kPropQuality, quality), ZV_OK);
    }
    static ZvStatus Submit(CKAUDPBRes* m, const SHORT* in, ULONG samples, SHORT* out,
                           ULONG outBytes, ULONGLONG* side = nullptr) {
        return m->SubmitPinData(0, const_cast<SHORT*>(in), samples * 2, out, outBytes, side);
    }
    // Runs x through `m` in blocks of `block` samples (L * block / M output samples each).
    static std::vector<SHORT> RunBlocks(CKAUDPBRes* m, const std::vector<SHORT>& x, size_t block) {
        const BResState& s = *m->EngineState();
        std::vector<SHORT> y;
        for (size_t at = 0; at + block <= x.size(); at += block) {
            const ULONG outBytes =
                static_cast<ULONG>(static_cast<ULONGLONG>(s.outputRate) * block * 2 / s.inputRate);
            std::vector<SHORT> out(outBytes / 2);
            EXPECT_EQ(Submit(m, &x[at], static_cast<ULONG>(block), out.data(), outBytes), ZV_OK);
            y.insert(y.end(), out.begin(), out.end());
        }
        return y;
    }
    // Uniform random samples in [-20000, 20000].
    static std::vector<SHORT> RandomSamples(unsigned seed, size_t n) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> sample(-20000, 20000);
        std::vector<SHORT> x(n);
        for (SHORT& v : x) v = static_cast<SHORT>(sample(rng));
        return x;
    }
    // Sets the module's rates and makes n random samples and the stream they
    // should give, resampled in one block by a fresh module.
    void RandomStream(ULONG in, ULONG out, unsigned seed, size_t n, std::vector<SHORT>* x,
                      std::vector<SHORT>* y) {
        SetRates(m_module, in, out);
        *x = RandomSamples(seed, n);
        WholeStream(in, out, *x, y);
    }
    void WholeStream(ULONG in, ULONG out, const std::vector<SHORT>& x, std::vector<SHORT>* y) {
        ULONG status = 0;
        CKAUDPBRes* whole = new CKAUDPBRes(nullptr, kInstance, &status);
        ASSERT_NE(whole, nullptr);
        SetRates(whole, in, out);
        y->assign(x.size() * out / in, 0);
        EXPECT_EQ(Submit(whole, x.data(), static_cast<ULONG>(x.size()), y->data(),
                         static_cast<ULONG>(y->size() * 2)),
                  ZV_OK);
        delete whole;
    }
    // Designs by running one 10 ms block.
    void Design(ULONG in, ULONG out, ULONG quality = 1) {
        SetRates(m_module, in, out, quality);
        std::vector<SHORT> x(in / 100), y(out / 100);
        ASSERT_EQ(Submit(m_module, x.data(), in / 100, y.data(), out / 100 * 2), ZV_OK);
    }
};

TEST_F(BResTest, DesignOfTheDriversRatePairs) {
    struct Case {
        ULONG in, out, quality, L, M, N, K, cutoff, transition;
    };
    const Case cases[] = {
        {48000, 8000, 1, 1, 6, 159, 159, 3500, 1000},
        {8000, 16000, 1, 2, 1, 54, 27, 3500, 1000},
        {44100, 8000, 1, 80, 441, 11760, 147, 3500, 1000},
        {48000, 8000, 0, 1, 6, 119, 119, 3334, 1333},
        {48000, 8000, 2, 1, 6, 199, 199, 3600, 800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.in << " -> " << c.out << " q" << c.quality);
        Design(c.in, c.out, c.quality);
        const BResState& s = *m_module->EngineState();
        EXPECT_EQ(s.L, c.L);
        EXPECT_EQ(s.M, c.M);
        EXPECT_EQ(s.N, c.N);
        EXPECT_EQ(s.K, c.K);
        EXPECT_EQ(s.cutoff, c.cutoff);
        EXPECT_EQ(s.transition, c.transition);
    }
    // 48 kHz to 8 kHz: the relative cutoff the taps were designed for.
    Design(48000, 8000);
    const BResState& s = *m_module->EngineState();
    EXPECT_NEAR(static_cast<double>(s.cutoff) / (s.inputRate * s.L), 0.0729166, 1e-7);
}

class BResPairTest : public BResTest, public ::testing::WithParamInterface<RatePair> {};

TEST_P(BResPairTest, TapsAreTheHammingWindowedSincTimesL) {
    const RatePair p = GetParam();
    Design(p.in, p.out);
    const BResState& s = *m_module->EngineState();
    ASSERT_GT(s.N, 0u);
    EXPECT_EQ(s.N % s.L, 0u);
    const std::vector<long double> ref = ReferenceTaps(s);
    long double peak = 0, worst = 0;
    for (ULONG i = 0; i < s.N; ++i) {
        peak = std::max(peak, std::fabs(ref[i]));
        worst = std::max(worst, std::fabs(ref[i] - s.taps[i]));
    }
    // Double-precision design of sums of at most 12k terms.
    EXPECT_LT(worst, peak * 1e-10L);
}

// A random signal in 10 ms blocks against the long-double polyphase reference:
// the module's double sums differ from it by far less than one, so its
// truncated samples are the reference's truncated ones, or one away where the
// sum lies within rounding of a whole number.
TEST_P(BResPairTest, EveryRatePairAgainstALongDoubleReference) {
    const RatePair p = GetParam();
    SetRates(m_module, p.in, p.out);
    std::mt19937 rng(p.in + p.out);
    std::uniform_int_distribution<int> sample(-12000, 12000);
    std::vector<SHORT> x(p.in / 2);  // half a second
    for (SHORT& v : x) v = static_cast<SHORT>(sample(rng));
    const std::vector<SHORT> y = RunBlocks(m_module, x, p.in / 100);
    ASSERT_EQ(y.size(), p.out / 2);
    const BResState& s = *m_module->EngineState();
    const std::vector<long double> ref = ReferenceResample(x, s, ReferenceTaps(s), y.size());
    size_t off = 0;
    for (size_t j = 0; j < y.size(); ++j) {
        const long double want = TruncateAndSaturate(ref[j]);
        if (std::fabs(y[j] - want) > 1) {
            ADD_FAILURE() << "sample " << j << ": " << y[j] << ", reference " << ref[j];
            if (++off > 5) break;
        }
    }
}

// Tones inside the pass band come out as the same tones, delayed by the
// filter's half length: within 0.3% of the summed amplitude (a Hamming
// design's pass-band ripple is about 0.2%, its images lie 50 dB down; the
// truncation adds one).
TEST_P(BResPairTest, TonesInThePassBandArriveIntact) {
    const RatePair p = GetParam();
    SetRates(m_module, p.in, p.out);
    const ULONG smaller = std::min(p.in, p.out);
    const std::vector<std::pair<double, double>> tones = {{0.05 * smaller, 9000.0},
                                                          {0.3 * smaller, 7000.0}};
    const std::vector<SHORT> x = Tones(p.in, p.in, tones);  // one second
    const std::vector<SHORT> y = RunBlocks(m_module, x, p.in / 100);
    const BResState& s = *m_module->EngineState();
    // Output j lies at input time (j M - L - (N - 1) / 2) / L.
    const double lead = (s.N / static_cast<double>(s.L) + 2) * s.L / s.M;
    double worst = 0;
    for (size_t j = static_cast<size_t>(lead) + 1; j < y.size(); ++j) {
        const double t = (static_cast<double>(j) * s.M - s.L - (s.N - 1) / 2.0) / s.L;
        double want = 0;
        for (auto [freq, amplitude] : tones)
            want += amplitude * std::sin(2 * std::numbers::pi * freq * t / p.in);
        worst = std::max(worst, std::fabs(y[j] - want));
    }
    EXPECT_LT(worst, 0.003 * 16000.0);
}

INSTANTIATE_TEST_SUITE_P(DriverRates, BResPairTest, ::testing::ValuesIn(kDriverPairs),
                         [](const ::testing::TestParamInfo<RatePair>& i) {
                             return PairName(i.param);
                         });

double RmsOf(const std::vector<SHORT>& y, size_t from) {
    double sum = 0;
    for (size_t i = from; i < y.size(); ++i) sum += static_cast<double>(y[i]) * y[i];
    return std::sqrt(sum / static_cast<double>(y.size() - from));
}

TEST_F(BResTest, At48kTo8kThePassBandStaysAndTheStopBandGoes) {
    SetRates(m_module, 48000, 8000);
    const std::vector<SHORT> pass = RunBlocks(m_module, Tones(48000, 48000, {{1000, 10000}}), 480);
    const double passDb = 20 * std::log10(RmsOf(pass, 400) / (10000 / std::sqrt(2.0)));
    EXPECT_LT(std::fabs(passDb), 0.5);
    const std::vector<SHORT> stop = RunBlocks(m_module, Tones(48000, 48000, {{5000, 10000}}), 480);
    const double stopDb = 20 * std::log10(RmsOf(stop, 400) / (10000 / std::sqrt(2.0)));
    EXPECT_LT(stopDb, -40.0);
}

TEST_F(BResTest, BlocksJoinSeamlessly) {
    SetRates(m_module, 44100, 8000);
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> sample(-20000, 20000);
    std::vector<SHORT> x(44100);
    for (SHORT& v : x) v = static_cast<SHORT>(sample(rng));
    const std::vector<SHORT> blocks = RunBlocks(m_module, x, 441);
    ASSERT_EQ(blocks.size(), 8000u);

    ULONG status = 0;
    CKAUDPBRes* whole = new CKAUDPBRes(nullptr, kInstance, &status);
    ASSERT_NE(whole, nullptr);
    SetRates(whole, 44100, 8000);
    std::vector<SHORT> once(8000);
    EXPECT_EQ(Submit(whole, x.data(), 44100, once.data(), 16000), ZV_OK);
    delete whole;
    EXPECT_EQ(blocks, once);
}

TEST_F(BResTest, EqualRatesCopyWithoutAFilter) {
    SetRates(m_module, 16000, 16000);
    std::vector<SHORT> x(160), y(160, 0x5555);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<SHORT>(i * 409 - 32768);
    ASSERT_EQ(Submit(m_module, x.data(), 160, y.data(), 320), ZV_OK);
    EXPECT_EQ(y, x);
    EXPECT_EQ(WatchedCallsOf(kCallLowpassDesign).calls, 0u);
    EXPECT_EQ(m_module->EngineState()->taps, nullptr);
    // Odd byte counts are copied whole.
    UCHAR odd[5] = {1, 2, 3, 4, 5}, oddOut[6] = {0, 0, 0, 0, 0, 0xEE};
    ASSERT_EQ(m_module->SubmitPinData(0, odd, 5, oddOut, 5, nullptr), ZV_OK);
    EXPECT_EQ(std::memcmp(odd, oddOut, 5), 0);
    EXPECT_EQ(oddOut[5], 0xEE);
}

TEST_F(BResTest, WrongOutputSizeOrPinIsRefusedWithNothingWritten) {
    SetRates(m_module, 48000, 8000);
    std::vector<SHORT> x(480, 1000), y(81, 0x7A7A);
    for (ULONG bytes : {158u, 161u, 162u, 0x7FFFFFFFu}) {
        EXPECT_EQ(Submit(m_module, x.data(), 480, y.data(), bytes), ZV_FAILED) << bytes;
    }
    EXPECT_EQ(Submit(m_module, x.data(), 480, y.data(), 0), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(1, x.data(), 960, y.data(), 160, nullptr), ZV_FAILED);
    EXPECT_EQ(m_module->SubmitPinData(0, nullptr, 960, y.data(), 160, nullptr),
              ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, x.data(), 0, y.data(), 160, nullptr),
              ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, x.data(), 960, nullptr, 160, nullptr),
              ZV_INVALID_PARAMETER);
    for (SHORT v : y) EXPECT_EQ(v, 0x7A7A);
}

TEST_F(BResTest, SideValueZeroRestartsFromSilence) {
    SetRates(m_module, 8000, 16000);
    std::mt19937 rng(8);
    std::uniform_int_distribution<int> sample(-30000, 30000);
    std::vector<SHORT> first(80), second(80);
    for (SHORT& v : first) v = static_cast<SHORT>(sample(rng));
    for (SHORT& v : second) v = static_cast<SHORT>(sample(rng));
    std::vector<SHORT> y(160), restarted(160), fresh(160);
    ULONGLONG running = 1, restart = 0;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Submit(m_module, first.data(), 80, y.data(), 320, &running), ZV_OK);
    const BResState& s = *m_module->EngineState();
    EXPECT_TRUE(std::any_of(s.history, s.history + s.K, [](SHORT v) { return v != 0; }));
    ASSERT_EQ(Submit(m_module, second.data(), 80, restarted.data(), 320, &restart), ZV_OK);
    EXPECT_EQ(WatchedCallsOf(kCallLowpassDesign).calls, 2u);

    ULONG status = 0;
    CKAUDPBRes* other = new CKAUDPBRes(nullptr, kInstance, &status);
    ASSERT_NE(other, nullptr);
    SetRates(other, 8000, 16000);
    ASSERT_EQ(Submit(other, second.data(), 80, fresh.data(), 320), ZV_OK);
    delete other;
    EXPECT_EQ(restarted, fresh);
    // The first output of a stream precedes its first input: silence.
    EXPECT_EQ(fresh[0], 0);
}

TEST_F(BResTest, OnlyARealChangeRedesigns) {
    Design(48000, 8000);
    EXPECT_EQ(WatchedCallsOf(kCallLowpassDesign).calls, 1u);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPBRes::kPropInputRate, 48000), ZV_OK);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPBRes::kPropQuality, 1), ZV_OK);
    EXPECT_EQ(m_module->EngineState()->rebuildNeeded, 0u);
    Design(48000, 8000);
    EXPECT_EQ(WatchedCallsOf(kCallLowpassDesign).calls, 1u);
    // Refused values change nothing: quality 3, rates of 0.
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPBRes::kPropQuality, 3), ZV_FAILED);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPBRes::kPropInputRate, 0), ZV_FAILED);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPBRes::kPropOutputRate, 0), ZV_FAILED);
    EXPECT_EQ(m_module->SetPropertyDword(7, 1), ZV_FAILED);
    EXPECT_EQ(m_module->EngineState()->rebuildNeeded, 0u);
    ULONG value = 0;
    const ULONG expected[] = {2, 0, 48000, 8000, 1};
    for (ULONG id = 0; id < 5; ++id) {
        ASSERT_EQ(m_module->GetPropertyDword(id, &value), ZV_OK);
        EXPECT_EQ(value, expected[id]) << id;
    }
    EXPECT_EQ(m_module->GetPropertyDword(5, &value), ZV_FAILED);
    Design(48000, 16000);
    EXPECT_EQ(WatchedCallsOf(kCallLowpassDesign).calls, 2u);
}

// The filter overshoots a full-scale square wave; the overshoot is clipped,
// never wrapped into a full-scale sample of the other sign.
TEST_F(BResTest, FullScaleSquareWaveSaturatesInsteadOfWrapping) {
    SetRates(m_module, 48000, 8000);
    std::vector<SHORT> x(48000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = (i / 240) % 2 == 0 ? 32767 : -32768;
    const std::vector<SHORT> y = RunBlocks(m_module, x, 480);
    const BResState& s = *m_module->EngineState();
    const std::vector<long double> ref = ReferenceResample(x, s, ReferenceTaps(s), y.size());
    ULONG clippedHigh = 0, clippedLow = 0;
    for (size_t j = 200; j < y.size(); ++j) {
        ASSERT_LE(std::fabs(y[j] - TruncateAndSaturate(ref[j])), 1) << j;
        // Far from the edges every sample has its half-wave's sign.
        const double t = (static_cast<double>(j) * 6 - 1 - 79) / 240.0;
        const double within = t - std::floor(t);
        if (within > 0.2 && within < 0.8) {
            const bool positive = static_cast<long long>(std::floor(t)) % 2 == 0;
            ASSERT_EQ(y[j] > 0, positive) << j;
        }
        if (ref[j] > 32767) clippedHigh += y[j] == 32767;
        if (ref[j] < -32768) clippedLow += y[j] == -32768;
    }
    EXPECT_GT(clippedHigh, 0u);
    EXPECT_GT(clippedLow, 0u);
}

// Blocks of 100 samples at 48 kHz to 8 kHz allow 33 bytes, 16 samples, while
// 16 or 17 samples fall due: a 17th waits for the next block, a further one
// is dropped while one waits; nothing is written past the output and the
// samples that are written keep their place in the stream.
TEST_F(BResTest, OutputNeverPassesItsBuffer) {
    std::vector<SHORT> x, stream;
    RandomStream(48000, 8000, 3, 6000, &x, &stream);

    std::vector<SHORT> written;
    for (size_t at = 0; at < x.size(); at += 100) {
        UCHAR out[64];
        std::memset(out, 0xA5, sizeof(out));
        ASSERT_EQ(m_module->SubmitPinData(0, const_cast<SHORT*>(&x[at]), 200, out, 33, nullptr),
                  ZV_OK);
        for (size_t b = 32; b < sizeof(out); ++b) ASSERT_EQ(out[b], 0xA5) << at << " byte " << b;
        for (size_t k = 0; k < 16; ++k) written.push_back(static_cast<SHORT>(Get16(out + 2 * k)));
    }
    ASSERT_EQ(written.size(), 960u);
    // Every written sample is the stream's, in order; 40 samples were dropped.
    size_t pos = 0, dropped = 0;
    for (SHORT v : written) {
        while (pos < stream.size() && stream[pos] != v) {
            ++pos;
            ++dropped;
        }
        ASSERT_LT(pos, stream.size());
        ++pos;
    }
    EXPECT_EQ(dropped + (stream.size() - pos), 40u);
}

// A sample that falls due beyond a block's room is written first in the next
// block: blocks of 100, 200 and 300 samples at 48 kHz to 16 kHz (room 33, 66
// and 100 while 34, 66 and 100 fall due) give the stream without a gap.
TEST_F(BResTest, ASurplusSampleIsCarriedIntoTheNextBlock) {
    std::vector<SHORT> x, stream;
    RandomStream(48000, 16000, 5, 600, &x, &stream);

    std::vector<SHORT> written;
    size_t at = 0;
    for (size_t block : {100u, 200u, 300u}) {
        // L x input bytes / M: 66, 133 (an odd byte left unwritten) and 200.
        const ULONG outBytes = static_cast<ULONG>(block * 2 / 3);
        std::vector<SHORT> out((outBytes + 1) / 2);
        ASSERT_EQ(Submit(m_module, &x[at], static_cast<ULONG>(block), out.data(), outBytes), ZV_OK);
        written.insert(written.end(), out.begin(), out.begin() + outBytes / 2);
        at += block;
    }
    ASSERT_EQ(written.size(), 199u);
    EXPECT_EQ(written, std::vector<SHORT>(stream.begin(), stream.begin() + 199));
    EXPECT_EQ(m_module->EngineState()->carried, 1u);
    EXPECT_EQ(m_module->EngineState()->carry, stream[199]);
    // A new stream (side value 0) starts without the sample of the old one.
    ULONGLONG side = 0;
    std::vector<SHORT> out(33);
    ASSERT_EQ(Submit(m_module, x.data(), 100, out.data(), 66, &side), ZV_OK);
    EXPECT_EQ(std::vector<SHORT>(out.begin(), out.end()),
              std::vector<SHORT>(stream.begin(), stream.begin() + 33));
}

TEST_F(BResTest, EveryDesignAndBlockRunsUnderAFloatingPointSave) {
    const ULONGLONG saves = KpFloatingPointSaves();
    for (const RatePair& p : kDriverPairs) Design(p.in, p.out);
    const WatchedCallCounts design = WatchedCallsOf(kCallLowpassDesign);
    EXPECT_EQ(design.calls, std::size(kDriverPairs));
    EXPECT_EQ(design.unsaved, 0u);
    EXPECT_EQ(KpFloatingPointSaves() - saves, std::size(kDriverPairs));
    EXPECT_EQ(KpFloatingPointDepth(), 0u);
    // Property calls use no floating point and save nothing.
    ULONG value = 0;
    m_module->SetPropertyDword(CKAUDPBRes::kPropQuality, 2);
    m_module->GetPropertyDword(CKAUDPBRes::kPropQuality, &value);
    EXPECT_EQ(KpFloatingPointSaves() - saves, std::size(kDriverPairs));
}

TEST_F(BResTest, FailedDesignAllocationsLeakNothingAndTheNextBlockRetries) {
    SetRates(m_module, 44100, 8000);
    std::vector<SHORT> x(441, 100), y(80, 0x3C3C);
    // The first allocation is the taps', the last the history's; the design
    // may take memory of its own between them (it then fails, 1).
    bool historyFailed = false;
    ZvStatus status = ZV_NO_MEMORY;
    for (ULONG k = 1; status != ZV_OK; ++k) {
        SCOPED_TRACE(k);
        ASSERT_LT(k, 10u);
        const LONG live = LiveBlocks();
        FailAllocation(k);
        status = Submit(m_module, x.data(), 441, y.data(), 160);
        KpPoolClearFailures();
        if (k == 1) {
            EXPECT_EQ(status, ZV_NO_MEMORY);
        }
        if (status == ZV_OK) break;
        EXPECT_TRUE(status == ZV_NO_MEMORY || status == ZV_FAILED) << status;
        historyFailed = k > 1 && status == ZV_NO_MEMORY;
        for (SHORT v : y) ASSERT_EQ(v, 0x3C3C);
        EXPECT_EQ(m_module->EngineState()->rebuildNeeded, 1u);
        EXPECT_LE(LiveBlocks(), live + 1);  // at most the taps, kept for the retry
    }
    EXPECT_TRUE(historyFailed);
    EXPECT_EQ(m_module->EngineState()->rebuildNeeded, 0u);
}

TEST_F(BResTest, EngineFunctionsWithoutAState) {
    ULONG value = 0;
    EXPECT_EQ(BResCreate(nullptr), ZV_FAILED);
    EXPECT_EQ(BResDestroy(nullptr), kBResNoState);
    EXPECT_EQ(BResGetProperty(nullptr, 2, &value), kBResNoState);
    EXPECT_EQ(BResGetProperty(m_module->EngineState(), 2, nullptr), ZV_FAILED);
    EXPECT_EQ(BResSetProperty(nullptr, 2, 8000), kBResNoState);
    EXPECT_EQ(BResProcess(nullptr, 0, &value, 4, &value, 4, nullptr), kBResNoState);
}

TEST_F(BResTest, ReducedRatios) {
    BResState s{};
    const ULONG cases[][4] = {{48000, 44100, 147, 160},   {44100, 48000, 160, 147},
                              {8000, 44100, 441, 80},     {16000, 8000, 1, 2},
                              {44101, 8000, 8000, 44101}, {7, 7, 1, 1}};
    for (const auto& c : cases) {
        s.inputRate = c[0];
        s.outputRate = c[1];
        BResReduceRatio(&s);
        EXPECT_EQ(s.L, c[2]) << c[0] << " -> " << c[1];
        EXPECT_EQ(s.M, c[3]) << c[0] << " -> " << c[1];
    }
}

TEST_F(BResTest, FailedCreationIsLoggedAndAnswersNotReady) {
    zvtest::RecordProbeSlots();
    FailAllocation(2);  // the engine state
    ULONG status = 0;
    CKAUDPBRes* failed = new CKAUDPBRes(nullptr, kInstance, &status);
    KpPoolClearFailures();
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(status, ZV_NO_MEMORY);
    EXPECT_EQ(failed->EngineState(), nullptr);
    EXPECT_TRUE(LoggedLine("CKAUDPBRes>> Init_BRES Failed Status - 8 \n!!! \n"));
    SHORT x[480] = {}, y[80];
    EXPECT_EQ(Submit(failed, x, 480, y, 160), ZV_NOT_READY);
    delete failed;
}

struct BResTraits {
    using Module = CKAUDPBRes;
    static constexpr ULONG kTag = ZvFourCC("BRes");
    static constexpr PropertySpec kProperties[] = {
        {0, 4, true}, {1, 4, true}, {2, 4, false}, {3, 4, false}, {4, 4, false}};
    static constexpr ULONG kUnknownId = 5;
    static constexpr ULONG kRangedId = CKAUDPBRes::kPropQuality, kGoodValue = 2, kBadValue = 3;
    static constexpr ZvStatus kBadValueStatus = ZV_FAILED;
    static constexpr bool kBufferProperties = false;
    static inline SHORT in[480], out[80];
    static void Configure(Module* m) {
        m->SetPropertyDword(CKAUDPBRes::kPropInputRate, 48000);
        m->SetPropertyDword(CKAUDPBRes::kPropOutputRate, 8000);
    }
    static ZvStatus Submit(Module* m) {
        return m->SubmitPinData(0, in, sizeof(in), out, sizeof(out), nullptr);
    }
    // The object is the first allocation, the engine state the second.
    static ZvStatus FailNextConstruction() {
        KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 2);
        return ZV_NO_MEMORY;
    }
};
INSTANTIATE_TYPED_TEST_SUITE_P(BRes, ModuleContract, BResTraits);

}  // namespace
}  // namespace zvmodtest
