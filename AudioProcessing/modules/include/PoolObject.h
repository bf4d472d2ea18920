// The base of the objects that live in the driver allocator's memory (the
// modules, the buffer pools, the logics' queues, rings and bridge objects).
// A failed allocation gives a null object (the constructor is then not run);
// callers check every `new`.
#pragma once

#include <cstddef>

#include "MemAlloc.h"

class CPoolObject {
public:
    static void* operator new(size_t size) noexcept {
        return size <= MEM_MAX_REQUEST ? MemAlloc(static_cast<ULONG>(size)) : nullptr;
    }
    static void operator delete(void* block) noexcept { MemFree(block); }
};
