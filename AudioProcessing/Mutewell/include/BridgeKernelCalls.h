// The bridge's own entry points for the kernel calls its tests put a recorder
// in front of (failure injection, counting): plain C names the linker can
// route (--wrap) without spelling a C++ signature.  Each forwards to the
// kernel routine of the same purpose.
#pragma once

#include <wdm.h>

extern "C" {
NTSTATUS BridgeReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type,
                                       KPROCESSOR_MODE mode, PVOID* object);
NTSTATUS BridgeDelayExecution(PLARGE_INTEGER interval);
BOOLEAN BridgeCancelIrp(PIRP irp);
// The stream requests' completion routine signals through this one.
LONG BridgeSetEvent(PKEVENT event);
}
