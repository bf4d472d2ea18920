#include "CKAUDPWAVC.h"

#include <MemAlloc.h>
#include <sp_dispatch.h>

#include "FloatingPointScope.h"
#include "ModuleEngineCalls.h"

namespace {

constexpr ULONG kDefaultRate = 8000;
constexpr ULONG kWideRate = 16000;
constexpr ULONG kDefaultBits = 16;
// A block is active when its mean square reaches this (RMS 50, about -56 dBFS):
// an echo 30 dB below a far end of ordinary speech level still counts, while
// a quiet room's noise (about -70 dBFS) does not.
constexpr ULONGLONG kActiveMeanSquare = 2500;
// Active blocks among the last five that each pin needs before estimating.
constexpr ULONG kMinActiveBlocks = 2;
// An estimate within this many ms of the running average agrees with it.
constexpr LONG kAgreementMs = 3;
constexpr ULONG kConfidenceStep = 5;
constexpr ULONG kConfidencePublish = 30;
constexpr ULONG kConfidenceFinal = 50;
constexpr ULONG kConfidenceResumed = 25;
constexpr ULONG kConfidenceMax = 100;

SHORT* AllocSamples(ULONG count) {
    return static_cast<SHORT*>(MemAlloc(count * sizeof(SHORT)));
}

// The six buffers of one rate, allocated together.
struct WavcBuffers {
    SHORT* nearBuffer;
    SHORT* farBuffer;
    SHORT* correlation;
    SHORT* lagHistory;
    SHORT* firstMedian;
    SHORT* secondMedian;
};

void FreeBuffers(const WavcBuffers& b) {
    MemFree(b.nearBuffer);
    MemFree(b.farBuffer);
    MemFree(b.correlation);
    MemFree(b.lagHistory);
    MemFree(b.firstMedian);
    MemFree(b.secondMedian);
}

// All or nothing: false (and nothing left allocated) when one allocation fails.
bool AllocBuffers(WavcBuffers* b, ULONG window, ULONG historyLength) {
    b->nearBuffer = AllocSamples(2 * window);
    b->farBuffer = AllocSamples(2 * window);
    b->correlation = AllocSamples(2 * window + 1);
    b->lagHistory = AllocSamples(historyLength);
    b->firstMedian = AllocSamples(historyLength);
    b->secondMedian = AllocSamples(historyLength);
    if (b->nearBuffer != nullptr && b->farBuffer != nullptr && b->correlation != nullptr &&
        b->lagHistory != nullptr && b->firstMedian != nullptr && b->secondMedian != nullptr) {
        std::memset(b->nearBuffer, 0, 2 * window * sizeof(SHORT));
        std::memset(b->farBuffer, 0, 2 * window * sizeof(SHORT));
        std::memset(b->correlation, 0, (2 * window + 1) * sizeof(SHORT));
        std::memset(b->lagHistory, 0, historyLength * sizeof(SHORT));
        std::memset(b->firstMedian, 0, historyLength * sizeof(SHORT));
        std::memset(b->secondMedian, 0, historyLength * sizeof(SHORT));
        return true;
    }
    FreeBuffers(*b);
    return false;
}

WavcBuffers BuffersOf(const WavcState* s) {
    return {s->nearBuffer, s->farBuffer,   s->correlation,
            s->lagHistory, s->firstMedian, s->secondMedian};
}

// One input sample as 16 bits: 8-bit samples are unsigned around 128, 32-bit
// ones keep their upper half.
SHORT ReadSample(const UCHAR* p, ULONG bits) {
    if (bits == 8) return static_cast<SHORT>((p[0] - 128) * 256);
    if (bits == 16) return static_cast<SHORT>(static_cast<USHORT>(p[0] | (p[1] << 8)));
    return static_cast<SHORT>(static_cast<USHORT>(p[2] | (p[3] << 8)));
}

ULONG ActiveCount(const ULONG* flags) {
    ULONG active = 0;
    for (ULONG i = 0; i < kWavcActivityFlags; ++i) active += flags[i] != 0 ? 1 : 0;
    return active;
}

// The least r with r * r >= x.
ULONGLONG RootUp(ULONGLONG x) {
    ULONGLONG r = 0;
    for (ULONGLONG bit = 1ULL << 31; bit != 0; bit >>= 1) {
        if ((r + bit) * (r + bit) <= x) r += bit;
    }
    return r * r < x ? r + 1 : r;
}

// The power of two the correlation is divided by: the least that keeps every
// lag's value within 16 bits (no lag can exceed the root of the product of the
// two windows' energies), at most `fullScale`, which fits two full-scale
// windows.  A fixed `fullScale` would leave a weak echo's correlation a few
// steps high, its peak lost among equal values.
ULONG CorrelationScale(const SHORT* far, const SHORT* near, ULONG w, ULONG fullScale) {
    ULONGLONG farEnergy = 0, nearEnergy = 0;
    for (ULONG i = 0; i < w; ++i) {
        farEnergy += static_cast<ULONGLONG>(static_cast<LONG>(far[i]) * far[i]);
        nearEnergy += static_cast<ULONGLONG>(static_cast<LONG>(near[i]) * near[i]);
    }
    // Each root is below 2^23 for a window of 8000 samples: the product fits.
    const ULONGLONG largest = RootUp(farEnergy) * RootUp(nearEnergy);
    ULONG scale = 0;
    while (scale < fullScale && largest >= (32767ULL << scale)) ++scale;
    return scale;
}

// Correlates the last half second of both pins, smooths the lag and updates
// the confidence; publishes through *side once it is high enough.
void WavcEstimate(WavcState* s, PULONGLONG side) {
    const ULONG w = s->window;
    FloatingPointScope fp;  // the correlation computes in floating point
    if (!fp.Saved()) return;
    const SHORT* far = s->farBuffer + s->writeFar - w;
    const SHORT* near = s->nearBuffer + s->writeNear - w;
    // A failed correlation or median says nothing about the delay: it is not
    // taken as an estimate.
    if (ZvModXcorr(far, static_cast<int32_t>(w), near, static_cast<int32_t>(w), s->correlation,
                   static_cast<int32_t>(2 * w + 1), 1 - static_cast<int32_t>(w),
                   static_cast<int32_t>(CorrelationScale(far, near, w, s->scale)),
                   &s->xcorrKeep) < sp_status_ok) {
        return;
    }
    // The first of equal peaks wins.  Output w - 1 belongs to lag 0, so the
    // lag counted from output w is one sample short of the true lag.
    ULONG peak = 0;
    LONG peakMagnitude = -1;
    for (ULONG i = 0; i < 2 * w + 1; ++i) {
        const LONG magnitude =
            s->correlation[i] < 0 ? -static_cast<LONG>(s->correlation[i]) : s->correlation[i];
        if (magnitude > peakMagnitude) {
            peakMagnitude = magnitude;
            peak = i;
        }
    }
    const ULONG lag = peak >= w ? peak - w : w - peak;
    s->delay = lag * 1000 / s->rate;

    s->lagHistory[s->historyIndex] = static_cast<SHORT>(s->delay);
    const int32_t filled = static_cast<int32_t>(s->filled);
    if (ZvModMedian(s->lagHistory, s->firstMedian, filled, 3) < sp_status_ok ||
        ZvModMedian(s->firstMedian, s->secondMedian, filled, 5) < sp_status_ok) {
        return;
    }
    LONG sum = 0;
    for (ULONG i = 0; i < s->filled; ++i) sum += s->secondMedian[i];
    s->average = static_cast<ULONG>(sum / filled);

    s->historyIndex = s->historyIndex + 1 < s->historyLength ? s->historyIndex + 1 : 0;
    if (s->filled < s->historyLength) ++s->filled;

    const LONG difference = static_cast<LONG>(s->delay) - static_cast<LONG>(s->average);
    if (difference <= kAgreementMs && difference >= -kAgreementMs) {
        s->confidence += kConfidenceStep;
    } else if (s->confidence > kConfidenceStep) {
        s->confidence -= kConfidenceStep;
    }
    if (s->confidence >= kConfidencePublish && side != nullptr) *side = s->average;
    if (s->confidence >= kConfidenceFinal) {
        s->enable = 0;
        s->confidence = kConfidenceMax;
    }
}

}  // namespace

