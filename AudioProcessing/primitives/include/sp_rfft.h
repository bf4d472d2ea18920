// Real FFT of N = 2^order 32-bit floats (order 0..30): the plan object
// (sp_rfft_spec) that prepares it, the forward and inverse transforms into and
// out of the packed spectrum, and the conjugate product of two packed spectra.
//
// A transform of order 4 and above runs as a complex FFT of M = N/2 points over
// the pairs (x[2j], x[2j+1]) plus a real split (forward) or merge (inverse)
// pass; orders 0 to 3 run straight-line codelets.  Every processor variant
// builds the same object but its own table layouts and work size, so a
// plan is used only with the transforms of the variant that built it.
//
// Spectrum layouts:
//   packed (sp_packed_spectrum):  X0, Re X1, Im X1, ..., Re X(N/2-1), Im X(N/2-1), X(N/2)
//   internal ("perm") order:      X0, X(N/2), Re X1, Im X1, ..., Re X(N/2-1), Im X(N/2-1)
// For N = 1 the only value is X0; for N = 2 both layouts are X0, X1.
//
// All routines are reentrant: a plan is read-only after creation and
// may serve several transforms at once as long as each has its own data and
// work buffer.  They run at any IRQL at which the caller may use floating point
// and, for allocations, non-paged pool.
#pragma once

#include "sp_status.h"

// Kind word of a real-FFT plan (sp_state_kind); 0 after release.
#define SP_STATE_KIND_RFFT 6
#define SP_RFFT_MAX_ORDER 30

// Scaling flags of sp_rfft_spec_init.
enum sp_rfft_flag : int32_t {
    sp_rfft_scale_forward = 1,  // forward multiplied by 1/N
    sp_rfft_scale_inverse = 2,  // inverse multiplied by 1/N
    sp_rfft_scale_sqrt = 4,     // both multiplied by 1/sqrt(N)
    sp_rfft_scale_none = 8,     // neither
};

// Word numbers of the owned tables (sp_rfft_table(spec, word)).
enum sp_rfft_word : int32_t {
    sp_rfft_word_bitrev = 7,    // bit-reverse table of the complex order
    sp_rfft_word_radix = 8,     // radix twiddles (large path: of the innermost rows)
    sp_rfft_word_quarter = 9,   // quarter twiddles of the unsplit large path
    sp_rfft_word_combine = 10,  // second combining table: never filled
    sp_rfft_word_split = 11,    // real split table (forward)
    sp_rfft_word_merge = 12,    // real merge table (inverse)
    sp_rfft_word_outer = 13,    // 13 + level: outer radix twiddles of a large-path level
    sp_rfft_word_block = 16,    // 16 + level: block (transposition) twiddles of a level
    sp_rfft_word_end = 19,
};

// The plan.  Field order follows the object's word order; the twelve
// owned table pointers are one array so that "word 13 + level" stays readable
// through sp_rfft_table.  Nothing outside the library depends on the layout.
struct sp_rfft_spec {
    int32_t kind;      // word 0: SP_STATE_KIND_RFFT, 0 once released
    int32_t order;     // word 1: N = 2^order
    int32_t fwdScale;  // word 2: 1 when the forward transform multiplies by factor
    int32_t invScale;  // word 3: 1 when the inverse transform multiplies by factor
    float factor;      // word 4: 1/N, 1/sqrt(N) or 0
    int32_t hint;      // word 5: stored as given, read by nothing
    int32_t workSize;  // word 6: bytes a transform needs as work buffer (0: none)
    void* tables[sp_rfft_word_end - sp_rfft_word_bitrev];  // words 7..18, owned
};

inline void*& sp_rfft_table(sp_rfft_spec* spec, int32_t word) {
    return spec->tables[word - sp_rfft_word_bitrev];
}
inline void* sp_rfft_table(const sp_rfft_spec* spec, int32_t word) {
    return spec->tables[word - sp_rfft_word_bitrev];
}

// ---- Plan ------------------------------------------------------------
// Builds a plan of the given order and scaling flag into *out.
// -8 null out; -15 order outside 0..30; -9 when memory is short (also when a
// table of this order would not fit the allocator); -16 flag not 1, 2, 4 or 8.
// On an error *out is not written and nothing stays allocated.
sp_status sp_rfft_spec_init(sp_rfft_spec** out, int32_t order, int32_t flag, int32_t hint);
// Builds the tables of complex order n into spec (bit-reverse, radix or large
// path) and sets word 6.  sine may be null (one of order n is then built and
// freed); otherwise it is a sine table of order sineOrder >= n + 1.  -9 on a
// failed allocation: what was stored already is freed by the plan's release.
sp_status sp_rfft_tables_init(sp_rfft_spec* spec, int32_t n, const float* sine, int32_t sineOrder);
// Work-buffer size in bytes: -8 null spec or size, -17 not a real-FFT plan.
sp_status sp_rfft_get_buf_size(const sp_rfft_spec* spec, int32_t* size);
// Releases a plan: -8 null, -17 not a real-FFT plan.
sp_status sp_rfft_spec_free(sp_rfft_spec* spec);
// Frees the owned tables, clears the kind word and frees the object; null is
// ignored.  Shared by every variant.
void sp_fft_spec_release(sp_rfft_spec* spec);

// ---- Transforms ----------------------------------------------------------------
// Checks, in this order: null spec -8; kind not 6 -17; null src or dst -8;
// -9 when a work buffer is needed, none was passed and none can be allocated
// (dst untouched).  src may equal dst (not otherwise overlap).  work, when
// given, holds at least sp_rfft_get_buf_size bytes and is used from its first
// 16-byte boundary.
sp_status sp_rfft_forward(const float* src, float* dst, const sp_rfft_spec* spec, uint8_t* work);
sp_status sp_rfft_inverse(const float* src, float* dst, const sp_rfft_spec* spec, uint8_t* work);
// The same transforms from and to the internal ("perm") order.
sp_status sp_rfft_forward_perm(const float* src, float* dst, const sp_rfft_spec* spec,
                               uint8_t* work);
