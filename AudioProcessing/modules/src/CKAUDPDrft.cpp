#include "CKAUDPDrft.h"

namespace {

constexpr ULONG kMaxShareOfBlock = 30;  // percent of a block's frames corrected per call

// Magnitude of a 32-bit pending count, without overflow at the most negative value.
ULONGLONG Magnitude(LONG d) {
    return d < 0 ? static_cast<ULONGLONG>(-static_cast<LONGLONG>(d)) : d;
}

}  // namespace

const ModuleParamEntry<CKAUDPDrft> CKAUDPDrft::s_Params[] = {
    {{0}, 0, 0, nullptr},
};

CKAUDPDrft::CKAUDPDrft(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status)
    : CKAUDPPropertyModule(deviceObject, instanceCode, ZvFourCC("Drft")),
      m_ulConstZero(0),
      m_ulConstOne(1),
      m_ulBits(0),
      m_pfnOutput(nullptr),
      m_pvContext(nullptr),
      m_ulCallbackFlag(0),
      m_ulRatioNumerator(20),
      m_ulRatioDenominator(1000),
      m_ulChannels(0) {
    Start(status);
}

CKAUDPDrft::~CKAUDPDrft() {
    SaveParams();
}

ZvStatus CKAUDPDrft::GetProperty(ULONG id, PVOID buffer, PULONG size) {
    // By id: kPropConstOne .. kPropRatioDenominator.
    const ModulePropertyField fields[] = {&m_ulConstOne,
                                          &m_ulConstZero,
                                          &m_ulBits,
                                          &m_ulChannels,
                                          {&m_pfnOutput, sizeof(m_pfnOutput)},
                                          &m_ulCallbackFlag,
                                          {&m_pvContext, sizeof(m_pvContext)},
                                          &m_ulRatioNumerator,
                                          &m_ulRatioDenominator};
    static_assert(sizeof(fields) / sizeof(fields[0]) == kPropRatioDenominator + 1,
                  "one row per id");
    return AnswerGetProperty(fields, id, buffer, size);
}

ZvStatus CKAUDPDrft::SetProperty(ULONG id, PVOID buffer, ULONG size) {
    ZvStatus status = CheckSetProperty(buffer, size);
    if (status != ZV_OK) return status;
    if (id == kPropCallback || id == kPropContext) {
        // Pointers: the caller's buffer must hold a whole one.
        if (size < sizeof(PVOID)) return ZV_BUFFER_TOO_SMALL;
        if (id == kPropCallback) {
            std::memcpy(&m_pfnOutput, buffer, sizeof(m_pfnOutput));
        } else {
            std::memcpy(&m_pvContext, buffer, sizeof(m_pvContext));
        }
        return ZV_OK;
    }
    ULONG value;
    std::memcpy(&value, buffer, sizeof(value));
    switch (id) {
        case kPropBits:
            if (value != 8 && value != 16) return ZV_INVALID_PARAMETER;
            m_ulBits = value;
            return ZV_OK;
        case kPropChannels:
            if (value != 1 && value != 2) return ZV_INVALID_PARAMETER;
            m_ulChannels = value;
            return ZV_OK;
        case kPropCallbackFlag:
            m_ulCallbackFlag = value;
            return ZV_OK;
        case kPropRatioNumerator:
            m_ulRatioNumerator = value;
            return ZV_OK;
        case kPropRatioDenominator:
            // The denominator divides every block's limit.
            if (value == 0) return ZV_INVALID_PARAMETER;
            m_ulRatioDenominator = value;
            return ZV_OK;
        default:
            return ZV_FAILED;  // read-only or unknown
    }
}

ZvStatus CKAUDPDrft::SetOutput(DrftOutputCallback callback, PVOID context) {
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    m_pfnOutput = callback;
    m_pvContext = context;
    return ZV_OK;
}

bool CKAUDPDrft::Emit(const void* data, ULONG bytes) const {
    ULONG count = bytes;  // the callback may change it; it is not read back
    return m_pfnOutput(m_pvContext, const_cast<void*>(data), &count, m_ulCallbackFlag) != 0;
}

