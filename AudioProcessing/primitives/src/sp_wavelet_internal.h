// The wavelet filter bank's records and the branch operations beneath the
// public members of sp_wavelet.h.  The fronts check their arguments and the
// state; the branch runs assume a branch that has passed its side's check.
#pragma once

#include "sp_wavelet.h"

// Kind words of the two states (the first field).
constexpr int32_t kWaveletSplitKind = 45;
constexpr int32_t kWaveletMergeKind = 54;
// Full-rate samples handled per block through the state's work buffer.
constexpr int32_t kWaveletWorkLength = 1024;

// The last `size` samples pushed, kept twice over so that
// buffer[index .. index + size - 1] is always that history, oldest first, as
// one contiguous run.
struct sp_wavelet_delay_line {
    float* buffer;  // 2 * size values
    int32_t size;   // >= 1
    int32_t index;  // 0 <= index < size: the slot the next sample overwrites
};

struct sp_wavelet_split_taps {
    int32_t len;
    float* taps;  // len values, in the caller's order
    // Generic: len values, second[len - 1 - k] = taps[k].  SIMD: the pair
    // table of 4 * ((len + 1) / 2) values, groups {taps[k], taps[k - 1]} twice
    // for k = len - 1, len - 3, ..., {taps[0], 0} twice last when len is odd.
    float* second;
    // 1 when second is the pair table.  The two layouts differ in size, so a
    // run refuses a table of the other layout instead of reading past it.
    int32_t pairs;
};

// The decimating FIR of an analysis branch.
struct sp_wavelet_split_filter {
    sp_wavelet_split_taps* table;
    sp_wavelet_delay_line* delay;  // size len
    int32_t len;
    float* reversed;  // len values
    int32_t phase;    // 0: emit at the first sample of each input pair, 1: at the second
};

struct sp_wavelet_split_branch {
    sp_wavelet_split_filter* filter;
    sp_wavelet_delay_line* offsetDelay;  // null when the offset is -1 or 0
};

// Generic tables carry the polyphase arrays (even, odd, ne, no); SIMD tables
// carry the broadcast table instead and leave those null and 0, so each side's
// check refuses the other's table.
struct sp_wavelet_merge_taps {
    int32_t len;
    float* taps;  // len values, in order
    float* even;  // ne values, even[ne - 1 - j] = taps[2j]
    int32_t ne;
    float* odd;  // no values, odd[no - 1 - j] = taps[2j + 1]; null when no = 0
    int32_t no;
    // SIMD: 4 * (len rounded up to even) values, group g four copies of
    // taps[len - 1 - g]; an odd len ends with a group of zeros.
    float* broadcast;
};

// The interpolating FIR of a synthesis branch, in polyphase form.
struct sp_wavelet_merge_filter {
    sp_wavelet_merge_taps* table;
    sp_wavelet_delay_line* delay;  // size ne band samples
    int32_t len;
    int32_t phase;  // 0: the next output takes a new band sample (even sum), 1: odd sum
    float* even;
    int32_t ne;  // (len + 1) / 2
    float* odd;  // null when no = 0
    int32_t no;  // len / 2
};

struct sp_wavelet_merge_branch {
    sp_wavelet_merge_filter* filter;
    sp_wavelet_delay_line* offsetDelay;  // offset / 2 band samples; null when that is 0
};

// Both states share one layout.
struct sp_wavelet_split_state {
    int32_t kind;  // kWaveletSplitKind
    sp_wavelet_split_branch* branch1;
    sp_wavelet_split_branch* branch2;
    float* work;  // workLength values, null when workLength is 0
    int32_t workLength;
};

struct sp_wavelet_merge_state {
    int32_t kind;  // kWaveletMergeKind
    sp_wavelet_merge_branch* branch1;
    sp_wavelet_merge_branch* branch2;
    float* work;
    int32_t workLength;
};

// ---- Set-up -------------------------------------------------------------------
// Each builder returns the new branch, or null with nothing left allocated.
// The caller has refused null taps, len < 1 and offset < -1.
sp_wavelet_split_branch* sp_wavelet_split_branch_create(const float* taps, int32_t len,
                                                        int32_t offset);