ULONG WavcCreate(WavcState** out) {
    if (out == nullptr) return ZV_FAILED;
    *out = nullptr;
    WavcState* s = static_cast<WavcState*>(MemAlloc(sizeof(WavcState)));
    if (s == nullptr) return ZV_NO_MEMORY;
    std::memset(s, 0, sizeof(*s));
    s->bits = kDefaultBits;
    WavcReset(s);
    const ULONG status = WavcConfigure(s, kDefaultRate);
    if (status != ZV_OK) {
        WavcDestroy(s);
        return status;
    }
    *out = s;
    return ZV_OK;
}

ULONG WavcDestroy(WavcState* state) {
    if (state == nullptr) return kWavcNoState;
    FreeBuffers(BuffersOf(state));
    sp_xcorr_keep_release(&state->xcorrKeep);
    MemFree(state);
    return ZV_OK;
}

ULONG WavcConfigure(WavcState* state, ULONG rate) {
    if (rate != kDefaultRate && rate != kWideRate) return ZV_FAILED;
    const ULONG window = rate * 500 / 1000;
    const ULONG block = rate * 100 / 1000;
    const ULONG historyLength = 2 * rate / block + 1;
    // The old buffers stay in use until the new ones exist.
    WavcBuffers fresh;
    if (!AllocBuffers(&fresh, window, historyLength)) return ZV_NO_MEMORY;
    FreeBuffers(BuffersOf(state));
    // The kept transform is of the old window's order.
    sp_xcorr_keep_release(&state->xcorrKeep);
    state->nearBuffer = fresh.nearBuffer;
    state->farBuffer = fresh.farBuffer;
    state->correlation = fresh.correlation;
    state->lagHistory = fresh.lagHistory;
    state->firstMedian = fresh.firstMedian;
    state->secondMedian = fresh.secondMedian;
    state->rate = rate;
    state->window = window;
    state->block = block;
    state->historyLength = historyLength;
    state->search = rate * 301 / 1000;
    state->scale = rate == kDefaultRate ? 27 : 28;
    // Positions of the previous size may lie past the new buffers' end.
    state->writeNear = 0;
    state->writeFar = 0;
    state->countNear = 0;
    state->countFar = 0;
    return ZV_OK;
}

