// I/O manager: file objects, the create path, cleanup and close, opens by name,
// and I/O control requests on file handles.
//
// A file object is created for a named device (the PDO of an interface, or a
// device with a name) and sent IRP_MJ_CREATE at the top of that device's stack.
// Its handle's close sends IRP_MJ_CLEANUP; its last reference sends
// IRP_MJ_CLOSE to whatever is the top of the stack at that moment.
#include <cstdio>
#include <set>

#include "io_internal.h"
#include "ke_private.h"
#include "kp/irql.h"
#include "kp/thread.h"

namespace kp::io {
namespace {

constexpr ULONG kFileTag = KpTag("KFil");
constexpr CSHORT kIoTypeFile = 5;

std::mutex g_fileLock;
std::set<PFILE_OBJECT> g_liveFiles;

struct InFlight {
    PFILE_OBJECT File;
    PIRP Irp;
};
// Recursive: a cancel routine run from KpCancelFileIo may complete the request
// on the same thread, which then leaves this list.
std::recursive_mutex g_inFlightLock;
std::vector<InFlight> g_inFlight;  // application requests not yet completed

// Threads other than system threads inside a request of the I/O manager
// (create, control, cleanup, close), counted once however deep they nest: a
// runner stepping a manual clock must not take the machine for resting while
// one of them still works in a driver.
std::atomic<ULONG> g_callers{0};
thread_local ULONG t_callDepth = 0;

class CallerScope {
public:
    // A work item's routine is the system's, as a system thread's is.
    CallerScope() : counted_(t_callDepth++ == 0 && !KpIsSystemThread() && !KiCurrent().InWorkItem) {
        if (counted_) ++g_callers;
    }
    ~CallerScope() {
        --t_callDepth;
        if (counted_) --g_callers;
    }
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;

private:
    const bool counted_;
};

void CloseFileObject(PVOID object);
void CloseFileHandle(PVOID object);
const KP_OBJECT_TYPE kFileObjectType = {"File", CloseFileObject};
const KP_OBJECT_TYPE kFileHandleType = {"File", CloseFileHandle};
POBJECT_TYPE g_fileObjectTypePtr = &kFileObjectType;

void FreeFileObject(PFILE_OBJECT file) {
    if (file->FileName.Buffer != nullptr) ExFreePool(file->FileName.Buffer);
    {
        std::lock_guard<std::mutex> guard(g_fileLock);
        g_liveFiles.erase(file);
    }
    PFILE_OBJECT related = file->RelatedFileObject;
    PDEVICE_OBJECT device = file->DeviceObject;
    bool created = file->KpCreated;
    ExFreePool(file);
    if (related != nullptr) ObDereferenceObject(related);
    if (created) OnFileClosed(device);
    ObDereferenceObject(device);
}

void SendClose(PFILE_OBJECT file) {
    NTSTATUS status =
        SendAndWait(file->DeviceObject, IRP_MJ_CLOSE, 0, STATUS_SUCCESS, nullptr, nullptr, file);
    if (!NT_SUCCESS(status)) {
        DbgPrint("KP I/O: IRP_MJ_CLOSE of file object %p failed with 0x%08X\n",
                 static_cast<void*>(file), static_cast<unsigned>(status));
    }
    FreeFileObject(file);
}

// The last reference.  A close from raised IRQL goes to a worker thread, as the
// requests it sends must run at PASSIVE_LEVEL.
void CloseFileObject(PVOID object) {
    auto file = static_cast<PFILE_OBJECT>(object);
    if (!file->KpCreated) {
        FreeFileObject(file);
    } else if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        SendClose(file);
    } else {
        QueueInternalJob([file] { SendClose(file); });
    }
}

void CloseFileHandle(PVOID object) {
    auto file = static_cast<PFILE_OBJECT>(object);
    SendCleanup(file);
    ObDereferenceObject(file);
}

struct WaitBlock {
    KEVENT Event;
    IO_STATUS_BLOCK Iosb;
};

}  // namespace

