// Generic run-time kernels of the real FFT: bit reversal, radix passes, scaling,
// the large-order path (decomposition levels and the 2048/4096-point block
// path) and the real split and merge passes.  No trigonometric call at run
// time: every twiddle comes from the plan's tables.
#include <bit>

#include "sp_fft.h"

namespace {

struct Cx {
    float re;
    float im;
};

inline Cx Load(const float* p) {
    return Cx{p[0], p[1]};
}
inline void Store(float* p, Cx v) {
    p[0] = v.re;
    p[1] = v.im;
}
inline Cx Add(Cx a, Cx b) {
    return Cx{a.re + b.re, a.im + b.im};
}
inline Cx Sub(Cx a, Cx b) {
    return Cx{a.re - b.re, a.im - b.im};
}
// a * w, or a * conj(w) in the inverse direction.
inline Cx Mul(Cx a, Cx w, bool conj) {
    if (conj) return Cx{a.re * w.re + a.im * w.im, a.im * w.re - a.re * w.im};
    return Cx{a.re * w.re - a.im * w.im, a.re * w.im + a.im * w.re};
}
// -i * a forward, +i * a inverse: the quarter turn of the direction.
inline Cx Turn(Cx a, bool inverse) {
    return inverse ? Cx{-a.im, a.re} : Cx{a.im, -a.re};
}

// The reversal over log2(count) bits of k + 1, from r, that of k: adding one
// flips k's trailing ones and the zero above them, which reversed are the
// top bits.
inline uint32_t ReversedNext(uint32_t r, uint32_t k, uint32_t count) {
    return r ^ (count - (count >> (std::countr_zero(k + 1) + 1)));
}

// The span-4 butterflies of one group of four bit-reversed points.
inline void Span4(float* p, Cx c0, Cx c1, Cx c2, Cx c3, bool inverse) {
    const Cx s01 = Add(c0, c1), d01 = Sub(c0, c1), s23 = Add(c2, c3),
             t23 = Turn(Sub(c2, c3), inverse);
    Store(p, Add(s01, s23));
    Store(p + 4, Sub(s01, s23));
    Store(p + 2, Add(d01, t23));
    Store(p + 6, Sub(d01, t23));
}

// Span-4 pass on groups of four bit-reversed points.
void PassSpan4(float* d, int32_t count, bool inverse) {
    for (int32_t g = 0; g < count; g += 4) {
        const float* p = d + 2 * g;
        Span4(d + 2 * g, Load(p), Load(p + 2), Load(p + 4), Load(p + 6), inverse);
    }
}

// The span-4 pass reading the points in natural order from src (not dst),
// so that no bit-reversal pass runs before it: the group at 4m holds the
// points r, r + count/2, r + count/4 and r + 3 count/4, r the reversal of m
// over log2(count) - 2 bits.
void PassSpan4From(const float* src, float* dst, int32_t count, bool inverse) {
    const uint32_t quarter = static_cast<uint32_t>(count) / 4;
    const float* s1 = src + count;
    const float* s2 = src + count / 2;
    const float* s3 = src + 3 * count / 2;
    uint32_t r = 0;
    for (uint32_t m = 0; m < quarter; ++m) {
        Span4(dst + 8 * m, Load(src + 2 * r), Load(s1 + 2 * r), Load(s2 + 2 * r), Load(s3 + 2 * r),
              inverse);
        r = ReversedNext(r, m, quarter);
    }
}

// Radix-2 pass of span 8 (odd orders): w_8^1 and w_8^3 from the table entry
// count/8, whose first twiddle is w_8 = (c, -c).
void PassSpan8(float* d, int32_t count, const float* twiddles, bool inverse) {
    const float* e = twiddles + 6 * (count / 8);
    const Cx w1{e[0], e[1]};
    const Cx w3{-e[0], e[1]};
    for (int32_t g = 0; g < count; g += 8) {
        float* p = d + 2 * g;
        for (int32_t t = 0; t < 4; ++t) {
            const Cx a = Load(p + 2 * t);
            Cx b = Load(p + 2 * (t + 4));
            if (t == 1) b = Mul(b, w1, inverse);
            if (t == 2) b = Turn(b, inverse);
            if (t == 3) b = Mul(b, w3, inverse);
            Store(p + 2 * t, Add(a, b));
            Store(p + 2 * (t + 4), Sub(a, b));
        }
    }
}

// The scaling pass's product, formed as a value is stored so that the last
// pass needs no pass of its own after it.  The product is the double product
// rounded to f32; two floats' product (48 significant bits) is exact in
// double, so rounding it once is what the single-precision multiply does.
inline Cx Scaled(Cx v, const float* factor) {
    if (factor == nullptr) return v;
    return Cx{*factor * v.re, *factor * v.im};
}

// Radix-4 pass of span S: the quarters of each group hold the sub-transforms of
// the sub-sequences 4t, 4t+2, 4t+1, 4t+3.  A non-null factor scales the
// results.
template <bool Scale>
void PassRadix4(float* d, int32_t count, int32_t span, const float* twiddles, bool inverse,
                const float* factor = nullptr) {
    const int32_t q = span / 4;
    const int32_t step = count / span;
    for (int32_t g = 0; g < count; g += span) {
        float* p = d + 2 * g;
        for (int32_t k = 0; k < q; ++k) {
            Cx a = Load(p + 2 * k);
            Cx b = Load(p + 2 * (k + q));
            Cx c = Load(p + 2 * (k + 2 * q));
            Cx e = Load(p + 2 * (k + 3 * q));
            if (k != 0) {
                const float* w = twiddles + 6 * (k * step);
                b = Mul(b, Cx{w[2], w[3]}, inverse);
                c = Mul(c, Cx{w[0], w[1]}, inverse);
                e = Mul(e, Cx{w[4], w[5]}, inverse);
            }
            const Cx sab = Add(a, b), dab = Sub(a, b), sce = Add(c, e),
                     tce = Turn(Sub(c, e), inverse);
            const float* f = Scale ? factor : nullptr;
            Store(p + 2 * k, Scaled(Add(sab, sce), f));
            Store(p + 2 * (k + 2 * q), Scaled(Sub(sab, sce), f));
            Store(p + 2 * (k + q), Scaled(Add(dab, tce), f));
            Store(p + 2 * (k + 3 * q), Scaled(Sub(dab, tce), f));
        }
    }
}

// The passes after the span-4 one.  A non-null factor scales the result,
// in the last radix-4 pass when there is one.
void PassesAfterSpan4(float* data, int32_t count, const float* twiddles, bool inverse,
                      const float* factor) {
    int32_t span = 16;
    if ((count & 0x55555555) == 0) {  // odd order: a radix-2 stage first
        PassSpan8(data, count, twiddles, inverse);
        span = 32;
    }
    if (span > count) {
        if (factor != nullptr) sp_fft_scale_f32(*factor, data, 2 * count);
        return;
    }
    for (; span < count; span *= 4) PassRadix4<false>(data, count, span, twiddles, inverse);
    if (factor != nullptr)
        PassRadix4<true>(data, count, span, twiddles, inverse, factor);
    else
        PassRadix4<false>(data, count, span, twiddles, inverse);
}

void RadixPasses(float* data, int32_t count, const float* twiddles, bool inverse,
                 const float* factor = nullptr) {
    PassSpan4(data, count, inverse);
    PassesAfterSpan4(data, count, twiddles, inverse, factor);
}

void Blocks(const sp_rfft_spec* spec, float* data, int32_t n, bool inverse) {
    const int32_t count = 1 << n;
    const auto* radix = static_cast<const float*>(sp_rfft_table(spec, sp_rfft_word_radix));
    const bool scale = inverse ? spec->invScale != 0 : spec->fwdScale != 0;
    for (int32_t b = count / 1024 - 1; b >= 0; --b) {
        float* block = data + 2 * 1024 * b;
        RadixPasses(block, 1024, radix, inverse, scale ? &spec->factor : nullptr);
    }
    const auto* quarter = static_cast<const float*>(sp_rfft_table(spec, sp_rfft_word_quarter));
    for (int32_t span = 2048; span <= count; span *= 2)
        sp_fft_combine_radix2(data, count, span, quarter, inverse ? -1 : 1, 128);
}

void LargeStep(const sp_rfft_spec* spec, float* data, int32_t n, int32_t level, float* work,
               bool inverse) {
    const int32_t k1 = sp_fft_large_split_table[n];
    const int32_t k2 = n - k1;
    const int32_t rows = 1 << k1;
    const int32_t cols = 1 << k2;
    const bool scale = inverse ? spec->invScale != 0 : spec->fwdScale != 0;
    const auto* radix = static_cast<const float*>(sp_rfft_table(spec, sp_rfft_word_radix));
    // Rows: each holds one decimated sub-sequence in bit-reversed order.
    for (int32_t r = 0; r < rows; ++r) {
        float* row = data + 2 * static_cast<int64_t>(r) * cols;
        if (k2 <= 10) {
            RadixPasses(row, cols, radix, inverse, scale ? &spec->factor : nullptr);
        } else if (sp_fft_large_split_table[k2] == 0) {
            Blocks(spec, row, k2, inverse);
        } else {
            LargeStep(spec, row, k2, level + 1, work, inverse);
        }
    }
    // Columns, four at a time: twiddle, transform across the rows, write back.
    const auto* matrix = static_cast<const float*>(sp_rfft_table(spec, sp_rfft_word_block + level));
    const auto* outer = static_cast<const float*>(sp_rfft_table(spec, sp_rfft_word_outer + level));
    for (int32_t g = 0; g < cols; g += 4) {
        for (int32_t r = 0; r < rows; ++r) {
            const float* row = data + 2 * (static_cast<int64_t>(r) * cols + g);
            for (int32_t t = 0; t < 4; ++t, matrix += 2) {
                Store(work + 2 * (t * rows + r), Mul(Load(row + 2 * t), Load(matrix), inverse));
            }
        }
        for (int32_t t = 0; t < 4; ++t) RadixPasses(work + 2 * t * rows, rows, outer, inverse);
        for (int32_t r = 0; r < rows; ++r) {
            float* row = data + 2 * (static_cast<int64_t>(r) * cols + g);
            for (int32_t t = 0; t < 4; ++t) Store(row + 2 * t, Load(work + 2 * (t * rows + r)));
        }
    }
}

void Large(const sp_rfft_spec* spec, float* data, int32_t n, float* work, bool inverse) {
    if (sp_fft_large_split_table[n] != 0) {
        LargeStep(spec, data, n, 0, work, inverse);
    } else {
        Blocks(spec, data, n, inverse);
    }
}

// The reversal by tiles for counts of at least kTile squared: an index is
// (a, b, c), a and c of kTileBits bits each, and goes to (rev c, rev b,
// rev a).  The points of one b are a tile of kTile rows of kTile points, whose
// rows are whole cache lines both where they are read and where they land,
// so every line fetched is used whole (the reversal of single points touches
// a line per point once the data outgrows the cache).
constexpr int32_t kTileBits = 3;
constexpr uint32_t kTile = 1u << kTileBits;
constexpr uint8_t kReversed3[kTile] = {0, 4, 2, 6, 1, 5, 3, 7};

inline bool Tiled(int32_t count) {
    return count >= static_cast<int32_t>(kTile * kTile);
}

// Point (a, b, c) of one tile to or from its place (rev c, rb, rev a);
// Move(from, to) is given the two point offsets.
template <typename Move>
inline void ForTilePoints(uint32_t b, uint32_t rb, int32_t highShift, Move move) {
    for (uint32_t a = 0; a < kTile; ++a) {
        const int64_t from = (int64_t{a} << highShift) | (int64_t{b} << kTileBits);
        const int64_t to = (int64_t{rb} << kTileBits) | kReversed3[a];
        for (uint32_t c = 0; c < kTile; ++c)
            move(from | c, to | (int64_t{kReversed3[c]} << highShift));
    }
}

void BitrevCopyTiled(const float* src, float* dst, int32_t count) {
    const int32_t highShift = std::countr_zero(static_cast<uint32_t>(count)) - kTileBits;
    const uint32_t tiles = static_cast<uint32_t>(count) >> (2 * kTileBits);
    uint32_t rb = 0;
    for (uint32_t b = 0; b < tiles; ++b) {
        ForTilePoints(b, rb, highShift,
                      [&](int64_t from, int64_t to) { Store(dst + 2 * to, Load(src + 2 * from)); });
        rb = ReversedNext(rb, b, tiles);
    }
}

// In place: tile b and tile rev b trade their points; a tile that is its own
// reversal trades within itself, each pair once.
void BitrevInplaceTiled(float* data, int32_t count) {
    const int32_t highShift = std::countr_zero(static_cast<uint32_t>(count)) - kTileBits;
    const uint32_t tiles = static_cast<uint32_t>(count) >> (2 * kTileBits);
    uint32_t rb = 0;
    for (uint32_t b = 0; b < tiles; ++b) {
        if (b <= rb) {
            ForTilePoints(b, rb, highShift, [&](int64_t from, int64_t to) {
                if (b == rb && to <= from) return;
                const Cx x = Load(data + 2 * from);
                Store(data + 2 * from, Load(data + 2 * to));
                Store(data + 2 * to, x);
            });
        }
        rb = ReversedNext(rb, b, tiles);
    }
}

}  // namespace

