// The kernel's printf dialect.
//
// One formatter serves the narrow routines (_vsnprintf, DbgPrint, the A forms of
// the safe-string routines) and the 16-bit ones (_vsnwprintf, the W forms).  Sizes
// follow the platform, where long is 32 bits: only ll, L, I64, I and z read 64-bit
// values.  Anything the dialect does not define is a bug check, so a broken
// format string shows up in the first test that prints it.
#include <cstdio>
#include <string>
#include <type_traits>

#include "ke_private.h"
#include "platform/rtl.h"

namespace {

enum class Size { Default, Char, Short, Long, LongLong, Wide, Int32, Int64, Pointer };

struct Spec {
    bool Left = false, Plus = false, Space = false, Alternate = false, Zero = false;
    int Width = 0;
    int Precision = -1;
    Size Length = Size::Default;
};

template <typename CharT>
std::string Narrow(const CharT* Text) {
    std::string s;
    for (; *Text != 0; ++Text) s += static_cast<char>(*Text < 0x80 ? *Text : '?');
    return s;
}

template <typename CharT>
[[noreturn]] void Unsupported(const CharT* Format, const char* What) {
    KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "kernel printf: %s in format \"%s\"", What,
               Narrow(Format).c_str());
}

template <typename CharT>
CharT FromNarrow(char c) {
    return static_cast<CharT>(static_cast<unsigned char>(c));
}

template <typename CharT>
CharT FromWide(WCHAR c) {
    if constexpr (std::is_same_v<CharT, char>)
        return c < 0x80 ? static_cast<char>(c) : '?';
    else
        return c;
}

// Pads Body (after Prefix and Zeros zero digits) to the field width.
template <typename CharT>
void Emit(std::basic_string<CharT>& Out, const Spec& S, const std::string& Prefix, size_t Zeros,
          const std::basic_string<CharT>& Body) {
    size_t length = Prefix.size() + Zeros + Body.size();
    size_t pad = S.Width > 0 && static_cast<size_t>(S.Width) > length ? S.Width - length : 0;
    if (!S.Left) Out.append(pad, static_cast<CharT>(' '));
    for (char c : Prefix) Out.push_back(FromNarrow<CharT>(c));
    Out.append(Zeros, static_cast<CharT>('0'));
    Out += Body;
    if (S.Left) Out.append(pad, static_cast<CharT>(' '));
}

template <typename CharT>
void EmitInteger(std::basic_string<CharT>& Out, Spec S, ULONGLONG Magnitude, bool Negative,
                 CharT Conversion) {
    unsigned base = 10;
    const char* digits = "0123456789abcdef";
    if (Conversion == 'x' || Conversion == 'p') base = 16;
    if (Conversion == 'X') base = 16, digits = "0123456789ABCDEF";
    if (Conversion == 'o') base = 8;
    std::string text;
    for (ULONGLONG v = Magnitude; v != 0; v /= base) text.insert(text.begin(), digits[v % base]);
    if (S.Precision < 0 && text.empty()) text = "0";
    std::string prefix;
    if (Negative) {
        prefix = "-";
    } else if ((Conversion == 'd' || Conversion == 'i') && (S.Plus || S.Space)) {
        prefix = S.Plus ? "+" : " ";
    }
    if (S.Alternate && Magnitude != 0 && base == 16) prefix += Conversion == 'X' ? "0X" : "0x";
    if (S.Alternate && base == 8 && (text.empty() || text[0] != '0'))
        text.insert(text.begin(), '0');
    size_t zeros = 0;
    if (S.Precision >= 0 && text.size() < static_cast<size_t>(S.Precision)) {
        zeros = S.Precision - text.size();
    } else if (S.Precision < 0 && S.Zero && !S.Left && S.Width > 0 &&
               static_cast<size_t>(S.Width) > prefix.size() + text.size()) {
        zeros = S.Width - prefix.size() - text.size();
    }
    std::basic_string<CharT> body;
    for (char c : text) body.push_back(FromNarrow<CharT>(c));
    Emit(Out, S, prefix, zeros, body);
}

