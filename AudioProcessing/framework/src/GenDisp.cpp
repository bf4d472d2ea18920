// The interceptor's core: construction and the list mutexes, the routing of
// requests, pin creates and closes, the handshake block, and the services a
// filter logic calls with an interceptor.  Its siblings: GenDispLists.cpp (the
// open filter, pin and open-pin lists), GenDispCompletion.cpp (request
// contexts and the completion frame), GenDispMapping.cpp (MDL and property
// buffer mapping), GenDispProperty.cpp, GenDispRanges.cpp, GenDispStream.cpp.
#include "CGenDisp.h"

#include <cstring>
#include <new>

#include "DrvMain.h"
#include "MemAlloc.h"
#include "Probe.h"
#include "OSDep.h"
#include "ZDebug.h"
#include "ZvKAPFWi.h"

namespace {
using ThisModule = LogModule<LogModuleGenDisp>;

const ULONG ZvapTag = ((ULONG)'P' << 24) | ((ULONG)'A' << 16) | ((ULONG)'V' << 8) | (ULONG)'Z';
// A pin-create name: the pin-create GUID's 38 characters, one separator, the
// KSPIN_CONNECT and the KSDATAFORMAT with its tail.
const ULONG PinNameChars = 38;
const ULONG ConnectOffset = (PinNameChars + 1) * sizeof(WCHAR);    // 78
const ULONG FormatOffset = ConnectOffset + sizeof(KSPIN_CONNECT);  // 142

WCHAR Upper(WCHAR c) {
    return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - u'a' + u'A') : c;
}

// The name's first 38 characters against the pin-create name, ignoring case.
bool HasPinCreatePrefix(const UNICODE_STRING& name) {
    static const WCHAR pinName[] = KSSTRING_Pin;
    if (name.Buffer == nullptr || name.Length < PinNameChars * sizeof(WCHAR)) return false;
    for (ULONG i = 0; i < PinNameChars; ++i) {
        WCHAR c;
        std::memcpy(&c, reinterpret_cast<const UCHAR*>(name.Buffer) + i * sizeof(WCHAR), sizeof c);
        if (Upper(c) != Upper(pinName[i])) return false;
    }
    return true;
}

// A format the stream paths can work with: a WAVEFORMATEX of at least 82
// bytes whose block is not empty.
bool IsUsableWaveFormat(const UCHAR* format) {
    return format != nullptr && ZvFormatSize(format) >= ZV_FMT_SIZE_WAVE &&
           std::memcmp(format + 48, &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, sizeof(GUID)) == 0 &&
           ZvReadU16(format, ZV_FMT_OFF_BLOCKALIGN) != 0;
}
}  // namespace

// ---------------------------------------------------------------------------
// Lifecycle
// ---------------------------------------------------------------------------
CGenDisp::CGenDisp()
    : m_fdo(nullptr),
      m_lower(nullptr),
      m_pdo(nullptr),
      m_device(nullptr),
      m_pending(0),
      m_removeLock(nullptr),
      m_openPinOwner(nullptr),
      m_openPinDepth(0),
      m_filterCount(0),
      m_openPinCount(0),
      m_cleared(0) {
    ExInitializeNPagedLookasideList(&m_contextLookaside, nullptr, nullptr, 0, sizeof(IrpContext),
                                    ZvapTag, 0);
    KeInitializeMutex(&m_filterListMutex, 0);
    KeInitializeMutex(&m_openPinListMutex, 0);
    InitializeListHead(&m_filterList);
    InitializeListHead(&m_openPinList);
    ThisModule::ModulePrint(3, "CGenDisp::CGenDisp> Created class: 0x%lx\n", Low32(this));
}

CGenDisp::~CGenDisp() {
    LockFilterList();
    LockOpenPinList();
    DeInitFilterAndOpenPinList();
    UnlockOpenPinList();
    UnlockFilterList();
    ExDeleteNPagedLookasideList(&m_contextLookaside);
    m_fdo = nullptr;
    m_lower = nullptr;
    m_pdo = nullptr;
    m_device = nullptr;
    m_removeLock = nullptr;
    ThisModule::ModulePrint(3, "CGenDisp::~CGenDisp> destroying class: 0x%lx\n", Low32(this));
}

