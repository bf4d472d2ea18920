// The interceptor's core: construction, the routing of requests, the open
// filter and pin lists, pin creates and closes, the handshake block, the
// completion frame and the buffer-mapping routines.
#include "CGenDisp.h"

#include <cstring>
#include <new>

#include "DrvMain.h"
#include "LogicCalls.h"
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

void FreeFormats(PinRecord* record) {
    MemFree(record->RangeList);
    MemFree(record->DefaultFormat);
    MemFree(record->ChosenFormat);
    record->RangeList = nullptr;
    record->DefaultFormat = nullptr;
    record->ChosenFormat = nullptr;
    record->RangeListSize = 0;
}

PUCHAR CopyBytes(const void* source, ULONG size) {
    PUCHAR copy = static_cast<PUCHAR>(MemAlloc(size));
    if (copy != nullptr) std::memcpy(copy, source, size);
    return copy;
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
// Contexts and the completion frame
// ---------------------------------------------------------------------------
namespace {
// Kinds whose completion takes the list mutexes or calls the filter logic.
bool NeedsPassiveWork(ULONG kind) {
    switch (kind) {
        case IRP_CTX_CREATE:
        case IRP_CTX_DATAFORMAT:
        case IRP_CTX_STATE:
        case IRP_CTX_POSITION:
            return true;
        default:
            return false;
    }
}
}  // namespace

IrpContext* CGenDisp::AllocateContext(PIRP irp, ULONG kind) {
    auto* context =
        static_cast<IrpContext*>(ExAllocateFromNPagedLookasideList(&m_contextLookaside));
    if (context == nullptr) return nullptr;
    std::memset(context, 0, sizeof *context);
    context->Irp = irp;
    context->GenDisp = this;
    context->Kind = kind;
    context->Channel = NoChannel;
    // A completion at DISPATCH_LEVEL finishes in a work item: it is had now,
    // while a failure can still pass the request on untouched, so that the
    // completion never goes without its callbacks.
    if (NeedsPassiveWork(kind)) {
        context->WorkItem = IoAllocateWorkItem(m_fdo);
        if (context->WorkItem == nullptr) {
            ExFreeToNPagedLookasideList(&m_contextLookaside, context);
            return nullptr;
        }
    }
    return context;
}

void CGenDisp::FreeContext(IrpContext* context) {
    if (context->WorkItem != nullptr) IoFreeWorkItem(context->WorkItem);
    ExFreeToNPagedLookasideList(&m_contextLookaside, context);
}

NTSTATUS CGenDisp::PassDownWithContext(PIRP irp, IrpContext* context, PULONG taken) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CompletionRoutineEntry, context, TRUE, TRUE, TRUE);
    *taken = 1;
    ULONG forcePending = context->ForcePending;  // the context may be gone once the call returns
    NTSTATUS status = IoCallDriver(m_lower, irp);
    return forcePending != 0 ? STATUS_PENDING : status;
}

NTSTATUS CGenDisp::CompleteKsIrp(const KsReply& reply, NTSTATUS status, ULONG_PTR information) {
    PIRP irp = reply.Irp;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    if (reply.Held == ListsHeld::FilterAndOpenPin || reply.Held == ListsHeld::OpenPin)
        UnlockOpenPinList();
    if (reply.Held == ListsHeld::Filter || reply.Held == ListsHeld::FilterAndOpenPin)
        UnlockFilterList();
    UndoPropertyInput(irp, reply.InputMdl, MappingUndo::Release);
    UndoPropertyOutput(irp, reply.OutputMdl, MappingUndo::Release);
    // The count drops before the completion goes up: whoever is told of the
    // completion (a driver above, the application) must not still see it.
    InterlockedDecrement(&m_pending);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    *reply.Taken = 1;
    ReleaseRemoveLock(irp, m_removeLock);
    return status;
}

NTSTATUS CGenDisp::AnswerSized(const KsReply& reply, PVOID out, ULONG outLength, const void* value,
                               ULONG size) {
    if (outLength == 0) return CompleteKsIrp(reply, STATUS_BUFFER_OVERFLOW, size);
    if (outLength < size) return CompleteKsIrp(reply, STATUS_BUFFER_TOO_SMALL, 0);
    std::memcpy(out, value, size);
    return CompleteKsIrp(reply, STATUS_SUCCESS, size);
}

