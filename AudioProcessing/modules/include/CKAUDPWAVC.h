// Wave correlator, tag "WAVC": estimates the delay of the near-end
// (microphone, pin 1) signal behind the far-end (loudspeaker, pin 0) signal by
// cross-correlating the last half second of each whenever a near-end block of
// 100 ms completes and both signals were active.  The lags are smoothed by two
// median filters and an average; once the estimate is stable it is published
// in milliseconds through the side value of the pin-1 call, and after that it
// is final until a reset.
//
// Properties (4 bytes, through GetPropertyDword / SetPropertyDword only):
//   0, 1  read 0                  4  bits per input sample: 8, 16 or 32
//   2     enable (set: resume     5  sample rate: 8000 or 16000 (a change
//         with confidence 25)        reconfigures and resets)
//   3     read 0; set: reset      6  confidence 0-100 (read only)
// The buffer forms GetProperty / SetProperty are not supported (1).
#pragma once

#include <sp_xcorr.h>

#include "CKAUDPEngineModule.h"

constexpr ULONG kWavcActivityFlags = 5;

// The correlator engine.  Written only by the module's calls, which the owner
// serialises (the audio thread and the property handler).
struct WavcState {
    ULONG rate;           // Hz: 8000 or 16000
    ULONG window;         // W: samples correlated, half a second
    ULONG historyLength;  // H: entries of the lag history (21)
    ULONG historyIndex;   // next slot of the lag history
    ULONG block;          // B: samples of one activity block, 100 ms
    SHORT* nearBuffer;    // 2W samples of pin 1, newest just before writeNear
    SHORT* farBuffer;     // 2W samples of pin 0, newest just before writeFar
    SHORT* correlation;   // 2W + 1 values, lags 1 - W .. W + 1
    SHORT* lagHistory;    // H delays, ms
    SHORT* firstMedian;   // H values: lag history through a median of 3
    SHORT* secondMedian;  // H values: that through a median of 5
    ULONG writeNear;      // write positions, W .. 2W once the buffers slid
    ULONG writeFar;
    ULONG countNear;  // samples received since the reset (stops at its maximum)
    ULONG countFar;
    ULONG delay;       // last raw estimate, ms
    ULONG average;     // last smoothed estimate, ms
    ULONG scale;       // most the correlation is divided by, a power of two (27 or 28)
    ULONG filled;      // lag history entries in use, 1 .. H
    ULONG search;      // S: samples past W both pins need before estimating
    ULONG enable;      // 1 estimating, 0 final
    ULONG confidence;  // 0-100
    ULONG bits;        // input sample width: 8, 16 or 32
    ULONG activityNear[kWavcActivityFlags];  // 1: the block was active
    ULONG activityNearIndex;
    ULONG activityFar[kWavcActivityFlags];
    ULONG activityFarIndex;
    // The correlation's transform plan and buffers, kept from one estimate to
    // the next (one window length per rate); freed with the state.
    sp_xcorr_keep xcorrKeep;
};

// Engine results are module status codes; 2 stands for a missing state.
constexpr ULONG kWavcNoState = 2;

// A state at 8000 Hz, 16 bits, reset, with its buffers.  ZV_OK; ZV_FAILED
// for a null out pointer; ZV_NO_MEMORY when memory is short (nothing is left
// allocated, *out null).
ULONG WavcCreate(WavcState** out);
// Frees the buffers and the state.  kWavcNoState for null, else ZV_OK.
ULONG WavcDestroy(WavcState* state);
// Sizes and allocates the buffers for `rate` (8000 or 16000) and takes it.
// The new buffers are allocated before the old ones are freed: on failure
// (ZV_NO_MEMORY) the state keeps its rate and buffers.
ULONG WavcConfigure(WavcState* state, ULONG rate);
// Starts estimating afresh; the buffers' contents stay.
void WavcReset(WavcState* state);
ULONG WavcGetProperty(const WavcState* state, ULONG id, PULONG value);
ULONG WavcSetProperty(WavcState* state, ULONG id, ULONG value);
// Judges the block of B samples just before the pin's write position; active
// when its mean square reaches 2500 (RMS 50, about -56 dBFS).
void WavcBlockActivity(WavcState* state, ULONG pin);
// Takes one block of pin 0 (far end) or pin 1 (near end); on pin 1 it may
// estimate (floating point: the caller saves the state) and publish the delay
// through *side.  ZV_FAILED for another pin.
ULONG WavcProcess(WavcState* state, ULONG pin, const void* data, ULONG bytes, PULONGLONG side);

// The engine as the module base sees it.
struct WavcEngine {
    using State = WavcState;
    static ULONG Create(State** out) { return WavcCreate(out); }
    static ULONG Destroy(State* state) { return WavcDestroy(state); }
    static ULONG GetProperty(const State* state, ULONG id, PULONG value) {
        return WavcGetProperty(state, id, value);
    }
    static ULONG SetProperty(State* state, ULONG id, ULONG value) {
        return WavcSetProperty(state, id, value);
    }
    static constexpr char kCreateFailed[] = "CKAUDPWAVC>> Init_WAVC Failed Status - %x \n!!! \n";
};

class CKAUDPWAVC : public CKAUDPEngineModule<CKAUDPWAVC, WavcEngine> {
public:
    enum PropertyId : ULONG {
        kPropZero = 0,
        kPropOne = 1,
        kPropEnable = 2,
        kPropReset = 3,
        kPropBits = 4,
        kPropRate = 5,
        kPropConfidence = 6,
    };

    // `status` receives ZV_OK, or ZV_NO_MEMORY when the engine could not be
    // created, after which every operation answers ZV_NOT_READY.
    CKAUDPWAVC(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
    ~CKAUDPWAVC() override;

    // Pin 0 far end, pin 1 near end (other pins 1); the output is not used.
    // 11 for a null input or zero bytes.  The estimate, when published, is
    // written to *side (ms in the low 32 bits).  At most DISPATCH_LEVEL.
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG side) override;

    // No registry parameters: the table holds only its ending row.
    static const ModuleParamEntry<CKAUDPWAVC> s_Params[];
};
