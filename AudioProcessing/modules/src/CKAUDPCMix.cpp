#include "CKAUDPCMix.h"

namespace {

struct WeightRow {
    signed char weights[kMaxFrameChannels];  // in frame order
    ULONG divisor;                           // 0: the channel count
};

// Row 5 gives the low-frequency channel (fourth in 5.1 order) five times the
// weight of the others; its divisor is the sum of the weights.
constexpr WeightRow kWeightRows[6] = {
    {{1, 1, 1, 1, 1, 1}, 0}, {{1, 0, 0, 0, 0, 0}, 1}, {{1, 1, 0, 0, 0, 0}, 2},
    {{1, 1, 1, 1, 0, 0}, 4}, {{1, 1, 1, 1, 0, 0}, 4}, {{1, 1, 1, 5, 1, 1}, 10},
};

struct MaskRow {
    ULONG mask;
    ULONG row;
};

constexpr MaskRow kMaskRows[5] = {
    {kSpeakerMaskMono, 1},     {kSpeakerMaskStereo, 2},  {kSpeakerMaskQuad, 3},
    {kSpeakerMaskSurround, 4}, {kSpeakerMask5Point1, 5},
};

}  // namespace

const ModuleParamEntry<CKAUDPCMix> CKAUDPCMix::s_Params[] = {
    {{0}, 0, 0, nullptr},
};

CKAUDPCMix::CKAUDPCMix(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status)
    : CKAUDPPropertyModule(deviceObject, instanceCode, ZvFourCC("CMix")),
      m_ulConstOne(1),
      m_ulBits(0),
      m_ulChannels(0),
      m_ulMask(0),
      m_ulConstZero(0),
      m_pAccess(nullptr),
      m_ulFrameBytes(0),
      m_ulSampleSize(0),
      m_ulWeightRow(0) {
    Start(status);
}

CKAUDPCMix::~CKAUDPCMix() {
    SaveParams();
}

ZvStatus CKAUDPCMix::GetProperty(ULONG id, PVOID buffer, PULONG size) {
    const ModulePropertyField fields[] = {&m_ulConstOne, &m_ulConstZero, &m_ulBits, &m_ulChannels,
                                          &m_ulMask};
    return AnswerGetProperty(fields, id, buffer, size);
}

ZvStatus CKAUDPCMix::SetProperty(ULONG id, PVOID buffer, ULONG size) {
    ZvStatus status = CheckSetProperty(buffer, size);
    if (status != ZV_OK) return status;
    ULONG value;
    std::memcpy(&value, buffer, sizeof(value));
    switch (id) {
        case kPropBits:
            if (value == 8 || value == 16 || value == 32) {
                m_ulBits = value;
            } else {
                status = ZV_INVALID_PARAMETER;
            }
            break;
        case kPropChannels:
            // The channel count divides the mix of an unlisted mask: 0 is refused.
            if (value >= 1 && value <= kMaxFrameChannels) {
                m_ulChannels = value;
            } else {
                status = ZV_INVALID_PARAMETER;
            }
            break;
        case kPropMask:
            m_ulMask = value;
            break;
        default:
            status = ZV_FAILED;
            break;  // read-only or unknown
    }
    Rebuild();
    return status;
}

void CKAUDPCMix::Rebuild() {
    if (m_ulBits == 0 || m_ulChannels == 0 || m_ulMask == 0) return;  // previous selection stays
    m_pAccess = SampleAccessForBits(m_ulBits);
    m_ulSampleSize = m_pAccess != nullptr ? m_pAccess->size : 0;
    m_ulFrameBytes = m_ulChannels * m_ulBits / 8;
    m_ulWeightRow = 0;
    for (const MaskRow& pair : kMaskRows) {
        if (pair.mask == m_ulMask) {
            m_ulWeightRow = pair.row;
            break;
        }
    }
}

ZvStatus CKAUDPCMix::SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                                   ULONG outputBytes, PULONGLONG side) {
    (void)pin;
    (void)side;
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (m_pAccess == nullptr) return ZV_NOT_READY;
    if (input == nullptr || inputBytes == 0 || output == nullptr || outputBytes == 0)
        return ZV_INVALID_PARAMETER;
    if (outputBytes < inputBytes) return ZV_BUFFER_TOO_SMALL;

    const WeightRow& row = kWeightRows[m_ulWeightRow];
    const LONGLONG divisor = row.divisor != 0 ? row.divisor : m_ulChannels;
    const ULONG frames = inputBytes / m_ulFrameBytes;  // a remainder is ignored
    const UCHAR* in = static_cast<const UCHAR*>(input);
    UCHAR* cursor = static_cast<UCHAR*>(output);
    for (ULONG f = 0; f < frames; ++f, in += m_ulFrameBytes) {
        UCHAR frame[kMaxFrameBytes];
        std::memcpy(frame, in, m_ulFrameBytes);
        LONGLONG sum = 0;
        for (ULONG ch = 0; ch < m_ulChannels; ++ch)
            sum += row.weights[ch] * m_pAccess->read(frame, ch);
        const LONGLONG mix = sum / divisor;  // truncates toward zero
        for (ULONG ch = 0; ch < m_ulChannels; ++ch) cursor = m_pAccess->write(cursor, mix);
    }
    return ZV_OK;
}
