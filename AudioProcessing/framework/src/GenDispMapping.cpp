// The interceptor's buffer mapping: an application's buffer behind an MDL at
// a system address, and a property request's input and output mapped for the
// time the interceptor reads or writes them.
#include "CGenDisp.h"

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
