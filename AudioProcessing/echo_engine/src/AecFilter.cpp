// Adaptive filter: a time-domain FIR model of the echo path, adapted per
// sample by a normalised LMS rule on a whitened copy of the far end.
//
// Histories are newest first.  x2 (history2) is the far end as received and
// feeds the echo estimate; x1 (history1) is x2 shifted right by the
// whitening shift and passed through a 5-tap prediction-error filter learnt
// from the far end's autocorrelation, and feeds the tap update.  The step is
// normalised by the cross energy sum x1*x2 over the filter window, so the
// whitening's scale cancels out of the update.
#include "AecInternal.h"

namespace aec {

namespace {

constexpr int32_t kWhiteningFloor = 300000;  // keeps the whitening mild on quiet far end
// White-noise load on r0 (r0 / 2^3): caps the prediction gain at about 9 dB.
// The taps move along the whitened far end x1 while the error measures them
// along x2, so the mean update is the true correction filtered by the
// whitening filter A(z): in every band where Re A(e^jw) < 0 it points away
// from the solution, at any step size.  A light load (r0 / 2^6) lets A grow
// sharp enough on recorded speech that Re A < 0 somewhere in about a third
// of the sub-frames at 8 kHz and half of them at 16 kHz; the filter then
// diverges (linear echo reduction of a few dB, with repeated
// re-initialisations).  With r0 / 2^3 that happens in 2 % of the sub-frames
// at 8 kHz and none at 16 kHz, and the filter converges (about 28 dB).
constexpr int kWhiteningLoad = 3;

}  // namespace

// out[i] for i in [0, n), from x[i .. i + 5] (newest first):
//   x1[0] = (x2[0] >> s) + sum c_j (x2[j] >> s), Q13 coefficients.
// Five coefficients near +-4 against full-scale samples pass 32 bits, so the
// sum is 64-bit.  The coefficients are read once into locals: the stores
// into the history could otherwise alias them, and each would be read again
// for every sample.  Where the coefficients are small enough for 32-bit sums,
// the vector kernel takes the whole blocks of eight.
void WhitenRun(const int16_t* whitening, const int16_t* x, int shift, int16_t* out, int n) {
    const int32_t w1 = whitening[1], w2 = whitening[2], w3 = whitening[3], w4 = whitening[4],
                  w5 = whitening[5];
    static_assert(kWhiteningOrder == 5, "one local per whitening coefficient");
    for (int i = WhitenBlocks(whitening, x, shift, out, n); i < n; ++i) {
        const int16_t* v = x + i;
        const int64_t acc = 4096 + int64_t(w1 * (v[1] >> shift)) + w2 * (v[2] >> shift) +
                            w3 * (v[3] >> shift) + w4 * (v[4] >> shift) + w5 * (v[5] >> shift);
        out[i] = add16(static_cast<int16_t>(v[0] >> shift), Saturate16(acc >> 13));
    }
}

int16_t WhitenSample(const int16_t* whitening, const int16_t* x, int shift) {
    int16_t out;
    WhitenRun(whitening, x, shift, &out, 1);
    return out;
}

namespace {

// Makes room for one sub-frame at the front of a newest-first history that
// lives in [base, base + length) and of which `reach` samples are read.
void StepBack(int16_t** history, int16_t* base, int length, int reach) {
    if (reach > length) reach = length;
    if (*history - base >= kPiece) {
        *history -= kPiece;
        return;
    }
    int16_t* moved = base + (length - reach);
    move16(moved + kPiece, *history, reach - kPiece);
    *history = moved;
}

int WindowSpan(const AecCanceller* c) {
    // Samples of history the filter can reach: bulk delay, one sub-frame,
    // the taps.
    return c->bulkDelay + kPiece + c->fullLength;
}

// Autocorrelation of x2 over [start, start + n) for lags 0..5, exact.
void Correlate(const int16_t* x, int start, int n, int64_t* r, int sign) {
    for (int k = 0; k <= kWhiteningOrder; ++k) {
        int64_t sum = 0;
        for (int i = start; i < start + n; ++i) sum += int32_t(x[i]) * x[i + k];
        r[k] += sign * sum;
    }
}

// Whitening coefficients from the current autocorrelation.
void DeriveWhitening(AecCanceller* c) {
    int64_t r0 = c->farCorrelation[0];
    int down = 0;
    while ((r0 >> down) > 0x3FFFFFFF) ++down;
    int32_t r[kWhiteningOrder + 1];
    for (int k = 0; k <= kWhiteningOrder; ++k) r[k] = Saturate32(c->farCorrelation[k] >> down);
    int32_t raise = (kWhiteningFloor >> (down > 31 ? 31 : down)) +
                    (r[0] >> kWhiteningLoad > 0 ? r[0] >> kWhiteningLoad : 0);
    r[0] = add32(r[0], raise);
    if (r[0] <= 0) r[0] = 1;
    int16_t k[kWhiteningOrder + 1];
    int32_t gain = reflection(r, kWhiteningOrder, k);
    int16_t a[kWhiteningOrder + 1];
    stepUp(k, kWhiteningOrder, 13, a);
    for (int j = 1; j <= kWhiteningOrder; ++j) c->whitening[j] = a[j];
    // Coarse half-log2 of the prediction gain: the whitened signal's peak can
    // exceed the input's by about the square root of that gain, so the input
    // is shifted down by it to keep x1 in 16 bits.
    int halfLog = (BitCount(uint32_t(gain)) - 1) / 2;
    if (halfLog < 0) halfLog = 0;
    if (halfLog > 7) halfLog = 7;
    c->whiteningShift = halfLog;
}

}  // namespace

int FilterWindowStart(const AecCanceller* c, int subBlockStart) {
    return c->bulkDelay + kPiece - kSubBlock - subBlockStart;
}

// The whitening learns from the far end over the filter window, [B, B + N)
// of the estimate history: the samples the taps currently weigh, which are
// the samples at the echo position.  (Learning from the newest samples
// instead would whiten with statistics up to B samples younger than those
// the taps adapt on.)
void FilterRecomputeWhitening(AecCanceller* c) {
    for (int k = 0; k <= kWhiteningOrder; ++k) c->farCorrelation[k] = 0;
    Correlate(c->history2, c->bulkDelay, c->activeLength, c->farCorrelation, 1);
    DeriveWhitening(c);
    const int span = WindowSpan(c);
    WhitenRun(c->whitening, c->history2, c->whiteningShift, c->history1,
              span < c->history1Length ? span : c->history1Length);
    c->whiteningChanged = 0;
    c->windowChanged = 1;
}

void FilterPushFarEnd(AecCanceller* c, const int16_t* far) {
    // The filter reads no further back than the largest bulk delay, one
    // sub-frame, the taps and the whitening's memory.  The histories step
    // back by one sub-frame inside their allocations; at the front, that
    // reach of samples moves back to the end (what lies beyond it is never
    // read).
    const int reach = kMaxBulkDelay + kPiece + c->fullLength + kWhiteningOrder;
    StepBack(&c->history2, c->history2Base, c->history2Length, reach);
    copyReversed(c->history2 + kPiece - 1, far, kPiece);
    StepBack(&c->history1, c->history1Base, c->history1Length, reach);
    if (c->whiteningChanged) {
        FilterRecomputeWhitening(c);
        return;
    }
    // The correlation window [B, B + N) moved by 80: add the entering
    // products, drop the leaving ones.
    const int n = c->activeLength;
    Correlate(c->history2, c->bulkDelay, kPiece, c->farCorrelation, 1);
    Correlate(c->history2, c->bulkDelay + n, kPiece, c->farCorrelation, -1);
    if (c->farCorrelation[0] < 0) c->farCorrelation[0] = 0;
    DeriveWhitening(c);
    WhitenRun(c->whitening, c->history2, c->whiteningShift, c->history1, kPiece);
}

void FilterRecomputeWindow(AecCanceller* c) {
    const int start = FilterWindowStart(c, c->subBlockStart);
    int64_t far = 0, cross = 0;
    for (int i = start; i < start + c->activeLength; ++i) {
        far += int32_t(c->history2[i]) * c->history2[i];
        cross += int32_t(c->history1[i]) * c->history2[i];
    }
    c->windowFar = far;
    c->windowCross = cross;
    c->windowChanged = 0;
}

void FilterUpdateWindow(AecCanceller* c) {
    // The window moved 16 samples towards the newest since the last sub-block.
    const int start = FilterWindowStart(c, c->subBlockStart);
    const int leave = start + c->activeLength;
    int64_t far = 0, cross = 0;
    for (int i = 0; i < kSubBlock; ++i) {
        far += int32_t(c->history2[start + i]) * c->history2[start + i];
        cross += int32_t(c->history1[start + i]) * c->history2[start + i];
        far -= int32_t(c->history2[leave + i]) * c->history2[leave + i];
        cross -= int32_t(c->history1[leave + i]) * c->history2[leave + i];
    }
    c->windowFar += far;
    c->windowCross += cross;
    if (c->windowFar < 0) c->windowFar = 0;
}

void FilterStepSize(const AecCanceller* c, int16_t* mu, int* exponent) {
    // Denominator: cross energy plus regulariser, summed exactly and then
    // brought to a 16-bit mantissa dm with T = dm * 2^(te + 16).  (Scaling
    // the regulariser to the energy's own exponent instead overflows when
    // the energy is small.)  The cross energy keeps its sign: where x1 and x2
    // point apart over the window, the step that projects the error away
    // along x1 is negative.
    const int64_t total = c->windowCross + int64_t(c->regulariser);
    const int64_t magnitude = total < 0 ? -total : total;
    Bfp den = ToBfp(magnitude > 0 ? magnitude : 1);
    int16_t denMantissa = static_cast<int16_t>(den.mantissa >> 16);
    // Quotient numerator (Q30) / dm, normalised to a 16-bit mantissa.
    int32_t quotient = div32by16(c->stepNumerator, denMantissa);
    int n2 = Norm32NonZero(quotient);
    int16_t m = static_cast<int16_t>(ShiftRight32(quotient, 16 - n2));
    *mu = total < 0 ? static_cast<int16_t>(-m) : m;
    // Step = numerator / 2^30 / T = mu * 2^(exponent - 46).
    *exponent = 16 - n2 - den.shift;
}

namespace {

// The rounded 16-bit update factor r = g / 2^15 of an error, from the step
// mantissa mu and exponent s: g = err * mu * 2^s, saturating where a left
// shift does not fit.
int16_t UpdateFactor(int16_t err, int16_t mu, int s) {
    int32_t product = int32_t(err) * mu;
    int32_t g;
    if (s >= 0) {
        // A left shift that does not fit saturates (on the product's sign).
        if (product == 0)
            g = 0;
        else if (s > 31 || norm32(product) < s)
            g = product > 0 ? 0x7FFF0000 : static_cast<int32_t>(0x80010000u);
        else
            g = WrapShl32(product, s);
    } else {
        g = ShiftRight32(product, -s);
    }
    int64_t magnitude = g < 0 ? -int64_t(g) : int64_t(g);
    if (magnitude >= 0x3FFF4000 && g > 0) return 32767;
    if (magnitude >= 0x3FFF4000) return -32768;
    return static_cast<int16_t>((g + 16384) >> 15);
}

// The Q15 echo estimate from its 32-bit sum, clamped to +-0x3FFFFFFF first.
int16_t EstimateOf(int32_t sum) {
    if (sum < -0x3FFFFFFF) return -32768;
    if (sum > 0x3FFFFFFF) return 32767;
    return static_cast<int16_t>(sum >> 15);
}

// The tap energies from the sum of all active taps' squares (Q30): the
// first and last 32 taps measured here, all three in Q21.  True.
bool SetTapEnergies(AecCanceller* c, int64_t total) {
    const int n = c->activeLength;
    const int64_t first = FilterSumSquares(c->taps, 32);
    const int64_t last = FilterSumSquares(c->taps + n - 32, 32);
    c->tapEnergyFirst = Saturate32(first >> 9);
    c->tapEnergyLast = Saturate32(last >> 9);
    c->tapEnergyTotal = Saturate32(total >> 9);
    return true;
}

}  // namespace

bool FilterPass(AecCanceller* c, const int16_t* near, int start) {
    int16_t mu = 0;
    int s = 0;
    if (c->adaptFlag) FilterStepSize(c, &mu, &s);
    const int n = c->activeLength;
    int p = c->bulkDelay - start + kPiece;
    // Echo estimate: Q15 taps on Q0 far end, wrapping 32-bit sum.  Each
    // sample's update and the next sample's estimate share one pass over the
    // taps.
    int32_t sum = 0;
    if (!c->adaptFlag) {
        // The taps stay as they are: all sixteen estimates in one go, the
        // tap energies measured on the way.
        int32_t sums[kSubBlock];
        const int64_t squares = FilterDots(c->taps, c->history2 + p - 1, n, kSubBlock, sums);
        for (int j = 0; j < kSubBlock; ++j) {
            const int idx = start + j;
            const int16_t y = EstimateOf(sums[j]);
            c->estimates[idx] = y;
            c->errors[idx] = Saturate16(int32_t(near[idx]) - y);
        }
        return SetTapEnergies(c, squares);
    }
    sum = FilterDot(c->taps, c->history2 + p - 1, n);
    for (int j = 0; j < kSubBlock; ++j) {
        --p;
        const int idx = start + j;
        const int16_t y = EstimateOf(sum);
        int16_t err = Saturate16(int32_t(near[idx]) - y);
        c->estimates[idx] = y;
        c->errors[idx] = err;
        const bool last = j == kSubBlock - 1;
        // taps += x1 * r / 2^16; an error or factor of 0 leaves them as they are.
        const int16_t r = c->adaptFlag && err != 0 ? UpdateFactor(err, mu, s) : 0;
        if (r != 0 && !last)
            sum = FilterUpdateDot(r, n, c->history1 + p, c->taps, c->history2 + p - 1);
        else if (r != 0)
            return SetTapEnergies(c, FilterUpdateSquares(r, n, c->history1 + p, c->taps));
        else if (!last)
            sum = FilterDot(c->taps, c->history2 + p - 1, n);
    }
    return false;
}

void FilterTapEnergies(AecCanceller* c) {
    SetTapEnergies(c, FilterSumSquares(c->taps, c->activeLength));
}

void FilterRestore(AecCanceller* c) {
    fill16(c->taps, 0, c->fullLength);
    move16(c->taps, c->backupTaps, c->savedLength);
    c->activeLength = c->fullLength;
    c->targetLength = c->fullLength;
    c->savedLength = c->fullLength;
    c->regulariser = int32_t(c->activeLength) * kRegulariserPerTap;
    FilterTapEnergies(c);
    c->divergenceCounter = 0;
    c->adaptCount = 0;
    c->stepNumerator = 0x40000000;  // 1.0 in Q30
    c->classCounter[0] = c->classCounter[1] = c->classCounter[2] = 0;
    c->crossfadeCounter = 32;
    c->windowChanged = 1;
    c->whiteningChanged = 1;
}

}  // namespace aec
