// Dispatcher: processor types from CPUID answers, class mapping, filling the
// slots from a table, the fall-back order, the stubs and the row list itself.
#include <string.h>

#include <algorithm>
#include <iterator>
#include <thread>
#include <vector>

#include "sp_test_support.h"

namespace {

// ---- Processor type from CPUID snapshots -------------------------------------

sp_cpuid_snapshot Intel(uint32_t family, uint32_t edx, uint32_t ecx = 0, uint32_t logical = 1) {
    sp_cpuid_snapshot s{};
    s.cpuidAvailable = 1;
    s.maxLeaf = 2;
    memcpy(&s.vendor[0], "Genu", 4);
    memcpy(&s.vendor[1], "ineI", 4);
    memcpy(&s.vendor[2], "ntel", 4);
    s.leaf1[0] = (family << 8) | (3u << 4) | 2u;  // model 3, stepping 2
    s.leaf1[1] = logical << 16;
    s.leaf1[2] = ecx;
    s.leaf1[3] = edx;
    s.maxExtLeaf = 0x80000000u;
    return s;
}
sp_cpuid_snapshot WithX64(sp_cpuid_snapshot s) {
    s.maxExtLeaf = 0x80000008u;
    s.ext1[3] = 1u << 29;
    return s;
}

constexpr uint32_t kMmx = 1u << 23, kSse = 1u << 25, kSse2 = 1u << 26, kHtt = 1u << 28, kSse3 = 1u;

struct TypeCase {
    const char* what;
    sp_cpuid_snapshot cpu;
    int32_t type;
    int32_t cls;
};

TEST(CpuType, EveryRowOfTheTypeTable) {
    sp_cpuid_snapshot amd = Intel(6, kMmx | kSse | kSse2, kSse3);
    memcpy(&amd.vendor[0], "Auth", 4);
    sp_cpuid_snapshot noCpuid = Intel(15, kMmx | kSse | kSse2, kSse3);
    noCpuid.cpuidAvailable = 0;
    // The 64-bit bit is read only when the extended leaf is reported.
    sp_cpuid_snapshot x64Unreported = Intel(15, kMmx | kSse | kSse2, kSse3);
    x64Unreported.ext1[3] = 1u << 29;
    const TypeCase cases[] = {
        {"no CPUID", noCpuid, 0, 0},
        {"not GenuineIntel", amd, 0, 0},
        {"family 4", Intel(4, kMmx), 0, 0},
        {"family 5", Intel(5, 0), 1, 0},
        {"family 5 MMX", Intel(5, kMmx), 2, 0},
        {"family 6", Intel(6, 0), 3, 0},
        {"family 6 MMX", Intel(6, kMmx), 4, 0},
        {"family 6 SSE", Intel(6, kMmx | kSse), 5, 1},
        {"family 6 SSE2", Intel(6, kMmx | kSse | kSse2, kSse3), 9, 0},
        {"family 15 SSE2", Intel(15, kMmx | kSse | kSse2), 6, 2},
        {"family 15 HTT, one logical", Intel(15, kMmx | kSse | kSse2 | kHtt, 0, 1), 6, 2},
        {"family 15 HT", Intel(15, kMmx | kSse | kSse2 | kHtt, 0, 2), 7, 2},
        {"family 15 two logical, no HTT bit", Intel(15, kMmx | kSse | kSse2, 0, 2), 6, 2},
        {"family 15 SSE3", Intel(15, kMmx | kSse | kSse2, kSse3), 8, 3},
        {"family 15 SSE3, 64-bit bit unreported", x64Unreported, 8, 3},
        {"family 15 SSE3 64-bit", WithX64(Intel(15, kMmx | kSse | kSse2, kSse3)), 32, 0},
        {"family 7", Intel(7, kMmx | kSse | kSse2), 16, 0},
        {"family 15 without SSE2", Intel(15, kMmx | kSse), 17, 0},
    };
    for (const TypeCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sp_cpu_type_from(&c.cpu), c.type);
        EXPECT_EQ(sp_cpu_class(c.type), c.cls);
    }
}

