// The kernel's registry calls over the machine's registry store.
//
// A key handle is an entry of the executive's handle table naming a KeyObject:
// the key and the access granted at open (generic rights mapped to key rights).
// These are the kernel's own calls: the caller's previous mode is kernel mode, so,
// as on the platform, the access granted to the handle is recorded but not held
// against the call (a driver may write values through a handle opened with
// STANDARD_RIGHTS_REQUIRED only).  The store keeps no key security.  All routines run at
// PASSIVE_LEVEL; a call above it is a bug check.

#include <cstdio>
#include <mutex>
#include <unordered_set>

#include "kp/bugcheck.h"
#include "kp/registry.h"
#include "platform/ke.h"
#include "platform/ob.h"
#include "platform/rtl.h"
#include "platform/zw.h"

using kp::reg::KeyInfo;
using kp::reg::KeyRef;
using kp::reg::NamedValue;

namespace {

struct KeyObject {
    KeyRef key;
    ACCESS_MASK granted;
};

// Key objects still named by a handle.  A call racing with ZwClose of its own
// handle finds its object gone here instead of reading freed memory.
std::mutex g_liveLock;
std::unordered_set<const KeyObject*> g_live;

void CloseKeyObject(PVOID object) {
    {
        std::lock_guard<std::mutex> lock(g_liveLock);
        g_live.erase(static_cast<const KeyObject*>(object));
    }
    delete static_cast<KeyObject*>(object);
}

const KP_OBJECT_TYPE kKeyObjectType = {"Key", &CloseKeyObject};

LONGLONG MachineTime() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

// The machine's store stamps last-write times with the machine clock from load on.
const bool g_machineClockSet = (kp::reg::Machine().SetClock(&MachineTime), true);

kp::reg::Store& Registry() {
    return kp::reg::Machine();
}

// Something the stand-in does not do: said on stderr, and the caller fails.
NTSTATUS Unsupported(const char* routine, const char* what) {
    std::fprintf(stderr, "%s: %s is not supported by the stand-in registry\n", routine, what);
    return STATUS_NOT_SUPPORTED;
}

ACCESS_MASK MapAccess(ACCESS_MASK desired) {
    ACCESS_MASK granted =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) granted |= KEY_READ;
    if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) granted |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
    return granted;
}

HANDLE NewKeyHandle(KeyRef key, ACCESS_MASK desired) {
    auto* object = new KeyObject{std::move(key), MapAccess(desired)};
    {
        std::lock_guard<std::mutex> lock(g_liveLock);
        g_live.insert(object);
    }
    const HANDLE handle = KpCreateHandle(object, &kKeyObjectType);
    if (!handle) CloseKeyObject(object);
    return handle;
}

// The key and granted access behind a handle; false for anything but a key handle.
bool LookUp(HANDLE handle, KeyRef* key, ACCESS_MASK* granted) {
    const auto* object = static_cast<const KeyObject*>(KpLookupHandle(handle, &kKeyObjectType));
    std::lock_guard<std::mutex> lock(g_liveLock);
    if (!object || !g_live.count(object)) return false;
    *key = object->key;
    *granted = object->granted;
    return true;
}

// The key behind a handle.  `needed` names the right a user-mode caller would
// need; kernel-mode callers are not held to it (see the top of this file).
NTSTATUS KeyOf(HANDLE handle, ACCESS_MASK needed, KeyRef* key) {
    (void)needed;
    ACCESS_MASK granted = 0;
    if (!LookUp(handle, key, &granted)) return STATUS_INVALID_HANDLE;
    return STATUS_SUCCESS;
}

// A counted name as text; odd byte counts and missing buffers are refused.
bool TextOf(PCUNICODE_STRING string, std::u16string_view* text) {
    if (!string || string->Length % 2 != 0 || (string->Length != 0 && !string->Buffer))
        return false;
    *text = std::u16string_view(string->Buffer, string->Length / sizeof(WCHAR));
    return true;
}

