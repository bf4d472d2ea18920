// Drift corrector, tag "Drft": stretches or shrinks a block of PCM by a few
// frames so that a ring buffer fed by one clock and drained by another does
// not slowly run full or empty.  The owner keeps a signed count of pending
// frames (positive: insert interpolated frames; negative: replace three frames
// by two interpolated ones) and receives the corrected block in pieces through
// an output callback.
//
// Properties (4 bytes unless said):
//   0  read-only, 1              5  callback flag, passed to every call
//   1  read-only, 0              6  callback context (pointer-sized)
//   2  bits per sample: 8 or 16  7  ratio numerator (default 20)
//   3  channels: 1 or 2          8  ratio denominator (default 1000, not 0)
//   4  output callback (pointer-sized)
// Ids 4 and 6 hold pointers: set them through SetProperty with a
// pointer-sized buffer, or with SetOutput.
#pragma once

#include "CKAUDPModule.h"

// Receives one piece of the corrected block; a non-zero result means success.
// `bytes` points to the piece's byte count.
typedef ULONG (*DrftOutputCallback)(PVOID context, PVOID data, PULONG bytes, ULONG flag);

class CKAUDPDrft : public CKAUDPPropertyModule<CKAUDPDrft> {
public:
    enum PropertyId : ULONG {
        kPropConstOne = 0,
        kPropConstZero = 1,
        kPropBits = 2,
        kPropChannels = 3,
        kPropCallback = 4,
        kPropCallbackFlag = 5,
        kPropContext = 6,
        kPropRatioNumerator = 7,
        kPropRatioDenominator = 8,
    };

    // `status` receives 0.  No parameters are kept in the registry.
    CKAUDPDrft(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
    ~CKAUDPDrft() override;

    ZvStatus GetProperty(ULONG id, PVOID buffer, PULONG size) override;
    ZvStatus SetProperty(ULONG id, PVOID buffer, ULONG size) override;
    // Corrects the block `input` by part of *pending and hands it to the
    // output callback.  Pin and output are not used.  ZV_OK success;
    // ZV_FAILED when a callback call failed (pieces before it stay delivered,
    // *pending already reduced) or the block is too short to correct (nothing
    // output, *pending unchanged); ZV_NOT_READY without callback or context,
    // or with a non-zero pending count before bits and channels are set;
    // ZV_INVALID_PARAMETER for a null input, zero input bytes or a null
    // pending pointer.  At most DISPATCH_LEVEL.
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG pending) override;

    // Typed setter of the callback and its context (ids 4 and 6 together).
    ZvStatus SetOutput(DrftOutputCallback callback, PVOID context);

    // No registry parameters: the table holds only its ending row.
    static const ModuleParamEntry<CKAUDPDrft> s_Params[];

private:
    // Hands one piece to the callback; false when the callback failed.
    bool Emit(const void* data, ULONG bytes) const;
    // Emits, channel by channel, the mean of frames `a` and `b`.
    bool EmitMeanFrame(const UCHAR* input, ULONG frameBytes, ULONG a, ULONG b) const;

    ULONG m_ulConstZero;  // property 1
    ULONG m_ulConstOne;   // property 0
    ULONG m_ulBits;       // 0 until set; then 8 or 16
    DrftOutputCallback m_pfnOutput;
    PVOID m_pvContext;
    ULONG m_ulCallbackFlag;
    ULONG m_ulRatioNumerator;
    ULONG m_ulRatioDenominator;  // never 0
    ULONG m_ulChannels;          // 0 until set; then 1 or 2
};
