#include "CKAUDPFCnv.h"

namespace {

// Logical channel numbers of the conversion records.
enum : UCHAR { FL = 1, FR = 2, FC = 3, LF = 4, BL = 5, BR = 6, BC = 7, M = FL };

// One output channel: (sum of weight x source) / divisor; no source gives 0.
struct ConversionRecord {
    UCHAR sources[kMaxFrameChannels];  // logical channels; 0 ends the list
    UCHAR manySources;
    UCHAR divisor;
    signed char weights[kMaxFrameChannels];
};

struct Conversion {
    ConversionRecord out[kMaxFrameChannels];  // in output frame order
};

struct ConversionRow {
    ULONG inMask;
    ULONG outMask;
    ULONG number;  // 1-25: index + 1 into kConversions
    ULONG group;   // layout group of the input mask
};

constexpr ConversionRecord kSilent = {{0}, 0, 0, {0}};
constexpr ConversionRecord Take(UCHAR source) {
    return {{source}, 0, 1, {1}};
}

// Indexed by conversion number - 1.
constexpr Conversion kConversions[25] = {
    /* 1 mono -> stereo */ {{Take(M), Take(M)}},
    /* 2 mono -> quad */ {{Take(M), Take(M), Take(M), Take(M)}},
    /* 3 mono -> surround */ {{Take(M), Take(M), Take(M), Take(M)}},
    /* 4 mono -> 5.1 */ {{Take(M), Take(M), kSilent, kSilent, Take(M), Take(M)}},
    /* 5 stereo -> quad */ {{Take(FL), Take(FR), Take(FL), Take(FR)}},
    /* 6 stereo -> surround */ {{Take(FL), Take(FR), kSilent, {{FL, FR}, 1, 2, {1, 1}}}},
    /* 7 stereo -> 5.1 */ {{Take(FL), Take(FR), kSilent, kSilent, Take(FL), Take(FR)}},
    /* 8 quad -> surround */ {{Take(FL), Take(FR), kSilent, {{BL, BR}, 1, 2, {1, 1}}}},
    /* 9 quad -> 5.1 */ {{Take(FL), Take(FR), kSilent, kSilent, Take(BL), Take(BR)}},
    /* 10 surround -> 5.1 */ {{Take(FL), Take(FR), Take(FC), kSilent, Take(BC), Take(BC)}},
    /* 11 5.1 -> surround */
    {{{{FL, LF}, 1, 5, {4, 1}},
      {{FR, LF}, 1, 5, {4, 1}},
      {{FC, LF}, 1, 5, {4, 1}},
      {{BL, BR, LF}, 1, 5, {2, 2, 1}}}},
    /* 12 5.1 -> quad */
    {{{{FL, FC, LF}, 1, 7, {4, 2, 1}},
      {{FR, FC, LF}, 1, 7, {4, 2, 1}},
      {{BL, LF}, 1, 5, {4, 1}},
      {{BR, LF}, 1, 5, {4, 1}}}},
    /* 13 5.1 -> stereo */
    {{{{FL, FC, BL, LF}, 1, 6, {2, 1, 2, 1}}, {{FR, FC, BR, LF}, 1, 6, {2, 1, 2, 1}}}},
    /* 14 5.1 -> mono */ {{{{FL, FR, FC, LF, BL, BR}, 1, 6, {1, 1, 1, 1, 1, 1}}}},
    /* 15 surround -> quad */
    {{{{FL, FC}, 1, 3, {2, 1}}, {{FR, FC}, 1, 3, {2, 1}}, Take(BC), Take(BC)}},
    /* 16 surround -> stereo */
    {{{{FL, FC, BC}, 1, 4, {2, 1, 1}}, {{FR, FC, BC}, 1, 4, {2, 1, 1}}}},
    /* 17 surround -> mono */ {{{{FL, FC, FR, BC}, 1, 4, {1, 1, 1, 1}}}},
    /* 18 quad -> stereo */ {{{{FL, BL}, 1, 2, {1, 1}}, {{FR, BR}, 1, 2, {1, 1}}}},
    /* 19 quad -> mono */ {{{{FL, BL, FR, BR}, 1, 4, {1, 1, 1, 1}}}},
    /* 20 stereo -> mono */ {{{{FL, FR}, 1, 2, {1, 1}}}},
    /* 21 mono -> mono */ {{Take(M)}},
    /* 22 stereo -> stereo */ {{Take(FL), Take(FR)}},
    /* 23 quad -> quad */ {{Take(FL), Take(FR), Take(BL), Take(BR)}},
    /* 24 surround -> surround */ {{Take(FL), Take(FR), Take(FC), Take(BC)}},
    /* 25 5.1 -> 5.1 */ {{Take(FL), Take(FR), Take(FC), Take(LF), Take(BL), Take(BR)}},
};

constexpr ULONG kMono = kSpeakerMaskMono, kStereo = kSpeakerMaskStereo, kQuad = kSpeakerMaskQuad,
                kSurround = kSpeakerMaskSurround, k51 = kSpeakerMask5Point1;

// Searched in this order; the first row whose two masks match wins.
constexpr ConversionRow kConversionRows[25] = {
    {kMono, kStereo, 1, 1},      {kMono, kQuad, 2, 1},      {kMono, kSurround, 3, 1},
    {kMono, k51, 4, 1},          {kStereo, kQuad, 5, 2},    {kStereo, kSurround, 6, 2},
    {kStereo, k51, 7, 2},        {kQuad, kSurround, 8, 3},  {kQuad, k51, 9, 3},
    {kSurround, k51, 10, 4},     {k51, kSurround, 11, 5},   {k51, kQuad, 12, 5},
    {k51, kStereo, 13, 5},       {k51, kMono, 14, 5},       {kSurround, kQuad, 15, 4},
    {kSurround, kStereo, 16, 4}, {kSurround, kMono, 17, 4}, {kQuad, kStereo, 18, 3},
    {kQuad, kMono, 19, 3},       {kStereo, kMono, 20, 2},   {kMono, kMono, 21, 1},
    {kStereo, kStereo, 22, 2},   {kQuad, kQuad, 23, 3},     {kSurround, kSurround, 24, 4},
    {k51, k51, 25, 5},
};

// Frame position (0-based) of each logical channel 1-7 in each layout group
// 1-5; -1 where the layout has no such channel.
constexpr signed char kLayoutPosition[5][8] = {
    /* 1 mono */ {-1, 0, -1, -1, -1, -1, -1, -1},
    /* 2 stereo */ {-1, 0, 1, -1, -1, -1, -1, -1},
    /* 3 quad */ {-1, 0, 1, -1, -1, 2, 3, -1},
    /* 4 surround */ {-1, 0, 1, 2, -1, -1, -1, 3},
    /* 5 5.1 */ {-1, 0, 1, 2, 3, 4, 5, -1},
};

}  // namespace