TEST(CpuType, FeatureRecordFields) {
    sp_cpuid_snapshot s = WithX64(Intel(15, kMmx | kSse | kSse2 | kHtt, kSse3, 2));
    s.leaf2[0] = 0x665B5001u;
    s.leaf2[3] = 0x007A7000u;
    sp_cpu_feature_record r;
    sp_cpu_features_from(&s, &r);
    EXPECT_EQ(r.family, 15u);
    EXPECT_EQ(r.model, 3u);
    EXPECT_EQ(r.stepping, 2u);
    EXPECT_EQ(r.leaf1Edx, kMmx | kSse | kSse2 | kHtt);
    EXPECT_EQ(r.leaf2Eax, 0x665B5001u);
    EXPECT_EQ(r.leaf2Edx, 0x007A7000u);
    EXPECT_EQ(r.mmx + r.sse + r.sse2 + r.ht + r.sse3 + r.x64, 6u);
}

TEST(CpuType, ThisMachineRunsTheGenericMembers) {
    // Modern processors (family 6 with SSE2, or not GenuineIntel) run the
    // generic members: the choice is deliberate.
    EXPECT_EQ(sp_cpuid_available(), 1);
    EXPECT_EQ(sp_cpu_class(sp_cpu_type()), 0);
    sp_cpuid_snapshot s;
    sp_cpuid_read(&s);
    EXPECT_EQ(sp_cpu_type_from(&s), sp_cpu_type());
    EXPECT_EQ(sp_cpu_vendor_is_intel_from(&s), sp_cpu_vendor_is_intel());
}

// ---- Filling slots from a table ----------------------------------------------------

// A complete test table over its own slots; members are distinct fake
// addresses that are only stored, never called.
struct TestTable {
    std::atomic<sp_any_fn> slots[sp_entry_count];
    std::vector<sp_dispatch_row> rows;
    TestTable() : rows(sp_entry_count) {
        for (int32_t e = 0; e < sp_entry_count; ++e) {
            slots[e].store(Fake(e, 9));
            rows[e].slot = &slots[e];
            for (int32_t v = 0; v < 4; ++v) rows[e].member[v] = Fake(e, v);
        }
    }
    static sp_any_fn Fake(int32_t entry, int32_t variant) {
        return reinterpret_cast<sp_any_fn>(static_cast<uintptr_t>(0x10000 + entry * 16 + variant));
    }
    int32_t Count(int32_t variant, int32_t from, int32_t to) const {
        int32_t n = 0;
        for (int32_t e = from; e < to; ++e) n += slots[e].load() == Fake(e, variant);
        return n;
    }
};

