// I/O manager: IRPs, their stack locations, sending, completion and cancellation.
//
// An IRP is one pool block: a host header, the IRP, then its stack locations.
// The header says who owns the end of the request:
//   - Allocated: IoAllocateIrp; its owner must stop completion with
//     STATUS_MORE_PROCESSING_REQUIRED and free it.
//   - Synchronous: IoBuild*Request and the I/O manager's own requests; at the end
//     the buffers are finished, IoStatus goes to UserIosb, UserEvent is set and
//     the IRP is freed, whether or not the request pended.
//   - Application: NtDeviceIoControlFile; as Synchronous, and the caller's
//     callback hears the result.
#include <cstdio>
#include <set>

#include "io_internal.h"
#include "kp/irql.h"
#include "kp/thread.h"

namespace kp::io {

constexpr ULONG kIrpMagic = 0x4B504952;  // "KPIR"
constexpr ULONG kIrpTag = KpTag("Irp ");
constexpr CSHORT kIoTypeIrp = 6;

struct IrpHeader {
    ULONG Magic;
    IrpKind Kind;
    ULONGLONG Serial;
    KP_IO_DONE* Done;  // Application: the caller's callback
    PVOID DoneContext;
};
static_assert(sizeof(IrpHeader) % 16 == 0);

namespace {

std::mutex g_irpLock;
std::set<PIRP> g_liveIrps;
ULONGLONG g_irpSerial = 0;
KSPIN_LOCK g_cancelLock = 0;

IrpHeader* HeaderOf(PIRP irp) {
    return reinterpret_cast<IrpHeader*>(irp) - 1;
}

void CheckIrp(PIRP irp, const char* routine) {
    if (irp == nullptr || HeaderOf(irp)->Magic != kIrpMagic || irp->Type != kIoTypeIrp) {
        KpBugCheck(KP_BUGCHECK_MULTIPLE_IRP_COMPLETE_REQUESTS,
                   "%s: %p is not a live IRP (freed or completed?)", routine, irp);
    }
}

PIO_STACK_LOCATION Locations(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

// The system buffer and the MDLs the I/O manager made for a request.
void ReleaseBuffers(PIRP irp) {
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (irp->MdlAddress != nullptr) {
        UnlockAndFreeMdlChain(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
}

// The end of a request whose buffers the I/O manager set up: buffered output
// goes back to the caller's buffer, the system buffer and the MDLs go.
void FinishBuffers(PIRP irp) {
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) &&
        !NT_ERROR(irp->IoStatus.Status) && irp->UserBuffer != nullptr &&
        irp->IoStatus.Information != 0) {
        PIO_STACK_LOCATION first = &Locations(irp)[irp->StackCount - 1];
        ULONG length = first->MajorFunction == IRP_MJ_READ
                           ? first->Parameters.Read.Length
                           : first->Parameters.DeviceIoControl.OutputBufferLength;
        SIZE_T copy = irp->IoStatus.Information < length ? irp->IoStatus.Information : length;
        if (irp->RequestorMode == UserMode) {
            if (!CopyToUser(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, copy)) {
                irp->IoStatus.Status = STATUS_ACCESS_VIOLATION;
            }
        } else {
            std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, copy);
        }
    }
    ReleaseBuffers(irp);
}

}  // namespace

PIRP AllocateIrp(CCHAR stackSize, IrpKind kind) {
    if (stackSize < 1)
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "IoAllocateIrp: stack size %d", stackSize);
    if (ShouldFail(KpFaultAllocateIrp)) return nullptr;
    size_t bytes = sizeof(IrpHeader) + sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION);
    auto header = static_cast<IrpHeader*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kIrpTag));
    if (header == nullptr) return nullptr;
    std::memset(header, 0, bytes);
    header->Magic = kIrpMagic;
    header->Kind = kind;
    auto irp = reinterpret_cast<PIRP>(header + 1);
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = Locations(irp) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
    std::lock_guard<std::mutex> guard(g_irpLock);
    header->Serial = ++g_irpSerial;
    g_liveIrps.insert(irp);
    return irp;
}

void SetApplicationCompletion(PIRP irp, KP_IO_DONE* done, PVOID context) {
    HeaderOf(irp)->Kind = IrpKind::Application;
    HeaderOf(irp)->Done = done;
    HeaderOf(irp)->DoneContext = context;
}

