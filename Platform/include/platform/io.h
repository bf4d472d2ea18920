// The I/O manager, Plug and Play manager and power services of the stand-in
// kernel, as drivers see them: driver, device and file objects, IRPs and their
// stack locations, MDLs, work items, device interfaces and notifications.
//
// Layouts keep the platform's field names and order where our code reads them;
// pointers are native (64-bit).  Fields whose name starts with Kp are the
// stand-in's own bookkeeping and are never touched by drivers.
#pragma once

#include "platform/ntdef.h"
#include "platform/ke.h"
#include "platform/ob.h"

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;
struct _FILE_OBJECT;
struct _IRP;
struct _IO_STACK_LOCATION;
typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
typedef struct _FILE_OBJECT* PFILE_OBJECT;
typedef struct _IRP* PIRP;
typedef struct _IO_STACK_LOCATION* PIO_STACK_LOCATION;
typedef SHORT CSHORT;

#ifndef STATUS_OBJECT_NAME_EXISTS
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000L)
#endif
#ifndef STATUS_PROCEDURE_NOT_FOUND
#define STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)
#endif
#ifndef STATUS_INVALID_IMAGE_FORMAT
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#endif
#ifndef STATUS_DATATYPE_MISALIGNMENT
#define STATUS_DATATYPE_MISALIGNMENT ((NTSTATUS)0x80000002L)
#endif
#ifndef STATUS_INVALID_USER_BUFFER
#define STATUS_INVALID_USER_BUFFER ((NTSTATUS)0xC00000E8L)
#endif
#ifndef STATUS_FILE_CLOSED
#define STATUS_FILE_CLOSED ((NTSTATUS)0xC0000128L)
#endif

// ---------------------------------------------------------------------------
// Status blocks, routines
// ---------------------------------------------------------------------------
typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
// The one symbol a driver image exports; the loader finds it by this name.
extern "C" __attribute__((visibility("default"))) DRIVER_INITIALIZE DriverEntry;

typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject,
                                   PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef VOID DRIVER_CANCEL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID IO_APC_ROUTINE(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);
typedef IO_APC_ROUTINE* PIO_APC_ROUTINE;

// ---------------------------------------------------------------------------
// Major and minor function codes
// ---------------------------------------------------------------------------
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_PNP_POWER IRP_MJ_PNP
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define IO_NO_INCREMENT 0
#define IO_SOUND_INCREMENT 8

// ---------------------------------------------------------------------------
// IOCTL codes
// ---------------------------------------------------------------------------
#define CTL_CODE(DeviceType, Function, Method, Access)                                  \
    (((ULONG)(DeviceType) << 16) | ((ULONG)(Access) << 14) | ((ULONG)(Function) << 2) | \
     (ULONG)(Method))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define METHOD_FROM_CTL_CODE(code) ((ULONG)((code)&3))
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

// ---------------------------------------------------------------------------
// Device types, characteristics and flags
// ---------------------------------------------------------------------------
typedef ULONG DEVICE_TYPE;
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_KS 0x0000002f
#define FILE_DEVICE_SOUND 0x0000001d
#define FILE_DEVICE_UNKNOWN 0x00000022

#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

// File access rights (the standard and generic rights are the object manager's).
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)

// ---------------------------------------------------------------------------
// Driver object
// ---------------------------------------------------------------------------
typedef struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct KpDriverInternals;  // the loader's record of the driver (image, devices, extensions)

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;  // first of the driver's device objects
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    KpDriverInternals* KpDriver;
} DRIVER_OBJECT;

// ---------------------------------------------------------------------------
// Device object
// ---------------------------------------------------------------------------
struct KpDeviceNode;  // the PnP manager's node of a physical device object

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;  // not kept here: the object table counts references
                          // (KpObjectReferenceCount)
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;      // next device object of the same driver
    PDEVICE_OBJECT AttachedDevice;  // the device attached directly above
    PIRP CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
    // Stand-in bookkeeping.
    PDEVICE_OBJECT KpAttachedTo;  // the device directly below (set before the object is reachable)
    KpDeviceNode* KpNode;         // set on physical device objects the PnP manager created
    BOOLEAN KpDeleted;            // IoDeleteDevice was called; freed at the last reference
    UNICODE_STRING KpName;        // the name given to IoCreateDevice, if any
} DEVICE_OBJECT;

