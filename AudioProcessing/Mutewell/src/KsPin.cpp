// The kernel-streaming client's pin: connect block, open, ring and stream.
#include <cstring>

#include "AudioStream.h"
#include "CKsFilter.h"
#include "CircBuff.h"
#include "ZDebug.h"
#include "ZvStatus.h"

namespace {

using ThisModule = LogModule<LogModuleFilterLogic>;

constexpr ULONG kDataFlowUnset = 255;
constexpr ULONG kPcmFormatBytes = sizeof(WAVEFORMATEX);  // 18
constexpr ULONG kMaxNameBytes = 0xFFFE;                  // a UNICODE_STRING's even 16-bit length

// Bytes of a wave format: the PCM structure alone, anything else with its extra bytes.
ULONG WaveFormatSize(const WAVEFORMATEX* format) {
    return format->wFormatTag == WAVE_FORMAT_PCM ? kPcmFormatBytes
                                                 : kPcmFormatBytes + format->cbSize;
}

}  // namespace

CKsPin::CKsPin(CKsFilter* filter, ULONG pinId, NTSTATUS* status)
    : m_Target{},
      m_ulPinId(pinId),
      m_pFilter(filter),
      m_pksPinCreate(nullptr),
      m_ulPinCreateSize(0),
      m_pksDataFormatWfx(nullptr),
      m_pWfx(nullptr),
      m_ulWfxSize(0),
      m_pParams(nullptr),
      m_pCircBuff(nullptr),
      m_pStream(nullptr),
      m_ulDataFlow(kDataFlowUnset),
      m_fRunning(0),
      m_hPin(nullptr),
      m_ulRateValue(0) {
    const ULONG size = kConnectHead + kPcmFormatBytes;  // 146
    m_pksPinCreate = static_cast<PUCHAR>(MemAlloc(size));
    if (m_pksPinCreate == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1,
                                "CKsPin::CKsPin>> Failed to allocate m_pksPinCreate\n");
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    std::memset(m_pksPinCreate, 0, size);
    m_ulPinCreateSize = size;
    KSPIN_CONNECT connect = {};
    connect.Interface = {KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0};
    connect.Medium = {KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, 0};
    connect.PinId = pinId;
    connect.PinToHandle = 0;
    connect.Priority = {KSPRIORITY_NORMAL, 1};
    std::memcpy(m_pksPinCreate, &connect, sizeof connect);
    KSDATAFORMAT format = {};
    format.FormatSize = sizeof(KSDATAFORMAT) + kPcmFormatBytes;  // 82
    format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(m_pksPinCreate + sizeof connect, &format, sizeof format);
    m_pksDataFormatWfx = reinterpret_cast<PKSDATAFORMAT>(m_pksPinCreate + sizeof connect);
    *status = STATUS_SUCCESS;
}

CKsPin::~CKsPin() {
    if (m_pStream != nullptr) DestroyStream();
    Close();
    MemFree(m_pWfx);
    MemFree(m_pksPinCreate);
}

