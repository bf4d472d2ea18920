// Speed of the primitives' members: copy, zero and the two conversions against
// memcpy, memset and plain loops; the median filter against sorting each
// window; the low-pass design against a direct sin/cos evaluation.  After the
// run a table gives each member's time as a ratio to its reference.
#include <benchmark/benchmark.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "ratio_table.h"
#include "sp_primitives.h"

namespace {

// ---- Copy and zero ------------------------------------------------------------------

void CopyMember(benchmark::State& state, int v) {
    const int n = static_cast<int>(state.range(0));
    std::vector<int16_t> src(n, 3), dst(n);
    auto copy = sp_dispatch_member<sp_entry_sp_copy_i16>(v);
    for (auto _ : state) {
        copy(src.data(), dst.data(), n);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(state.iterations() * n * 2);
}
void CopyRef(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<int16_t> src(n, 3), dst(n);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), n * 2);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(state.iterations() * n * 2);
}

void ZeroMember(benchmark::State& state, int v) {
    const int n = static_cast<int>(state.range(0));
    std::vector<int16_t> dst(n, 1);
    auto zero = sp_dispatch_member<sp_entry_sp_zero_i16>(v);
    for (auto _ : state) {
        zero(dst.data(), n);
        benchmark::DoNotOptimize(dst.data());
    }
}
void ZeroRef(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<int16_t> dst(n, 1);
    for (auto _ : state) {
        memset(dst.data(), 0, n * 2);
        benchmark::DoNotOptimize(dst.data());
    }
}

// ---- Conversions ------------------------------------------------------------------

void ToFloatMember(benchmark::State& state, int v) {
    const int n = static_cast<int>(state.range(0));
    std::vector<int16_t> src(n, -7);
    std::vector<float> dst(n);
    auto convert = sp_dispatch_member<sp_entry_sp_convert_i16_to_f32>(v);
    for (auto _ : state) {
        convert(src.data(), dst.data(), n);
        benchmark::DoNotOptimize(dst.data());
    }
}
void ToFloatRef(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<int16_t> src(n, -7);
    std::vector<float> dst(n);
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) dst[i] = src[i];
        benchmark::DoNotOptimize(dst.data());
    }
}

void ToI16Member(benchmark::State& state, int v) {
    const int n = static_cast<int>(state.range(0));
    std::vector<float> src(n);
    for (int i = 0; i < n; ++i) src[i] = static_cast<float>((i * 37) % 70000 - 35000) + 0.5f;
    std::vector<int16_t> dst(n);
    auto convert = sp_dispatch_member<sp_entry_sp_convert_f32_to_i16_scaled>(v);
    for (auto _ : state) {
        convert(src.data(), dst.data(), n, 1, 1);
        benchmark::DoNotOptimize(dst.data());
    }
}
void ToI16Ref(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<float> src(n);
    for (int i = 0; i < n; ++i) src[i] = static_cast<float>((i * 37) % 70000 - 35000) + 0.5f;
    std::vector<int16_t> dst(n);
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            const float y = std::clamp(src[i] * 0.5f, -32768.0f, 32767.0f);
            dst[i] = static_cast<int16_t>(lrintf(y));
        }
        benchmark::DoNotOptimize(dst.data());
    }
}

// ---- Median and low-pass --------------------------------------------------------

std::vector<int16_t> Noise(int n) {
    std::vector<int16_t> x(n);
    uint32_t s = 1;
    for (auto& v : x) v = static_cast<int16_t>((s = s * 1664525u + 1013904223u) >> 16);
    return x;
}

void MedianMember(benchmark::State& state, int v) {
    const int mask = static_cast<int>(state.range(0));
    const std::vector<int16_t> x = Noise(4096);
    std::vector<int16_t> y(4096);
    auto filter = sp_dispatch_member<sp_entry_sp_median_filter_i16>(v);
    for (auto _ : state) {
        filter(x.data(), y.data(), 4096, mask);
        benchmark::DoNotOptimize(y.data());
    }
}
void MedianRef(benchmark::State& state) {
    const int mask = static_cast<int>(state.range(0));
    const int h = mask / 2;
    const std::vector<int16_t> x = Noise(4096);
    std::vector<int16_t> y(4096), w(mask);
    for (auto _ : state) {
        // Sort every padded window.
        for (int i = 1; i < 4095; ++i) {
            for (int k = 0; k < mask; ++k) w[k] = x[std::clamp(i - h + k, 0, 4095)];
            std::nth_element(w.begin(), w.begin() + h, w.end());
            y[i] = w[h];
        }
        benchmark::DoNotOptimize(y.data());
    }
}

void LowpassMember(benchmark::State& state, int v) {
    const int len = static_cast<int>(state.range(0));
    std::vector<double> taps(len);
    auto design = sp_dispatch_member<sp_entry_sp_fir_design_lowpass_f64>(v);
    for (auto _ : state) {
        design(0.2, taps.data(), len, sp_window_hamming, 1);
        benchmark::DoNotOptimize(taps.data());
    }
}
void LowpassRef(benchmark::State& state) {
    const int len = static_cast<int>(state.range(0));
    std::vector<double> taps(len);
    const double pi = 3.14159265358979323846;
    for (auto _ : state) {
        // One sine and one cosine per tap.
        double sum = 0;
        const double centre = (len - 1) / 2.0;
        for (int n = 0; n < len; ++n) {
            const double d = n - centre;
            const double ideal = d == 0 ? 0.4 : sin(2 * pi * 0.2 * d) / (pi * d);
            taps[n] = ideal * (0.54 - 0.46 * cos(2 * pi * n / (len - 1)));
            sum += taps[n];
        }
        for (double& t : taps) t /= fabs(sum);
        benchmark::DoNotOptimize(taps.data());
    }
}

// ---- The ratio table ---------------------------------------------------------------

const std::vector<kpbench::RatioOp> kOps = {
    {"copy_i16", CopyMember, CopyRef, "memcpy", {64, 4096, 65536, 1 << 20}},
    {"zero_i16", ZeroMember, ZeroRef, "memset", {64, 4096, 65536, 1 << 20}},
    {"i16_to_f32", ToFloatMember, ToFloatRef, "loop", {64, 4096, 65536}},
    {"f32_to_i16", ToI16Member, ToI16Ref, "loop", {64, 4096, 65536}},
    {"median_4096", MedianMember, MedianRef, "sort", {3, 5, 9, 15}},
    {"lowpass_hamming", LowpassMember, LowpassRef, "direct", {64, 1024, 3200}},
};

}  // namespace

int main(int argc, char** argv) {
    return kpbench::RunRatioTable(argc, argv, kOps);
}
