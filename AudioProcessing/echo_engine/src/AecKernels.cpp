// The adaptive filter's inner loops: the tap energies, the echo estimate (a wrapping 32-bit
// dot product of 16-bit taps and samples) and the tap update.  On x86-64,
// where SSE2 is always present, they run eight taps at a time; elsewhere the
// plain loops of AecFixedPoint.h serve.  Both give the same bits: the dot
// product's pairwise sums (pmaddwd) and its partial sums wrap modulo 2^32
// like the plain sum, and the update's rounded product is formed exactly
// from the high and low halves of the 32-bit product:
//   (x * r + 0x8000) >> 16 = hi16(x * r) + (lo16(x * r) >> 15, unsigned).
// Where 2r fits 16 bits (|r| <= 16384, the usual case once the filter has
// converged) one multiply serves: with q = hi16(x * 2r) = floor(x * r / 2^15),
//   (x * r + 0x8000) >> 16 = floor((q + 1) / 2) = (q + 1) >> 1,
// and q + 1 stays within +-16385.
#include "AecInternal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace aec {

#if defined(__SSE2__)

namespace {

int32_t HorizontalSum(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(v);
}

// Eight rounded updates (x * r + 0x8000) >> 16 added to eight taps,
// wrapping: from the high and low halves of x * r, for any r.
struct UpdateAnyFactor {
    __m128i r;
    explicit UpdateAnyFactor(int16_t factor) : r(_mm_set1_epi16(factor)) {}
    __m128i operator()(__m128i taps, __m128i x) const {
        const __m128i hi = _mm_mulhi_epi16(x, r);
        const __m128i carry = _mm_srli_epi16(_mm_mullo_epi16(x, r), 15);
        return _mm_add_epi16(taps, _mm_add_epi16(hi, carry));
    }
};

// The same updates from the high half of x * 2r alone; only for
// -16384 <= r <= 16383.
struct UpdateHalfFactor {
    __m128i r2, one;
    explicit UpdateHalfFactor(int16_t factor)
        : r2(_mm_set1_epi16(static_cast<int16_t>(2 * factor))), one(_mm_set1_epi16(1)) {}
    __m128i operator()(__m128i taps, __m128i x) const {
        const __m128i q = _mm_mulhi_epi16(x, r2);
        return _mm_add_epi16(taps, _mm_srai_epi16(_mm_add_epi16(q, one), 1));
    }
};

bool HalfFactorFits(int16_t r) {
    return r >= -16384 && r <= 16383;
}

template <class Update>
int64_t UpdateSquares(const Update& update, int16_t r, int n, const int16_t* x, int16_t* taps) {
    const __m128i zero = _mm_setzero_si128();
    __m128i acc0 = zero, acc1 = zero;
    // Sixteen taps per step into two sums, so that the 64-bit adds of one
    // block need not wait on the other's.
    auto step = [&](int at, __m128i* acc) {
        __m128i* t = reinterpret_cast<__m128i*>(taps + at);
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + at));
        const __m128i updated = update(_mm_loadu_si128(t), v);
        _mm_storeu_si128(t, updated);
        const __m128i pairs = _mm_madd_epi16(updated, updated);
        *acc = _mm_add_epi64(*acc, _mm_unpacklo_epi32(pairs, zero));
        *acc = _mm_add_epi64(*acc, _mm_unpackhi_epi32(pairs, zero));
    };
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        step(i, &acc0);
        step(i + 8, &acc1);
    }
    for (; i + 8 <= n; i += 8) step(i, &acc0);
    tapUpdate(r, n - i, x + i, taps + i);
    const __m128i acc = _mm_add_epi64(acc0, acc1);
    int64_t sum = _mm_cvtsi128_si64(acc) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc));
    for (; i < n; ++i) sum += int32_t(taps[i]) * taps[i];
    return sum;
}

template <class Update>
int32_t UpdateDot(const Update& update, int16_t r, int n, const int16_t* x1, int16_t* taps,
                  const int16_t* x2) {
    __m128i acc0 = _mm_setzero_si128(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    // Thirty-two taps per step: four independent chains, a quarter of the
    // loop overhead.
    auto step = [&](int at, __m128i* acc) {
        __m128i* t = reinterpret_cast<__m128i*>(taps + at);
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x1 + at));
        const __m128i updated = update(_mm_loadu_si128(t), v);
        _mm_storeu_si128(t, updated);
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x2 + at));
        *acc = _mm_add_epi32(*acc, _mm_madd_epi16(updated, w));
    };
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        step(i, &acc0);
        step(i + 8, &acc1);
        step(i + 16, &acc2);
        step(i + 24, &acc3);
    }
    for (; i + 8 <= n; i += 8) step(i, &acc0);
    tapUpdate(r, n - i, x1 + i, taps + i);
    const __m128i acc = _mm_add_epi32(_mm_add_epi32(acc0, acc1), _mm_add_epi32(acc2, acc3));
    return WrapAdd32(HorizontalSum(acc), dot(taps + i, x2 + i, n - i));
}

}  // namespace

