// Shared support for the tests of the sp_ primitives: variant iteration (the
// dispatcher picks the generic members on the build machines, so every SIMD
// member is called directly), guard-page buffers that catch SIMD over-reads,
// floating-point control checks and leak accounting.
#pragma once

#include <float.h>
#include <gtest/gtest.h>
#include <math.h>
#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "sp_primitives.h"

namespace sptest {

// ---- Variants ---------------------------------------------------------------
const char* VariantName(int32_t variant);
// Whether this processor can run the variant's instructions.
bool VariantRunsHere(int32_t variant);

// Fixture parameterised over the four variants; SetUp skips a variant the
// processor cannot run.  Use SP_INSTANTIATE_VARIANTS(Suite) after the tests.
class VariantTest : public ::testing::TestWithParam<int32_t> {
protected:
    void SetUp() override;
    int32_t Variant() const { return GetParam(); }
    // The member of `Entry` for this test's variant, straight from the row list.
    template <int32_t Entry>
    typename sp_entry_type<Entry>::type Member() const {
        return sp_dispatch_member<Entry>(GetParam());
    }
};
std::string VariantParamName(const ::testing::TestParamInfo<int32_t>& info);
#define SP_INSTANTIATE_VARIANTS(suite)                                          \
    INSTANTIATE_TEST_SUITE_P(AllVariants, suite, ::testing::Values(0, 1, 2, 3), \
                             ::sptest::VariantParamName)

// Calls fn(variant) for every variant this processor can run, with a trace.
void ForEachVariant(const std::function<void(int32_t)>& fn);

// ---- Guard-page buffers -----------------------------------------------------
// `bytes` of usable memory placed against an inaccessible page, so that a read
// or write one byte outside faults at once.  AtEnd: the last byte touches the
// guard page behind it.  AtFront: the guard page is in front, the data starts
// `offset` bytes after it.  The memory starts cleared.
class GuardedBuffer {
public:
    static GuardedBuffer AtEnd(size_t bytes);
    static GuardedBuffer AtFront(size_t bytes, size_t offset);
    GuardedBuffer(GuardedBuffer&& other) noexcept;
    GuardedBuffer& operator=(GuardedBuffer&&) = delete;
    GuardedBuffer(const GuardedBuffer&) = delete;
    ~GuardedBuffer();

    template <class T>
    T* As() const {
        return reinterpret_cast<T*>(data_);
    }
    unsigned char* Data() const { return data_; }
    size_t Size() const { return bytes_; }

private:
    GuardedBuffer() = default;
    unsigned char* map_ = nullptr;
    size_t mapBytes_ = 0;
    bool guardAtEnd_ = false;
    unsigned char* data_ = nullptr;
    size_t bytes_ = 0;
};

// ---- Floating-point control state ---------------------------------------------
struct FpControl {
    uint32_t mxcsr;
    uint16_t x87;
    bool operator==(const FpControl&) const = default;
};
FpControl ReadFpControl();
void WriteFpControl(const FpControl& state);
// An unusual state (MXCSR round-down with denormals-are-zero and flush-to-zero,
// x87 round-up) that a routine must hand back unchanged.
FpControl UnusualFpControl();
// Runs fn under UnusualFpControl, restores the normal state and reports whether
// the state right after fn was still the unusual one.
::testing::AssertionResult KeepsFpControl(const std::function<void()>& fn);

// ---- Allocations -------------------------------------------------------------
uint64_t LiveBlocks();

// ---- Random data --------------------------------------------------------------
using Samples = std::vector<int16_t>;
Samples RandomI16(size_t n, uint32_t seed);

// ---- Transform results ---------------------------------------------------------
// Relative L2 error of a transform's result against a wide reference (long
// double or double), within a bound that grows like log2 N.  The sums are
// formed in long double whatever the reference's type, so a large result
// needs no wide copy of its own.
template <typename T>
::testing::AssertionResult CloseInL2(const float* got, const std::vector<T>& want, int32_t order) {
    long double err = 0, norm = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        const long double w = want[i], d = got[i] - w;
        err += d * d;
        norm += w * w;
    }
    const long double bound = 1.5L * (order + 1) * FLT_EPSILON * sqrtl(norm) + 1e-30L;
    if (sqrtl(err) <= bound) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "order " << order << ": L2 error " << static_cast<double>(sqrtl(err)) << " above "
           << static_cast<double>(bound);
}

// ---- Case tables --------------------------------------------------------------
// The sanitizer builds run many times slower: the long case tables take a
// sample of their rows there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
// A case table loop's step: `full` in the ordinary builds, `sampled` under a
// sanitizer.
constexpr int32_t CaseStep(int32_t full, int32_t sampled) {
    return kSanitized ? sampled : full;
}

}  // namespace sptest
