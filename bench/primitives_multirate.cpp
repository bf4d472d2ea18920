// Speed of the rate-changing primitives' members against plain loops compiled
// here with the same flags: the polyphase resampler (entry 64, both tap forms)
// against a double-loop polyphase resampler, down- and up-sampling (entries
// 44, 60) against memcpy of the same bytes, and the multirate FIR modes
// (entry 45 on states from the test builder) against a double-loop polyphase
// FIR.  After the run a table gives each member's time as a ratio to its
// reference.
#include <math.h>
#include <string.h>

#include <vector>

#include "ratio_table.h"
#include "sp_fir_multirate_builder.h"
#include "sp_primitives.h"
#include "sp_resampler_internal.h"

namespace {

constexpr int kBlock = 4800;  // input samples per call

struct RateCase {
    int32_t in, out, len;
};
// Argument i of the resampler ops.
const RateCase kRates[] = {{8000, 16000, 32}, {8000, 16000, 64},  {16000, 8000, 32},
                           {16000, 8000, 64}, {44100, 48000, 32}, {44100, 48000, 64}};

template <int Hint>
void ResampleMember(benchmark::State& state, int v) {
    const RateCase& c = kRates[state.range(0)];
    sp_resampler_state* s = nullptr;
    sp_dispatch_member<sp_entry_sp_resampler_create>(v)(&s, c.in, c.out, c.len, 0.9f, 8.0f, Hint);
    const std::vector<int16_t> x = kpbench::Signal(kBlock + 2 * c.len);
    std::vector<int16_t> y(2 * kBlock + 64);
    auto run = sp_dispatch_member<sp_entry_sp_resampler_run_i16>(v);
    int32_t outLen = 0;
    for (auto _ : state) {
        double t = 0.0;
        run(s, x.data() + c.len, kBlock, y.data(), 1.0f, &t, &outLen);
        benchmark::DoNotOptimize(y.data());
    }
    sp_resampler_free(s);
    state.SetItemsProcessed(state.iterations() * kBlock);
}

// The reference: for each output position, the prototype's taps around it in
// a double loop over the phase's filter taken from the generic state.
template <int Hint>
void ResampleRef(benchmark::State& state) {
    const RateCase& c = kRates[state.range(0)];
    sp_resampler_state* s = nullptr;
    sp_resampler_create(&s, c.in, c.out, c.len, 0.9f, 8.0f, Hint);
    const int64_t p = s->p, q = s->q, half = s->half;
    std::vector<std::vector<double>> phases(static_cast<size_t>(q));
    for (int64_t phi = 0; phi < q; ++phi) {
        const int64_t count = 2 * half + (phi == 0 ? 1 : 0);
        for (int64_t k = 0; k < count; ++k)
            phases[phi].push_back(Hint == 2 ? static_cast<const float*>(s->phases[phi])[k]
                                            : static_cast<const int16_t*>(s->phases[phi])[k]);
    }
    const double gain = (q < p ? double(q) / double(p) : 1.0) * s->tap_scale;
    const std::vector<int16_t> x = kpbench::Signal(kBlock + 2 * c.len);
    std::vector<int16_t> y(2 * kBlock + 64);
    for (auto _ : state) {
        int32_t n = 0;
        for (int64_t v = 0; v < int64_t{kBlock} * q; v += p) {
            const int64_t phi = v % q, t = v / q;
            const int16_t* w = x.data() + c.len + t - half + (phi == 0 ? 0 : 1);
            double acc = 0.0;
            for (size_t k = 0; k < phases[phi].size(); ++k) acc += w[k] * phases[phi][k];
            const double r = acc * gain;
            y[n++] = static_cast<int16_t>(r >= 32767.0    ? 32767.0
                                          : r <= -32768.0 ? -32768.0
                                                          : nearbyint(r));
        }
        benchmark::DoNotOptimize(y.data());
    }
    sp_resampler_free(s);
    state.SetItemsProcessed(state.iterations() * kBlock);
}

void DownMember(benchmark::State& state, int v) {
    const int32_t factor = static_cast<int32_t>(state.range(0));
    const std::vector<int16_t> x = kpbench::Signal(kBlock);
    std::vector<int16_t> y(kBlock);
    auto down = sp_dispatch_member<sp_entry_sp_downsample_i16>(v);
    for (auto _ : state) {
        int32_t len = 0, phase = 0;
        down(x.data(), kBlock, y.data(), &len, factor, &phase);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

// memcpy of the bytes the call writes.
void DownRef(benchmark::State& state) {
    const int32_t factor = static_cast<int32_t>(state.range(0));
    const std::vector<int16_t> x = kpbench::Signal(kBlock);
    std::vector<int16_t> y(kBlock);
    for (auto _ : state) {
        memcpy(y.data(), x.data(), 2 * static_cast<size_t>((kBlock + factor - 1) / factor));
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

void UpMember(benchmark::State& state, int v) {
    const int32_t factor = static_cast<int32_t>(state.range(0));
    const std::vector<int16_t> x = kpbench::Signal(kBlock);
    std::vector<int16_t> y(static_cast<size_t>(kBlock) * factor);
    auto up = sp_dispatch_member<sp_entry_sp_upsample_i16>(v);
    for (auto _ : state) {
        int32_t len = 0, phase = 1;
        up(x.data(), kBlock, y.data(), &len, factor, &phase);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

void UpRef(benchmark::State& state) {
    const int32_t factor = static_cast<int32_t>(state.range(0));
    const std::vector<int16_t> x = kpbench::Signal(kBlock * factor);
    std::vector<int16_t> y(x.size());
    for (auto _ : state) {
        memcpy(y.data(), x.data(), 2 * x.size());
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

// Multirate FIR: argument i picks (U, D); 8 taps per output.
struct MrCase {
    int32_t up, down;
};
const MrCase kMr[] = {{2, 1}, {1, 2}, {3, 2}, {4, 3}};

sptest::MultirateSpec MrSpec(int mode, int64_t i, bool simd) {
    sptest::MultirateSpec spec;
    spec.mode = mode;
    spec.up = mode == 2 ? 1 : kMr[i].up;
    spec.down = kMr[i].down;
    spec.simd = simd;
    for (int32_t k = 0; k < 8 * spec.up; ++k) spec.taps.push_back(0.1 * cos(0.3 * k));
    return spec;
}

template <int Mode>
void MrMember(benchmark::State& state, int v) {
    const sptest::MultirateSpec spec = MrSpec(Mode, state.range(0), v != sp_variant_generic);
    sp_fir_state* s = sptest::BuildMultirateFir(spec);
    const int32_t n = kBlock / spec.down;
    const std::vector<int16_t> x = kpbench::Signal(kBlock);
    std::vector<int16_t> y(static_cast<size_t>(n) * spec.up);
    auto filter = sp_dispatch_member<sp_entry_sp_fir_filter_i16_scaled>(v);
    for (auto _ : state) {
        filter(x.data(), y.data(), n, s, 0);
        benchmark::DoNotOptimize(y.data());
    }
    sp_dispatch_member<sp_entry_sp_fir_free>(v)(s);
    state.SetItemsProcessed(state.iterations() * kBlock);
}

// Up-sample, filter and keep every D-th in a double loop over the inputs of
// each output's window.
template <int Mode>
void MrRef(benchmark::State& state) {
    const sptest::MultirateSpec spec = MrSpec(Mode, state.range(0), false);
    const int64_t u = spec.up, d = spec.down, taps = static_cast<int64_t>(spec.taps.size());
    const int32_t n = kBlock / spec.down;
    const int64_t h = (taps + u - 1) / u;
    std::vector<int16_t> line(static_cast<size_t>(kBlock + h), 0);
    const std::vector<int16_t> x = kpbench::Signal(kBlock);
    std::vector<int16_t> y(static_cast<size_t>(n) * spec.up);
    for (auto _ : state) {
        memcpy(line.data() + h, x.data(), 2 * x.size());
        for (int64_t m = 0; m < int64_t{n} * u; ++m) {
            const int64_t centre = m * d, newest = centre / u;
            double acc = 0.0;
            for (int64_t i = newest; i >= 0 && centre - i * u < taps; --i)
                acc += line[static_cast<size_t>(h + i)] *
                       spec.taps[static_cast<size_t>(centre - i * u)];
            y[static_cast<size_t>(m)] = static_cast<int16_t>(acc >= 32767.0    ? 32767.0
                                                             : acc <= -32768.0 ? -32768.0
                                                                               : nearbyint(acc));
        }
        memcpy(line.data(), line.data() + kBlock, 2 * static_cast<size_t>(h));
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

}  // namespace

int main(int argc, char** argv) {
    static const std::vector<kpbench::RatioOp> ops = {
        {"resample/i16", ResampleMember<0>, ResampleRef<0>, "double", {0, 1, 2, 3, 4, 5}},
        {"resample/f32", ResampleMember<2>, ResampleRef<2>, "double", {0, 1, 2, 3, 4, 5}},
        {"downsample", DownMember, DownRef, "memcpy", {2, 3, 5}},
        {"upsample", UpMember, UpRef, "memcpy", {2, 3, 5}},
        {"fir_mr/grouped", MrMember<1>, MrRef<1>, "double", {0, 1, 2, 3}},
        {"fir_mr/strided", MrMember<2>, MrRef<2>, "double", {1}},
        {"fir_mr/general", MrMember<3>, MrRef<3>, "double", {0, 1, 2, 3}},
    };
    return kpbench::RunRatioTable(argc, argv, ops);
}
