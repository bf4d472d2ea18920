// Host-only: controls and observations of the stand-in's I/O manager: fault
// injection, counts of live IRPs, MDLs, device and file objects, application
// memory, the system work queues, in-process drivers and a trace that test
// drivers write.  Product code never includes this header.
#pragma once

#include <string>
#include <vector>

#include "platform/io.h"

// ---------------------------------------------------------------------------
// Fault injection: counting only calls of that kind, the Nth from now (1 = the
// next) fails, and so do the Count - 1 after it.
// ---------------------------------------------------------------------------
enum KP_IO_FAULT {
    KpFaultCreateDevice,    // IoCreateDevice: STATUS_INSUFFICIENT_RESOURCES
    KpFaultAttachDevice,    // IoAttachDeviceToDeviceStack: NULL
    KpFaultAllocateIrp,     // IoAllocateIrp and the IoBuild* requests: NULL
    KpFaultAllocateMdl,     // IoAllocateMdl: NULL
    KpFaultMapLockedPages,  // MmMapLockedPages*, MmGetSystemAddressForMdlSafe: no mapping
    KpFaultAllocateWorkItem,
    KpFaultDriverObjectExtension,  // IoAllocateDriverObjectExtension: STATUS_INSUFFICIENT_RESOURCES
    KpFaultCount
};
void KpIoFailCall(KP_IO_FAULT Fault, ULONG Nth, ULONG Count = 1);
void KpIoClearFailures(void);

// A test's seam into stack building: Hook runs on the attaching thread each
// time IoAttachDeviceToDeviceStack has put Attached on top of Lower's stack,
// just before the call returns, with no lock of the I/O manager held.  The
// device is already reachable then, while its driver has not finished setting
// it up: the hook may send it requests, wait for them, or arm a fault for the
// driver's next step.  NULL removes the hook.
typedef VOID KP_IO_ATTACH_HOOK(PVOID Context, PDEVICE_OBJECT Attached, PDEVICE_OBJECT Lower);
void KpIoSetAttachHook(KP_IO_ATTACH_HOOK* Hook, PVOID Context);

// ---------------------------------------------------------------------------
// Live objects, for leak checks.  The report lists each live IRP (major code of
// its first location, stack count, serial) and MDL (address, length, locked).
// ---------------------------------------------------------------------------
ULONG KpIoLiveIrpCount(void);
ULONG KpIoLiveMdlCount(void);
ULONG KpIoLiveDeviceObjectCount(
    void);  // created and not yet freed (deleted ones still referenced count)
ULONG KpIoLiveFileObjectCount(void);
ULONG KpMmLiveSystemMappingCount(void);     // MDL mappings of application memory not yet undone
std::string KpIoDescribeLiveObjects(void);  // empty when nothing is live

// ---------------------------------------------------------------------------
// Application memory.  What a user-mode program passes to the I/O manager must
// come from here: MmProbeAndLockPages(UserMode) and the probes accept nothing
// else, and a driver reaches it from the kernel only through an MDL mapping
// (a separate view of the same pages).  With access switched off, the program's
// own view faults, so a driver that dereferences a user address it should have
// mapped stops the test.  The I/O manager's own copies (buffered requests) go
// through a private view and keep working.
// ---------------------------------------------------------------------------
PVOID KpUserAlloc(SIZE_T Bytes);  // page-aligned, zeroed; NULL on failure
void KpUserFree(PVOID Address);   // a block with pages still locked is a bug check
// MDLs that lock the application block holding Address (0 outside every block).
ULONG KpUserLockedMdlCount(const void* Address);
BOOLEAN KpIsUserAddress(const void* Address, SIZE_T Length);
void KpSetUserMemoryAccessible(BOOLEAN Accessible);
// TRUE when Address lies in a system view made by MmMapLockedPages*.
BOOLEAN KpIsSystemMapping(const void* Address);