void WavcReset(WavcState* state) {
    state->filled = 1;
    state->enable = 1;
    state->historyIndex = 0;
    state->writeNear = 0;
    state->writeFar = 0;
    state->countNear = 0;
    state->countFar = 0;
    state->delay = 0;
    state->average = 0;
    state->confidence = 0;
    std::memset(state->activityNear, 0, sizeof(state->activityNear));
    std::memset(state->activityFar, 0, sizeof(state->activityFar));
    state->activityNearIndex = 0;
    state->activityFarIndex = 0;
}

ULONG WavcGetProperty(const WavcState* state, ULONG id, PULONG value) {
    if (state == nullptr) return kWavcNoState;
    if (value == nullptr) return ZV_FAILED;
    switch (id) {
        case CKAUDPWAVC::kPropZero:
        case CKAUDPWAVC::kPropOne:
        case CKAUDPWAVC::kPropReset:
            *value = 0;
            return ZV_OK;
        case CKAUDPWAVC::kPropEnable:
            *value = state->enable;
            return ZV_OK;
        case CKAUDPWAVC::kPropBits:
            *value = state->bits;
            return ZV_OK;
        case CKAUDPWAVC::kPropRate:
            *value = state->rate;
            return ZV_OK;
        case CKAUDPWAVC::kPropConfidence:
            *value = state->confidence;
            return ZV_OK;
        default:
            return ZV_FAILED;
    }
}

