// Dispatch table, slots and jump stubs of the primitives library.
#include "sp_primitives.h"

#include <type_traits>

namespace {

// A row cell: the member's address, type-erased; nullptr for a missing member.
template <class F>
sp_any_fn Cell(F* member) {
    return reinterpret_cast<sp_any_fn>(member);
}
// Unused while every row is complete; kept for a row whose members come later.
[[maybe_unused]] sp_any_fn Cell(std::nullptr_t) {
    return nullptr;
}

// A filled cell must have its row's function type: the stubs and the tests cast
// the slot back to that type.
template <class RowFn, class C>
constexpr bool CellFits() {
    return std::is_same_v<C, std::nullptr_t> ||
           std::is_same_v<RowFn, std::add_pointer_t<std::remove_pointer_t<std::decay_t<C>>>>;
}

#define SP_ROW(entry, name, fnType, g, s, s2, s3)                                           \
    static_assert(CellFits<fnType, decltype(g)>() && CellFits<fnType, decltype(s)>() &&     \
                      CellFits<fnType, decltype(s2)>() && CellFits<fnType, decltype(s3)>(), \
                  "a member of " #name " does not have the row's type");
#include "sp_rows.def"
#undef SP_ROW

}  // namespace

// Statically the generic column: a call through a stub before the first filter
// load runs the generic member.
std::atomic<sp_any_fn> sp_dispatch_slots[sp_entry_count] = {
#define SP_ROW(entry, name, fnType, g, s, s2, s3) Cell(g),
#include "sp_rows.def"
#undef SP_ROW
};

const sp_dispatch_row sp_dispatch_table[sp_entry_count] = {
#define SP_ROW(entry, name, fnType, g, s, s2, s3) \
    {&sp_dispatch_slots[entry], {Cell(g), Cell(s), Cell(s2), Cell(s3)}},
#include "sp_rows.def"
#undef SP_ROW
};

const int32_t sp_dispatch_row_count = sp_entry_count;

const int32_t sp_cpu_variant_order[4][5] = {
    {sp_variant_generic, sp_variant_end, sp_variant_end, sp_variant_end, sp_variant_end},
    {sp_variant_sse, sp_variant_generic, sp_variant_end, sp_variant_end, sp_variant_end},
    {sp_variant_sse2, sp_variant_sse, sp_variant_generic, sp_variant_end, sp_variant_end},
    {sp_variant_sse3, sp_variant_sse2, sp_variant_sse, sp_variant_generic, sp_variant_end},
};

std::atomic<int32_t> sp_cpu_variant{sp_variant_generic};

int32_t sp_cpu_class(int32_t cpuType) {
    switch (cpuType) {
        case sp_cpu_f6_sse:
            return 1;
        case sp_cpu_f15_sse2:
        case sp_cpu_f15_sse2_ht:
            return 2;
        case sp_cpu_f15_sse3:
            return 3;
        default:
            // Everything else, modern family-6 parts and non-Intel processors
            // included, runs the generic members.
            return 0;
    }
}

int32_t sp_dispatch_fill_rows(const sp_dispatch_row* rows, int32_t rowCount, int32_t variant) {
    if (variant < sp_variant_generic || variant > sp_variant_sse3) return 0;
    for (int32_t i = 0; i < rowCount; ++i) {
        sp_any_fn member = rows[i].member[variant];
        if (member == nullptr) return 0;  // earlier slots keep this variant's members
        rows[i].slot->store(member, std::memory_order_release);
    }
    return 1;
}

int32_t sp_dispatch_fill(int32_t variant) {
    return sp_dispatch_fill_rows(sp_dispatch_table, sp_dispatch_row_count, variant);
}

int32_t sp_dispatch_init_for_type(int32_t cpuType, const sp_dispatch_row* rows, int32_t rowCount) {
    const int32_t* order = sp_cpu_variant_order[sp_cpu_class(cpuType)];
    if (rowCount <= 0) return 0;
    for (int32_t i = 0; order[i] != sp_variant_end; ++i) {
        if (sp_dispatch_fill_rows(rows, rowCount, order[i]) == 1) {
            sp_cpu_variant.store(order[i], std::memory_order_relaxed);
            return 1;
        }
    }
    return 0;
}

int32_t sp_dispatch_init() {
    return sp_dispatch_init_for_type(sp_cpu_type(), sp_dispatch_table, sp_dispatch_row_count);
}

// The stubs: one load of the entry's slot and a tail call to the member.
sp_status sp_median_filter_i16_stub(const int16_t* src, int16_t* dst, int32_t len, int32_t mask) {
    auto member = reinterpret_cast<sp_median_filter_i16_fn>(
        sp_dispatch_slots[sp_entry_sp_median_filter_i16].load(std::memory_order_acquire));
    return member(src, dst, len, mask);
}

sp_status sp_xcorr_i16_scaled_stub(const int16_t* src1, int32_t len1, const int16_t* src2,
                                   int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                   int32_t scale) {
    auto member = reinterpret_cast<sp_xcorr_i16_scaled_fn>(
        sp_dispatch_slots[sp_entry_sp_xcorr_i16_scaled].load(std::memory_order_acquire));
    return member(src1, len1, src2, len2, dst, dstLen, lowLag, scale);
}

// The member with a keep is the one in the slot: the slot's member is looked
// up in the row, so a refill switches both forms together.  A slot holding
// something else (a test's own row) gets the call without the keep.
sp_status sp_xcorr_i16_scaled_keep_stub(const int16_t* src1, int32_t len1, const int16_t* src2,
                                        int32_t len2, int16_t* dst, int32_t dstLen, int32_t lowLag,
                                        int32_t scale, sp_xcorr_keep* keep) {
    static const sp_xcorr_i16_scaled_fn kPlain[4] = {sp_xcorr_i16_scaled, sp_xcorr_i16_scaled_sse,
                                                     sp_xcorr_i16_scaled_sse2,
                                                     sp_xcorr_i16_scaled_sse3};
    static sp_status (*const kKeep[4])(const int16_t*, int32_t, const int16_t*, int32_t, int16_t*,
                                       int32_t, int32_t, int32_t, sp_xcorr_keep*) = {
        sp_xcorr_i16_scaled_keep, sp_xcorr_i16_scaled_keep_sse, sp_xcorr_i16_scaled_keep_sse2,
        sp_xcorr_i16_scaled_keep_sse3};
    auto member = reinterpret_cast<sp_xcorr_i16_scaled_fn>(
        sp_dispatch_slots[sp_entry_sp_xcorr_i16_scaled].load(std::memory_order_acquire));
    for (int32_t v = 0; v < 4; ++v)
        if (member == kPlain[v])
            return kKeep[v](src1, len1, src2, len2, dst, dstLen, lowLag, scale, keep);
    return member(src1, len1, src2, len2, dst, dstLen, lowLag, scale);
}

sp_status sp_fir_design_lowpass_f64_stub(double rFreq, double* taps, int32_t len, int32_t window,
                                         int32_t normalise) {
    auto member = reinterpret_cast<sp_fir_design_lowpass_f64_fn>(
        sp_dispatch_slots[sp_entry_sp_fir_design_lowpass_f64].load(std::memory_order_acquire));
    return member(rFreq, taps, len, window, normalise);
}
