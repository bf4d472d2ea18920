#include "CKAUDPBRes.h"

#include <MemAlloc.h>
#include <sp_dispatch.h>

#include "FloatingPointScope.h"
#include "ModuleEngineCalls.h"

namespace {

constexpr ULONG kCreateInputRate = 8000;
constexpr ULONG kCreateOutputRate = 8000;
constexpr ULONG kCreateQuality = 1;
constexpr ULONG kMaxQuality = 2;
constexpr int32_t kWindowHamming = 2;
constexpr int32_t kNormaliseToUnitSum = 1;

// Sample access that does not depend on the buffers' alignment.
SHORT ReadSample(const UCHAR* p) {
    SHORT v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}
void WriteSample(UCHAR* p, SHORT v) {
    std::memcpy(p, &v, sizeof(v));
}

// The filter's overshoot on full-scale input is clipped, never wrapped.
SHORT SaturateTruncated(double y) {
    if (y >= 32767.0) return 32767;
    if (y <= -32768.0) return -32768;
    return static_cast<SHORT>(y);  // toward zero
}

// One output sample: the taps of `phase` against the history.
double PolyphaseSum(const BResState* s, ULONG phase) {
    double y = 0.0;
    const double* tap = s->taps + phase;
    for (ULONG k = 0; k < s->K; ++k, tap += s->L) y += s->history[k] * *tap;
    return y;
}

void PushSample(BResState* s, SHORT sample) {
    if (s->K > 1) std::memmove(s->history + 1, s->history, (s->K - 1) * sizeof(SHORT));
    s->history[0] = sample;
}

}  // namespace

ULONG BResCreate(BResState** out) {
    if (out == nullptr) return ZV_FAILED;
    *out = nullptr;
    BResState* s = static_cast<BResState*>(MemAlloc(sizeof(BResState)));
    if (s == nullptr) return ZV_NO_MEMORY;
    std::memset(s, 0, sizeof(*s));
    s->inputRate = kCreateInputRate;
    s->outputRate = kCreateOutputRate;
    s->quality = kCreateQuality;
    s->rebuildNeeded = 1;
    *out = s;
    return ZV_OK;
}

ULONG BResDestroy(BResState* state) {
    if (state == nullptr) return kBResNoState;
    MemFree(state->history);
    MemFree(state->taps);
    MemFree(state);
    return ZV_OK;
}

ULONG BResGetProperty(const BResState* state, ULONG id, PULONG value) {
    if (state == nullptr) return kBResNoState;
    if (value == nullptr) return ZV_FAILED;
    switch (id) {
        case CKAUDPBRes::kPropConstTwo:
            *value = 2;
            return ZV_OK;
        case CKAUDPBRes::kPropConstZero:
            *value = 0;
            return ZV_OK;
        case CKAUDPBRes::kPropInputRate:
            *value = state->inputRate;
            return ZV_OK;
        case CKAUDPBRes::kPropOutputRate:
            *value = state->outputRate;
            return ZV_OK;
        case CKAUDPBRes::kPropQuality:
            *value = state->quality;
            return ZV_OK;
        default:
            return ZV_FAILED;
    }
}

ULONG BResSetProperty(BResState* state, ULONG id, ULONG value) {
    if (state == nullptr) return kBResNoState;
    ULONG* field;
    switch (id) {
        case CKAUDPBRes::kPropInputRate:
            field = &state->inputRate;
            break;
        case CKAUDPBRes::kPropOutputRate:
            field = &state->outputRate;
            break;
        case CKAUDPBRes::kPropQuality:
            field = &state->quality;
            break;
        default:
            return ZV_FAILED;
    }
    if (*field == value) return ZV_OK;
    // A rate of 0 has no ratio; it is refused like an unknown quality.
    if (id == CKAUDPBRes::kPropQuality ? value > kMaxQuality : value == 0) return ZV_FAILED;
    *field = value;
    state->rebuildNeeded = 1;
    return ZV_OK;
}

void BResReduceRatio(BResState* state) {
    ULONG l = state->outputRate;
    ULONG m = state->inputRate;
    while (l >= 2) {
        ULONG d = 2;
        while (d <= l && (l % d != 0 || m % d != 0)) ++d;
        if (d > l) break;
        l /= d;
        m /= d;
    }
    state->L = l;
    state->M = m;
}

