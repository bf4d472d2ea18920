// Object manager: reference-counted objects, handles and access rights.
//
// Two tables live here.  The object table counts references to objects that
// other areas register (thread objects here; device and file objects in the I/O
// manager): ObReferenceObject / ObDereferenceObject work on any registered
// object, and the last dereference calls its type's Close routine, which frees
// it.  The handle table names an object of a given type by a HANDLE; closing the
// handle calls the type's Close routine.  Handle values are never 0 and never
// reused within a process.
#pragma once

#include "platform/ntdef.h"

// ---------------------------------------------------------------------------
// Access rights
// ---------------------------------------------------------------------------
#ifndef DELETE
#define DELETE 0x00010000L
#endif
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

// ---------------------------------------------------------------------------
// Host object types.  Close(Object) runs when the last handle of a handle-table
// entry is closed, and, for objects registered with KpInsertObject, when the last
// reference goes.  It runs outside every object-manager lock.
// ---------------------------------------------------------------------------
typedef struct _KP_OBJECT_TYPE {
    const char* Name;
    void (*Close)(PVOID Object);
} KP_OBJECT_TYPE;

// The platform passes object types as POBJECT_TYPE; ours are the host types.
typedef const KP_OBJECT_TYPE* POBJECT_TYPE;
extern const POBJECT_TYPE* PsThreadType;  // callers write *PsThreadType

// Handle table.
HANDLE KpCreateHandle(PVOID Object, const KP_OBJECT_TYPE* Type);  // NULL on failure
PVOID KpLookupHandle(HANDLE Handle,
                     const KP_OBJECT_TYPE* Type);  // NULL if unknown or not that type
// STATUS_INVALID_HANDLE for unknown handles; otherwise removes the handle, calls
// Type->Close(Object) and returns STATUS_SUCCESS.  IRQL == PASSIVE_LEVEL.
NTSTATUS ZwClose(HANDLE Handle);
ULONG KpOpenHandleCount(const KP_OBJECT_TYPE* Type /* NULL = all */);  // for leak checks

// Object table.  KpInsertObject registers Object with one reference (the
// creator's); STATUS_OBJECT_NAME_COLLISION if it is already registered.
NTSTATUS KpInsertObject(PVOID Object, const KP_OBJECT_TYPE* Type);
// The object's reference count, or -1 when Object is not registered.
LONG KpObjectReferenceCount(PVOID Object);
// The type an object was registered with, or NULL.
const KP_OBJECT_TYPE* KpObjectType(PVOID Object);
ULONG KpLiveObjectCount(const KP_OBJECT_TYPE* Type /* NULL = all */);
// A handle to a registered object: takes a reference that ZwClose gives back.
// NULL on failure (or when Object is not registered).
HANDLE KpCreateObjectHandle(PVOID Object);

// ---------------------------------------------------------------------------
// The platform's reference routines.  A reference to something that is not a
// registered object, or a dereference below zero, is a bug check.  Both return
// the new count.  IRQL <= DISPATCH_LEVEL.
// ---------------------------------------------------------------------------
LONG_PTR ObReferenceObject(PVOID Object);
LONG_PTR ObDereferenceObject(PVOID Object);
#define ObfReferenceObject ObReferenceObject
#define ObfDereferenceObject ObDereferenceObject

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// Looks the handle up and returns its object with one more reference.  The
// handle's object must be a registered (reference-counted) object; ObjectType,
// when not NULL, must match it (STATUS_OBJECT_TYPE_MISMATCH).  Unknown handles
// give STATUS_INVALID_HANDLE.  IRQL == PASSIVE_LEVEL.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation);
