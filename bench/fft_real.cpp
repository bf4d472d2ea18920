// Speed of the real FFT (generic member) at orders 8 to 20, forward and
// inverse, with a caller's work buffer and with one allocated per call.  The
// comparison with a peer FFT library lives in its own benchmark.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "sp_primitives.h"

namespace {

struct Fixture {
    explicit Fixture(int order) : n(size_t{1} << order), x(n), y(n) {
        std::mt19937 gen(order);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (float& v : x) v = dist(gen);
        sp_rfft_spec_init(&spec, order, sp_rfft_scale_inverse, 0);
        int32_t bytes = 0;
        sp_rfft_get_buf_size(spec, &bytes);
        work.resize(static_cast<size_t>(bytes) + 1);
    }
    ~Fixture() { sp_rfft_spec_free(spec); }
    size_t n;
    std::vector<float> x, y;
    std::vector<uint8_t> work;
    sp_rfft_spec* spec = nullptr;
};

void Forward(benchmark::State& state, bool ownWork) {
    Fixture f(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        sp_rfft_forward(f.x.data(), f.y.data(), f.spec, ownWork ? nullptr : f.work.data());
        benchmark::DoNotOptimize(f.y.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.n));
}

void Inverse(benchmark::State& state, bool ownWork) {
    Fixture f(static_cast<int>(state.range(0)));
    sp_rfft_forward(f.x.data(), f.x.data(), f.spec, nullptr);
    for (auto _ : state) {
        sp_rfft_inverse(f.x.data(), f.y.data(), f.spec, ownWork ? nullptr : f.work.data());
        benchmark::DoNotOptimize(f.y.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.n));
}

void Orders(benchmark::internal::Benchmark* b) {
    for (int order : {8, 10, 11, 12, 13, 14, 16, 18, 20}) b->Arg(order);
}

BENCHMARK_CAPTURE(Forward, caller_work, false)->Apply(Orders);
BENCHMARK_CAPTURE(Forward, own_work, true)->Apply(Orders);
BENCHMARK_CAPTURE(Inverse, caller_work, false)->Apply(Orders);
BENCHMARK_CAPTURE(Inverse, own_work, true)->Apply(Orders);

}  // namespace

BENCHMARK_MAIN();
