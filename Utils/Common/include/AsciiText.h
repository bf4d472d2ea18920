// ASCII case helpers of the tools.  The "ANSI" code page is UTF-8, whose
// multi-byte sequences ASCII folding leaves alone.
#pragma once

#include <cstddef>

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Lower-cases a NUL-terminated text in place.
inline void AsciiLowerInPlace(char* text) {
    for (; *text != 0; ++text) *text = AsciiLower(*text);
}

// Compares two texts of `length` bytes without regard to ASCII case.
inline bool AsciiEqualNoCase(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

// Compares two NUL-terminated texts without regard to ASCII case.
inline bool AsciiEqualNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (AsciiLower(*a) != AsciiLower(*b)) return false;
        if (*a == 0) return true;
    }
}
