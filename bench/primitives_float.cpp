// Speed of the float vector members and the LMS filter.  The reductions and
// element-wise rows run against memcpy of the same bytes (the memory
// throughput bound), the sort against std::sort, the double scaling against
// memcpy too, and the LMS filter against a plain double-loop LMS compiled here
// with the same flags.  After the run a table gives each member's time as a
// ratio to its reference.
#include <benchmark/benchmark.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "ratio_table.h"
#include "sp_primitives.h"

namespace {

std::vector<float> Noise(size_t n) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> d(-1000.0f, 1000.0f);
    std::vector<float> x(n);
    for (float& v : x) v = d(rng);
    return x;
}

// memcpy of `bytes` per iteration: the reference of every streaming row.
void CopyBytes(benchmark::State& state, size_t bytes) {
    std::vector<unsigned char> src(bytes, 1), dst(bytes);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
    }
}
void CopyF32(benchmark::State& state) {
    CopyBytes(state, static_cast<size_t>(state.range(0)) * 4);
}
void CopyF64(benchmark::State& state) {
    CopyBytes(state, static_cast<size_t>(state.range(0)) * 8);
}

// Runs `call(src, n, dst)` on a noise array.
template <class Call>
void RunReduction(benchmark::State& state, Call call) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    const std::vector<float> x = Noise(n);
    std::vector<float> y(n);
    for (auto _ : state) {
        call(x.data(), n, y.data());
        benchmark::DoNotOptimize(y.data());
    }
}

#define SP_BENCH_REDUCTION(fn, entry, ...)                             \
    void fn(benchmark::State& state, int v) {                          \
        auto member = sp_dispatch_member<entry>(v);                    \
        float r;                                                       \
        int32_t at;                                                    \
        (void)at;                                                      \
        RunReduction(state, [&](const float* x, int32_t n, float* y) { \
            (void)y;                                                   \
            member(__VA_ARGS__);                                       \
            benchmark::DoNotOptimize(r);                               \
        });                                                            \
    }
SP_BENCH_REDUCTION(SumFast, sp_entry_sp_sum_f32, x, n, &r, 1)
SP_BENCH_REDUCTION(SumAccurate, sp_entry_sp_sum_f32, x, n, &r, 0)
SP_BENCH_REDUCTION(Mean, sp_entry_sp_mean_f32, x, n, &r, 1)
SP_BENCH_REDUCTION(StddevFast, sp_entry_sp_stddev_f32, x, n, &r, 1)
SP_BENCH_REDUCTION(StddevAccurate, sp_entry_sp_stddev_f32, x, n, &r, 0)
SP_BENCH_REDUCTION(Max, sp_entry_sp_max_f32, x, n, &r)
SP_BENCH_REDUCTION(Min, sp_entry_sp_min_f32, x, n, &r)
SP_BENCH_REDUCTION(MaxIndex, sp_entry_sp_max_index_f32, x, n, &r, &at)
SP_BENCH_REDUCTION(MinIndex, sp_entry_sp_min_index_f32, x, n, &r, &at)
#undef SP_BENCH_REDUCTION

void Abs(benchmark::State& state, int v) {
    auto member = sp_dispatch_member<sp_entry_sp_abs_f32_inplace>(v);
    RunReduction(state, [&](const float*, int32_t n, float* y) { member(y, n); });
}
void MulConst(benchmark::State& state, int v) {
    auto member = sp_dispatch_member<sp_entry_sp_mul_const_f32_inplace>(v);
    RunReduction(state, [&](const float*, int32_t n, float* y) { member(1.0001f, y, n); });
}
void Div(benchmark::State& state, int v) {
    auto member = sp_dispatch_member<sp_entry_sp_div_f32>(v);
    const std::vector<float> d = Noise(state.range(0));
    RunReduction(state, [&](const float* x, int32_t n, float* y) { member(d.data(), x, y, n); });
}
void Product(benchmark::State& state, int v) {
    auto member = sp_dispatch_member<sp_entry_sp_mul_i16_to_f32>(v);
    const std::vector<int16_t> a(state.range(0), 1234);
    RunReduction(state,
                 [&](const float*, int32_t n, float* y) { member(a.data(), a.data(), y, n); });
}
void MulConstF64(benchmark::State& state, int v) {
    static constexpr sp_status (*kMembers[4])(double, double*, int32_t) = {
        sp_mul_const_f64_inplace, sp_mul_const_f64_inplace_sse, sp_mul_const_f64_inplace_sse2,
        sp_mul_const_f64_inplace_sse3};
    const int32_t n = static_cast<int32_t>(state.range(0));
    std::vector<double> x(n, 1.5);
    for (auto _ : state) {
        kMembers[v](1.0000001, x.data(), n);
        benchmark::DoNotOptimize(x.data());
    }
}

