// The audio source and sink modules over the kernel-streaming client.
#include <cstring>

#include "AudioStream.h"
#include "CKAUDPASrc.h"
#include "CKsFilter.h"
#include "CircBuff.h"
#include "ZDebug.h"

namespace {

using ThisModule = LogModule<LogModuleFilterLogic>;

constexpr CKAUDPABridge::Field kSourceFields[] = {
    CKAUDPABridge::kFieldConstOne, CKAUDPABridge::kFieldConstZero, CKAUDPABridge::kFieldPdo,
    CKAUDPABridge::kFieldLower,    CKAUDPABridge::kFieldBits,      CKAUDPABridge::kFieldRate,
    CKAUDPABridge::kFieldState,    CKAUDPABridge::kFieldValue16,   CKAUDPABridge::kFieldRateValue,
    CKAUDPABridge::kFieldLength,
};
constexpr CKAUDPABridge::Field kSinkFields[] = {
    CKAUDPABridge::kFieldConstOne,  CKAUDPABridge::kFieldConstZero, CKAUDPABridge::kFieldPdo,
    CKAUDPABridge::kFieldLower,     CKAUDPABridge::kFieldBits,      CKAUDPABridge::kFieldChannels,
    CKAUDPABridge::kFieldRate,      CKAUDPABridge::kFieldState,     CKAUDPABridge::kFieldValue16,
    CKAUDPABridge::kFieldRateValue, CKAUDPABridge::kFieldLength,
};
constexpr WCHAR kDefaultFilterName[] = u"global";

}  // namespace

CKAUDPABridge::CKAUDPABridge(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, ULONG tag,
                             const Field* fields, ULONG fieldCount, ULONG channels, ULONG pinId,
                             ULONG render, PCSTR name)
    : CKAUDPModule(deviceObject, instanceCode, tag),
      m_pPin(nullptr),
      m_pFields(fields),
      m_ulFieldCount(fieldCount),
      m_pszName(name),
      m_ulRender(render),
      m_ulConstOne(1),
      m_ulConstZero(0),
      m_pLowerDevice(nullptr),
      m_ulBits(16),
      m_ulRate(16000),
      m_ulChannels(channels),
      m_ulState(STATE_STOP),
      m_Value16{},
      m_ulRateValue(0),
      m_ulLengthMs(40),
      m_ulPinId(pinId),
      m_wszFilterName{},
      m_Category(KSCATEGORY_CAPTURE),
      m_pEnumerator(nullptr),
      m_pFilter(nullptr),
      m_pCircBuff(nullptr),
      m_pStream(nullptr) {
    static_assert(sizeof(kDefaultFilterName) <= sizeof(m_wszFilterName), "the name fits");
    std::memcpy(m_wszFilterName, kDefaultFilterName, sizeof(kDefaultFilterName));
    m_ulInitialised = 1;
    ThisModule::ModulePrint(1, "%s>> InitSuccess!!! \n", m_pszName);
}

CKAUDPABridge::~CKAUDPABridge() {
    if (m_ulState != STATE_STOP) CloseStream();
}

bool CKAUDPABridge::FieldOf(ULONG id, Field* field) const {
    if (id >= m_ulFieldCount) return false;
    *field = m_pFields[id];
    return true;
}

ZvStatus CKAUDPABridge::GetProperty(ULONG id, PVOID buffer, PULONG size) {
    Field field;
    const void* value = nullptr;
    ULONG valueSize = sizeof(ULONG);
    if (FieldOf(id, &field)) {
        switch (field) {
            case kFieldConstOne:
                value = &m_ulConstOne;
                break;
            case kFieldConstZero:
                value = &m_ulConstZero;
                break;
            case kFieldPdo:
                value = &m_pDeviceObject;
                valueSize = sizeof(PVOID);
                break;
            case kFieldLower:
                value = &m_pLowerDevice;
                valueSize = sizeof(PVOID);
                break;
            case kFieldBits:
                value = &m_ulBits;
                break;
            case kFieldRate:
                value = &m_ulRate;
                break;
            case kFieldChannels:
                value = &m_ulChannels;
                break;
            case kFieldState:
                value = const_cast<const ULONG*>(&m_ulState);
                break;
            case kFieldValue16:
            case kFieldRateValue: {
                ZvStatus status = CheckCallable();
                if (status != ZV_OK) return status;
                if (m_pPin == nullptr) return ZV_NOT_READY;
                value = field == kFieldValue16 ? static_cast<const void*>(m_Value16)
                                               : static_cast<const void*>(&m_ulRateValue);
                valueSize = field == kFieldValue16 ? sizeof(m_Value16) : sizeof(ULONG);
                break;
            }
            case kFieldLength:
                value = &m_ulLengthMs;
                break;
        }
    }
    return AnswerGetProperty(value, valueSize, buffer, size);
}