// ---------------------------------------------------------------------------
// File object
// ---------------------------------------------------------------------------
typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;  // the named device the file was opened on
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;  // Length is authoritative; no terminator is assumed
    LARGE_INTEGER CurrentByteOffset;
    // Stand-in bookkeeping.
    LONG KpReferenceCount;
    LONG KpHandleCount;
    BOOLEAN KpCreated;  // the create reached a successful end: cleanup and close are sent
} FILE_OBJECT;

#define FO_SYNCHRONOUS_IO 0x00000002

// ---------------------------------------------------------------------------
// Memory descriptor lists
// ---------------------------------------------------------------------------
typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;  // valid when MDL_MAPPED_TO_SYSTEM_VA or MDL_SOURCE_IS_NONPAGED_POOL
    PVOID StartVa;         // page-aligned start
    ULONG ByteCount;
    ULONG ByteOffset;  // offset of the buffer in its first page
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_IO_SPACE 0x0800
#define MDL_MAPPING_CAN_FAIL 0x2000

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

typedef enum _LOCK_OPERATION {
    IoReadAccess = 0,
    IoWriteAccess = 1,
    IoModifyAccess = 2
} LOCK_OPERATION;
typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;
typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2
} MEMORY_CACHING_TYPE;

// As an address value: the StartVa of a buffer in the first page is null,
// and no pointer arithmetic is done on it.
inline PVOID MmGetMdlVirtualAddress(const MDL* mdl) {
    return reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(mdl->StartVa) + mdl->ByteOffset);
}
inline ULONG MmGetMdlByteCount(const MDL* mdl) {
    return mdl->ByteCount;
}
inline ULONG MmGetMdlByteOffset(const MDL* mdl) {
    return mdl->ByteOffset;
}

// ---------------------------------------------------------------------------
// Plug and Play types
// ---------------------------------------------------------------------------
typedef enum _DEVICE_RELATION_TYPE {
    BusRelations = 0,
    EjectionRelations = 1,
    PowerRelations = 2,
    RemovalRelations = 3,
    TargetDeviceRelation = 4,
    SingleBusRelations = 5,
    TransportRelations = 6
} DEVICE_RELATION_TYPE;

typedef struct _DEVICE_RELATIONS {
    ULONG Count;
    PDEVICE_OBJECT Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;

typedef VOID INTERFACE_REFERENCE(PVOID Context);
typedef INTERFACE_REFERENCE* PINTERFACE_REFERENCE;
typedef VOID INTERFACE_DEREFERENCE(PVOID Context);
typedef INTERFACE_DEREFERENCE* PINTERFACE_DEREFERENCE;
typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;

typedef ULONG PNP_DEVICE_STATE, *PPNP_DEVICE_STATE;
#define PNP_DEVICE_DISABLED 0x00000001
#define PNP_DEVICE_DONT_DISPLAY_IN_UI 0x00000002
#define PNP_DEVICE_FAILED 0x00000004
#define PNP_DEVICE_REMOVED 0x00000008
#define PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED 0x00000010
#define PNP_DEVICE_NOT_DISABLEABLE 0x00000020

typedef enum _BUS_QUERY_ID_TYPE {
    BusQueryDeviceID = 0,
    BusQueryHardwareIDs = 1,
    BusQueryCompatibleIDs = 2,
    BusQueryInstanceID = 3
} BUS_QUERY_ID_TYPE;

// ---------------------------------------------------------------------------
// Power types
// ---------------------------------------------------------------------------
typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6
} SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4
} DEVICE_POWER_STATE;
typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;
typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;
typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionSleep = 2,
    PowerActionShutdown = 4
} POWER_ACTION;

