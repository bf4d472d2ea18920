// The device object of a filter device: the first stop of every request, the
// Plug and Play state machine, and the start and stop of the filter logic.
#pragma once

#include <wdm.h>

#include "OSDep.h"

#include "RemoveLock.h"

class CGenDisp;

class CDevice {
public:
    CDevice();
    ~CDevice();

    NTSTATUS Init(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower,
                  PDEVICE_OBJECT pdo);
    // The caller (FilterDispatch) holds the remove lock for the request; this
    // object gives it back when the request leaves the filter.  deleteDevice
    // becomes 1 once IRP_MN_REMOVE_DEVICE was handled; the caller then
    // destroys this object.
    NTSTATUS Dispatch(PIRP irp, PULONG deleteDevice);
    NTSTATUS DispatchPassThrough(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS DispatchPnp(PIRP irp, PULONG deleteDevice);
    // Stops following the device and unloads the logic.  With removal (a
    // SURPRISE_REMOVAL), a state request that keeps the sync-control lock
    // makes the removal go down first, the device ending what it holds; the
    // result is then TRUE with the lower driver's status in *passed.
    BOOLEAN StopHandling(PIRP removal = nullptr, NTSTATUS* passed = nullptr);
    void RestartHandling();

    CGenDisp* GenDisp() const { return m_genDisp; }
    PDEVICE_OBJECT Fdo() const { return m_fdo; }
    PDEVICE_OBJECT Lower() const { return m_lower; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    PRemoveLock GetRemoveLock() { return m_removeLock; }
    // Diagnostics, readable from any thread.
    LONG OutstandingRequests() const {
        return InterlockedRead(const_cast<volatile LONG*>(&m_outstanding));
    }

private:
    NTSTATUS ForwardAndWait(PIRP irp);

    PDRIVER_OBJECT m_driver;
    CGenDisp* m_genDisp;
    PDEVICE_OBJECT m_fdo;
    PDEVICE_OBJECT m_lower;
    PDEVICE_OBJECT m_pdo;
    volatile LONG m_outstanding;
    PRemoveLock m_removeLock;  // the filter device extension's
};

NTSTATUS StartDeviceCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID event);