NTSTATUS CKsPin::SetFormat(const WAVEFORMATEX* format) {
    if (format == nullptr || m_pksDataFormatWfx == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "pwfx or m_pksDataFormatWfx are NULL\n");
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG formatSize = WaveFormatSize(format);
    const ULONG size = kConnectHead + formatSize;
    if (kNamePrefixBytes + size > kMaxNameBytes) return STATUS_INVALID_PARAMETER;
    auto copy = static_cast<PWAVEFORMATEX>(MemAlloc(formatSize));
    PUCHAR block = size == m_ulPinCreateSize ? m_pksPinCreate : static_cast<PUCHAR>(MemAlloc(size));
    if (copy == nullptr || block == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "Unable to allocate KSPIN_CONNECT structure \n");
        MemFree(copy);
        if (block != m_pksPinCreate) MemFree(block);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (block != m_pksPinCreate) {
        std::memcpy(block, m_pksPinCreate, kConnectHead);  // the block keeps its start
        MemFree(m_pksPinCreate);
        m_pksPinCreate = block;
        m_ulPinCreateSize = size;
        m_pksDataFormatWfx = reinterpret_cast<PKSDATAFORMAT>(block + sizeof(KSPIN_CONNECT));
    }
    const ULONG dataFormatSize = sizeof(KSDATAFORMAT) + formatSize;
    const ULONG sampleSize = static_cast<ULONG>(format->wBitsPerSample) * format->nChannels / 8;
    std::memcpy(block + sizeof(KSPIN_CONNECT) + offsetof(KSDATAFORMAT, FormatSize), &dataFormatSize,
                sizeof dataFormatSize);
    std::memcpy(block + sizeof(KSPIN_CONNECT) + offsetof(KSDATAFORMAT, SampleSize), &sampleSize,
                sizeof sampleSize);
    std::memcpy(block + kConnectHead, format, formatSize);
    std::memcpy(copy, format, formatSize);
    MemFree(m_pWfx);
    m_pWfx = copy;
    m_ulWfxSize = formatSize;
    return STATUS_SUCCESS;
}

NTSTATUS CKsPin::SetDataFlow(ULONG dataFlow) {
    if (dataFlow > 1) return STATUS_INVALID_PARAMETER;
    m_ulDataFlow = dataFlow;
    return STATUS_SUCCESS;
}

NTSTATUS CKsPin::Instantiate() {
    if (m_pksPinCreate == nullptr) return STATUS_UNSUCCESSFUL;
    const ULONG nameBytes = kNamePrefixBytes + m_ulPinCreateSize;  // 78 + the block
    auto name = static_cast<PUCHAR>(MemAlloc(nameBytes));
    if (name == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    const WCHAR separator = u'\\';
    std::memcpy(name, KSSTRING_Pin, KSSTRING_Pin_Chars * sizeof(WCHAR));
    std::memcpy(name + KSSTRING_Pin_Chars * sizeof(WCHAR), &separator, sizeof separator);
    std::memcpy(name + kNamePrefixBytes, m_pksPinCreate, m_ulPinCreateSize);
    UNICODE_STRING objectName;
    objectName.Buffer = reinterpret_cast<PWSTR>(name);
    objectName.Length = objectName.MaximumLength = static_cast<USHORT>(nameBytes);
    HANDLE handle;
    PFILE_OBJECT file;
    KsOpenStep step;
    NTSTATUS status = KsOpenObject(&objectName, m_pFilter->Handle(), &handle, &file, &step);
    MemFree(name);
    if (step == kKsOpenCreate && !NT_SUCCESS(status)) {
        ThisModule::ModulePrint(ZDBG_ERR | 1,
                                "CKsPin::Instantiate>> ZwCreateFile (Pin) FAILED  %x \n", status);
        return status;
    }
    ThisModule::ModulePrint(2, "CKsPin::Instantiate>> ZwCreateFile (Pin) SUCCESS!!!. \n");
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(
            ZDBG_ERR | 1, "CKsPin::Instantiate>> ObReferenceObjectByHandle (Pin) FAILED %x \n",
            status);
        return status;
    }
    m_hPin = handle;
    const KsTarget& filter = m_pFilter->Target();
    m_Target.m_pDevice = filter.m_pDevice;
    m_Target.m_pFile = file;
    m_Target.m_pRelated = m_Target.m_pFile->RelatedFileObject;
    m_Target.m_pFileDevice = filter.m_pFileDevice;
    return STATUS_SUCCESS;
}

