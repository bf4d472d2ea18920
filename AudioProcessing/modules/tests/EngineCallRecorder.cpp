#include "EngineCallRecorder.h"

#include <AecEngine.h>
#include <kp/thread.h>
#include <sp_dispatch.h>

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

// The real functions and their recorders, under the names the linker gives
// them for --wrap of each function's (mangled) symbol.
#define ZV_REAL(name) __asm__("__real_" name)
#define ZV_WRAP(name) __asm__("__wrap_" name)

#define AEC_CREATE "_Z9AecCreatePP8AecState"
#define AEC_DESTROY "_Z10AecDestroyP8AecState"
#define AEC_GET "_Z14AecGetPropertyP8AecStatejPjS1_"
#define AEC_GET_DWORD "_Z19AecGetPropertyDwordP8AecStatejPj"
#define AEC_SET "_Z14AecSetPropertyP8AecStatejPKsj"
#define AEC_SET_DWORD "_Z19AecSetPropertyDwordP8AecStatejt"
#define AEC_SUBMIT "_Z9AecSubmitP8AecStatejPKsjPsjS2_"
#define SP_DESIGN "_Z30sp_fir_design_lowpass_f64_stubdPdiii"
#define SP_XCORR "_Z24sp_xcorr_i16_scaled_stubPKsiS0_iPsiii"
#define SP_MEDIAN "_Z25sp_median_filter_i16_stubPKsPsii"

uint32_t RealAecCreate(AecState** out) ZV_REAL(AEC_CREATE);
uint32_t RealAecDestroy(AecState* state) ZV_REAL(AEC_DESTROY);
uint32_t RealAecGetProperty(AecState*, uint32_t, uint32_t*, uint32_t*) ZV_REAL(AEC_GET);
uint32_t RealAecGetPropertyDword(AecState*, uint32_t, uint32_t*) ZV_REAL(AEC_GET_DWORD);
uint32_t RealAecSetProperty(AecState*, uint32_t, const int16_t*, uint32_t) ZV_REAL(AEC_SET);
uint32_t RealAecSetPropertyDword(AecState*, uint32_t, uint16_t) ZV_REAL(AEC_SET_DWORD);
uint32_t RealAecSubmit(AecState*, uint32_t, const int16_t*, uint32_t, int16_t*, uint32_t,
                       const int16_t*) ZV_REAL(AEC_SUBMIT);
sp_status RealDesign(double, double*, int32_t, int32_t, int32_t) ZV_REAL(SP_DESIGN);
sp_status RealXcorr(const int16_t*, int32_t, const int16_t*, int32_t, int16_t*, int32_t, int32_t,
                    int32_t) ZV_REAL(SP_XCORR);
sp_status RealMedian(const int16_t*, int16_t*, int32_t, int32_t) ZV_REAL(SP_MEDIAN);

uint32_t WrapAecCreate(AecState** out) ZV_WRAP(AEC_CREATE);
uint32_t WrapAecCreate(AecState** out) {
    Note(zvmodtest::kCallAecCreate);
    const uint32_t result = RealAecCreate(out);
    if (zvmodtest::g_failAecConfiguration.exchange(false)) return 1;
    return result;
}
uint32_t WrapAecDestroy(AecState* state) ZV_WRAP(AEC_DESTROY);
uint32_t WrapAecDestroy(AecState* state) {
    Note(zvmodtest::kCallAecDestroy);
    return RealAecDestroy(state);
}
uint32_t WrapAecGetProperty(AecState*, uint32_t, uint32_t*, uint32_t*) ZV_WRAP(AEC_GET);
uint32_t WrapAecGetProperty(AecState* state, uint32_t id, uint32_t* value, uint32_t* size) {
    Note(zvmodtest::kCallAecGetProperty);
    return RealAecGetProperty(state, id, value, size);
}
uint32_t WrapAecGetPropertyDword(AecState*, uint32_t, uint32_t*) ZV_WRAP(AEC_GET_DWORD);
uint32_t WrapAecGetPropertyDword(AecState* state, uint32_t id, uint32_t* value) {
    Note(zvmodtest::kCallAecGetPropertyDword);
    return RealAecGetPropertyDword(state, id, value);
}
uint32_t WrapAecSetProperty(AecState*, uint32_t, const int16_t*, uint32_t) ZV_WRAP(AEC_SET);
uint32_t WrapAecSetProperty(AecState* state, uint32_t id, const int16_t* value, uint32_t size) {
    Note(zvmodtest::kCallAecSetProperty);
    return RealAecSetProperty(state, id, value, size);
}
uint32_t WrapAecSetPropertyDword(AecState*, uint32_t, uint16_t) ZV_WRAP(AEC_SET_DWORD);
uint32_t WrapAecSetPropertyDword(AecState* state, uint32_t id, uint16_t value) {
    Note(zvmodtest::kCallAecSetPropertyDword);
    return RealAecSetPropertyDword(state, id, value);
}
uint32_t WrapAecSubmit(AecState*, uint32_t, const int16_t*, uint32_t, int16_t*, uint32_t,
                       const int16_t*) ZV_WRAP(AEC_SUBMIT);
uint32_t WrapAecSubmit(AecState* state, uint32_t pin, const int16_t* in, uint32_t inBytes,
                       int16_t* out, uint32_t outBytes, const int16_t* delay) {
    Note(zvmodtest::kCallAecSubmit);
    return RealAecSubmit(state, pin, in, inBytes, out, outBytes, delay);
}
sp_status WrapDesign(double, double*, int32_t, int32_t, int32_t) ZV_WRAP(SP_DESIGN);
sp_status WrapDesign(double cutoff, double* taps, int32_t len, int32_t window, int32_t normalise) {
    Note(zvmodtest::kCallLowpassDesign);
    return RealDesign(cutoff, taps, len, window, normalise);
}
sp_status WrapXcorr(const int16_t*, int32_t, const int16_t*, int32_t, int16_t*, int32_t, int32_t,
                    int32_t) ZV_WRAP(SP_XCORR);
sp_status WrapXcorr(const int16_t* src1, int32_t len1, const int16_t* src2, int32_t len2,
                    int16_t* dst, int32_t dstLen, int32_t lowLag, int32_t scale) {
    Note(zvmodtest::kCallXcorr);
    ULONG pending = zvmodtest::g_xcorrFailures.load();
    while (pending != 0 &&
           !zvmodtest::g_xcorrFailures.compare_exchange_weak(pending, pending - 1)) {
    }
    if (pending != 0) return static_cast<sp_status>(zvmodtest::g_xcorrStatus.load());
    return RealXcorr(src1, len1, src2, len2, dst, dstLen, lowLag, scale);
}
sp_status WrapMedian(const int16_t*, int16_t*, int32_t, int32_t) ZV_WRAP(SP_MEDIAN);
sp_status WrapMedian(const int16_t* src, int16_t* dst, int32_t len, int32_t mask) {
    Note(zvmodtest::kCallMedian);
    return RealMedian(src, dst, len, mask);
}
