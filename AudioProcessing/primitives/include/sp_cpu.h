// Processor detection for the dispatcher.  The type and feature decisions are
// pure functions of a snapshot of the CPUID answers, so that every processor
// type can be exercised on any machine; sp_cpuid_read takes the snapshot of the
// processor we run on.
#pragma once

#include <stdint.h>

// The CPUID answers the dispatcher looks at.
struct sp_cpuid_snapshot {
    uint32_t cpuidAvailable;  // 1 when the EFLAGS.ID bit can be flipped
    uint32_t maxLeaf;         // leaf 0 EAX
    uint32_t vendor[3];       // leaf 0 EBX, EDX, ECX ("Genu", "ineI", "ntel")
    uint32_t leaf1[4];        // leaf 1 EAX, EBX, ECX, EDX
    uint32_t leaf2[4];        // leaf 2 EAX, EBX, ECX, EDX
    uint32_t maxExtLeaf;      // leaf 0x80000000 EAX
    uint32_t ext1[4];         // leaf 0x80000001 EAX, EBX, ECX, EDX (zero when not reported)
};

// Filled by sp_cpu_features: 32-bit words in this order; each flag is 0 or 1.
struct sp_cpu_feature_record {
    uint32_t family;    // leaf 1 EAX bits 8-11 (base family only)
    uint32_t stepping;  // leaf 1 EAX bits 0-3
    uint32_t model;     // leaf 1 EAX bits 4-7
    uint32_t leaf1Edx;
    uint32_t leaf2Eax;
    uint32_t leaf2Edx;
    uint32_t mmx;   // leaf 1 EDX bit 23
    uint32_t sse;   // EDX bit 25
    uint32_t sse2;  // EDX bit 26
    uint32_t ht;    // EDX bit 28 and more than one logical processor (EBX bits 16-23)
    uint32_t sse3;  // leaf 1 ECX bit 0
    uint32_t x64;   // leaf 0x80000001 EDX bit 29, when that leaf is reported
};

// Processor type codes of sp_cpu_type.
enum sp_cpu_type_code : int32_t {
    sp_cpu_other = 0,  // no CPUID, not "GenuineIntel", or another family
    sp_cpu_f5 = 1,     // family 5 without MMX
    sp_cpu_f5_mmx = 2,
    sp_cpu_f6 = 3,  // family 6 without MMX, SSE or SSE2
    sp_cpu_f6_mmx = 4,
    sp_cpu_f6_sse = 5,
    sp_cpu_f15_sse2 = 6,  // family 15 with SSE2, without SSE3 and HT
    sp_cpu_f15_sse2_ht = 7,
    sp_cpu_f15_sse3 = 8,  // family 15 with SSE3, without the 64-bit extension
    sp_cpu_f6_sse2 = 9,
    sp_cpu_f7 = 16,
    sp_cpu_f15_no_sse2 = 17,
    sp_cpu_f15_sse3_x64 = 32,
};

// Reads the running processor's answers.
void sp_cpuid_read(sp_cpuid_snapshot* snapshot);
int32_t sp_cpuid_available_from(const sp_cpuid_snapshot* snapshot);
int32_t sp_cpu_vendor_is_intel_from(const sp_cpuid_snapshot* snapshot);
void sp_cpu_features_from(const sp_cpuid_snapshot* snapshot, sp_cpu_feature_record* record);
int32_t sp_cpu_type_from(const sp_cpuid_snapshot* snapshot);

// The same questions asked of the running processor.
int32_t sp_cpuid_available();
int32_t sp_cpu_vendor_is_intel();
void sp_cpu_features(sp_cpu_feature_record* record);
int32_t sp_cpu_type();
