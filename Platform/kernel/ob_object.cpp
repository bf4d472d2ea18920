// Object manager: the reference-counted object table and the handle table.
#include <map>
#include <unordered_map>

#include "ke_private.h"

namespace {

struct ObjectEntry {
    const KP_OBJECT_TYPE* Type;
    LONG References;
};

struct HandleEntry {
    PVOID Object;
    const KP_OBJECT_TYPE* Type;
};

// Never destroyed: detached threads may still drop references while the process exits.
std::mutex& gObjectLock = *new std::mutex;
std::unordered_map<PVOID, ObjectEntry>& gObjects = *new std::unordered_map<PVOID, ObjectEntry>;

std::mutex& gHandleLock = *new std::mutex;
std::map<ULONG_PTR, HandleEntry>& gHandles = *new std::map<ULONG_PTR, HandleEntry>;
ULONG_PTR gNextHandle = 4;  // multiples of 4, never 0, never reused

// Handles made by KpCreateObjectHandle: closing one gives back its reference.
void CloseObjectHandle(PVOID Object) {
    ObDereferenceObject(Object);
}
const KP_OBJECT_TYPE kObjectHandleType = {"ObjectHandle", CloseObjectHandle};

bool LookupAny(HANDLE Handle, HandleEntry* Entry) {
    std::lock_guard<std::mutex> lock(gHandleLock);
    auto it = gHandles.find(reinterpret_cast<ULONG_PTR>(Handle));
    if (it == gHandles.end()) return false;
    *Entry = it->second;
    return true;
}

}  // namespace

HANDLE KpCreateHandle(PVOID Object, const KP_OBJECT_TYPE* Type) {
    if (Object == nullptr || Type == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(gHandleLock);
    ULONG_PTR value = gNextHandle;
    gNextHandle += 4;
    gHandles[value] = {Object, Type};
    return reinterpret_cast<HANDLE>(value);
}

PVOID KpLookupHandle(HANDLE Handle, const KP_OBJECT_TYPE* Type) {
    HandleEntry entry;
    if (!LookupAny(Handle, &entry) || entry.Type != Type) return nullptr;
    return entry.Object;
}

ULONG KpOpenHandleCount(const KP_OBJECT_TYPE* Type) {
    std::lock_guard<std::mutex> lock(gHandleLock);
    ULONG count = 0;
    for (const auto& entry : gHandles) {
        if (Type == nullptr || entry.second.Type == Type) ++count;
    }
    return count;
}

HANDLE KpCreateObjectHandle(PVOID Object) {
    {
        std::lock_guard<std::mutex> lock(gObjectLock);
        auto it = gObjects.find(Object);
        if (it == gObjects.end()) return nullptr;
        ++it->second.References;
    }
    HANDLE handle = KpCreateHandle(Object, &kObjectHandleType);
    if (handle == nullptr) ObDereferenceObject(Object);
    return handle;
}

// ---------------------------------------------------------------------------
// ZwClose
// ---------------------------------------------------------------------------
NTSTATUS ZwClose(HANDLE Handle) {
    KpAssertIrql(PASSIVE_LEVEL, "ZwClose");
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> lock(gHandleLock);
        auto it = gHandles.find(reinterpret_cast<ULONG_PTR>(Handle));
        if (it == gHandles.end()) return STATUS_INVALID_HANDLE;
        entry = it->second;
        gHandles.erase(it);
    }
    if (entry.Type->Close != nullptr) entry.Type->Close(entry.Object);
    return STATUS_SUCCESS;
}

NTSTATUS KpInsertObject(PVOID Object, const KP_OBJECT_TYPE* Type) {
    if (Object == nullptr || Type == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(gObjectLock);
    if (!gObjects.emplace(Object, ObjectEntry{Type, 1}).second) return STATUS_OBJECT_NAME_COLLISION;
    return STATUS_SUCCESS;
}

LONG KpObjectReferenceCount(PVOID Object) {
    std::lock_guard<std::mutex> lock(gObjectLock);
    auto it = gObjects.find(Object);
    return it == gObjects.end() ? -1 : it->second.References;
}

const KP_OBJECT_TYPE* KpObjectType(PVOID Object) {
    std::lock_guard<std::mutex> lock(gObjectLock);
    auto it = gObjects.find(Object);
    return it == gObjects.end() ? nullptr : it->second.Type;
}

ULONG KpLiveObjectCount(const KP_OBJECT_TYPE* Type) {
    std::lock_guard<std::mutex> lock(gObjectLock);
    ULONG count = 0;
    for (const auto& entry : gObjects) {
        if (Type == nullptr || entry.second.Type == Type) ++count;
    }
    return count;
}

// ---------------------------------------------------------------------------
// ObReferenceObject
// ---------------------------------------------------------------------------
LONG_PTR ObReferenceObject(PVOID Object) {
    KpAssertIrql(DISPATCH_LEVEL, "ObReferenceObject");
    std::lock_guard<std::mutex> lock(gObjectLock);
    auto it = gObjects.find(Object);
    if (it == gObjects.end()) {
        KpBugCheck(KP_BUGCHECK_INVALID_OBJECT, "ObReferenceObject: %p is not a live object",
                   Object);
    }
    return ++it->second.References;
}

// ---------------------------------------------------------------------------
// ObDereferenceObject
// ---------------------------------------------------------------------------
LONG_PTR ObDereferenceObject(PVOID Object) {
    KpAssertIrql(DISPATCH_LEVEL, "ObDereferenceObject");
    const KP_OBJECT_TYPE* type;
    {
        std::lock_guard<std::mutex> lock(gObjectLock);
        auto it = gObjects.find(Object);
        if (it == gObjects.end()) {
            KpBugCheck(KP_BUGCHECK_INVALID_OBJECT,
                       "ObDereferenceObject: %p is not a live object (freed already?)", Object);
        }
        if (--it->second.References > 0) return it->second.References;
        type = it->second.Type;
        gObjects.erase(it);
    }
    if (type->Close != nullptr) type->Close(Object);
    return 0;
}

// ---------------------------------------------------------------------------
// ObReferenceObjectByHandle
// ---------------------------------------------------------------------------
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    UNREFERENCED_PARAMETER(AccessMode);
    KpAssertIrql(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    *Object = nullptr;
    PVOID object;
    {
        // The handle stays valid while the reference is taken (handle lock, then object lock).
        std::lock_guard<std::mutex> handleLock(gHandleLock);
        auto handle = gHandles.find(reinterpret_cast<ULONG_PTR>(Handle));
        if (handle == gHandles.end()) return STATUS_INVALID_HANDLE;
        object = handle->second.Object;
        std::lock_guard<std::mutex> lock(gObjectLock);
        auto it = gObjects.find(object);
        if (it == gObjects.end()) {
            // A handle to something that is not reference-counted (a registry key).
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (ObjectType != nullptr && it->second.Type != ObjectType)
            return STATUS_OBJECT_TYPE_MISMATCH;
        ++it->second.References;
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    *Object = object;
    return STATUS_SUCCESS;
}