void sp_fft_bitrev_copy(const float* src, float* dst, int32_t count, const int32_t* table) {
    if (Tiled(count)) {
        BitrevCopyTiled(src, dst, count);
        return;
    }
    if (count < 8) {
        Store(dst, Load(src));
        if (count >= 2) Store(dst + 2 * (count - 1), Load(src + 2 * (count - 1)));
        if (count == 4) {
            Store(dst + 2, Load(src + 4));
            Store(dst + 4, Load(src + 2));
        }
        return;
    }
    const int64_t half = count / 2;
    // Point h*half + 2x + l goes to l*half + 2*rev(x) + h.
    auto move = [&](int64_t x, int64_t y) {
        for (int64_t h = 0; h < 2; ++h)
            for (int64_t l = 0; l < 2; ++l)
                Store(dst + 2 * (l * half + 2 * y + h), Load(src + 2 * (h * half + 2 * x + l)));
    };
    int64_t p = 0;
    for (; table[p] != 0; p += 2) {
        move(table[p] >> 2, table[p + 1] >> 2);
        move(table[p + 1] >> 2, table[p] >> 2);
    }
    move(0, 0);
    for (++p; table[p] != 0; ++p) move(table[p] >> 2, table[p] >> 2);
}

void sp_fft_bitrev_inplace(float* data, int32_t count, const int32_t* table) {
    if (Tiled(count)) {
        BitrevInplaceTiled(data, count);
        return;
    }
    if (count < 4) return;
    const int64_t half = count / 2;
    auto swap = [&](int64_t i, int64_t j) {
        const Cx a = Load(data + 2 * i);
        Store(data + 2 * i, Load(data + 2 * j));
        Store(data + 2 * j, a);
    };
    int64_t p = 0;
    for (; table[p] != 0; p += 2) {
        const int64_t x = table[p] >> 2, y = table[p + 1] >> 2;
        for (int64_t h = 0; h < 2; ++h)
            for (int64_t l = 0; l < 2; ++l) swap(h * half + 2 * x + l, l * half + 2 * y + h);
    }
    swap(1, half);  // fixed point 0
    for (++p; table[p] != 0; ++p) {
        const int64_t x = table[p] >> 2;
        swap(2 * x + 1, half + 2 * x);
    }
}

