// Double-precision references for the wavelet filter bank: the filter-bank
// formulas term by term, and the analysis branch with the summation shape the
// generic member uses (head sums sequential, body sums grouped from 8 taps).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace sptest {

// Band value m = sum_j taps[j] * x[2m - offset - j] (x before 0 is 0), summed
// oldest sample first, for m = 0 .. count - 1.
std::vector<double> WaveletSplitFormula(const std::vector<float>& taps, int32_t offset,
                                        const std::vector<float>& x, int32_t count);
// y[t] = sum_j taps[j] * U[t - j], U holding band[m] at 2 * (m + offset / 2) +
// (offset & 1), summed oldest first, for t = 0 .. count - 1.
std::vector<double> WaveletMergeFormula(const std::vector<float>& taps, int32_t offset,
                                        const std::vector<float>& band, int32_t count);
// The analysis branch fed in calls of calls[i] samples: each value rounded to
// f32 once, from the sequential sum where the generic member works through its
// delay line and from the grouped sum (len >= 8) where it reads the run.
std::vector<float> WaveletSplitShaped(const std::vector<float>& taps, int32_t offset,
                                      const std::vector<float>& x,
                                      const std::vector<int32_t>& calls);

}  // namespace sptest
