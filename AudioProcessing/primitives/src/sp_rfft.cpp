// The real FFT's plan life cycle, its forward and inverse fronts (one
// body run over a variant's kernels), the generic codelets of orders 0..3 and
// the conjugate product of two packed spectra.
#include <math.h>
#include <string.h>

#include "sp_buffers.h"
#include "sp_fft.h"

// ---- Plan ----------------------------------------------------------

void sp_fft_spec_release(sp_rfft_spec* spec) {
    if (spec == nullptr) return;
    for (void*& table : spec->tables) {
        sp_free(table);
        table = nullptr;
    }
    spec->kind = 0;
    sp_free(spec);
}

sp_status sp_rfft_spec_init_with(const sp_rfft_builder* builder, sp_rfft_spec** out, int32_t order,
                                 int32_t flag, int32_t hint) {
    if (out == nullptr) return sp_status_null_ptr;
    if (order < 0 || order > SP_RFFT_MAX_ORDER) return sp_status_fft_order;
    auto* spec =
        static_cast<sp_rfft_spec*>(sp_alloc_bytes(static_cast<int32_t>(sizeof(sp_rfft_spec))));
    if (spec == nullptr) return sp_status_no_memory;
    memset(spec, 0, sizeof(*spec));
    spec->kind = SP_STATE_KIND_RFFT;
    spec->order = order;
    spec->hint = hint;
    const int64_t size = int64_t{1} << order;
    float inverseN, inverseRoot;
    if (builder->extendedFactor) {
        inverseN = static_cast<float>(1.0L / static_cast<long double>(size));
        inverseRoot = static_cast<float>(1.0L / sqrtl(static_cast<long double>(size)));
    } else {
        inverseN = 1.0f / static_cast<float>(size);
        inverseRoot = static_cast<float>(1.0 / sqrt(static_cast<double>(size)));
    }
    switch (flag) {
        case sp_rfft_scale_forward:
            spec->fwdScale = 1;
            spec->factor = inverseN;
            break;
        case sp_rfft_scale_inverse:
            spec->invScale = 1;
            spec->factor = inverseN;
            break;
        case sp_rfft_scale_sqrt:
            spec->fwdScale = spec->invScale = 1;
            spec->factor = inverseRoot;
            break;
        case sp_rfft_scale_none:
            break;
        default:
            sp_fft_spec_release(spec);
            return sp_status_fft_flag;
    }
    if (order < 4) {  // codelets: no tables, no work buffer
        *out = spec;
        return sp_status_ok;
    }
    const int32_t n = order - 1;
    // An order whose largest table cannot be had fails before any work.
    if (builder->largest_table_bytes(n) > 0x7FFFFFFF) {
        sp_fft_spec_release(spec);
        return sp_status_no_memory;
    }
    float* sine = builder->sine_table(order);
    sp_status status =
        sine == nullptr ? sp_status_no_memory : builder->tables_init(spec, n, sine, order);
    if (status == sp_status_ok) {
        sp_rfft_table(spec, sp_rfft_word_split) = builder->split_table(order, sine);
        sp_rfft_table(spec, sp_rfft_word_merge) = builder->merge_table(order, sine);
        if (sp_rfft_table(spec, sp_rfft_word_split) == nullptr ||
            sp_rfft_table(spec, sp_rfft_word_merge) == nullptr)
            status = sp_status_no_memory;
    }
    sp_free(sine);
    if (status != sp_status_ok) {
        sp_fft_spec_release(spec);
        return status;
    }
    *out = spec;
    return sp_status_ok;
}

sp_status sp_rfft_spec_init(sp_rfft_spec** out, int32_t order, int32_t flag, int32_t hint) {
    return sp_rfft_spec_init_with(&sp_rfft_builder_generic, out, order, flag, hint);
}

sp_status sp_rfft_get_buf_size(const sp_rfft_spec* spec, int32_t* size) {
    if (spec == nullptr || size == nullptr) return sp_status_null_ptr;
    if (spec->kind != SP_STATE_KIND_RFFT) return sp_status_wrong_state;
    *size = spec->workSize;
    return sp_status_ok;
}

sp_status sp_rfft_spec_free(sp_rfft_spec* spec) {
    if (spec == nullptr) return sp_status_null_ptr;
    if (spec->kind != SP_STATE_KIND_RFFT) return sp_status_wrong_state;
    sp_fft_spec_release(spec);
    return sp_status_ok;
}

// ---- Fronts -------------------------------------------------------------------