ZvStatus CKAUDPABridge::SetProperty(ULONG id, PVOID buffer, ULONG size) {
    ZvStatus status = CheckSetProperty(buffer, size);
    if (status != ZV_OK) return status;
    Field field;
    if (!FieldOf(id, &field)) return ZV_FAILED;
    ULONG value;
    std::memcpy(&value, buffer, sizeof value);
    switch (field) {
        case kFieldPdo:
        case kFieldLower:
            // A pointer: the caller's buffer must hold a whole one.
            if (size < sizeof(PVOID)) return ZV_BUFFER_TOO_SMALL;
            std::memcpy(field == kFieldPdo ? &m_pDeviceObject : &m_pLowerDevice, buffer,
                        sizeof(PVOID));
            return ZV_OK;
        case kFieldBits:
            m_ulBits = value;
            return ZV_OK;
        case kFieldRate:
            m_ulRate = value;
            return ZV_OK;
        case kFieldChannels:
            m_ulChannels = value;
            return ZV_OK;
        case kFieldState:
            return NT_SUCCESS(SetStreamState(value)) ? ZV_OK : ZV_FAILED;
        case kFieldValue16:
            if (m_pPin == nullptr) return ZV_NOT_READY;
            if (size < sizeof(m_Value16)) return ZV_BUFFER_TOO_SMALL;
            std::memcpy(m_Value16, buffer, sizeof(m_Value16));
            return ZV_OK;
        case kFieldRateValue:
            if (m_pPin == nullptr) return ZV_NOT_READY;
            m_ulRateValue = value;
            return m_pPin->SetRate(value) == STATUS_SUCCESS ? ZV_OK : ZV_FAILED;
        case kFieldLength:
            m_ulLengthMs = value;
            return ZV_OK;
        default:
            return ZV_FAILED;  // read-only
    }
}

ZvStatus CKAUDPABridge::GetPropertyDword(ULONG id, PULONG value) {
    ULONG size = sizeof(ULONG);
    return GetProperty(id, value, &size);
}

ZvStatus CKAUDPABridge::SetPropertyDword(ULONG id, ULONG value) {
    return SetProperty(id, &value, sizeof value);
}

ZvStatus CKAUDPABridge::SetDevices(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower) {
    ZvStatus status = SetProperty(kFieldPdo, &pdo, sizeof pdo);
    return status == ZV_OK ? SetProperty(kFieldLower, &lower, sizeof lower) : status;
}

NTSTATUS CKAUDPABridge::SetStreamState(ULONG state) {
    NTSTATUS status;
    switch (state) {
        case STATE_STOP:
            status = CloseStream();
            break;
        case STATE_PAUSE:
            status = OpenStream();
            break;
        case STATE_START:
            status = StartStream();
            break;
        default:
            return STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) m_ulState = state;
    return status;
}

