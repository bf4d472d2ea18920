// The kernel-streaming client: requests, the pointer list, the filter and its
// enumerator.
#include <cstring>

#include "BridgeKernelCalls.h"
#include "CKsFilter.h"
#include "FilterLogicServices.h"
#include "ZDebug.h"

namespace {

using ThisModule = LogModule<LogModuleFilterLogic>;

ULONG WideLength(PCWSTR text) {
    ULONG n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// True when `component` (of `length` characters) begins with `name`, compared
// without regard to case; a component shorter than the name never matches.
bool BeginsWith(PCWSTR component, ULONG length, PCWSTR name, ULONG nameLength) {
    if (length < nameLength) return false;
    for (ULONG i = 0; i < nameLength; ++i) {
        if (RtlUpcaseUnicodeChar(component[i]) != RtlUpcaseUnicodeChar(name[i])) return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// KsTarget
// ---------------------------------------------------------------------------
NTSTATUS KsTarget::SyncIoctl(ULONG code, PVOID input, ULONG inputLength, PVOID output,
                             ULONG outputLength, PULONG returned) {
    if (returned != nullptr) *returned = 0;
    // The framework's request sender: the same build, send and wait.
    return SendKsIoctl(code, m_pDevice, m_pFile, input, inputLength, output, outputLength,
                       returned);
}

NTSTATUS KsTarget::KsSetProperty(const GUID& set, ULONG id, PVOID value, ULONG valueLength,
                                 PVOID extra, ULONG extraLength) {
    const ULONG inputLength = sizeof(KSPROPERTY) + extraLength;
    auto input = static_cast<PUCHAR>(MemAlloc(inputLength));
    if (input == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KSPROPERTY property = {set, id, KSPROPERTY_TYPE_SET};
    std::memcpy(input, &property, sizeof property);
    if (extraLength != 0) std::memcpy(input + sizeof property, extra, extraLength);
    ULONG returned = 0;
    NTSTATUS status =
        SyncIoctl(IOCTL_KS_PROPERTY, input, inputLength, value, valueLength, &returned);
    MemFree(input);
    return status;
}

NTSTATUS SetState(KsTarget* target, KSSTATE state) {
    ULONG value = state;
    NTSTATUS status = target->KsSetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                            &value, sizeof value, nullptr, 0);
    if (!NT_SUCCESS(status))
        ThisModule::ModulePrint(ZDBG_ERR | 1, "Failed to Set Pin State %x\n", status);
    return status;
}

// ---------------------------------------------------------------------------
// PtrList
// ---------------------------------------------------------------------------
PtrList::~PtrList() {
    PVOID value;
    while (RemoveHead(&value)) {
    }
}

ULONG PtrList::AddTail(PVOID value) {
    auto node = static_cast<Node*>(MemAlloc(sizeof(Node)));
    if (node == nullptr) return 0;
    node->next = nullptr;
    node->previous = m_pTail;
    node->value = value;
    if (m_pTail != nullptr) {
        m_pTail->next = node;
    } else {
        m_pHead = node;
    }
    m_pTail = node;
    ++m_ulCount;
    return 1;
}

ULONG PtrList::RemoveHead(PVOID* value) {
    Node* node = m_pHead;
    if (node == nullptr) return 0;
    m_pHead = node->next;
    if (m_pHead != nullptr) {
        m_pHead->previous = nullptr;
    } else {
        m_pTail = nullptr;
    }
    --m_ulCount;
    *value = node->value;
    MemFree(node);
    return 1;
}

PVOID PtrList::GetHead() const {
    return m_pHead != nullptr ? m_pHead->value : nullptr;
}

// ---------------------------------------------------------------------------
// CKsFilter
// ---------------------------------------------------------------------------
CKsFilter::CKsFilter(PDEVICE_OBJECT lowerDevice, PCWSTR symbolicLink, NTSTATUS* status)
    : m_Target{lowerDevice, nullptr, nullptr, nullptr}, m_hFilter(nullptr) {
    m_wszLink[0] = 0;
    if (symbolicLink == nullptr) {
        *status = STATUS_INVALID_PARAMETER;
        return;
    }
    ULONG n = 0;
    for (; n + 1 < kLinkChars && symbolicLink[n] != 0; ++n) m_wszLink[n] = symbolicLink[n];
    m_wszLink[n] = 0;
    *status = STATUS_SUCCESS;
}

CKsFilter::~CKsFilter() {
    Destroy();
}

NTSTATUS KsOpenObject(PUNICODE_STRING name, HANDLE root, PHANDLE handle, PFILE_OBJECT* file,
                      KsOpenStep* failedStep) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root,
                               nullptr);
    IO_STATUS_BLOCK iosb{};
    *handle = nullptr;
    *file = nullptr;
    *failedStep = kKsOpenCreate;
    NTSTATUS status = ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb,
                                   nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, 0, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        *handle = nullptr;
        return status;
    }
    PVOID object = nullptr;
    *failedStep = kKsOpenReference;
    status = BridgeReferenceObjectByHandle(*handle, FILE_ALL_ACCESS, *IoFileObjectType, KernelMode,
                                           &object);
    if (!NT_SUCCESS(status)) {
        // The handle is ours alone: leaving it open would keep the object open.
        ZwClose(*handle);
        *handle = nullptr;
        return status;
    }
    *file = static_cast<PFILE_OBJECT>(object);
    return STATUS_SUCCESS;
}

void KsCloseObject(PHANDLE handle, PFILE_OBJECT* file) {
    if (*handle != nullptr) {
        ZwClose(*handle);
        *handle = nullptr;
    }
    if (*file != nullptr) {
        ObDereferenceObject(*file);
        *file = nullptr;
    }
}

NTSTATUS CKsFilter::Instantiate() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, m_wszLink);
    KsOpenStep step;
    PFILE_OBJECT file;
    NTSTATUS status = KsOpenObject(&name, nullptr, &m_hFilter, &file, &step);
    if (step == kKsOpenCreate && !NT_SUCCESS(status)) {
        ThisModule::ModulePrint(
            ZDBG_ERR | 1, "CKsFilter::Instantiate>> ZwCreate (Filter) FAILED !!! %x\n", status);
        return STATUS_UNSUCCESSFUL;
    }
    ThisModule::ModulePrint(2, "CKsFilter::Instantiate>> ZwCreate (Filter) SUCCESS \n");
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(
            ZDBG_ERR | 1,
            "CKsFilter::Instantiate>> ObReferenceObjectByHandle (Filter) FAILED !!! %x\n", status);
        return status;
    }
    ThisModule::ModulePrint(
        2, "CKsFilter::Instantiate>> ObReferenceObjectByHandle (Filter) SUCCESS \n");
    m_Target.m_pFile = file;
    m_Target.m_pFileDevice = IoGetRelatedDeviceObject(file);
    return STATUS_SUCCESS;
}