// ---------------------------------------------------------------------------
// System work queues (IoQueueWorkItem).  Work items run on a pool of worker
// threads at PASSIVE_LEVEL: two threads by default; one thread gives a fixed
// order.  Drain blocks until no item is queued or running.
// ---------------------------------------------------------------------------
void KpIoSetWorkerThreadCount(ULONG Count);
void KpIoDrainWorkQueues(void);
ULONG KpIoQueuedWorkItemCount(void);  // queued or running
// Threads other than system threads inside an I/O manager request (an
// application's create, control request, cleanup or close), awake or asleep.
ULONG KpIoThreadsInRequests(void);

// ---------------------------------------------------------------------------
// Miscellaneous switches and counters.
// ---------------------------------------------------------------------------
// The WDM version the system reports to IoIsWdmVersionAvailable (default 1.0x30).
void KpIoSetWdmVersion(UCHAR Major, UCHAR Minor);
ULONG KpPoStartNextPowerIrpCount(void);

// ---------------------------------------------------------------------------
// Drivers.  The loader maps a service (Services\<name> in the registry) to its
// image: a driver registered here by service name is taken in-process; any
// other is loaded from its ImagePath in the machine folder (kp/pnp.h).
// ---------------------------------------------------------------------------
void KpRegisterBuiltinDriver(const char16_t* ServiceName, PDRIVER_INITIALIZE DriverEntry);
void KpUnregisterBuiltinDriver(const char16_t* ServiceName);
// Registers an in-process driver and loads it: the way for a test to get a
// real driver object for code linked into the test program.
NTSTATUS KpLoadBuiltinDriver(const char16_t* ServiceName, PDRIVER_INITIALIZE DriverEntry,
                             PDRIVER_OBJECT* DriverObject);
// Loads the service's driver once (later calls return the same object) and runs
// its DriverEntry with the service's registry path.
NTSTATUS KpLoadDriver(const char16_t* ServiceName, PDRIVER_OBJECT* DriverObject);
// The loaded driver of a service, or NULL.
PDRIVER_OBJECT KpFindDriver(const char16_t* ServiceName);
// Calls DriverUnload and releases the image.  STATUS_DEVICE_BUSY (nothing done)
// while the driver still has device objects, queued work items or stacks in use.
NTSTATUS KpUnloadDriver(PDRIVER_OBJECT DriverObject);
ULONG KpDriverDeviceObjectCount(PDRIVER_OBJECT DriverObject);

// ---------------------------------------------------------------------------
// Application requests on a file handle, completed through a callback.  Done
// runs on the completing thread, possibly at DISPATCH_LEVEL: it must not wait.
// ---------------------------------------------------------------------------
typedef VOID KP_IO_DONE(PVOID Context, PIO_STATUS_BLOCK IoStatus);
NTSTATUS KpDeviceIoControlAsync(HANDLE FileHandle, ULONG IoControlCode, PVOID InputBuffer,
                                ULONG InputBufferLength, PVOID OutputBuffer,
                                ULONG OutputBufferLength, KP_IO_DONE* Done, PVOID Context);
// Cancels every application request still in flight on the file (IoCancelIrp on each).
NTSTATUS KpCancelFileIo(HANDLE FileHandle);

// ---------------------------------------------------------------------------
// A trace that test drivers append to: what they saw, at which level.
// ---------------------------------------------------------------------------
struct KpIoTraceEntry {
    std::string Who;    // the driver's own label
    std::string Event;  // "irp" for requests, or the driver's word ("unload", "add-device", ...)
    UCHAR Major = 0;
    UCHAR Minor = 0;
    ULONG IoControlCode = 0;
    KIRQL Irql = 0;
    KPROCESSOR_MODE RequestorMode = KernelMode;
    PDEVICE_OBJECT Device = nullptr;
    PFILE_OBJECT FileObject = nullptr;
};
void KpIoTraceIrp(const char* Who, PDEVICE_OBJECT Device, PIRP Irp);
void KpIoTraceEvent(const char* Who, const char* Event, PDEVICE_OBJECT Device);
std::vector<KpIoTraceEntry> KpIoTraceEntries(void);
void KpIoTraceClear(void);
