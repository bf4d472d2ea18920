#include "CKAUDPSiBu.h"

#include <cstring>

namespace {

constexpr ULONG kMaxChannels = 6;
constexpr ULONG kFadeDivisor = 20;  // a fade lasts 1/20 s of frames in total

}  // namespace

const ModuleParamEntry<CKAUDPSiBu> CKAUDPSiBu::s_Params[] = {
    {{0}, 0, 0, nullptr},
};

CKAUDPSiBu::CKAUDPSiBu(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status)
    : CKAUDPPropertyModule(deviceObject, instanceCode, ZvFourCC("SiBu")),
      m_ulSilent(1),
      m_ulConstOne(1),
      m_ulBits(0),
      m_ulChannels(0),
      m_ulRate(0),
      m_ulConstZero(0),
      m_ulFadedFrames(0) {
    Start(status);
}

CKAUDPSiBu::~CKAUDPSiBu() {
    SaveParams();
}

ZvStatus CKAUDPSiBu::GetProperty(ULONG id, PVOID buffer, PULONG size) {
    // The silent flag (id 5) is write-only.
    const ModulePropertyField fields[] = {&m_ulConstOne, &m_ulConstZero, &m_ulBits, &m_ulChannels,
                                          &m_ulRate};
    return AnswerGetProperty(fields, id, buffer, size);
}

ZvStatus CKAUDPSiBu::SetProperty(ULONG id, PVOID buffer, ULONG size) {
    ZvStatus status = CheckSetProperty(buffer, size);
    if (status != ZV_OK) return status;
    ULONG value;
    std::memcpy(&value, buffer, sizeof(value));
    switch (id) {
        case kPropBits:
            if (value != 8 && value != 16 && value != 32) return ZV_INVALID_PARAMETER;
            m_ulBits = value;
            return ZV_OK;
        case kPropChannels:
            if (value > kMaxChannels) return ZV_INVALID_PARAMETER;
            m_ulChannels = value;
            return ZV_OK;
        case kPropRate:
            m_ulRate = value;
            return ZV_OK;
        case kPropSilent:
            m_ulSilent = value;
            return ZV_OK;
        default:
            return ZV_FAILED;  // read-only or unknown
    }
}

ZvStatus CKAUDPSiBu::SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                                   ULONG outputBytes, PULONGLONG side) {
    (void)pin;
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    // Without channels there is no frame to fade by: not configured either.
    if (m_ulBits == 0 || m_ulRate == 0 || m_ulChannels == 0) return ZV_NOT_READY;
    if (input == nullptr || output == nullptr || inputBytes == 0 || outputBytes != inputBytes)
        return ZV_INVALID_PARAMETER;

    if (side != nullptr && *side == 0) {
        m_ulSilent = 0;
        m_ulFadedFrames = 0;
    }
    if (m_ulSilent != 0) {
        std::memset(output, m_ulBits == 8 ? 0x80 : 0, outputBytes);
        return ZV_OK;
    }

    const SampleAccess* access = SampleAccessForBits(m_ulBits);
    const ULONG frameBytes = static_cast<USHORT>(m_ulChannels * m_ulBits / 8);
    // frameBytes x rate / 20 bytes, in whole frames (64-bit: the rate may be any value).
    const ULONGLONG total =
        static_cast<ULONGLONG>(frameBytes) * m_ulRate / kFadeDivisor / frameBytes;
    const ULONGLONG remaining = total > m_ulFadedFrames ? total - m_ulFadedFrames : 0;
    const ULONG inputFrames = inputBytes / frameBytes;
    const ULONG n = remaining < inputFrames ? static_cast<ULONG>(remaining) : inputFrames;

    const UCHAR* in = static_cast<const UCHAR*>(input);
    UCHAR* cursor = static_cast<UCHAR*>(output);
    for (ULONG i = 0; i < n; ++i, in += frameBytes) {
        // Read the whole frame first: the output may be the input.
        LONGLONG samples[kMaxChannels];
        for (ULONG ch = 0; ch < m_ulChannels; ++ch) samples[ch] = access->read(in, ch);
        for (ULONG ch = 0; ch < m_ulChannels; ++ch) {
            // Truncates toward zero; sample x n fits in 64 bits.
            cursor = access->write(
                cursor, samples[ch] * static_cast<LONGLONG>(n - i) / static_cast<LONGLONG>(n));
        }
    }
    m_ulFadedFrames += n;
    if (m_ulFadedFrames >= total) {
        m_ulSilent = 1;
        // The fade ended inside this call: what follows it is silence too, or
        // a buffer faded in place would play its raw end.
        std::memset(cursor, m_ulBits == 8 ? 0x80 : 0,
                    outputBytes - static_cast<ULONG>(cursor - static_cast<UCHAR*>(output)));
    }
    return ZV_OK;
}