template <typename CharT, typename SourceT>
void EmitText(std::basic_string<CharT>& Out, const Spec& S, const SourceT* Text, size_t MaxLength) {
    std::basic_string<CharT> body;
    if (Text == nullptr) {
        for (const char* p = "(null)"; *p; ++p) body.push_back(static_cast<CharT>(*p));
    } else {
        size_t limit = S.Precision >= 0 && static_cast<size_t>(S.Precision) < MaxLength
                           ? S.Precision
                           : MaxLength;
        for (size_t i = 0; i < limit && Text[i] != 0; ++i) {
            if constexpr (std::is_same_v<SourceT, char>)
                body.push_back(FromNarrow<CharT>(Text[i]));
            else
                body.push_back(FromWide<CharT>(Text[i]));
        }
    }
    Emit(Out, S, std::string(), 0, body);
}

template <typename CharT>
void Format(std::basic_string<CharT>& Out, const CharT* Format, va_list ArgList) {
    constexpr bool kWideRoutine = std::is_same_v<CharT, char16_t>;
    constexpr size_t kUnbounded = static_cast<size_t>(-1);
    va_list ap;
    va_copy(ap, ArgList);
    const CharT* p = Format;
    while (*p != 0) {
        if (*p != '%') {
            Out.push_back(*p++);
            continue;
        }
        ++p;
        if (*p == '%') {
            Out.push_back(*p++);
            continue;
        }
        Spec s;
        for (;; ++p) {
            if (*p == '-')
                s.Left = true;
            else if (*p == '+')
                s.Plus = true;
            else if (*p == ' ')
                s.Space = true;
            else if (*p == '#')
                s.Alternate = true;
            else if (*p == '0')
                s.Zero = true;
            else
                break;
        }
        if (*p == '*') {
            s.Width = va_arg(ap, int);
            if (s.Width < 0) s.Left = true, s.Width = -s.Width;
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') s.Width = s.Width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            s.Precision = 0;
            if (*p == '*') {
                s.Precision = va_arg(ap, int);
                if (s.Precision < 0) s.Precision = -1;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') s.Precision = s.Precision * 10 + (*p++ - '0');
            }
        }
        if (p[0] == 'h' && p[1] == 'h')
            s.Length = Size::Char, p += 2;
        else if (p[0] == 'h')
            s.Length = Size::Short, ++p;
        else if (p[0] == 'l' && p[1] == 'l')
            s.Length = Size::LongLong, p += 2;
        else if (p[0] == 'l')
            s.Length = Size::Long, ++p;
        else if (p[0] == 'L')
            s.Length = Size::LongLong, ++p;
        else if (p[0] == 'w')
            s.Length = Size::Wide, ++p;
        else if (p[0] == 'I' && p[1] == '6' && p[2] == '4')
            s.Length = Size::Int64, p += 3;
        else if (p[0] == 'I' && p[1] == '3' && p[2] == '2')
            s.Length = Size::Int32, p += 3;
        else if (p[0] == 'I' || p[0] == 'z' || p[0] == 'j' || p[0] == 't')
            s.Length = Size::Pointer, ++p;
        bool is64 =
            s.Length == Size::LongLong || s.Length == Size::Int64 || s.Length == Size::Pointer;
        bool wideArgument = s.Length == Size::Long || s.Length == Size::Wide;
        bool narrowArgument = s.Length == Size::Short;
        CharT conversion = *p;
        if (conversion == 0) Unsupported(Format, "a '%' at the end");
        ++p;
        switch (conversion) {
            case 'd':
            case 'i': {
                LONGLONG v = is64 ? va_arg(ap, long long) : va_arg(ap, int);
                if (s.Length == Size::Short) v = static_cast<SHORT>(v);
                if (s.Length == Size::Char) v = static_cast<signed char>(v);
                ULONGLONG magnitude =
                    v < 0 ? 0ull - static_cast<ULONGLONG>(v) : static_cast<ULONGLONG>(v);
                EmitInteger(Out, s, magnitude, v < 0, conversion);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                ULONGLONG v = is64 ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned int);
                if (s.Length == Size::Short) v = static_cast<USHORT>(v);
                if (s.Length == Size::Char) v = static_cast<UCHAR>(v);
                EmitInteger(Out, s, v, false, conversion);
                break;
            }
            case 'p': {
                auto v = reinterpret_cast<ULONG_PTR>(va_arg(ap, void*));
                Spec ps = s;
                ps.Precision = 2 * sizeof(void*);
                EmitInteger(Out, ps, v, false, static_cast<CharT>('X'));
                break;
            }
            case 'c':
            case 'C': {
                int v = va_arg(ap, int);
                bool wide =
                    wideArgument || (!narrowArgument && ((conversion == 'c') == kWideRoutine));
                std::basic_string<CharT> body(1, wide ? FromWide<CharT>(static_cast<WCHAR>(v))
                                                      : FromNarrow<CharT>(static_cast<char>(v)));
                Emit(Out, s, std::string(), 0, body);
                break;
            }
            case 's':
            case 'S': {
                bool wide =
                    wideArgument || (!narrowArgument && ((conversion == 's') == kWideRoutine));
                if (wide)
                    EmitText(Out, s, va_arg(ap, const WCHAR*), kUnbounded);
                else
                    EmitText(Out, s, va_arg(ap, const char*), kUnbounded);
                break;
            }
            case 'Z': {
                if (s.Length == Size::Wide) {
                    auto* string = va_arg(ap, const UNICODE_STRING*);
                    bool none = string == nullptr || string->Buffer == nullptr;
                    EmitText(Out, s, none ? nullptr : string->Buffer,
                             none ? 0 : string->Length / sizeof(WCHAR));
                } else {
                    auto* string = va_arg(ap, const ANSI_STRING*);
                    bool none = string == nullptr || string->Buffer == nullptr;
                    EmitText(Out, s, none ? nullptr : string->Buffer, none ? 0 : string->Length);
                }
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                double v = va_arg(ap, double);
                std::string spec = "%";
                if (s.Left) spec += '-';
                if (s.Plus) spec += '+';
                if (s.Space) spec += ' ';
                if (s.Alternate) spec += '#';
                if (s.Zero) spec += '0';
                spec += "*.*";
                spec += static_cast<char>(conversion);
                char buffer[512];
                std::snprintf(buffer, sizeof buffer, spec.c_str(), s.Width,
                              s.Precision < 0 ? 6 : s.Precision, v);
                for (const char* b = buffer; *b; ++b) Out.push_back(FromNarrow<CharT>(*b));
                break;
            }
            case 'n':
                Unsupported(Format, "%n");
            default:
                Unsupported(Format, "an unknown conversion");
        }
    }
    va_end(ap);
}

