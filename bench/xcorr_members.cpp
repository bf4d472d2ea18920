// Speed of the cross-correlation members: the wave correlator's shape (W = 4000
// and 8000 samples, 2W + 1 lags, FFT path, spec building included as in real
// use) and a direct-path shape (256 x 256, 300 lags) against a plain double
// loop.  The generic member is what the dispatcher deploys on this machine.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "sp_primitives.h"

namespace {

const char* const kVariant[4] = {"generic", "sse", "sse2", "sse3"};

std::vector<int16_t> Signal(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(-9000, 9000);
    std::vector<int16_t> v(n);
    for (int16_t& x : v) x = static_cast<int16_t>(dist(gen));
    return v;
}

void Member(benchmark::State& state, int variant, int len, int lags, int lowLag, int scale) {
    const std::vector<int16_t> a = Signal(len, 1), b = Signal(len, 2);
    std::vector<int16_t> out(lags);
    auto fn = sp_dispatch_member<sp_entry_sp_xcorr_i16_scaled>(variant);
    for (auto _ : state) {
        fn(a.data(), len, b.data(), len, out.data(), lags, lowLag, scale);
        benchmark::DoNotOptimize(out.data());
    }
}

// The direct path's in-house baseline: one double dot product per lag.
void NaiveDirect(benchmark::State& state) {
    const int len = 256, lags = 300, lowLag = -150;
    const std::vector<int16_t> a = Signal(len, 1), b = Signal(len, 2);
    std::vector<double> out(lags);
    for (auto _ : state) {
        for (int j = 0; j < lags; ++j) {
            const int k = lowLag + j;
            double sum = 0;
            for (int n = k < 0 ? -k : 0; n < len && n + k < len; ++n)
                sum += static_cast<double>(a[n]) * b[n + k];
            out[j] = sum;
        }
        benchmark::DoNotOptimize(out.data());
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int v = 0; v < 4; ++v) {
        if (v == sp_variant_sse3 && !__builtin_cpu_supports("sse3")) continue;
        for (int w : {4000, 8000}) {
            const std::string name =
                std::string("xcorr_wave/W") + std::to_string(w) + "/" + kVariant[v];
            benchmark::RegisterBenchmark(name.c_str(), Member, v, w, 2 * w + 1, 1 - w,
                                         w == 4000 ? 27 : 28);
        }
        benchmark::RegisterBenchmark(
            (std::string("xcorr_direct_256x256x300/") + kVariant[v]).c_str(), Member, v, 256, 300,
            -150, 12);
    }
    benchmark::RegisterBenchmark("xcorr_direct_256x256x300/naive_double", NaiveDirect);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
