// A double-precision LMS filter in the generic member's order: a ring of past
// inputs, each output the double sum over the taps in order (oldest sample
// first), clamped and truncated toward zero, the error taken from the
// unclamped sum, each tap rounded to f32 after its update.
#pragma once

#include <stdint.h>

#include <vector>

namespace sptest {

class LmsReference {
public:
    // taps in natural order (tap 0 weights the newest sample); history: len
    // past samples as a ring with `index` at its oldest (empty for silence).
    LmsReference(const std::vector<float>& taps, const std::vector<int16_t>& history,
                 int32_t index);
    std::vector<int16_t> Run(const int16_t* src, const int16_t* ref, int32_t len, float mu);
    // The taps in natural order.
    std::vector<float> Taps() const;

private:
    std::vector<float> reversed_;  // oldest-sample tap first
    std::vector<double> ring_;     // inputs by ring position
    int32_t index_;
};

}  // namespace sptest
