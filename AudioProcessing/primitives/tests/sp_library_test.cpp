// Library support: version records, 16-bit buffers, the denormals-are-zero
// probe and the status texts.
#include <string.h>

#include <set>
#include <string>

#include "TestAllocator.h"
#include "sp_test_support.h"

namespace {

// ---- Version records ---------------------------------------------------------------------

TEST(LibraryVersion, OneRecordPerVariant) {
    std::set<std::string> targets, names;
    for (int32_t v = 0; v < 4; ++v) {
        SCOPED_TRACE(v);
        auto get = sp_dispatch_member<sp_entry_sp_get_lib_version>(v);
        const sp_version_record* r = get();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r, get());  // a constant, not a copy per call
        EXPECT_EQ(r->major, 4);
        EXPECT_EQ(r->minor, 1);
        EXPECT_EQ(r->build, 11);
        EXPECT_EQ(r->revision, 88);
        EXPECT_TRUE(r->target[0] >= 'A' && r->target[0] <= 'Z');
        EXPECT_TRUE(r->target[1] >= 'A' && r->target[1] <= 'Z');
        EXPECT_EQ(r->target[2], 0);
        EXPECT_EQ(r->target[3], 0);
        targets.insert(std::string(r->target, 2));
        ASSERT_NE(r->name, nullptr);
        names.insert(r->name);
        EXPECT_STREQ(r->version, "v4.1");
        EXPECT_STREQ(r->buildDate, v == sp_variant_generic ? "Jul 19 2004" : "Jul 20 2004");
        EXPECT_TRUE(sptest::KeepsFpControl([&] { get(); }));
    }
    EXPECT_EQ(targets.size(), 4u);
    EXPECT_EQ(names.size(), 4u);
    // The text fields hold whole pointers on this host.
    EXPECT_EQ(sizeof(sp_version_record::name), sizeof(void*));
    EXPECT_EQ(sizeof(sp_version_record), 4 * sizeof(int32_t) + 4 + 4 + 3 * sizeof(void*));
}

// ---- 16-bit buffers --------------------------------------------------------------------------

