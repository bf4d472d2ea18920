// Library support of the primitives: version records, status texts, 16-bit
// buffers and the denormals-are-zero probe, with the function types of their
// dispatch rows (entries 0, 55 and 62).  Included by sp_dispatch.h before the
// row list; includes nothing but the status codes.
#pragma once

#include "sp_status.h"

// One constant record per processor variant.  The pointer fields are
// pointer-sized; nothing stores or exchanges this layout.
struct sp_version_record {
    int32_t major;          // 4
    int32_t minor;          // 1
    int32_t build;          // 11
    int32_t revision;       // 88
    char target[4];         // two ASCII letters naming the variant, then two zero bytes
    const char* name;       // the variant's library name
    const char* version;    // "v4.1"
    const char* buildDate;  // "Jul 19 2004" generic, "Jul 20 2004" SSE, SSE2, SSE3
};

typedef const sp_version_record* (*sp_get_lib_version_fn)();
typedef int16_t* (*sp_alloc_i16_fn)(int32_t count);
typedef const char* (*sp_status_text_fn)(int32_t code);

// The record of the variant that runs it (entry 0); never fails.
const sp_version_record* sp_get_lib_version();
const sp_version_record* sp_get_lib_version_sse();
const sp_version_record* sp_get_lib_version_sse2();
const sp_version_record* sp_get_lib_version_sse3();

// Room for count 16-bit samples in a block of sp_alloc_bytes (32-byte aligned,
// released by sp_free); null when count < 1, when 2 * count exceeds the
// allocator's signed 32-bit size, or when memory is short (entry 55, every
// variant).
int16_t* sp_alloc_i16(int32_t count);

// A constant English text for a status code ("Unknown Status Code" for codes
// without one); never fails, never null.  sp_status_text (entry 62, every
// variant) returns sp_status_message's result.
const char* sp_status_message(int32_t code);
const char* sp_status_text(int32_t code);

// 1 when the processor supports denormals-are-zero (bit 6 of the MXCSR mask
// that FXSAVE stores), else 0.
int32_t sp_cpu_has_daz();