NTSTATUS CGenDisp::Init(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo,
                        CDevice* device, PRemoveLock removeLock) {
    m_fdo = fdo;
    m_lower = lower;
    m_pdo = pdo;
    m_device = device;
    m_removeLock = removeLock;
    m_target = lower;
    ThisModule::ModulePrint(3, "CGenDisp::Init> status is 0x%lx!\n", 0);
    return STATUS_SUCCESS;
}

void CGenDisp::LockFilterList() {
    KeWaitForSingleObject(&m_filterListMutex, Executive, KernelMode, FALSE, nullptr);
}
void CGenDisp::UnlockFilterList() {
    KeReleaseMutex(&m_filterListMutex, FALSE);
}
void CGenDisp::LockOpenPinList() {
    KeWaitForSingleObject(&m_openPinListMutex, Executive, KernelMode, FALSE, nullptr);
    if (m_openPinDepth++ == 0)
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_openPinOwner),
                                   KeGetCurrentThread());
}
void CGenDisp::UnlockOpenPinList() {
    if (--m_openPinDepth == 0)
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_openPinOwner), nullptr);
    KeReleaseMutex(&m_openPinListMutex, FALSE);
}
bool CGenDisp::OpenPinListHeldByCaller() const {
    PVOID owner = InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<PKTHREAD volatile*>(&m_openPinOwner)), nullptr,
        nullptr);
    return owner == KeGetCurrentThread();
}

// ---------------------------------------------------------------------------
// Routing
// ---------------------------------------------------------------------------
NTSTATUS CGenDisp::Dispatch(PIRP irp, PULONG taken) {
    InterlockedIncrement(&m_pending);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ThisModule::ModulePrint(3, "CGenDisp::Dispatch> Device Object: 0x%lx \tMajorFunction:0x%x\n",
                            Low32(m_fdo), stack->MajorFunction);
    if (InterlockedExchange(&FilterExtension(m_fdo)->RebuildFlag, 0) != 0) {
        LockFilterList();
        LockOpenPinList();
        DeInitFilterAndOpenPinList();
        UnlockOpenPinList();
        UnlockFilterList();
    }
    *taken = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG section = 0;
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            status = HandleCreate(irp, taken);
            break;
        case IRP_MJ_CLOSE:
            status = HandleClose(irp, taken);
            break;
        case IRP_MJ_DEVICE_CONTROL:
            switch (stack->Parameters.DeviceIoControl.IoControlCode) {
                case IOCTL_KS_PROPERTY:
                    section = 3;
                    ProbeEnter(section);
                    ProbeAddCounter(PROBE_COUNTER_PROPERTY, 1);
                    status = HandleKSProperty(irp, taken);
                    break;
                case IOCTL_KS_HANDSHAKE:
                    status = HandleKSHandShake(irp, taken);
                    break;
                case IOCTL_KS_READ_STREAM:
                    section = 1;
                    ProbeEnter(section);
                    ProbeAddCounter(PROBE_COUNTER_READ_STREAM, 1);
                    status = HandleKSReadStream(irp, taken);
                    break;
                case IOCTL_KS_WRITE_STREAM:
                    section = 2;
                    ProbeEnter(section);
                    ProbeAddCounter(PROBE_COUNTER_WRITE_STREAM, 1);
                    status = HandleKSWriteStream(irp, taken);
                    break;
                default:
                    break;
            }
            break;
        default:
            break;
    }
    if (*taken == 0) InterlockedDecrement(&m_pending);
    if (section != 0) ProbeLeave(section);
    return status;
}

