// Cross-correlation (entry 67): the front shared by every member, the FFT
// path, the direct path's case split, and the generic member with its f32
// kernels.  All lag and length arithmetic is 64-bit: extreme lowLag or length
// arguments must not wrap into a wrong window.
#include "sp_xcorr.h"

#include "sp_buffers.h"

namespace {

inline int64_t Min64(int64_t a, int64_t b) {
    return a < b ? a : b;
}
inline int64_t Max64(int64_t a, int64_t b) {
    return a > b ? a : b;
}

// ---- Generic kernels ---------------------------------------------------------------
// Four lags per pass: each loaded b[n] serves four sums.  Sums run in ascending
// n, products and sums in double (exact products of two f32 values).

// fwd (step +1) and rev (step -1): sum i has m - i terms.
void Triangular(const float* a, const float* b, int32_t m, float* out, int32_t count,
                int32_t step) {
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        double s[4] = {0, 0, 0, 0};
        const int32_t common = m - i - 3 > 0 ? m - i - 3 : 0;  // n where all four lags have a term
        for (int32_t n = 0; n < common; ++n) {
            const double bn = b[n];
            for (int32_t t = 0; t < 4; ++t) s[t] += bn * a[n + i + t];
        }
        // The longer sums get their last terms after the common loop.
        for (int32_t t = 0; t < 3; ++t)
            for (int32_t n = common; n <= m - 1 - i - t; ++n)
                s[t] += static_cast<double>(b[n]) * a[n + i + t];
        for (int32_t t = 0; t < 4; ++t) out[step * (i + t)] = static_cast<float>(s[t]);
    }
    for (; i < count; ++i) {
        double sum = 0;
        for (int32_t n = 0; n <= m - 1 - i; ++n) sum += static_cast<double>(b[n]) * a[n + i];
        out[step * i] = static_cast<float>(sum);
    }
}

// full (dir +1: a[n+i]) and mirror (dir -1: a[n-i]): m terms for every lag.
void Square(const float* a, const float* b, int32_t m, float* out, int32_t count, int32_t dir) {
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        double s[4] = {0, 0, 0, 0};
        for (int32_t n = 0; n < m; ++n) {
            const double bn = b[n];
            for (int32_t t = 0; t < 4; ++t) s[t] += bn * a[n + dir * (i + t)];
        }
        for (int32_t t = 0; t < 4; ++t) out[i + t] = static_cast<float>(s[t]);
    }
    for (; i < count; ++i) {
        double sum = 0;
        for (int32_t n = 0; n < m; ++n) sum += static_cast<double>(b[n]) * a[n + dir * i];
        out[i] = static_cast<float>(sum);
    }
}

// Runs the case split's kernels on the inputs (f32 copies or the samples).
template <typename T>
void RunPlan(int32_t len1, int32_t len2, int32_t lowLag, int32_t count, const T* src1,
             const T* src2, float* out,
             void (*const kernels[4])(const T*, const T*, int32_t, float*, int32_t)) {
    sp_xcorr_plan plan;
    sp_xcorr_direct_plan(len1, len2, lowLag, count, &plan);
    for (int32_t k = 0; k < plan.steps; ++k) {
        const sp_xcorr_step& s = plan.step[k];
        kernels[s.kernel]((s.aFromSrc2 ? src2 : src1) + s.aOffset, s.bFromSrc2 ? src2 : src1, s.m,
                          out + s.out, s.count);
    }
}

void Fwd(const float* a, const float* b, int32_t m, float* out, int32_t count) {
    Triangular(a, b, m, out, count, 1);
}
void Rev(const float* a, const float* b, int32_t m, float* out, int32_t count) {
    Triangular(a, b, m, out, count, -1);
}
void Full(const float* a, const float* b, int32_t m, float* out, int32_t count) {
    Square(a, b, m, out, count, 1);
}
void Mirror(const float* a, const float* b, int32_t m, float* out, int32_t count) {
    Square(a, b, m, out, count, -1);
}