NTSTATUS SendAndWait(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS defaultStatus,
                     const std::function<void(PIO_STACK_LOCATION)>& setup, ULONG_PTR* information,
                     PFILE_OBJECT fileObject, KPROCESSOR_MODE mode) {
    KpAssertIrql(PASSIVE_LEVEL, "I/O manager request");
    CallerScope caller;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    WaitBlock wait;
    KeInitializeEvent(&wait.Event, NotificationEvent, FALSE);
    wait.Iosb.Status = STATUS_UNSUCCESSFUL;
    wait.Iosb.Information = 0;
    PIRP irp = AllocateIrp(StackSizeOf(top), IrpKind::Synchronous);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->UserEvent = &wait.Event;
    irp->UserIosb = &wait.Iosb;
    irp->IoStatus.Status = defaultStatus;
    irp->RequestorMode = mode;
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    stack->FileObject = fileObject;
    if (setup) setup(stack);
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&wait.Event, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    // The status block is written at completion whether or not the request pended.
    if (information != nullptr) *information = wait.Iosb.Information;
    return wait.Iosb.Status;
}

void SendCleanup(PFILE_OBJECT file) {
    NTSTATUS status =
        SendAndWait(file->DeviceObject, IRP_MJ_CLEANUP, 0, STATUS_SUCCESS, nullptr, nullptr, file);
    if (!NT_SUCCESS(status)) {
        DbgPrint("KP I/O: IRP_MJ_CLEANUP of file object %p failed with 0x%08X\n",
                 static_cast<void*>(file), static_cast<unsigned>(status));
    }
}

// The create path: name to device, a new file object, IRP_MJ_CREATE at the top.
NTSTATUS OpenFile(std::u16string_view name, PFILE_OBJECT related, KPROCESSOR_MODE mode,
                  ACCESS_MASK access, ULONG disposition, ULONG options, PFILE_OBJECT* result) {
    KpAssertIrql(PASSIVE_LEVEL, "IoCreateFile");
    *result = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    if (related != nullptr) {
        device = related->DeviceObject;
        ObReferenceObject(device);
        remainder = std::u16string(name);
    } else {
        NTSTATUS status = ResolveName(name, &device, &remainder);
        if (!NT_SUCCESS(status)) return status;
    }
    // A device still being set up, or one being taken away, takes no opens.
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    if ((device->Flags & DO_DEVICE_INITIALIZING) || (top->Flags & DO_DEVICE_INITIALIZING) ||
        device->KpDeleted) {
        ObDereferenceObject(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto file = static_cast<PFILE_OBJECT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT), kFileTag));
    if (file == nullptr) {
        ObDereferenceObject(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(file, 0, sizeof(FILE_OBJECT));
    file->Type = kIoTypeFile;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;  // the reference taken above goes with the file object
    file->ReadAccess = (access & (GENERIC_READ | FILE_READ_DATA | GENERIC_ALL)) != 0;
    file->WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_DATA | GENERIC_ALL)) != 0;
    if (options & FILE_SYNCHRONOUS_IO_NONALERT) file->Flags |= FO_SYNCHRONOUS_IO;
    if (!remainder.empty() && !MakePoolString(remainder, &file->FileName)) {
        ExFreePool(file);
        ObDereferenceObject(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (related != nullptr) {
        ObReferenceObject(related);
        file->RelatedFileObject = related;
    }
    {
        std::lock_guard<std::mutex> guard(g_fileLock);
        g_liveFiles.insert(file);
    }
    NTSTATUS status = KpInsertObject(file, &kFileObjectType);
    if (!NT_SUCCESS(status))
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT, "file object refused by the object table");
    status = SendAndWait(
        device, IRP_MJ_CREATE, 0, STATUS_SUCCESS,
        [&](PIO_STACK_LOCATION stack) {
            stack->Parameters.Create.Options = (disposition << 24) | (options & 0x00FFFFFF);
            stack->Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
        },
        nullptr, file, mode);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(file);  // never created: no cleanup, no close
        return status;
    }
    file->KpCreated = TRUE;
    OnFileOpened(device);
    *result = file;
    return STATUS_SUCCESS;
}

}  // namespace kp::io

using namespace kp::io;

POBJECT_TYPE* IoFileObjectType = &g_fileObjectTypePtr;