// Builds a request with the buffers of an I/O control code or a read/write, the
// way the I/O manager sets them up for the method: buffered (a system buffer),
// direct (an MDL locked for the caller's mode) or neither (the caller's pointers).
NTSTATUS SetUpBuffers(PIRP irp, PIO_STACK_LOCATION stack, ULONG method, PVOID in, ULONG inLength,
                      PVOID out, ULONG outLength, KPROCESSOR_MODE mode) {
    irp->RequestorMode = mode;
    if (method == METHOD_NEITHER) {  // the driver probes these itself
        stack->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
        return STATUS_SUCCESS;
    }
    if (mode == UserMode) {
        if ((inLength && !KpIsUserAddress(in, inLength)) ||
            (outLength && !KpIsUserAddress(out, outLength))) {
            return STATUS_ACCESS_VIOLATION;
        }
    }
    ULONG systemLength =
        method == METHOD_BUFFERED ? (inLength > outLength ? inLength : outLength) : inLength;
    if (systemLength != 0) {
        PVOID system = ExAllocatePoolWithTag(NonPagedPool, systemLength, KpTag("IoBf"));
        if (system == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        std::memset(system, 0, systemLength);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (inLength != 0) {
            if (mode == UserMode ? !CopyFromUser(system, in, inLength)
                                 : (std::memcpy(system, in, inLength), false)) {
                return STATUS_ACCESS_VIOLATION;
            }
        }
    }
    if (method == METHOD_BUFFERED) {
        if (outLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
        irp->UserBuffer = out;
        return STATUS_SUCCESS;
    }
    irp->UserBuffer = out;
    if (outLength != 0) {
        PMDL mdl = IoAllocateMdl(out, outLength, FALSE, FALSE, irp);
        if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = KpProbeAndLockPages(
            mdl, mode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
        if (!NT_SUCCESS(status)) return status;  // the MDL goes with the IRP
    }
    return STATUS_SUCCESS;
}

// Frees an IRP that never went out (its buffers with it).
void DiscardIrp(PIRP irp) {
    ReleaseBuffers(irp);
    IoFreeIrp(irp);
}

}  // namespace kp::io

using namespace kp::io;

// ---------------------------------------------------------------------------
// IoAllocateIrp / IoFreeIrp / IoReuseIrp
// ---------------------------------------------------------------------------
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    KpAssertIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    return AllocateIrp(StackSize, IrpKind::Allocated);
}

VOID IoFreeIrp(PIRP Irp) {
    CheckIrp(Irp, "IoFreeIrp");
    if (Irp->CancelRoutine != nullptr) {
        KpBugCheck(KP_BUGCHECK_CANCEL_STATE_IN_COMPLETED_IRP,
                   "IoFreeIrp: IRP %p still has a cancel routine", Irp);
    }
    if (Irp->MdlAddress != nullptr) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "IoFreeIrp: IRP %p still holds MDL %p", Irp,
                   Irp->MdlAddress);
    }
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        g_liveIrps.erase(Irp);
    }
    IrpHeader* header = HeaderOf(Irp);
    header->Magic = 0;
    ExFreePool(header);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    CheckIrp(Irp, "IoReuseIrp");
    CHAR count = Irp->StackCount;
    UCHAR flags = Irp->AllocationFlags;
    std::memset(Irp, 0, sizeof(IRP) + count * sizeof(IO_STACK_LOCATION));
    Irp->Type = kIoTypeIrp;
    Irp->Size = static_cast<USHORT>(sizeof(IRP) + count * sizeof(IO_STACK_LOCATION));
    Irp->StackCount = count;
    Irp->AllocationFlags = flags;
    Irp->CurrentLocation = static_cast<CHAR>(count + 1);
    Irp->Tail.Overlay.CurrentStackLocation = Locations(Irp) + count;
    Irp->IoStatus.Status = Status;
    InitializeListHead(&Irp->ThreadListEntry);
}

// ---------------------------------------------------------------------------
// Stack-location accessors
// ---------------------------------------------------------------------------
PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount + 1) {
        KpBugCheck(KP_BUGCHECK_NO_MORE_IRP_STACK_LOCATIONS, "IRP %p: current location %d of %d",
                   Irp, Irp->CurrentLocation, Irp->StackCount);
    }
    return Irp->Tail.Overlay.CurrentStackLocation;
}

PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    if (Irp->CurrentLocation <= 1) {
        KpBugCheck(KP_BUGCHECK_NO_MORE_IRP_STACK_LOCATIONS,
                   "IoGetNextIrpStackLocation: IRP %p has no location below the current one (stack "
                   "count %d)",
                   Irp, Irp->StackCount);
    }
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    if (Irp->CurrentLocation > Irp->StackCount) {
        KpBugCheck(
            KP_BUGCHECK_NO_MORE_IRP_STACK_LOCATIONS,
            "IoSkipCurrentIrpStackLocation: IRP %p is not inside a dispatch (location %d of %d)",
            Irp, Irp->CurrentLocation, Irp->StackCount);
    }
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

