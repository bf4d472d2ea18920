// Speed of the FIR filter's members (entry 45) against a plain direct-form FIR
// with history in double, compiled here with the same flags, for several taps
// lengths; calls of 512 samples or more on 64 taps or more take the FFT block
// path, shorter ones the direct kernels.  The transforms in the internal order
// are timed against the generic member.  After the run a table gives each
// member's time as a ratio to its reference.
#include <math.h>

#include <random>
#include <string>
#include <vector>

#include "ratio_table.h"
#include "sp_fft_simd.h"
#include "sp_primitives.h"
#include "sp_rfft.h"

namespace {

std::vector<float> Taps(int len) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> t(static_cast<size_t>(len));
    for (float& v : t) v = d(rng) / static_cast<float>(len);
    return t;
}

template <int Len>
void FilterMember(benchmark::State& state, int v) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> taps = Taps(Len);
    sp_fir_state* s = nullptr;
    sp_dispatch_member<sp_entry_sp_fir_create>(v)(&s, taps.data(), Len, nullptr);
    std::vector<int16_t> x = kpbench::Signal(n), y(x.size());
    auto filter = sp_dispatch_member<sp_entry_sp_fir_filter_i16_scaled>(v);
    for (auto _ : state) {
        filter(x.data(), y.data(), n, s, 0);
        benchmark::DoNotOptimize(y.data());
    }
    sp_dispatch_member<sp_entry_sp_fir_free>(v)(s);
    state.SetItemsProcessed(state.iterations() * n);
}

// The reference: history and new samples in one line, each output a double sum.
template <int Len>
void FilterRef(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> taps = Taps(Len);
    std::vector<int16_t> x = kpbench::Signal(n), y(x.size());
    std::vector<double> line(static_cast<size_t>(Len + n), 0.0);
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) line[static_cast<size_t>(Len + i)] = x[static_cast<size_t>(i)];
        for (int i = 0; i < n; ++i) {
            double acc = 0.0;
            for (int k = 0; k < Len; ++k)
                acc += taps[static_cast<size_t>(k)] * line[static_cast<size_t>(Len + i - k)];
            const double r = nearbyint(acc);
            y[static_cast<size_t>(i)] = static_cast<int16_t>(r > 32767.0    ? 32767.0
                                                             : r < -32768.0 ? -32768.0
                                                                            : r);
        }
        for (int k = 0; k < Len; ++k)
            line[static_cast<size_t>(k)] = line[static_cast<size_t>(n + k)];
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

using Init = sp_status (*)(sp_rfft_spec**, int32_t, int32_t, int32_t);
using Transform = sp_status (*)(const float*, float*, const sp_rfft_spec*, uint8_t*);
const Init kInit[4] = {sp_rfft_spec_init, sp_rfft_spec_init_sse, sp_rfft_spec_init_sse2,
                       sp_rfft_spec_init_sse3};
const Transform kForward[4] = {sp_rfft_forward_perm, sp_rfft_forward_perm_sse,
                               sp_rfft_forward_perm_sse2, sp_rfft_forward_perm_sse3};

void TransformMember(benchmark::State& state, int v) {
    const int order = static_cast<int>(state.range(0));
    sp_rfft_spec* spec = nullptr;
    kInit[v](&spec, order, sp_rfft_scale_inverse, 0);
    int32_t bytes = 0;
    sp_rfft_get_buf_size(spec, &bytes);
    std::vector<uint8_t> work(static_cast<size_t>(bytes) + 16);
    std::vector<float> x(size_t{1} << order, 0.25f), y(x.size());
    for (auto _ : state) {
        kForward[v](x.data(), y.data(), spec, work.data());
        benchmark::DoNotOptimize(y.data());
    }
    sp_rfft_spec_free(spec);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(x.size()));
}

void TransformRef(benchmark::State& state) {
    TransformMember(state, sp_variant_generic);
}

template <int Len>
void AddFilter(std::vector<kpbench::RatioOp>& ops) {
    static const std::string name = "fir45/t" + std::to_string(Len);
    ops.push_back(
        {name.c_str(), FilterMember<Len>, FilterRef<Len>, "double", {160, 511, 512, 4096}});
}

}  // namespace

int main(int argc, char** argv) {
    static std::vector<kpbench::RatioOp> ops;
    AddFilter<16>(ops);
    AddFilter<63>(ops);
    AddFilter<64>(ops);
    AddFilter<256>(ops);
    AddFilter<1024>(ops);
    // The reference is the generic member measured apart, under its own name:
    // each member against it, the generic column showing the noise floor.
    ops.push_back({"rfft_perm", TransformMember, TransformRef, "generic_ref", {8, 9, 10, 11, 12}});
    return kpbench::RunRatioTable(argc, argv, ops);
}
