// The per-device kernel-streaming interceptor.  This build passes every
// request down; the interception of filters, pins, properties and streams
// builds on it.
#pragma once

#include <wdm.h>

#include "CKsIrpTarget.h"
#include "RemoveLock.h"

class CDevice;

class CGenDisp : public CKsIrpTarget {
public:
    CGenDisp();
    ~CGenDisp();

    NTSTATUS Init(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo, CDevice* device,
                  PRemoveLock removeLock);
    // taken 1: this object owns the request (and the remove-lock hold that
    // came with it); 0: the caller passes it down.
    NTSTATUS Dispatch(PIRP irp, PULONG taken);

    PDEVICE_OBJECT Fdo() const { return m_fdo; }
    PDEVICE_OBJECT Lower() const { return m_lower; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    CDevice* Device() const { return m_device; }
    PRemoveLock GetRemoveLock() const { return m_removeLock; }

private:
    PDEVICE_OBJECT m_fdo;
    PDEVICE_OBJECT m_lower;
    PDEVICE_OBJECT m_pdo;
    CDevice* m_device;
    PRemoveLock m_removeLock;
};
