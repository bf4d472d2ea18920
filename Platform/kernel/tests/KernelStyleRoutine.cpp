// A system thread routine compiled as kernel code (no exceptions, no RTTI).
#include "platform/ke.h"

namespace {

void Inner(int* Steps) {
    *Steps |= 2;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

// Sets bit 1 on entry and bit 2 in the nested call; bit 4 would mean that
// PsTerminateSystemThread returned.
void KernelStyleRoutine(PVOID Context) {
    auto* steps = static_cast<int*>(Context);
    *steps |= 1;
    Inner(steps);
    *steps |= 4;
}