ULONG WavcSetProperty(WavcState* state, ULONG id, ULONG value) {
    if (state == nullptr) return kWavcNoState;
    switch (id) {
        case CKAUDPWAVC::kPropEnable:
            // One more agreeing estimate publishes again.
            state->confidence = kConfidenceResumed;
            state->enable = value != 0 ? 1 : 0;
            return ZV_OK;
        case CKAUDPWAVC::kPropReset:
            WavcReset(state);
            return ZV_OK;
        case CKAUDPWAVC::kPropBits:
            if (value == state->bits) return ZV_OK;
            if (value != 8 && value != 16 && value != 32) return ZV_FAILED;
            state->bits = value;
            return ZV_OK;
        case CKAUDPWAVC::kPropRate: {
            if (value == state->rate) return ZV_OK;
            if (value != kDefaultRate && value != kWideRate) return ZV_FAILED;
            const ULONG status = WavcConfigure(state, value);
            if (status != ZV_OK) return status;
            WavcReset(state);
            return ZV_OK;
        }
        default:
            return ZV_FAILED;
    }
}

void WavcBlockActivity(WavcState* state, ULONG pin) {
    const SHORT* buffer = pin == 1 ? state->nearBuffer : state->farBuffer;
    const ULONG position = pin == 1 ? state->writeNear : state->writeFar;
    ULONG* flags = pin == 1 ? state->activityNear : state->activityFar;
    ULONG* index = pin == 1 ? &state->activityNearIndex : &state->activityFarIndex;
    if (position < state->block) return;
    // 64 bits: at 32 bits a block louder than about -23 dBFS wraps and reads as quiet.
    ULONGLONG sum = 0;
    for (ULONG i = position - state->block; i < position; ++i) {
        const LONGLONG v = buffer[i];
        sum += static_cast<ULONGLONG>(v * v);
    }
    flags[*index] = sum / state->block >= kActiveMeanSquare ? 1 : 0;
    *index = (*index + 1) % kWavcActivityFlags;
}

ULONG WavcProcess(WavcState* state, ULONG pin, const void* data, ULONG bytes, PULONGLONG side) {
    if (state == nullptr) return kWavcNoState;
    if (pin > 1) return ZV_FAILED;
    const ULONG sampleBytes = state->bits / 8;
    const ULONG n = bytes / sampleBytes;
    if (n == 0) return ZV_OK;
    SHORT* buffer = pin == 1 ? state->nearBuffer : state->farBuffer;
    ULONG* position = pin == 1 ? &state->writeNear : &state->writeFar;
    ULONG* count = pin == 1 ? &state->countNear : &state->countFar;
    const ULONG w = state->window;
    const UCHAR* in = static_cast<const UCHAR*>(data);
    for (ULONG i = 0; i < n; ++i, in += sampleBytes) {
        buffer[(*position)++] = ReadSample(in, state->bits);
        if (*position == 2 * w) {
            // Slide: the newest half moves down, half a second stays in view.
            std::memmove(buffer, buffer + w, w * sizeof(SHORT));
            *position = w;
        }
    }
    *count = *count > 0xFFFFFFFFu - n ? 0xFFFFFFFFu : *count + n;

    if (*position % state->block == 0) WavcBlockActivity(state, pin);

    const ULONG needed = w + state->search;
    if (pin == 1 && state->enable != 0 && state->countNear >= needed && state->countFar >= needed &&
        *position % state->block == 0 && ActiveCount(state->activityNear) >= kMinActiveBlocks &&
        ActiveCount(state->activityFar) >= kMinActiveBlocks) {
        WavcEstimate(state, side);
    }
    return ZV_OK;
}

const ModuleParamEntry<CKAUDPWAVC> CKAUDPWAVC::s_Params[] = {
    {{0}, 0, 0, nullptr},
};

CKAUDPWAVC::CKAUDPWAVC(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status)
    : CKAUDPEngineModule(deviceObject, instanceCode, ZvFourCC("WAVC")) {
    Start(status);
}

CKAUDPWAVC::~CKAUDPWAVC() {
    Finish();
}

ZvStatus CKAUDPWAVC::SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                                   ULONG outputBytes, PULONGLONG side) {
    (void)output;
    (void)outputBytes;
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (input == nullptr || inputBytes == 0) return ZV_INVALID_PARAMETER;
    return static_cast<ZvStatus>(WavcProcess(m_pState, pin, input, inputBytes, side));
}
