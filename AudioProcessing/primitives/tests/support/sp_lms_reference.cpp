#include "sp_lms_reference.h"

#include <math.h>

namespace sptest {

LmsReference::LmsReference(const std::vector<float>& taps, const std::vector<int16_t>& history,
                           int32_t index)
    : reversed_(taps.rbegin(), taps.rend()), ring_(taps.size(), 0.0), index_(index) {
    for (size_t j = 0; j < history.size(); ++j) ring_[j] = history[j];
}

std::vector<int16_t> LmsReference::Run(const int16_t* src, const int16_t* ref, int32_t len,
                                       float mu) {
    const size_t L = reversed_.size();
    std::vector<int16_t> out(len);
    std::vector<double> window(L);
    for (int32_t n = 0; n < len; ++n) {
        ring_[index_] = src[n];
        index_ = (index_ + 1) % static_cast<int32_t>(L);
        for (size_t k = 0; k < L; ++k) window[k] = ring_[(index_ + k) % L];
        double y = 0;
        for (size_t k = 0; k < L; ++k) y += reversed_[k] * window[k];
        if (isnan(y)) {
            out[n] = -32768;
        } else {
            out[n] = static_cast<int16_t>(trunc(fmin(fmax(y, -32768.0), 32767.0)));
        }
        const double e = (ref[n] - y) * 2.0 * mu;
        for (size_t k = 0; k < L; ++k)
            reversed_[k] = static_cast<float>(reversed_[k] + e * window[k]);
    }
    return out;
}

std::vector<float> LmsReference::Taps() const {
    return std::vector<float>(reversed_.rbegin(), reversed_.rend());
}

}  // namespace sptest