NTSTATUS CKsFilter::GetPinProperty(ULONG pinId, const GUID& set, ULONG id, PVOID output,
                                   ULONG outputLength, PULONG returned) {
    KSP_PIN request = {{set, id, KSPROPERTY_TYPE_GET}, pinId, 0};
    return m_Target.SyncIoctl(IOCTL_KS_PROPERTY, &request, sizeof request, output, outputLength,
                              returned);
}

NTSTATUS CKsFilter::EnumeratePins(ULONG pinId) {
    ULONG count = 0;
    NTSTATUS status =
        GetPinProperty(0, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof count, nullptr);
    if (!NT_SUCCESS(status) || pinId >= count) return status;
    NTSTATUS created = STATUS_SUCCESS;
    CKsPin* pin = new CKsPin(this, pinId, &created);
    if (pin == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "EnumeratePins>> Failed to create pin\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(created)) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "EnumeratePins>> Failed to construct pin %x\n",
                                created);
        delete pin;
        return created;
    }
    if (!m_listPins.AddTail(pin)) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "EnumeratePins>> Failed to add pin to list\n");
        delete pin;
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

CKsPin* CKsFilter::CreatePin(const WAVEFORMATEX* format, ULONG dataFlow) {
    auto pin = static_cast<CKsPin*>(m_listPins.GetHead());
    if (pin == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1,
                                "CreatePin>> Could not find a Capture/Render pin that supports the "
                                "given wave format\n");
        return nullptr;
    }
    NTSTATUS status = pin->SetDataFlow(dataFlow);
    if (NT_SUCCESS(status)) status = pin->SetFormat(format);
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(
            ZDBG_ERR | 1,
            "CreatePin>> Failed to set Capture/Render Pin format - the pin lied "
            "about its supported formats - %x\n",
            status);
        return nullptr;
    }
    status = pin->Instantiate();
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(
            ZDBG_ERR | 1, "CreatePin>> Failed to instantiate Capture/Render Pin %x\n", status);
        return nullptr;
    }
    ThisModule::ModulePrint(2, "CreatePin>> Successfully instantiated Capture/Render Pin.  \n");
    return pin;
}

