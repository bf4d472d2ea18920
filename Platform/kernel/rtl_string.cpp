// Counted strings and memory helpers of the run-time library.
#include "ke_private.h"
#include "platform/rtl.h"

namespace {

constexpr ULONG kStringTag = 0x53747267;  // 'Strg'
constexpr size_t kMaxUnicodeBytes = 0xFFFC;

size_t WideLength(PCWSTR Text) {
    size_t n = 0;
    while (Text[n] != 0) ++n;
    return n;
}

USHORT Chars(const UNICODE_STRING* String) {
    return static_cast<USHORT>(String->Length / sizeof(WCHAR));
}

// Terminates the string when its buffer has room for the terminator.
void TerminateIfRoom(PUNICODE_STRING String) {
    if (String->Length + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[Chars(String)] = 0;
}

LONG Compare(PCUNICODE_STRING A, PCUNICODE_STRING B, BOOLEAN CaseInSensitive, USHORT Count) {
    for (USHORT i = 0; i < Count; ++i) {
        WCHAR a = A->Buffer[i];
        WCHAR b = B->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return 0;
}

NTSTATUS Append(PUNICODE_STRING Destination, const WCHAR* Source, size_t Bytes) {
    if (Destination->Length + Bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length, Source,
                 Bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + Bytes);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// RtlCompareMemory
// ---------------------------------------------------------------------------
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

// ---------------------------------------------------------------------------
// RtlInitUnicodeString
// ---------------------------------------------------------------------------
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxUnicodeBytes) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "RtlInitUnicodeString: %zu bytes do not fit a counted string", bytes);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

// ---------------------------------------------------------------------------
// RtlInitAnsiString / RtlInitString
// ---------------------------------------------------------------------------
void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > 0xFFFE)
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "RtlInitAnsiString: %zu bytes", bytes);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

void RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    RtlInitAnsiString(DestinationString, SourceString);
}

// ---------------------------------------------------------------------------
// RtlCopyUnicodeString
// ---------------------------------------------------------------------------
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    bytes &= static_cast<USHORT>(~1u);
    if (bytes != 0) std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

// ---------------------------------------------------------------------------
// RtlAppendUnicodeToString / RtlAppendUnicodeStringToString
// ---------------------------------------------------------------------------
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    return Append(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    return Append(Destination, Source->Buffer, Source->Length);
}

// ---------------------------------------------------------------------------
// RtlCompareUnicodeString / RtlEqualUnicodeString / RtlPrefixUnicodeString
// ---------------------------------------------------------------------------
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    USHORT n1 = Chars(String1), n2 = Chars(String2);
    LONG result = Compare(String1, String2, CaseInSensitive, n1 < n2 ? n1 : n2);
    return result != 0 ? result : static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           Compare(String1, String2, CaseInSensitive, Chars(String1)) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                               BOOLEAN CaseInSensitive) {
    return String1->Length <= String2->Length &&
           Compare(String1, String2, CaseInSensitive, Chars(String1)) == 0;
}

// ---------------------------------------------------------------------------
// RtlCreateUnicodeString / RtlFreeUnicodeString
// ---------------------------------------------------------------------------
BOOLEAN RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t bytes = (WideLength(SourceString) + 1) * sizeof(WCHAR);
    if (bytes > 0xFFFE) return FALSE;
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag));
    if (buffer == nullptr) return FALSE;
    std::memcpy(buffer, SourceString, bytes);
    DestinationString->Buffer = buffer;
    DestinationString->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(bytes);
    return TRUE;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

// ---------------------------------------------------------------------------
// RtlUpcaseUnicodeChar
// ---------------------------------------------------------------------------
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    WCHAR c = SourceCharacter;
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    return c;
}

// ---------------------------------------------------------------------------
// RtlIntegerToUnicodeString
// ---------------------------------------------------------------------------
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? u'0' + d : u'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    size_t bytes = static_cast<size_t>(n) * sizeof(WCHAR);
    if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(String);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// RtlUnicodeStringToInteger
// ---------------------------------------------------------------------------
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    const WCHAR* p = String->Buffer;
    const WCHAR* end = p + Chars(String);
    while (p < end && (*p == u' ' || *p == u'\t')) ++p;
    bool negative = false;
    if (p < end && (*p == u'+' || *p == u'-')) negative = *p++ == u'-';
    if (Base == 0) {
        Base = 10;
        if (end - p >= 2 && p[0] == u'0') {
            switch (p[1]) {
                case u'x':
                    Base = 16;
                    p += 2;
                    break;
                case u'o':
                    Base = 8;
                    p += 2;
                    break;
                case u'b':
                    Base = 2;
                    p += 2;
                    break;
                default:
                    break;
            }
        }
    }
    ULONG result = 0;
    for (; p < end; ++p) {
        WCHAR c = RtlUpcaseUnicodeChar(*p);
        ULONG digit;
        if (c >= u'0' && c <= u'9') {
            digit = c - u'0';
        } else if (c >= u'A' && c <= u'F') {
            digit = c - u'A' + 10;
        } else {
            break;
        }
        if (digit >= Base) break;
        result = result * Base + digit;
    }
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// RtlAnsiStringToUnicodeString / RtlUnicodeStringToAnsiString / RtlFreeAnsiString
// ---------------------------------------------------------------------------
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    size_t bytes = static_cast<size_t>(SourceString->Length) * sizeof(WCHAR);
    if (bytes > kMaxUnicodeBytes) return STATUS_INVALID_PARAMETER;
    if (AllocateDestinationString) {
        auto* buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i) {
        DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(DestinationString);
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    USHORT n = Chars(SourceString);
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, n + 1u, kStringTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
    } else if (n > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < n; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x80 ? static_cast<CHAR>(c) : '?';
    }
    DestinationString->Length = n;
    if (n < DestinationString->MaximumLength) DestinationString->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

void RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer != nullptr) ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}
