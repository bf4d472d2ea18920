// Comfort noise: an order-8 linear-prediction model and a gain learnt from
// quiet near-end sub-frames, and a generator that passes a table-driven
// white excitation through the model's synthesis filter.
#include "AecInternal.h"

namespace aec {

// White excitation source, read circularly (mean about 56, standard
// deviation about 8010, extremes -23497 and 23319).
const int16_t ComfortNoiseTable[kComfortTableLength] = {
    9178,   -7260,  40,     10189,  4894,   -3531,  -13779, 14764,  -12466, -6827,  -4185,  7450,
    21242,  -16436, 2480,   -9789,  -3446,  12170,  3437,   -3955,  269,    -6462,  4015,   -1357,
    -7363,  -5863,  -8721,  -4514,  -8213,  -4817,  -2936,  -10913, 15552,  -16491, 6048,   9223,
    7097,   -10814, 4000,   -1435,  7547,   303,    -5526,  -2842,  -7395,  -11095, -218,   3384,
    17413,  -8551,  5439,   13621,  -4061,  -5473,  10393,  -2035,  -6911,  5567,   20220,  -1648,
    1459,   -7088,  8384,   -10617, -2931,  7052,   5137,   4523,   9098,   -9540,  295,    4690,
    8829,   12221,  9168,   -8280,  -535,   8855,   14383,  -15485, 5227,   -14114, 22320,  1987,
    -297,   2678,   -14225, -16250, -1668,  332,    -3649,  2116,   2866,   13964,  -3761,  8626,
    9448,   4902,   5463,   -10002, 8841,   -144,   13302,  -3012,  -3004,  8572,   -2096,  5380,
    -1793,  4761,   -1295,  13441,  -13175, -6558,  1786,   5070,   -5133,  -3535,  -926,   110,
    6059,   -156,   9588,   -8374,  12675,  -5060,  -4528,  286,    -13115, 8880,   1112,   -11250,
    3847,   -5961,  9037,   -10111, 2939,   -20175, -1091,  -4136,  6407,   -8432,  3396,   3737,
    -7793,  1493,   7336,   1289,   -6640,  13189,  -2150,  8709,   -2070,  10887,  7321,   -902,
    14022,  -14336, -9463,  16224,  -3803,  -15756, 1248,   -4739,  4025,   -5631,  -263,   4853,
    7819,   11408,  -4503,  -1029,  -17366, -392,   -5534,  -5933,  -5457,  3629,   9191,   10074,
    2154,   5608,   -1860,  -15606, -8738,  10187,  5601,   8391,   9981,   2902,   -1877,  -7081,
    575,    -11617, 12163,  22196,  1413,   -6080,  1300,   7303,   10338,  -11243, -7143,  16388,
    -474,   -16411, 3016,   1512,   2678,   843,    7385,   3743,   3082,   -6028,  2362,   -10796,
    2673,   -5145,  4678,   1057,   -6261,  -10275, 10735,  11699,  23319,  -731,   1903,   -15515,
    -2129,  12555,  1919,   -6383,  16825,  -5401,  -3675,  1699,   -18760, 4411,   -9630,  -5770,
    1340,   -4231,  7305,   -5668,  -8077,  -4142,  -7429,  14761,  -1431,  -16412, -3791,  -7121,
    -10337, 3973,   -4713,  -355,   -2031,  -689,   345,    3746,   -1249,  -8232,  -4015,  -1502,
    1910,   -1415,  14953,  18688,  -9074,  5113,   -12945, 10448,  -3214,  -8163,  6140,   7349,
    11166,  6296,   -8130,  2013,   -13314, 9497,   3184,   612,    5191,   2911,   -23497, -13376,
    10826,  -5141,  1547,   11822,  1575,   5195,   6089,   -5056,  11183,  5393,   10910,  2137,
    -10987, 5373,   -2402,  2888,   -1736,  242,    -5343,  4021,   4510,   -6997,  -8605,  -2451,
    7163,   10574,  -16538, -8569,  1672,   -7470,  -2533,  10531,  -11644, 2711,   8460,   -13779,
    -913,   -8978,  -2446,  -11616, -12522, 8080,   -6292,  -687,   -2703,  -8330,  5292,   -11091,
    12116,  -1043,  -3262,  -150,   6016,   2663,   7176,   622,    -13499, 13998,  9821,   4224,
    -227,   -11270, -1643,  -12593, -9654,  -3871,  -10569, 1076,   2253,   -9245,  2588,   -9893,
    5218,   1817,   -4055,  10709,  -8080,  12816,  -5962,  -6884,  7522,   -16772, 225,    3428,
    5120,   7648,   -4289,  -5399,  -1947,  5727,   -1134,  -568,   13432,  -5550,  5291,   -1063,
    7575,   1225,   -23497, 6372,   1299,   -73,    6133,   2604,   3307,   -3551,  2233,   5220,
    7684,   1387,   8130,   -1851,  -2665,  5587,   -8198,  3411,   -4522,  -11942, -4418,  -1079,
    8738,   5622,   934,    -2859,  -8684,  2798,   -1404,  -1021,  -13076, -474,   -3947,  701,
    -1445,  6783,   9202,   15602,  -7892,  8559,   3447,   2434,   -6837,  8517,   3016,   9340,
    527,    2218,   9706,   -4240,  -1279,  -6348,  -1408,  1400,   7281,   8399,   3902,   -3670,
    -3759,  -5858,  16868,  12442,  -3850,  -7454,  -12851, -8778,  -3099,  1260,   -8266,  -97,
    2808,   7895,   7157,   -851,   815,    -4910,  4048,   1386,   4739,   -1303,  -7328,  -10241,
    -1716,  5455,   5633,   -6513,  4068,   -7533,  182,    7047,   -6037,  4772,   4269,   17015,
    2514,   -1535,  1050,   4699,   9172,   2214,   -12243, -11199, 950,    -1928,  11956,  -5293,
    648,    1857,   -256,   -10930, -5262,  -3244,  4866,   -13485, 3137,   23,     -9768,  -14975,
    2294,   -1715,  9469,   -4971,  5290,   1133,   7859,   1559,
};

void ComfortNoiseInit(AecComfortNoise* cn) {
    memset(cn, 0, sizeof(*cn));
    cn->level = 2;
    cn->seed = 777;
    cn->averageLength = 20;
    cn->averageCount = 1;
    cn->gain = 5120;  // sqrt32(26) = 5 in Q10
    cn->gainSum = 0;
    cn->lpc[0] = 4096;
    cn->coefficientSmoothing = 31;
    cn->gainSmoothing = 63;
}

int32_t ComfortNoiseLevelledGain(int32_t g, int level) {
    if (level >= 2) return (g >> 2) * 3;  // 0.75 g
    if (level == 1) return g >> 2;        // 0.25 g
    return g >> 5;                        // g / 32
}

void ComfortNoiseAnalyse(AecComfortNoise* cn, const int16_t* x, int n) {
    int32_t r[kNoiseOrder + 1];
    int s = 0;
    autocorr(x, n, kNoiseOrder, r, &s);
    if (r[0] == 0) r[0] = 1;
    int16_t k[kNoiseOrder + 1];
    int32_t predictionGain = reflection(r, kNoiseOrder, k);

    // k = (31 k + k_new) / 32, then the Q12 synthesis coefficients.
    const int32_t keep = cn->coefficientSmoothing;
    for (int i = 1; i <= kNoiseOrder; ++i) {
        int32_t smoothed =
            add32((keep * cn->reflectionSmoothed[i]) >> 5, ((32 - keep) * k[i]) >> 5);
        cn->reflectionSmoothed[i] = Saturate16(smoothed);
    }
    stepUp(cn->reflectionSmoothed, kNoiseOrder, 12, cn->lpc);

    // Excitation power r0 / G / n with the divisor exponent -s (value e * 2^s).
    int16_t g16 = static_cast<int16_t>(predictionGain > 32767 ? 32767 : predictionGain);
    int32_t e = div32by16(div32by16(r[0], g16), static_cast<int16_t>(n));
    int exponent = -s;
    if (exponent & 1) {
        e = add32(e, e);
        exponent += 1;
    }
    int x2 = exponent / 2;
    int32_t g = add32(sqrt32(e), int32_t(1) << (x2 - 1 > 0 ? x2 - 1 : 0));
    if (x2 >= 0) {
        g >>= x2;
    } else if (norm32(g) >= -x2) {
        g = WrapShl32(g, -x2);
    } else {
        g = 32767;
    }
    const int32_t levelled = ComfortNoiseLevelledGain(g, cn->level);

    if (cn->averageCount != 0) {
        // The first analyses only accumulate; then the gain jumps to their average.
        cn->averageCount += 1;
        cn->gainSum = add32(cn->gainSum, g);
        if (cn->averageCount > cn->averageLength) {
            int16_t average = Saturate16(cn->gainSum / cn->averageLength);
            cn->gain = (int32_t(average) * 192) & ~1023;
            cn->averageCount = 0;
        }
    } else {
        // gain = 63/64 gain + 16 levelled: the Q10 gain follows the levelled one.
        const int64_t keepGain = cn->gainSmoothing;
        int64_t next = ((keepGain * cn->gain) >> 6) + ((64 - keepGain) * int64_t(levelled) << 4);
        cn->gain = Saturate32(next);
    }
}

void ComfortNoiseGenerate(AecComfortNoise* cn, int16_t* out, int n) {
    int16_t* exc = cn->excitation;
    int pos = 0;
    while (pos < n) {
        int piece = n - pos;
        if (piece > 10) {
            piece = 10;
            cn->seed = static_cast<int32_t>((static_cast<uint32_t>(cn->seed) * 147u) & 0x7FFFFFFFu);
        }
        for (int i = 0; i < piece; ++i)
            exc[pos + i] = ComfortNoiseTable[(cn->seed + i) & (kComfortTableLength - 1)];
        cn->seed =
            static_cast<int32_t>((static_cast<uint32_t>(cn->seed) + uint32_t(piece)) & 0x7FFFFFFFu);
        pos += piece;
    }
    for (int i = 0; i < n; ++i) exc[i] = static_cast<int16_t>((int32_t(exc[i]) + 16) >> 5);

    // Scale the excitation to an RMS of the gain.
    int shift = 0;
    int32_t energy = energyScaled(exc, n, &shift) / n;
    if (shift & 1) {
        energy >>= 1;
        shift += 1;
    }
    int32_t rms = sqrt32(energy) << (shift / 2);
    if (rms > 0) {
        int32_t scale = div32by16(Saturate32(int64_t(cn->gain) * 32), Saturate16(rms));
        int t = 16 - Norm32NonZero(scale);
        if (t < 0) t = 0;
        int32_t mantissa = scale >> t;
        for (int i = 0; i < n; ++i) exc[i] = Saturate16((int32_t(exc[i]) * mantissa) >> (15 - t));
    }

    // All-pole synthesis 1/A(z) in Q12.  Each past output is held whole, as
    // the Q12 accumulator it came from (high * 4096 + its 12-bit fraction):
    // sum a_j high_j + (sum a_j low_j >> 12) is the floor of
    // sum a_j y_j / 4096, since the high sum is a whole number.  The past
    // outputs run in one line, oldest first, so that no memory moves per
    // sample; the newest is carried in a register and enters last, so that
    // the older terms need not wait for it.  The clamp is a branch the
    // predictor gets right almost always, kept off the recursion's path.
    int64_t y[kNoiseOrder + 2 * kPiece];
    for (int j = 0; j < kNoiseOrder; ++j)
        y[kNoiseOrder - 1 - j] = int64_t(cn->memoryHigh[j]) * 4096 + cn->memoryLow[j];
    int64_t a[kNoiseOrder + 1];
    for (int j = 1; j <= kNoiseOrder; ++j) a[j] = cn->lpc[j];
    const int64_t a1 = a[1];
    constexpr int64_t kHighest = int64_t(32767) << 12, kLowest = int64_t(-32768) << 12;
    int64_t newest = y[kNoiseOrder - 1];
    for (int i = 0; i < n; ++i) {
        const int64_t* past = y + kNoiseOrder + i;  // past[-1] is the newest past output
        int64_t older = 0;
#pragma GCC unroll 8
        for (int j = kNoiseOrder; j >= 2; --j) older += a[j] * past[-j];
        int64_t acc = int64_t(exc[i]) * 4096 - ((older + a1 * newest) >> 12);
        if (__builtin_expect(acc > kHighest || acc < kLowest, 0))
            acc = acc > kHighest ? kHighest : kLowest;
        out[i] = Saturate16((acc + 2048) >> 12);
        newest = acc;
        y[kNoiseOrder + i] = acc;
    }
    for (int j = 0; j < kNoiseOrder; ++j) {
        const int64_t past = y[kNoiseOrder + n - 1 - j];
        cn->memoryHigh[j] = static_cast<int16_t>(past >> 12);
        cn->memoryLow[j] = static_cast<int16_t>(past & 0xFFF);
    }
}

}  // namespace aec
