// Stream requests: render buffers handed to the filter logic before the device
// sees them, capture buffers cut to whole 10 ms blocks on the way down and
// handed to the logic on the stream worker thread after the device filled
// them, the capture queue, the worker thread and the sync-control lock.
//
// A request's headers and data are locked and mapped in the requester's
// context (the dispatch); the worker thread only uses the system addresses of
// what was mapped there.  Headers that are malformed (a Size below the header
// or past the request, more than 10 of them, DataUsed beyond FrameExtent) or
// buffers that cannot be mapped leave the data untouched: the logic is not
// called for them.
#include <cstring>

#include "CGenDisp.h"
#include "DrvMain.h"
#include "LogicCalls.h"
#include "MemAlloc.h"
#include "Probe.h"
#include "ZDebug.h"
#include "ZvKAPFWi.h"

namespace {
using ThisModule = LogModule<LogModuleGenDisp>;

const ULONG OffSize = offsetof(KSSTREAM_HEADER, Size);
const ULONG OffFrameExtent = offsetof(KSSTREAM_HEADER, FrameExtent);
const ULONG OffData = offsetof(KSSTREAM_HEADER, Data);

PVOID StreamHeaders(PIRP irp) {
    return (irp->Flags & IRP_BUFFERED_IO) != 0 ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

PVOID ReadData(const UCHAR* header) {
    PVOID data;
    std::memcpy(&data, header + OffData, sizeof data);
    return data;
}
void WriteData(UCHAR* header, PVOID data) {
    std::memcpy(header + OffData, &data, sizeof data);
}

// Calls visit(index, header) for each well-formed header, at most 10.
template <class Visit>
ULONG ForEachHeader(PVOID headers, ULONG length, Visit visit) {
    ULONG offset = 0, index = 0;
    while (offset < length) {
        if (length - offset < sizeof(KSSTREAM_HEADER) || index >= ZV_STREAM_MDLS) return 0;
        UCHAR* header = static_cast<UCHAR*>(headers) + offset;
        ULONG size = ZvReadU32(header, OffSize);
        if (size < sizeof(KSSTREAM_HEADER) || size > length - offset) return 0;
        visit(index, header);
        ++index;
        offset += size;
    }
    return 1;
}

// The first header's FrameExtent, put back as the application gave it.
void RestoreFrameExtent(PVOID headers, ULONG length, ULONG cutApplied, ULONG saved) {
    if (cutApplied != 0 && headers != nullptr && length >= sizeof(KSSTREAM_HEADER)) {
        ZvWriteU32(headers, OffFrameExtent, saved);
    }
}

// The headers of a request that stopped at this filter: the kept MDL's system
// address, or the request's own buffer when nothing was mapped.
PVOID HeadersAtCompletion(PIRP irp, PMDL headerMdl) {
    return headerMdl != nullptr ? headerMdl->MappedSystemVa : StreamHeaders(irp);
}

ULONG OutputLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}
}  // namespace

// ---------------------------------------------------------------------------
// Mapping of stream data
// ---------------------------------------------------------------------------
ULONG MapStreamBuffers(PIRP irp, PMDL* mdls, PVOID headers, ULONG length) {
    for (ULONG i = 0; i < ZV_STREAM_MDLS; ++i) mdls[i] = nullptr;
    if (headers == nullptr) return 0;
    ULONG ok = 1;
    ULONG walked = ForEachHeader(headers, length, [&](ULONG index, UCHAR* header) {
        PVOID data = ReadData(header);
        ULONG extent = ZvReadU32(header, OffFrameExtent);
        if (ok == 0 || data == nullptr || extent == 0) return;
        PVOID system = nullptr;
        if (MapMdlBuffer(data, extent, &mdls[index], &system, irp->RequestorMode, IoModifyAccess) ==
            0)
            ok = 0;
    });
    if (walked == 0 || ok == 0) {
        UnmapStreamBuffers(mdls);
        return 0;
    }
    return 1;
}

void SetStreamDataAddresses(PMDL* mdls, PVOID headers, ULONG length, DataAddress system) {
    if (headers == nullptr) return;
    ForEachHeader(headers, length, [&](ULONG index, UCHAR* header) {
        PMDL mdl = mdls[index];
        if (mdl != nullptr)
            WriteData(header, system != DataAddress::User ? mdl->MappedSystemVa
                                                          : MmGetMdlVirtualAddress(mdl));
    });
}

