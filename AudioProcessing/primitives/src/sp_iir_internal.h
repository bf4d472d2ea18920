// The IIR filter's state block and the set-up and kernels beneath the public
// members of sp_iir.h.  The fronts check their arguments and the state's kind;
// everything declared here assumes that has been done.
#pragma once

#include "sp_iir.h"

// Kind words: the first field of every state.
constexpr uint32_t kIirKindDirectA = 0x49493035;   // created by sp_iir_create_a
constexpr uint32_t kIirKindCascadeA = 0x49493036;  // accepted by family a, never created
constexpr uint32_t kIirKindDirectB = 0x49493039;   // created by sp_iir_create_b
constexpr uint32_t kIirKindCascadeB = 0x49493130;  // accepted by family b, never created

// Rows of the SIMD tables hold four f32 lanes (16 bytes, 16-byte aligned).
constexpr int32_t kIirLanes = 4;
// The SIMD members filter in chunks of this many samples, the size of each of
// their two work buffers.
constexpr int32_t kIirChunk = 1024;

// One block from sp_alloc_bytes holds the state, 16-byte aligned inside it,
// followed by the regions the pointers name, each 16-byte aligned.  A state
// is used only with the members of the variant that created it: the SIMD
// kernels need the tables and work buffers the generic set-up leaves null.
struct sp_iir_state {
    uint32_t kind;
    // Direct form of order n: b0..bn then a1..an, all divided by a0 (2n+1
    // values).  Cascade: b0, b1, b2, a1, a2 of each section, divided by its a0.
    float* taps;
    // Direct form: d[0..n] of the transposed direct form II; d[n] is 0 and
    // stays 0.  Cascade: d0, d1 of each section.
    float* delay;
    // Direct form: the order n.  Cascade: two delay elements per section.
    // sp_iir_set_delay_line loads this many elements.
    int32_t length;
    // SIMD layout only: row k = taps[k] in all four lanes (direct form: n+1
    // rows; cascade: b0, b1, b2 of each section).
    float* numerator;
    // SIMD layout only: rows L[0..n-1] giving the four next outputs from the
    // past outputs, then rows n..n+2 weighting the numerator sums (cascade: the
    // five order-2 rows of each section).
    float* lookahead;
    int32_t sections;  // cascade: number of sections; direct form: 0
    // Cascade, SIMD layout: per section b0, b1, b2, -, -a1, -a2, -, - (the "-"
    // lanes carry nothing a result depends on).
    float* sectionTable;
    float* work1;         // SIMD layout: numerator sums of the current chunk (1024 f32)
    float* work2;         // SIMD layout: unscaled outputs of the current chunk (1024 f32)
    void* block;          // the allocation the state lives in, what free gives back
    uint32_t ownsMemory;  // 1: the family's free releases the block
};

// Region sizes of a state block, in elements of the arrays or in rows of four.
struct sp_iir_shape {
    int64_t taps;
    int64_t delay;
    int64_t numeratorRows;  // 0 in the generic layout
    int64_t lookaheadRows;
    int64_t sectionRows;
    bool simd;  // work buffers present
};

// The direct form of order n in the generic or the SIMD layout.
sp_iir_shape sp_iir_direct_shape(int32_t order, bool simd);
// Bytes of the block for a shape, computed in 64 bits (alignment slack
// included); may exceed what sp_alloc_bytes can hand out.
int64_t sp_iir_block_bytes(const sp_iir_shape& shape);
// Lays a state of `shape` out in `block` (at least sp_iir_block_bytes long):
// kind and pointers set, length and sections 0, owns-memory 0, block kept;
// nothing else is written.
sp_iir_state* sp_iir_lay_out(void* block, const sp_iir_shape& shape, uint32_t kind);

// ---- Set-up (generic member, and each SIMD member with its suffix) ----------
// Byte count of a state block of order n; returns 0.
sp_status sp_iir_state_size(int32_t order, int64_t* size);
sp_status sp_iir_state_size_sse(int32_t order, int64_t* size);
sp_status sp_iir_state_size_sse2(int32_t order, int64_t* size);
sp_status sp_iir_state_size_sse3(int32_t order, int64_t* size);

// Lays the state out in `block`, stores it in *ppState, loads the delay line
// (n > 0) with d[n] = 0, and returns the taps' status (0 or -10; on -10 the
// taps, tables and delay line are zero).
sp_status sp_iir_state_init(sp_iir_state** ppState, const float* taps, int32_t order,
                            const float* delay, void* block, uint32_t kind);
