// Shared inside the stand-in's I/O manager, PnP manager and loader only.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kp/bugcheck.h"
#include "kp/io.h"
#include "platform/ex.h"
#include "platform/io.h"
#include "platform/rtl.h"

// A pool tag from its text as a pool dump shows it ("Irp " -> ' prI').
constexpr ULONG KpTag(const char (&text)[5]) {
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}

// Bug check codes of the I/O manager.
#define KP_BUGCHECK_NO_MORE_IRP_STACK_LOCATIONS 0x00000035u
#define KP_BUGCHECK_MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044u
#define KP_BUGCHECK_CANCEL_STATE_IN_COMPLETED_IRP 0x00000048u
#define KP_BUGCHECK_KMODE_EXCEPTION_NOT_HANDLED 0x0000001Eu
#define KP_BUGCHECK_PNP_DETECTED_FATAL_ERROR 0x000000CAu

// The loader's record of a driver.  Lives from the load to the unload.
struct KpDriverInternals {
    DRIVER_OBJECT Object{};
    DRIVER_EXTENSION Extension{};
    std::u16string ServiceName;
    std::u16string DriverName;    // "\Driver\<service>"
    std::u16string RegistryPath;  // "\Registry\Machine\...\Services\<service>"
    void* Image = nullptr;        // dlopen handle; null for in-process drivers
    bool Builtin = false;
    std::atomic<LONG> DeviceObjects{0};  // created and not yet freed
    std::atomic<LONG> WorkItems{0};      // queued or running
    std::atomic<LONG> Notifications{0};  // PnP notification registrations
    std::atomic<LONG> StackUses{0};      // device stacks of the PnP manager naming the driver
    bool PnpLoaded = false;              // loaded for a device stack: unloaded when idle
    std::mutex ExtensionLock;
    struct Extension_ {
        PVOID ClientId;
        std::vector<uint64_t> Storage;
    };
    std::vector<Extension_> Extensions;
};

namespace kp::io {

// The loader's record of a driver object; a driver object the loader did not
// make (say, one a test built by hand) is a bug check naming the routine.
inline KpDriverInternals* Internals(PDRIVER_OBJECT driver, const char* routine = "I/O manager") {
    if (driver == nullptr || driver->KpDriver == nullptr) {
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT,
                   "%s: driver object %p was not made by the loader (use KpLoadDriver or "
                   "KpLoadBuiltinDriver)",
                   routine, static_cast<void*>(driver));
    }
    return driver->KpDriver;
}

// One injected-fault check: TRUE when this call must fail.
bool ShouldFail(KP_IO_FAULT fault);

// Text helpers.
std::u16string ToU16(const UNICODE_STRING* s);
std::u16string Upper(std::u16string_view s);
std::string Narrow(std::u16string_view s);
std::u16string GuidString(const GUID& guid);  // "{xxxxxxxx-xxxx-...}" lower case
// A pool copy (tag 'KpSt') of text as a counted, terminated string; FALSE on no memory.
bool MakePoolString(std::u16string_view text, PUNICODE_STRING out);

// Device objects.
PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device);  // no reference
// A device's stack size, read whole: the driver of a device that has just
// joined a running stack may still be raising it while requests are sized
// for the stack.
inline CCHAR StackSizeOf(PDEVICE_OBJECT device) {
    return __atomic_load_n(&device->StackSize, __ATOMIC_RELAXED);
}
void ForEachInStack(PDEVICE_OBJECT bottom, const std::function<void(PDEVICE_OBJECT)>& fn);
PDEVICE_OBJECT LookupDeviceName(std::u16string_view upperName);  // referenced, or null

// IRPs (see io_irp.cpp for who owns the end of each kind).
enum class IrpKind : ULONG { Allocated = 1, Synchronous = 2, Application = 3 };
PIRP AllocateIrp(CCHAR stackSize, IrpKind kind);
void SetApplicationCompletion(PIRP irp, KP_IO_DONE* done, PVOID context);
NTSTATUS SetUpBuffers(PIRP irp, PIO_STACK_LOCATION stack, ULONG method, PVOID in, ULONG inLength,
                      PVOID out, ULONG outLength, KPROCESSOR_MODE mode);
void DiscardIrp(PIRP irp);
void ForgetInFlight(PIRP irp);
std::string DescribeLiveIrps();
std::string DescribeLiveMdls();

// Sends a request built by the caller's Setup to the top of Device's stack and
// waits for it.  The request is preset to DefaultStatus.  Returns the final
// status; Information (optional) gets IoStatus.Information.
NTSTATUS SendAndWait(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS defaultStatus,
                     const std::function<void(PIO_STACK_LOCATION)>& setup, ULONG_PTR* information,
                     PFILE_OBJECT fileObject = nullptr, KPROCESSOR_MODE mode = KernelMode);

// Work queues: an internal job on the delayed queue (file closes at raised level).
void QueueInternalJob(std::function<void()> job);

// Names: resolves symbolic links and returns the named device (referenced) and the rest.
NTSTATUS ResolveName(std::u16string_view name, PDEVICE_OBJECT* device, std::u16string* remainder);
void AddSymbolicLink(std::u16string_view link, std::u16string_view target);
void RemoveSymbolicLink(std::u16string_view link);

// File objects.
NTSTATUS OpenFile(std::u16string_view name, PFILE_OBJECT related, KPROCESSOR_MODE mode,
                  ACCESS_MASK access, ULONG disposition, ULONG options, PFILE_OBJECT* file);
void SendCleanup(PFILE_OBJECT file);

// MDLs and application memory.
void UnlockAndFreeMdlChain(PMDL mdl);
// Copies between the I/O manager and application memory through the private view.
bool CopyFromUser(void* dst, const void* user, SIZE_T length);
bool CopyToUser(void* user, const void* src, SIZE_T length);

// PnP hooks called by the I/O manager.
void OnPdoFreed(KpDeviceNode* node);
std::u16string InstancePathOf(PDEVICE_OBJECT pdo);
void OnFileOpened(PDEVICE_OBJECT named);
void OnFileClosed(PDEVICE_OBJECT named);
void OnDriverUnloading(PDRIVER_OBJECT driver);
// Drops the extensions of a driver object keyed by a client address (a freed PDO).
void ForgetDriverObjectExtension(PDRIVER_OBJECT driver, PVOID clientId);

// The built-in bus driver (created on first use).
PDRIVER_OBJECT BusDriver();
// Creates a driver object for an entry point and runs it; used by the loader.
NTSTATUS CreateDriverObject(std::u16string_view serviceName, PDRIVER_INITIALIZE entry, void* image,
                            PDRIVER_OBJECT* driver);
void FreeDriverObject(PDRIVER_OBJECT driver);

}  // namespace kp::io
