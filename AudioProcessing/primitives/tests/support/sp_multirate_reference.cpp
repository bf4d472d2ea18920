// References for the rate-changing primitives, written for clarity.
#include "sp_multirate_reference.h"

namespace sptest {

std::vector<int16_t> DownsampleReference(const std::vector<int16_t>& x, int32_t factor,
                                         int32_t* phase) {
    std::vector<int16_t> kept;
    const int64_t n = static_cast<int64_t>(x.size());
    int64_t next = *phase;
    for (int64_t i = 0; i < n; ++i) {
        if (i == next) {
            kept.push_back(x[static_cast<size_t>(i)]);
            next += factor;
        }
    }
    *phase = static_cast<int32_t>(next - n);
    return kept;
}

std::vector<int16_t> UpsampleReference(const std::vector<int16_t>& x, int32_t factor,
                                       int32_t phase) {
    std::vector<int16_t> y(x.size() * static_cast<size_t>(factor), 0);
    for (size_t i = 0; i < x.size(); ++i) y[static_cast<size_t>(phase) + i * factor] = x[i];
    return y;
}

}  // namespace sptest
