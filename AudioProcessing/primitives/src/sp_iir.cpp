// IIR filters: the state block, the generic set-up and kernels, the fronts
// every variant's members share, and the generic members.
#include <new>

#include "sp_buffers.h"
#include "sp_iir_internal.h"
#include "sp_scale_internal.h"
#include "sp_vector.h"

using namespace sp_internal;

// ---- State block ------------------------------------------------------------------

namespace {

int64_t RoundUp16(int64_t bytes) {
    return (bytes + 15) & ~int64_t{15};
}

// Room to move the state to the first 16-byte boundary of the block.
constexpr int64_t kAlignSlack = 16;
constexpr int64_t kRowBytes = kIirLanes * sizeof(float);
constexpr int64_t kSectionRowBytes = 2 * kRowBytes;

}  // namespace

sp_iir_shape sp_iir_direct_shape(int32_t order, bool simd) {
    const int64_t n = order;
    return {2 * n + 1, n + 1, simd ? n + 1 : 0, simd ? n + 3 : 0, 0, simd};
}

int64_t sp_iir_block_bytes(const sp_iir_shape& shape) {
    int64_t bytes = kAlignSlack + RoundUp16(sizeof(sp_iir_state));
    bytes += RoundUp16(shape.taps * static_cast<int64_t>(sizeof(float)));
    bytes += RoundUp16(shape.delay * static_cast<int64_t>(sizeof(float)));
    bytes += (shape.numeratorRows + shape.lookaheadRows) * kRowBytes;
    bytes += shape.sectionRows * kSectionRowBytes;
    if (shape.simd) bytes += 2 * kIirChunk * static_cast<int64_t>(sizeof(float));
    return bytes;
}

sp_iir_state* sp_iir_lay_out(void* block, const sp_iir_shape& shape, uint32_t kind) {
    unsigned char* p = static_cast<unsigned char*>(block);
    p += (16 - (reinterpret_cast<uintptr_t>(p) & 15)) & 15;
    auto* state = new (p) sp_iir_state{};
    p += RoundUp16(sizeof(sp_iir_state));
    auto take = [&p](int64_t bytes) {
        float* region = reinterpret_cast<float*>(p);
        p += RoundUp16(bytes);
        return region;
    };
    state->kind = kind;
    state->taps = take(shape.taps * static_cast<int64_t>(sizeof(float)));
    state->delay = take(shape.delay * static_cast<int64_t>(sizeof(float)));
    if (shape.numeratorRows > 0) state->numerator = take(shape.numeratorRows * kRowBytes);
    if (shape.lookaheadRows > 0) state->lookahead = take(shape.lookaheadRows * kRowBytes);
    if (shape.sectionRows > 0) state->sectionTable = take(shape.sectionRows * kSectionRowBytes);
    if (shape.simd) {
        state->work1 = take(kIirChunk * static_cast<int64_t>(sizeof(float)));
        state->work2 = take(kIirChunk * static_cast<int64_t>(sizeof(float)));
    }
    state->block = block;
    return state;
}

// ---- Shared set-up and fronts --------------------------------------------------------