bool CKAUDPDrft::EmitMeanFrame(const UCHAR* input, ULONG frameBytes, ULONG a, ULONG b) const {
    const UCHAR* frameA = input + static_cast<SIZE_T>(a) * frameBytes;
    const UCHAR* frameB = input + static_cast<SIZE_T>(b) * frameBytes;
    for (ULONG ch = 0; ch < m_ulChannels; ++ch) {
        UCHAR sample[2];
        if (m_ulBits == 8) {
            // Unsigned samples, averaged as they are (no re-centring).
            LONGLONG mean = (static_cast<LONGLONG>(frameA[ch]) + frameB[ch]) / 2;
            sample[0] = static_cast<UCHAR>(mean);
        } else {
            const UCHAR* pa = frameA + 2 * ch;
            const UCHAR* pb = frameB + 2 * ch;
            LONGLONG va = static_cast<SHORT>(static_cast<USHORT>(pa[0] | (pa[1] << 8)));
            LONGLONG vb = static_cast<SHORT>(static_cast<USHORT>(pb[0] | (pb[1] << 8)));
            LONGLONG mean = (va + vb) / 2;  // truncates toward zero
            sample[0] = static_cast<UCHAR>(mean);
            sample[1] = static_cast<UCHAR>(static_cast<ULONGLONG>(mean) >> 8);
        }
        if (!Emit(sample, m_ulBits / 8)) return false;
    }
    return true;
}

ZvStatus CKAUDPDrft::SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                                   ULONG outputBytes, PULONGLONG pending) {
    (void)pin;
    (void)output;
    (void)outputBytes;
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (m_pfnOutput == nullptr || m_pvContext == nullptr) return ZV_NOT_READY;
    if (input == nullptr || inputBytes == 0 || pending == nullptr) return ZV_INVALID_PARAMETER;
    const UCHAR* in = static_cast<const UCHAR*>(input);

    const LONG d = static_cast<LONG>(static_cast<ULONG>(*pending));
    if (d == 0) return Emit(in, inputBytes) ? ZV_OK : ZV_FAILED;

    // Until bits and channels are set there is no frame to correct by.
    const ULONG frameBytes = m_ulChannels * m_ulBits / 8;
    if (frameBytes == 0) return ZV_NOT_READY;

    const ULONGLONG frames = inputBytes / frameBytes;
    const ULONGLONG magnitude = Magnitude(d);
    const ULONGLONG limit =
        (frames * m_ulRatioNumerator + m_ulRatioDenominator - 1) / m_ulRatioDenominator;
    ULONGLONG c = magnitude < limit ? magnitude : limit;
    if (frames != 0 && c * 100 / frames > kMaxShareOfBlock) {
        ULONGLONG cap = (frames * kMaxShareOfBlock * 10 + 999) / 1000;
        c = magnitude < cap ? magnitude : cap;
    }
    const ULONGLONG segment = frames / (c + 1);
    if (segment < 3) return ZV_FAILED;  // too short to correct: nothing output

    const LONGLONG left = d > 0 ? static_cast<LONGLONG>(d) - static_cast<LONGLONG>(c)
                                : static_cast<LONGLONG>(d) + static_cast<LONGLONG>(c);
    *pending = static_cast<ULONGLONG>(left);

    // Frame positions fit in 32 bits: frames <= inputBytes.
    ULONG position = 0;
    for (ULONGLONG k = 1; k <= c; ++k) {
        const ULONG p = static_cast<ULONG>(k * segment);
        if (d > 0) {
            // Frames up to p - 1 as they are, then one frame between p - 1 and p.
            if (!Emit(in + static_cast<SIZE_T>(position) * frameBytes,
                      (p - position) * frameBytes)) {
                return ZV_FAILED;
            }
            if (!EmitMeanFrame(in, frameBytes, p - 1, p)) return ZV_FAILED;
            position = p;
        } else {
            // Frames up to p - 2 as they are; p - 1, p and p + 1 become two frames.
            if (!Emit(in + static_cast<SIZE_T>(position) * frameBytes,
                      (p - 1 - position) * frameBytes)) {
                return ZV_FAILED;
            }
            if (!EmitMeanFrame(in, frameBytes, p - 1, p)) return ZV_FAILED;
            if (!EmitMeanFrame(in, frameBytes, p, p + 1)) return ZV_FAILED;
            position = p + 2;
        }
    }
    // The rest, including a trailing partial frame, in one piece.
    const ULONG restStart = position * frameBytes;
    return Emit(in + restStart, inputBytes - restStart) ? ZV_OK : ZV_FAILED;
}
