// Host-only: interrupt-level checks (see kp/bugcheck.h for KpAssertIrql).
#pragma once

#include "kp/bugcheck.h"

// Name of a level for messages: "PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL" or "IRQL n".
const char* KpIrqlName(KIRQL Irql);
// Number of spin locks the calling thread holds.
ULONG KpHeldSpinLockCount(void);