namespace {

sp_status CheckTransform(const float* src, const float* dst, const sp_rfft_spec* spec) {
    if (spec == nullptr) return sp_status_null_ptr;
    if (spec->kind != SP_STATE_KIND_RFFT) return sp_status_wrong_state;
    if (src == nullptr || dst == nullptr) return sp_status_null_ptr;
    return sp_status_ok;
}

// The caller's buffer from its first 16-byte boundary, or one of word-6 bytes
// made for this call (*owned, freed by the caller of this helper).  False when
// one is needed and cannot be had.
bool TakeWork(const sp_rfft_variant* variant, const sp_rfft_spec* spec, uint8_t* work,
              float** aligned, void** owned) {
    *aligned = nullptr;
    *owned = nullptr;
    if (spec->workSize <= 0) return true;
    if (work != nullptr) {
        const uintptr_t p = (reinterpret_cast<uintptr_t>(work) + 15) & ~static_cast<uintptr_t>(15);
        *aligned = reinterpret_cast<float*>(work + (p - reinterpret_cast<uintptr_t>(work)));
        return true;
    }
    *owned = variant->alloc_bytes(spec->workSize);
    *aligned = static_cast<float*>(*owned);
    return *owned != nullptr;
}

// Internal order -> packed: X(N/2) moves from position 1 to the end.
void Repack(float* dst, int64_t size) {
    const float nyquist = dst[1];
    memmove(dst + 1, dst + 2, static_cast<size_t>(size - 2) * sizeof(float));
    dst[size - 1] = nyquist;
}

// Packed -> internal order: X(N/2) moves from the end to position 1, the
// pairs between move up by one in a single move (src may be dst).
void Unpack(const float* src, float* dst, int64_t size) {
    const float dc = src[0];
    if (size < 2) {
        dst[0] = dc;
        return;
    }
    const float nyquist = src[size - 1];
    memmove(dst + 2, src + 1, static_cast<size_t>(size - 2) * sizeof(float));
    dst[0] = dc;
    dst[1] = nyquist;
}

}  // namespace

sp_status sp_rfft_forward_with(const sp_rfft_variant* variant, const float* src, float* dst,
                               const sp_rfft_spec* spec, uint8_t* work, int32_t perm) {
    const sp_status check = CheckTransform(src, dst, spec);
    if (check != sp_status_ok) return check;
    const int32_t order = spec->order;
    const int64_t size = int64_t{1} << order;
    if (order < 4) {
        if (spec->fwdScale)
            variant->codelets->real_fwd_scaled[order](src, dst, spec->factor);
        else
            variant->codelets->real_fwd[order](src, dst);
        if (!perm && size >= 4) Repack(dst, size);
        return sp_status_ok;
    }
    float* w;
    void* owned;
    if (!TakeWork(variant, spec, work, &w, &owned)) return sp_status_no_memory;
    const int32_t count = static_cast<int32_t>(size / 2);
    const void* radix = sp_rfft_table(spec, sp_rfft_word_radix);
    const auto* bitrev = static_cast<const int32_t*>(sp_rfft_table(spec, sp_rfft_word_bitrev));
    const float* factor = spec->fwdScale ? &spec->factor : nullptr;
    if (variant->real_fwd != nullptr && variant->real_fwd(spec, src, dst, w, perm)) {
        sp_free(owned);
        return sp_status_ok;
    }
    if (order <= variant->fusedLast) {
        variant->bitrev_radix_fwd(src, dst, count, radix, bitrev, w, factor);
    } else {
        if (src != dst)
            variant->bitrev_copy(src, dst, count, bitrev);
        else
            variant->bitrev_inplace(dst, count, bitrev);
        if (order <= variant->separateLast) {
            variant->radix_fwd(dst, count, radix, w, 1, factor);
        } else {
            variant->large_fwd(spec, dst, order - 1, w);
        }
    }
    // Bin 0 of the half-length transform holds the DC and Nyquist sums.
    const float a = dst[0], b = dst[1];
    dst[0] = a + b;
    dst[1] = a - b;
    variant->split_fwd(dst, count, 1, sp_rfft_table(spec, sp_rfft_word_split));
    if (!perm) Repack(dst, size);
    sp_free(owned);
    return sp_status_ok;
}