namespace sp_internal {

sp_status IirStateSize(int32_t order, bool simd, int64_t* size) {
    *size = sp_iir_block_bytes(sp_iir_direct_shape(order, simd));
    return sp_status_ok;
}

sp_status IirStateInit(sp_iir_state** ppState, const float* taps, int32_t order, const float* delay,
                       void* block, uint32_t kind, const IirSetup& setup) {
    sp_iir_state* state = sp_iir_lay_out(block, sp_iir_direct_shape(order, setup.simd), kind);
    state->length = order;
    *ppState = state;
    // Order 0 has no memory: no kernel reads its delay line.
    if (order > 0) {
        setup.load(state, delay);
        state->delay[order] = 0.0f;
    }
    const sp_status status = setup.taps(taps, state);
    // A state refused for its a0 is still handed out; with its taps and tables
    // already zero, an empty delay line makes it filter to silence.
    if (status != sp_status_ok && order > 0) setup.zero(state->delay, order);
    return status;
}

namespace {

sp_status IirCreate(sp_iir_state** ppState, const float* taps, int32_t order, const float* delay,
                    uint32_t kind, const IirSetup& setup) {
    int64_t bytes = 0;
    IirStateSize(order, setup.simd, &bytes);
    // sp_alloc_bytes takes a 32-bit count: a larger state cannot be had.
    if (bytes > INT32_MAX) return sp_status_no_memory;
    void* block = sp_alloc_bytes(static_cast<int32_t>(bytes));
    if (block == nullptr) return sp_status_no_memory;
    const sp_status status = IirStateInit(ppState, taps, order, delay, block, kind, setup);
    (*ppState)->ownsMemory = 1;
    return status;
}

bool InFamily(const sp_iir_state* state, const IirFamily& family) {
    return state->kind == family.direct || state->kind == family.cascade;
}

}  // namespace

sp_status IirCreateFront(sp_iir_state** ppState, const float* taps, int32_t order,
                         const float* delay, const IirFamily& family, const IirSetup& setup) {
    if (ppState == nullptr || taps == nullptr) return sp_status_null_ptr;
    if (order < 0) return sp_status_iir_order;
    return IirCreate(ppState, taps, order, delay, family.direct, setup);
}

sp_status IirFilterFront(const int16_t* src, int16_t* dst, int32_t len, sp_iir_state* state,
                         int32_t scale, const IirFamily& family, const IirKernels& kernels) {
    if (state == nullptr || src == nullptr || dst == nullptr) return sp_status_null_ptr;
    if (len < 1) return sp_status_bad_size;
    if (!InFamily(state, family)) return sp_status_wrong_state;
    // A state of the generic layout has no tables for the SIMD kernels to read.
    if (kernels.simd && state->work1 == nullptr) return sp_status_wrong_state;
    const IirKernelFn kernel = state->kind == family.direct ? kernels.direct : kernels.cascade;
    return kernel(src, dst, len, state, scale);
}

sp_status IirSetDelayFront(sp_iir_state* state, const float* delay, IirLoadFn load) {
    if (state == nullptr) return sp_status_null_ptr;
    if (!InFamily(state, kIirFamilyA)) return sp_status_wrong_state;
    return load(state, delay);
}

sp_status IirFreeFront(sp_iir_state* state, const IirFamily& family) {
    if (state == nullptr) return sp_status_null_ptr;
    if (!InFamily(state, family)) return sp_status_wrong_state;
    if (state->ownsMemory != 0) sp_free(state->block);
    return sp_status_ok;
}

}  // namespace sp_internal

// ---- Generic set-up -------------------------------------------------------------------

sp_status sp_iir_state_size(int32_t order, int64_t* size) {
    return IirStateSize(order, false, size);
}

sp_status sp_iir_load_delay_line(sp_iir_state* state, const float* delay) {
    if (delay != nullptr) {
        sp_copy_f32(delay, state->delay, state->length);
    } else {
        sp_zero_f32(state->delay, state->length);
    }
    return sp_status_ok;
}

sp_status sp_iir_normalize_taps(const float* coefficients, sp_iir_state* state) {
    const int32_t n = state->length;
    const float a0 = coefficients[n + 1];
    // Zero (either sign) and NaN are refused alike.
    if (!(a0 > 0.0f || a0 < 0.0f)) {
        sp_zero_f32(state->taps, 2 * n + 1);
        return sp_status_divide_by_zero;
    }
    const double inv = 1.0 / static_cast<double>(a0);
    float* taps = state->taps;
    taps[0] = static_cast<float>(coefficients[0] * inv);
    for (int32_t k = 1; k <= n; ++k) {
        taps[k] = static_cast<float>(coefficients[k] * inv);
        taps[n + k] = static_cast<float>(coefficients[n + 1 + k] * inv);
    }
    return sp_status_ok;
}

namespace {
const IirSetup kGenericSetup = {false, sp_iir_load_delay_line, sp_iir_normalize_taps, sp_zero_f32};
}  // namespace

sp_status sp_iir_state_init(sp_iir_state** ppState, const float* taps, int32_t order,
                            const float* delay, void* block, uint32_t kind) {
    return IirStateInit(ppState, taps, order, delay, block, kind, kGenericSetup);
}

sp_status sp_iir_create_kernel(sp_iir_state** ppState, const float* taps, int32_t order,
                               const float* delay, uint32_t kind) {
    return IirCreate(ppState, taps, order, delay, kind, kGenericSetup);
}

// ---- Generic kernels ----------------------------------------------------------------------
// Products and sums in double against the f32 taps; only the delay elements
// are rounded to f32, when stored.

namespace {

inline int16_t Output(double y, double factor) {
    return RoundI16HalfAway(y * factor);
}

}  // namespace