const ModuleParamEntry<CKAUDPFCnv> CKAUDPFCnv::s_Params[] = {
    {{0}, 0, 0, nullptr},
};

CKAUDPFCnv::CKAUDPFCnv(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status)
    : CKAUDPPropertyModule(deviceObject, instanceCode, ZvFourCC("FCnv")),
      m_ulConstOne(1),
      m_ulConstZero(0),
      m_ulInBits(0),
      m_ulInChannels(0),
      m_ulInMask(0),
      m_ulOutBits(0),
      m_ulOutChannels(0),
      m_ulOutMask(0),
      m_ulMapping(0),
      m_pInAccess(nullptr),
      m_ulInFrameBytes(0),
      m_pOutAccess(nullptr),
      m_ulOutFrameBytes(0),
      m_ulConversion(0),
      m_ulInLayout(0),
      m_lWidthShift(0) {
    Start(status);
}

CKAUDPFCnv::~CKAUDPFCnv() {
    SaveParams();
}

ZvStatus CKAUDPFCnv::GetProperty(ULONG id, PVOID buffer, PULONG size) {
    const ModulePropertyField fields[] = {&m_ulConstOne,    &m_ulConstZero, &m_ulInBits,
                                          &m_ulInChannels,  &m_ulInMask,    &m_ulOutBits,
                                          &m_ulOutChannels, &m_ulOutMask,   &m_ulMapping};
    return AnswerGetProperty(fields, id, buffer, size);
}

ZvStatus CKAUDPFCnv::SetProperty(ULONG id, PVOID buffer, ULONG size) {
    ZvStatus status = CheckSetProperty(buffer, size);
    if (status != ZV_OK) return status;
    ULONG value;
    std::memcpy(&value, buffer, sizeof(value));
    const bool bitsOk = value == 8 || value == 16 || value == 32;
    const bool channelsOk = value >= 1 && value <= kMaxFrameChannels;
    switch (id) {
        case kPropInBits:
            status = bitsOk ? (m_ulInBits = value, ZV_OK) : ZV_INVALID_PARAMETER;
            break;
        case kPropInChannels:
            status = channelsOk ? (m_ulInChannels = value, ZV_OK) : ZV_INVALID_PARAMETER;
            break;
        case kPropInMask:
            m_ulInMask = value;
            break;
        case kPropOutBits:
            status = bitsOk ? (m_ulOutBits = value, ZV_OK) : ZV_INVALID_PARAMETER;
            break;
        case kPropOutChannels:
            status = channelsOk ? (m_ulOutChannels = value, ZV_OK) : ZV_INVALID_PARAMETER;
            break;
        case kPropOutMask:
            m_ulOutMask = value;
            break;
        case kPropMapping:
            m_ulMapping = value;
            break;
        default:
            status = ZV_FAILED;
            break;  // read-only or unknown
    }
    Rebuild();
    return status;
}

