// Speed of every real-FFT member (generic, SSE, SSE2, SSE3) against FFTW in
// single precision, with and without FFTW's own SIMD code, at orders 8 to 20
// and at the wave correlator's shape (two forward transforms, the conjugate
// product and one inverse at orders 13 and 14).  One run; times per
// transform and the ratios to FFTW are printed.  FFTW is loaded at run time
// (libfftw3f.so.3, Debian's libfftw3-dev); without it only our members are
// timed.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <vector>

#include "sp_fft_simd.h"
#include "sp_primitives.h"

namespace {

// The few FFTW entry points used, by their C names.
struct Fftw {
    typedef float Complex[2];
    void* (*plan_r2c)(int n, float* in, Complex* out, unsigned flags) = nullptr;
    void* (*plan_c2r)(int n, Complex* in, float* out, unsigned flags) = nullptr;
    void (*execute)(void* plan) = nullptr;
    void (*destroy)(void* plan) = nullptr;
    void* (*alloc)(size_t bytes) = nullptr;
    void (*release)(void* p) = nullptr;
    bool Load() {
        void* lib = dlopen("libfftw3f.so.3", RTLD_NOW);
        if (lib == nullptr) return false;
        plan_r2c = reinterpret_cast<decltype(plan_r2c)>(dlsym(lib, "fftwf_plan_dft_r2c_1d"));
        plan_c2r = reinterpret_cast<decltype(plan_c2r)>(dlsym(lib, "fftwf_plan_dft_c2r_1d"));
        execute = reinterpret_cast<decltype(execute)>(dlsym(lib, "fftwf_execute"));
        destroy = reinterpret_cast<decltype(destroy)>(dlsym(lib, "fftwf_destroy_plan"));
        alloc = reinterpret_cast<decltype(alloc)>(dlsym(lib, "fftwf_malloc"));
        release = reinterpret_cast<decltype(release)>(dlsym(lib, "fftwf_free"));
        return plan_r2c && plan_c2r && execute && destroy && alloc && release;
    }
};
constexpr unsigned kFftwMeasure = 0, kFftwNoSimd = 1u << 17;

// Best of five runs of enough repetitions for about 20 ms, in ns per call.
double Time(const std::function<void()>& fn) {
    using Clock = std::chrono::steady_clock;
    fn();
    int reps = 1;
    for (;;) {
        const auto t0 = Clock::now();
        for (int i = 0; i < reps; ++i) fn();
        if (Clock::now() - t0 > std::chrono::milliseconds(20) || reps > (1 << 24)) break;
        reps *= 2;
    }
    double best = 1e300;
    for (int run = 0; run < 5; ++run) {
        const auto t0 = Clock::now();
        for (int i = 0; i < reps; ++i) fn();
        best = std::min(best,
                        std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / reps);
    }
    return best;
}

struct Member {
    const char* name;
    sp_status (*init)(sp_rfft_spec**, int32_t, int32_t, int32_t);
    sp_status (*forward)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*inverse)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*mulConj)(const float*, float*, int32_t);
};
const Member kMembers[] = {
    {"generic", sp_rfft_spec_init, sp_rfft_forward, sp_rfft_inverse, sp_packed_spectrum_mul_conj},
    {"SSE", sp_rfft_spec_init_sse, sp_rfft_forward_sse, sp_rfft_inverse_sse,
     sp_packed_spectrum_mul_conj_sse},
    {"SSE2", sp_rfft_spec_init_sse2, sp_rfft_forward_sse2, sp_rfft_inverse_sse2,
     sp_packed_spectrum_mul_conj_sse2},
    {"SSE3", sp_rfft_spec_init_sse3, sp_rfft_forward_sse3, sp_rfft_inverse_sse3,
     sp_packed_spectrum_mul_conj_sse3},
};
constexpr int kMemberCount = 4;

