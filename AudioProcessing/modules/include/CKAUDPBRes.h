// Resampler, tag "BRes": changes the sample rate of 16-bit mono PCM by a
// rational factor L/M with a polyphase FIR filter.  The filter is a Hamming
// windowed-sinc low-pass designed from the two rates and a quality setting by
// the primitives library, at the first block after any change.
//
// Properties (4 bytes, through GetPropertyDword / SetPropertyDword only):
//   0  read-only, 2          3  output rate, Hz (not 0)
//   1  read-only, 0          4  quality 0, 1 or 2 (transition edge/3, /4, /5)
//   2  input rate, Hz (not 0)
// The buffer forms GetProperty / SetProperty are not supported (1).
#pragma once

#include "CKAUDPEngineModule.h"

// The resampler engine.  Rates and widths in Hz.  Written only by the
// module's calls, which the owner serialises.
struct BResState {
    ULONG inputRate;      // property 2
    ULONG outputRate;     // property 3
    ULONG quality;        // property 4: 0, 1 or 2
    ULONG rebuildNeeded;  // 1: design the filter before the next block
    ULONG M;              // input rate / gcd of the rates
    ULONG L;              // output rate / gcd of the rates
    ULONG N;              // taps, a multiple of L
    ULONG K;              // taps per phase, N / L
    ULONG cutoff;         // pass-band edge of the design
    ULONG transition;     // transition width of the design
    ULONG phase;          // polyphase position, carried between blocks (< L + M)
    SHORT* history;       // K input samples, newest first; owned
    double* taps;         // N taps scaled by L; owned
    SHORT carry;          // an output sample that fell due after the last block's room
    ULONG carried;        // 1 while `carry` waits to be written first in the next block
};

// Engine results are module status codes; 2 stands for a missing state.
constexpr ULONG kBResNoState = 2;

// A zeroed state at 8000 -> 8000 Hz, quality 1, rebuild needed.  ZV_FAILED
// for a null out pointer, ZV_NO_MEMORY when memory is short, else ZV_OK.
ULONG BResCreate(BResState** out);
// Frees the history, the taps and the state.  kBResNoState for null, else
// ZV_OK.
ULONG BResDestroy(BResState* state);
ULONG BResGetProperty(const BResState* state, ULONG id, PULONG value);
// Rates must not be 0 and the quality must be 0-2 (else ZV_FAILED).  Setting the value
// a field already holds changes nothing; a real change asks for a redesign.
ULONG BResSetProperty(BResState* state, ULONG id, ULONG value);
// L : M = output rate : input rate in lowest terms.
void BResReduceRatio(BResState* state);
// Designs the taps for the current L and M (floating point).  ZV_OK,
// ZV_FAILED when the design is refused, ZV_NO_MEMORY when memory is short.
ULONG BResDesignFilter(BResState* state);
// Ratio, filter and a silent history, phase 0 (floating point).
ULONG BResInit(BResState* state);
// Resamples one block of 16-bit samples of pin 0 (floating point).  A side
// value of 0 restarts the stream (silent history, phase 0).  The output must be
// L * inputBytes / M bytes (else 1, nothing written); no more samples than it
// holds are ever written.
ULONG BResProcess(BResState* state, ULONG pin, const void* input, ULONG inputBytes, void* output,
                  ULONG outputBytes, const ULONGLONG* side);

// The engine as the module base sees it.
struct BResEngine {
    using State = BResState;
    static ULONG Create(State** out) { return BResCreate(out); }
    static ULONG Destroy(State* state) { return BResDestroy(state); }
    static ULONG GetProperty(const State* state, ULONG id, PULONG value) {
        return BResGetProperty(state, id, value);
    }
    static ULONG SetProperty(State* state, ULONG id, ULONG value) {
        return BResSetProperty(state, id, value);
    }
    static constexpr char kCreateFailed[] = "CKAUDPBRes>> Init_BRES Failed Status - %x \n!!! \n";
};

class CKAUDPBRes : public CKAUDPEngineModule<CKAUDPBRes, BResEngine> {
public:
    enum PropertyId : ULONG {
        kPropConstTwo = 0,
        kPropConstZero = 1,
        kPropInputRate = 2,
        kPropOutputRate = 3,
        kPropQuality = 4,
    };

    // `status` receives ZV_OK, or the engine's failure (ZV_NO_MEMORY) after
    // which every operation answers ZV_NOT_READY.
    CKAUDPBRes(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
    ~CKAUDPBRes() override;

    // Resamples `input` (pin 0) into `output` under a floating-point save.
    // ZV_INVALID_PARAMETER for a null buffer or a zero byte count; otherwise
    // BResProcess's result.
    // At most DISPATCH_LEVEL.
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG side) override;

    // No registry parameters: the table holds only its ending row.
    static const ModuleParamEntry<CKAUDPBRes> s_Params[];
};