sp_status sp_iir_kernel_i16(const int16_t* src, int16_t* dst, int32_t len, sp_iir_state* state,
                            int32_t scale) {
    const double factor = ExactScaleFactor(scale);
    const int32_t n = state->length;
    const float* b = state->taps;
    const float* a = state->taps + n;  // a[k] = ak/a0 for k = 1..n
    float* d = state->delay;
    const double b0 = b[0];
    if (n == 0) {
        for (int32_t i = 0; i < len; ++i) dst[i] = Output(src[i] * b0, factor);
        return sp_status_ok;
    }
    if (n == 1) {
        const double b1 = b[1], a1 = a[1];
        for (int32_t i = 0; i < len; ++i) {
            const double x = src[i];
            const double y = b0 * x + d[0];
            d[0] = static_cast<float>(x * b1 + (-a1 * y));
            dst[i] = Output(y, factor);
        }
        return sp_status_ok;
    }
    // Two samples per pass: the delay line is advanced once per pair, its
    // values between the two samples never rounded to f32.
    int32_t i = 0;
    for (; i + 2 <= len; i += 2) {
        const double x0 = src[i], x1 = src[i + 1];
        const double y0 = b0 * x0 + d[0];
        const double y1 = ((b[1] * x0 + d[1]) + (-a[1] * y0)) + b0 * x1;
        for (int32_t k = 0; k <= n - 2; ++k) {
            d[k] = static_cast<float>(
                (((b[k + 1] * x1 + (-a[k + 1]) * y1) + b[k + 2] * x0) + (-a[k + 2]) * y0) +
                d[k + 2]);
        }
        d[n - 1] = static_cast<float>(b[n] * x1 + (-a[n] * y1));
        dst[i] = Output(y0, factor);
        dst[i + 1] = Output(y1, factor);
    }
    if (i < len) {
        const double x = src[i];
        const double y = b0 * x + d[0];
        for (int32_t k = 0; k < n; ++k) {
            d[k] = static_cast<float>((b[k + 1] * x + a[k + 1] * (-y)) + d[k + 1]);
        }
        dst[i] = Output(y, factor);
    }
    return sp_status_ok;
}

sp_status sp_iir_biquad_kernel_i16(const int16_t* src, int16_t* dst, int32_t len,
                                   sp_iir_state* state, int32_t scale) {
    const double factor = ExactScaleFactor(scale);
    const int32_t sections = state->length / 2;
    for (int32_t i = 0; i < len; ++i) {
        if (sections < 1) {
            dst[i] = 0;
            continue;
        }
        double x = src[i];
        for (int32_t s = 0; s < sections; ++s) {
            const float* c = state->taps + 5 * s;  // b0, b1, b2, a1, a2
            float* d = state->delay + 2 * s;
            const double y = c[0] * x + d[0];
            d[0] = static_cast<float>((c[1] * x + d[1]) - c[3] * y);
            d[1] = static_cast<float>(c[2] * x + (-c[4] * y));
            x = y;
        }
        dst[i] = Output(x, factor);
    }
    return sp_status_ok;
}

// ---- Generic members -------------------------------------------------------------------------

namespace {
const IirKernels kGenericKernels = {sp_iir_kernel_i16, sp_iir_biquad_kernel_i16, false};
}  // namespace

sp_status sp_iir_create_a(sp_iir_state** ppState, const float* taps, int32_t order,
                          const float* delay) {
    return IirCreateFront(ppState, taps, order, delay, kIirFamilyA, kGenericSetup);
}
sp_status sp_iir_create_b(sp_iir_state** ppState, const float* taps, int32_t order,
                          const float* delay) {
    return IirCreateFront(ppState, taps, order, delay, kIirFamilyB, kGenericSetup);
}
sp_status sp_iir_filter_i16_scaled(const int16_t* src, int16_t* dst, int32_t len,
                                   sp_iir_state* state, int32_t scale) {
    return IirFilterFront(src, dst, len, state, scale, kIirFamilyA, kGenericKernels);
}
sp_status sp_iir_filter_i16_scaled_inplace(int16_t* srcdst, int32_t len, sp_iir_state* state,
                                           int32_t scale) {
    return IirFilterFront(srcdst, srcdst, len, state, scale, kIirFamilyA, kGenericKernels);
}
sp_status sp_iir_filter_b_i16_scaled(const int16_t* src, int16_t* dst, int32_t len,
                                     sp_iir_state* state, int32_t scale) {
    return IirFilterFront(src, dst, len, state, scale, kIirFamilyB, kGenericKernels);
}
sp_status sp_iir_set_delay_line(sp_iir_state* state, const float* delay) {
    return IirSetDelayFront(state, delay, sp_iir_load_delay_line);
}

// The free members hold no variant's code: one serves the generic and SSE
// columns, the other the SSE2 and SSE3 columns.
sp_status sp_iir_free_a(sp_iir_state* state) {
    return IirFreeFront(state, kIirFamilyA);
}
sp_status sp_iir_free_a_sse2(sp_iir_state* state) {
    return IirFreeFront(state, kIirFamilyA);
}
sp_status sp_iir_free_b(sp_iir_state* state) {
    return IirFreeFront(state, kIirFamilyB);
}
sp_status sp_iir_free_b_sse2(sp_iir_state* state) {
    return IirFreeFront(state, kIirFamilyB);
}