int32_t FilterDot(const int16_t* taps, const int16_t* x, int n) {
    // Four independent sums, so that the adds need not wait on each other.
    __m128i acc0 = _mm_setzero_si128(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    auto step = [&](int at, __m128i* acc) {
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(taps + at));
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + at));
        *acc = _mm_add_epi32(*acc, _mm_madd_epi16(t, v));
    };
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        step(i, &acc0);
        step(i + 8, &acc1);
        step(i + 16, &acc2);
        step(i + 24, &acc3);
    }
    for (; i + 8 <= n; i += 8) step(i, &acc0);
    const __m128i acc = _mm_add_epi32(_mm_add_epi32(acc0, acc1), _mm_add_epi32(acc2, acc3));
    return WrapAdd32(HorizontalSum(acc), dot(taps + i, x + i, n - i));
}

int64_t FilterUpdateSquares(int16_t r, int n, const int16_t* x, int16_t* taps) {
    if (HalfFactorFits(r)) return UpdateSquares(UpdateHalfFactor(r), r, n, x, taps);
    return UpdateSquares(UpdateAnyFactor(r), r, n, x, taps);
}

int32_t FilterUpdateDot(int16_t r, int n, const int16_t* x1, int16_t* taps, const int16_t* x2) {
    if (HalfFactorFits(r)) return UpdateDot(UpdateHalfFactor(r), r, n, x1, taps, x2);
    return UpdateDot(UpdateAnyFactor(r), r, n, x1, taps, x2);
}

namespace {

// sums[k] = dot(taps, v - k, n) for k < kSums (4 or 8) in one pass over the
// taps: each block of taps is loaded once for all the estimates, whose sums
// stay in registers (named ones: an array of them goes through memory).
// With kMeasure, the pass also sums the taps' squares over the whole blocks
// of eight (pairs exact as unsigned 32-bit lanes, widened into 64-bit sums).
template <int kSums, bool kMeasure>
__m128i DotsPass(const int16_t* taps, const int16_t* v, int n, int32_t* sums) {
    static_assert(kSums == 4 || kSums == 8, "passes of four or eight estimates");
    const __m128i zero = _mm_setzero_si128();
    __m128i a0 = zero, a1 = zero, a2 = zero, a3 = zero, a4 = zero, a5 = zero, a6 = zero, a7 = zero;
    __m128i squares = zero;
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(taps + i));
        auto add = [&](__m128i* acc, int back) {
            const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v - back + i));
            *acc = _mm_add_epi32(*acc, _mm_madd_epi16(t, w));
        };
        add(&a0, 0);
        add(&a1, 1);
        add(&a2, 2);
        add(&a3, 3);
        if (kSums == 8) {
            add(&a4, 4);
            add(&a5, 5);
            add(&a6, 6);
            add(&a7, 7);
        }
        if (kMeasure) {
            const __m128i pairs = _mm_madd_epi16(t, t);
            squares = _mm_add_epi64(squares, _mm_unpacklo_epi32(pairs, zero));
            squares = _mm_add_epi64(squares, _mm_unpackhi_epi32(pairs, zero));
        }
    }
    const __m128i acc[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
    for (int k = 0; k < kSums; ++k)
        sums[k] = WrapAdd32(HorizontalSum(acc[k]), dot(taps + i, v - k + i, n - i));
    return squares;
}

}  // namespace

int64_t FilterDots(const int16_t* taps, const int16_t* x, int n, int count, int32_t* sums) {
    // Eight estimates per pass while eight remain, then four, then one at a
    // time; the first pass measures the taps' squares on the way.
    __m128i squares = _mm_setzero_si128();
    int j = 0;
    if (count >= 8) {
        squares = DotsPass<8, true>(taps, x, n, sums);
        for (j = 8; j + 8 <= count; j += 8) DotsPass<8, false>(taps, x - j, n, sums + j);
    } else if (count >= 4) {
        squares = DotsPass<4, true>(taps, x, n, sums);
        j = 4;
    }
    for (; j + 4 <= count; j += 4) DotsPass<4, false>(taps, x - j, n, sums + j);
    for (; j < count; ++j) sums[j] = FilterDot(taps, x - j, n);
    if (count < 4) return FilterSumSquares(taps, n);
    const int whole = n & ~7;
    return _mm_cvtsi128_si64(squares) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(squares, squares)) +
           FilterSumSquares(taps + whole, n - whole);
}

