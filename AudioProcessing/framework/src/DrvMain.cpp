// Driver start-up and unload, and the dispatch routine of every major
// function.  The attachment of filter devices is in Attach.cpp, the stream
// worker in StreamWorker.cpp.
#include "DrvMain.h"

#include "CDevice.h"
#include "MemAlloc.h"
#include "Probe.h"
#include "ZDebug.h"
#include "ZvKAPFWi.h"

namespace {
using ThisModule = LogModule<LogModuleDrvMain>;
}  // namespace

// ---------------------------------------------------------------------------
// Driver-wide objects
// ---------------------------------------------------------------------------
ULONG DsRegistryKeyType;
KEVENT SyncControlLock;
KEVENT SyncControlHeldByState;

// ---------------------------------------------------------------------------
// Start-up and unload
// ---------------------------------------------------------------------------
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ProbeEnable();
    ZDebugSetDriverName(g_FilterLogic->DriverName);
    FrameworkLogModules::RegisterAll(nullptr);
    MemInitialize();
    ProbeInitInterfaceList();
    ThisModule::ModulePrint(1, "DriverEntry> ***** Driver Loaded *****\n");

    driver->DriverExtension->AddDevice = FilterAddDeviceEntry;
    driver->DriverUnload = FilterUnload;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = FilterDispatch;

    AttachInitialize(g_FilterLogic->RegistryPrefix);
    InitializeChannelAndVariableTables();
    DsRegistryKeyType = IoIsWdmVersionAvailable(1, 0x10)
                            ? (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE)
                            : PLUGPLAY_REGKEY_DRIVER;
    KeInitializeEvent(&SyncControlLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&SyncControlHeldByState, NotificationEvent, FALSE);
    NTSTATUS status = StreamWorkerStart();
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(
            1, "DriverEntry> Failed to start StartReadWriteThread() status - 0x%lx\n", status);
    }
    ProbeDefineCounter(PROBE_COUNTER_READ_STREAM);
    ProbeDefineCounter(PROBE_COUNTER_WRITE_STREAM);
    ProbeDefineCounter(PROBE_COUNTER_PROPERTY);
    ProbeSetCounter(PROBE_COUNTER_DISPATCH, 0);
    ProbeSetCounter(PROBE_COUNTER_READ_STREAM, 0);
    ProbeSetCounter(PROBE_COUNTER_WRITE_STREAM, 0);
    ProbeSetCounter(PROBE_COUNTER_PROPERTY, 0);
    ProbeSetCounter(PROBE_COUNTER_WORKERS, 0);
    return STATUS_SUCCESS;
}

void FilterUnload(PDRIVER_OBJECT) {
    NTSTATUS status = StopReadWriteThread();
    if (!NT_SUCCESS(status)) {
        ThisModule::ModulePrint(1, "FilterUnload> Failed StopReadWriteThread() status - 0x%lx\n",
                                status);
    }
    StreamWorkerFree();
    ProbeReleaseAllInterfaces();
    MemShutdown();
    ThisModule::ModulePrint(1, "FilterUnload> ***** Driver Unloading *****\n");
    ProbeDisable();
}

namespace {
NTSTATUS FailRequest(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A device attached on a running stack before CDevice::Init finished: nothing
// of the CDevice is used; the request goes straight to the device below.
NTSTATUS PassDownEarly(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT below = IoGetLowerDeviceObject(device);
    if (below == nullptr) return FailRequest(irp, STATUS_DELETE_PENDING);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(below, irp);
    ObDereferenceObject(below);
    return status;
}
}  // namespace

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    ProbeEnter(0);
    FilterDeviceExtension* ext = FilterExtension(device);
    NTSTATUS status;
    // The pointer is only looked at here: the CDevice is used once the remove
    // lock is held, and the removal clears the pointer before it frees it.
    if (DeviceOf(ext) == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 1, "FilterDispatch> No CDevice!!!! Failing IRP!!!\n");
        status = FailRequest(irp, STATUS_UNSUCCESSFUL);
    } else if (!NT_SUCCESS(AcquireRemoveLock(irp, &ext->Lock))) {
        // The removal began, or a failed AddDevice is undoing itself.
        ThisModule::ModulePrint(ZDBG_ERR | 1, "CDevice::Dispatch> Delete Pending. Failing IRP!\n");
        status = FailRequest(irp, STATUS_DELETE_PENDING);
    } else if (InterlockedRead(&ext->Ready) == 0) {
        status = PassDownEarly(device, irp);
        ReleaseRemoveLock(irp, &ext->Lock);
    } else {
        CDevice* cdevice = DeviceOf(ext);
        ULONG deleteDevice = 0;
        status = cdevice->Dispatch(irp, &deleteDevice);
        if (deleteDevice != 0) {
            ThisModule::ModulePrint(
                3, "FilterDispatch> CDevice (0x%lx =>FDO: 0x%lx) about to be deleted!!!\n",
                Low32(cdevice), Low32(device));
            DestroyFilterDevice(cdevice);
        }
    }
    ProbeLeave(0);
    return status;
}