ULONG BResDesignFilter(BResState* state) {
    // Rate of the signal upsampled by L.
    const float f = static_cast<float>(static_cast<ULONGLONG>(state->inputRate) * state->L);
    const ULONG smaller =
        state->inputRate < state->outputRate ? state->inputRate : state->outputRate;
    const ULONG edge = smaller / 2;
    const ULONG transition = edge / (3 + state->quality);
    // Rates of a few hertz leave no transition band to design for.
    if (transition == 0) return ZV_FAILED;
    state->transition = transition;
    state->cutoff = edge - transition / 2;

    // Length for a Hamming window's transition width (3.32 / N of the rate).
    const double length = static_cast<double>(f) * static_cast<double>(0.5f) *
                          static_cast<double>(6.64f) / static_cast<double>(transition);
    ULONGLONG n = static_cast<ULONGLONG>(length);
    if (n % state->L != 0) n = (n / state->L + 1) * state->L;
    MemFree(state->taps);
    state->taps = nullptr;
    state->N = 0;
    state->K = 0;
    // Unusual rate pairs ask for more taps than can be allocated at all.
    if (n > MEM_MAX_REQUEST / sizeof(double)) return ZV_NO_MEMORY;
    state->taps = static_cast<double*>(MemAlloc(static_cast<ULONG>(n * sizeof(double))));
    if (state->taps == nullptr) return ZV_NO_MEMORY;
    state->N = static_cast<ULONG>(n);
    state->K = state->N / state->L;

    const double relativeCutoff = static_cast<double>(state->cutoff) / static_cast<double>(f);
    if (ZvModLowpassDesign(relativeCutoff, state->taps, static_cast<int32_t>(state->N),
                           kWindowHamming, kNormaliseToUnitSum) != sp_status_ok) {
        return ZV_FAILED;
    }
    // Each phase sees one sample in L of the upsampled signal: gain L restores the level.
    for (ULONG i = 0; i < state->N; ++i) state->taps[i] *= state->L;
    return ZV_OK;
}

ULONG BResInit(BResState* state) {
    if (state->inputRate == state->outputRate) {
        state->L = 1;
        state->M = 1;
        state->rebuildNeeded = 0;
        return ZV_OK;
    }
    BResReduceRatio(state);
    ULONG status = BResDesignFilter(state);
    if (status != ZV_OK) return status;
    MemFree(state->history);
    state->history = static_cast<SHORT*>(MemAlloc(state->K * sizeof(SHORT)));
    if (state->history == nullptr) return ZV_NO_MEMORY;
    std::memset(state->history, 0, state->K * sizeof(SHORT));
    state->phase = 0;
    state->carried = 0;
    state->rebuildNeeded = 0;
    return ZV_OK;
}

ULONG BResProcess(BResState* state, ULONG pin, const void* input, ULONG inputBytes, void* output,
                  ULONG outputBytes, const ULONGLONG* side) {
    if (state == nullptr) return kBResNoState;
    if (pin != 0) return ZV_FAILED;
    // A side value of 0 marks the first block of a stream.
    if (side != nullptr && *side == 0) state->rebuildNeeded = 1;
    if (state->rebuildNeeded != 0) {
        ULONG status = BResInit(state);
        if (status != ZV_OK) return status;
    }
    if (static_cast<ULONGLONG>(state->L) * inputBytes / state->M != outputBytes) return ZV_FAILED;
    if (state->inputRate == state->outputRate) {
        std::memcpy(output, input, inputBytes);
        return ZV_OK;
    }

    // The samples of one call depend on the phase carried in: for blocks whose
    // length times L is not a multiple of M one more can fall due than the
    // output holds.  That sample is carried and written first in the next
    // call, so the stream stays whole.  The room of a block never exceeds
    // what falls due in it, so a carried sample cannot be paid back: while
    // one waits, a further surplus is dropped (the stream then skips one
    // sample) rather than letting the latency grow.
    const UCHAR* in = static_cast<const UCHAR*>(input);
    UCHAR* out = static_cast<UCHAR*>(output);
    const ULONG samples = inputBytes / sizeof(SHORT);
    const ULONG room = outputBytes / sizeof(SHORT);
    ULONG written = 0;
    if (state->carried != 0 && room > 0) {
        WriteSample(out, state->carry);
        state->carried = 0;
        written = 1;
    }
    for (ULONG i = 0; i < samples; ++i) {
        while (state->phase < state->L) {
            const SHORT y = SaturateTruncated(PolyphaseSum(state, state->phase));
            if (written < room) {
                WriteSample(out + written * sizeof(SHORT), y);
                ++written;
            } else if (state->carried == 0) {
                state->carry = y;
                state->carried = 1;
            }
            state->phase += state->M;
        }
        state->phase -= state->L;
        PushSample(state, ReadSample(in + i * sizeof(SHORT)));
    }
    return ZV_OK;
}

const ModuleParamEntry<CKAUDPBRes> CKAUDPBRes::s_Params[] = {
    {{0}, 0, 0, nullptr},
};

CKAUDPBRes::CKAUDPBRes(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status)
    : CKAUDPEngineModule(deviceObject, instanceCode, ZvFourCC("BRes")) {
    Start(status);
}

CKAUDPBRes::~CKAUDPBRes() {
    Finish();
}

ZvStatus CKAUDPBRes::SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                                   ULONG outputBytes, PULONGLONG side) {
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (input == nullptr || inputBytes == 0 || output == nullptr || outputBytes == 0)
        return ZV_INVALID_PARAMETER;
    // The design and the filter run in floating point.
    FloatingPointScope fp;
    if (!fp.Saved()) return ZV_FAILED;
    return static_cast<ZvStatus>(
        BResProcess(m_pState, pin, input, inputBytes, output, outputBytes, side));
}
