#include "SampleAccess.h"

namespace {

LONGLONG Read8(const UCHAR* frame, ULONG index) {
    return static_cast<LONGLONG>(frame[index]) - 128;
}

LONGLONG Read16(const UCHAR* frame, ULONG index) {
    const UCHAR* p = frame + 2 * static_cast<SIZE_T>(index);
    return static_cast<SHORT>(static_cast<USHORT>(p[0] | (p[1] << 8)));
}

LONGLONG Read32(const UCHAR* frame, ULONG index) {
    const UCHAR* p = frame + 4 * static_cast<SIZE_T>(index);
    ULONG v = static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) |
              (static_cast<ULONG>(p[2]) << 16) | (static_cast<ULONG>(p[3]) << 24);
    return static_cast<LONG>(v);
}

UCHAR* Write8(UCHAR* cursor, LONGLONG value) {
    *cursor = static_cast<UCHAR>(static_cast<ULONGLONG>(value) + 128);
    return cursor + 1;
}

UCHAR* Write16(UCHAR* cursor, LONGLONG value) {
    ULONGLONG v = static_cast<ULONGLONG>(value);
    cursor[0] = static_cast<UCHAR>(v);
    cursor[1] = static_cast<UCHAR>(v >> 8);
    return cursor + 2;
}

UCHAR* Write32(UCHAR* cursor, LONGLONG value) {
    ULONGLONG v = static_cast<ULONGLONG>(value);
    cursor[0] = 0;  // the lowest 8 bits are never carried
    cursor[1] = static_cast<UCHAR>(v >> 8);
    cursor[2] = static_cast<UCHAR>(v >> 16);
    cursor[3] = static_cast<UCHAR>(v >> 24);
    return cursor + 4;
}

constexpr SampleAccess kAccess8 = {Read8, Write8, 1};
constexpr SampleAccess kAccess16 = {Read16, Write16, 2};
constexpr SampleAccess kAccess32 = {Read32, Write32, 4};

}  // namespace

const SampleAccess* SampleAccessForBits(ULONG bits) {
    switch (bits) {
        case 8:
            return &kAccess8;
        case 16:
            return &kAccess16;
        case 32:
            return &kAccess32;
        default:
            return nullptr;
    }
}
