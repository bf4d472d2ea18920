// Speed of the cross-correlation members at the wave correlator's shapes
// (W = 4000 and 8000 samples, 2W + 1 lags, FFT path): each member as a plain
// call (plan and buffers built and freed inside it) and with a keep (the
// correlator's steady state), against an FFTW correlator with its plans kept
// (libfftw3f.so.3 loaded at run time; without it the members only).  Then a
// direct-path shape (256 x 256, 300 lags) against a plain double loop.  All
// systems of a shape run interleaved round by round in thread CPU time; the
// median per call and the per-round ratios with their 10th-90th percentile
// spread are printed.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fftw_peer.h"
#include "interleaved.h"
#include "sp_primitives.h"

namespace {

const char* const kVariant[4] = {"generic", "sse", "sse2", "sse3"};
typedef sp_status (*KeepFn)(const int16_t*, int32_t, const int16_t*, int32_t, int16_t*, int32_t,
                            int32_t, int32_t, sp_xcorr_keep*);
const KeepFn kKeep[4] = {sp_xcorr_i16_scaled_keep, sp_xcorr_i16_scaled_keep_sse,
                         sp_xcorr_i16_scaled_keep_sse2, sp_xcorr_i16_scaled_keep_sse3};

bool Runs(int v) {
    return v != sp_variant_sse3 || __builtin_cpu_supports("sse3");
}

std::vector<int16_t> Signal(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(-9000, 9000);
    std::vector<int16_t> v(n);
    for (int16_t& x : v) x = static_cast<int16_t>(dist(gen));
    return v;
}

// The same correlation on FFTW with its plans made once: both inputs zero
// padded to the power of two, the conjugate product, the inverse, and the
// scaled, rounded and saturated 16-bit lags.
struct FftwCorrelator {
    const kpbench::Fftw& f;
    int w, n;
    float *a, *b, *out;
    kpbench::Fftw::Complex *x, *y;
    void *pa, *pb, *pi;
    FftwCorrelator(const kpbench::Fftw& fftw, int window) : f(fftw), w(window), n(1) {
        while (n < 2 * w - 1) n *= 2;
        a = static_cast<float*>(f.alloc(sizeof(float) * size_t(n)));
        b = static_cast<float*>(f.alloc(sizeof(float) * size_t(n)));
        out = static_cast<float*>(f.alloc(sizeof(float) * size_t(n)));
        x = static_cast<kpbench::Fftw::Complex*>(
            f.alloc(sizeof(kpbench::Fftw::Complex) * size_t(n / 2 + 1)));
        y = static_cast<kpbench::Fftw::Complex*>(
            f.alloc(sizeof(kpbench::Fftw::Complex) * size_t(n / 2 + 1)));
        pa = f.plan_r2c(n, a, x, kpbench::kFftwMeasure);
        pb = f.plan_r2c(n, b, y, kpbench::kFftwMeasure);
        pi = f.plan_c2r(n, y, out, kpbench::kFftwMeasure);
    }
    ~FftwCorrelator() {
        f.destroy(pa);
        f.destroy(pb);
        f.destroy(pi);
        for (void* p : {static_cast<void*>(a), static_cast<void*>(b), static_cast<void*>(out),
                        static_cast<void*>(x), static_cast<void*>(y)})
            f.release(p);
    }
    void Run(const int16_t* s1, const int16_t* s2, int16_t* dst, int scale) {
        // s2 shifted by w - 1 so that position m holds lag m - (w - 1).
        for (int i = 0; i < w; ++i) a[i] = s1[i];
        memset(a + w, 0, sizeof(float) * size_t(n - w));
        memset(b, 0, sizeof(float) * size_t(w - 1));
        for (int i = 0; i < w; ++i) b[w - 1 + i] = s2[i];
        memset(b + 2 * w - 1, 0, sizeof(float) * size_t(n - (2 * w - 1)));
        f.execute(pa);
        f.execute(pb);
        kpbench::ProductWithConjugate(y, x, n / 2 + 1);
        f.execute(pi);
        const float factor = ldexpf(1.0f, -scale) / float(n);
        for (int j = 0; j < 2 * w + 1 && j < n; ++j) {
            const float v = nearbyintf(out[j] * factor);
            dst[j] = static_cast<int16_t>(v > 32767.0f ? 32767 : v < -32768.0f ? -32768 : v);
        }
    }
};

void WaveShape(const kpbench::Fftw* fftw, int w) {
    const int lags = 2 * w + 1, lowLag = 1 - w, scale = w == 4000 ? 27 : 28;
    const std::vector<int16_t> a = Signal(size_t(w), 1), b = Signal(size_t(w), 2);
    std::vector<std::vector<int16_t>> out;
    std::vector<sp_xcorr_keep> keeps(4, sp_xcorr_keep{});
    std::vector<kpbench::System> systems;
    out.reserve(16);
    for (int v = 0; v < 4; ++v) {
        if (!Runs(v)) continue;
        out.emplace_back(size_t(lags));
        int16_t* dst = out.back().data();
        auto plain = sp_dispatch_member<sp_entry_sp_xcorr_i16_scaled>(v);
        systems.push_back({std::string(kVariant[v]), [=, &a, &b] {
                               plain(a.data(), w, b.data(), w, dst, lags, lowLag, scale);
                           }});
        out.emplace_back(size_t(lags));
        int16_t* keptDst = out.back().data();
        sp_xcorr_keep* keep = &keeps[size_t(v)];
        systems.push_back({std::string(kVariant[v]) + "+keep", [=, &a, &b] {
                               kKeep[v](a.data(), w, b.data(), w, keptDst, lags, lowLag, scale,
                                        keep);
                           }});
    }
    FftwCorrelator* peer = fftw != nullptr ? new FftwCorrelator(*fftw, w) : nullptr;
    if (peer != nullptr) {
        out.emplace_back(size_t(lags));
        int16_t* dst = out.back().data();
        systems.push_back({"FFTW", [=, &a, &b] { peer->Run(a.data(), b.data(), dst, scale); }});
    }
    const auto t = kpbench::RunRounds(systems, 21);
    printf("\nxcorr W=%d (%d lags), us per call, median (10%%-90%%)%s\n", w, lags,
           peer != nullptr ? "; ratio to the FFTW correlator per round" : "");
    for (size_t i = 0; i < systems.size(); ++i) {
        const kpbench::Spread s = kpbench::SpreadOf(t[i]);
        printf("  %-14s %8.1f (%.1f-%.1f)", systems[i].name.c_str(), s.median / 1e3, s.low / 1e3,
               s.high / 1e3);
        if (peer != nullptr && i + 1 < systems.size()) {
            const kpbench::Spread r = kpbench::RatioSpread(t[i], t.back());
            printf("   %5.2f (%.2f-%.2f)", r.median, r.low, r.high);
        }
        printf("\n");
    }
    if (peer != nullptr) {
        // The peer computes the same lags: the largest difference from the generic member.
        int worst = 0;
        for (size_t j = 0; j < size_t(lags); ++j)
            worst = std::max(worst, std::abs(out.front()[j] - out.back()[j]));
        printf("  the FFTW correlator's lags differ from the generic member's by at most %d\n",
               worst);
    }
    for (sp_xcorr_keep& k : keeps) sp_xcorr_keep_release(&k);
    delete peer;
}

void DirectShape() {
    const int len = 256, lags = 300, lowLag = -150;
    const std::vector<int16_t> a = Signal(len, 1), b = Signal(len, 2);
    std::vector<std::vector<int16_t>> out(4, std::vector<int16_t>(lags));
    std::vector<double> naive(lags);
    std::vector<kpbench::System> systems;
    for (int v = 0; v < 4; ++v) {
        if (!Runs(v)) continue;
        auto fn = sp_dispatch_member<sp_entry_sp_xcorr_i16_scaled>(v);
        int16_t* dst = out[size_t(v)].data();
        systems.push_back({kVariant[v], [=, &a, &b] {
                               fn(a.data(), len, b.data(), len, dst, lags, lowLag, 12);
                           }});
    }
    // The in-house baseline: one double dot product per lag.
    systems.push_back({"naive_double", [&] {
                           for (int j = 0; j < lags; ++j) {
                               const int k = lowLag + j;
                               double sum = 0;
                               for (int n = k < 0 ? -k : 0; n < len && n + k < len; ++n)
                                   sum += static_cast<double>(a[size_t(n)]) * b[size_t(n + k)];
                               naive[size_t(j)] = sum;
                           }
                       }});
    const auto t = kpbench::RunRounds(systems, 21);
    printf("\nxcorr direct 256x256, 300 lags, us per call; ratio to the double loop per round\n");
    for (size_t i = 0; i < systems.size(); ++i) {
        const kpbench::Spread s = kpbench::SpreadOf(t[i]);
        const kpbench::Spread r = kpbench::RatioSpread(t[i], t.back());
        printf("  %-14s %8.2f (%.2f-%.2f)   %5.2f (%.2f-%.2f)\n", systems[i].name.c_str(),
               s.median / 1e3, s.low / 1e3, s.high / 1e3, r.median, r.low, r.high);
    }
}

}  // namespace

int main() {
    kpbench::Fftw fftw;
    const bool haveFftw = fftw.Load(false);
    if (!haveFftw) printf("FFTW (libfftw3f.so.3) not found: only the members are timed\n");
    for (int w : {4000, 8000}) WaveShape(haveFftw ? &fftw : nullptr, w);
    DirectShape();
    return 0;
}
