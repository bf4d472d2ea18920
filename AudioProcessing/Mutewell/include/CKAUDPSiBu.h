// Mute module, tag "SiBu": after a restart it fades interleaved PCM out
// linearly over at most 1/20 s of frames in total, then writes silence (0x80
// bytes for 8-bit, 0 otherwise) until the next restart.  No floating point, no
// allocation, no registry parameters.
//
// Properties (4 bytes each): 0 read-only 1; 1 read-only 0; 2 bits (8, 16,
// 32); 3 channels (0-6); 4 rate in Hz (any); 5 silent, write-only (any value;
// non-zero ends a fade at once).
#pragma once

#include "CKAUDPModule.h"
#include "SampleAccess.h"

class CKAUDPSiBu : public CKAUDPPropertyModule<CKAUDPSiBu> {
public:
    enum PropertyId : ULONG {
        kPropConstOne = 0,
        kPropConstZero = 1,
        kPropBits = 2,
        kPropChannels = 3,
        kPropRate = 4,
        kPropSilent = 5,
    };

    // Constructed silent.  `status` receives 0.
    CKAUDPSiBu(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
    ~CKAUDPSiBu() override;

    ZvStatus GetProperty(ULONG id, PVOID buffer, PULONG size) override;
    ZvStatus SetProperty(ULONG id, PVOID buffer, ULONG size) override;
    // Fades `input` into `output` (may be the same buffer).  A side value of 0
    // restarts the fade at full level.  Every call's gain falls from 1 to 1/n
    // over the n frames it fades (the fade restarts its gain per call); when
    // the fade ends inside a call, the rest of the output (a trailing partial
    // frame too) is silence.  Once rate/20 frames have been faded the module
    // is silent and fills the whole output with silence.  3 before bits, channels and rate are set;
    // 11 for a null buffer, zero bytes or output bytes other than input bytes. The pin is ignored.
    // At most DISPATCH_LEVEL.
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG side) override;

    // No registry parameters: the table holds only its ending row.
    static const ModuleParamEntry<CKAUDPSiBu> s_Params[];

private:
    ULONG m_ulSilent;       // 1: the fade is over, output is silence
    ULONG m_ulConstOne;     // property 0
    ULONG m_ulBits;         // 0 until set; then 8, 16 or 32
    ULONG m_ulChannels;     // 0-6
    ULONG m_ulRate;         // Hz
    ULONG m_ulConstZero;    // property 1
    ULONG m_ulFadedFrames;  // frames of the current fade already processed
};
