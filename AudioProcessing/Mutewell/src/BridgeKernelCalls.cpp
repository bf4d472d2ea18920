#include "BridgeKernelCalls.h"

extern "C" {
NTSTATUS BridgeReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type,
                                       KPROCESSOR_MODE mode, PVOID* object) {
    return ObReferenceObjectByHandle(handle, access, type, mode, object, nullptr);
}

NTSTATUS BridgeDelayExecution(PLARGE_INTEGER interval) {
    return KeDelayExecutionThread(KernelMode, FALSE, interval);
}

BOOLEAN BridgeCancelIrp(PIRP irp) {
    return IoCancelIrp(irp);
}

LONG BridgeSetEvent(PKEVENT event) {
    return KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}
}