sp_status DirectGeneric(const sp_xcorr_variant* variant, const int16_t* src1, int32_t len1,
                        const int16_t* src2, int32_t len2, int16_t* dst, int32_t count,
                        int32_t lowLag, int32_t scale) {
    auto* f1 = static_cast<float*>(variant->alloc_32(len1));
    auto* f2 = static_cast<float*>(variant->alloc_32(len2));
    auto* out = static_cast<float*>(variant->alloc_32(count));
    if (f1 == nullptr || f2 == nullptr || out == nullptr) {
        sp_free(f1);
        sp_free(f2);
        sp_free(out);
        return sp_status_no_memory;
    }
    variant->convert_i16_to_f32(src1, f1, len1);
    variant->convert_i16_to_f32(src2, f2, len2);
    static void (*const kKernels[4])(const float*, const float*, int32_t, float*, int32_t) = {
        Fwd, Rev, Full, Mirror};
    RunPlan<float>(len1, len2, lowLag, count, f1, f2, out, kKernels);
    variant->convert_f32_to_i16(out, dst, count, 1, scale);
    sp_free(f1);
    sp_free(f2);
    sp_free(out);
    return sp_status_ok;
}

}  // namespace

void sp_xcorr_direct_fwd(const float* a, const float* b, int32_t m, float* out, int32_t count) {
    Fwd(a, b, m, out, count);
}
void sp_xcorr_direct_rev(const float* a, const float* b, int32_t m, float* out, int32_t count) {
    Rev(a, b, m, out, count);
}
void sp_xcorr_direct_full(const float* a, const float* b, int32_t m, float* out, int32_t count) {
    Full(a, b, m, out, count);
}
void sp_xcorr_direct_mirror(const float* a, const float* b, int32_t m, float* out, int32_t count) {
    Mirror(a, b, m, out, count);
}

void sp_xcorr_direct_plan(int32_t len1, int32_t len2, int32_t lowLag, int32_t count,
                          sp_xcorr_plan* plan) {
    plan->steps = 0;
    int32_t lag = lowLag;
    int32_t out = 0;
    auto add = [&](int32_t kernel, int32_t aFromSrc2, int32_t aOffset, int32_t bFromSrc2, int32_t m,
                   int32_t c) {
        plan->step[plan->steps++] =
            sp_xcorr_step{kernel,    aFromSrc2, aOffset,
                          bFromSrc2, m,         kernel == sp_xcorr_kernel_rev ? out + c - 1 : out,
                          c};
        out += c;
        count -= c;
        lag += c;
    };
    if (len1 <= len2) {
        const int32_t d = len2 - len1;
        if (count > 0 && lag < 0) {  // negative lags, most negative last
            const int32_t c = -lag < count ? -lag : count;
            const int32_t s = -lag - c;
            add(sp_xcorr_kernel_rev, 0, s + 1, 1, len1 - 1 - s, c);
        }
        if (count > 0 && lag < d) {  // full overlap
            const int32_t c = d - lag < count ? d - lag : count;
            add(sp_xcorr_kernel_full, 1, lag, 0, len1, c);
        }
        if (count > 0) add(sp_xcorr_kernel_fwd, 1, lag, 0, len2 - lag, count < len1 ? count : len1);
    } else {
        const int32_t d = len1 - len2;
        if (count > 0 && lag < -d) {  // negative lags below -d
            const int32_t c = -lag - d < count ? -lag - d : count;
            const int32_t s = -lag - d - c;
            add(sp_xcorr_kernel_rev, 0, d + s + 1, 1, len2 - 1 - s, c);
        }
        if (count > 0 && lag < 0) {  // full-overlap negative lags
            const int32_t j = -lag < d ? -lag : d;
            add(sp_xcorr_kernel_mirror, 0, j, 1, len2, j < count ? j : count);
        }
        if (count > 0)
            add(sp_xcorr_kernel_fwd, 1, lag, 0, len2 - lag,
                len2 - lag < count ? len2 - lag : count);
    }
}