sp_wavelet_merge_branch* sp_wavelet_merge_branch_create(const float* taps, int32_t len,
                                                        int32_t offset);
// The taps table; pairs selects the SIMD pair table as its second array.
sp_wavelet_split_taps* sp_wavelet_split_taps_create(const float* taps, int32_t len, bool pairs);
// The analysis branch of either table layout; the public builders are thin
// entries into it.
sp_wavelet_split_branch* sp_wavelet_split_branch_build(const float* taps, int32_t len,
                                                       int32_t offset, bool pairs);
sp_wavelet_split_branch* sp_wavelet_split_branch_create_sse(const float* taps, int32_t len,
                                                            int32_t offset);
sp_wavelet_split_branch* sp_wavelet_split_branch_create_sse2(const float* taps, int32_t len,
                                                             int32_t offset);
sp_wavelet_split_branch* sp_wavelet_split_branch_create_sse3(const float* taps, int32_t len,
                                                             int32_t offset);
// The synthesis taps table; broadcast selects the SIMD layout.
sp_wavelet_merge_taps* sp_wavelet_merge_taps_create(const float* taps, int32_t len, bool broadcast);
sp_wavelet_merge_filter* sp_wavelet_merge_filter_create(const float* taps, int32_t len,
                                                        int32_t phase, bool broadcast);
// The synthesis branch of either table layout; the public builders are thin
// entries into it.
sp_wavelet_merge_branch* sp_wavelet_merge_branch_build(const float* taps, int32_t len,
                                                       int32_t offset, bool broadcast);
sp_wavelet_merge_branch* sp_wavelet_merge_branch_create_sse(const float* taps, int32_t len,
                                                            int32_t offset);
sp_wavelet_merge_branch* sp_wavelet_merge_branch_create_sse2(const float* taps, int32_t len,
                                                             int32_t offset);
sp_wavelet_merge_branch* sp_wavelet_merge_branch_create_sse3(const float* taps, int32_t len,
                                                             int32_t offset);
// A zeroed delay line of `size` samples; null when size < 1 or memory is short.
sp_wavelet_delay_line* sp_wavelet_delay_line_create(int32_t size);

// Checks: 1 when the record is sound, else 0 (null gives 0).
int32_t sp_wavelet_branch_check(const sp_wavelet_split_branch* branch);
int32_t sp_wavelet_split_branch_check(const sp_wavelet_split_branch* branch);  // same tests
int32_t sp_wavelet_split_taps_check(const sp_wavelet_split_taps* table);
int32_t sp_wavelet_merge_branch_check(const sp_wavelet_merge_branch* branch);
int32_t sp_wavelet_merge_filter_check(const sp_wavelet_merge_filter* filter);
int32_t sp_wavelet_merge_taps_check(const sp_wavelet_merge_taps* table);
// The SIMD synthesis checks: the same tests on the broadcast layout.  The SSE3
// checks serve the SSE2 members as well.
int32_t sp_wavelet_merge_branch_check_sse(const sp_wavelet_merge_branch* branch);
int32_t sp_wavelet_merge_branch_check_sse3(const sp_wavelet_merge_branch* branch);
int32_t sp_wavelet_merge_filter_check_sse(const sp_wavelet_merge_filter* filter);
int32_t sp_wavelet_merge_filter_check_sse3(const sp_wavelet_merge_filter* filter);
int32_t sp_wavelet_merge_taps_check_sse(const sp_wavelet_merge_taps* table);
int32_t sp_wavelet_merge_taps_check_sse3(const sp_wavelet_merge_taps* table);
int32_t sp_wavelet_delay_line_check(const sp_wavelet_delay_line* line);

// Frees; null is ignored at every level.
void sp_wavelet_split_branch_free(sp_wavelet_split_branch* branch);
void sp_wavelet_merge_branch_free(sp_wavelet_merge_branch* branch);
void sp_wavelet_taps_free(sp_wavelet_split_taps* table);
void sp_wavelet_merge_filter_free(sp_wavelet_merge_filter* filter);
void sp_wavelet_merge_taps_free(sp_wavelet_merge_taps* table);  // either layout
void sp_wavelet_delay_line_free(sp_wavelet_delay_line* line);

