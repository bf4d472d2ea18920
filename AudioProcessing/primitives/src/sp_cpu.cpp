// Processor detection: CPUID answers in, type code out.
#include "sp_cpu.h"

#include <cpuid.h>

namespace {

constexpr uint32_t kEflagsId = 0x200000;  // bit 21: writable when CPUID exists

uint32_t Bit(uint32_t word, int bit) {
    return (word >> bit) & 1u;
}

uint32_t FlipEflagsId() {
    uint64_t before, after;
    // Flip the ID bit, read EFLAGS back, and put the original value back.
    // The pushes stay clear of the red zone below the stack pointer.
    __asm__ volatile(
        "subq $128, %%rsp\n\t"
        "pushfq\n\t"
        "popq %0\n\t"
        "movq %0, %1\n\t"
        "xorq %2, %1\n\t"
        "pushq %1\n\t"
        "popfq\n\t"
        "pushfq\n\t"
        "popq %1\n\t"
        "pushq %0\n\t"
        "popfq\n\t"
        "addq $128, %%rsp\n\t"
        : "=&r"(before), "=&r"(after)
        : "i"(static_cast<uint64_t>(kEflagsId))
        : "cc", "memory");
    return ((before ^ after) & kEflagsId) != 0 ? 1u : 0u;
}

}  // namespace

void sp_cpuid_read(sp_cpuid_snapshot* s) {
    *s = sp_cpuid_snapshot{};
    s->cpuidAvailable = FlipEflagsId();
    if (!s->cpuidAvailable) return;
    uint32_t a, b, c, d;
    __cpuid(0, a, b, c, d);
    s->maxLeaf = a;
    s->vendor[0] = b;
    s->vendor[1] = d;
    s->vendor[2] = c;
    if (s->maxLeaf >= 1) {
        __cpuid(1, s->leaf1[0], s->leaf1[1], s->leaf1[2], s->leaf1[3]);
    }
    if (s->maxLeaf >= 2) {
        __cpuid(2, s->leaf2[0], s->leaf2[1], s->leaf2[2], s->leaf2[3]);
    }
    __cpuid(0x80000000u, a, b, c, d);
    s->maxExtLeaf = a;
    if (s->maxExtLeaf >= 0x80000001u) {
        __cpuid(0x80000001u, s->ext1[0], s->ext1[1], s->ext1[2], s->ext1[3]);
    }
}

int32_t sp_cpuid_available_from(const sp_cpuid_snapshot* s) {
    return s->cpuidAvailable ? 1 : 0;
}

int32_t sp_cpu_vendor_is_intel_from(const sp_cpuid_snapshot* s) {
    // "Genu" "ineI" "ntel" as little-endian words of EBX, EDX, ECX.
    return s->vendor[0] == 0x756E6547u && s->vendor[1] == 0x49656E69u && s->vendor[2] == 0x6C65746Eu
               ? 1
               : 0;
}

void sp_cpu_features_from(const sp_cpuid_snapshot* s, sp_cpu_feature_record* r) {
    const uint32_t eax = s->leaf1[0], ebx = s->leaf1[1], ecx = s->leaf1[2], edx = s->leaf1[3];
    r->family = (eax >> 8) & 0xF;
    r->stepping = eax & 0xF;
    r->model = (eax >> 4) & 0xF;
    r->leaf1Edx = edx;
    r->leaf2Eax = s->leaf2[0];
    r->leaf2Edx = s->leaf2[3];
    r->mmx = Bit(edx, 23);
    r->sse = Bit(edx, 25);
    r->sse2 = Bit(edx, 26);
    r->ht = (Bit(edx, 28) && ((ebx >> 16) & 0xFF) > 1) ? 1u : 0u;
    r->sse3 = Bit(ecx, 0);
    r->x64 = s->maxExtLeaf >= 0x80000001u ? Bit(s->ext1[3], 29) : 0u;
}

int32_t sp_cpu_type_from(const sp_cpuid_snapshot* s) {
    if (!sp_cpuid_available_from(s) || !sp_cpu_vendor_is_intel_from(s)) return sp_cpu_other;
    sp_cpu_feature_record r;
    sp_cpu_features_from(s, &r);
    switch (r.family) {
        case 7:
            return sp_cpu_f7;
        case 15:
            if (!r.sse2) return sp_cpu_f15_no_sse2;
            if (r.sse3) return r.x64 ? sp_cpu_f15_sse3_x64 : sp_cpu_f15_sse3;
            return r.ht ? sp_cpu_f15_sse2_ht : sp_cpu_f15_sse2;
        case 5:
            return r.mmx ? sp_cpu_f5_mmx : sp_cpu_f5;
        case 6:
            if (r.sse2) return sp_cpu_f6_sse2;
            if (r.sse) return sp_cpu_f6_sse;
            if (r.mmx) return sp_cpu_f6_mmx;
            return sp_cpu_f6;
        default:
            return sp_cpu_other;
    }
}

int32_t sp_cpuid_available() {
    return FlipEflagsId() ? 1 : 0;
}

int32_t sp_cpu_vendor_is_intel() {
    sp_cpuid_snapshot s;
    sp_cpuid_read(&s);
    return sp_cpu_vendor_is_intel_from(&s);
}

void sp_cpu_features(sp_cpu_feature_record* record) {
    sp_cpuid_snapshot s;
    sp_cpuid_read(&s);
    sp_cpu_features_from(&s, record);
}

int32_t sp_cpu_type() {
    sp_cpuid_snapshot s;
    sp_cpuid_read(&s);
    return sp_cpu_type_from(&s);
}
