// Double-precision references of the IIR filters and a builder of cascade
// states (no operation of the library creates those).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "sp_iir.h"

namespace sptest {

// How a member turns a scaled output into 16 bits.
enum class IirRounding { kHalfAway, kNearestEven };
// The generic member rounds halves away from zero, the SIMD members to even.
IirRounding IirRoundingOf(int32_t variant);

// y * 2^-scale rounded by `rounding` and saturated (NaN gives -32768).
int16_t IirRoundReference(double y, int32_t scale, IirRounding rounding);

// A filter in double precision: coefficients normalised by a0 in double,
// delay elements never rounded.
class IirReference {
public:
    // Transposed direct form from b0..bN a0..aN (2N+2 values).
    static IirReference Direct(const std::vector<float>& coefficients, int32_t order);
    // Cascade from b0 b1 b2 a0 a1 a2 per section.
    static IirReference Cascade(const std::vector<float>& sections);

    // The next len outputs, carrying the delay line over from earlier calls.
    std::vector<int16_t> Run(const int16_t* x, int32_t len, int32_t scale, IirRounding rounding);
    double Step(double x);  // one unscaled output

private:
    struct Stage {
        std::vector<double> b, a;  // a[0] unused (1 after normalisation)
        std::vector<double> d;     // order + 1 elements, the last one 0
    };
    std::vector<Stage> stages_;
};

// A random stable direct form of order N (poles and zeros within radius 0.9,
// a0 = 1 so that every member normalises exactly), as b0..bN a0..aN.
std::vector<float> RandomStableDirect(int32_t order, uint32_t seed);
// `count` random stable sections, b0 b1 b2 a0 a1 a2 each (a0 = 1).
std::vector<float> RandomStableSections(int32_t count, uint32_t seed);
// Sum of |h| over the impulse response (its first 4096 terms): the largest
// gain for any input.
double IirPeakGain(IirReference filter);

// One filter of the tests: a direct form of `order`, or a cascade of
// `sections` when that is above 0 (order then 2 * sections).
struct IirShape {
    int32_t order;
    int32_t sections;
};
// Orders 0-10 and cascades of 1-3 sections.
std::vector<IirShape> IirTestShapes();
// The lengths that decide the members' paths: 1, 2, 3, 4N, 4N + 1 (4S, 4S + 1
// for a cascade), around the SIMD chunk of 1024, and a long call.
std::vector<int32_t> IirTestLengths(const IirShape& shape);
IirReference IirReferenceOf(const IirShape& shape, uint32_t seed);
// Random samples scaled so that the scaled output stays within 12000.  The
// SIMD members' four-outputs-per-step recursion weighs past outputs with
// look-ahead coefficients well above 1, so their f32 error grows with the
// output's size: about 3e-5 of it for these filters, a third of a step here.
std::vector<int16_t> IirTestSignal(IirReference ref, size_t n, int32_t scale, uint32_t seed);
// The shape's random filter (seed) made by `variant`'s members: created in
// family a or b, or built as a cascade of that family.
sp_iir_state* IirMakeShape(int32_t variant, const IirShape& shape, uint32_t seed, bool familyB);
// Frees a state with its family's free of `variant`; its status.
sp_status IirFreeState(int32_t variant, sp_iir_state* state);

// One case against the reference: the source `srcPad` bytes (even) before a
// guard page's end, the destination `dstOffset` bytes after one; every
// output within 1 of the reference, and the same filter in place (entry 19
// or 57 with src == dst, or entry 30 for family a by the seed) equal bit for
// bit.
void CheckIirCase(int32_t variant, const IirShape& shape, int32_t len, int32_t scale, size_t srcPad,
                  size_t dstOffset, uint32_t seed, bool familyB);

// Builds a cascade state of `kind` in the layout of `variant` from `count`
// sections (b0 b1 b2 a0 a1 a2 each) and 2 * count delay values or null, with
// the variant's own set-up for each section's taps and tables.  The state owns
// its block (the family's free releases it).  -9 when the block cannot be
// had (nothing stored); -10 when a section's a0 is zero (the state stored).
sp_status BuildIirCascade(int32_t variant, uint32_t kind, const float* sections, int32_t count,
                          const float* delay, sp_iir_state** ppState);

}  // namespace sptest