namespace {

// The plan and buffers of one FFT-path call, kept or made for it.
struct FftResources {
    sp_rfft_spec* spec;
    uint8_t* work;
    float* block;
};

void FreeResources(const sp_xcorr_fft_ops* fft, const FftResources& r) {
    if (r.spec != nullptr) fft->spec_free(r.spec);
    sp_free(r.block);
    sp_free(r.work);
}

// The work buffer the plan asks for; null when it needs none or none can be
// had (not an error: the transforms then make their own).
uint8_t* AllocWork(const sp_xcorr_variant* variant, const sp_rfft_spec* spec) {
    int32_t workBytes = 0;
    variant->fft->get_buf_size(spec, &workBytes);
    return static_cast<uint8_t*>(workBytes > 0 ? variant->alloc_bytes(workBytes) : nullptr);
}

// Plan, work buffer and the two blocks of 2^order floats; on an error nothing
// stays allocated.
sp_status MakeResources(const sp_xcorr_variant* variant, int32_t order, FftResources* r) {
    *r = FftResources{nullptr, nullptr, nullptr};
    const int64_t size = int64_t{1} << order;
    const sp_status status = variant->fft->spec_init(&r->spec, order, sp_rfft_scale_inverse, 0);
    if (status != sp_status_ok) {
        r->spec = nullptr;
        return status;
    }
    r->work = AllocWork(variant, r->spec);
    r->block = static_cast<float*>(
        2 * size <= 0x7FFFFFFF ? variant->alloc_32(static_cast<int32_t>(2 * size)) : nullptr);
    if (r->block == nullptr) {
        FreeResources(variant->fft, *r);
        *r = FftResources{nullptr, nullptr, nullptr};
        return sp_status_no_memory;
    }
    return sp_status_ok;
}

// What the keep holds when it was built by this member for this order;
// otherwise the keep is emptied and refilled.
sp_status KeptResources(const sp_xcorr_variant* variant, int32_t order, sp_xcorr_keep* keep,
                        FftResources* r) {
    if (keep->owner != variant || keep->order != order || keep->spec == nullptr) {
        sp_xcorr_keep_release(keep);
        const sp_status status = MakeResources(variant, order, r);
        if (status != sp_status_ok) return status;
        *keep = sp_xcorr_keep{variant, order, r->spec, r->work, r->block};
        return sp_status_ok;
    }
    // A work buffer that could not be had before is asked for again.
    if (keep->work == nullptr) keep->work = AllocWork(variant, keep->spec);
    *r = FftResources{keep->spec, keep->work, keep->block};
    return sp_status_ok;
}

}  // namespace

void sp_xcorr_keep_release(sp_xcorr_keep* keep) {
    if (keep == nullptr) return;
    if (keep->owner != nullptr)
        FreeResources(keep->owner->fft, FftResources{keep->spec, keep->work, keep->block});
    *keep = sp_xcorr_keep{nullptr, 0, nullptr, nullptr, nullptr};
}

sp_status sp_xcorr_fft_with(const sp_xcorr_variant* variant, const int16_t* src1, int32_t len1,
                            const int16_t* src2, int32_t len2, int16_t* dst, int32_t count,
                            int32_t firstIndex, int32_t scale, sp_xcorr_keep* keep) {
    const sp_xcorr_fft_ops* fft = variant->fft;
    const int64_t total = int64_t{len1} + len2 - 1;
    int32_t order = 1;
    while ((int64_t{1} << order) < total) ++order;
    if (order > SP_RFFT_MAX_ORDER) return sp_status_fft_order;
    const int64_t size = int64_t{1} << order;
    FftResources r;
    sp_status status = keep != nullptr ? KeptResources(variant, order, keep, &r)
                                       : MakeResources(variant, order, &r);
    if (status != sp_status_ok) return status;
    float* a = r.block;
    float* b = r.block + size;
    const int32_t n = static_cast<int32_t>(size);
    variant->convert_i16_to_f32(src1, a, len1);
    if (n > len1) variant->zero_f32(a + len1, n - len1);
    status = fft->forward(a, a, r.spec, r.work);
    if (status == sp_status_ok) {
        // src2 shifted by len1 - 1, so that position m holds lag m - (len1 - 1).
        if (len1 > 1) variant->zero_f32(b, len1 - 1);
        variant->convert_i16_to_f32(src2, b + len1 - 1, len2);
        if (size > total) variant->zero_f32(b + total, static_cast<int32_t>(size - total));
        status = fft->forward(b, b, r.spec, r.work);
    }
    if (status == sp_status_ok) {
        fft->mul_conj(b, a, n);
        status = fft->inverse(a, b, r.spec, r.work);
    }
    if (status == sp_status_ok) variant->convert_f32_to_i16(b + firstIndex, dst, count, 1, scale);
    if (keep == nullptr) FreeResources(fft, r);
    return status;
}

