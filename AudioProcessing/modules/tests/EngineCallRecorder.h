// Watches the calls the modules make into the echo canceller engine and the
// primitives.  The test program is linked with every such call redirected
// (the linker's --wrap) to a recorder that notes the floating-point save depth
// the call ran at and then calls the real function, so a test can assert
// that no call ran without a save.  The cross-correlation and the engine's
// creation can be made to fail, to see how a module takes the failure.
#pragma once

#include <wdm.h>

namespace zvmodtest {

enum WatchedCall : ULONG {
    kCallAecCreate,
    kCallAecDestroy,
    kCallAecGetProperty,
    kCallAecGetPropertyDword,
    kCallAecSetProperty,
    kCallAecSetPropertyDword,
    kCallAecSubmit,
    kCallLowpassDesign,
    kCallXcorr,
    kCallMedian,
    kWatchedCallCount,
};

struct WatchedCallCounts {
    ULONGLONG calls;
    ULONGLONG unsaved;  // calls made with no floating-point save open
};

// Clears the counts and the injected failures.
void ResetWatchedCalls();
WatchedCallCounts WatchedCallsOf(WatchedCall call);
// Sums over every watched call.
WatchedCallCounts AllWatchedCalls();
// The next `count` cross-correlations return `status` without running.
void FailNextXcorr(ULONG count, LONG status);
// The next engine creation builds the engine and then answers 1, as the
// engine does when its configuration fails: the engine is handed out all the
// same.
void FailNextAecConfiguration();

}  // namespace zvmodtest
