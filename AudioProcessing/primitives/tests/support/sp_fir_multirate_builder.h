// Multirate FIR states for the tests and benchmarks: nothing in the library
// builds them.  A state up-samples by U, filters with a prototype h and keeps
// every D-th sample: y[m] = sum over i of x[i] h[m D + e U - i U], x[i] the
// inputs (the history before the first call), e a look-ahead in input samples
// (0: causal).  Outputs and inputs are counted from each call's start, which
// lies on an iteration boundary (D inputs, U outputs).
#pragma once

#include <stdint.h>

#include <vector>

struct sp_fir_state;

namespace sptest {

struct MultirateSpec {
    int32_t mode = 3;  // 1 grouped, 2 strided (U = 1), 3 general
    int32_t up = 1;
    int32_t down = 1;
    std::vector<double> taps;    // the prototype h
    bool simd = false;           // the SIMD members' tap arrangement
    int32_t lookahead = 0;       // e; windows reach e samples past the newest input
    int32_t extraThreshold = 0;  // input threshold beyond the least that works
};

// One block from sp_alloc_bytes that sp_fir_free releases; the history zeroed.
// Null when memory is short.
sp_fir_state* BuildMultirateFir(const MultirateSpec& spec);

// History length H (taps per output of modes 2 and 3) for a spec.
int32_t MultirateHistory(const MultirateSpec& spec);

enum class Rounding { HalfAway, NearestEven };

// The double-precision reference: every output of x (x.size() / D iterations)
// after `history` (oldest first; missing samples are zeros), inputs beyond
// the end of x read as zeros; scaled by 2^-scale, rounded and saturated (NaN
// gives -32768).
std::vector<int16_t> PolyphaseReference(const MultirateSpec& spec,
                                        const std::vector<int16_t>& history,
                                        const std::vector<int16_t>& x, int32_t scale,
                                        Rounding rounding);

}  // namespace sptest
