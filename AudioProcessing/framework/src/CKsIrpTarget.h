// Synchronous KS requests to a device below, and the classification of
// incoming IOCTL_KS_PROPERTY requests.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "FilterLogicServices.h"

// The file object a request to the device is sent on: the current request's
// own, or its related one (the filter a pin is being created on).
enum class RequestFile : ULONG { Own = 0, Related = 1 };

class CKsIrpTarget {
public:
    CKsIrpTarget() : m_target(nullptr) {}

    // Sends a KS IOCTL on the current request's file object (its related file
    // object for RequestFile::Related) to the target and waits.  PASSIVE_LEVEL.
    NTSTATUS SyncIoctl(PIRP current, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                       ULONG outputLength, PULONG byteCount, RequestFile useRelated);
    NTSTATUS SyncIoctl(PIRP current, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                       ULONG outputLength, RequestFile useRelated) {
        return SyncIoctl(current, code, input, inputLength, output, outputLength, nullptr,
                         useRelated);
    }
    NTSTATUS GetPinProperty(PIRP current, ULONG pinId, ULONG propertyId, PVOID output,
                            ULONG outputLength, RequestFile useRelated);
    NTSTATUS GetPinCommunication(PIRP current, ULONG pinId, PVOID output, ULONG outputLength,
                                 RequestFile useRelated);
    NTSTATUS GetPinDataFlow(PIRP current, ULONG pinId, PVOID output, ULONG outputLength,
                            RequestFile useRelated);
    NTSTATUS GetPinCategory(PIRP current, ULONG pinId, PVOID output, ULONG outputLength,
                            RequestFile useRelated);
    ULONG GetPinDescription(PIRP current, ULONG pinId, GUID* category, PULONG dataFlow,
                            PULONG communication, RequestFile useRelated);

    // Predicates on an incoming IOCTL_KS_PROPERTY request; 1 or 0.  They read
    // the property at Type3InputBuffer, which must be a system address.
    static ULONG IsPinProperty(PIRP irp, PULONG pinId);
    static ULONG IsGetDataRanges(PIRP irp, PULONG pinId);
    static ULONG IsGetDataIntersection(PIRP irp, PULONG pinId);
    static ULONG IsGetPinCommunication(PIRP irp, PULONG pinId);
    static ULONG IsGetAudioPosition(PIRP irp);
    // kind: 2 SET, 1 GET, 0 neither; the id is stored whenever the set matches.
    static ULONG IsConnectionProperty(PIRP irp, PULONG propertyId, PULONG kind);
    static ULONG IsInterceptedPropertySet(PIRP irp);

    PDEVICE_OBJECT Target() const { return m_target; }

protected:
    PDEVICE_OBJECT m_target;
};

// SendKsIoctl and GetAudioPosition, the free functions: FilterLogicServices.h.