TEST(Dispatch, InitWritesTheClassColumn) {
    const struct {
        int32_t type;
        int32_t variant;
    } cases[] = {{8, 3}, {6, 2}, {7, 2}, {5, 1}, {9, 0}, {32, 0}, {0, 0}, {16, 0}, {17, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        TestTable t;
        EXPECT_EQ(sp_dispatch_init_for_type(c.type, t.rows.data(), sp_entry_count), 1);
        EXPECT_EQ(t.Count(c.variant, 0, sp_entry_count), sp_entry_count);
        EXPECT_EQ(sp_cpu_variant.load(), c.variant);
        // A second run writes the same values.
        EXPECT_EQ(sp_dispatch_init_for_type(c.type, t.rows.data(), sp_entry_count), 1);
        EXPECT_EQ(t.Count(c.variant, 0, sp_entry_count), sp_entry_count);
    }
}

TEST(Dispatch, MissingMemberFallsBackToTheNextVariantFromRowZero) {
    TestTable t;
    t.rows[40].member[sp_variant_sse3] = nullptr;
    // SSE3 fills rows 0..39 and stops; SSE2 then rewrites every slot.
    EXPECT_EQ(sp_dispatch_fill_rows(t.rows.data(), sp_entry_count, sp_variant_sse3), 0);
    EXPECT_EQ(t.Count(3, 0, 40), 40);
    EXPECT_EQ(t.Count(9, 40, sp_entry_count), sp_entry_count - 40);  // untouched
    EXPECT_EQ(sp_dispatch_init_for_type(8, t.rows.data(), sp_entry_count), 1);
    EXPECT_EQ(t.Count(2, 0, sp_entry_count), sp_entry_count);
    EXPECT_EQ(sp_cpu_variant.load(), 2);
}

TEST(Dispatch, IncompleteGenericColumnGivesZero) {
    TestTable t;
    t.rows[10].member[sp_variant_generic] = nullptr;
    EXPECT_EQ(sp_dispatch_init_for_type(9, t.rows.data(), sp_entry_count), 0);
    EXPECT_EQ(t.Count(0, 0, 10), 10);  // what the failed fill left
    EXPECT_EQ(t.Count(9, 10, sp_entry_count), sp_entry_count - 10);
    EXPECT_EQ(sp_dispatch_init_for_type(8, t.rows.data(), 0), 0);  // empty table
    EXPECT_EQ(sp_dispatch_fill_rows(t.rows.data(), 0, 3), 1);
    EXPECT_EQ(sp_dispatch_fill_rows(t.rows.data(), sp_entry_count, 4), 0);
    EXPECT_EQ(sp_dispatch_fill_rows(t.rows.data(), sp_entry_count, -1), 0);
}

TEST(Dispatch, VariantOrderRows) {
    const int32_t expected[4][5] = {{0, 4}, {1, 0, 4}, {2, 1, 0, 4}, {3, 2, 1, 0, 4}};
    for (int32_t c = 0; c < 4; ++c) {
        for (int32_t i = 0; i < 5 && (i == 0 || expected[c][i - 1] != 4); ++i) {
            EXPECT_EQ(sp_cpu_variant_order[c][i], expected[c][i])
                << "class " << c << " position " << i;
        }
    }
}

// ---- The real table ---------------------------------------------------------------------

TEST(DispatchTable, RowsAndSlotsComeFromTheList) {
    ASSERT_EQ(sp_dispatch_row_count, 69);
    for (int32_t e = 0; e < sp_entry_count; ++e) {
        SCOPED_TRACE(e);
        EXPECT_EQ(sp_dispatch_table[e].slot, &sp_dispatch_slots[e]);
    }
    EXPECT_EQ(sp_entry_sp_free, 3);
    EXPECT_EQ(sp_entry_sp_alloc_32, 61);
    EXPECT_EQ(sp_entry_sp_median_filter_i16, 66);
    EXPECT_EQ(sp_entry_sp_xcorr_i16_scaled, 67);
    EXPECT_EQ(sp_entry_sp_fir_design_lowpass_f64, 68);
}

TEST(DispatchTable, SharedColumns) {
    auto cells = [](int32_t e) { return sp_dispatch_table[e].member; };
    for (int32_t e : {3, 28, 55, 62, 65}) {
        SCOPED_TRACE(e);
        for (int32_t v = 1; v < 4; ++v) EXPECT_EQ(cells(e)[v], cells(e)[0]);
    }
    EXPECT_NE(cells(3)[0], nullptr);
    EXPECT_EQ(cells(61)[1], cells(61)[0]);
    EXPECT_EQ(cells(61)[2], cells(61)[0]);
    EXPECT_NE(cells(61)[3], cells(61)[0]);
    EXPECT_NE(cells(61)[3], nullptr);
    for (int32_t e : {21, 58}) {
        EXPECT_EQ(cells(e)[1], cells(e)[0]);
        EXPECT_EQ(cells(e)[3], cells(e)[2]);
    }
    for (int32_t e : {26, 27, 29}) {
        SCOPED_TRACE(e);
        EXPECT_EQ(cells(e)[3], cells(e)[2]);
        EXPECT_NE(cells(e)[1], cells(e)[0]);
        EXPECT_NE(cells(e)[2], cells(e)[1]);
        EXPECT_NE(cells(e)[2], cells(e)[0]);
    }
}

TEST(DispatchTable, BuiltRowsAreCompleteAndDistinctPerVariant) {
    // Every row has all four members; except for the shared columns (those of
    // SharedColumns, and the wavelet frees whose SSE2 member serves SSE3), its
    // members are four different functions.
    const int32_t shared[] = {3, 21, 26, 27, 28, 29, 55, 58, 61, 62, 65};
    for (int32_t e = 0; e < sp_entry_count; ++e) {
        SCOPED_TRACE(e);
        for (int32_t v = 0; v < 4; ++v) EXPECT_NE(sp_dispatch_table[e].member[v], nullptr);
        if (std::find(std::begin(shared), std::end(shared), e) != std::end(shared)) continue;
        for (int32_t v = 0; v < 4; ++v)
            for (int32_t w = v + 1; w < 4; ++w)
                EXPECT_NE(sp_dispatch_table[e].member[v], sp_dispatch_table[e].member[w]);
    }
}

void ExpectSlotsHoldColumn(int32_t variant) {
    for (int32_t e = 0; e < sp_entry_count; ++e)
        EXPECT_EQ(sp_dispatch_slots[e].load(), sp_dispatch_table[e].member[variant])
            << "entry " << e << " variant " << variant;
}

TEST(DispatchTable, SlotsHoldTheGenericColumnAndInitKeepsThem) {
    ExpectSlotsHoldColumn(sp_variant_generic);
    // Every column is complete; this machine's class runs the generic members,
    // and a second load writes the same slots.
    EXPECT_EQ(sp_dispatch_init(), 1);
    ExpectSlotsHoldColumn(sp_variant_generic);
    EXPECT_EQ(sp_dispatch_init(), 1);
    ExpectSlotsHoldColumn(sp_variant_generic);
}

TEST(DispatchTable, EveryColumnFillsEverySlot) {
    for (int32_t v = sp_variant_generic; v <= sp_variant_sse3; ++v) {
        EXPECT_EQ(sp_dispatch_fill(v), 1);
        ExpectSlotsHoldColumn(v);
    }
    const struct {
        int32_t type, variant;
    } cases[] = {{5, 1}, {6, 2}, {7, 2}, {8, 3}, {9, 0}, {32, 0}, {0, 0}};
    const int32_t recorded = sp_cpu_variant.load();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(sp_dispatch_init_for_type(c.type, sp_dispatch_table, sp_dispatch_row_count), 1);
        EXPECT_EQ(sp_cpu_variant.load(), c.variant);
        ExpectSlotsHoldColumn(c.variant);
    }
    EXPECT_EQ(sp_dispatch_fill(sp_variant_generic), 1);
    sp_cpu_variant.store(recorded);
    ExpectSlotsHoldColumn(sp_variant_generic);
}