sp_status sp_rfft_inverse_with(const sp_rfft_variant* variant, const float* src, float* dst,
                               const sp_rfft_spec* spec, uint8_t* work, int32_t perm) {
    const sp_status check = CheckTransform(src, dst, spec);
    if (check != sp_status_ok) return check;
    const int32_t order = spec->order;
    const int64_t size = int64_t{1} << order;
    float* w = nullptr;
    void* owned = nullptr;
    if (order >= 4 && !TakeWork(variant, spec, work, &w, &owned)) return sp_status_no_memory;
    if (order >= 4 && variant->real_inv != nullptr && variant->real_inv(spec, src, dst, w, perm)) {
        sp_free(owned);
        return sp_status_ok;
    }
    if (perm) {
        if (src != dst) memcpy(dst, src, static_cast<size_t>(size) * sizeof(float));
    } else {
        Unpack(src, dst, size);
    }
    if (order < 4) {
        if (spec->invScale)
            variant->codelets->real_inv_scaled[order](dst, dst, spec->factor);
        else
            variant->codelets->real_inv[order](dst, dst);
        return sp_status_ok;
    }
    const int32_t count = static_cast<int32_t>(size / 2);
    const float r0 = dst[0], rn = dst[1];
    dst[0] = r0 + rn;
    dst[1] = r0 - rn;
    variant->merge_inv(dst, dst, count, -1, sp_rfft_table(spec, sp_rfft_word_merge));
    const void* radix = sp_rfft_table(spec, sp_rfft_word_radix);
    const auto* bitrev = static_cast<const int32_t*>(sp_rfft_table(spec, sp_rfft_word_bitrev));
    const float* factor = spec->invScale ? &spec->factor : nullptr;
    if (order <= variant->fusedLast) {
        variant->bitrev_radix_inv(dst, dst, count, radix, bitrev, w, factor);
    } else {
        variant->bitrev_inplace(dst, count, bitrev);
        if (order <= variant->separateLast) {
            variant->radix_inv(dst, count, radix, w, 1, factor);
        } else {
            variant->large_inv(spec, dst, order - 1, w);
        }
    }
    sp_free(owned);
    return sp_status_ok;
}

sp_status sp_rfft_forward(const float* src, float* dst, const sp_rfft_spec* spec, uint8_t* work) {
    return sp_rfft_forward_with(&sp_rfft_variant_generic, src, dst, spec, work, 0);
}
sp_status sp_rfft_inverse(const float* src, float* dst, const sp_rfft_spec* spec, uint8_t* work) {
    return sp_rfft_inverse_with(&sp_rfft_variant_generic, src, dst, spec, work, 0);
}
sp_status sp_rfft_forward_perm(const float* src, float* dst, const sp_rfft_spec* spec,
                               uint8_t* work) {
    return sp_rfft_forward_with(&sp_rfft_variant_generic, src, dst, spec, work, 1);
}
sp_status sp_rfft_inverse_perm(const float* src, float* dst, const sp_rfft_spec* spec,
                               uint8_t* work) {
    return sp_rfft_inverse_with(&sp_rfft_variant_generic, src, dst, spec, work, 1);
}

// ---- Conjugate product ------------------------------------------------------------

sp_status sp_packed_spectrum_mul_conj(const float* src, float* srcdst, int32_t n) {
    if (src == nullptr || srcdst == nullptr) return sp_status_null_ptr;
    if (n < 1) return sp_status_bad_size;
    srcdst[0] = static_cast<float>(static_cast<double>(srcdst[0]) * src[0]);
    if ((n & 1) == 0)
        srcdst[n - 1] = static_cast<float>(static_cast<double>(srcdst[n - 1]) * src[n - 1]);
    const int32_t pairs = (n - 1) / 2;  // (n-2)/2 for even n, (n-1)/2 for odd n
    for (int32_t p = 0; p < pairs; ++p) {
        const double a = src[1 + 2 * p], b = src[2 + 2 * p];
        const double c = srcdst[1 + 2 * p], d = srcdst[2 + 2 * p];
        srcdst[1 + 2 * p] = static_cast<float>(a * c + b * d);
        srcdst[2 + 2 * p] = static_cast<float>(b * c - a * d);
    }
    return sp_status_ok;
}

// ---- Generic codelets (internal order) ------------------------------------------------

