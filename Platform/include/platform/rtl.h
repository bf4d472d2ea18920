// Run-time library: counted 16-bit strings, memory helpers, the kernel's printf
// dialect and the debugger output.
//
// The printf dialect is the platform's, not the host C library's: %d %i %u %x %X
// %o %c read 32 bits, and so do %ld %lu %lx; %I64d %I64u %I64x and %lld read 64
// bits; %I and %z read pointer-sized values; %p prints a pointer; %s is narrow text
// and %S %ls %ws 16-bit text in the narrow routines (in the 16-bit routines %s is
// 16-bit text and %S narrow; %hs is always narrow); %Z prints a PANSI_STRING and
// %wZ a PUNICODE_STRING, bounded by their Length; flags - + space # 0, a width and
// a precision (either may be *).  %n and unknown conversions are a bug check.
// (The routines carry no printf format attribute: the host compiler would judge
// calls by its own library's dialect.)
#pragma once

#include <cstdarg>

#include "platform/ntdef.h"

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------
#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) std::memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) \
    (!std::memcmp((Destination), (Source), (Length)))
// Number of leading bytes that match.
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------
// Counted strings.  Lengths are in bytes.  Routines that produce a string
// terminate it when there is room for the terminator, as the platform does.
// ---------------------------------------------------------------------------
// Points the string at SourceString (NULL gives an empty string without buffer).
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
void RtlInitString(PSTRING DestinationString, PCSZ SourceString);
// Copies as much of SourceString as fits in DestinationString's buffer (NULL
// source gives an empty string).
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
// STATUS_BUFFER_TOO_SMALL (destination unchanged) when the text does not fit.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
// < 0, 0, > 0 as String1 sorts before, equal to or after String2.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                               BOOLEAN CaseInSensitive);
// Allocates a terminated copy of SourceString from the pool (free it with
// RtlFreeUnicodeString); FALSE when out of memory.
BOOLEAN RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// Frees a string whose buffer came from the pool (any tag) and empties it.
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
// Upper case of ASCII and Latin-1 letters; every other character unchanged.
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
// Base 2, 8, 10 or 16 (0 means 10).  STATUS_BUFFER_OVERFLOW when the digits do not
// fit, STATUS_INVALID_PARAMETER for another base.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
// Leading blanks, an optional sign, then digits of Base (0: decimal unless a 0x,
// 0o or 0b prefix says otherwise) up to the first character that is not one.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
// Narrow <-> 16-bit conversion of 7-bit text (other characters become '?' in the
// narrow direction, are widened as Latin-1 in the other).  With
// AllocateDestinationString the buffer comes from the pool.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
void RtlFreeAnsiString(PANSI_STRING AnsiString);

// ---------------------------------------------------------------------------
// Formatting in the kernel's dialect (see above).
// ---------------------------------------------------------------------------
// Writes at most Count characters including the terminator.  Returns the number
// of characters written without the terminator, or -1 when the text did not fit;
// unlike the platform's, the output is always terminated (when Count > 0).
int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list ArgList);
int _snprintf(char* Buffer, size_t Count, const char* Format, ...);
int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, va_list ArgList);
int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...);

// Safe-string forms: the result is always terminated; a truncated result gives
// STATUS_BUFFER_OVERFLOW, a zero or oversized destination STATUS_INVALID_PARAMETER.
#define NTSTRSAFE_MAX_CCH 2147483647
NTSTATUS RtlStringCchPrintfA(PSTR Dest, size_t CchDest, PCSTR Format, ...);
NTSTATUS RtlStringCbPrintfA(PSTR Dest, size_t CbDest, PCSTR Format, ...);
NTSTATUS RtlStringCchVPrintfA(PSTR Dest, size_t CchDest, PCSTR Format, va_list ArgList);
NTSTATUS RtlStringCchPrintfW(PWSTR Dest, size_t CchDest, PCWSTR Format, ...);
NTSTATUS RtlStringCbPrintfW(PWSTR Dest, size_t CbDest, PCWSTR Format, ...);
NTSTATUS RtlStringCchVPrintfW(PWSTR Dest, size_t CchDest, PCWSTR Format, va_list ArgList);
NTSTATUS RtlStringCchCopyW(PWSTR Dest, size_t CchDest, PCWSTR Source);
NTSTATUS RtlStringCchCatW(PWSTR Dest, size_t CchDest, PCWSTR Source);
// STATUS_INVALID_PARAMETER when no terminator lies within CchMax characters.
NTSTATUS RtlStringCchLengthW(PCWSTR String, size_t CchMax, size_t* Length);

// ---------------------------------------------------------------------------
// Debugger.  DbgPrint formats in the kernel's dialect and hands the text to the
// debug sink (kp/dbgsink.h: captured for tests; echoed to stderr when the
// environment variable KP_DBGPRINT is set).  DbgBreakPoint is counted and only
// traps when KP_DBGBREAK is set.
// ---------------------------------------------------------------------------
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list ArgList);
void DbgBreakPoint(void);

// A failed assertion is a bug check naming the expression, file and line.
DECLSPEC_NORETURN void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
                                 PCHAR Message);
#define ASSERT(exp) ((exp) ? (void)0 : RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL))
#define NT_ASSERT(exp) ASSERT(exp)