TEST(AllocI16, RefusedCountsNeverReachTheAllocator) {
    for (int32_t n : {0, -1, INT32_MIN, 1 << 30, INT32_MAX}) {
        zvtest::ResetAllocator();
        EXPECT_EQ(sp_alloc_i16(n), nullptr) << n;
        EXPECT_EQ(zvtest::GetAllocatorCounts().allocations, 0u) << n;
        EXPECT_EQ(zvtest::GetAllocatorCounts().failures, 0u) << n;
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

// The largest count, a block of 2 GiB, runs with the long sweeps.
TEST(AllocI16, AlignedBlocksTheWholeSizeThatSpFreeReturns) {
    for (int32_t n : {1, 1000}) {
        SCOPED_TRACE(n);
        const uint64_t before = zvtest::GetAllocatorCounts().liveBytes;
        int16_t* p = sp_alloc_i16(n);
        if (n == (1 << 30) - 1 && p == nullptr) continue;  // 2 GiB may be refused here
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
        EXPECT_GE(zvtest::GetAllocatorCounts().liveBytes - before, 2u * n);
        if (n <= 1000) {
            for (int32_t i = 0; i < n; ++i) p[i] = static_cast<int16_t>(i);
            EXPECT_EQ(p[n - 1], n - 1);
        }
        sp_free(p);
        EXPECT_EQ(sptest::LiveBlocks(), 0u);
    }
    // Every column of entry 55 is this one function.
    for (int32_t v = 0; v < 4; ++v)
        EXPECT_EQ(sp_dispatch_member<sp_entry_sp_alloc_i16>(v), &sp_alloc_i16);
}

TEST(AllocI16, FailedAllocationGivesNullAndLeaksNothing) {
    const uint64_t made = zvtest::ForEachAllocationFailure([](uint64_t) {
        int16_t* p = sp_alloc_i16(1000);
        if (zvtest::GetAllocatorCounts().failures != 0) {
            EXPECT_EQ(p, nullptr);
        } else {
            EXPECT_NE(p, nullptr);
        }
        sp_free(p);
        EXPECT_EQ(sptest::LiveBlocks(), 0u);
    });
    EXPECT_EQ(made, 1u);
}

// ---- Denormals-are-zero probe -----------------------------------------------------------------

TEST(CpuHasDaz, AgreesWithTheSavedMxcsrMask) {
    struct alignas(16) Area {
        unsigned char bytes[512];
    } area;
    memset(&area, 0, sizeof area);
    __asm__ volatile("fxsave %0" : "=m"(area));
    uint32_t mask;
    memcpy(&mask, area.bytes + 28, 4);
    const int32_t want = mask != 0 && (mask & 0x40u) != 0 ? 1 : 0;
    EXPECT_EQ(sp_cpu_has_daz(), want);
    EXPECT_EQ(sp_cpu_has_daz(), 1);  // every x86-64 processor has it
    EXPECT_TRUE(sptest::KeepsFpControl([] { sp_cpu_has_daz(); }));
}

// ---- Status texts -------------------------------------------------------------------------------

constexpr char kUnknown[] = "Unknown Status Code";

TEST(StatusText, ExactlyTheKnownCodesHaveTexts) {
    int known = 0;
    for (int32_t code = -10000; code <= 100; ++code)
        if (strcmp(sp_status_message(code), kUnknown) != 0) ++known;
    EXPECT_EQ(known, 203);
    for (int32_t code :
         {-165, -89, -84, -68, -3, -1, 32, -180, -9997, -10000, INT32_MIN, INT32_MAX}) {
        EXPECT_STREQ(sp_status_message(code), kUnknown) << code;
    }
}

struct TextCase {
    int32_t code;
    const char* text;
};

TEST(StatusText, Texts) {
    const TextCase cases[] = {
        {0, "No error, it's OK"},
        {5, "Even size of the Median Filter mask was replaced by the odd one"},
        {6, "Zero value(s) of the divisor in the function Div"},
        {-4, "Not enough memory for the operation"},
        {-5, "Function arg/param is bad"},
        {-9, "Not enough memory allocated for the operation"},
        {-10, "An attempt to divide by zero"},
        {-17, "Context parameter doesn't match the operation"},
        {-24, "Invalid value of the delay line sample index"},
        {-25, "Order of an IIR filter is less than or equal to zero"},
        {-26, "Length of a FIR filter is less than or equal to zero"},
        {-30, "Phase value is out of range: 0 <= phase < factor"},
        {-31, "Sampling factor is less than or equal to zero"},
        {-32, "Shift value is less than zero"},
        {-35, "Invalid offset value of wavelet filter"},
        {-9999, "The requested mode is currently not supported"},
        {31, "Size of created codebook is less than cdbkSize argument"},
        {-179, "Not positive-definite matrix"},
        {13,
         "Quantized LP syntethis filter stability check is applied at the low boundary of "
         "[0,pi]"},
    };
    for (const TextCase& c : cases) EXPECT_STREQ(sp_status_message(c.code), c.text) << c.code;
    // The texts of this project's own wording: present, distinct, and about
    // what their codes report.
    std::set<std::string> own;
    for (int32_t code : {-171, -170, 22, 23}) {
        const std::string t = sp_status_message(code);
        EXPECT_NE(t, kUnknown) << code;
        own.insert(t);
    }
    EXPECT_EQ(own.size(), 4u);
    EXPECT_NE(std::string(sp_status_message(-171)).find("MP3 frame-header"), std::string::npos);
    EXPECT_NE(std::string(sp_status_message(-170)).find("MP3 side-information"), std::string::npos);
}

TEST(StatusText, SharedTextsAndTheRowForwarder) {
    EXPECT_EQ(sp_status_message(-101), sp_status_message(-75));
    EXPECT_EQ(sp_status_message(-100), sp_status_message(-74));
    EXPECT_EQ(sp_status_message(-99), sp_status_message(-73));
    EXPECT_STREQ(sp_status_message(-75), "Illegal Huffman code during MV stream processing");
    for (int32_t v = 0; v < 4; ++v) {
        auto text = sp_dispatch_member<sp_entry_sp_status_text>(v);
        EXPECT_EQ(text, &sp_status_text);
        for (int32_t code = -200; code <= 40; ++code)
            ASSERT_EQ(text(code), sp_status_message(code)) << code;
        EXPECT_EQ(text(-9998), sp_status_message(-9998));
    }
    EXPECT_TRUE(sptest::KeepsFpControl([] { sp_status_text(-8); }));
}

}  // namespace
