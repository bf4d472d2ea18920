// Generic table builders of the real FFT: sine, bit-reverse, radix and quarter
// twiddles, split and merge, the large-path levels, and the generic
// plan's table set-up.  Every size is computed in 64 bits: a table
// that would not fit the allocator's request is a failed allocation, never a
// wrapped small one.
#include <math.h>
#include <string.h>

#include "sp_buffers.h"
#include "sp_fft.h"

namespace {

// Largest byte count sp_alloc_bytes takes.
constexpr int64_t kMaxTableBytes = 0x7FFFFFFF;

void* AllocTable(int64_t bytes) {
    if (bytes < 1 || bytes > kMaxTableBytes) return nullptr;
    return sp_alloc_bytes(static_cast<int32_t>(bytes));
}

float* AllocFloats(int64_t count) {
    return static_cast<float*>(AllocTable(count * 4));
}

}  // namespace

// Inner order k1 of a large-path level by complex order; 0 below 13 (orders 11
// and 12 run the unsplit block path).
const int8_t sp_fft_large_split_table[31] = {
    0,  0,  0,  0,  0,  0,  0, 0, 0, 0, 0, 0, 0,  // 0..12
    5,  6,  7,  8,  8,  8,                        // 13..18
    10, 10, 10, 10,                               // 19..22
    8,  8,                                        // 23, 24
    10, 10, 10, 10, 10, 10,                       // 25..30
};

int32_t sp_fft_large_work_bytes(int32_t n) {
    int32_t largest = 0;
    while (n >= 11 && n <= 30 && sp_fft_large_split_table[n] != 0) {
        const int32_t k1 = sp_fft_large_split_table[n];
        if ((32 << k1) > largest) largest = 32 << k1;
        n -= k1;
    }
    return largest;
}

uint32_t sp_fft_reverse_bits(uint32_t x, int32_t bits) {
    uint32_t r = 0;
    for (int32_t b = 0; b < bits; ++b) {
        r = (r << 1) | (x & 1u);
        x >>= 1;
    }
    return r;
}

// s[i] = sin(2 pi i / N) for i <= N/8 and cos(2 pi (N/4 - i) / N) above (the
// same values; the second octant from the cosine keeps them accurate), i up
// to N/4.  The step is the double 2 pi over N and each argument is rounded to
// double; the function is taken in extended precision or in double, then the
// value is rounded to f32.
float* sp_fft_sine_table_with(int32_t order, int32_t extended) {
    if (order < 0 || order > SP_RFFT_MAX_ORDER) return nullptr;
    const int64_t quarter = (int64_t{1} << order) / 4;
    float* s = AllocFloats(quarter + 1);
    if (s == nullptr) return nullptr;
    const double step =
        static_cast<double>(6.283185307179586L / static_cast<long double>(int64_t{1} << order));
    const int64_t eighth = (int64_t{1} << order) / 8;
    s[0] = 0.0f;
    for (int64_t i = 1; i <= quarter; ++i) {
        const bool useSine = i <= eighth;
        const double arg =
            static_cast<double>(static_cast<long double>(useSine ? i : quarter - i) * step);
        if (extended != 0) {
            s[i] = static_cast<float>(useSine ? sinl(arg) : cosl(arg));
        } else {
            s[i] = static_cast<float>(useSine ? sin(arg) : cos(arg));
        }
    }
    return s;
}

float* sp_fft_sine_table(int32_t order) {
    // Up to this order every entry of the double construction rounds to the
    // same f32 as the extended one (the tests compare both, entry for entry);
    // above it the extended functions stay.
    return sp_fft_sine_table_with(order, order > SP_FFT_SINE_DOUBLE_MAX_ORDER ? 1 : 0);
}

void sp_fft_twiddle_from_sine(const float* sine, int32_t sineOrder, int32_t k, int64_t p, float* re,
                              float* im) {
    const int64_t stride = int64_t{1} << (sineOrder - k);
    const int64_t q = (int64_t{1} << k) / 4;
    if (p < q) {
        *re = sine[(q - p) * stride];
        *im = -sine[p * stride];
    } else if (p < 2 * q) {
        *re = -sine[(p - q) * stride];
        *im = -sine[(2 * q - p) * stride];
    } else if (p < 3 * q) {
        *re = -sine[(3 * q - p) * stride];
        *im = sine[(p - 2 * q) * stride];
    } else {
        *re = sine[(p - 3 * q) * stride];
        *im = sine[(4 * q - p) * stride];
    }
}

