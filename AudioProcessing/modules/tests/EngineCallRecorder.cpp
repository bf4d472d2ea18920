#include "EngineCallRecorder.h"

#include <ModuleEngineCalls.h>
#include <kp/thread.h>

#include <atomic>

namespace zvmodtest {
namespace {

std::atomic<ULONGLONG> g_calls[kWatchedCallCount];
std::atomic<ULONGLONG> g_unsaved[kWatchedCallCount];
std::atomic<ULONG> g_xcorrFailures{0};
std::atomic<LONG> g_xcorrStatus{0};
std::atomic<bool> g_failAecConfiguration{false};

void Note(WatchedCall call) {
    ++g_calls[call];
    if (KpFloatingPointDepth() == 0) ++g_unsaved[call];
}

}  // namespace

void ResetWatchedCalls() {
    for (ULONG i = 0; i < kWatchedCallCount; ++i) {
        g_calls[i] = 0;
        g_unsaved[i] = 0;
    }
    g_xcorrFailures = 0;
    g_failAecConfiguration = false;
}

WatchedCallCounts WatchedCallsOf(WatchedCall call) {
    return {g_calls[call].load(), g_unsaved[call].load()};
}

WatchedCallCounts AllWatchedCalls() {
    WatchedCallCounts sum{0, 0};
    for (ULONG i = 0; i < kWatchedCallCount; ++i) {
        sum.calls += g_calls[i];
        sum.unsaved += g_unsaved[i];
    }
    return sum;
}

void FailNextXcorr(ULONG count, LONG status) {
    g_xcorrStatus = status;
    g_xcorrFailures = count;
}

void FailNextAecConfiguration() {
    g_failAecConfiguration = true;
}

}  // namespace zvmodtest

using zvmodtest::Note;

// The real entry points and their recorders, under the names the linker gives
// them for --wrap of each of the modules' seam functions.
extern "C" {

uint32_t __real_ZvModAecCreate(AecState** out);
uint32_t __real_ZvModAecDestroy(AecState* state);
uint32_t __real_ZvModAecGetProperty(AecState*, uint32_t, uint32_t*, uint32_t*);
uint32_t __real_ZvModAecGetPropertyDword(AecState*, uint32_t, uint32_t*);
uint32_t __real_ZvModAecSetProperty(AecState*, uint32_t, const int16_t*, uint32_t);
uint32_t __real_ZvModAecSetPropertyDword(AecState*, uint32_t, uint16_t);
uint32_t __real_ZvModAecSubmit(AecState*, uint32_t, const int16_t*, uint32_t, int16_t*, uint32_t,
                               const int16_t*);
sp_status __real_ZvModLowpassDesign(double, double*, int32_t, int32_t, int32_t);
sp_status __real_ZvModXcorr(const int16_t*, int32_t, const int16_t*, int32_t, int16_t*, int32_t,
                            int32_t, int32_t, sp_xcorr_keep*);
sp_status __real_ZvModMedian(const int16_t*, int16_t*, int32_t, int32_t);

uint32_t __wrap_ZvModAecCreate(AecState** out) {
    Note(zvmodtest::kCallAecCreate);
    const uint32_t result = __real_ZvModAecCreate(out);
    if (zvmodtest::g_failAecConfiguration.exchange(false)) return 1;
    return result;
}
uint32_t __wrap_ZvModAecDestroy(AecState* state) {
    Note(zvmodtest::kCallAecDestroy);
    return __real_ZvModAecDestroy(state);
}
uint32_t __wrap_ZvModAecGetProperty(AecState* state, uint32_t id, uint32_t* value, uint32_t* size) {
    Note(zvmodtest::kCallAecGetProperty);
    return __real_ZvModAecGetProperty(state, id, value, size);
}
uint32_t __wrap_ZvModAecGetPropertyDword(AecState* state, uint32_t id, uint32_t* value) {
    Note(zvmodtest::kCallAecGetPropertyDword);
    return __real_ZvModAecGetPropertyDword(state, id, value);
}
uint32_t __wrap_ZvModAecSetProperty(AecState* state, uint32_t id, const int16_t* value,
                                    uint32_t size) {
    Note(zvmodtest::kCallAecSetProperty);
    return __real_ZvModAecSetProperty(state, id, value, size);
}
uint32_t __wrap_ZvModAecSetPropertyDword(AecState* state, uint32_t id, uint16_t value) {
    Note(zvmodtest::kCallAecSetPropertyDword);
    return __real_ZvModAecSetPropertyDword(state, id, value);
}
uint32_t __wrap_ZvModAecSubmit(AecState* state, uint32_t pin, const int16_t* in, uint32_t inBytes,
                               int16_t* out, uint32_t outBytes, const int16_t* delay) {
    Note(zvmodtest::kCallAecSubmit);
    return __real_ZvModAecSubmit(state, pin, in, inBytes, out, outBytes, delay);
}
sp_status __wrap_ZvModLowpassDesign(double cutoff, double* taps, int32_t len, int32_t window,
                                    int32_t normalise) {
    Note(zvmodtest::kCallLowpassDesign);
    return __real_ZvModLowpassDesign(cutoff, taps, len, window, normalise);
}
sp_status __wrap_ZvModXcorr(const int16_t* src1, int32_t len1, const int16_t* src2, int32_t len2,
                            int16_t* dst, int32_t dstLen, int32_t lowLag, int32_t scale,
                            sp_xcorr_keep* keep) {
    Note(zvmodtest::kCallXcorr);
    ULONG pending = zvmodtest::g_xcorrFailures.load();
    while (pending != 0 &&
           !zvmodtest::g_xcorrFailures.compare_exchange_weak(pending, pending - 1)) {
    }
    if (pending != 0) return static_cast<sp_status>(zvmodtest::g_xcorrStatus.load());
    return __real_ZvModXcorr(src1, len1, src2, len2, dst, dstLen, lowLag, scale, keep);
}
sp_status __wrap_ZvModMedian(const int16_t* src, int16_t* dst, int32_t len, int32_t mask) {
    Note(zvmodtest::kCallMedian);
    return __real_ZvModMedian(src, dst, len, mask);
}

}  // extern "C"