void UnmapStreamBuffers(PMDL* mdls) {
    for (ULONG i = 0; i < ZV_STREAM_MDLS; ++i) {
        UnmapMdlBuffer(mdls[i]);
        mdls[i] = nullptr;
    }
}

// ---------------------------------------------------------------------------
// The sync-control lock: a synchronisation event, signalled while free.
// ---------------------------------------------------------------------------
ULONG GetSyncControlLock() {
    if (g_FilterLogic->SyncControlEnabled == 0) return 0;
    for (;;) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -30000000;  // 3 s
        NTSTATUS status =
            KeWaitForSingleObject(&SyncControlLock, Executive, KernelMode, FALSE, &timeout);
        if (status == STATUS_SUCCESS) return 0;
        if (status == STATUS_TIMEOUT) {
            ThisModule::ModulePrint(1, "GetSyncControlLock() Unable to acquire lock timeout...\n");
        } else {
            ThisModule::ModulePrint(
                1, "GetSyncControlLock() Unable to acquire lock status - 0x%x \n", status);
        }
    }
}

BOOLEAN GetSyncControlLockUnlessStateHolds() {
    if (g_FilterLogic->SyncControlEnabled == 0) return TRUE;
    PVOID objects[] = {&SyncControlLock, &SyncControlHeldByState};
    for (;;) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -30000000;  // 3 s
        NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode,
                                                   FALSE, &timeout, nullptr);
        if (status == STATUS_WAIT_0) return TRUE;
        if (status == STATUS_WAIT_0 + 1) return FALSE;
        ThisModule::ModulePrint(1, "GetSyncControlLock() Unable to acquire lock status - 0x%x \n",
                                status);
    }
}

