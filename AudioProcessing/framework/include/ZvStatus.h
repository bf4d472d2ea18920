// The small status codes that every module operation, the buffer pool and the
// framework's channel and variable services answer with.
#pragma once

#include <wdm.h>

enum ZvStatus : ULONG {
    ZV_OK = 0,
    // Called above DISPATCH_LEVEL, not supported, read-only, or a failure
    // without detail.
    ZV_FAILED = 1,
    // The module's constructor did not complete, or the object is not sized
    // or not configured yet.
    ZV_NOT_READY = 3,
    // Buffer too small; where a size pointer is given it returns the size needed.
    ZV_BUFFER_TOO_SMALL = 7,
    ZV_NO_MEMORY = 8,
    ZV_DELAY_TOO_SHORT = 9,
    ZV_DELAY_TOO_LONG = 10,
    // Null pointer, zero size or a value out of range.
    ZV_INVALID_PARAMETER = 11,
};