void CKsFilter::Destroy() {
    PVOID pin;
    while (m_listPins.RemoveHead(&pin)) delete static_cast<CKsPin*>(pin);
    KsCloseObject(&m_hFilter, &m_Target.m_pFile);
}

// ---------------------------------------------------------------------------
// KsFilterEnumerator
// ---------------------------------------------------------------------------
KsFilterEnumerator::~KsFilterEnumerator() {
    KsFilterEnumerator::Clear();
}

void KsFilterEnumerator::Clear() {
    PVOID filter;
    while (m_listFilters.RemoveHead(&filter)) delete static_cast<CKsFilter*>(filter);
}

NTSTATUS KsFilterEnumerator::EnumFilters(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lowerDevice,
                                         PCWSTR name, const GUID* category, ULONG pinId,
                                         BOOLEAN enumeratePins, BOOLEAN instantiate) {
    if (name == nullptr || category == nullptr) return STATUS_INVALID_PARAMETER;
    PWSTR links = nullptr;
    NTSTATUS status = IoGetDeviceInterfaces(category, pdo, 0, &links);
    if (!NT_SUCCESS(status)) return status;
    const ULONG nameLength = WideLength(name);
    ThisModule::ModulePrint(2, "len of pszFilterName is %d\n", nameLength);
    PCWSTR match = nullptr;
    for (PCWSTR link = links; link != nullptr && *link != 0; link += WideLength(link) + 1) {
        ThisModule::ModulePrint(2, "symlink for guid %d is %S \n", 0, link);
        const ULONG length = WideLength(link);
        ULONG start = length;
        while (start > 0 && link[start - 1] != u'\\') --start;
        if (BeginsWith(link + start, length - start, name, nameLength)) {
            match = link;
            break;
        }
        ThisModule::ModulePrint(2, " Not a USB Filter so bailing out...\n");
    }
    if (match != nullptr) {
        CKsFilter* filter = new CKsFilter(lowerDevice, match, &status);
        if (filter == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
        if (NT_SUCCESS(status) && instantiate) {
            NTSTATUS opened = filter->Instantiate();
            if (!NT_SUCCESS(opened)) {
                ThisModule::ModulePrint(ZDBG_ERR | 1, "Filter Instantiate FAILED!!! %x \n", opened);
                status = STATUS_UNSUCCESSFUL;
            }
        }
        if (NT_SUCCESS(status) && enumeratePins) {
            NTSTATUS listed = filter->EnumeratePins(pinId);
            if (!NT_SUCCESS(listed)) {
                ThisModule::ModulePrint(ZDBG_ERR | 1, "Filter EnumeratePins FAILED !!! %x\n",
                                        listed);
                status = STATUS_UNSUCCESSFUL;
            }
        }
        if (NT_SUCCESS(status) && !m_listFilters.AddTail(filter)) {
            ThisModule::ModulePrint(ZDBG_ERR | 1,
                                    "Unable to insert Filter into m_listFilters!!! \n");
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        if (filter != nullptr && !NT_SUCCESS(status)) delete filter;
    }
    if (links != nullptr) ExFreePool(links);
    return status;
}