// Copies the text into a bounded, always terminated buffer.  Returns whether it fit.
template <typename CharT>
bool CopyOut(CharT* Buffer, size_t Count, const std::basic_string<CharT>& Text) {
    if (Count == 0) return false;
    bool fits = Text.size() < Count;
    size_t n = fits ? Text.size() : Count - 1;
    Text.copy(Buffer, n);
    Buffer[n] = 0;
    return fits;
}

template <typename CharT>
int Bounded(CharT* Buffer, size_t Count, const CharT* FormatText, va_list ArgList) {
    std::basic_string<CharT> text;
    Format(text, FormatText, ArgList);
    return CopyOut(Buffer, Count, text) ? static_cast<int>(text.size()) : -1;
}

template <typename CharT>
NTSTATUS SafePrint(CharT* Dest, size_t Cch, const CharT* FormatText, va_list ArgList) {
    if (Cch == 0 || Cch > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    return Bounded(Dest, Cch, FormatText, ArgList) < 0 ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

std::string KiFormat(const char* FormatText, va_list ArgList) {
    std::string text;
    Format(text, FormatText, ArgList);
    return text;
}

// ---------------------------------------------------------------------------
// _vsnprintf / _snprintf / _vsnwprintf / _snwprintf
// ---------------------------------------------------------------------------
int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list ArgList) {
    return Bounded(Buffer, Count, Format, ArgList);
}

int _snprintf(char* Buffer, size_t Count, const char* Format, ...) {
    va_list ap;
    va_start(ap, Format);
    int n = _vsnprintf(Buffer, Count, Format, ap);
    va_end(ap);
    return n;
}

int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, va_list ArgList) {
    return Bounded(Buffer, Count, Format, ArgList);
}

