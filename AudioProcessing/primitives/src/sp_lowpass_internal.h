// Pieces shared by the members of the low-pass design.  Compiled once, in the
// generic translation unit, with baseline flags.
#pragma once

#include "sp_buffers.h"
#include "sp_lowpass.h"

namespace sp_internal {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 6.28318530717958647692;

typedef sp_status (*WindowFn)(double* taps, int32_t len);

// The routines one member of the design calls: all of its own variant.
struct LowpassMembers {
    void* (*allocF64)(int32_t count);
    sp_status (*sinc)(double* dst, int32_t len, double magnitude, double rFreq, double* phase,
                      int32_t hint);
    sp_status (*zeroF64)(double* dst, int32_t n);
    WindowFn window[4];  // indexed by sp_window_kind
};

// The design itself, the same steps in every member.
sp_status LowpassDesign(double rFreq, double* taps, int32_t len, int32_t window, int32_t normalise,
                        const LowpassMembers& members);

// The argument checks of the cosine-series generator, in their fixed order.
sp_status SincChecks(double* dst, int32_t len, double magnitude, double rFreq, const double* phase);
// The phase at n = len, reduced into [0, 2 pi) (0 if the reduction misses).
double SincEndPhase(int32_t len, double rFreq, double phase);

// alpha of the optimal Blackman window for len taps.
double BlackmanOptAlpha(int32_t len);

}  // namespace sp_internal
