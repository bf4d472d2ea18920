// Channel mix, tag "CMix": mixes the channels of each frame of interleaved PCM
// into one value with a weight row chosen by the speaker mask and writes that
// value into every channel of the frame; the layout stays, every channel
// carries the mix.  May run in place.  No floating point, no allocation.
//
// Properties (4 bytes each): 0 read-only 1; 1 read-only 0; 2 bits (8, 16,
// 32); 3 channels (1-6); 4 speaker mask (any value).
#pragma once

#include "CKAUDPModule.h"
#include "ChannelLayout.h"
#include "SampleAccess.h"

class CKAUDPCMix : public CKAUDPPropertyModule<CKAUDPCMix> {
public:
    enum PropertyId : ULONG {
        kPropConstOne = 0,
        kPropConstZero = 1,
        kPropBits = 2,
        kPropChannels = 3,
        kPropMask = 4,
    };

    CKAUDPCMix(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
    ~CKAUDPCMix() override;

    ZvStatus GetProperty(ULONG id, PVOID buffer, PULONG size) override;
    ZvStatus SetProperty(ULONG id, PVOID buffer, ULONG size) override;
    // Mixes the whole frames of `input` into `output` (may be the input).
    // 3 before bits, channels and mask are set; 11 for a null buffer or zero
    // bytes; 7 with nothing written when the output is smaller than the
    // input.  Pin and side value are ignored.  At most DISPATCH_LEVEL.
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG side) override;

    // No registry parameters: the table holds only its ending row.
    static const ModuleParamEntry<CKAUDPCMix> s_Params[];

private:
    void Rebuild();

    ULONG m_ulConstOne;
    ULONG m_ulBits;
    ULONG m_ulChannels;
    ULONG m_ulMask;
    ULONG m_ulConstZero;
    const SampleAccess* m_pAccess;  // null until bits, channels and mask are set
    ULONG m_ulFrameBytes;
    ULONG m_ulSampleSize;
    ULONG m_ulWeightRow;  // 0-5
};