// ---- Stubs ---------------------------------------------------------------------------

struct Recorded {
    const void* p[3];
    int32_t i[6];
    double d;
    int calls;
} g_rec;

sp_status RecordMedian(const int16_t* src, int16_t* dst, int32_t len, int32_t mask) {
    g_rec = Recorded{{src, dst, nullptr}, {len, mask}, 0, g_rec.calls + 1};
    return static_cast<sp_status>(-123);
}
sp_status RecordXcorr(const int16_t* s1, int32_t l1, const int16_t* s2, int32_t l2, int16_t* d,
                      int32_t dl, int32_t lag, int32_t scale) {
    g_rec = Recorded{{s1, s2, d}, {l1, l2, dl, lag, scale}, 0, g_rec.calls + 1};
    return static_cast<sp_status>(77);
}
sp_status RecordLowpass(double f, double* taps, int32_t len, int32_t window, int32_t normalise) {
    g_rec = Recorded{{taps, nullptr, nullptr}, {len, window, normalise}, f, g_rec.calls + 1};
    return static_cast<sp_status>(-6);
}

// Puts a recorder into a slot for the duration of a test.
class SlotSwap {
public:
    SlotSwap(int32_t entry, sp_any_fn fn)
        : entry_(entry), saved_(sp_dispatch_slots[entry].exchange(fn)) {}
    ~SlotSwap() { sp_dispatch_slots[entry_].store(saved_); }

private:
    int32_t entry_;
    sp_any_fn saved_;
};

TEST(DispatchStubs, ForwardEveryArgumentAndTheResult) {
    int16_t a[4], b[4], c[4];
    double taps[8];
    {
        SlotSwap swap(66, reinterpret_cast<sp_any_fn>(&RecordMedian));
        g_rec = {};
        EXPECT_EQ(sp_median_filter_i16_stub(a, b, 1234, -5), -123);
        EXPECT_EQ(g_rec.calls, 1);
        EXPECT_EQ(g_rec.p[0], a);
        EXPECT_EQ(g_rec.p[1], b);
        EXPECT_EQ(g_rec.i[0], 1234);
        EXPECT_EQ(g_rec.i[1], -5);
    }
    {
        SlotSwap swap(67, reinterpret_cast<sp_any_fn>(&RecordXcorr));
        g_rec = {};
        EXPECT_EQ(sp_xcorr_i16_scaled_stub(a, 11, b, 22, c, 33, -44, 55), 77);
        EXPECT_EQ(g_rec.calls, 1);
        EXPECT_EQ(g_rec.p[0], a);
        EXPECT_EQ(g_rec.p[1], b);
        EXPECT_EQ(g_rec.p[2], c);
        EXPECT_EQ(g_rec.i[0], 11);
        EXPECT_EQ(g_rec.i[1], 22);
        EXPECT_EQ(g_rec.i[2], 33);
        EXPECT_EQ(g_rec.i[3], -44);
        EXPECT_EQ(g_rec.i[4], 55);
    }
    {
        SlotSwap swap(68, reinterpret_cast<sp_any_fn>(&RecordLowpass));
        g_rec = {};
        EXPECT_EQ(sp_fir_design_lowpass_f64_stub(0.123456789012345, taps, 8, 2, 1), -6);
        EXPECT_EQ(g_rec.calls, 1);
        EXPECT_EQ(g_rec.d, 0.123456789012345);
        EXPECT_EQ(g_rec.p[0], taps);
        EXPECT_EQ(g_rec.i[0], 8);
        EXPECT_EQ(g_rec.i[1], 2);
        EXPECT_EQ(g_rec.i[2], 1);
    }
}

