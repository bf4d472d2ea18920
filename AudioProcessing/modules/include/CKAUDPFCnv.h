// Format converter, tag "FCnv": converts interleaved PCM from one sample width
// (8, 16, 32 bits) and channel layout (1-6 channels, named by speaker mask) to
// another, frame by frame.  No floating point, no allocation.
//
// Properties (4 bytes each): 0 read-only 1; 1 read-only 0; 2 input bits;
// 3 input channels; 4 input mask; 5 output bits; 6 output channels; 7 output
// mask; 8 layout mapping (0: every output channel carries the input's first
// channel; non-zero: the conversion table).
#pragma once

#include "CKAUDPModule.h"
#include "ChannelLayout.h"
#include "SampleAccess.h"

class CKAUDPFCnv : public CKAUDPPropertyModule<CKAUDPFCnv> {
public:
    enum PropertyId : ULONG {
        kPropConstOne = 0,
        kPropConstZero = 1,
        kPropInBits = 2,
        kPropInChannels = 3,
        kPropInMask = 4,
        kPropOutBits = 5,
        kPropOutChannels = 6,
        kPropOutMask = 7,
        kPropMapping = 8,
    };

    CKAUDPFCnv(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
    ~CKAUDPFCnv() override;

    ZvStatus GetProperty(ULONG id, PVOID buffer, PULONG size) override;
    // Bits must be 8, 16 or 32 and channel counts 1-6, else 11 with the field
    // kept; masks and the mapping flag take any value.  Every call that passes
    // the argument checks reselects the conversion.
    ZvStatus SetProperty(ULONG id, PVOID buffer, ULONG size) override;
    // Converts the whole frames of `input` into `output` (which may be the
    // input when the output frame is not larger).  ZV_NOT_READY before both
    // formats are complete; ZV_INVALID_PARAMETER for a null buffer or zero
    // bytes; ZV_BUFFER_TOO_SMALL with nothing written when the output cannot hold frames x output
    // frame bytes.  Pin and side value are ignored.  At most DISPATCH_LEVEL.
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG side) override;

    // No registry parameters: the table holds only its ending row.
    static const ModuleParamEntry<CKAUDPFCnv> s_Params[];

private:
    void Rebuild();
    // Output channel `index` of the frame in `frame` by the selected conversion.
    LONGLONG MapChannel(const UCHAR* frame, ULONG index) const;
    LONGLONG AdjustWidth(LONGLONG sample) const;

    ULONG m_ulConstOne;
    ULONG m_ulConstZero;
    ULONG m_ulInBits;
    ULONG m_ulInChannels;
    ULONG m_ulInMask;
    ULONG m_ulOutBits;
    ULONG m_ulOutChannels;
    ULONG m_ulOutMask;
    ULONG m_ulMapping;
    const SampleAccess* m_pInAccess;  // null until the input format is complete
    ULONG m_ulInFrameBytes;
    const SampleAccess* m_pOutAccess;
    ULONG m_ulOutFrameBytes;
    ULONG m_ulConversion;  // 1-25, 0 when no row matches the two masks
    ULONG m_ulInLayout;    // layout group 1-5 of the input mask, 0 when none
    // Width adjustment in bits: positive shifts left when widening, negative
    // drops low bytes when narrowing.
    LONG m_lWidthShift;
};