// The sort runs on a fresh copy of the same noise each iteration (the copy is
// in both sides).
void Sort(benchmark::State& state, int v) {
    auto member = sp_dispatch_member<sp_entry_sp_sort_ascend_f32_inplace>(v);
    const std::vector<float> x = Noise(state.range(0));
    std::vector<float> y;
    for (auto _ : state) {
        y = x;
        member(y.data(), static_cast<int32_t>(y.size()));
        benchmark::DoNotOptimize(y.data());
    }
}
void StdSort(benchmark::State& state) {
    const std::vector<float> x = Noise(state.range(0));
    std::vector<float> y;
    for (auto _ : state) {
        y = x;
        std::sort(y.begin(), y.end());
        benchmark::DoNotOptimize(y.data());
    }
}

// ---- LMS: the argument is taps * 10000 + block length --------------------------------

// Noise input and half of it as the desired signal.
struct LmsSignal {
    explicit LmsSignal(const benchmark::State& state)
        : taps(static_cast<int32_t>(state.range(0) / 10000)),
          n(static_cast<int32_t>(state.range(0) % 10000)),
          x(n),
          r(n) {
        std::mt19937 rng(2);
        for (int32_t i = 0; i < n; ++i) {
            x[i] = static_cast<int16_t>(static_cast<int32_t>(rng() % 2000) - 1000);
            r[i] = static_cast<int16_t>(x[i] / 2);
        }
    }
    int32_t taps, n;
    std::vector<int16_t> x, r;
};

void LmsMember(benchmark::State& state, int v) {
    const LmsSignal sig(state);
    const int32_t L = sig.taps, n = sig.n;
    const std::vector<int16_t>&x = sig.x, &r = sig.r;
    std::vector<int16_t> y(n);
    sp_lms_state* s = nullptr;
    sp_dispatch_member<sp_entry_sp_lms_create>(v)(&s, nullptr, L, nullptr, 0);
    auto filter = sp_dispatch_member<sp_entry_sp_lms_filter_i16>(v);
    for (auto _ : state) {
        filter(x.data(), r.data(), y.data(), n, 1e-9f, s);
        benchmark::DoNotOptimize(y.data());
    }
    sp_lms_free(s);
}
void LmsPlain(benchmark::State& state) {
    const LmsSignal sig(state);
    const int32_t L = sig.taps, n = sig.n;
    const std::vector<int16_t>&x = sig.x, &r = sig.r;
    std::vector<int16_t> y(n);
    std::vector<double> h(L, 0.0), line(L, 0.0);
    for (auto _ : state) {
        for (int32_t i = 0; i < n; ++i) {
            std::move_backward(line.begin(), line.end() - 1, line.end());
            line[0] = x[i];
            double acc = 0;
            for (int32_t k = 0; k < L; ++k) acc += h[k] * line[k];
            y[i] = static_cast<int16_t>(std::clamp(acc, -32768.0, 32767.0));
            const double e = 2e-9 * (r[i] - acc);
            for (int32_t k = 0; k < L; ++k) h[k] += e * line[k];
        }
        benchmark::DoNotOptimize(y.data());
    }
}

const std::vector<int64_t> kLengths = {64, 1000, 40000};
const std::vector<kpbench::RatioOp> kOps = {
    {"sum_fast", SumFast, CopyF32, "memcpy", kLengths},
    {"sum_accurate", SumAccurate, CopyF32, "memcpy", kLengths},
    {"mean", Mean, CopyF32, "memcpy", kLengths},
    {"stddev_fast", StddevFast, CopyF32, "memcpy", kLengths},
    {"stddev_acc", StddevAccurate, CopyF32, "memcpy", kLengths},
    {"max", Max, CopyF32, "memcpy", kLengths},
    {"min", Min, CopyF32, "memcpy", kLengths},
    {"max_index", MaxIndex, CopyF32, "memcpy", kLengths},
    {"min_index", MinIndex, CopyF32, "memcpy", kLengths},
    {"abs", Abs, CopyF32, "memcpy", kLengths},
    {"product", Product, CopyF32, "memcpy", kLengths},
    {"mul_const", MulConst, CopyF32, "memcpy", kLengths},
    {"mul_const_f64", MulConstF64, CopyF64, "memcpy", kLengths},
    {"div", Div, CopyF32, "memcpy", kLengths},
    {"sort", Sort, StdSort, "std_sort", {100, 10000, 100000}},
    {"lms",
     LmsMember,
     LmsPlain,
     "double_loop",
     {320160, 322048, 790160, 792048, 800160, 802048, 2560160, 2562048}},
};

}  // namespace

int main(int argc, char** argv) {
    return kpbench::RunRatioTable(argc, argv, kOps);
}
