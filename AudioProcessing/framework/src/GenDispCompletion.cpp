// The interceptor's request contexts and its completion frame: the context a
// followed request carries down, the completion routine, the work item that
// finishes a completion at PASSIVE_LEVEL, and the completion work of creates
// and closes (property completions: GenDispProperty.cpp).
#include "CGenDisp.h"

#include <cstring>

#include "DrvMain.h"
#include "LogicCalls.h"
#include "Probe.h"
#include "OSDep.h"
#include "ZDebug.h"

namespace {
using ThisModule = LogModule<LogModuleGenDisp>;

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