// ---------------------------------------------------------------------------
// Create, close and handshake
// ---------------------------------------------------------------------------
NTSTATUS CGenDisp::HandleCreate(PIRP irp, PULONG taken) {
    ULONG value = 0, size = sizeof value;
    ZvStatus zvStatus = GetSharedVariable(VID_SHARED_PROCESS, &value, &size);
    if (zvStatus != ZV_OK) {
        ThisModule::ModulePrint(1, "HandleCreate> GetSharedVariable Failed zvStatus 0x%lx \n",
                                zvStatus);
        value = 0;
    }
    const ULONG process = value;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    if (file == nullptr || !HasPinCreatePrefix(file->FileName)) return STATUS_SUCCESS;
    // Follow the create only when the name holds the whole format and the pin has a parent filter.
    ULONG length = file->FileName.Length;
    if (length < FormatOffset + ZV_FMT_SIZE_HEADER || file->RelatedFileObject == nullptr)
        return STATUS_SUCCESS;
    const UCHAR* name = reinterpret_cast<const UCHAR*>(file->FileName.Buffer);
    const UCHAR* format = name + FormatOffset;
    ULONG formatSize = ZvFormatSize(format);
    if (formatSize < ZV_FMT_SIZE_HEADER || formatSize > length - FormatOffset)
        return STATUS_SUCCESS;
    KSPIN_CONNECT connect;
    std::memcpy(&connect, name + ConnectOffset, sizeof connect);

    LockFilterList();
    LockOpenPinList();
    ThisModule::ModulePrint(1,
                            "HandleCreate> -----------------CreatePin Format-----------------\n");
    DisplayDataFormat(format, formatSize);
    ThisModule::ModulePrint(1,
                            "HandleCreate> --------------------------------------------------\n");
    OpenPinEntry* entry = nullptr;
    NTSTATUS status = HandleCreatePin(irp, &connect, format, &entry);
    ULONG dontCare = entry != nullptr && entry->Active == 0 ? 1 : 0;
    UnlockOpenPinList();
    UnlockFilterList();

    if (!NT_SUCCESS(status)) {
        if (process != 0) {
            ThisModule::ModulePrint(
                1,
                "HandleCreate> Create Pin Failed!!! (Pin will be removed from List) Status - %x \n",
                status);
            LockOpenPinList();
            RemoveOpenPin(irp, RequestFile::Own);
            return CompleteKsIrp({irp, nullptr, nullptr, taken, ListsHeld::OpenPin},
                                 STATUS_NOT_SUPPORTED, 0);
        }
        dontCare = 1;
    } else if (entry == nullptr) {
        return STATUS_SUCCESS;
    }
    if (process == 0) dontCare = 1;
    if (std::memcmp(format + 48, &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, sizeof(GUID)) != 0) {
        dontCare = 1;
        if (std::memcmp(format + 48, &KSDATAFORMAT_SPECIFIER_DSOUND, sizeof(GUID)) == 0) {
            ThisModule::ModulePrint(
                1, "HandleCreate> IRP_MJ_CREATE>>KSDATAFORMAT_SPECIFIER_DSOUND Success!!! \n");
        } else {
            ThisModule::ModulePrint(1, "HandleCreate> IRP_MJ_CREATE>>UnKnown Format Success!!!\n");
        }
    }
    IrpContext* ctx = AllocateContext(irp, IRP_CTX_CREATE);
    if (ctx == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "HandleCreate> no memory for IRP context!!\n");
        LockOpenPinList();
        RemoveOpenPin(irp, RequestFile::Own);
        UnlockOpenPinList();
        return status;
    }
    ctx->DontCare = dontCare;
    // The completion takes the list mutexes: it may have to finish at PASSIVE_LEVEL later.
    ctx->ForcePending = 1;
    ThisModule::ModulePrint(1, "HandleCreate> Seting Completion routine For IRP_MJ_CREATE Pin\n");
    return PassDownWithContext(irp, ctx, taken);
}