VOID IoSetNextIrpStackLocation(PIRP Irp) {
    if (Irp->CurrentLocation <= 1) {
        KpBugCheck(KP_BUGCHECK_NO_MORE_IRP_STACK_LOCATIONS,
                   "IoSetNextIrpStackLocation: IRP %p has no location left", Irp);
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    std::memcpy(next, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
}

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                            BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

// ---------------------------------------------------------------------------
// IofCallDriver / PoCallDriver: one location down, then the driver's dispatch.
// The device is referenced while its dispatch runs, so a driver that deletes
// it there (removal) does not free it under its own feet.
// ---------------------------------------------------------------------------
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CheckIrp(Irp, "IofCallDriver");
    KpAssertIrql(DISPATCH_LEVEL, "IofCallDriver");
    if (Irp->CurrentLocation <= 1) {
        KpBugCheck(KP_BUGCHECK_NO_MORE_IRP_STACK_LOCATIONS,
                   "IoCallDriver: IRP %p has no stack location left for device %p (stack count %d, "
                   "device stack "
                   "size %d)",
                   Irp, DeviceObject, Irp->StackCount, StackSizeOf(DeviceObject));
    }
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "IoCallDriver: major function 0x%x",
                   stack->MajorFunction);
    }
    ObReferenceObject(DeviceObject);
    KIRQL before = KeGetCurrentIrql();
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (KeGetCurrentIrql() != before) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "dispatch routine of %s (major 0x%x) returned at %s, called at %s",
                   Narrow(ToU16(&DeviceObject->DriverObject->DriverName)).c_str(),
                   stack->MajorFunction, KpIrqlName(KeGetCurrentIrql()), KpIrqlName(before));
    }
    ObDereferenceObject(DeviceObject);
    return status;
}

