// Long-double references of the float sums and plain-loop references of the
// element-wise float rows, sharing no code with the library.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace sptest {

typedef std::vector<float> F32s;

long double SumRef(const F32s& x);
long double AbsSumRef(const F32s& x);
// The sample standard deviation, two-pass in long double.
long double StddevRef(const F32s& x);
// Distance in units in the last place between two finite floats of any sign
// (0 when both are the same NaN class or the same infinity).
int64_t UlpDistance(float a, float b);
// Random floats in [lo, hi) with special values mixed into every seventh
// element: with `ordered` only those that compare in order (no NaN, no -0).
F32s RandomF32(size_t n, float lo, float hi, bool specials, bool ordered, uint32_t seed);

}  // namespace sptest