void sp_fft_radix_fwd(float* data, int32_t count, const float* twiddles) {
    RadixPasses(data, count, twiddles, false);
}
void sp_fft_radix_inv(float* data, int32_t count, const float* twiddles) {
    RadixPasses(data, count, twiddles, true);
}
void sp_fft_radix_scaled(float* data, int32_t count, const float* twiddles, int32_t direction,
                         const float* factor) {
    RadixPasses(data, count, twiddles, direction < 0, factor);
}

void sp_fft_scale_f32(float factor, float* data, int32_t count) {
    for (int32_t i = 0; i < count; ++i) data[i] *= factor;
}

void sp_fft_large_fwd(const sp_rfft_spec* spec, float* data, int32_t n, float* work) {
    Large(spec, data, n, work, false);
}
void sp_fft_large_inv(const sp_rfft_spec* spec, float* data, int32_t n, float* work) {
    Large(spec, data, n, work, true);
}
void sp_fft_large_step_fwd(const sp_rfft_spec* spec, float* data, int32_t n, int32_t level,
                           float* work) {
    LargeStep(spec, data, n, level, work, false);
}
void sp_fft_large_step_inv(const sp_rfft_spec* spec, float* data, int32_t n, int32_t level,
                           float* work) {
    LargeStep(spec, data, n, level, work, true);
}
void sp_fft_blocks_fwd(const sp_rfft_spec* spec, float* data, int32_t n, float*) {
    Blocks(spec, data, n, false);
}
void sp_fft_blocks_inv(const sp_rfft_spec* spec, float* data, int32_t n, float*) {
    Blocks(spec, data, n, true);
}

