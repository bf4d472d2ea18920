#include "sp_test_support.h"

#include <sys/mman.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include "TestAllocator.h"

namespace sptest {

const char* VariantName(int32_t variant) {
    static const char* const kNames[4] = {"Generic", "Sse", "Sse2", "Sse3"};
    return variant >= 0 && variant < 4 ? kNames[variant] : "Unknown";
}

bool VariantRunsHere(int32_t variant) {
    switch (variant) {
        case sp_variant_generic:
        case sp_variant_sse:
        case sp_variant_sse2:
            return true;  // part of every x86-64 processor
        case sp_variant_sse3:
            return __builtin_cpu_supports("sse3");
        default:
            return false;
    }
}

void VariantTest::SetUp() {
    if (!VariantRunsHere(GetParam())) GTEST_SKIP() << "processor lacks " << VariantName(GetParam());
}

std::string VariantParamName(const ::testing::TestParamInfo<int32_t>& info) {
    return VariantName(info.param);
}

void ForEachVariant(const std::function<void(int32_t)>& fn) {
    for (int32_t v = 0; v < 4; ++v) {
        if (!VariantRunsHere(v)) continue;
        SCOPED_TRACE(VariantName(v));
        fn(v);
    }
}

// ---- Guard pages ----------------------------------------------------------------

namespace {
size_t PageSize() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
size_t RoundUp(size_t n, size_t to) {
    return (n + to - 1) / to * to;
}

// Mapping a buffer and its guard page costs page faults and address-space
// shoot-downs, and the sweeps make thousands of buffers: one given back keeps
// its mapping (guard page included) for the next of the same shape, cleared.
struct SpareMapping {
    unsigned char* Map;
    size_t Bytes;
    bool GuardAtEnd;
};
constexpr size_t kSpareBytes = 64u << 20;
std::mutex g_spareLock;
std::vector<SpareMapping> g_spares;
size_t g_spareTotal = 0;

// A mapping of `mapBytes` with its guard page at the end or the front, its
// usable pages cleared.
unsigned char* MapGuarded(size_t mapBytes, bool guardAtEnd) {
    const size_t page = PageSize();
    {
        std::lock_guard<std::mutex> lock(g_spareLock);
        for (auto it = g_spares.begin(); it != g_spares.end(); ++it) {
            if (it->Bytes != mapBytes || it->GuardAtEnd != guardAtEnd) continue;
            unsigned char* map = it->Map;
            g_spareTotal -= mapBytes;
            g_spares.erase(it);
            std::memset(guardAtEnd ? map : map + page, 0, mapBytes - page);
            return map;
        }
    }
    void* map = mmap(nullptr, mapBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) abort();
    auto* bytes = static_cast<unsigned char*>(map);
    if (mprotect(guardAtEnd ? bytes + mapBytes - page : bytes, page, PROT_NONE) != 0) abort();
    return bytes;
}
}  // namespace

GuardedBuffer GuardedBuffer::AtEnd(size_t bytes) {
    GuardedBuffer b;
    const size_t page = PageSize();
    const size_t body = RoundUp(bytes == 0 ? 1 : bytes, page);
    b.mapBytes_ = body + page;
    b.guardAtEnd_ = true;
    b.map_ = MapGuarded(b.mapBytes_, true);
    b.bytes_ = bytes;
    b.data_ = b.map_ + body - bytes;
    return b;
}

GuardedBuffer GuardedBuffer::AtFront(size_t bytes, size_t offset) {
    GuardedBuffer b;
    const size_t page = PageSize();
    const size_t body = RoundUp(bytes + offset + 1, page);
    b.mapBytes_ = body + page;
    b.guardAtEnd_ = false;
    b.map_ = MapGuarded(b.mapBytes_, false);
    b.bytes_ = bytes;
    b.data_ = b.map_ + page + offset;
    return b;
}

GuardedBuffer::GuardedBuffer(GuardedBuffer&& other) noexcept
    : map_(other.map_),
      mapBytes_(other.mapBytes_),
      guardAtEnd_(other.guardAtEnd_),
      data_(other.data_),
      bytes_(other.bytes_) {
    other.map_ = nullptr;
}

GuardedBuffer::~GuardedBuffer() {
    if (map_ == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(g_spareLock);
        if (g_spareTotal + mapBytes_ <= kSpareBytes) {
            g_spares.push_back({map_, mapBytes_, guardAtEnd_});
            g_spareTotal += mapBytes_;
            return;
        }
    }
    munmap(map_, mapBytes_);
}

// ---- Floating-point control -------------------------------------------------------

FpControl ReadFpControl() {
    FpControl s;
    s.mxcsr = _mm_getcsr();
    __asm__ volatile("fnstcw %0" : "=m"(s.x87));
    return s;
}

void WriteFpControl(const FpControl& s) {
    _mm_setcsr(s.mxcsr);
    __asm__ volatile("fldcw %0" : : "m"(s.x87));
}

FpControl UnusualFpControl() {
    // MXCSR: all exceptions masked, rounding down (RC = 01), DAZ and FTZ set.
    // x87: all exceptions masked, 64-bit precision, rounding up (RC = 10).
    return FpControl{0x1F80u | 0x2000u | 0x0040u | 0x8000u,
                     static_cast<uint16_t>(0x037Fu | 0x0800u)};
}

::testing::AssertionResult KeepsFpControl(const std::function<void()>& fn) {
    const FpControl normal = ReadFpControl();
    const FpControl unusual = UnusualFpControl();
    WriteFpControl(unusual);
    fn();
    FpControl after = ReadFpControl();
    WriteFpControl(normal);
    // Exception flags (sticky status bits) may be raised by the arithmetic; the
    // control bits must be exactly as they were.
    after.mxcsr &= ~0x3Fu;
    if (after == unusual) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << std::hex << "MXCSR " << unusual.mxcsr << " became " << after.mxcsr
           << ", x87 control word " << unusual.x87 << " became " << after.x87;
}

uint64_t LiveBlocks() {
    return zvtest::GetAllocatorCounts().liveBlocks;
}

std::vector<int16_t> RandomI16(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(-32768, 32767);
    std::vector<int16_t> v(n);
    for (auto& x : v) x = static_cast<int16_t>(d(rng));
    return v;
}

}  // namespace sptest