sp_status sp_rfft_inverse_perm(const float* src, float* dst, const sp_rfft_spec* spec,
                               uint8_t* work);

// srcdst = src * conj(srcdst) bin by bin over n floats in the packed layout
// (element 0 and, for even n, element n-1 real).  -8 null, -6 n < 1.
sp_status sp_packed_spectrum_mul_conj(const float* src, float* srcdst, int32_t n);

// ---- Variant plumbing --------------------------------------------------------------
// The fronts above are one body run over a variant's kernels.  A SIMD variant
// supplies its own sp_rfft_variant and calls the shared fronts with it.

// Codelets of orders 0..3 in the internal order, indexed by order.
typedef void (*sp_fft_codelet_fn)(const float* src, float* dst);
typedef void (*sp_fft_codelet_scaled_fn)(const float* src, float* dst, float factor);
struct sp_fft_codelet_rows {
    sp_fft_codelet_fn real_fwd[4];
    sp_fft_codelet_scaled_fn real_fwd_scaled[4];
    sp_fft_codelet_fn real_inv[4];
    sp_fft_codelet_scaled_fn real_inv_scaled[4];
};
extern const sp_fft_codelet_rows sp_fft_codelet_table;

struct sp_rfft_variant {
    // Path limits by real order: fused bit reversal and radix passes up to
    // fusedLast (3: none), separate bit reversal then radix passes up to
    // separateLast, the large-order driver above.
    int32_t fusedLast;
    int32_t separateLast;
    // Fused kernels (may be null when fusedLast is 3); inverse runs in place.
    // Here and in the radix passes a non-null factor scales every output
    // value (the product a separate scale pass would form).
    void (*bitrev_radix_fwd)(const float* src, float* dst, int32_t count, const void* twiddles,
                             const int32_t* bitrev, float* work, const float* factor);
    void (*bitrev_radix_inv)(const float* src, float* dst, int32_t count, const void* twiddles,
                             const int32_t* bitrev, float* work, const float* factor);
    void (*bitrev_copy)(const float* src, float* dst, int32_t count, const int32_t* table);
    void (*bitrev_inplace)(float* data, int32_t count, const int32_t* table);
    // Radix passes on bit-reversed data; mark 1 asks for interleaved output.
    void (*radix_fwd)(float* data, int32_t count, const void* twiddles, float* work, int32_t mark,
                      const float* factor);
    void (*radix_inv)(float* data, int32_t count, const void* twiddles, float* work, int32_t mark,
                      const float* factor);
    // Large-order drivers on bit-reversed data of complex order n; they scale.
    void (*large_fwd)(const sp_rfft_spec* spec, float* data, int32_t n, float* work);
    void (*large_inv)(const sp_rfft_spec* spec, float* data, int32_t n, float* work);
    void (*scale)(float factor, float* data, int32_t count);
    // Real split and merge over M complex points.  Each processes the middle
    // bin M/2 exactly once.
    void (*split_fwd)(float* data, int32_t count, int32_t direction, const void* table);
    void (*merge_inv)(const float* src, float* dst, int32_t count, int32_t direction,
                      const void* table);
    const sp_fft_codelet_rows* codelets;
    // Allocation of a per-call work buffer (the variant's sp_alloc_bytes).
    void* (*alloc_bytes)(int32_t bytes);
    // Whole real transforms from order 4 (may be null): the split and the
    // merge folded into the passes next to them, and the packing into both,
    // with the bits of the passes above.  perm != 0: the internal order; work
    // is the aligned work buffer (null when the plan needs none).  False,
    // having touched nothing, where the order or the buffers do not allow
    // it; the fronts then run the passes above.
    bool (*real_fwd)(const sp_rfft_spec* spec, const float* src, float* dst, float* work,
                     int32_t perm);
    bool (*real_inv)(const sp_rfft_spec* spec, const float* src, float* dst, float* work,
                     int32_t perm);
};
extern const sp_rfft_variant sp_rfft_variant_generic;

// Shared fronts, run with a variant's kernels.  perm != 0 leaves the spectrum
// (forward) or takes it (inverse) in the internal order.
sp_status sp_rfft_forward_with(const sp_rfft_variant* variant, const float* src, float* dst,
                               const sp_rfft_spec* spec, uint8_t* work, int32_t perm);
sp_status sp_rfft_inverse_with(const sp_rfft_variant* variant, const float* src, float* dst,
                               const sp_rfft_spec* spec, uint8_t* work, int32_t perm);

// What a variant's plan builder supplies to the shared creation steps.
struct sp_rfft_builder {
    // 1/N and 1/sqrt(N) in extended precision (generic) or single precision.
    int32_t extendedFactor;
    // Largest single table in bytes for complex order n (64-bit), so that an
    // order whose tables cannot be had fails before any work is done.
    int64_t (*largest_table_bytes)(int32_t n);
    float* (*sine_table)(int32_t order);
    sp_status (*tables_init)(sp_rfft_spec* spec, int32_t n, const float* sine, int32_t sineOrder);
    float* (*split_table)(int32_t order, const float* sine);
    float* (*merge_table)(int32_t order, const float* sine);
};
extern const sp_rfft_builder sp_rfft_builder_generic;
sp_status sp_rfft_spec_init_with(const sp_rfft_builder* builder, sp_rfft_spec** out, int32_t order,
                                 int32_t flag, int32_t hint);