namespace {

// The radix-2 butterflies of one half-group: point k and k + half, the
// latter times w (twiddle pointer advanced by `stride` floats per point),
// turned by -i when Turned (the second quarter of the angles).
template <bool Inverse, bool Turned>
inline void Combine(float* lo, float* hi, const float* w, int32_t points, int64_t stride) {
    for (int32_t k = 0; k < points; ++k, lo += 2, hi += 2, w += stride) {
        const Cx t = Turned ? Turn(Load(w), false) : Load(w);
        const Cx a = Load(lo);
        const Cx b = Mul(Load(hi), t, Inverse);
        Store(lo, Add(a, b));
        Store(hi, Sub(a, b));
    }
}

template <bool Inverse>
void CombineRadix2(float* data, int32_t count, int32_t span, const float* quarter) {
    const int32_t half = span / 2;
    // w_count^(k step) for k < span/4 is entry k step of the quarter table;
    // above, -i times entry k step - count/4.
    const int32_t first = span / 4;
    const int64_t stride = 2 * static_cast<int64_t>(count / span);
    for (int32_t g = 0; g < count; g += span) {
        float* p = data + 2 * static_cast<int64_t>(g);
        Combine<Inverse, false>(p, p + 2 * half, quarter, first, stride);
        Combine<Inverse, true>(p + 2 * first, p + 2 * (first + half), quarter, half - first,
                               stride);
    }
}

}  // namespace