// One member at one order: forward alone, or the correlation shape.
double TimeMember(const Member& m, int order, bool correlation) {
    const size_t n = size_t{1} << order;
    std::mt19937 gen(order);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> a(n), b(n), x(n), y(n);
    for (size_t i = 0; i < n; ++i) a[i] = dist(gen), b[i] = dist(gen);
    sp_rfft_spec* spec = nullptr;
    if (m.init(&spec, order, sp_rfft_scale_inverse, 0) != sp_status_ok) return 0;
    int32_t bytes = 0;
    sp_rfft_get_buf_size(spec, &bytes);
    std::vector<uint8_t> work(static_cast<size_t>(bytes) + 16);
    const double ns = correlation ? Time([&] {
        m.forward(a.data(), x.data(), spec, work.data());
        m.forward(b.data(), y.data(), spec, work.data());
        m.mulConj(y.data(), x.data(), static_cast<int32_t>(n));
        m.inverse(x.data(), y.data(), spec, work.data());
    })
                                  : Time([&] { m.forward(a.data(), x.data(), spec, work.data()); });
    sp_rfft_spec_free(spec);
    return ns;
}

double TimeFftw(const Fftw& f, int order, unsigned flags, bool correlation) {
    const int n = 1 << order;
    float* a = static_cast<float*>(f.alloc(sizeof(float) * n));
    float* b = static_cast<float*>(f.alloc(sizeof(float) * n));
    auto* x = static_cast<Fftw::Complex*>(f.alloc(sizeof(Fftw::Complex) * (n / 2 + 1)));
    auto* y = static_cast<Fftw::Complex*>(f.alloc(sizeof(Fftw::Complex) * (n / 2 + 1)));
    void* pa = f.plan_r2c(n, a, x, kFftwMeasure | flags);
    void* pb = f.plan_r2c(n, b, y, kFftwMeasure | flags);
    void* pi = f.plan_c2r(n, x, a, kFftwMeasure | flags);
    std::mt19937 gen(order);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int i = 0; i < n; ++i) a[i] = dist(gen), b[i] = dist(gen);
    const double ns = correlation ? Time([&] {
        f.execute(pa);
        f.execute(pb);
        for (int k = 0; k <= n / 2; ++k) {
            const float re = x[k][0] * y[k][0] + x[k][1] * y[k][1];
            const float im = x[k][1] * y[k][0] - x[k][0] * y[k][1];
            x[k][0] = re;
            x[k][1] = im;
        }
        f.execute(pi);
    })
                                  : Time([&] { f.execute(pa); });
    f.destroy(pa);
    f.destroy(pb);
    f.destroy(pi);
    f.release(a);
    f.release(b);
    f.release(x);
    f.release(y);
    return ns;
}

void Row(const Fftw* fftw, int order, bool correlation) {
    double t[kMemberCount];
    double best = 1e300;
    for (int i = 0; i < kMemberCount; ++i) {
        t[i] = TimeMember(kMembers[i], order, correlation);
        if (i > 0 && t[i] > 0) best = std::min(best, t[i]);
    }
    printf("%-12s %2d", correlation ? "correlation" : "forward", order);
    for (double v : t) printf(" %10.0f", v);
    if (fftw != nullptr) {
        const double simd = TimeFftw(*fftw, order, 0, correlation);
        const double plain = TimeFftw(*fftw, order, kFftwNoSimd, correlation);
        printf(" %10.0f %10.0f   %6.2f %6.2f", simd, plain, best / simd, best / plain);
    }
    printf("\n");
}

}  // namespace

int main() {
    Fftw fftw;
    const bool haveFftw = fftw.Load();
    if (!haveFftw) printf("FFTW (libfftw3f.so.3) not found: only the members are timed\n");
    printf("ns per call; ratios = best SIMD member / FFTW (below 1: faster than FFTW)\n");
    printf("%-12s %2s %10s %10s %10s %10s", "shape", "N", "generic", "SSE", "SSE2", "SSE3");
    if (haveFftw) printf(" %10s %10s   %6s %6s", "FFTW", "FFTW-noSIMD", "/FFTW", "/noSIMD");
    printf("\n");
    for (int order = 8; order <= 20; ++order) Row(haveFftw ? &fftw : nullptr, order, false);
    for (int order : {13, 14}) Row(haveFftw ? &fftw : nullptr, order, true);
    return 0;
}