NTSTATUS CKAUDPABridge::OpenStream() {
    if (m_ulState == STATE_PAUSE) return STATUS_SUCCESS;
    if (m_ulState == STATE_START) return m_pPin->CreateStream(0);  // pauses the running bridge

    KsFilterEnumerator* enumerator = new KsFilterEnumerator;
    if (enumerator == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = enumerator->EnumFilters(m_pDeviceObject, m_pLowerDevice, m_wszFilterName,
                                              &m_Category, m_ulPinId, TRUE, TRUE);
    auto filter =
        NT_SUCCESS(status) ? static_cast<CKsFilter*>(enumerator->m_listFilters.GetHead()) : nullptr;
    CKsPin* pin = nullptr;
    if (filter != nullptr) {
        WAVEFORMATEX format = {};
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = static_cast<WORD>(m_ulChannels);
        format.nSamplesPerSec = m_ulRate;
        format.nBlockAlign = static_cast<WORD>(m_ulBits / 8 * m_ulChannels);
        format.nAvgBytesPerSec = format.nBlockAlign * m_ulRate;
        format.wBitsPerSample = static_cast<WORD>(m_ulBits);
        pin = m_ulRender ? filter->CreateRenderPin(&format) : filter->CreateCapturePin(&format);
    }
    if (NT_SUCCESS(status) && pin == nullptr) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) status = pin->CreateStream(m_ulLengthMs);
    // Only a stream that was made counts: an informational answer is no ring.
    if (status != STATUS_SUCCESS) {
        if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
        delete enumerator;  // with it the filter and the pin
        return status;
    }
    m_pEnumerator = enumerator;
    m_pFilter = filter;
    m_pPin = pin;
    m_pCircBuff = pin->GetCircBuff();
    m_pStream = pin->GetStream();
    m_pCircBuff->SetWaitLimit(kBridgeWaitMs);
    return STATUS_SUCCESS;
}

NTSTATUS CKAUDPABridge::StartStream() {
    if (m_ulState == STATE_START) return STATUS_SUCCESS;
    if (m_ulState != STATE_PAUSE || m_pEnumerator == nullptr || m_pFilter == nullptr ||
        m_pPin == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ThisModule::ModulePrint(3, "%s>> StartStream!!! \n", m_pszName);
    return m_pPin->Run();
}

NTSTATUS CKAUDPABridge::CloseStream() {
    if (m_ulState == STATE_STOP) return STATUS_SUCCESS;
    if (m_pEnumerator == nullptr || m_pFilter == nullptr || m_pPin == nullptr)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = m_pPin->DestroyStream();
    delete m_pEnumerator;
    m_pEnumerator = nullptr;
    m_pFilter = nullptr;
    m_pPin = nullptr;
    m_pCircBuff = nullptr;
    m_pStream = nullptr;
    return status;
}

ZvStatus CKAUDPABridge::SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                                      ULONG outputBytes, PULONGLONG side) {
    (void)pin;
    // The sink takes the caller's input, the source fills the caller's output.
    PVOID buffer = m_ulRender ? input : output;
    const ULONG bytes = m_ulRender ? inputBytes : outputBytes;
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (m_ulState != STATE_START || m_pPin == nullptr) return ZV_NOT_READY;
    if (buffer == nullptr || bytes == 0) return ZV_INVALID_PARAMETER;
    ULONG count = bytes;
    // The side value, when given, is the machine time at which the caller's
    // buffer must be done: the waits of all its pieces end there.
    m_pCircBuff->SetWaitDeadline(side != nullptr ? *side : 0);
    if (m_ulRender)
        return m_pPin->WriteData(buffer, &count, CircBuff::kWaitBounded) != 0 ? ZV_OK : ZV_FAILED;
    // A flushed ring may still hand out its last bytes: what was read counts,
    // not the read's result.
    (void)m_pPin->ReadData(buffer, &count, CircBuff::kWaitBounded);
    if (count < bytes) {
        // The ring's bounded wait ended first: the rest is silence.
        std::memset(static_cast<PUCHAR>(buffer) + count, 0, bytes - count);
    }
    return count != 0 ? ZV_OK : ZV_FAILED;
}

CKAUDPASrc::CKAUDPASrc(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status)
    : CKAUDPABridge(deviceObject, instanceCode, ZvFourCC("ASrc"), kSourceFields,
                    sizeof(kSourceFields) / sizeof(kSourceFields[0]), 1, 1, 0, "CKAUDPASrc") {
    if (status != nullptr) *status = ZV_OK;
}

CKAUDPASnk::CKAUDPASnk(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status)
    : CKAUDPABridge(deviceObject, instanceCode, ZvFourCC("ASnk"), kSinkFields,
                    sizeof(kSinkFields) / sizeof(kSinkFields[0]), 2, 0, 1, "CKAUDPASnk") {
    if (status != nullptr) *status = ZV_OK;
}
