// Speed of the IIR filters' members (entries 19 and 30) against a plain
// transposed direct form in double, compiled here with the same flags; and of
// cascades of second-order sections, built by the test support, against a
// plain double cascade.  Calls of 4N samples take the SIMD members' per-sample
// path, longer ones their block path.  After the run a table gives each
// member's time as a ratio to its reference.
#include <math.h>

#include <random>
#include <vector>

#include "ratio_table.h"
#include "sp_iir_reference.h"
#include "sp_primitives.h"

namespace {

constexpr uint32_t kCascadeKindA = 0x49493036;

int16_t Saturate(double v) {
    return static_cast<int16_t>(v > 32767.0 ? 32767 : v < -32768.0 ? -32768 : lrint(v));
}

// The reference: y = b0 x + d0, dk = b(k+1) x - a(k+1) y + d(k+1), in double.
void DirectLoop(const std::vector<double>& b, const std::vector<double>& a, std::vector<double>& d,
                const int16_t* x, int16_t* y, int n) {
    const size_t order = b.size() - 1;
    for (int i = 0; i < n; ++i) {
        const double in = x[i];
        const double out = b[0] * in + d[0];
        for (size_t k = 0; k < order; ++k) d[k] = b[k + 1] * in - a[k + 1] * out + d[k + 1];
        y[i] = Saturate(out);
    }
}

template <int Order, bool InPlace>
void DirectMember(benchmark::State& state, int v) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> c = sptest::RandomStableDirect(Order, 3);
    sp_iir_state* s = nullptr;
    sp_dispatch_member<sp_entry_sp_iir_create_a>(v)(&s, c.data(), Order, nullptr);
    std::vector<int16_t> x = kpbench::Signal(n), y(n);
    auto filter = sp_dispatch_member<sp_entry_sp_iir_filter_i16_scaled>(v);
    auto inplace = sp_dispatch_member<sp_entry_sp_iir_filter_i16_scaled_inplace>(v);
    for (auto _ : state) {
        if (InPlace) {
            inplace(x.data(), n, s, 0);
        } else {
            filter(x.data(), y.data(), n, s, 0);
        }
        benchmark::DoNotOptimize(y.data());
        benchmark::DoNotOptimize(x.data());
    }
    sp_dispatch_member<sp_entry_sp_iir_free_a>(v)(s);
    state.SetItemsProcessed(state.iterations() * n);
}

template <int Order>
void DirectRef(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> c = sptest::RandomStableDirect(Order, 3);
    std::vector<double> b(c.begin(), c.begin() + Order + 1), a(c.begin() + Order + 1, c.end());
    std::vector<double> d(Order + 1, 0.0);
    std::vector<int16_t> x = kpbench::Signal(n), y(n);
    for (auto _ : state) {
        DirectLoop(b, a, d, x.data(), y.data(), n);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

template <int Sections>
void CascadeMember(benchmark::State& state, int v) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> c = sptest::RandomStableSections(Sections, 5);
    sp_iir_state* s = nullptr;
    sptest::BuildIirCascade(v, kCascadeKindA, c.data(), Sections, nullptr, &s);
    std::vector<int16_t> x = kpbench::Signal(n), y(n);
    auto filter = sp_dispatch_member<sp_entry_sp_iir_filter_i16_scaled>(v);
    for (auto _ : state) {
        filter(x.data(), y.data(), n, s, 0);
        benchmark::DoNotOptimize(y.data());
    }
    sp_dispatch_member<sp_entry_sp_iir_free_a>(v)(s);
    state.SetItemsProcessed(state.iterations() * n);
}

template <int Sections>
void CascadeRef(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> c = sptest::RandomStableSections(Sections, 5);
    std::vector<double> d(2 * Sections, 0.0);
    std::vector<int16_t> x = kpbench::Signal(n), y(n);
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            double in = x[i];
            for (int s = 0; s < Sections; ++s) {
                const float* k = c.data() + 6 * s;  // b0 b1 b2 a0 a1 a2, a0 = 1
                const double out = k[0] * in + d[2 * s];
                d[2 * s] = k[1] * in - k[4] * out + d[2 * s + 1];
                d[2 * s + 1] = k[2] * in - k[5] * out;
                in = out;
            }
            y[i] = Saturate(in);
        }
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

template <int Order>
void AddDirect(std::vector<kpbench::RatioOp>& ops) {
    static const std::string name = "iir19/o" + std::to_string(Order);
    static const std::string inplace = "iir30/o" + std::to_string(Order);
    const std::vector<int64_t> args = {4 * Order, 160, 1024, 4096};
    ops.push_back({name.c_str(), DirectMember<Order, false>, DirectRef<Order>, "double", args});
    ops.push_back({inplace.c_str(), DirectMember<Order, true>, DirectRef<Order>, "double", args});
}

template <int Sections>
void AddCascade(std::vector<kpbench::RatioOp>& ops) {
    static const std::string name = "iir19/s" + std::to_string(Sections);
    ops.push_back({name.c_str(),
                   CascadeMember<Sections>,
                   CascadeRef<Sections>,
                   "double",
                   {4 * Sections, 160, 1024, 4096}});
}

}  // namespace

int main(int argc, char** argv) {
    static std::vector<kpbench::RatioOp> ops;
    AddDirect<2>(ops);
    AddDirect<4>(ops);
    AddDirect<8>(ops);
    AddDirect<10>(ops);
    AddCascade<1>(ops);
    AddCascade<2>(ops);
    AddCascade<4>(ops);
    return kpbench::RunRatioTable(argc, argv, ops);
}