// ---------------------------------------------------------------------------
// IRP and stack locations
// ---------------------------------------------------------------------------
typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            BUS_QUERY_ID_TYPE IdType;
        } QueryId;
        struct {
            PVOID AllocatedResources;
            PVOID AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            POWER_ACTION ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION;

// Control bits of a stack location.
#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// IRP flags.
#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_BUFFERED_IO 0x00000010
#define IRP_DEALLOCATE_BUFFER 0x00000020
#define IRP_INPUT_OPERATION 0x00000040
#define IRP_CREATE_OPERATION 0x00000080
#define IRP_READ_OPERATION 0x00000100
#define IRP_WRITE_OPERATION 0x00000200
#define IRP_CLOSE_OPERATION 0x00000400

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;  // StackCount + 1 before the first IoCallDriver; 1 is the last location
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PIO_APC_ROUTINE UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;  // exchanged atomically (IoSetCancelRoutine)
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    struct _IO_STACK_LOCATION* CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
} IRP;

// ---------------------------------------------------------------------------
// Driver and device objects
// ---------------------------------------------------------------------------
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice);
NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT* AttachedToDeviceObject);
VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice);
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject);

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject,
                                         PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize,
                                         PVOID* DriverObjectExtension);
PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress);

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);

// ---------------------------------------------------------------------------
// IRPs
// ---------------------------------------------------------------------------
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID IoFreeIrp(PIRP Irp);
VOID IoReuseIrp(PIRP Irp, NTSTATUS Status);
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock);

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}
inline VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    IofCompleteRequest(Irp, PriorityBoost);
}

// Stack-location accessors.  A step past the first or the last location is a
// bug check (NO_MORE_IRP_STACK_LOCATIONS), never a silent write outside the IRP.
PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp);
PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp);
VOID IoSkipCurrentIrpStackLocation(PIRP Irp);
VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp);
VOID IoSetNextIrpStackLocation(PIRP Irp);
VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel);
inline VOID IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

// Cancellation.
PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
BOOLEAN IoCancelIrp(PIRP Irp);
VOID IoAcquireCancelSpinLock(PKIRQL Irql);
VOID IoReleaseCancelSpinLock(KIRQL Irql);

// ---------------------------------------------------------------------------
// Memory descriptor lists and user buffers
// ---------------------------------------------------------------------------
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp);
VOID IoFreeMdl(PMDL Mdl);
// Raises (a bug check in the stand-in, as an unhandled kernel exception) when the
// range cannot be locked; callers that must survive a bad user range use the
// status-returning KpProbeAndLockPages below.
VOID MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
NTSTATUS KpProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
VOID MmUnlockPages(PMDL Mdl);
VOID MmBuildMdlForNonPagedPool(PMDL Mdl);
PVOID MmMapLockedPages(PMDL Mdl, KPROCESSOR_MODE AccessMode);
PVOID MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority);
VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl);
PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);
// Checks that a user-mode range lies in memory the application owns; the
// status-returning form stands for the probe inside an exception handler.
NTSTATUS KpProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment);
NTSTATUS KpProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment);
VOID ProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment);
VOID ProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment);

// ---------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------
typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;
typedef VOID IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2
} WORK_QUEUE_TYPE;

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context);
VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

// ---------------------------------------------------------------------------
// Plug and Play services
// ---------------------------------------------------------------------------
typedef enum _DEVICE_REGISTRY_PROPERTY {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
    DevicePropertyCompatibleIDs = 2,
    DevicePropertyBootConfiguration = 3,
    DevicePropertyBootConfigurationTranslated = 4,
    DevicePropertyClassName = 5,
    DevicePropertyClassGuid = 6,
    DevicePropertyDriverKeyName = 7,
    DevicePropertyManufacturer = 8,
    DevicePropertyFriendlyName = 9,
    DevicePropertyLocationInformation = 10,
    DevicePropertyPhysicalDeviceObjectName = 11,
    DevicePropertyBusTypeGuid = 12,
    DevicePropertyLegacyBusType = 13,
    DevicePropertyBusNumber = 14,
    DevicePropertyEnumeratorName = 15
} DEVICE_REGISTRY_PROPERTY;

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);
NTSTATUS IoGetDeviceInterfaceAlias(PUNICODE_STRING SymbolicLinkName,
                                   const GUID* AliasInterfaceClassGuid,
                                   PUNICODE_STRING AliasSymbolicLinkName);