NTSTATUS CompletionRoutineEntry(PDEVICE_OBJECT, PIRP, PVOID context) {
    ProbeEnter(0);
    auto* ctx = static_cast<IrpContext*>(context);
    NTSTATUS status = ctx->GenDisp->CompletionRoutine(ctx);
    ProbeLeave(0);
    return status;
}

namespace {
VOID DeferredCompletion(PDEVICE_OBJECT, PVOID context) {
    ProbeEnter(0);
    auto* ctx = static_cast<IrpContext*>(context);
    PIRP irp = ctx->Irp;
    PIO_WORKITEM item = ctx->WorkItem;
    ctx->WorkItem = nullptr;  // freed below, once this routine is done with it
    CGenDisp* genDisp = ctx->GenDisp;
    genDisp->CompletionWork(ctx);
    genDisp->FinishContext(ctx);
    // The request stopped at this filter's location; completing it again goes on upwards.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoFreeWorkItem(item);
    ReleaseRemoveLock(irp, genDisp->GetRemoveLock());
    ProbeLeave(0);
}

}  // namespace

NTSTATUS CGenDisp::CompletionRoutine(IrpContext* ctx) {
    PIRP irp = ctx->Irp;
    if (irp->PendingReturned || ctx->ForcePending != 0) IoMarkIrpPending(irp);
    if (ctx->Kind == IRP_CTX_READ) return CompleteCaptureRequest(ctx);
    if (ctx->Kind == IRP_CTX_WRITE) CompleteRenderRequest(ctx);
    if (ctx->WorkItem != nullptr && KeGetCurrentIrql() != PASSIVE_LEVEL) {
        IoQueueWorkItem(ctx->WorkItem, DeferredCompletion, DelayedWorkQueue, ctx);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    CompletionWork(ctx);
    FinishContext(ctx);
    ReleaseRemoveLock(irp, m_removeLock);
    return STATUS_SUCCESS;
}

void CGenDisp::FinishContext(IrpContext* ctx) {
    PIRP irp = ctx->Irp;
    UnmapStreamBuffers(ctx->DataMdls);
    UndoPropertyInput(irp, ctx->InputMdl, MappingUndo::Release);
    UndoPropertyOutput(irp, ctx->OutputMdl, MappingUndo::Release);
    FreeContext(ctx);
    InterlockedDecrement(&m_pending);
}

void CGenDisp::CompletionWork(IrpContext* ctx) {
    PIRP irp = ctx->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (ctx->Kind) {
        case IRP_CTX_CREATE: {
            PFILE_OBJECT pinFile = stack->FileObject;
            OpenPinEntry* entry = nullptr;
            PinRecord* record = nullptr;
            FilterEntry* filter = nullptr;
            if (NT_SUCCESS(status)) {
                ThisModule::ModulePrint(1, "CompletionRoutine> Create Pin SUCCESS!!!\n");
                if (g_FilterLogic->OnOpen == nullptr || ctx->DontCare != 0) break;
                LockFilterList();
                LockOpenPinList();
                if (GetOpenPinFromList(irp, pinFile, nullptr, 0, &entry, ListLookup::Find) == 0) {
                    ThisModule::ModulePrint(1, "GetOpenPinFromList Failed!!!\n");
                } else {
                    ChannelFormat format;
                    FormatToChannelFormat(entry->Format, ZvFormatSize(entry->Format), &format);
                    (void)logic::OnOpen(this, entry->Direction, &format, &entry->Channel, m_lower,
                                        pinFile, m_fdo);
                    if (GetFilterFromList(irp, pinFile->RelatedFileObject, entry->PinId, &filter,
                                          &record, ListLookup::Find, RequestFile::Related) == 0) {
                        ThisModule::ModulePrint(1,
                                                "CompletionRoutine> IRP_MJ_CREATE> Pin Created is "
                                                "not in the Filter/Pin List !!!\n");
                    } else {
                        record->FailureCount = 0;
                        record->IntersectCursor = 0;
                    }
                }
                UnlockOpenPinList();
                UnlockFilterList();
            } else {
                LockFilterList();
                LockOpenPinList();
                if (GetOpenPinFromList(irp, pinFile, nullptr, 0, &entry, ListLookup::Find) == 0) {
                    ThisModule::ModulePrint(1,
                                            "CompletionRoutine> IRP_MJ_CREATE> Pin Opened is not "
                                            "in the OPenpin List !!!\n");
                } else if (GetFilterFromList(irp, pinFile->RelatedFileObject, entry->PinId, &filter,
                                             &record, ListLookup::Find,
                                             RequestFile::Related) == 0) {
                    ThisModule::ModulePrint(1,
                                            "CompletionRoutine> IRP_MJ_CREATE> Pin Created is not "
                                            "in the Filter/Pin List !!!\n");
                } else {
                    record->FailureCount += 1;
                }
                ThisModule::ModulePrint(1,
                                        "CompletionRoutine> IRP_MJ_CREATE> Create Pin Failed!!! "
                                        "(Pin will be removed from List) Status - %x \n",
                                        status);
                RemoveOpenPin(irp, RequestFile::Own);
                UnlockOpenPinList();
                UnlockFilterList();
            }
            break;
        }
        case IRP_CTX_CLOSE:
            if (NT_SUCCESS(status)) {
                ThisModule::ModulePrint(1, "Close SUCCESS!!!\n");
            } else {
                ThisModule::ModulePrint(1, "Close Failed!!! Status - %x \n", status);
            }
            break;
        case IRP_CTX_DATAFORMAT:
        case IRP_CTX_STATE:
        case IRP_CTX_POSITION:
            PropertyCompletionWork(ctx);
            break;
        default:
            break;
    }
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
// Lists
// ---------------------------------------------------------------------------
ULONG CGenDisp::GetFilterFromList(PIRP irp, PFILE_OBJECT filterFile, ULONG pinId,
                                  FilterEntry** filterOut, PinRecord** pinOut, ListLookup add,
                                  RequestFile useRelated) {
    *filterOut = nullptr;
    *pinOut = nullptr;
    if (filterFile == nullptr) return 0;
    FilterEntry* filter = nullptr;
    for (PLIST_ENTRY link = m_filterList.Flink; link != &m_filterList; link = link->Flink) {
        FilterEntry* candidate = CONTAINING_RECORD(link, FilterEntry, Links);
        if (candidate->FilterFile == filterFile) {
            filter = candidate;
            break;
        }
    }
    if (filter == nullptr && add != ListLookup::Find) {
        filter = static_cast<FilterEntry*>(MemAlloc(sizeof(FilterEntry)));
        if (filter != nullptr) {
            std::memset(filter, 0, sizeof *filter);
            filter->FilterFile = filterFile;
            InitializeListHead(&filter->Pins);
            InterlockedIncrement(&m_filterCount);
            ThisModule::ModulePrint(1, "Adding Filter in the List FilterCount-%d FileObject-%x\n",
                                    FilterCount(), Low32(filterFile));
            InsertHeadList(&m_filterList, &filter->Links);
        }
    }
    if (filter == nullptr) return 0;
    *filterOut = filter;
    return GetPinFromList(irp, filterFile, pinId, filter, pinOut, add, useRelated);
}

ULONG CGenDisp::IsAcceptedPinCategory(PIRP, ULONG, PinRecord* record) {
    const PinCategoryTable* table = record->DataFlow == KSPIN_DATAFLOW_IN    ? &RenderPinCategories
                                    : record->DataFlow == KSPIN_DATAFLOW_OUT ? &CapturePinCategories
                                                                             : nullptr;
    if (table == nullptr) return 1;
    if (record->Communication != KSPIN_COMMUNICATION_SINK &&
        record->Communication != KSPIN_COMMUNICATION_BOTH)
        return 1;
    for (ULONG i = 0; i < table->Count; ++i) {
        if (IsEqualGUID(record->Category, table->Categories[i])) return 0;
    }
    return 1;
}

void CGenDisp::SetDefaultFormat(PinRecord* record, PUCHAR format, ULONG formatSize,
                                const UCHAR* firstRange) {
    ZvWriteU32(format, 0, formatSize);
    record->DefaultFormat = format;
    ULONG maxChannels = ZvReadU32(firstRange, 64);
    ULONG maxBits = ZvReadU32(firstRange, 72);
    ULONG maxRate = ZvReadU32(firstRange, 80);
    if (formatSize >= ZV_FMT_OFF_CBSIZE) {
        if (formatSize < ZV_FMT_SIZE_WAVE) ZvWriteU16(format, ZV_FMT_OFF_TAG, WAVE_FORMAT_PCM);
        ULONG channels = ZvReadU16(format, ZV_FMT_OFF_CHANNELS);
        bool lowered = channels > maxChannels;
        if (lowered) channels = maxChannels;
        record->ChannelLimit = maxChannels;
        ZvWriteU32(format, ZV_FMT_OFF_RATE, maxRate);
        ZvWriteU16(format, ZV_FMT_OFF_BITS, static_cast<USHORT>(maxBits));
        ZvWriteU16(format, ZV_FMT_OFF_CHANNELS, static_cast<USHORT>(channels));
        if (formatSize >= ZV_FMT_SIZE_WAVE &&
            ZvReadU16(format, ZV_FMT_OFF_TAG) == WAVE_FORMAT_EXTENSIBLE) {
            if (formatSize >= ZV_FMT_SIZE_VALIDBITS)
                ZvWriteU16(format, ZV_FMT_OFF_VALIDBITS, static_cast<USHORT>(maxBits));
            if (lowered && formatSize >= ZV_FMT_SIZE_MASK) {
                ZvWriteU32(format, ZV_FMT_OFF_MASK,
                           FittedChannelMask(channels, ZvReadU32(format, ZV_FMT_OFF_MASK)));
            }
        }
        USHORT blockAlign = static_cast<USHORT>(maxBits * channels / 8);
        ZvWriteU16(format, ZV_FMT_OFF_BLOCKALIGN, blockAlign);
        ZvWriteU32(format, ZV_FMT_OFF_AVGBYTES, blockAlign * maxRate);
    }
    ThisModule::ModulePrint(
        1, "GetPinFromList> -----------------Pin Default Format-----------------\n");
    DisplayDataFormat(format, formatSize);
    ThisModule::ModulePrint(1,
                            "GetPinFromList> --------------------------------------------------\n");
}

ULONG CGenDisp::FallbackDefaultFormat(PinRecord* record, const UCHAR* firstRange) {
    PUCHAR format = static_cast<PUCHAR>(MemAlloc(ZV_FMT_SIZE_WAVE));
    if (format == nullptr) return 0;
    std::memset(format, 0, ZV_FMT_SIZE_WAVE);
    ZvWriteU32(format, 0, ZV_FMT_SIZE_WAVE);
    std::memcpy(format + 16, &KSDATAFORMAT_TYPE_AUDIO, sizeof(GUID));
    std::memcpy(format + 32, &KSDATAFORMAT_SUBTYPE_PCM, sizeof(GUID));
    std::memcpy(format + 48, &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, sizeof(GUID));
    ZvWriteU16(format, ZV_FMT_OFF_TAG, WAVE_FORMAT_PCM);
    ULONG channels = ZvReadU32(firstRange, 64), bits = ZvReadU32(firstRange, 72),
          rate = ZvReadU32(firstRange, 80);
    ZvWriteU16(format, ZV_FMT_OFF_CHANNELS, static_cast<USHORT>(channels));
    ZvWriteU32(format, ZV_FMT_OFF_RATE, rate);
    ZvWriteU16(format, ZV_FMT_OFF_BITS, static_cast<USHORT>(bits));
    USHORT blockAlign = static_cast<USHORT>(bits * channels / 8);
    ZvWriteU16(format, ZV_FMT_OFF_BLOCKALIGN, blockAlign);
    ZvWriteU32(format, ZV_FMT_OFF_AVGBYTES, blockAlign * rate);
    record->DefaultFormat = format;
    // Without a limit every format would be refused for too many channels.
    record->ChannelLimit = channels;
    ThisModule::ModulePrint(
        1, "GetPinFromList> -----------------Pin Default Format-----------------\n");
    DisplayDataFormat(format, ZV_FMT_SIZE_WAVE);
    ThisModule::ModulePrint(1,
                            "GetPinFromList> --------------------------------------------------\n");
    return 1;
}

ULONG CGenDisp::GetPinFromList(PIRP irp, PFILE_OBJECT filterFile, ULONG pinId, FilterEntry* filter,
                               PinRecord** pinOut, ListLookup add, RequestFile useRelated) {
    *pinOut = nullptr;
    for (PLIST_ENTRY link = filter->Pins.Flink; link != &filter->Pins; link = link->Flink) {
        PinRecord* candidate = CONTAINING_RECORD(link, PinRecord, Links);
        if (candidate->PinId == pinId) {
            *pinOut = candidate;
            return 1;
        }
    }
    if (add == ListLookup::Find) return 0;
    ULONG bwLimit = RangeBandwidthLimit();
    PinRecord* record = AddPinRecord(filterFile, pinId, filter);
    if (record == nullptr) return 0;
    *pinOut = record;

    if (GetPinDescription(irp, pinId, &record->Category, &record->DataFlow, &record->Communication,
                          useRelated) == 0) {
        return 0;
    }
    if (IsAcceptedPinCategory(irp, pinId, record) != 0) {
        ThisModule::ModulePrint(1, "\tNot an I/O Pin bail out!!!\n");
        return 1;
    }
    record->fDontCare = 0;
    record->Communication = KSPIN_COMMUNICATION_SINK;
    return NegotiateDataRanges(irp, pinId, record, bwLimit, useRelated);
}

ULONG CGenDisp::RangeBandwidthLimit() {
    ULONG process = 0, bwLimit = 0, size = sizeof process;
    ZvStatus zvStatus = GetSharedVariable(VID_SHARED_PROCESS, &process, &size);
    if (zvStatus != ZV_OK) {
        ThisModule::ModulePrint(
            1, "GetPinFromList> GetSharedVariable(VID_SHARED_PROCESS) Failed zvStatus 0x%lx \n",
            zvStatus);
        process = 0;
    }
    if (process != 0) {
        size = sizeof bwLimit;
        zvStatus = GetSharedVariable(VID_SHARED_BWLIMIT, &bwLimit, &size);
        if (zvStatus != ZV_OK) {
            ThisModule::ModulePrint(
                1, "GetPinFromList> GetSharedVariable(VID_SHARED_BWLIMIT) Failed zvStatus 0x%lx \n",
                zvStatus);
            bwLimit = 0;
        }
    }
    return bwLimit;
}

PinRecord* CGenDisp::AddPinRecord(PFILE_OBJECT filterFile, ULONG pinId, FilterEntry* filter) {
    auto* record = static_cast<PinRecord*>(MemAlloc(sizeof(PinRecord)));
    if (record == nullptr) return nullptr;
    std::memset(record, 0, sizeof *record);
    record->PinId = pinId;
    record->FilterFile = filterFile;
    record->fDontCare = 1;
    record->Reserved1 = 1;
    filter->PinCount += 1;
    ThisModule::ModulePrint(
        1, "Adding Pin in the FilterList FilterCount-%d PinCount-%d FileObject-%x\n", FilterCount(),
        filter->PinCount, Low32(filterFile));
    InsertHeadList(&filter->Pins, &record->Links);
    return record;
}

ULONG CGenDisp::NegotiateDataRanges(PIRP irp, ULONG pinId, PinRecord* record, ULONG bwLimit,
                                    RequestFile useRelated) {
    KSP_PIN kspPin = {
        {KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET}, pinId, 0};
    const ULONG levels = RangePreferencesFor(record->DataFlow)->Count;
    ULONG level = 0, found = 0, size = 0;
    PUCHAR buffer = nullptr;
    PUCHAR format = nullptr;
    // A device that cannot be asked leaves the loop at once.
    NTSTATUS status = GetSupportedDataRangeSize(irp, pinId, record->DataFlow, &size, bwLimit,
                                                &level, &found, useRelated);
    while (NT_SUCCESS(status)) {
        if (found == 0) {
            ThisModule::ModulePrint(1,
                                    "\tNo AudioData Range available for this pin (May be MIDI)\n");
            record->fDontCare = 1;
            return 1;
        }
        if (size <= sizeof(KSMULTIPLE_ITEM)) {
            ThisModule::ModulePrint(
                1, size == 0 ? "\tNot an I/O Pin (should have caught earlier)bail out!!!\n"
                             : "\tNo DataRange Matches our Need!!!\n");
            record->fNotUsed = 1;
            return 1;
        }
        buffer = static_cast<PUCHAR>(MemAlloc(size + sizeof(KSP_PIN)));
        if (buffer == nullptr) break;
        std::memset(buffer, 0, size + sizeof(KSP_PIN));
        PUCHAR list = buffer + sizeof(KSP_PIN);
        status = GetSupportedDataRange(irp, pinId, record->DataFlow, list, size, bwLimit, level,
                                       useRelated);
        if (!NT_SUCCESS(status) || ZvReadU32(list, 4) == 0) {
            ThisModule::ModulePrint(1, "\tGetSupportedDataRange Failed Status-%x!!!\n", status);
            break;
        }
        // The first rewritten range, kept aside: the verified list may end up empty.
        UCHAR firstRange[ZV_RANGE_SIZE_AUDIO];
        std::memcpy(firstRange, list + sizeof(KSMULTIPLE_ITEM), sizeof firstRange);
        ULONG formatSize = 0;
        status = VerifyAndUpdateSupportedDataRanges(irp, buffer, size, record, &kspPin, &format,
                                                    &formatSize, useRelated);
        if (NT_SUCCESS(status) && formatSize >= ZV_FMT_SIZE_WAVE && record->RangeList != nullptr &&
            ZvReadU16(format, ZV_FMT_OFF_CHANNELS) >
                ZvReadU32(record->RangeList, sizeof(KSMULTIPLE_ITEM) + 64)) {
            status = STATUS_NO_MATCH;
        }
        if (status == STATUS_NO_MATCH && level + 1 < levels) {
            // The next preference level: nothing of this one is kept.
            ThisModule::ModulePrint(1, "\tGetDataFormat For supported Range Failed Status-%x!!!\n",
                                    status);
            MemFree(buffer);
            buffer = nullptr;
            MemFree(format);
            format = nullptr;
            FreeFormats(record);
            level += 1;
            status = GetSupportedDataRangeSize(irp, pinId, record->DataFlow, &size, bwLimit, &level,
                                               &found, useRelated);
            continue;
        }
        // Nothing verified at the last level: the (empty) verified list stays, so
        // that applications are never offered a range the device refuses.
        ULONG done;
        if (NT_SUCCESS(status) && formatSize >= ZV_FMT_SIZE_HEADER) {
            SetDefaultFormat(record, format, formatSize,
                             record->RangeList != nullptr
                                 ? record->RangeList + sizeof(KSMULTIPLE_ITEM)
                                 : firstRange);
            format = nullptr;
            done = 1;
        } else {
            ThisModule::ModulePrint(1,
                                    "GetPinFromList> Could not GetDataFormat For supported Range "
                                    "(All Failed!!!) status - 0x%x\n",
                                    status);
            done = FallbackDefaultFormat(record, firstRange);
        }
        MemFree(format);
        format = nullptr;
        MemFree(buffer);
        buffer = nullptr;
        if (done != 0 && record->RangeList != nullptr) return 1;
        break;
    }
    // The one failure exit: the pin is left alone, nothing of its negotiation kept.
    MemFree(format);
    MemFree(buffer);
    FreeFormats(record);
    record->fDontCare = 1;
    return 0;
}

ULONG CGenDisp::GetOpenPinFromList(PIRP, PFILE_OBJECT pinFile, const void* dataFormat, ULONG pinId,
                                   OpenPinEntry** out, ListLookup add) {
    *out = nullptr;
    for (PLIST_ENTRY link = m_openPinList.Flink; link != &m_openPinList; link = link->Flink) {
        OpenPinEntry* entry = CONTAINING_RECORD(link, OpenPinEntry, Links);
        if (entry->PinFile == pinFile) {
            *out = entry;
            return 1;
        }
    }
    if (add == ListLookup::Find || pinFile == nullptr || dataFormat == nullptr) return 0;
    auto* entry = static_cast<OpenPinEntry*>(MemAlloc(sizeof(OpenPinEntry)));
    if (entry == nullptr) return 0;
    std::memset(entry, 0, sizeof *entry);
    entry->Format = CopyBytes(dataFormat, ZvFormatSize(dataFormat));
    if (entry->Format == nullptr) {
        MemFree(entry);
        return 0;
    }
    entry->PinFile = pinFile;
    entry->RFO = pinFile->RelatedFileObject;
    entry->PinId = pinId;
    entry->Channel = NoChannel;
    InterlockedIncrement(&m_openPinCount);
    ThisModule::ModulePrint(1, "Adding Pin in the OpenPin List OpenPinCount-%d FO-%x RFO-%x\n",
                            OpenPinCount(), Low32(pinFile), Low32(entry->RFO));
    InsertHeadList(&m_openPinList, &entry->Links);
    *out = entry;
    return 1;
}

ULONG CGenDisp::FindOpenPinByFilter(PIRP, PFILE_OBJECT filterFile, OpenPinEntry** out) {
    *out = nullptr;
    for (PLIST_ENTRY link = m_openPinList.Flink; link != &m_openPinList; link = link->Flink) {
        OpenPinEntry* entry = CONTAINING_RECORD(link, OpenPinEntry, Links);
        if (entry->RFO == filterFile) {
            *out = entry;
            return 1;
        }
    }
    return 0;
}

LONG OwnedChannel(OpenPinEntry* entry) {
    if (entry->Channel != NoChannel &&
        IsChannelOwner(entry->Channel, entry->Direction, entry->PinFile) == 0) {
        ThisModule::ModulePrint(3, "OwnedChannel> FO-%x lost channel %d\n", Low32(entry->PinFile),
                                entry->Channel);
        entry->Channel = NoChannel;
    }
    return entry->Channel;
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

namespace {
void CloseEntry(CGenDisp* genDisp, OpenPinEntry* entry) {
    if (OwnedChannel(entry) != NoChannel && entry->Active != 0 &&
        g_FilterLogic->OnClose != nullptr) {
        (void)logic::OnClose(genDisp, entry->Direction, entry->Channel);
    }
    MemFree(entry->Format);
    RemoveEntryList(&entry->Links);
    MemFree(entry);
}

PFILE_OBJECT KeyOf(PIRP irp, RequestFile useRelated) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file != nullptr && useRelated != RequestFile::Own) file = file->RelatedFileObject;
    return file;
}
}  // namespace

ULONG CGenDisp::RemoveOpenPin(PIRP irp, RequestFile useRelated) {
    PFILE_OBJECT key = KeyOf(irp, useRelated);
    if (key == nullptr) return 0;
    OpenPinEntry* entry = nullptr;
    if (GetOpenPinFromList(irp, key, nullptr, 0, &entry, ListLookup::Find) == 0) return 0;
    InterlockedDecrement(&m_openPinCount);
    ThisModule::ModulePrint(1, "Removing Pin from the OpenPin List OpenPinCount-%d FO-%x RFO-%x\n",
                            OpenPinCount(), Low32(entry->PinFile), Low32(entry->RFO));
    CloseEntry(this, entry);
    return 1;
}

ULONG CGenDisp::RemoveFilter(PIRP irp, RequestFile useRelated) {
    PFILE_OBJECT key = KeyOf(irp, useRelated);
    if (key == nullptr) return 0;
    ULONG removed = 0;
    for (PLIST_ENTRY link = m_filterList.Flink; link != &m_filterList; link = link->Flink) {
        FilterEntry* filter = CONTAINING_RECORD(link, FilterEntry, Links);
        if (filter->FilterFile != key) continue;
        // Every open pin of the filter forgets it, not just the first.
        OpenPinEntry* entry = nullptr;
        while (FindOpenPinByFilter(irp, key, &entry) != 0) {
            ThisModule::ModulePrint(
                1, "Removing a Filter which has open pin's !!!! FO-%x(seting RFO to NULL)\n",
                Low32(entry->PinFile));
            entry->RFO = nullptr;
        }
        RemovePinsFromFilter(filter);
        InterlockedDecrement(&m_filterCount);
        ThisModule::ModulePrint(1, "Removing Filter from the List FilterCount-%d FileObject-%x\n",
                                FilterCount(), Low32(key));
        RemoveEntryList(&filter->Links);
        MemFree(filter);
        removed = 1;
        break;
    }
    RemoveOpenPin(irp, RequestFile::Own);
    return removed;
}

ULONG CGenDisp::RemovePinsFromFilter(FilterEntry* filter) {
    while (!IsListEmpty(&filter->Pins)) {
        PinRecord* record = CONTAINING_RECORD(filter->Pins.Flink, PinRecord, Links);
        FreeFormats(record);
        filter->PinCount -= 1;
        ThisModule::ModulePrint(
            1, "Removing Pin From the FilterList FilterCount-%d PinCount-%d FileObject-%x\n",
            FilterCount(), filter->PinCount, Low32(filter->FilterFile));
        RemoveEntryList(&record->Links);
        MemFree(record);
    }
    return 1;
}

void CGenDisp::DeInitFilterAndOpenPinList() {
    if (IsListEmpty(&m_filterList))
        ThisModule::ModulePrint(1, "DeInitFilterAndOpenPinList>> Filter list is Empty\n");
    while (!IsListEmpty(&m_filterList)) {
        FilterEntry* filter = CONTAINING_RECORD(m_filterList.Flink, FilterEntry, Links);
        InterlockedDecrement(&m_filterCount);
        ThisModule::ModulePrint(1,
                                "DeInitFilterAndOpenPinList>> Removing Filter from the List "
                                "FilterCount-%d FileObject-%x\n",
                                FilterCount(), Low32(filter->FilterFile));
        ThisModule::ModulePrint(
            1, "DeInitFilterAndOpenPinList>> Removing Following Pins from the filter list\n");
        RemovePinsFromFilter(filter);
        RemoveEntryList(&filter->Links);
        MemFree(filter);
    }
    if (IsListEmpty(&m_openPinList)) {
        ThisModule::ModulePrint(1, "DeInitFilterAndOpenPinList>> OpenPin list is Empty\n");
        return;
    }
    ThisModule::ModulePrint(
        1, "DeInitFilterAndOpenPinList>> Removing Following Pins from the OpenPin list\n");
    while (!IsListEmpty(&m_openPinList)) {
        OpenPinEntry* entry = CONTAINING_RECORD(m_openPinList.Flink, OpenPinEntry, Links);
        InterlockedDecrement(&m_openPinCount);
        ThisModule::ModulePrint(1,
                                "DeInitFilterAndOpenPinList>> Removing Pin from the OpenPin List "
                                "OpenPinCount-%d FO-%x RFO-%x\n",
                                OpenPinCount(), Low32(entry->PinFile), Low32(entry->RFO));
        CloseEntry(this, entry);
    }
}

// ---------------------------------------------------------------------------
// Buffer mapping
// ---------------------------------------------------------------------------
ULONG MapMdlBuffer(PVOID address, ULONG length, PMDL* mdlOut, PVOID* systemAddressOut,
                   KPROCESSOR_MODE accessMode, LOCK_OPERATION operation) {
    *mdlOut = nullptr;
    *systemAddressOut = nullptr;
    if (address == nullptr) return 0;
    PMDL mdl = IoAllocateMdl(address, length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return 0;
    if (!NT_SUCCESS(OsProbeAndLockPages(mdl, accessMode, operation))) {
        IoFreeMdl(mdl);
        return 0;
    }
    PVOID system;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        system = mdl->MappedSystemVa;
    } else {
        CSHORT old = mdl->MdlFlags & MDL_MAPPING_CAN_FAIL;
        mdl->MdlFlags |= MDL_MAPPING_CAN_FAIL;
        system = MmMapLockedPages(mdl, KernelMode);
        mdl->MdlFlags = static_cast<CSHORT>((mdl->MdlFlags & ~MDL_MAPPING_CAN_FAIL) | old);
    }
    if (system == nullptr) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return 0;
    }
    *mdlOut = mdl;
    *systemAddressOut = system;
    return 1;
}