namespace {

constexpr double kHalfRoot2 = 0.70710678118654752440;
// cos and sin of 2 pi j / 8.
constexpr double kCos8[8] = {1, kHalfRoot2, 0, -kHalfRoot2, -1, -kHalfRoot2, 0, kHalfRoot2};
constexpr double kSin8[8] = {0, kHalfRoot2, 1, kHalfRoot2, 0, -kHalfRoot2, -1, -kHalfRoot2};

void Fwd0(const float* s, float* d) {
    d[0] = s[0];
}
void Fwd1(const float* s, float* d) {
    const float x0 = s[0], x1 = s[1];
    d[0] = x0 + x1;
    d[1] = x0 - x1;
}
void Fwd2(const float* s, float* d) {
    const float x0 = s[0], x1 = s[1], x2 = s[2], x3 = s[3];
    const float e = x0 + x2, o = x3 + x1;
    d[0] = e + o;
    d[1] = e - o;
    d[2] = x0 - x2;
    d[3] = x3 - x1;
}
void Fwd3(const float* s, float* d) {
    double x[8];
    for (int t = 0; t < 8; ++t) x[t] = s[t];
    double re[5], im[5];
    for (int k = 0; k <= 4; ++k) {
        double r = 0, i = 0;
        for (int t = 0; t < 8; ++t) {
            r += x[t] * kCos8[(k * t) & 7];
            i -= x[t] * kSin8[(k * t) & 7];
        }
        re[k] = r;
        im[k] = i;
    }
    d[0] = static_cast<float>(re[0]);
    d[1] = static_cast<float>(re[4]);
    for (int k = 1; k <= 3; ++k) {
        d[2 * k] = static_cast<float>(re[k]);
        d[2 * k + 1] = static_cast<float>(im[k]);
    }
}
void Inv0(const float* s, float* d) {
    d[0] = s[0];
}
void Inv2(const float* s, float* d) {
    const float a0 = s[0], a1 = s[1], a2 = s[2], a3 = s[3];
    d[0] = a0 + a1 + 2 * a2;
    d[1] = a0 - a1 - 2 * a3;
    d[2] = a0 + a1 - 2 * a2;
    d[3] = a0 - a1 + 2 * a3;
}
void Inv3(const float* s, float* d) {
    double y[8];
    for (int t = 0; t < 8; ++t) {
        double v = s[0] + ((t & 1) ? -1.0 : 1.0) * s[1];
        for (int k = 1; k <= 3; ++k)
            v += 2.0 * (s[2 * k] * kCos8[(k * t) & 7] - s[2 * k + 1] * kSin8[(k * t) & 7]);
        y[t] = v;
    }
    for (int t = 0; t < 8; ++t) d[t] = static_cast<float>(y[t]);
}

template <void (*Codelet)(const float*, float*), int Points>
void Scaled(const float* s, float* d, float factor) {
    Codelet(s, d);
    sp_fft_scale_f32(factor, d, Points);
}

// Adapters from the variant interface to the generic kernels; the generic
// member scales in its last radix pass.
void RadixFwd(float* data, int32_t count, const void* twiddles, float*, int32_t,
              const float* factor) {
    sp_fft_radix_scaled(data, count, static_cast<const float*>(twiddles), 1, factor);
}
void RadixInv(float* data, int32_t count, const void* twiddles, float*, int32_t,
              const float* factor) {
    sp_fft_radix_scaled(data, count, static_cast<const float*>(twiddles), -1, factor);
}
void SplitFwd(float* data, int32_t count, int32_t direction, const void* table) {
    sp_rfft_split_fwd(data, count, direction, static_cast<const float*>(table));
}
void MergeInv(const float* src, float* dst, int32_t count, int32_t direction, const void* table) {
    sp_rfft_merge_inv(src, dst, count, direction, static_cast<const float*>(table));
}

}  // namespace

const sp_fft_codelet_rows sp_fft_codelet_table = {
    {Fwd0, Fwd1, Fwd2, Fwd3},
    {Scaled<Fwd0, 1>, Scaled<Fwd1, 2>, Scaled<Fwd2, 4>, Scaled<Fwd3, 8>},
    {Inv0, Fwd1, Inv2, Inv3},
    {Scaled<Inv0, 1>, Scaled<Fwd1, 2>, Scaled<Inv2, 4>, Scaled<Inv3, 8>},
};

const sp_rfft_variant sp_rfft_variant_generic = {
    3,   // no fused kernel
    11,  // separate bit reversal and radix passes up to order 11
    nullptr,
    nullptr,
    sp_fft_bitrev_copy,
    sp_fft_bitrev_inplace,
    RadixFwd,
    RadixInv,
    sp_fft_large_fwd,
    sp_fft_large_inv,
    sp_fft_scale_f32,
    SplitFwd,
    MergeInv,
    &sp_fft_codelet_table,
    sp_alloc_bytes,
    sp_rfft_generic_real_fwd,
    sp_rfft_generic_real_inv,
};