// ---------------------------------------------------------------------------
// IofCompleteRequest: walks the locations from the current one upward.  Each
// finished location hands its pending mark to the IRP; a completion routine of
// the caller above runs when its invoke flags match; STATUS_MORE_PROCESSING_
// REQUIRED stops the walk and leaves the IRP with that routine's owner.
// ---------------------------------------------------------------------------
VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    CheckIrp(Irp, "IoCompleteRequest");
    KpAssertIrql(DISPATCH_LEVEL, "IoCompleteRequest");
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        KpBugCheck(KP_BUGCHECK_MULTIPLE_IRP_COMPLETE_REQUESTS,
                   "IoCompleteRequest: IRP %p completed twice", Irp);
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "IoCompleteRequest: IRP %p completed with STATUS_PENDING", Irp);
    }
    // Read as IoSetCancelRoutine writes it: another thread may be in
    // IoCancelIrp on this request right now (it finds no routine and leaves).
    if (PDRIVER_CANCEL pending = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
        KpBugCheck(KP_BUGCHECK_CANCEL_STATE_IN_COMPLETED_IRP,
                   "IoCompleteRequest: IRP %p still has cancel routine %p", Irp,
                   reinterpret_cast<void*>(pending));
    }
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION finished = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (finished->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = finished->CompletionRoutine;
        PVOID context = finished->Context;
        UCHAR control = finished->Control;
        finished->CompletionRoutine = nullptr;
        finished->Context = nullptr;
        finished->Control = 0;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                        ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                        : nullptr;
            KIRQL before = KeGetCurrentIrql();
            // The routine may wake a thread that unloads its driver (an event it
            // sets is what the unload path waited for): the image stays mapped
            // until the routine has returned.
            KpEnterDriverCode(reinterpret_cast<const void*>(routine));
            NTSTATUS result = routine(device, Irp, context);
            KpLeaveDriverCode(reinterpret_cast<const void*>(routine));
            if (KeGetCurrentIrql() != before) {
                KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                           "completion routine %p returned at %s, called at %s",
                           reinterpret_cast<void*>(routine), KpIrqlName(KeGetCurrentIrql()),
                           KpIrqlName(before));
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    IrpHeader* header = HeaderOf(Irp);
    switch (header->Kind) {
        case IrpKind::Allocated:
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "IoCompleteRequest: IRP %p from IoAllocateIrp completed past its last "
                       "completion routine; its "
                       "owner must return STATUS_MORE_PROCESSING_REQUIRED and free it",
                       Irp);
        case IrpKind::Synchronous:
        case IrpKind::Application: {
            FinishBuffers(Irp);
            IrpKind kind = header->Kind;
            if (kind == IrpKind::Application) ForgetInFlight(Irp);
            IO_STATUS_BLOCK result = Irp->IoStatus;
            PKEVENT event = Irp->UserEvent;
            PIO_STATUS_BLOCK iosb = Irp->UserIosb;
            KP_IO_DONE* done = header->Done;
            PVOID doneContext = header->DoneContext;
            PFILE_OBJECT file = Irp->Tail.Overlay.OriginalFileObject;
            IoFreeIrp(Irp);
            if (iosb != nullptr) *iosb = result;
            if (done != nullptr) done(doneContext, &result);
            if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
            if (kind == IrpKind::Application && file != nullptr) ObDereferenceObject(file);
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Requests built for a caller who waits on an event.
// ---------------------------------------------------------------------------
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    KpAssertIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = AllocateIrp(StackSizeOf(DeviceObject), IrpKind::Synchronous);
    if (irp == nullptr) return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    NTSTATUS status = SetUpBuffers(irp, stack, METHOD_FROM_CTL_CODE(IoControlCode), InputBuffer,
                                   InputBufferLength, OutputBuffer, OutputBufferLength, KernelMode);
    if (!NT_SUCCESS(status)) {
        DiscardIrp(irp);
        return nullptr;
    }
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
    KpAssertIrql(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    bool transfer = MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE;
    if (!transfer && MajorFunction != IRP_MJ_PNP && MajorFunction != IRP_MJ_POWER &&
        MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN) {
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "IoBuildSynchronousFsdRequest: major function 0x%x",
                   MajorFunction);
    }
    PIRP irp = AllocateIrp(StackSizeOf(DeviceObject), IrpKind::Synchronous);
    if (irp == nullptr) return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (transfer) {
        stack->Parameters.Read.Length = Length;
        if (StartingOffset != nullptr) stack->Parameters.Read.ByteOffset = *StartingOffset;
        irp->RequestorMode = KernelMode;
        NTSTATUS status = STATUS_SUCCESS;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            PVOID system = ExAllocatePoolWithTag(NonPagedPool, Length ? Length : 1, KpTag("IoBf"));
            if (system == nullptr)
                status = STATUS_INSUFFICIENT_RESOURCES;
            else {
                irp->AssociatedIrp.SystemBuffer = system;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (MajorFunction == IRP_MJ_WRITE)
                    std::memcpy(system, Buffer, Length);
                else
                    irp->Flags |= IRP_INPUT_OPERATION;
            }
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, irp);
            status = mdl ? KpProbeAndLockPages(
                               mdl, KernelMode,
                               MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess)
                         : STATUS_INSUFFICIENT_RESOURCES;
        }
        irp->UserBuffer = Buffer;
        if (!NT_SUCCESS(status)) {
            DiscardIrp(irp);
            return nullptr;
        }
    }
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    return irp;
}

// ---------------------------------------------------------------------------
// Cancellation.  The cancel routine runs with the cancel spin lock held and
// releases it with IoReleaseCancelSpinLock(Irp->CancelIrql).
// ---------------------------------------------------------------------------
VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    CheckIrp(Irp, "IoCancelIrp");
    KpAssertIrql(DISPATCH_LEVEL, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "IoCancelIrp: IRP %p has a cancel routine but no driver holds it", Irp);
    }
    Irp->CancelIrql = irql;
    routine(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject, Irp);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Counters
// ---------------------------------------------------------------------------
ULONG KpIoLiveIrpCount(void) {
    std::lock_guard<std::mutex> guard(g_irpLock);
    return static_cast<ULONG>(g_liveIrps.size());
}

namespace kp::io {
std::string DescribeLiveIrps() {
    std::lock_guard<std::mutex> guard(g_irpLock);
    std::string text;
    for (PIRP irp : g_liveIrps) {
        char line[160];
        PIO_STACK_LOCATION first = &Locations(irp)[irp->StackCount - 1];
        std::snprintf(line, sizeof line, "IRP %p #%llu: major 0x%x, stack %d, location %d\n",
                      static_cast<void*>(irp),
                      static_cast<unsigned long long>(HeaderOf(irp)->Serial), first->MajorFunction,
                      irp->StackCount, irp->CurrentLocation);
        text += line;
    }
    return text;
}
}  // namespace kp::io