ULONG Bytes(const std::u16string& text) {
    return static_cast<ULONG>(text.size() * sizeof(WCHAR));
}

// One information record: a fixed part of `fixed` bytes (the head of `header`),
// then variable parts at their offsets, `total` bytes in all.  The platform's
// protocol: ResultLength is always what the whole record needs; a buffer smaller
// than the fixed part gets nothing (STATUS_BUFFER_TOO_SMALL); one that holds the
// fixed part but not the rest gets the fixed part (STATUS_BUFFER_OVERFLOW).
struct Part {
    size_t offset;
    const void* data;
    size_t size;
};

template <typename Header>
NTSTATUS WriteRecord(const Header& header, size_t fixed, size_t total,
                     std::initializer_list<Part> parts, PVOID buffer, ULONG length,
                     PULONG resultLength) {
    if (total > 0xFFFFFFFFu) return STATUS_INSUFFICIENT_RESOURCES;
    *resultLength = static_cast<ULONG>(total);
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    auto* out = static_cast<uint8_t*>(buffer);
    std::memcpy(out, &header, fixed);
    if (length < total) return STATUS_BUFFER_OVERFLOW;
    for (const Part& part : parts) {
        if (part.size) std::memcpy(out + part.offset, part.data, part.size);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CheckOutput(PVOID buffer, ULONG length, PULONG resultLength) {
    return (!resultLength || (length != 0 && !buffer)) ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS ValueRecord(const char* routine, const NamedValue& value,
                     KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                     PULONG resultLength) {
    const ULONG nameBytes = Bytes(value.Name);
    const ULONG dataBytes = static_cast<ULONG>(value.Data.size());
    switch (infoClass) {
        case KeyValueBasicInformation: {
            const KEY_VALUE_BASIC_INFORMATION header{0, value.Type, nameBytes, {}};
            const size_t fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
            return WriteRecord(header, fixed, fixed + nameBytes,
                               {{fixed, value.Name.data(), nameBytes}}, buffer, length,
                               resultLength);
        }
        case KeyValueFullInformation: {
            const size_t fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
            const size_t dataOffset =
                (fixed + nameBytes + 7) & ~size_t{7};  // 64-bit data lands aligned
            const KEY_VALUE_FULL_INFORMATION header{
                0, value.Type, static_cast<ULONG>(dataOffset), dataBytes, nameBytes, {}};
            return WriteRecord(
                header, fixed, dataOffset + dataBytes,
                {{fixed, value.Name.data(), nameBytes}, {dataOffset, value.Data.data(), dataBytes}},
                buffer, length, resultLength);
        }
        case KeyValuePartialInformation: {
            const KEY_VALUE_PARTIAL_INFORMATION header{0, value.Type, dataBytes, {}};
            const size_t fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            return WriteRecord(header, fixed, fixed + dataBytes,
                               {{fixed, value.Data.data(), dataBytes}}, buffer, length,
                               resultLength);
        }
        case KeyValueFullInformationAlign64:
        case KeyValuePartialInformationAlign64:
            return Unsupported(routine, "the Align64 information classes");
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS KeyRecord(const char* routine, const KeyInfo& info, const std::u16string& path,
                   KEY_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                   PULONG resultLength) {
    LARGE_INTEGER lastWrite;
    lastWrite.QuadPart = info.LastWriteTime;
    const ULONG nameBytes = Bytes(info.Name);
    const ULONG classBytes = Bytes(info.Class);
    switch (infoClass) {
        case KeyBasicInformation: {
            const KEY_BASIC_INFORMATION header{lastWrite, 0, nameBytes, {}};
            const size_t fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
            return WriteRecord(header, fixed, fixed + nameBytes,
                               {{fixed, info.Name.data(), nameBytes}}, buffer, length,
                               resultLength);
        }
        case KeyNodeInformation: {
            const size_t fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
            const size_t classOffset = fixed + nameBytes;
            const KEY_NODE_INFORMATION header{
                lastWrite, 0, static_cast<ULONG>(classOffset), classBytes, nameBytes, {}};
            return WriteRecord(header, fixed, classOffset + classBytes,
                               {{fixed, info.Name.data(), nameBytes},
                                {classOffset, info.Class.data(), classBytes}},
                               buffer, length, resultLength);
        }
        case KeyFullInformation: {
            const size_t fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
            const KEY_FULL_INFORMATION header{lastWrite,
                                              0,
                                              static_cast<ULONG>(fixed),
                                              classBytes,
                                              info.SubKeys,
                                              info.MaxNameLen,
                                              info.MaxClassLen,
                                              info.Values,
                                              info.MaxValueNameLen,
                                              info.MaxValueDataLen,
                                              {}};
            return WriteRecord(header, fixed, fixed + classBytes,
                               {{fixed, info.Class.data(), classBytes}}, buffer, length,
                               resultLength);
        }
        case KeyNameInformation: {
            if (path.empty()) return STATUS_INVALID_PARAMETER;  // not a class of ZwEnumerateKey
            const ULONG pathBytes = Bytes(path);
            const KEY_NAME_INFORMATION header{pathBytes, {}};
            const size_t fixed = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
            return WriteRecord(header, fixed, fixed + pathBytes, {{fixed, path.data(), pathBytes}},
                               buffer, length, resultLength);
        }
        case KeyCachedInformation:
        case KeyFlagsInformation:
        case KeyVirtualizationInformation:
        case KeyHandleTagsInformation:
            return Unsupported(routine, "this key information class");
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

// ZwOpenKey and ZwCreateKey: one level created at most, the parent must exist.
NTSTATUS OpenKeyHandle(const char* routine, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                       POBJECT_ATTRIBUTES attributes, bool create, PUNICODE_STRING keyClass,
                       ULONG createOptions, PULONG disposition) {
    KpAssertIrql(PASSIVE_LEVEL, routine);
    if (!keyHandle || !attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    *keyHandle = nullptr;
    constexpr ULONG kKnownAttributes =
        OBJ_INHERIT | OBJ_CASE_INSENSITIVE | OBJ_OPENIF | OBJ_KERNEL_HANDLE;
    if (attributes->Attributes & ~kKnownAttributes)
        return Unsupported(
            routine,
            "an object attribute other than case-insensitive, inherit, open-if or kernel handle");
    if (attributes->SecurityDescriptor || attributes->SecurityQualityOfService)
        return Unsupported(routine, "a security descriptor");
    std::u16string_view name;
    if (!TextOf(attributes->ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;
    KeyRef base;
    if (attributes->RootDirectory) {
        const NTSTATUS status = KeyOf(attributes->RootDirectory, 0, &base);
        if (!NT_SUCCESS(status)) return status;
    }
    kp::reg::CreateKeyOptions options;
    if (create) {
        if (createOptions & ~(REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK |
                              REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK))
            return STATUS_INVALID_PARAMETER;
        if (createOptions &
            (REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK))
            return Unsupported(routine, "symbolic-link and backup-restore keys");
        options.Volatile = (createOptions & REG_OPTION_VOLATILE) != 0;
        if (keyClass && !TextOf(keyClass, &options.Class)) return STATUS_INVALID_PARAMETER;
    }
    KeyRef key;
    ULONG result = REG_OPENED_EXISTING_KEY;
    const NTSTATUS status = create ? Registry().CreateKey(base, name, options, &key, &result)
                                   : Registry().OpenKey(base, name, &key);
    if (!NT_SUCCESS(status)) return status;
    *keyHandle = NewKeyHandle(std::move(key), desiredAccess);
    if (!*keyHandle) return STATUS_INSUFFICIENT_RESOURCES;
    if (disposition) *disposition = result;
    return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Host access for the I/O manager and tests
// ---------------------------------------------------------------------------
HANDLE KpRegOpenKeyHandle(std::u16string_view path, ACCESS_MASK access, bool create,
                          NTSTATUS* status) {
    KpAssertIrql(PASSIVE_LEVEL, "KpRegOpenKeyHandle");
    KeyRef key;
    kp::reg::CreateKeyOptions options;
    options.CreateIntermediate = true;
    NTSTATUS result = create ? Registry().CreateKey(nullptr, path, options, &key)
                             : Registry().OpenKey(nullptr, path, &key);
    HANDLE handle = nullptr;
    if (NT_SUCCESS(result)) {
        handle = NewKeyHandle(std::move(key), access);
        if (!handle) result = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (status) *status = result;
    return handle;
}

HANDLE KpRegCreateKeyHandle(const KeyRef& key, ACCESS_MASK access) {
    return key ? NewKeyHandle(key, access) : nullptr;
}

KeyRef KpRegKeyFromHandle(HANDLE handle, ACCESS_MASK* grantedAccess) {
    KeyRef key;
    ACCESS_MASK granted = 0;
    if (!LookUp(handle, &key, &granted)) return nullptr;
    if (grantedAccess) *grantedAccess = granted;
    return key;
}

ULONG KpRegOpenKeyHandleCount() {
    return KpOpenHandleCount(&kKeyObjectType);
}

// ---------------------------------------------------------------------------
// ZwOpenKey / ZwCreateKey
// ---------------------------------------------------------------------------
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    return OpenKeyHandle("ZwOpenKey", KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr, 0,
                         nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition) {
    UNREFERENCED_PARAMETER(TitleIndex);  // title indexes are not used by the platform any more
    return OpenKeyHandle("ZwCreateKey", KeyHandle, DesiredAccess, ObjectAttributes, true, Class,
                         CreateOptions, Disposition);
}

// ---------------------------------------------------------------------------
// ZwDeleteKey: the key must have no subkeys; needs DELETE.
// ---------------------------------------------------------------------------
NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    KpAssertIrql(PASSIVE_LEVEL, "ZwDeleteKey");
    KeyRef key;
    const NTSTATUS status = KeyOf(KeyHandle, DELETE, &key);
    return NT_SUCCESS(status) ? Registry().DeleteKey(key) : status;
}

// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    KpAssertIrql(PASSIVE_LEVEL, "ZwQueryValueKey");
    KeyRef key;
    NTSTATUS status = KeyOf(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (!TextOf(ValueName, &name)) return STATUS_INVALID_PARAMETER;
    status = CheckOutput(KeyValueInformation, Length, ResultLength);
    if (!NT_SUCCESS(status)) return status;
    NamedValue value;
    status = Registry().QueryValue(key, name, &value);
    if (!NT_SUCCESS(status)) return status;
    return ValueRecord("ZwQueryValueKey", value, KeyValueInformationClass, KeyValueInformation,
                       Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    UNREFERENCED_PARAMETER(TitleIndex);
    KpAssertIrql(PASSIVE_LEVEL, "ZwSetValueKey");
    KeyRef key;
    const NTSTATUS status = KeyOf(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (!TextOf(ValueName, &name)) return STATUS_INVALID_PARAMETER;
    return Registry().SetValue(key, name, Type, Data, DataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    KpAssertIrql(PASSIVE_LEVEL, "ZwDeleteValueKey");
    KeyRef key;
    const NTSTATUS status = KeyOf(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (!TextOf(ValueName, &name)) return STATUS_INVALID_PARAMETER;
    return Registry().DeleteValue(key, name);
}

// ---------------------------------------------------------------------------
// Enumeration and key information
// ---------------------------------------------------------------------------
NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    KpAssertIrql(PASSIVE_LEVEL, "ZwEnumerateKey");
    KeyRef key;
    NTSTATUS status = KeyOf(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status)) return status;
    status = CheckOutput(KeyInformation, Length, ResultLength);
    if (!NT_SUCCESS(status)) return status;
    KeyInfo info;
    status = Registry().EnumerateKey(key, Index, &info);
    if (!NT_SUCCESS(status)) return status;
    return KeyRecord("ZwEnumerateKey", info, {}, KeyInformationClass, KeyInformation, Length,
                     ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    KpAssertIrql(PASSIVE_LEVEL, "ZwEnumerateValueKey");
    KeyRef key;
    NTSTATUS status = KeyOf(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    status = CheckOutput(KeyValueInformation, Length, ResultLength);
    if (!NT_SUCCESS(status)) return status;
    NamedValue value;
    status = Registry().EnumerateValue(key, Index, &value);
    if (!NT_SUCCESS(status)) return status;
    return ValueRecord("ZwEnumerateValueKey", value, KeyValueInformationClass, KeyValueInformation,
                       Length, ResultLength);
}

// KeyNameInformation needs no right on the handle; the other classes KEY_QUERY_VALUE.
NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                    PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    KpAssertIrql(PASSIVE_LEVEL, "ZwQueryKey");
    KeyRef key;
    NTSTATUS status =
        KeyOf(KeyHandle, KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    status = CheckOutput(KeyInformation, Length, ResultLength);
    if (!NT_SUCCESS(status)) return status;
    KeyInfo info;
    std::u16string path;
    status = Registry().QueryKey(key, &info);
    if (NT_SUCCESS(status)) status = Registry().KeyPath(key, &path);
    if (!NT_SUCCESS(status)) return status;
    return KeyRecord("ZwQueryKey", info, path, KeyInformationClass, KeyInformation, Length,
                     ResultLength);
}

// Writes the machine's registry file when the store has one.
NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    KpAssertIrql(PASSIVE_LEVEL, "ZwFlushKey");
    KeyRef key;
    const NTSTATUS status = KeyOf(KeyHandle, 0, &key);
    if (!NT_SUCCESS(status)) return status;
    std::string error;
    if (!Registry().Flush(&error)) {
        std::fprintf(stderr, "ZwFlushKey: %s\n", error.c_str());
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Rtl registry helpers
// ---------------------------------------------------------------------------
namespace {

// Opens the key that RelativeTo and Path name.  With RTL_REGISTRY_HANDLE, Path is
// the caller's handle and is not closed (*close false).
NTSTATUS OpenRelative(const char* routine, ULONG relativeTo, PCWSTR path, ACCESS_MASK access,
                      bool create, HANDLE* key, bool* close) {
    *close = false;
    if (relativeTo & RTL_REGISTRY_OPTIONAL) return Unsupported(routine, "RTL_REGISTRY_OPTIONAL");
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        *key = const_cast<PWSTR>(path);
        return STATUS_SUCCESS;
    }
    static const std::u16string_view kBases[RTL_REGISTRY_MAXIMUM] = {
        u"",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\Machine\\Hardware\\DeviceMap",
        u"",  // the current user, below
    };
    if (relativeTo >= RTL_REGISTRY_MAXIMUM || !path) return STATUS_INVALID_PARAMETER;
    std::u16string full(path);
    if (full.empty() || full[0] != u'\\') {
        if (relativeTo == RTL_REGISTRY_ABSOLUTE) return STATUS_OBJECT_PATH_SYNTAX_BAD;
        const std::u16string base = relativeTo == RTL_REGISTRY_USER
                                        ? std::u16string(kp::reg::kUsersPath) + u"\\" +
                                              std::u16string(kp::reg::kCurrentUserSid)
                                        : std::u16string(kBases[relativeTo]);
        full = full.empty() ? base : base + u"\\" + full;
    }
    NTSTATUS status;
    *key = KpRegOpenKeyHandle(full, access, create, &status);
    *close = NT_SUCCESS(status);
    return status;
}

// Runs `action` on the key RelativeTo and Path name, closing it afterwards when it was opened here.
template <typename Action>
NTSTATUS WithKey(const char* routine, ULONG relativeTo, PCWSTR path, ACCESS_MASK access,
                 bool create, Action action) {
    KpAssertIrql(PASSIVE_LEVEL, routine);
    HANDLE key = nullptr;
    bool close = false;
    NTSTATUS status = OpenRelative(routine, relativeTo, path, access, create, &key, &close);
    if (NT_SUCCESS(status)) status = action(key);
    if (close) ZwClose(key);
    return status;
}

// Reads one direct entry: only a REG_DWORD of exactly 4 bytes counts, and only
// then is the destination written.
NTSTATUS ReadDirectDword(HANDLE key, const RTL_QUERY_REGISTRY_TABLE& entry) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, entry.Name);
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG)];
    } buffer;
    ULONG needed = 0;
    const NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, &buffer,
                                            sizeof(buffer.bytes), &needed);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!NT_SUCCESS(status)) return status;
    if (buffer.info.Type != REG_DWORD || buffer.info.DataLength != sizeof(ULONG))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::memcpy(entry.EntryContext, buffer.info.Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment) {
    static const char kRoutine[] = "RtlQueryRegistryValues";
    UNREFERENCED_PARAMETER(Context);  // only query routines see it, and they are refused
    KpAssertIrql(PASSIVE_LEVEL, kRoutine);
    if (!QueryTable) return STATUS_INVALID_PARAMETER;
    if (Environment) return Unsupported(kRoutine, "an expansion environment");
    constexpr ULONG kSupportedFlags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED |
                                      RTL_QUERY_REGISTRY_NOEXPAND | RTL_QUERY_REGISTRY_TYPECHECK;
    // The whole table is checked before anything is read.
    for (const RTL_QUERY_REGISTRY_TABLE* entry = QueryTable; entry->QueryRoutine || entry->Name;
         ++entry) {
        if (entry->QueryRoutine) return Unsupported(kRoutine, "a query routine");
        if (entry->Flags & ~kSupportedFlags)
            return Unsupported(kRoutine,
                               "a flag other than DIRECT, REQUIRED, NOEXPAND or TYPECHECK");
        if (!(entry->Flags & RTL_QUERY_REGISTRY_DIRECT) || !entry->EntryContext)
            return STATUS_INVALID_PARAMETER;
        if ((entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
            (entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) != REG_DWORD)
            return Unsupported(kRoutine, "a direct entry of a type other than REG_DWORD");
    }
    return WithKey(kRoutine, RelativeTo, Path, KEY_QUERY_VALUE, false, [&](HANDLE key) {
        for (const RTL_QUERY_REGISTRY_TABLE* entry = QueryTable; entry->Name; ++entry) {
            const NTSTATUS status = ReadDirectDword(key, *entry);
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    });
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    return WithKey("RtlWriteRegistryValue", RelativeTo, Path, KEY_SET_VALUE, false,
                   [&](HANDLE key) {
                       UNICODE_STRING name;
                       RtlInitUnicodeString(&name, ValueName);
                       return ZwSetValueKey(key, &name, 0, ValueType, ValueData, ValueLength);
                   });
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    return WithKey("RtlDeleteRegistryValue", RelativeTo, Path, KEY_SET_VALUE, false,
                   [&](HANDLE key) {
                       UNICODE_STRING name;
                       RtlInitUnicodeString(&name, ValueName);
                       return ZwDeleteValueKey(key, &name);
                   });
}

namespace {
// With RTL_REGISTRY_HANDLE the "path" is a handle that must name a key.
NTSTATUS KeyHandleValid(HANDLE key) {
    return KpRegKeyFromHandle(key, nullptr) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
}  // namespace

// Creates every missing key along the path.
NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    return WithKey("RtlCreateRegistryKey", RelativeTo, Path, KEY_READ, true, KeyHandleValid);
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    return WithKey("RtlCheckRegistryKey", RelativeTo, Path, KEY_READ, false, KeyHandleValid);
}
