// Host-only: the bug check the stand-in uses for rule violations, and the
// interrupt-level assertion other areas of the stand-in put at their entry points.
// Product code never includes this header.
#pragma once

#include "platform/ntdef.h"

// Bug check codes the stand-in raises.
#define KP_BUGCHECK_IRQL_NOT_GREATER_OR_EQUAL 0x00000009u  // lowering "up", raising "down"
#define KP_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL 0x0000000Au     // a routine called at too high a level
#define KP_BUGCHECK_MAXIMUM_WAIT_OBJECTS_EXCEEDED 0x0000000Cu
#define KP_BUGCHECK_SPIN_LOCK_NOT_OWNED 0x00000010u
#define KP_BUGCHECK_INVALID_OBJECT 0x00000018u  // REFERENCE_BY_POINTER: bad object or count
#define KP_BUGCHECK_MUTANT_NOT_OWNED 0xC0000046u
#define KP_BUGCHECK_SEMAPHORE_LIMIT_EXCEEDED 0xC0000047u
#define KP_BUGCHECK_MUST_SUCCEED_POOL_EMPTY 0x00000041u
#define KP_BUGCHECK_BAD_POOL_CALLER 0x000000C2u
#define KP_BUGCHECK_DRIVER_VERIFIER 0x000000C4u  // other rule violations
#define KP_BUGCHECK_ASSERTION 0x4B500001u        // ASSERT in kernel code
#define KP_BUGCHECK_UNSUPPORTED 0x4B500002u      // something the stand-in does not do

// Prints "*** STOP: 0x%08X (0x0,0x0,0x0,0x0)" and the formatted reason (host printf
// rules) on stderr, then aborts.
[[noreturn]] void KpBugCheck(ULONG Code, const char* Format, ...)
    __attribute__((format(printf, 2, 3)));

// Bug-checks with IRQL_NOT_LESS_OR_EQUAL when the caller's level is above
// MaxLevel: "<RoutineName> called at IRQL 2 (DISPATCH_LEVEL); at most 0 allowed".
void KpAssertIrql(KIRQL MaxLevel, const char* RoutineName);