// ---- Runs (generic) -------------------------------------------------------------
// Runs n input samples through an analysis branch; returns the band values
// written to dst (ceil((n - phase) / 2), counted at each run's phase).
int32_t sp_wavelet_split_branch_run(sp_wavelet_split_branch* branch, const float* src, int32_t n,
                                    float* dst);
// c outputs straight from a source run: output j is the filter value at s[2j],
// read from s[2j - len + 1 .. 2j].
void sp_wavelet_split_body(const sp_wavelet_split_taps* table, const float* s, float* dst,
                           int32_t c);
void sp_wavelet_split_body_sse(const sp_wavelet_split_taps* table, const float* s, float* dst,
                               int32_t c);
void sp_wavelet_split_body_sse2(const sp_wavelet_split_taps* table, const float* s, float* dst,
                                int32_t c);
void sp_wavelet_split_body_sse3(const sp_wavelet_split_taps* table, const float* s, float* dst,
                                int32_t c);
int32_t sp_wavelet_split_branch_run_sse(sp_wavelet_split_branch* branch, const float* src,
                                        int32_t n, float* dst);
int32_t sp_wavelet_split_branch_run_sse2(sp_wavelet_split_branch* branch, const float* src,
                                         int32_t n, float* dst);
int32_t sp_wavelet_split_branch_run_sse3(sp_wavelet_split_branch* branch, const float* src,
                                         int32_t n, float* dst);

// What an analysis branch run of one variant calls: the head sum (window
// oldest first against the reversed taps, rounded to f32), the body and the
// copy used for refills.  One driver serves every variant.
typedef sp_status (*sp_wavelet_copy_fn)(const float* src, float* dst, int32_t len);
struct sp_wavelet_split_kernels {
    float (*head)(const float* reversed, const float* window, int32_t len);
    void (*body)(const sp_wavelet_split_taps* table, const float* s, float* dst, int32_t c);
    sp_wavelet_copy_fn copy;
};
int32_t sp_wavelet_split_branch_run_with(const sp_wavelet_split_kernels& kernels,
                                         sp_wavelet_split_branch* branch, const float* src,
                                         int32_t n, float* dst);

// What a split front of one variant calls.
struct sp_wavelet_split_front {
    int32_t (*check)(const sp_wavelet_split_branch* branch);
    int32_t pairs;  // the taps-table layout the variant's bodies read
    sp_status (*convert)(const int16_t* src, float* dst, int32_t len);
    int32_t (*run)(sp_wavelet_split_branch* branch, const float* src, int32_t n, float* dst);
};
sp_status sp_wavelet_split_run_with(const sp_wavelet_split_front& front, const int16_t* src,
                                    float* band1, float* band2, int32_t len,
                                    sp_wavelet_split_state* state);
typedef sp_wavelet_split_branch* (*sp_wavelet_split_builder)(const float* taps, int32_t len,
                                                             int32_t offset);
sp_status sp_wavelet_split_create_with(sp_wavelet_split_builder build,
                                       sp_wavelet_split_state** ppState, const float* taps1,
                                       int32_t len1, int32_t offset1, const float* taps2,
                                       int32_t len2, int32_t offset2);

// k full-rate outputs of a synthesis branch written to (or, _add, added to)
// dst; returns the band samples consumed from src.
int32_t sp_wavelet_merge_branch_run(sp_wavelet_merge_branch* branch, const float* src, float* dst,
                                    int32_t k);
int32_t sp_wavelet_merge_branch_run_add(sp_wavelet_merge_branch* branch, const float* src,
                                        float* dst, int32_t k);
int32_t sp_wavelet_merge_filter_run(sp_wavelet_merge_filter* filter, const float* src, float* dst,
                                    int32_t k);
int32_t sp_wavelet_merge_filter_run_add(sp_wavelet_merge_filter* filter, const float* src,
                                        float* dst, int32_t k);