void sp_fft_combine_radix2(float* data, int32_t count, int32_t span, const float* quarter,
                           int32_t direction, int32_t) {
    if (direction < 0)
        CombineRadix2<true>(data, count, span, quarter);
    else
        CombineRadix2<false>(data, count, span, quarter);
}

void sp_rfft_split_fwd(float* data, int32_t count, int32_t, const float* table) {
    for (int32_t k = 1; k < count / 2; ++k) {
        float* zk = data + 2 * k;
        float* zj = data + 2 * (count - k);
        const float a = zk[0], b = zk[1], c = zj[0], d = zj[1];
        const float A = table[2 * k], B = table[2 * k + 1];
        const float p = B * (a - c) + A * (b + d);
        const float q = (b + d) * B - (a - c) * A;
        zk[0] = c + p;
        zk[1] = q - d;
        zj[0] = a - p;
        zj[1] = q - b;
    }
    // The middle bin, its own partner, becomes its conjugate: once, here.
    if (count >= 2) data[count + 1] = -data[count + 1];
}

namespace {

// One pair of the inverse merge: bin k (a, b) and its partner count - k
// (c, d), with the twiddle (alpha, beta), become the two points of the
// half-length complex transform's input, k's (a + c + u, b - d + v) and its
// partner's (a + c - u, v - (b - d)).  Every layout of the merge runs it and
// stores the four values itself: a returned pair of points invites the
// compiler to build them in vector registers, which costs more shuffles than
// it saves.
inline void MergePair(float a, float b, float c, float d, float alpha, float beta, float* u,
                      float* v) {
    *u = beta * (a - c) - alpha * (b + d);
    *v = (a - c) * alpha + (b + d) * beta;
}

}  // namespace

