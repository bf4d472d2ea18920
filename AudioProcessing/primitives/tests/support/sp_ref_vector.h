// Plain 64-bit integer references of the integer vector rows: one element (or
// one result) at a time, the obvious way, sharing no code with the library.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace sptest {

typedef std::vector<int16_t> I16s;

// v * 2^-scale rounded to nearest with ties to even (by floor division and the
// remainder), saturated to 16 bits; any scale.
int16_t RoundScaledRef(int64_t v, int32_t scale);

I16s SubSatRef(const I16s& src1, const I16s& src2);  // sat16(src2 - src1)
I16s AddSatRef(const I16s& src1, const I16s& src2);
I16s AbsSatRef(const I16s& x);
I16s RShiftRef(const I16s& x, int32_t shift);  // any shift >= 0
I16s LShiftRef(const I16s& x, int32_t shift);  // low 16 bits; 16 and more give 0
I16s SubConstScaledRef(const I16s& x, int16_t val, int32_t scale);
int16_t SumScaledRef(const I16s& x, int32_t scale);
int64_t DotRef(const I16s& a, const I16s& b);
// Largest or smallest element and the index of its first occurrence.
int16_t ExtremeRef(const I16s& x, bool max, int32_t* index);

}  // namespace sptest
