// Reading and writing interleaved PCM samples of 8, 16 or 32 bits as signed
// 64-bit values, shared by the format converter and the channel mix.
//
//   bits  read                      write
//   8     unsigned byte - 128       low byte + 128 (wrapping)
//   16    signed 16-bit             low 16 bits
//   32    signed 32-bit             low 32 bits with the lowest 8 bits cleared
//
// Samples are little-endian and need not be aligned.
#pragma once

#include <wdm.h>

struct SampleAccess {
    // The sample at `index` of the frame that starts at `frame`.
    LONGLONG (*read)(const UCHAR* frame, ULONG index);
    // Writes `value` at `cursor` and returns the position of the next sample.
    UCHAR* (*write)(UCHAR* cursor, LONGLONG value);
    // Bytes of one sample.
    ULONG size;
};

// The access for a sample width of 8, 16 or 32 bits; null for any other width.
const SampleAccess* SampleAccessForBits(ULONG bits);