int32_t* sp_fft_bitrev_table(int32_t k) {
    if (k < 2 || k > SP_RFFT_MAX_ORDER) return nullptr;
    const int64_t words = (int64_t{1} << (k - 2)) + 1;
    auto* table = static_cast<int32_t*>(AllocTable(words * 4));
    if (table == nullptr) return nullptr;
    const uint32_t t = static_cast<uint32_t>(words - 1);
    uint32_t front = 0;
    uint32_t back = t - 1;
    for (uint32_t i = 1; i < t; ++i) {
        const uint32_t j = sp_fft_reverse_bits(i, k - 2);
        if (i < j) {
            table[front++] = static_cast<int32_t>(4 * i);
            table[front++] = static_cast<int32_t>(4 * j);
        } else if (i == j) {
            table[back--] = static_cast<int32_t>(4 * i);
        }
    }
    table[front] = 0;  // ends the pairs; stands for the fixed point 0 as well
    table[t] = 0;
    return table;
}

float* sp_fft_twiddles_radix4(int32_t k, const float* sine, int32_t sineOrder) {
    if (k < 2 || k > sineOrder) return nullptr;
    const int64_t entries = (int64_t{1} << k) / 4 + 1;
    float* table = AllocFloats(entries * 6);
    if (table == nullptr) return nullptr;
    for (int64_t j = 0; j < entries; ++j) {
        float* e = table + 6 * j;
        sp_fft_twiddle_from_sine(sine, sineOrder, k, j, &e[0], &e[1]);
        sp_fft_twiddle_from_sine(sine, sineOrder, k, 2 * j, &e[2], &e[3]);
        sp_fft_twiddle_from_sine(sine, sineOrder, k, 3 * j, &e[4], &e[5]);
    }
    return table;
}

float* sp_fft_twiddles_quarter(int32_t k, const float* sine, int32_t sineOrder) {
    if (k < 2 || k > sineOrder) return nullptr;
    const int64_t entries = (int64_t{1} << k) / 4;
    float* table = AllocFloats(entries * 2);
    if (table == nullptr) return nullptr;
    for (int64_t j = 0; j < entries; ++j)
        sp_fft_twiddle_from_sine(sine, sineOrder, k, j, &table[2 * j], &table[2 * j + 1]);
    return table;
}

// Transposition twiddles of a level: row r of a column group holds the values
// for the rows' bit-reversed index, which is where the bit-reversed input left
// the decimated sub-sequence q = rev(r).
float* sp_fft_block_twiddles(int32_t m, int32_t k1, const float* sine, int32_t sineOrder) {
    if (k1 < 1 || m - k1 < 2 || m > sineOrder) return nullptr;
    const int64_t rows = int64_t{1} << k1;
    const int64_t cols = int64_t{1} << (m - k1);
    float* table = AllocFloats(2 * (int64_t{1} << m));
    if (table == nullptr) return nullptr;
    float* out = table;
    for (int64_t g = 0; g < cols; g += 4) {
        for (int64_t r = 0; r < rows; ++r) {
            const int64_t q = sp_fft_reverse_bits(static_cast<uint32_t>(r), k1);
            for (int64_t t = 0; t < 4; ++t, out += 2)
                sp_fft_twiddle_from_sine(sine, sineOrder, m, q * (g + t), &out[0], &out[1]);
        }
    }
    return table;
}

sp_status sp_fft_large_tables_level(sp_rfft_spec* spec, int32_t n, const float* sine,
                                    int32_t sineOrder, int32_t level) {
    const int32_t k1 = sp_fft_large_split_table[n];
    const int32_t k2 = n - k1;
    if (level > 2) return sp_status_no_memory;  // no order needs a fourth level
    if (k2 >= 11 && sp_fft_large_split_table[k2] != 0) {
        const sp_status status = sp_fft_large_tables_level(spec, k2, sine, sineOrder, level + 1);
        if (status != sp_status_ok) return status;
    } else if (k2 < 11) {
        sp_rfft_table(spec, sp_rfft_word_radix) = sp_fft_twiddles_radix4(k2, sine, sineOrder);
        if (sp_rfft_table(spec, sp_rfft_word_radix) == nullptr) return sp_status_no_memory;
    } else {
        sp_rfft_table(spec, sp_rfft_word_quarter) = sp_fft_twiddles_quarter(k2, sine, sineOrder);
        if (sp_rfft_table(spec, sp_rfft_word_quarter) == nullptr) return sp_status_no_memory;
        sp_rfft_table(spec, sp_rfft_word_radix) = sp_fft_twiddles_radix4(10, sine, sineOrder);
        if (sp_rfft_table(spec, sp_rfft_word_radix) == nullptr) return sp_status_no_memory;
    }
    sp_rfft_table(spec, sp_rfft_word_outer + level) = sp_fft_twiddles_radix4(k1, sine, sineOrder);
    if (sp_rfft_table(spec, sp_rfft_word_outer + level) == nullptr) return sp_status_no_memory;
    sp_rfft_table(spec, sp_rfft_word_block + level) = sp_fft_block_twiddles(n, k1, sine, sineOrder);
    if (sp_rfft_table(spec, sp_rfft_word_block + level) == nullptr) return sp_status_no_memory;
    if ((32 << k1) > spec->workSize) spec->workSize = 32 << k1;
    return sp_status_ok;
}