#define DEVICE_INTERFACE_INCLUDE_NONACTIVE 0x00000001
// The list is a pool block of terminated links ending in an empty one; the caller frees it
// (ExFreePool).
NTSTATUS IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject,
                               ULONG Flags, PWSTR* SymbolicLinkList);

typedef enum _IO_NOTIFICATION_EVENT_CATEGORY {
    EventCategoryReserved = 0,
    EventCategoryHardwareProfileChange = 1,
    EventCategoryDeviceInterfaceChange = 2,
    EventCategoryTargetDeviceChange = 3
} IO_NOTIFICATION_EVENT_CATEGORY;
#define PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES 0x00000001

typedef NTSTATUS DRIVER_NOTIFICATION_CALLBACK_ROUTINE(PVOID NotificationStructure, PVOID Context);
typedef DRIVER_NOTIFICATION_CALLBACK_ROUTINE* PDRIVER_NOTIFICATION_CALLBACK_ROUTINE;

typedef struct _DEVICE_INTERFACE_CHANGE_NOTIFICATION {
    USHORT Version;
    USHORT Size;
    GUID Event;  // GUID_DEVICE_INTERFACE_ARRIVAL or GUID_DEVICE_INTERFACE_REMOVAL
    GUID InterfaceClassGuid;
    PUNICODE_STRING SymbolicLinkName;
} DEVICE_INTERFACE_CHANGE_NOTIFICATION, *PDEVICE_INTERFACE_CHANGE_NOTIFICATION;

DEFINE_GUID(GUID_DEVICE_INTERFACE_ARRIVAL, 0xCB3A4004, 0x46F0, 0x11D0, 0xB0, 0x8F, 0x00, 0x60, 0x97,
            0x13, 0x05, 0x3F);
DEFINE_GUID(GUID_DEVICE_INTERFACE_REMOVAL, 0xCB3A4005, 0x46F0, 0x11D0, 0xB0, 0x8F, 0x00, 0x60, 0x97,
            0x13, 0x05, 0x3F);

NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                        ULONG EventCategoryFlags, PVOID EventCategoryData,
                                        PDRIVER_OBJECT DriverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                        PVOID Context, PVOID* NotificationEntry);
NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry);

// ---------------------------------------------------------------------------
// Power
// ---------------------------------------------------------------------------
VOID PoStartNextPowerIrp(PIRP Irp);
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);

// ---------------------------------------------------------------------------
// Files: the create path from kernel and application callers
// ---------------------------------------------------------------------------
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_OPEN 0x00000001
#define FILE_OPEN_IF 0x00000003
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define IO_NO_PARAMETER_CHECKING 0x0100

// Opens ObjectAttributes->ObjectName: a device or symbolic-link name, optionally
// followed by a file name that the device's driver sees in FileObject->FileName,
// or, with RootDirectory set to a file handle, a name relative to that file
// (RelatedFileObject).  The handle's last close sends IRP_MJ_CLEANUP; the last
// reference on the file object sends IRP_MJ_CLOSE.
NTSTATUS IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                      ULONG CreateFileType, PVOID InternalParameters, ULONG Options);
NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
// The application's entry: as ZwCreateFile, with the requestor mode UserMode.
NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
// Sends an I/O control request on a file handle.  UserMode callers (NtDeviceIoControlFile)
// pass buffers from application memory (KpUserAlloc); the request completes
// asynchronously when the driver pends it: Event (optional) is set and
// IoStatusBlock filled at completion, and STATUS_PENDING is returned.
NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength);
NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength);

// Object type of file objects and their handles (for ObReferenceObjectByHandle).
extern POBJECT_TYPE* IoFileObjectType;  // callers write *IoFileObjectType
extern POBJECT_TYPE* IoDeviceObjectType;