// ---------------------------------------------------------------------------
// IoGetDeviceObjectPointer: open, then clean up at once (no handle stays); the
// caller keeps the file object's reference and gets the top of the stack.
// ---------------------------------------------------------------------------
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
    *FileObject = nullptr;
    *DeviceObject = nullptr;
    PFILE_OBJECT file;
    NTSTATUS status =
        OpenFile(ToU16(ObjectName), nullptr, KernelMode, DesiredAccess, FILE_OPEN, 0, &file);
    if (!NT_SUCCESS(status)) return status;
    SendCleanup(file);
    *FileObject = file;
    *DeviceObject = IoGetRelatedDeviceObject(file);
    return STATUS_SUCCESS;
}

namespace {

NTSTATUS CreateFileHandle(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                          POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                          ULONG Disposition, ULONG CreateOptions, KPROCESSOR_MODE mode) {
    *FileHandle = nullptr;
    PFILE_OBJECT related = nullptr;
    if (ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr)
        return STATUS_OBJECT_NAME_INVALID;
    if (ObjectAttributes->RootDirectory != nullptr) {
        related = static_cast<PFILE_OBJECT>(
            KpLookupHandle(ObjectAttributes->RootDirectory, &kFileHandleType));
        if (related == nullptr) return STATUS_INVALID_HANDLE;
    }
    PFILE_OBJECT file;
    NTSTATUS status = OpenFile(ToU16(ObjectAttributes->ObjectName), related, mode, DesiredAccess,
                               Disposition, CreateOptions, &file);
    if (IoStatusBlock != nullptr) {
        IoStatusBlock->Status = status;
        IoStatusBlock->Information = 0;
    }
    if (!NT_SUCCESS(status)) return status;
    HANDLE handle = KpCreateHandle(file, &kFileHandleType);
    if (handle == nullptr) {
        CloseFileHandle(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *FileHandle = handle;
    return STATUS_SUCCESS;
}

// One application or kernel I/O control request on a file handle.
// With Done the request completes through it (*sent says whether it went out);
// without, the caller waits here for the end.
NTSTATUS ControlFile(HANDLE FileHandle, ULONG code, PVOID in, ULONG inLength, PVOID out,
                     ULONG outLength, KPROCESSOR_MODE mode, KP_IO_DONE* done, PVOID context,
                     PIO_STATUS_BLOCK syncIosb, bool* sent) {
    KpAssertIrql(PASSIVE_LEVEL, "NtDeviceIoControlFile");
    CallerScope caller;
    *sent = false;
    auto file = static_cast<PFILE_OBJECT>(KpLookupHandle(FileHandle, &kFileHandleType));
    if (file == nullptr) return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = AllocateIrp(StackSizeOf(top), IrpKind::Application);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->FileObject = file;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    NTSTATUS status =
        SetUpBuffers(irp, stack, METHOD_FROM_CTL_CODE(code), in, inLength, out, outLength, mode);
    if (!NT_SUCCESS(status)) {
        DiscardIrp(irp);
        ObDereferenceObject(top);
        return status;
    }
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    if (done == nullptr) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp->UserEvent = &event;
        irp->UserIosb = &iosb;
    }
    SetApplicationCompletion(irp, done, context);
    ObReferenceObject(file);
    irp->Tail.Overlay.OriginalFileObject = file;
    {
        std::lock_guard<std::recursive_mutex> guard(g_inFlightLock);
        g_inFlight.push_back({file, irp});
    }
    *sent = true;
    status = IoCallDriver(top, irp);
    ObDereferenceObject(top);
    if (done != nullptr) return status;
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, UserMode, FALSE, nullptr);
    *syncIosb = iosb;
    return iosb.Status;
}

}  // namespace

ULONG KpIoThreadsInRequests(void) {
    return g_callers.load();
}

namespace kp::io {
// Called by IofCompleteRequest at the end of every application request.
void ForgetInFlight(PIRP irp) {
    std::lock_guard<std::recursive_mutex> guard(g_inFlightLock);
    for (auto it = g_inFlight.begin(); it != g_inFlight.end(); ++it) {
        if (it->Irp == irp) {
            g_inFlight.erase(it);
            return;
        }
    }
}
}  // namespace kp::io