NTSTATUS CGenDisp::HandleCreatePin(PIRP irp, const KSPIN_CONNECT* connect, const UCHAR* dataFormat,
                                   OpenPinEntry** openPinOut) {
    *openPinOut = nullptr;
    PFILE_OBJECT pinFile = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PFILE_OBJECT filterFile = pinFile->RelatedFileObject;
    ULONG pinId = connect->PinId;
    ThisModule::ModulePrint(1, "HandleCreatePin> CreatePin; Pin - %d, Filter - %x\n", pinId,
                            Low32(filterFile));
    FilterEntry* filter = nullptr;
    PinRecord* record = nullptr;
    if (GetFilterFromList(irp, filterFile, pinId, &filter, &record, ListLookup::FindOrAdd,
                          RequestFile::Related) == 0 ||
        record == nullptr) {
        // A lookup or resource failure is no reason to refuse the application: pass untouched.
        ThisModule::ModulePrint(1,
                                "HandleCreatePin> Pin Created is not in the Filter/Pin List !!!\n");
        return STATUS_SUCCESS;
    }
    if (record->fDontCare != 0 || record->fNotUsed != 0) {
        ThisModule::ModulePrint(1, "HandleCreatePin> Pin Created has attribute %s so bail out!!!\n",
                                record->fDontCare != 0 ? "fDontCare" : "fNotUsed");
        return STATUS_SUCCESS;
    }
    OpenPinEntry* entry = nullptr;
    if (GetOpenPinFromList(irp, pinFile, dataFormat, pinId, &entry, ListLookup::FindOrAdd) == 0 ||
        entry == nullptr) {
        ThisModule::ModulePrint(1, "HandleCreatePin> GetOpenPinFromList Failed!!!\n");
        return STATUS_SUCCESS;
    }
    ULONG dirs = 0, size = sizeof dirs;
    // Unreadable, it stays 0: no direction is handled.
    (void)GetInstantiatedVariable(this, VID_INST_PINDIRS, &dirs, &size);
    entry->Direction = record->DataFlow;
    entry->Channel = NoChannel;
    entry->Active = (dirs == 3 || dirs == entry->Direction) ? 1 : 0;
    // The stream paths read the block size and rate of the format: follow only a usable one.
    if (!IsUsableWaveFormat(entry->Format)) entry->Active = 0;
    *openPinOut = entry;
    const UCHAR* reference =
        record->ChosenFormat != nullptr ? record->ChosenFormat : record->DefaultFormat;
    ULONG formatSize = ZvFormatSize(dataFormat);
    if (reference != nullptr &&
        CompareDataFormat(dataFormat, formatSize, reference, record->ChannelLimit) == 0 &&
        FindRangeForFormat(record, dataFormat, formatSize, 1) == 0) {
        ThisModule::ModulePrint(
            1, "HandleCreatePin>> DataFormat mismatch CreatePin will be Failed !!!\n");
        record->FailureCount += 1;
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CGenDisp::HandleClose(PIRP irp, PULONG taken) {
    LockFilterList();
    LockOpenPinList();
    RemoveFilter(irp, RequestFile::Own);
    UnlockOpenPinList();
    UnlockFilterList();
    IrpContext* ctx = AllocateContext(irp, IRP_CTX_CLOSE);
    if (ctx == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "HandleClose> no memory for IRP context!!\n");
        return STATUS_SUCCESS;
    }
    return PassDownWithContext(irp, ctx, taken);
}

NTSTATUS CGenDisp::HandleKSHandShake(PIRP irp, PULONG taken) {
    ULONG value = 0, size = sizeof value;
    ZvStatus zvStatus = GetSharedVariable(VID_SHARED_DSDISABLE, &value, &size);
    if (zvStatus != ZV_OK) {
        ThisModule::ModulePrint(1, "HandleKSProperty> GetSharedVariable Failed zvStatus 0x%lx \n",
                                zvStatus);
        value = 0;
    }
    if (value == 0) return STATUS_SUCCESS;
    ThisModule::ModulePrint(1, "HandleKSHandShake> Blocked!\n");
    return CompleteKsIrp({irp, nullptr, nullptr, taken, ListsHeld::None},
                         STATUS_INVALID_DEVICE_REQUEST, 0);
}

// ---------------------------------------------------------------------------
// What a filter logic may do with an interceptor
// ---------------------------------------------------------------------------
PDEVICE_OBJECT GetFilterDevice(CGenDisp* genDisp) {
    return genDisp != nullptr ? genDisp->Fdo() : nullptr;
}
PDEVICE_OBJECT GetLowerDevice(CGenDisp* genDisp) {
    return genDisp != nullptr ? genDisp->Lower() : nullptr;
}
PDEVICE_OBJECT GetPhysicalDevice(CGenDisp* genDisp) {
    return genDisp != nullptr ? genDisp->Pdo() : nullptr;
}
void LockOpenPinList(CGenDisp* genDisp) {
    genDisp->LockOpenPinList();
}
void UnlockOpenPinList(CGenDisp* genDisp) {
    genDisp->UnlockOpenPinList();
}
ULONG GetOpenPinFromList(CGenDisp* genDisp, PFILE_OBJECT pinFile, OpenPinEntry** entry) {
    *entry = nullptr;
    if (genDisp == nullptr || pinFile == nullptr) return 0;
    return genDisp->GetOpenPinFromList(nullptr, pinFile, nullptr, 0, entry, ListLookup::Find);
}
ULONG FormatToChannelFormat(const OpenPinEntry* entry, ChannelFormat* format) {
    return FormatToChannelFormat(entry->Format, ZvFormatSize(entry->Format), format);
}