sp_status sp_xcorr_direct_simd(const sp_xcorr_variant* variant, const int16_t* src1, int32_t len1,
                               const int16_t* src2, int32_t len2, int16_t* dst, int32_t count,
                               int32_t lowLag, int32_t scale) {
    auto* out = static_cast<float*>(variant->alloc_32(count));
    if (out == nullptr) return sp_status_no_memory;
    RunPlan<int16_t>(len1, len2, lowLag, count, src1, src2, out, variant->kernels->kernel);
    variant->convert_f32_to_i16(out, dst, count, 1, scale);
    sp_free(out);
    return sp_status_ok;
}

sp_status sp_xcorr_with(const sp_xcorr_variant* variant, const int16_t* src1, int32_t len1,
                        const int16_t* src2, int32_t len2, int16_t* dst, int32_t dstLen,
                        int32_t lowLag, int32_t scale, sp_xcorr_keep* keep) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len1 < 1 || len2 < 1 || dstLen < 1) return sp_status_bad_size;
    int64_t lag = lowLag;
    int64_t count = dstLen;
    // Leading lags without overlap.
    const int64_t z = -(int64_t{len1} - 1) - lag;
    if (z > 0) {
        const int64_t c = Min64(z, count);
        variant->zero_i16(dst, static_cast<int32_t>(c));
        dst += c;
        count -= c;
        lag = -(int64_t{len1} - 1);
        if (count == 0) return sp_status_ok;
    }
    // Trailing lags without overlap.
    const int64_t v = Max64(0, int64_t{len2} - lag);
    if (count > v) {
        variant->zero_i16(dst + v, static_cast<int32_t>(count - v));
        count = v;
        if (v == 0) return sp_status_ok;
    }
    const int64_t shorter = Min64(len1, len2), longer = Max64(len1, len2);
    int64_t w;
    if (variant->floatPathChoice) {
        w = static_cast<int64_t>(static_cast<float>(count) * static_cast<float>(shorter) /
                                 static_cast<float>(longer));
    } else {
        w = static_cast<int64_t>(static_cast<double>(count) * static_cast<double>(shorter) /
                                 static_cast<double>(longer));
    }
    if (w > SP_XCORR_DIRECT_MAX_W) {
        const int64_t firstIndex = Max64(0, int64_t{lowLag} + len1 - 1);
        return sp_xcorr_fft_with(variant, src1, len1, src2, len2, dst, static_cast<int32_t>(count),
                                 static_cast<int32_t>(firstIndex), scale, keep);
    }
    return variant->direct(variant, src1, len1, src2, len2, dst, static_cast<int32_t>(count),
                           static_cast<int32_t>(lag), scale);
}

const sp_xcorr_fft_ops sp_xcorr_fft_generic = {
    sp_rfft_spec_init, sp_rfft_get_buf_size, sp_rfft_spec_free,
    sp_rfft_forward,   sp_rfft_inverse,      sp_packed_spectrum_mul_conj,
};

namespace {

const sp_xcorr_variant kGeneric = {
    0,
    sp_zero_i16,
    sp_zero_f32,
    sp_convert_i16_to_f32,
    sp_convert_f32_to_i16_scaled,
    sp_alloc_32,
    sp_alloc_bytes,
    DirectGeneric,
    nullptr,
    &sp_xcorr_fft_generic,
};

}  // namespace

sp_status sp_xcorr_fft(const int16_t* src1, int32_t len1, const int16_t* src2, int32_t len2,
                       int16_t* dst, int32_t count, int32_t firstIndex, int32_t scale) {
    return sp_xcorr_fft_with(&kGeneric, src1, len1, src2, len2, dst, count, firstIndex, scale,
                             nullptr);
}

sp_status sp_xcorr_i16_scaled(const int16_t* src1, int32_t len1, const int16_t* src2, int32_t len2,
                              int16_t* dst, int32_t dstLen, int32_t lowLag, int32_t scale) {
    return sp_xcorr_with(&kGeneric, src1, len1, src2, len2, dst, dstLen, lowLag, scale, nullptr);
}

sp_status sp_xcorr_i16_scaled_keep(const int16_t* src1, int32_t len1, const int16_t* src2,
                                   int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                   int32_t scale, sp_xcorr_keep* keep) {
    return sp_xcorr_with(&kGeneric, src1, len1, src2, len2, dst, dstLen, lowLag, scale, keep);
}