void sp_rfft_merge_inv(const float* src, float* dst, int32_t count, int32_t, const float* table) {
    for (int32_t k = 1; k < count / 2; ++k) {
        const float* xk = src + 2 * k;
        const float* xj = src + 2 * (count - k);
        const float a = xk[0], b = xk[1], c = xj[0], d = xj[1];
        float u, v;
        MergePair(a, b, c, d, table[2 * k], table[2 * k + 1], &u, &v);
        dst[2 * k] = a + c + u;
        dst[2 * k + 1] = b - d + v;
        dst[2 * (count - k)] = a + c - u;
        dst[2 * (count - k) + 1] = v - (b - d);
    }
    // The middle bin times (2, -2): once, after the pairs, so an in-place
    // merge never reads it twice.
    if (count >= 2) {
        const float re = src[count], im = src[count + 1];
        dst[count] = 2.0f * re;
        dst[count + 1] = -2.0f * im;
    }
}

namespace {

// The split of sp_rfft_split_fwd with the packing folded in: bin k leaves
// at 2k-1 instead of 2k, so no pass moves the spectrum afterwards.  The pair
// written at the top end lands on the imaginary part of the next pair's top
// bin, which is read one step ahead.
void SplitPacked(float* data, int32_t count, const float* table) {
    const float dc = data[0], nyquist = data[1];
    data[0] = dc + nyquist;
    float* lo = data + 2;
    float* hi = data + 2 * (count - 1);
    const float* t = table + 2;
    float d = hi[1];
    for (int32_t k = count / 2 - 1; k > 0; --k, lo += 2, hi -= 2, t += 2) {
        const float a = lo[0], b = lo[1], c = hi[0];
        const float dNext = hi[-1];
        const float A = t[0], B = t[1];
        const float p = B * (a - c) + A * (b + d);
        const float q = (b + d) * B - (a - c) * A;
        // Stored crosswise: stores of one bin next to each other invite
        // the compiler to pair its parts in vector registers, which costs
        // more shuffles than it saves here.
        lo[0] = q - d;
        hi[-1] = a - p;
        lo[-1] = c + p;
        hi[0] = q - b;
        d = dNext;
    }
    // The middle bin, its own partner, conjugated; d holds its imaginary part.
    data[count - 1] = data[count];
    data[count] = -d;
    data[2 * count - 1] = dc - nyquist;
}

// The merge of sp_rfft_merge_inv reading the packed spectrum, after the
// DC/Nyquist step: bin k comes from 2k-1.  In place, the pair written at the
// bottom end lands on the real part of the next bin, which is read one step
// ahead.
void MergePacked(const float* src, float* dst, int32_t count, const float* table) {
    const float r0 = src[0], rn = src[2 * count - 1];
    float a = src[1];
    dst[0] = r0 + rn;
    dst[1] = r0 - rn;
    for (int32_t k = 1; k < count / 2; ++k) {
        const float b = src[2 * k], c = src[2 * (count - k) - 1], d = src[2 * (count - k)];
        const float aNext = src[2 * k + 1];
        float u, v;
        MergePair(a, b, c, d, table[2 * k], table[2 * k + 1], &u, &v);
        // Stored crosswise, as in SplitPacked.
        dst[2 * k + 1] = b - d + v;
        dst[2 * (count - k)] = a + c - u;
        dst[2 * k] = a + c + u;
        dst[2 * (count - k) + 1] = v - (b - d);
        a = aNext;
    }
    // The middle bin times (2, -2); a holds its real part.
    const float im = src[count];
    dst[count] = 2.0f * a;
    dst[count + 1] = -2.0f * im;
}

// MergePacked from one buffer into another, each bin stored at its
// bit-reversed place so that no reversal pass runs before the radix passes.
// r is the reversal of k; that of count - k, the complement of k - 1, is the
// complement of the reversal before it.
void MergePackedReversed(const float* src, float* dst, int32_t count, const float* table) {
    const float r0 = src[0], rn = src[2 * count - 1];
    dst[0] = r0 + rn;
    dst[1] = r0 - rn;
    const uint32_t last = static_cast<uint32_t>(count) - 1;
    uint32_t before = 0, r = static_cast<uint32_t>(count) / 2;
    for (int32_t k = 1; k < count / 2; ++k) {
        const float a = src[2 * k - 1], b = src[2 * k], c = src[2 * (count - k) - 1],
                    d = src[2 * (count - k)];
        float u, v;
        MergePair(a, b, c, d, table[2 * k], table[2 * k + 1], &u, &v);
        const uint32_t s = last ^ before;
        dst[2 * r + 1] = b - d + v;
        dst[2 * s] = a + c - u;
        dst[2 * r] = a + c + u;
        dst[2 * s + 1] = v - (b - d);
        before = r;
        r = ReversedNext(r, static_cast<uint32_t>(k), static_cast<uint32_t>(count));
    }
    // The middle bin, at place 1, times (2, -2).
    dst[2] = 2.0f * src[count - 1];
    dst[3] = -2.0f * src[count];
}

// The complex transform of the bit-reversed points in data, as the fronts
// run it for the generic member.
void Complex(const sp_rfft_spec* spec, float* data, int32_t count, float* work, bool inverse) {
    const int32_t n = spec->order - 1;
    const bool scale = inverse ? spec->invScale != 0 : spec->fwdScale != 0;
    if (n <= 10) {
        const auto* radix = static_cast<const float*>(sp_rfft_table(spec, sp_rfft_word_radix));
        RadixPasses(data, count, radix, inverse, scale ? &spec->factor : nullptr);
    } else {
        Large(spec, data, n, work, inverse);
    }
}

}  // namespace