sp_status sp_iir_state_init_sse(sp_iir_state** ppState, const float* taps, int32_t order,
                                const float* delay, void* block, uint32_t kind);
sp_status sp_iir_state_init_sse2(sp_iir_state** ppState, const float* taps, int32_t order,
                                 const float* delay, void* block, uint32_t kind);
sp_status sp_iir_state_init_sse3(sp_iir_state** ppState, const float* taps, int32_t order,
                                 const float* delay, void* block, uint32_t kind);

// Copies `length` delay elements from delay, or zeroes them for null, with the
// variant's own copy and zero; returns 0.
sp_status sp_iir_load_delay_line(sp_iir_state* state, const float* delay);
sp_status sp_iir_load_delay_line_sse(sp_iir_state* state, const float* delay);
sp_status sp_iir_load_delay_line_sse2(sp_iir_state* state, const float* delay);
sp_status sp_iir_load_delay_line_sse3(sp_iir_state* state, const float* delay);

// Fills the state's taps (length taken as the order) from the caller's
// b0..bn a0..an: the generic set-up with 1/a0 in double, each product rounded
// to f32.  -10 when a0 is zero or NaN, the taps then zero.
sp_status sp_iir_normalize_taps(const float* coefficients, sp_iir_state* state);
// The SIMD set-up: 1/a0 in f32, taps, numerator table and look-ahead table;
// all three members build the same bits.  -10 with taps and tables zero.
sp_status sp_iir_build_tables_sse(const float* coefficients, sp_iir_state* state);
sp_status sp_iir_build_tables_sse2(const float* coefficients, sp_iir_state* state);
sp_status sp_iir_build_tables_sse3(const float* coefficients, sp_iir_state* state);

// Size, one sp_alloc_bytes block (-9 with nothing stored when it cannot be
// had), init, owns-memory 1; the init's status.
sp_status sp_iir_create_kernel(sp_iir_state** ppState, const float* taps, int32_t order,
                               const float* delay, uint32_t kind);

// ---- Generic kernels ------------------------------------------------------------
// Direct form and cascade over len >= 1 samples in double, outputs times
// 2^-scale rounded half away from zero and saturated; src may equal dst.
sp_status sp_iir_kernel_i16(const int16_t* src, int16_t* dst, int32_t len, sp_iir_state* state,
                            int32_t scale);
sp_status sp_iir_biquad_kernel_i16(const int16_t* src, int16_t* dst, int32_t len,
                                   sp_iir_state* state, int32_t scale);

// ---- Pieces the members of every variant share ---------------------------------
namespace sp_internal {

typedef sp_status (*IirLoadFn)(sp_iir_state* state, const float* delay);
typedef sp_status (*IirTapsFn)(const float* coefficients, sp_iir_state* state);
typedef sp_status (*IirZeroFn)(float* dst, int32_t len);
typedef sp_status (*IirKernelFn)(const int16_t* src, int16_t* dst, int32_t len, sp_iir_state* state,
                                 int32_t scale);

// What a variant's set-up is made of.
struct IirSetup {
    bool simd;
    IirLoadFn load;
    IirTapsFn taps;
    IirZeroFn zero;
};
// A variant's filtering routines for the two structures.
struct IirKernels {
    IirKernelFn direct;
    IirKernelFn cascade;
    bool simd;  // the kernels need the SIMD layout's tables and work buffers
};
// The two kinds a family accepts; the first is the one its create stamps.
struct IirFamily {
    uint32_t direct;
    uint32_t cascade;
};
constexpr IirFamily kIirFamilyA = {kIirKindDirectA, kIirKindCascadeA};
constexpr IirFamily kIirFamilyB = {kIirKindDirectB, kIirKindCascadeB};

sp_status IirStateSize(int32_t order, bool simd, int64_t* size);
sp_status IirStateInit(sp_iir_state** ppState, const float* taps, int32_t order, const float* delay,
                       void* block, uint32_t kind, const IirSetup& setup);
// The public operations: their checks in the library's order, then the work.
sp_status IirCreateFront(sp_iir_state** ppState, const float* taps, int32_t order,
                         const float* delay, const IirFamily& family, const IirSetup& setup);
sp_status IirFilterFront(const int16_t* src, int16_t* dst, int32_t len, sp_iir_state* state,
                         int32_t scale, const IirFamily& family, const IirKernels& kernels);
sp_status IirSetDelayFront(sp_iir_state* state, const float* delay, IirLoadFn load);
sp_status IirFreeFront(sp_iir_state* state, const IirFamily& family);

}  // namespace sp_internal
