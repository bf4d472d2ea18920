// Host-only: the machine clock.  One clock drives system time, the performance
// counter, the tick count, KeDelayExecutionThread, every wait time-out and the
// simulated devices.  Times are in 100 ns units of system time (since 1601).
#pragma once

#include "platform/ntdef.h"

enum class KpClockMode {
    RealTime,  // follows the host's monotonic clock
    Scaled,    // runs Scale times as fast as the host's clock
    Manual,    // stands still until KpClockAdvance / KpClockSetTime
};

// Switches mode; the machine time carries on from where it is.  Scale > 0 (used
// in Scaled mode; 1 otherwise).  The default mode is RealTime, or what the
// environment variable KP_CLOCK says ("real", "manual", "scaled:10").
void KpClockSetMode(KpClockMode Mode, double Scale = 1.0);
KpClockMode KpClockGetMode(void);

// Current machine time.
LONGLONG KpClockNow(void);
// Machine time at start-up (the performance counter and tick count count from it).
LONGLONG KpClockBootTime(void);

// Manual mode only (anything else is a bug check): moves the clock forward (Delta
// >= 0) or to an absolute time not before the current one.  Waiters whose
// deadline has passed wake; listeners are called on the calling thread before the
// routine returns.
void KpClockAdvance(LONGLONG Delta100ns);
void KpClockSetTime(LONGLONG Time);

// Blocks the calling host thread until the machine time reaches Time (any mode).
// No interrupt-level rules: this is for the stand-in's own threads.
void KpClockSleepUntil(LONGLONG Time);

// Listeners hear every manual advance (and mode switch) with the new time.  In
// real-time and scaled modes time flows without events: sleep with
// KpClockSleepUntil or wait with a time-out instead.  Returns an id for removal.
typedef void (*KpClockListener)(void* Context, LONGLONG Now);
ULONG KpClockAddListener(KpClockListener Listener, void* Context);
void KpClockRemoveListener(ULONG Id);

// Conversion helpers.
constexpr LONGLONG KpMs(LONGLONG Milliseconds) {
    return Milliseconds * 10000;
}
constexpr LONGLONG KpUs(LONGLONG Microseconds) {
    return Microseconds * 10;
}
// A relative time-out as the wait routines take it.
inline LARGE_INTEGER KpRelativeTimeout(LONGLONG Delta100ns) {
    LARGE_INTEGER t;
    t.QuadPart = -Delta100ns;
    return t;
}