void ReleaseSyncControlLock() {
    if (g_FilterLogic->SyncControlEnabled != 0)
        KeSetEvent(&SyncControlLock, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------
ULONG CGenDisp::BeginStreamRequest(PIRP irp, ULONG useDataUsed, StreamRequestInfo* info) {
    std::memset(info, 0, sizeof *info);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file == nullptr) return 0;
    LockOpenPinList();
    OpenPinEntry* entry = nullptr;
    // A write on a capture pin or a read on a render pin is no stream of the
    // pin: the logic would take an application's write for the microphone.
    const ULONG flow = useDataUsed != 0 ? CHANNEL_RENDER : CHANNEL_CAPTURE;
    if (GetOpenPinFromList(irp, file, nullptr, 0, &entry, ListLookup::Find) == 0 ||
        entry->Active == 0 || entry->Direction != flow ||
        (OwnedChannel(entry) == NoChannel && ReadSharedValue(VID_SHARED_MUTEMODE) == 0) ||
        ZvFormatSize(entry->Format) < ZV_FMT_SIZE_WAVE ||
        ZvReadU16(entry->Format, ZV_FMT_OFF_BLOCKALIGN) == 0 ||
        MapPropertyOutput(irp, &info->HeaderMdl) == 0) {
        UnlockOpenPinList();
        return 0;
    }
    info->Headers = StreamHeaders(irp);
    info->Length = OutputLength(irp);
    info->BlockAlign = ZvReadU16(entry->Format, ZV_FMT_OFF_BLOCKALIGN);
    info->Rate = ZvReadU32(entry->Format, ZV_FMT_OFF_RATE);
    info->Direction = entry->Direction;
    info->Channel = entry->Channel;
    info->PinFile = entry->PinFile;
    if (info->Channel != NoChannel) {
        UpdateOwnedChannelPosition(
            info->Channel, info->Direction, info->PinFile,
            CountStreamBytes(info->Headers, info->Length, useDataUsed) / info->BlockAlign,
            CountUpdate::Add);
    }
    UnlockOpenPinList();
    return 1;
}

void CGenDisp::CallOnBuffer(PMDL* mdls, const StreamRequestInfo& info) {
    SetStreamDataAddresses(mdls, info.Headers, info.Length, DataAddress::System);
    GetSyncControlLock();
    (void)logic::OnBuffer(this, info.Direction, info.Headers, info.Length, info.Channel,
                          info.PinFile);
    ReleaseSyncControlLock();
    SetStreamDataAddresses(mdls, info.Headers, info.Length, DataAddress::User);
}

NTSTATUS CGenDisp::HandleKSWriteStream(PIRP irp, PULONG taken) {
    StreamRequestInfo info;
    if (BeginStreamRequest(irp, 1, &info) == 0) return STATUS_SUCCESS;
    IrpContext* ctx = logic::HasOnBuffer() ? AllocateContext(irp, IRP_CTX_WRITE) : nullptr;
    if (ctx == nullptr) {
        UndoPropertyOutput(irp, info.HeaderMdl, MappingUndo::Release);
        return STATUS_SUCCESS;
    }
    if (StreamHeadersUsable(info.Headers, info.Length) != 0 &&
        MapStreamBuffers(irp, ctx->DataMdls, info.Headers, info.Length) != 0) {
        CallOnBuffer(ctx->DataMdls, info);
        UnmapStreamBuffers(ctx->DataMdls);
    } else {
        ThisModule::ModulePrint(
            3, "HandleKSWriteStream> stream headers not usable; data passed untouched\n");
    }
    ctx->BlockSize = info.BlockAlign;
    ctx->Channel = info.Channel;
    ctx->Direction = info.Direction;
    ctx->OutputMdl = info.HeaderMdl;
    UndoPropertyOutput(irp, info.HeaderMdl, MappingUndo::KeepMdl);
    return PassDownWithContext(irp, ctx, taken);
}

NTSTATUS CGenDisp::HandleKSReadStream(PIRP irp, PULONG taken) {
    StreamRequestInfo info;
    if (BeginStreamRequest(irp, 0, &info) == 0) return STATUS_SUCCESS;
    PMDL headerMdl = info.HeaderMdl;
    PVOID headers = info.Headers;
    ULONG length = info.Length;
    const ULONG blockAlign = info.BlockAlign;
    const ULONG rate = info.Rate;
    const ULONG direction = info.Direction;
    const LONG channel = info.Channel;
    IrpContext* ctx = nullptr;
    // Without OnBuffer, or with headers the logic could not be given, the request is not taken.
    if (!logic::HasOnBuffer() || headers == nullptr || StreamHeadersUsable(headers, length) == 0 ||
        (ctx = AllocateContext(irp, IRP_CTX_READ)) == nullptr) {
        UndoPropertyOutput(irp, headerMdl, MappingUndo::Release);
        return STATUS_SUCCESS;
    }
    // The data buffers are locked here, in the requester's context; the worker uses their system
    // addresses.
    if (MapStreamBuffers(irp, ctx->DataMdls, headers, length) == 0) {
        FreeContext(ctx);
        UndoPropertyOutput(irp, headerMdl, MappingUndo::Release);
        return STATUS_SUCCESS;
    }
    if (length >= sizeof(KSSTREAM_HEADER)) {
        ULONG extent = ZvReadU32(headers, OffFrameExtent);
        ULONGLONG block = static_cast<ULONGLONG>(blockAlign) * rate / 100;
        ULONG cut = block != 0 ? static_cast<ULONG>((extent / block) * block) : extent;
        // A buffer shorter than one block keeps its extent: the device must not be asked for
        // nothing.
        if (cut != 0 && cut != extent) {
            ctx->SavedFrameExtent = extent;
            ctx->CutApplied = 1;
            ZvWriteU32(headers, OffFrameExtent, cut);
        }
    }
    ctx->ForcePending = 1;
    ctx->BlockSize = blockAlign;
    ctx->Channel = channel;
    ctx->Direction = direction;
    ctx->OutputMdl = headerMdl;
    UndoPropertyOutput(irp, headerMdl, MappingUndo::KeepMdl);
    PassDownWithContext(irp, ctx, taken);
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------
// Completions (any IRQL up to DISPATCH_LEVEL: spin locks, events and the
// lookaside lists only)
// ---------------------------------------------------------------------------
void CGenDisp::CompleteRenderRequest(IrpContext* ctx) {
    PIRP irp = ctx->Irp;
    if (!NT_SUCCESS(irp->IoStatus.Status) || ctx->Channel == NoChannel || ctx->BlockSize == 0)
        return;
    PVOID headers = HeadersAtCompletion(irp, ctx->OutputMdl);
    ULONGLONG frames = CountStreamBytes(headers, OutputLength(irp), 1) / ctx->BlockSize;
    UpdateOwnedChannelTransferCount(ctx->Channel, CHANNEL_RENDER,
                                    IoGetCurrentIrpStackLocation(irp)->FileObject, frames,
                                    CountUpdate::Add);
}

NTSTATUS CGenDisp::CompleteCaptureRequest(IrpContext* ctx) {
    PIRP irp = ctx->Irp;
    CaptureQueueEntry* entry = nullptr;
    if (NT_SUCCESS(irp->IoStatus.Status) && logic::HasOnBuffer()) {
        entry = StreamWorkerAllocateEntry();
    }
    if (entry == nullptr) {
        // Finished here, without the logic: the application gets its own extent back.
        RestoreFrameExtent(HeadersAtCompletion(irp, ctx->OutputMdl), OutputLength(irp),
                           ctx->CutApplied, ctx->SavedFrameExtent);
        FinishContext(ctx);
        ReleaseRemoveLock(irp, m_removeLock);
        return STATUS_SUCCESS;
    }
    std::memset(entry, 0, sizeof *entry);
    entry->Irp = irp;
    entry->Fdo = m_fdo;
    entry->Lower = m_lower;
    entry->GenDisp = this;
    entry->RemoveLock = m_removeLock;
    entry->HeaderMdl = ctx->OutputMdl;
    for (ULONG i = 0; i < ZV_STREAM_MDLS; ++i) entry->DataMdls[i] = ctx->DataMdls[i];
    entry->SavedFrameExtent = ctx->SavedFrameExtent;
    entry->CutApplied = ctx->CutApplied;
    entry->DataMapped = 1;
    UndoPropertyInput(irp, ctx->InputMdl, MappingUndo::Release);
    FreeContext(ctx);
    StreamWorkerQueue(entry);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---------------------------------------------------------------------------
// The stream worker thread
// ---------------------------------------------------------------------------
void CGenDisp::FinishCaptureRequest(CaptureQueueEntry* entry) {
    PIRP irp = entry->Irp;
    PVOID headers = HeadersAtCompletion(irp, entry->HeaderMdl);
    ULONG length = OutputLength(irp);
    RestoreFrameExtent(headers, length, entry->CutApplied, entry->SavedFrameExtent);
    ULONG found = 0, direction = 0, blockAlign = 0;
    LONG channel = NoChannel;
    PFILE_OBJECT pinFile = IoGetCurrentIrpStackLocation(irp)->FileObject;
    LockOpenPinList();
    OpenPinEntry* pin = nullptr;
    if (GetOpenPinFromList(irp, pinFile, nullptr, 0, &pin, ListLookup::Find) != 0) {
        found = 1;
        direction = pin->Direction;
        channel = OwnedChannel(pin);
        blockAlign = ZvReadU16(pin->Format, ZV_FMT_OFF_BLOCKALIGN);
    }
    UnlockOpenPinList();
    if (found != 0) {
        if (channel != NoChannel && blockAlign != 0) {
            UpdateOwnedChannelTransferCount(channel, direction, pinFile,
                                            CountStreamBytes(headers, length, 0) / blockAlign,
                                            CountUpdate::Add);
        }
        // What the device wrote is checked again: DataUsed must stay inside the mapped extent.
        if (entry->DataMapped != 0 && StreamHeadersUsable(headers, length) != 0 &&
            logic::HasOnBuffer()) {
            StreamRequestInfo info = {entry->HeaderMdl, headers, length, blockAlign, 0,
                                      direction,        channel, pinFile};
            CallOnBuffer(entry->DataMdls, info);
        }
    }
    UnmapStreamBuffers(entry->DataMdls);
    UndoPropertyOutput(irp, entry->HeaderMdl, MappingUndo::Release);
    PRemoveLock removeLock = entry->RemoveLock;
    InterlockedDecrement(&m_pending);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseRemoveLock(irp, removeLock);
}