void CKAUDPFCnv::Rebuild() {
    // Until both formats are complete the previous selection stays in force.
    if (m_ulInBits == 0 || m_ulInChannels == 0 || m_ulInMask == 0 || m_ulOutBits == 0 ||
        m_ulOutChannels == 0 || m_ulOutMask == 0) {
        return;
    }
    m_pInAccess = SampleAccessForBits(m_ulInBits);
    m_ulInFrameBytes = m_ulInChannels * m_ulInBits / 8;
    m_pOutAccess = SampleAccessForBits(m_ulOutBits);
    m_ulOutFrameBytes = m_ulOutChannels * m_ulOutBits / 8;
    m_lWidthShift = static_cast<LONG>(m_ulOutBits) - static_cast<LONG>(m_ulInBits);
    m_ulConversion = 0;
    m_ulInLayout = 0;
    for (const ConversionRow& row : kConversionRows) {
        if (row.inMask == m_ulInMask && row.outMask == m_ulOutMask) {
            m_ulConversion = row.number;
            m_ulInLayout = row.group;
            break;
        }
    }
}

LONGLONG CKAUDPFCnv::AdjustWidth(LONGLONG sample) const {
    if (m_lWidthShift > 0) return sample * (1LL << m_lWidthShift);
    // Narrowing keeps the top bits: the low bytes of the little-endian value go.
    if (m_lWidthShift < 0) return sample >> -m_lWidthShift;
    return sample;
}

LONGLONG CKAUDPFCnv::MapChannel(const UCHAR* frame, ULONG index) const {
    if (m_ulConversion == 0) return 0;  // no conversion between these layouts: silence
    const ConversionRecord& record = kConversions[m_ulConversion - 1].out[index];
    if (record.sources[0] == 0 || record.divisor == 0) return 0;
    LONGLONG sum = 0;
    for (ULONG s = 0; s < kMaxFrameChannels && record.sources[s] != 0; ++s) {
        const signed char position = kLayoutPosition[m_ulInLayout - 1][record.sources[s]];
        // A channel the mask names but the frame does not carry reads as silence.
        if (position < 0 || static_cast<ULONG>(position) >= m_ulInChannels) continue;
        sum += record.weights[s] * m_pInAccess->read(frame, static_cast<ULONG>(position));
    }
    return sum / record.divisor;
}

ZvStatus CKAUDPFCnv::SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                                   ULONG outputBytes, PULONGLONG side) {
    (void)pin;
    (void)side;
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (m_pInAccess == nullptr || m_pOutAccess == nullptr) return ZV_NOT_READY;
    if (input == nullptr || inputBytes == 0 || output == nullptr || outputBytes == 0)
        return ZV_INVALID_PARAMETER;

    const ULONG frames = inputBytes / m_ulInFrameBytes;  // a remainder is ignored
    if (frames == 0) return ZV_OK;
    if (static_cast<ULONGLONG>(frames) * m_ulOutFrameBytes > outputBytes)
        return ZV_BUFFER_TOO_SMALL;

    const UCHAR* in = static_cast<const UCHAR*>(input);
    UCHAR* cursor = static_cast<UCHAR*>(output);
    for (ULONG f = 0; f < frames; ++f, in += m_ulInFrameBytes) {
        // A copy of the frame, so that output written over the input cannot
        // disturb the frame being read.
        UCHAR frame[kMaxFrameBytes] = {};
        std::memcpy(frame, in, m_ulInFrameBytes);
        if (m_ulMapping == 0) {
            const LONGLONG first = AdjustWidth(m_pInAccess->read(frame, 0));
            for (ULONG ch = 0; ch < m_ulOutChannels; ++ch)
                cursor = m_pOutAccess->write(cursor, first);
        } else {
            for (ULONG ch = 0; ch < m_ulOutChannels; ++ch) {
                cursor = m_pOutAccess->write(cursor, AdjustWidth(MapChannel(frame, ch)));
            }
        }
    }
    return ZV_OK;
}
