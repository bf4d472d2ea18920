// The bug check: the process prints the stop code and the reason, and aborts.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "ke_private.h"
#include "platform/rtl.h"

namespace {

[[noreturn]] void Stop(ULONG Code, const ULONG_PTR (&Parameters)[4], const char* Reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "*** STOP: 0x%08X (0x%016llX,0x%016llX,0x%016llX,0x%016llX)\n*** %s\n",
                 Code, static_cast<unsigned long long>(Parameters[0]),
                 static_cast<unsigned long long>(Parameters[1]),
                 static_cast<unsigned long long>(Parameters[2]),
                 static_cast<unsigned long long>(Parameters[3]), Reason);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

void KpBugCheck(ULONG Code, const char* Format, ...) {
    char reason[1024];
    va_list ap;
    va_start(ap, Format);
    std::vsnprintf(reason, sizeof reason, Format, ap);
    va_end(ap);
    Stop(Code, {0, 0, 0, 0}, reason);
}

// ---------------------------------------------------------------------------
// KeBugCheckEx
// ---------------------------------------------------------------------------
void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
    Stop(BugCheckCode,
         {BugCheckParameter1, BugCheckParameter2, BugCheckParameter3, BugCheckParameter4},
         "KeBugCheckEx called by kernel code");
}

// ---------------------------------------------------------------------------
// KeBugCheck
// ---------------------------------------------------------------------------
void KeBugCheck(ULONG BugCheckCode) {
    KeBugCheckEx(BugCheckCode, 0, 0, 0, 0);
}

// ---------------------------------------------------------------------------
// RtlAssert
// ---------------------------------------------------------------------------
void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
    KpBugCheck(KP_BUGCHECK_ASSERTION, "Assertion failed: %s%s%s (%s:%u)",
               static_cast<const char*>(FailedAssertion), Message ? " - " : "",
               Message ? Message : "", static_cast<const char*>(FileName), LineNumber);
}