TEST(DispatchStubs, ReachEachForcedVariantsMember) {
    sptest::ForEachVariant([](int32_t v) {
        const std::vector<int16_t> x = sptest::RandomI16(37, 5);
        std::vector<int16_t> viaStub(37), direct(37);
        double tapsStub[33], tapsDirect[33];
        SlotSwap median(66, sp_dispatch_table[66].member[v]);
        SlotSwap lowpass(68, sp_dispatch_table[68].member[v]);
        EXPECT_EQ(sp_median_filter_i16_stub(x.data(), viaStub.data(), 37, 4), sp_status_even_mask);
        EXPECT_EQ(sp_dispatch_member<66>(v)(x.data(), direct.data(), 37, 4), sp_status_even_mask);
        EXPECT_EQ(viaStub, direct);
        EXPECT_EQ(sp_fir_design_lowpass_f64_stub(0.21, tapsStub, 33, 2, 1), sp_status_ok);
        EXPECT_EQ(sp_dispatch_member<68>(v)(0.21, tapsDirect, 33, 2, 1), sp_status_ok);
        EXPECT_EQ(memcmp(tapsStub, tapsDirect, sizeof tapsStub), 0);
        EXPECT_EQ(sp_fir_design_lowpass_f64_stub(0.21, tapsStub, 4, 2, 1), sp_status_bad_size);
        if (sp_dispatch_table[67].member[v] != nullptr) {
            const std::vector<int16_t> other = sptest::RandomI16(29, 6);
            std::vector<int16_t> lagsStub(21, 1), lagsDirect(21, 2);
            SlotSwap xcorr(67, sp_dispatch_table[67].member[v]);
            const sp_status a = sp_xcorr_i16_scaled_stub(x.data(), 37, other.data(), 29,
                                                         lagsStub.data(), 21, -12, 9);
            const sp_status b = sp_dispatch_member<67>(v)(x.data(), 37, other.data(), 29,
                                                          lagsDirect.data(), 21, -12, 9);
            EXPECT_EQ(a, b);
            EXPECT_EQ(lagsStub, lagsDirect);
        }
    });
}

TEST(DispatchStubs, CallsRacingAFillReachOldOrNewMember) {
    // A filter load rewrites the slots while other filters call through the
    // stubs: every call must land in a complete member of the same entry.
    const std::vector<int16_t> x = sptest::RandomI16(200, 21);
    std::vector<int16_t> want(200);
    ASSERT_EQ(sp_median_filter_i16(x.data(), want.data(), 200, 5), sp_status_ok);
    std::atomic<bool> stop{false};
    const sp_any_fn saved = sp_dispatch_slots[66].load();
    std::thread writer([&] {
        for (int32_t k = 0; !stop.load(); ++k) {
            sp_dispatch_slots[66].store(sp_dispatch_table[66].member[k % 3],
                                        std::memory_order_release);
        }
    });
    std::vector<std::thread> callers;
    std::atomic<int32_t> mismatches{0};
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&] {
            std::vector<int16_t> y(200);
            for (int i = 0; i < 300; ++i) {
                if (sp_median_filter_i16_stub(x.data(), y.data(), 200, 5) != sp_status_ok ||
                    y != want)
                    ++mismatches;
            }
        });
    }
    for (auto& c : callers) c.join();
    stop = true;
    writer.join();
    sp_dispatch_slots[66].store(saved);
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
