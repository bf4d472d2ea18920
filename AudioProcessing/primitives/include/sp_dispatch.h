// The primitives' dispatcher: one table of 69 function-pointer slots, filled once
// per filter load with the members of the processor variant chosen for this
// processor.  Code outside the library calls the primitives through the jump
// stubs below (or the slots); inside the library each variant's member calls its
// own variant's routines directly.
//
// The slots hold type-erased pointers; the row list (sp_rows.def) gives each
// entry's real function type, and sp_dispatch_member / the stubs cast back to it.
#pragma once

#include <atomic>

#include "sp_status.h"
#include "sp_fir.h"  // row types and members of the FIR filters
#include "sp_iir.h"
#include "sp_library.h"     // row types and members of the library support
#include "sp_lms.h"         // row types and members of the LMS filter
#include "sp_multirate.h"   // row types and members of down- and up-sampling
#include "sp_resampler.h"   // row types and members of the polyphase resampler
#include "sp_vector.h"      // row types and members of the vector routines
#include "sp_vector_f32.h"  // row types and members of the float vector routines
#include "sp_wavelet.h"     // row types and members of the wavelet filter bank

// Type-erased member pointer held in the table and the slots.
typedef void (*sp_any_fn)();

// Function types of the entries this library builds (column type of their rows).
typedef void (*sp_free_fn)(void* block);
typedef sp_status (*sp_zero_i16_fn)(int16_t* dst, int32_t len);
typedef sp_status (*sp_copy_i16_fn)(const int16_t* src, int16_t* dst, int32_t len);
typedef sp_status (*sp_zero_f32_fn)(float* dst, int32_t len);
typedef sp_status (*sp_convert_f32_to_i16_scaled_fn)(const float* src, int16_t* dst, int32_t len,
                                                     int32_t roundMode, int32_t scale);
typedef sp_status (*sp_convert_i16_to_f32_fn)(const int16_t* src, float* dst, int32_t len);
typedef void* (*sp_alloc_32_fn)(int32_t count);
typedef sp_status (*sp_median_filter_i16_fn)(const int16_t* src, int16_t* dst, int32_t len,
                                             int32_t mask);
typedef sp_status (*sp_xcorr_i16_scaled_fn)(const int16_t* src1, int32_t len1, const int16_t* src2,
                                            int32_t len2, int16_t* dst, int32_t dstLen,
                                            int32_t lowLag, int32_t scale);
typedef sp_status (*sp_fir_design_lowpass_f64_fn)(double rFreq, double* taps, int32_t len,
                                                  int32_t window, int32_t normalise);

// Entry numbers, from the row list: sp_entry_sp_free == 3 and so on.
enum sp_entry : int32_t {
#define SP_ROW(entry, name, fnType, g, s, s2, s3) sp_entry_##name = entry,
#include "sp_rows.def"
#undef SP_ROW
    sp_entry_count
};
static_assert(sp_entry_count == 69, "the dispatch table has 69 entries");

// Entry's function type by number, for sp_dispatch_member.
template <int32_t Entry>
struct sp_entry_type;
#define SP_ROW(entry, name, fnType, g, s, s2, s3) \
    template <>                                   \
    struct sp_entry_type<entry> {                 \
        typedef fnType type;                      \
    };
#include "sp_rows.def"
#undef SP_ROW

// One row: the entry's slot, then its generic, SSE, SSE2 and SSE3 members.
struct sp_dispatch_row {
    std::atomic<sp_any_fn>* slot;
    sp_any_fn member[4];  // indexed by sp_variant; null where this build has no member
};

// The slots, indexed by entry.  Before the first fill each holds the entry's
// generic member.  Slots are written and read atomically: a caller racing a
// fill jumps to either the old or the new member of the same entry.
extern std::atomic<sp_any_fn> sp_dispatch_slots[sp_entry_count];
// The rows in entry order and their count.
extern const sp_dispatch_row sp_dispatch_table[sp_entry_count];
extern const int32_t sp_dispatch_row_count;
// Variant tried per processor class, left to right, each row ended by sp_variant_end.
extern const int32_t sp_cpu_variant_order[4][5];
// The variant last chosen by sp_dispatch_init (a record only; nothing reads it).
extern std::atomic<int32_t> sp_cpu_variant;

// Detects the processor, maps its type to a class and fills the slots with the
// first variant of the class's row whose column is complete.  1 when a variant
// was chosen, 0 when the table is empty or no variant could fill every slot.
// Runs at every filter load, without a lock.
int32_t sp_dispatch_init();
// Writes variant `variant`'s members into the slots in entry order; 1 when every
// slot was written, 0 at the first empty cell (earlier slots keep the new values).
int32_t sp_dispatch_fill(int32_t variant);

// Test seams: the same two operations on a table given by the caller, and with
// the processor type given instead of detected.
int32_t sp_dispatch_fill_rows(const sp_dispatch_row* rows, int32_t rowCount, int32_t variant);
int32_t sp_dispatch_init_for_type(int32_t cpuType, const sp_dispatch_row* rows, int32_t rowCount);
// Processor class (row of sp_cpu_variant_order) of a processor type code.
int32_t sp_cpu_class(int32_t cpuType);

// A row's member for a variant, with the entry's own type.
template <int32_t Entry>
inline typename sp_entry_type<Entry>::type sp_dispatch_member(int32_t variant) {
    return reinterpret_cast<typename sp_entry_type<Entry>::type>(
        sp_dispatch_table[Entry].member[variant]);
}

// Jump stubs: what driver code links against for the three entries it calls.
// Each forwards its arguments untouched to the member in the entry's slot and
// returns that member's result.
sp_status sp_median_filter_i16_stub(const int16_t* src, int16_t* dst, int32_t len, int32_t mask);
sp_status sp_xcorr_i16_scaled_stub(const int16_t* src1, int32_t len1, const int16_t* src2,
                                   int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                   int32_t scale);
sp_status sp_fir_design_lowpass_f64_stub(double rFreq, double* taps, int32_t len, int32_t window,
                                         int32_t normalise);
// Entry 67 with the caller's keep (sp_xcorr.h), for a caller that correlates
// with one shape again and again: the member in the slot, in its keep form.
struct sp_xcorr_keep;
sp_status sp_xcorr_i16_scaled_keep_stub(const int16_t* src1, int32_t len1, const int16_t* src2,
                                        int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                        int32_t scale, sp_xcorr_keep* keep);