ULONG UnmapMdlBuffer(PMDL mdl) {
    if (mdl == nullptr) return 0;
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    return 1;
}

ULONG MapPropertyOutput(PIRP irp, PMDL* mdlOut) {
    *mdlOut = nullptr;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if ((irp->Flags & IRP_BUFFERED_IO) != 0 || irp->RequestorMode == KernelMode || length == 0)
        return 1;
    PVOID system = nullptr;
    if (MapMdlBuffer(irp->UserBuffer, length, mdlOut, &system, irp->RequestorMode,
                     IoModifyAccess) == 0)
        return 0;
    irp->UserBuffer = system;
    return 1;
}

void UndoPropertyOutput(PIRP irp, PMDL mdl, MappingUndo form) {
    if (mdl == nullptr) return;
    if (form == MappingUndo::Reread) {
        irp->UserBuffer = mdl->MappedSystemVa;
        return;
    }
    irp->UserBuffer = MmGetMdlVirtualAddress(mdl);
    if (form == MappingUndo::Release) UnmapMdlBuffer(mdl);
}

ULONG MapPropertyInput(PIRP irp, PMDL* mdlOut) {
    *mdlOut = nullptr;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (length == 0 || irp->RequestorMode == KernelMode) return 1;
    PVOID system = nullptr;
    if (MapMdlBuffer(stack->Parameters.DeviceIoControl.Type3InputBuffer, length, mdlOut, &system,
                     irp->RequestorMode, IoModifyAccess) == 0) {
        return 0;
    }
    stack->Parameters.DeviceIoControl.Type3InputBuffer = system;
    return 1;
}

void UndoPropertyInput(PIRP irp, PMDL mdl, MappingUndo form) {
    if (mdl == nullptr) return;
    IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer =
        MmGetMdlVirtualAddress(mdl);
    if (form == MappingUndo::Release) UnmapMdlBuffer(mdl);
}