NTSTATUS IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                      ULONG CreateFileType, PVOID InternalParameters, ULONG Options) {
    (void)AllocationSize, (void)FileAttributes, (void)ShareAccess, (void)EaBuffer,
        (void)CreateFileType;
    (void)InternalParameters, (void)Options;
    if (EaLength != 0) KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "IoCreateFile: extended attributes");
    return CreateFileHandle(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, Disposition,
                            CreateOptions, KernelMode);
}

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
    return IoCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                        FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer,
                        EaLength, 0, nullptr, 0);
}

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
    (void)AllocationSize, (void)FileAttributes, (void)ShareAccess, (void)EaBuffer;
    if (EaLength != 0) KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "NtCreateFile: extended attributes");
    return CreateFileHandle(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                            CreateDisposition, CreateOptions, UserMode);
}

static NTSTATUS DeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                    PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
                                    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                    ULONG OutputBufferLength, KPROCESSOR_MODE mode) {
    if (Event != nullptr || ApcRoutine != nullptr) {
        DbgPrint(
            "KP I/O: asynchronous NtDeviceIoControlFile (event or APC) is not supported; use "
            "KpDeviceIoControlAsync\n");
        return STATUS_NOT_SUPPORTED;
    }
    IO_STATUS_BLOCK iosb{};
    bool sent;
    NTSTATUS status =
        ControlFile(FileHandle, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                    OutputBufferLength, mode, nullptr, nullptr, &iosb, &sent);
    if (!sent) iosb = {{status}, 0};
    if (IoStatusBlock != nullptr) *IoStatusBlock = iosb;
    return status;
}

NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength) {
    (void)ApcContext;
    return DeviceIoControlFile(FileHandle, Event, ApcRoutine, IoStatusBlock, IoControlCode,
                               InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
                               UserMode);
}

NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength) {
    (void)ApcContext;
    return DeviceIoControlFile(FileHandle, Event, ApcRoutine, IoStatusBlock, IoControlCode,
                               InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
                               KernelMode);
}

// ---------------------------------------------------------------------------
// Application requests completed through a callback
// ---------------------------------------------------------------------------
NTSTATUS KpDeviceIoControlAsync(HANDLE FileHandle, ULONG IoControlCode, PVOID InputBuffer,
                                ULONG InputBufferLength, PVOID OutputBuffer,
                                ULONG OutputBufferLength, KP_IO_DONE* Done, PVOID Context) {
    if (Done == nullptr)
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "KpDeviceIoControlAsync without a callback");
    bool sent;
    NTSTATUS status =
        ControlFile(FileHandle, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                    OutputBufferLength, UserMode, Done, Context, nullptr, &sent);
    if (!sent) {  // refused before a request went out: report it the same way
        IO_STATUS_BLOCK iosb{{status}, 0};
        Done(Context, &iosb);
    }
    return status;
}

// CancelIo: IoCancelIrp on each request of the file still in flight.  The list
// lock is held across the cancel so that no request is freed under it.
NTSTATUS KpCancelFileIo(HANDLE FileHandle) {
    auto file = static_cast<PFILE_OBJECT>(KpLookupHandle(FileHandle, &kFileHandleType));
    if (file == nullptr) return STATUS_INVALID_HANDLE;
    std::lock_guard<std::recursive_mutex> guard(g_inFlightLock);
    std::vector<PIRP> targets;
    for (auto& entry : g_inFlight) {
        if (entry.File == file) targets.push_back(entry.Irp);
    }
    for (PIRP irp : targets) {
        bool live = false;
        for (auto& entry : g_inFlight) live |= entry.Irp == irp;
        if (live) IoCancelIrp(irp);
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Counters
// ---------------------------------------------------------------------------
ULONG KpIoLiveFileObjectCount(void) {
    std::lock_guard<std::mutex> guard(g_fileLock);
    return static_cast<ULONG>(g_liveFiles.size());
}

std::string KpIoDescribeLiveObjects(void) {
    std::string text = DescribeLiveIrps() + DescribeLiveMdls();
    std::lock_guard<std::mutex> guard(g_fileLock);
    for (PFILE_OBJECT file : g_liveFiles) {
        char line[200];
        std::snprintf(line, sizeof line, "file object %p on device %p: \"%s\"\n",
                      static_cast<void*>(file), static_cast<void*>(file->DeviceObject),
                      Narrow(ToU16(&file->FileName)).c_str());
        text += line;
    }
    return text;
}
