// Echo-canceller module, tag "GAEC": one echo canceller engine behind the
// module interface.  Pin 0 takes far-end (loudspeaker) frames, pin 1 near-end
// (microphone) frames with the near-end delay in ms in the side value and
// writes them echo-cancelled.  Four parameters live in the registry
// (GAEC_AutoOff_<instance>, GAEC_StateMachine_..., GAEC_TailLength_...,
// GAEC_ComfortNoiseLvl_...): read at construction and pushed into the engine,
// written back whenever one is set through SetPropertyDword and at
// destruction.
//
// Property ids are the engine's: 0 present (1), 1 version, 2 auto-off (0, 1),
// 3 state machine (0, 10), 4 tail length (32, 64 ms), 5 comfort noise (0 off,
// 1-3 on at level 0-2), 6 set: re-apply the whole configuration, 7 bits per
// sample (16), 8 sample rate (8000, 16000; a change re-initialises).  Ids 0,
// 1 and 7 are read-only.  Values above 0xFFFF are out of range.
//
// The engine answers every property call with success (an id it does not
// set or know is silently ignored, one it does not answer gets size 0).
// The module keeps the common module contract instead, so a caller can tell
// a refused call from a done one: a set of a read-only or unknown id answers
// ZV_FAILED, and a get of an id the engine does not answer (6 and above 8)
// answers ZV_FAILED with size 0.
//
// Every engine call runs between a save and a restore of the processor's
// floating-point state.
#pragma once

#include "CKAUDPModule.h"

struct AecState;

class CKAUDPEAEC : public CKAUDPModule {
public:
    // The property ids (the engine's, as listed above).
    enum PropertyId : ULONG {
        kPropPresent = 0,
        kPropVersion = 1,
        kPropAutoOff = 2,
        kPropStateMachine = 3,
        kPropTailLength = 4,
        kPropComfortNoise = 5,
        kPropReapply = 6,
        kPropBits = 7,
        kPropRate = 8,
    };

    // `status` receives the result of the last parameter pushed into the
    // engine (ZV_OK, or ZV_FAILED when the engine corrected it), or
    // ZV_NO_MEMORY when the engine could not be created, after which every
    // operation answers ZV_NOT_READY.
    // PASSIVE_LEVEL (reads the registry).
    CKAUDPEAEC(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
    // Writes the parameters to the registry and destroys the engine.
    // PASSIVE_LEVEL.
    ~CKAUDPEAEC() override;

    // The engine's value of a 4-byte property: size protocol as every module's
    // (an id the engine does not answer: size 0 and ZV_FAILED).
    ZvStatus GetProperty(ULONG id, PVOID buffer, PULONG size) override;
    // Sets one property from a 4-byte buffer; the registry is not updated.
    // ZV_FAILED for a read-only or unknown id, a value above 0xFFFF or one
    // the engine refused.
    ZvStatus SetProperty(ULONG id, PVOID buffer, ULONG size) override;
    ZvStatus GetPropertyDword(ULONG id, PULONG value) override;
    // Sets one property; for ids 2-5 the engine's resulting value is read back
    // into the parameter and the parameters are written to the registry
    // (at PASSIVE_LEVEL; above it they are written at destruction), whether
    // the engine took the value or not.  ZV_OK, or ZV_FAILED when refused.
    ZvStatus SetPropertyDword(ULONG id, ULONG value) override;
    // Pin 0: far-end frame (output not used).  Pin 1: near-end frame, written
    // to `output`, which must hold as many bytes as the input (else
    // ZV_INVALID_PARAMETER), with the delay in the low 32 bits of *side
    // (saturated to the 16-bit range).  ZV_OK; ZV_FAILED refused;
    // ZV_DELAY_TOO_SHORT / ZV_DELAY_TOO_LONG delay below / above range (the
    // frame is still processed); ZV_INVALID_PARAMETER bad arguments.  At most
    // DISPATCH_LEVEL.
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG side) override;

    // The engine, for inspection by tests; null when it could not be created.
    AecState* EngineState() const { return m_pEngine; }

    static const ModuleParamEntry<CKAUDPEAEC> s_Params[];

private:
    // Pushes the four parameters into the engine after a full re-application
    // and reads the values it kept back.  The last push's result.
    ZvStatus PushParams();
    // The engine's value of parameter id 2-5 into its field.
    void ReadBackParam(ULONG id);
    ULONG* ParamField(ULONG id);
    ULONG SaveParams();

    ULONG m_ulAutoOff;          // 0 or 1
    ULONG m_ulStateMachine;     // 0 or 10
    ULONG m_ulTailLength;       // ms: 32 or 64
    ULONG m_ulComfortNoiseLvl;  // 0 off, 1-3 on at level 0-2
    ULONG m_ulLogFlag;          // non-zero: failed submits are logged
    ULONG m_ulEngineReady;
    AecState* m_pEngine;  // owned
};
