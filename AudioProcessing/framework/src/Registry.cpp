// Registry: kernel registry helpers for the level reader, the DirectSound
// disabler and the processing modules' settings.  Its log module
// (LogModule<LogModuleRegistry>) registers but writes no lines.
#include "Registry.h"

namespace {

// A counted string over the first `chars` characters of text (no terminator
// needed behind them).
UNICODE_STRING CountedText(PCWSTR text, size_t chars) {
    UNICODE_STRING counted;
    counted.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    counted.Buffer = const_cast<PWSTR>(text);
    return counted;
}

size_t TextLength(PCWSTR text) {
    size_t n = 0;
    while (text[n] != u'\0') ++n;
    return n;
}

// The longest text a counted string can carry.
constexpr size_t kMaxCountedChars = 0xFFFE / sizeof(WCHAR);

NTSTATUS CreateKeyCounted(HANDLE root, ACCESS_MASK access, UNICODE_STRING* name, PHANDLE key) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

}  // namespace

NTSTATUS RegistryCreateKey(HANDLE root, ACCESS_MASK access, PCWSTR name, PHANDLE key) {
    if (name == nullptr || key == nullptr) return STATUS_INVALID_PARAMETER;
    const size_t length = TextLength(name);
    if (length > kMaxCountedChars) return STATUS_OBJECT_NAME_INVALID;
    UNICODE_STRING counted = CountedText(name, length);
    return CreateKeyCounted(root, access, &counted, key);
}

/*
 * RegistryCreateKeyPath: creates (or opens) every key along path, below root or
 * absolute.  Each level is created through a counted string that stops at its
 * backslash, so the caller's text is never written.  PASSIVE_LEVEL.
 */
NTSTATUS RegistryCreateKeyPath(HANDLE root, ACCESS_MASK access, PCWSTR path, PHANDLE key) {
    if (path == nullptr || key == nullptr) return STATUS_INVALID_PARAMETER;
    const size_t length = TextLength(path);
    if (length > kMaxCountedChars) return STATUS_OBJECT_NAME_INVALID;
    // A leading separator is not a level of its own: the walk starts at the
    // second character.
    for (size_t i = 1; i < length; ++i) {
        if (path[i] != u'\\') continue;
        UNICODE_STRING partial = CountedText(path, i);
        HANDLE level = nullptr;
        NTSTATUS status = CreateKeyCounted(root, access, &partial, &level);
        if (!NT_SUCCESS(status)) return status;
        ZwClose(level);
    }
    UNICODE_STRING whole = CountedText(path, length);
    return CreateKeyCounted(root, access, &whole, key);
}

namespace {
// One REG_DWORD of exactly 4 bytes into destination (untouched otherwise).
NTSTATUS QueryOneDword(HANDLE key, PCWSTR text, PVOID destination) {
    const size_t length = TextLength(text);
    if (length > kMaxCountedChars) return STATUS_OBJECT_NAME_INVALID;
    UNICODE_STRING name = CountedText(text, length);
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG)];
    } record;
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, &record,
                                      sizeof record, &resultLength);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        return STATUS_OBJECT_NAME_NOT_FOUND;  // longer than a DWORD: not a DWORD value
    }
    if (!NT_SUCCESS(status)) return status;
    if (record.info.Type != REG_DWORD || record.info.DataLength != sizeof(ULONG)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::memcpy(destination, record.info.Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}
}  // namespace

/*
 * RegistryQueryValues: reads a table of REG_DWORD values.  Only a REG_DWORD of
 * exactly 4 bytes is taken; the value is read into a record that holds exactly
 * that much, so a longer value of any type cannot reach the destination.
 */
NTSTATUS RegistryQueryValues(HANDLE key, const RegistryDwordEntry* table) {
    if (table == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS result = STATUS_SUCCESS;
    for (const RegistryDwordEntry* entry = table; entry->Name != nullptr; ++entry) {
        if (entry->Destination == nullptr) return STATUS_INVALID_PARAMETER;
        NTSTATUS status = QueryOneDword(key, entry->Name, entry->Destination);
        // An entry that cannot be read keeps its default; the later ones are still read.
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    return result;
}

ULONG RegistryReadDword(HANDLE key, PCWSTR name, ULONG defaultValue) {
    return RegistryReadDwordEx(key, name, defaultValue, nullptr);
}

ULONG RegistryReadDwordEx(HANDLE key, PCWSTR name, ULONG defaultValue, PULONG found) {
    ULONG value = defaultValue;
    const RegistryDwordEntry table[2] = {{name, &value}, {nullptr, nullptr}};
    NTSTATUS status = name != nullptr ? RegistryQueryValues(key, table) : STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) value = defaultValue;
    if (found != nullptr) *found = NT_SUCCESS(status) ? 1 : 0;
    return value;
}

ULONG RegistryWriteDword(HANDLE key, PCWSTR name, ULONG value) {
    if (name == nullptr) return 0;
    const size_t length = TextLength(name);
    if (length > kMaxCountedChars) return 0;
    UNICODE_STRING counted = CountedText(name, length);
    NTSTATUS status = ZwSetValueKey(key, &counted, 0, REG_DWORD, &value, sizeof value);
    return NT_SUCCESS(status) ? 1 : 0;
}
