// FFTW in single precision as a benchmark peer, loaded at run time through
// its public C API (libfftw3f.so.3, Debian's libfftw3-dev): the few entry
// points the benches use.  Load(true) loads a second copy in a link-map
// namespace of its own.
#pragma once

#include <dlfcn.h>
#include <link.h>
#include <stddef.h>

namespace kpbench {

// The few FFTW entry points used, by their C names.
struct Fftw {
    typedef float Complex[2];
    void* (*plan_r2c)(int n, float* in, Complex* out, unsigned flags) = nullptr;
    void* (*plan_c2r)(int n, Complex* in, float* out, unsigned flags) = nullptr;
    void (*execute)(void* plan) = nullptr;
    void (*destroy)(void* plan) = nullptr;
    void* (*alloc)(size_t bytes) = nullptr;
    void (*release)(void* p) = nullptr;
    char* (*describe)(void* plan) = nullptr;
    void (*freeText)(void* p) = nullptr;  // the C library free of this copy's namespace
    // ownNamespace: a second copy, in a link-map namespace of its own, loaded
    // behind `front` when given (a library with FFTW as its dependency whose
    // definitions come first in that namespace).
    bool Load(bool ownNamespace, const char* front = nullptr) {
        const char* path = front != nullptr ? front : "libfftw3f.so.3";
        void* lib = ownNamespace ? dlmopen(LM_ID_NEWLM, path, RTLD_NOW) : dlopen(path, RTLD_NOW);
        if (lib == nullptr) return false;
        plan_r2c = reinterpret_cast<decltype(plan_r2c)>(dlsym(lib, "fftwf_plan_dft_r2c_1d"));
        plan_c2r = reinterpret_cast<decltype(plan_c2r)>(dlsym(lib, "fftwf_plan_dft_c2r_1d"));
        execute = reinterpret_cast<decltype(execute)>(dlsym(lib, "fftwf_execute"));
        destroy = reinterpret_cast<decltype(destroy)>(dlsym(lib, "fftwf_destroy_plan"));
        alloc = reinterpret_cast<decltype(alloc)>(dlsym(lib, "fftwf_malloc"));
        release = reinterpret_cast<decltype(release)>(dlsym(lib, "fftwf_free"));
        describe = reinterpret_cast<decltype(describe)>(dlsym(lib, "fftwf_sprint_plan"));
        freeText = reinterpret_cast<decltype(freeText)>(dlsym(lib, "free"));
        return plan_r2c && plan_c2r && execute && destroy && alloc && release && describe &&
               freeText;
    }
};
constexpr unsigned kFftwMeasure = 0, kFftwNoSimd = 1u << 17;

// dst = dst * conj(other), bin by bin (the correlation's product).
inline void ProductWithConjugate(Fftw::Complex* dst, const Fftw::Complex* other, int bins) {
    for (int k = 0; k < bins; ++k) {
        const float re = dst[k][0] * other[k][0] + dst[k][1] * other[k][1];
        const float im = dst[k][1] * other[k][0] - dst[k][0] * other[k][1];
        dst[k][0] = re;
        dst[k][1] = im;
    }
}

}  // namespace kpbench