bool sp_rfft_generic_real_fwd(const sp_rfft_spec* spec, const float* src, float* dst, float* work,
                              int32_t perm) {
    if (perm) return false;
    const int32_t count = 1 << (spec->order - 1);
    if (src != dst && spec->order <= 11) {
        PassSpan4From(src, dst, count, false);
        PassesAfterSpan4(dst, count,
                         static_cast<const float*>(sp_rfft_table(spec, sp_rfft_word_radix)), false,
                         spec->fwdScale ? &spec->factor : nullptr);
    } else {
        const auto* bitrev = static_cast<const int32_t*>(sp_rfft_table(spec, sp_rfft_word_bitrev));
        if (src != dst)
            sp_fft_bitrev_copy(src, dst, count, bitrev);
        else
            sp_fft_bitrev_inplace(dst, count, bitrev);
        Complex(spec, dst, count, work, false);
    }
    SplitPacked(dst, count, static_cast<const float*>(sp_rfft_table(spec, sp_rfft_word_split)));
    return true;
}

bool sp_rfft_generic_real_inv(const sp_rfft_spec* spec, const float* src, float* dst, float* work,
                              int32_t perm) {
    if (perm) return false;
    const int32_t count = 1 << (spec->order - 1);
    const auto* merge = static_cast<const float*>(sp_rfft_table(spec, sp_rfft_word_merge));
    // Scattered stores cost more than a reversal pass once the spectrum
    // outgrows the first-level cache.
    if (src != dst && spec->order <= 13) {
        MergePackedReversed(src, dst, count, merge);
    } else {
        MergePacked(src, dst, count, merge);
        sp_fft_bitrev_inplace(
            dst, count, static_cast<const int32_t*>(sp_rfft_table(spec, sp_rfft_word_bitrev)));
    }
    Complex(spec, dst, count, work, true);
    return true;
}