int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...) {
    va_list ap;
    va_start(ap, Format);
    int n = _vsnwprintf(Buffer, Count, Format, ap);
    va_end(ap);
    return n;
}

// ---------------------------------------------------------------------------
// RtlStringCchPrintfA / RtlStringCbPrintfA / RtlStringCchVPrintfA
// ---------------------------------------------------------------------------
NTSTATUS RtlStringCchVPrintfA(PSTR Dest, size_t CchDest, PCSTR Format, va_list ArgList) {
    return SafePrint(Dest, CchDest, Format, ArgList);
}

NTSTATUS RtlStringCchPrintfA(PSTR Dest, size_t CchDest, PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    NTSTATUS status = SafePrint(Dest, CchDest, Format, ap);
    va_end(ap);
    return status;
}

NTSTATUS RtlStringCbPrintfA(PSTR Dest, size_t CbDest, PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    NTSTATUS status = SafePrint(Dest, CbDest, Format, ap);
    va_end(ap);
    return status;
}

// ---------------------------------------------------------------------------
// RtlStringCchPrintfW / RtlStringCbPrintfW / RtlStringCchVPrintfW
// ---------------------------------------------------------------------------
NTSTATUS RtlStringCchVPrintfW(PWSTR Dest, size_t CchDest, PCWSTR Format, va_list ArgList) {
    return SafePrint(Dest, CchDest, Format, ArgList);
}

NTSTATUS RtlStringCchPrintfW(PWSTR Dest, size_t CchDest, PCWSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    NTSTATUS status = SafePrint(Dest, CchDest, Format, ap);
    va_end(ap);
    return status;
}

NTSTATUS RtlStringCbPrintfW(PWSTR Dest, size_t CbDest, PCWSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    NTSTATUS status = SafePrint(Dest, CbDest / sizeof(WCHAR), Format, ap);
    va_end(ap);
    return status;
}

// ---------------------------------------------------------------------------
// RtlStringCchLengthW / RtlStringCchCopyW / RtlStringCchCatW
// ---------------------------------------------------------------------------
NTSTATUS RtlStringCchLengthW(PCWSTR String, size_t CchMax, size_t* Length) {
    if (String == nullptr || CchMax == 0 || CchMax > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t n = 0;
    while (n < CchMax && String[n] != 0) ++n;
    if (n == CchMax) return STATUS_INVALID_PARAMETER;
    if (Length != nullptr) *Length = n;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCchCopyW(PWSTR Dest, size_t CchDest, PCWSTR Source) {
    if (CchDest == 0 || CchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    size_t n = 0;
    while (n + 1 < CchDest && Source[n] != 0) {
        Dest[n] = Source[n];
        ++n;
    }
    Dest[n] = 0;
    return Source[n] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlStringCchCatW(PWSTR Dest, size_t CchDest, PCWSTR Source) {
    size_t length;
    NTSTATUS status = RtlStringCchLengthW(Dest, CchDest, &length);
    if (!NT_SUCCESS(status)) return status;
    return RtlStringCchCopyW(Dest + length, CchDest - length, Source);
}