// k outputs straight from the band (the filter at phase 0): in[i] gives the
// even output of in[i], then its odd output; the window reaches back to
// in[i - ne + 1].  The SIMD bodies take the phase as well: at phase 1 the
// first output is an odd one.  _add adds to out.
typedef void (*sp_wavelet_merge_body_fn)(const sp_wavelet_merge_taps* table, const float* in,
                                         float* out, int32_t count, int32_t phase);
#define SP_WAVELET_MERGE_VARIANT(v)                                                                \
    int32_t sp_wavelet_merge_branch_run##v(sp_wavelet_merge_branch* branch, const float* src,      \
                                           float* dst, int32_t k);                                 \
    int32_t sp_wavelet_merge_branch_run_add##v(sp_wavelet_merge_branch* branch, const float* src,  \
                                               float* dst, int32_t k);                             \
    void sp_wavelet_merge_body##v(const sp_wavelet_merge_taps* table, const float* in, float* out, \
                                  int32_t count, int32_t phase);                                   \
    void sp_wavelet_merge_body_add##v(const sp_wavelet_merge_taps* table, const float* in,         \
                                      float* out, int32_t count, int32_t phase);                   \
    void sp_wavelet_merge_body_kernel##v(const float* w, float* out, int32_t count,                \
                                         const float* taps, int32_t len, int32_t q,                \
                                         const float* broadcast);                                  \
    void sp_wavelet_merge_body_kernel_add##v(const float* w, float* out, int32_t count,            \
                                             const float* taps, int32_t len, int32_t q,            \
                                             const float* broadcast);
SP_WAVELET_MERGE_VARIANT(_sse)
SP_WAVELET_MERGE_VARIANT(_sse2)
SP_WAVELET_MERGE_VARIANT(_sse3)
#undef SP_WAVELET_MERGE_VARIANT

// The SIMD bodies' common part: len 1 makes single-precision products at the
// body's phase and zeros (or nothing, adding) at the other; longer filters go
// to the variant's kernel with the window of the first output and the
// kernel's path.
typedef void (*sp_wavelet_merge_kernel_fn)(const float* w, float* out, int32_t count,
                                           const float* taps, int32_t len, int32_t q,
                                           const float* broadcast);
void sp_wavelet_merge_body_with(sp_wavelet_merge_kernel_fn kernel, bool add,
                                const sp_wavelet_merge_taps* table, const float* in, float* out,
                                int32_t count, int32_t phase);

// What a synthesis branch run of one variant calls: the dot product of the
// delay-line outputs (polyphase array against the window, oldest first; the
// SIMD members give a value already rounded to f32, so adding it to the old
// output in double and rounding once is their f32 addition), the body of each
// form and the copy used for refills.  One driver serves every variant.
struct sp_wavelet_merge_kernels {
    double (*dot)(const float* array, const float* window, int32_t n);
    sp_wavelet_merge_body_fn body;
    sp_wavelet_merge_body_fn bodyAdd;
    sp_wavelet_copy_fn copy;
};
int32_t sp_wavelet_merge_branch_run_with(const sp_wavelet_merge_kernels& kernels, bool add,
                                         sp_wavelet_merge_branch* branch, const float* src,
                                         float* dst, int32_t k);

// What a merge front of one variant calls.
struct sp_wavelet_merge_front {
    int32_t (*check)(const sp_wavelet_merge_branch* branch);
    int32_t (*run)(sp_wavelet_merge_branch* branch, const float* src, float* dst, int32_t k);
    int32_t (*runAdd)(sp_wavelet_merge_branch* branch, const float* src, float* dst, int32_t k);
    sp_status (*convert)(const float* src, int16_t* dst, int32_t len, int32_t mode, int32_t scale);
};
sp_status sp_wavelet_merge_run_with(const sp_wavelet_merge_front& front, const float* band1,
                                    const float* band2, int32_t len, int16_t* dst,
                                    sp_wavelet_merge_state* state);
typedef sp_wavelet_merge_branch* (*sp_wavelet_merge_builder)(const float* taps, int32_t len,
                                                             int32_t offset);
sp_status sp_wavelet_merge_create_with(sp_wavelet_merge_builder build,
                                       sp_wavelet_merge_state** ppState, const float* taps1,
                                       int32_t len1, int32_t offset1, const float* taps2,
                                       int32_t len2, int32_t offset2);
