// The filter device: request entry, Plug and Play and power.
#include "CDevice.h"

#include <new>

#include "CGenDisp.h"
#include "DSDisblr.h"
#include "DrvMain.h"
#include "LogicCalls.h"
#include "MemAlloc.h"
#include "Probe.h"
#include "ZDebug.h"
#include "ZvKAPFWi.h"

namespace {
using ThisModule = LogModule<LogModuleDevice>;

// The one place the state changes; the previous one is kept for a cancelled removal.
void SetPnpState(FilterDeviceExtension* ext, FilterPnpState state) {
    ext->PreviousPnpState = ext->PnpState;
    ext->PnpState = state;
}
void RestorePnpState(FilterDeviceExtension* ext) {
    SetPnpState(ext, static_cast<FilterPnpState>(ext->PreviousPnpState));
}
}  // namespace

CDevice::CDevice()
    : m_driver(nullptr),
      m_genDisp(nullptr),
      m_fdo(nullptr),
      m_lower(nullptr),
      m_pdo(nullptr),
      m_outstanding(0),
      m_removeLock(nullptr) {
    ThisModule::ModulePrint(3, "CDevice::CDevice> Created class: 0x%lx\n", Low32(this));
}

CDevice::~CDevice() {
    m_fdo = nullptr;
    m_lower = nullptr;
    m_pdo = nullptr;
    if (m_genDisp != nullptr) {
        m_genDisp->~CGenDisp();
        MemFree(m_genDisp);
        m_genDisp = nullptr;
    }
    ThisModule::ModulePrint(3, "CDevice::~CDevice> destroying class: 0x%lx\n", Low32(this));
}

NTSTATUS CDevice::Init(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower,
                       PDEVICE_OBJECT pdo) {
    m_driver = driver;
    m_fdo = fdo;
    m_lower = lower;
    m_pdo = pdo;
    m_removeLock = &FilterExtension(fdo)->Lock;
    void* memory = MemAlloc(sizeof(CGenDisp));
    if (memory == nullptr) {
        ThisModule::ModulePrint(ZDBG_ERR | 2,
                                "CDevice::Init> Failed to allocate CGenDisp in class 0x%lx!\n",
                                Low32(this));
        return STATUS_NO_MEMORY;
    }
    m_genDisp = new (memory) CGenDisp();
    NTSTATUS status = m_genDisp->Init(fdo, lower, pdo, this, m_removeLock);
    ThisModule::ModulePrint(3, "CDevice::Init> status is 0x%lx!\n", status);
    return status;
}

NTSTATUS CDevice::Dispatch(PIRP irp, PULONG deleteDevice) {
    *deleteDevice = 0;
    InterlockedIncrement(&m_outstanding);
    NTSTATUS status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL) ProbeAddCounter(PROBE_COUNTER_DISPATCH, 1);
    ThisModule::ModulePrint(3, "CDevice::Dispatch> Device Object: 0x%lx \tMajorFunction:0x%x\n",
                            Low32(m_fdo), stack->MajorFunction);
    if (stack->MajorFunction == IRP_MJ_POWER) return DispatchPower(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) return DispatchPnp(irp, deleteDevice);
    ULONG taken = 0;
    status = m_genDisp->Dispatch(irp, &taken);
    if (taken != 0) {
        InterlockedDecrement(&m_outstanding);
        return status;
    }
    return DispatchPassThrough(irp);
}

NTSTATUS CDevice::DispatchPassThrough(PIRP irp) {
    ThisModule::ModulePrint(3, "CDevice::DispatchPassThrough> Passing through...\n");
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(m_lower, irp);
    InterlockedDecrement(&m_outstanding);
    ReleaseRemoveLock(irp, m_removeLock);
    return status;
}

NTSTATUS CDevice::DispatchPower(PIRP irp) {
    ThisModule::ModulePrint(3, "CDevice::DispatchPower> Passing through...\n");
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = PoCallDriver(m_lower, irp);
    InterlockedDecrement(&m_outstanding);
    ReleaseRemoveLock(irp, m_removeLock);
    return status;
}