NTSTATUS CKsPin::CreateStream(ULONG milliseconds) {
    if (m_ulDataFlow > 1) return STATUS_UNSUCCESSFUL;
    if (m_fRunning) {
        // The bridge pauses: the stream stops, ring and requests are kept for Run.
        NTSTATUS status = m_pStream->Stop();
        m_fRunning = 0;
        return status;
    }
    if (milliseconds == 0) return STATUS_INVALID_PARAMETER;  // no ring of 0 bytes
    // One stream per pin: a second would leave the first's thread behind.
    if (m_pStream != nullptr || m_pWfx == nullptr || m_Target.m_pFile == nullptr)
        return STATUS_UNSUCCESSFUL;
    const ULONG bytesPer10ms = static_cast<ULONG>(static_cast<ULONGLONG>(m_pWfx->nBlockAlign) *
                                                  m_pWfx->nSamplesPerSec / 100);
    const ULONGLONG ringBytes = static_cast<ULONGLONG>(milliseconds / 10) * bytesPer10ms;
    if (bytesPer10ms == 0 || ringBytes == 0 || ringBytes > MEM_MAX_REQUEST)
        return STATUS_UNSUCCESSFUL;
    m_pParams = static_cast<StreamParams*>(MemAlloc(sizeof(StreamParams)));
    if (m_pParams != nullptr) std::memset(m_pParams, 0, sizeof(StreamParams));
    m_pCircBuff = m_pParams != nullptr ? new CircBuff : nullptr;
    if (m_pCircBuff == nullptr ||
        !m_pCircBuff->Create(static_cast<ULONG>(ringBytes), m_ulDataFlow, m_pWfx->nChannels,
                             m_pWfx->nSamplesPerSec, m_pWfx->wBitsPerSample, bytesPer10ms)) {
        FreeStream();
        return STATUS_UNSUCCESSFUL;
    }
    m_pParams->m_ulDataFlow = m_ulDataFlow;
    m_pParams->m_Target = m_Target;
    m_pParams->m_pCircBuff = m_pCircBuff;
    m_pParams->m_ulBytesPer10ms = bytesPer10ms;
    m_pParams->m_ulChannels = m_pWfx->nChannels;
    m_pParams->m_ulRate = m_pWfx->nSamplesPerSec;
    m_pParams->m_ulBits = m_pWfx->wBitsPerSample;
    KeInitializeEvent(&m_pParams->m_AllReturned, NotificationEvent, TRUE);
    m_pStream = new AudioStream(m_Target, m_pParams);
    if (m_pStream == nullptr) {
        FreeStream();
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CKsPin::Run() {
    if (m_pStream == nullptr || m_fRunning) return STATUS_UNSUCCESSFUL;
    m_pCircBuff->Reset();
    NTSTATUS status = m_pStream->Start();
    if (NT_SUCCESS(status)) m_fRunning = 1;
    return status;
}

NTSTATUS CKsPin::DestroyStream() {
    if (m_pStream == nullptr || m_pCircBuff == nullptr || m_pParams == nullptr)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    if (m_fRunning) {
        status = m_pStream->Stop();
        m_fRunning = 0;
    }
    FreeStream();
    return status;
}

void CKsPin::FreeStream() {
    delete m_pStream;
    m_pStream = nullptr;
    delete m_pCircBuff;
    m_pCircBuff = nullptr;
    MemFree(m_pParams);
    m_pParams = nullptr;
}

NTSTATUS CKsPin::SetRate(ULONG value) {
    m_ulRateValue = value;
    return STATUS_SUCCESS;
}

ULONG CKsPin::ReadData(PVOID buffer, PULONG count, ULONG wait) {
    if (!m_fRunning || m_ulDataFlow != 0) return 0;
    return m_pCircBuff->ReadData(buffer, count, wait);
}

ULONG CKsPin::WriteData(PVOID buffer, PULONG count, ULONG wait) {
    if (!m_fRunning || m_ulDataFlow != 1) return 0;
    return m_pCircBuff->WriteCorrected(buffer, count, wait);
}

void CKsPin::Close() {
    KsCloseObject(&m_hPin, &m_Target.m_pFile);
}