int32_t SmallestOf(const int32_t* v, int n) {
    if (n < 8) return min32(v, n);
    __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
    int i = 4;
    for (; i + 4 <= n; i += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        const __m128i less = _mm_cmplt_epi32(x, m);
        m = _mm_or_si128(_mm_and_si128(less, x), _mm_andnot_si128(less, m));
    }
    int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), m);
    int32_t smallest = min32(lanes, 4);
    for (; i < n; ++i)
        if (v[i] < smallest) smallest = v[i];
    return smallest;
}

int64_t FilterSumSquares(const int16_t* x, int n) {
    // Each pair sum of squares is at most 2^31: exact as an unsigned 32-bit
    // lane, then widened into 64-bit sums.
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = zero;
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
        const __m128i pairs = _mm_madd_epi16(v, v);
        acc = _mm_add_epi64(acc, _mm_unpacklo_epi32(pairs, zero));
        acc = _mm_add_epi64(acc, _mm_unpackhi_epi32(pairs, zero));
    }
    int64_t sum = _mm_cvtsi128_si64(acc) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc));
    for (; i < n; ++i) sum += int32_t(x[i]) * x[i];
    return sum;
}

int WhitenBlocks(const int16_t* whitening, const int16_t* x, int shift, int16_t* out, int n) {
    // With sum |c_j| <= 65535 every sum of products stays within
    // +-(2^31 - 2^15) and no pair sum of pmaddwd overflows (that needs two
    // coefficients of -32768), so 32-bit lanes hold the sum exactly; packing
    // saturates to 16 bits and the final add saturates, as the plain loop.
    int32_t total = 0;
    for (int j = 1; j <= kWhiteningOrder; ++j)
        total += whitening[j] < 0 ? -whitening[j] : whitening[j];
    if (total > 65535) return 0;
    static_assert(kWhiteningOrder == 5, "two pairs and a single per block");
    auto pair = [](int16_t a, int16_t b) {
        return _mm_set1_epi32(int32_t(uint32_t(uint16_t(a)) | uint32_t(uint16_t(b)) << 16));
    };
    const __m128i c12 = pair(whitening[1], whitening[2]), c34 = pair(whitening[3], whitening[4]),
                  c5 = pair(whitening[5], 0);
    const __m128i count = _mm_cvtsi32_si128(shift), round = _mm_set1_epi32(4096);
    const __m128i zero = _mm_setzero_si128();
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        auto at = [&](int j) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i + j));
            return _mm_sra_epi16(v, count);
        };
        const __m128i s1 = at(1), s2 = at(2), s3 = at(3), s4 = at(4), s5 = at(5);
        auto sums = [&](__m128i p12, __m128i p34, __m128i p5) {
            const __m128i sum = _mm_add_epi32(_mm_madd_epi16(p12, c12), _mm_madd_epi16(p34, c34));
            const __m128i all = _mm_add_epi32(_mm_add_epi32(sum, _mm_madd_epi16(p5, c5)), round);
            return _mm_srai_epi32(all, 13);
        };
        const __m128i low = sums(_mm_unpacklo_epi16(s1, s2), _mm_unpacklo_epi16(s3, s4),
                                 _mm_unpacklo_epi16(s5, zero));
        const __m128i high = sums(_mm_unpackhi_epi16(s1, s2), _mm_unpackhi_epi16(s3, s4),
                                  _mm_unpackhi_epi16(s5, zero));
        const __m128i whitened = _mm_adds_epi16(at(0), _mm_packs_epi32(low, high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), whitened);
    }
    return i;
}

#else

int32_t SmallestOf(const int32_t* v, int n) {
    return min32(v, n);
}

int WhitenBlocks(const int16_t*, const int16_t*, int, int16_t*, int) {
    return 0;
}

int64_t FilterSumSquares(const int16_t* x, int n) {
    int64_t sum = 0;
    for (int i = 0; i < n; ++i) sum += int32_t(x[i]) * x[i];
    return sum;
}

int32_t FilterDot(const int16_t* taps, const int16_t* x, int n) {
    return dot(taps, x, n);
}

int64_t FilterDots(const int16_t* taps, const int16_t* x, int n, int count, int32_t* sums) {
    for (int j = 0; j < count; ++j) sums[j] = dot(taps, x - j, n);
    return FilterSumSquares(taps, n);
}

int32_t FilterUpdateDot(int16_t r, int n, const int16_t* x1, int16_t* taps, const int16_t* x2) {
    tapUpdate(r, n, x1, taps);
    return dot(taps, x2, n);
}

int64_t FilterUpdateSquares(int16_t r, int n, const int16_t* x, int16_t* taps) {
    tapUpdate(r, n, x, taps);
    return FilterSumSquares(taps, n);
}

#endif

}  // namespace aec