NTSTATUS StartDeviceCompletion(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CDevice::ForwardAndWait(PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, StartDeviceCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(m_lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS CDevice::DispatchPnp(PIRP irp, PULONG deleteDevice) {
    FilterDeviceExtension* ext = FilterExtension(m_fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ThisModule::ModulePrint(3, "CDevice::DispatchPnp> Received:%s in IRP:0x%lx\n",
                            "NO STRING! USE DEBUG VERSION!", Low32(irp));
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(irp);
            if (NT_SUCCESS(status)) SetPnpState(ext, PNP_STATE_STARTED);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            InterlockedDecrement(&m_outstanding);
            ReleaseRemoveLock(irp, m_removeLock);
            if (ext->MasterFlag != 0) ProbeInit(m_fdo, m_lower, m_pdo);
            return status;
        }
        case IRP_MN_QUERY_PNP_DEVICE_STATE: {
            NTSTATUS status = ForwardAndWait(irp);
            if (NT_SUCCESS(status)) irp->IoStatus.Information |= PnpStateBits;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            InterlockedDecrement(&m_outstanding);
            ReleaseRemoveLock(irp, m_removeLock);
            return status;
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
            StopHandling();
            SetPnpState(ext, PNP_STATE_REMOVE_PENDING);
            return DispatchPassThrough(irp);
        case IRP_MN_SURPRISE_REMOVAL: {
            NTSTATUS status = STATUS_SUCCESS;
            if (StopHandling(irp, &status)) {
                InterlockedDecrement(&m_outstanding);
                ReleaseRemoveLock(irp, m_removeLock);
                return status;
            }
            SetPnpState(ext, PNP_STATE_SURPRISE_REMOVED);
            return DispatchPassThrough(irp);
        }
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (ext->PnpState == PNP_STATE_REMOVE_PENDING) {
                RestartHandling();
                RestorePnpState(ext);
            }
            return DispatchPassThrough(irp);
        case IRP_MN_REMOVE_DEVICE: {
            if (ext->MasterFlag != 0) ProbeShutdown();
            LONG state = ext->PnpState;
            InterlockedDecrement(&m_outstanding);
            // From here every new request is refused, and every request inside
            // this filter leaves it before the lower driver hears of the
            // removal: nothing is passed down after it, nothing touches this
            // object after it is freed.
            ReleaseRemoveLockAndWait(irp, m_removeLock);
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(m_lower, irp);
            if (state != PNP_STATE_REMOVE_PENDING && state != PNP_STATE_SURPRISE_REMOVED)
                StopHandling();
            SetPnpState(ext, PNP_STATE_REMOVED);
            SetDeviceOf(ext, nullptr);
            IoDetachDevice(m_lower);
            IoDeleteDevice(m_fdo);
            *deleteDevice = 1;
            return status;
        }
        default:
            return DispatchPassThrough(irp);
    }
}

BOOLEAN CDevice::StopHandling(PIRP removal, NTSTATUS* passed) {
    FilterDeviceExtension* ext = FilterExtension(m_fdo);
    ULONG process = ReadSharedValue(VID_SHARED_PROCESS);
    if (ext->MasterFlag != 0) {
        SavedProcessValue = process;
        ULONG zero = 0;
        // A 4-byte store of a known variable: it cannot fail.
        (void)SetSharedVariable(VID_SHARED_PROCESS, &zero, sizeof zero);
        if (ext->NotificationHandle != nullptr) {
            IoUnregisterPlugPlayNotification(ext->NotificationHandle);
            ext->NotificationHandle = nullptr;
        }
        InterlockedExchange(&MasterTaken, 0);
    } else if (process != 0) {
        AcquireDsBusy(ext->DsBusyFlag);
        EnableDirectSound(m_pdo, DS_DIRECTION_RENDER);
        EnableDirectSound(m_pdo, DS_DIRECTION_CAPTURE);
        ReleaseDsBusy(ext->DsBusyFlag);
    }
    FilterRemovePdoFromList(m_pdo);
    // The logic frees what OnBuffer and a RUN use: never while one of them runs.
    // A state request keeps the lock until the device completes it, and a
    // device being pulled out ends what it holds only once it hears of it:
    // the removal then goes down before the unload waits for the lock.
    BOOLEAN wentDown = FALSE;
    if (!GetSyncControlLockUnlessStateHolds()) {
        if (removal != nullptr) {
            SetPnpState(ext, PNP_STATE_SURPRISE_REMOVED);
            IoSkipCurrentIrpStackLocation(removal);
            *passed = IoCallDriver(m_lower, removal);
            wentDown = TRUE;
        }
        GetSyncControlLock();
    }
    (void)logic::OnFilterUnload(m_genDisp, ext->MasterFlag);
    ReleaseSyncControlLock();
    return wentDown;
}

void CDevice::RestartHandling() {
    FilterDeviceExtension* ext = FilterExtension(m_fdo);
    // Elect first: a device that lost the role meanwhile must not load the
    // logic as a second master.
    if (ext->MasterFlag != 0 && InterlockedExchange(&MasterTaken, 1) != 0) ext->MasterFlag = 0;
    GetSyncControlLock();
    (void)logic::OnFilterLoad(m_genDisp, ext->MasterFlag, m_pdo, m_lower);
    ReleaseSyncControlLock();
    FilterIsNewDevice(m_pdo, m_fdo, ListLookup::FindOrAdd);
    if (ext->MasterFlag != 0) {
        (void)SetSharedVariable(VID_SHARED_PROCESS, &SavedProcessValue, sizeof SavedProcessValue);
        if (ext->NoManualSlaves == 0) FilterRegisterInterfaceNotification(m_driver, m_fdo);
    } else {
        ApplyDsStateToDevice(m_pdo, ext->DsBusyFlag, ReadSharedValue(VID_SHARED_DSDISABLE));
    }
}
