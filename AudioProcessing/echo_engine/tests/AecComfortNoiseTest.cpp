// Comfort noise: the excitation table, the gain's averaging and smoothing,
// the levels, the generator's seed walk and the match to the background.
#include "AecHarness.h"

#include <cmath>

using namespace aec;
using namespace aectest;

namespace {

std::vector<int16_t> Background(uint64_t seed, size_t n, double dbfs, bool pink) {
    return echotest::ToPcm(echotest::Noise(seed, n, dbfs, pink));
}

TEST(AecComfortNoise, TheExcitationTableIsWhiteWithTheStatedSpread) {
    const int16_t first[8] = {9178, -7260, 40, 10189, 4894, -3531, -13779, 14764};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(ComfortNoiseTable[i], first[i]);
    double sum = 0, sum2 = 0, lag1 = 0;
    int16_t lo = 0, hi = 0;
    for (int i = 0; i < kComfortTableLength; ++i) {
        int16_t v = ComfortNoiseTable[i];
        sum += v;
        sum2 += double(v) * v;
        lag1 += double(v) * ComfortNoiseTable[(i + 1) % kComfortTableLength];
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    double mean = sum / kComfortTableLength;
    double sd = std::sqrt(sum2 / kComfortTableLength - mean * mean);
    EXPECT_NEAR(mean, 56, 60);
    EXPECT_NEAR(sd, 8010, 80);
    EXPECT_EQ(lo, -23497);
    EXPECT_EQ(hi, 23319);
    EXPECT_LT(std::fabs(lag1 / sum2), 0.1);  // white: no correlation at lag 1
}

TEST(AecComfortNoise, LevelsScaleTheGain) {
    for (int32_t g : {0, 1, 96, 1000, 32767}) {
        EXPECT_EQ(ComfortNoiseLevelledGain(g, 2), (g >> 2) * 3);
        EXPECT_EQ(ComfortNoiseLevelledGain(g, 1), g >> 2);
        EXPECT_EQ(ComfortNoiseLevelledGain(g, 0), g >> 5);
    }
    // Level 0 is 1/24 of level 2.
    EXPECT_EQ(ComfortNoiseLevelledGain(96 * 32, 2), 24 * ComfortNoiseLevelledGain(96 * 32, 0));
}

TEST(AecComfortNoise, TwentyAnalysesAverageThenTheGainFollowsSlowly) {
    AecComfortNoise cn;
    ComfortNoiseInit(&cn);
    EXPECT_EQ(cn.gain, 5120);
    auto noise = Background(5, 80 * 40, -40, false);
    for (int i = 0; i < 19; ++i) {
        ComfortNoiseAnalyse(&cn, noise.data() + i * 80, 80);
        ASSERT_EQ(cn.gain, 5120) << i;
        ASSERT_EQ(cn.averageCount, i + 2);
    }
    int32_t sumBefore = cn.gainSum;
    ComfortNoiseAnalyse(&cn, noise.data() + 19 * 80, 80);
    EXPECT_EQ(cn.averageCount, 0);
    int32_t lastGain = cn.gainSum - sumBefore;
    EXPECT_GT(lastGain, 0);
    EXPECT_EQ(cn.gain, (int32_t(int16_t(cn.gainSum / 20)) * 192) & ~1023);
    // -40 dBFS white noise: RMS about 328, and the gain estimates it.
    EXPECT_NEAR(cn.gainSum / 20.0, 328.0, 60.0);
    // Afterwards the gain moves 1/64 of the way to 1024 x the levelled gain.
    const int32_t before = cn.gain;
    ComfortNoiseAnalyse(&cn, noise.data() + 20 * 80, 80);
    const int32_t target = 1024 * ComfortNoiseLevelledGain(lastGain, cn.level);
    EXPECT_NEAR(cn.gain, before + (target - before) / 64.0, std::fabs(target - before) / 64.0 + 64);
}

TEST(AecComfortNoise, TheSeedWalksTheTableDeterministically) {
    // Seven pieces of 10 with a multiplication, the eighth without.
    uint32_t seed = 777;
    std::vector<int16_t> expected;
    for (int piece = 0; piece < 8; ++piece) {
        if (piece < 7) seed = (seed * 147u) & 0x7FFFFFFFu;
        for (int i = 0; i < 10; ++i)
            expected.push_back(int16_t((ComfortNoiseTable[(seed + i) & 511] + 16) >> 5));
        seed += 10;
    }
    AecComfortNoise cn;
    ComfortNoiseInit(&cn);
    // A gain equal to the excitation's own RMS leaves it (nearly) as read.
    double rms = std::sqrt(echotest::MeanSquare(expected.data(), 0, expected.size()));
    cn.gain = int32_t(std::lround(rms * 1024));
    int16_t out[kPiece];
    ComfortNoiseGenerate(&cn, out, kPiece);
    EXPECT_EQ(uint32_t(cn.seed), seed);
    for (int i = 0; i < kPiece; ++i)
        ASSERT_NEAR(cn.excitation[i], expected[size_t(i)], 1 + 0.01 * std::abs(expected[size_t(i)]))
            << i;
}

// The synthesis filter as first written: past outputs split into a 16-bit
// high part and a 12-bit fraction, with two sums.  The generator must give
// the same samples and leave the same memories, the clamp included.
void SplitSynthesis(const AecComfortNoise& cn, const int16_t* exc, int n, int16_t* out,
                    int16_t* memoryHigh, int16_t* memoryLow) {
    std::vector<int16_t> high(size_t(kNoiseOrder + n)), low(size_t(kNoiseOrder + n));
    for (int j = 0; j < kNoiseOrder; ++j) {
        high[size_t(kNoiseOrder - 1 - j)] = cn.memoryHigh[j];
        low[size_t(kNoiseOrder - 1 - j)] = cn.memoryLow[j];
    }
    for (int i = 0; i < n; ++i) {
        int64_t sumHigh = 0;
        int32_t sumLow = 0;
        for (int j = 1; j <= kNoiseOrder; ++j) {
            sumHigh += int32_t(cn.lpc[j]) * high[size_t(kNoiseOrder + i - j)];
            sumLow += int32_t(cn.lpc[j]) * low[size_t(kNoiseOrder + i - j)];
        }
        int64_t acc = int64_t(exc[i]) * 4096 - sumHigh - (sumLow >> 12);
        acc = std::min(acc, int64_t(32767) << 12);
        acc = std::max(acc, int64_t(-32768) << 12);
        out[i] = int16_t((acc + 2048) >> 12);
        high[size_t(kNoiseOrder + i)] = int16_t(acc >> 12);
        low[size_t(kNoiseOrder + i)] = int16_t(acc & 0xFFF);
    }
    for (int j = 0; j < kNoiseOrder; ++j) {
        memoryHigh[j] = high[size_t(kNoiseOrder + n - 1 - j)];
        memoryLow[j] = low[size_t(kNoiseOrder + n - 1 - j)];
    }
}

TEST(AecComfortNoise, TheSynthesisFilterKeepsItsSplitArithmetic) {
    echotest::Rng rng(31);
    AecComfortNoise cn;
    ComfortNoiseInit(&cn);
    const std::vector<int16_t> background = Background(4, 40 * kPiece, -40, true);
    int clamped = 0;
    for (int f = 0; f < 400; ++f) {
        if (f < 40) {
            // A model learnt from a background first, then arbitrary models
            // and gains, many of them unstable enough to hit the clamp.
            ComfortNoiseAnalyse(&cn, background.data() + f * kPiece, kPiece);
        } else if (f % 4 == 0) {
            for (int j = 1; j <= kNoiseOrder; ++j)
                cn.lpc[j] = int16_t(f % 8 == 0 ? int16_t(rng.Next()) : int16_t(rng.Next()) >> 3);
            cn.gain = int32_t(rng.Next() % (uint64_t(1) << (4 + f % 24)));
        }
        const AecComfortNoise before = cn;
        int16_t out[kPiece], expected[kPiece], high[kNoiseOrder], low[kNoiseOrder];
        ComfortNoiseGenerate(&cn, out, kPiece);
        SplitSynthesis(before, cn.excitation, kPiece, expected, high, low);
        for (int i = 0; i < kPiece; ++i) {
            ASSERT_EQ(out[i], expected[i]) << f << " " << i;
            clamped += expected[i] == 32767 || expected[i] == -32768;
        }
        for (int j = 0; j < kNoiseOrder; ++j) {
            ASSERT_EQ(cn.memoryHigh[j], high[j]) << f << " " << j;
            ASSERT_EQ(cn.memoryLow[j], low[j]) << f << " " << j;
        }
    }
    EXPECT_GT(clamped, 100);  // the clamp was exercised
}

double GeneratedLevel(int level, const std::vector<int16_t>& background) {
    AecComfortNoise cn;
    ComfortNoiseInit(&cn);
    cn.level = int16_t(level);
    const size_t frames = background.size() / kPiece;
    for (size_t f = 0; f < frames; ++f)
        ComfortNoiseAnalyse(&cn, background.data() + f * kPiece, kPiece);
    std::vector<int16_t> out(kPiece * 100);
    for (size_t f = 0; f < 100; ++f) ComfortNoiseGenerate(&cn, out.data() + f * kPiece, kPiece);
    return echotest::LevelDbfs(out.data(), 0, out.size());
}

TEST(AecComfortNoise, GeneratedNoiseFollowsTheBackgroundLevelByLevel) {
    auto background = Background(6, 8000 * 6, -45, true);
    const double bg = echotest::LevelDbfs(background.data(), 0, background.size());
    double l2 = GeneratedLevel(2, background);
    double l1 = GeneratedLevel(1, background);
    double l0 = GeneratedLevel(0, background);
    // 0.75, 0.25 and 1/32 of the background's RMS.
    EXPECT_NEAR(l2 - bg, 20 * std::log10(0.75), 3.0);
    EXPECT_NEAR(l1 - bg, 20 * std::log10(0.25), 3.0);
    EXPECT_NEAR(l0 - bg, 20 * std::log10(1.0 / 32), 4.0);
    EXPECT_GT(l2, l1);
    EXPECT_GT(l1, l0);
}

double LowOverHighDb(const std::vector<int16_t>& x) {
    // Energy below and above a quarter of the sample rate, by first differences
    // and sums (crude but enough for a tilt).
    double low = 0, high = 0;
    for (size_t i = 1; i < x.size(); ++i) {
        double s = double(x[i]) + x[i - 1], d = double(x[i]) - x[i - 1];
        low += s * s;
        high += d * d;
    }
    return 10 * std::log10(low / high);
}

TEST(AecComfortNoise, TheSpectrumFollowsTheBackgroundsTilt) {
    std::vector<double> tilt;
    for (bool pink : {false, true}) {
        auto background = Background(7, 8000 * 6, -45, pink);
        AecComfortNoise cn;
        ComfortNoiseInit(&cn);
        for (size_t f = 0; f < background.size() / kPiece; ++f)
            ComfortNoiseAnalyse(&cn, background.data() + f * kPiece, kPiece);
        std::vector<int16_t> out(kPiece * 200);
        for (size_t f = 0; f < 200; ++f) ComfortNoiseGenerate(&cn, out.data() + f * kPiece, kPiece);
        double generated = LowOverHighDb(out), source = LowOverHighDb(background);
        EXPECT_NEAR(generated, source, 3.0) << (pink ? "pink" : "white");
        tilt.push_back(generated);
    }
    EXPECT_GT(tilt[1] - tilt[0], 3.0);  // pink has clearly more low end
}

TEST(AecComfortNoise, OnlyQuietSubFramesTeachTheModel) {
    Engine e;
    AecCanceller& c = e.canceller();
    auto noise = Background(8, kPiece, -45, false);
    move16(c.processed, noise.data(), kPiece);
    for (int sb = 0; sb < kSubBlocks; ++sb) c.quiet[sb] = 1;
    c.quiet[2] = 0;
    ComfortNoiseLearn(&c);
    EXPECT_EQ(c.comfortNoise.averageCount, 1);
    c.quiet[2] = 1;
    ComfortNoiseLearn(&c);
    EXPECT_EQ(c.comfortNoise.averageCount, 2);
}

TEST(AecComfortNoise, AtSixteenKilohertzQuietSubFramesPairUp) {
    Engine e;
    e.Set(AEC_PROP_SAMPLE_RATE, 16000);
    AecCanceller& c = e.canceller();
    auto noise = Background(9, kPiece, -45, false);
    move16(c.processed, noise.data(), kPiece);
    for (int sb = 0; sb < kSubBlocks; ++sb) c.quiet[sb] = 1;
    ComfortNoiseLearn(&c);  // first half waits
    EXPECT_EQ(c.halfFrame, 1);
    EXPECT_EQ(c.comfortNoise.averageCount, 1);
    c.quiet[4] = 0;
    ComfortNoiseLearn(&c);  // not quiet: the waiting half is dropped
    EXPECT_EQ(c.halfFrame, 0);
    EXPECT_EQ(c.comfortNoise.averageCount, 1);
    c.quiet[4] = 1;
    ComfortNoiseLearn(&c);
    ComfortNoiseLearn(&c);  // a pair: one analysis of 160 samples
    EXPECT_EQ(c.halfFrame, 0);
    EXPECT_EQ(c.comfortNoise.averageCount, 2);
}

}  // namespace
