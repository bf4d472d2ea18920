// The device object of a filter device: the first stop of every request, the
// Plug and Play state machine, and the start and stop of the filter logic.
#pragma once

#include <wdm.h>

#include "RemoveLock.h"

class CGenDisp;

class CDevice {
public:
    CDevice();
    ~CDevice();

    NTSTATUS Init(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower,
                  PDEVICE_OBJECT pdo);
    // deleteDevice becomes 1 once IRP_MN_REMOVE_DEVICE was handled; the caller
    // then destroys this object.
    NTSTATUS Dispatch(PIRP irp, PULONG deleteDevice);
    NTSTATUS DispatchPassThrough(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS DispatchPnp(PIRP irp, PULONG deleteDevice);
    void StopHandling();
    void RestartHandling();

    CGenDisp* GenDisp() const { return m_genDisp; }
    PDEVICE_OBJECT Fdo() const { return m_fdo; }
    PDEVICE_OBJECT Lower() const { return m_lower; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    PRemoveLock GetRemoveLock() { return &m_removeLock; }
    LONG OutstandingRequests() const { return m_outstanding; }
    // The filter device object, known from creation: until Init has finished,
    // requests go straight to the device it is attached to.
    void SetSelf(PDEVICE_OBJECT fdo) { m_self = fdo; }

private:
    NTSTATUS ForwardAndWait(PIRP irp);

    PDRIVER_OBJECT m_driver;
    CGenDisp* m_genDisp;
    PDEVICE_OBJECT m_fdo;
    PDEVICE_OBJECT m_lower;
    PDEVICE_OBJECT m_pdo;
    volatile LONG m_outstanding;
    RemoveLock m_removeLock;
    PDEVICE_OBJECT m_self;
    volatile LONG m_ready;  // 1 once Init has finished
};

NTSTATUS StartDeviceCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID event);