sp_status sp_fft_large_tables(sp_rfft_spec* spec, int32_t n, const float* sine, int32_t sineOrder) {
    if (sp_fft_large_split_table[n] != 0)
        return sp_fft_large_tables_level(spec, n, sine, sineOrder, 0);
    // Unsplit: 1024-point blocks combined with the quarter twiddles of order n.
    sp_rfft_table(spec, sp_rfft_word_quarter) = sp_fft_twiddles_quarter(n, sine, sineOrder);
    if (sp_rfft_table(spec, sp_rfft_word_quarter) == nullptr) return sp_status_no_memory;
    sp_rfft_table(spec, sp_rfft_word_radix) = sp_fft_twiddles_radix4(10, sine, sineOrder);
    if (sp_rfft_table(spec, sp_rfft_word_radix) == nullptr) return sp_status_no_memory;
    return sp_status_ok;
}

namespace {

// N/4 pairs (scaleCos * cos t, offset + scaleSin * sin t), t = 2 pi k / N,
// formed in double and stored as f32; room for one pair at least.
float* TrigPairTable(int32_t order, const float* sine, double scaleCos, double offset,
                     double scaleSin) {
    const int64_t quarter = (int64_t{1} << order) / 4;
    float* table = AllocFloats(2 * (quarter > 0 ? quarter : 1));
    if (table == nullptr) return nullptr;
    for (int64_t k = 0; k < quarter; ++k) {
        table[2 * k] = static_cast<float>(scaleCos * static_cast<double>(sine[quarter - k]));
        table[2 * k + 1] = static_cast<float>(offset + scaleSin * static_cast<double>(sine[k]));
    }
    if (quarter == 0) table[0] = table[1] = 0.0f;
    return table;
}

}  // namespace

float* sp_rfft_split_table(int32_t order, const float* sine) {
    return TrigPairTable(order, sine, 0.5, 0.5, -0.5);
}
float* sp_rfft_merge_table(int32_t order, const float* sine) {
    return TrigPairTable(order, sine, 1.0, 0.0, -1.0);
}

sp_status sp_rfft_tables_init(sp_rfft_spec* spec, int32_t n, const float* sine, int32_t sineOrder) {
    sp_rfft_table(spec, sp_rfft_word_bitrev) = sp_fft_bitrev_table(n);
    if (sp_rfft_table(spec, sp_rfft_word_bitrev) == nullptr) return sp_status_no_memory;
    float* ownSine = nullptr;
    if (sine == nullptr) {
        ownSine = sp_fft_sine_table(n);
        if (ownSine == nullptr) return sp_status_no_memory;
        sine = ownSine;
        sineOrder = n;
    }
    sp_status status = sp_status_ok;
    spec->workSize = 0;
    if (n < 11) {
        sp_rfft_table(spec, sp_rfft_word_radix) = sp_fft_twiddles_radix4(n, sine, sineOrder);
        if (sp_rfft_table(spec, sp_rfft_word_radix) == nullptr) status = sp_status_no_memory;
    } else {
        status = sp_fft_large_tables(spec, n, sine, sineOrder);
        spec->workSize += 16;  // room to align a caller's buffer
    }
    sp_free(ownSine);
    return status;
}

namespace {

int64_t GenericLargestTableBytes(int32_t n) {
    int64_t largest = 4 * ((int64_t{1} << n) / 2 + 1);  // sine table of the real order
    if (n >= 11 && n <= 30 && sp_fft_large_split_table[n] != 0)
        largest = 8 * (int64_t{1} << n);  // level-0 block twiddles
    return largest;
}

}  // namespace

const sp_rfft_builder sp_rfft_builder_generic = {
    1,
    GenericLargestTableBytes,
    sp_fft_sine_table,
    sp_rfft_tables_init,
    sp_rfft_split_table,
    sp_rfft_merge_table,
};
