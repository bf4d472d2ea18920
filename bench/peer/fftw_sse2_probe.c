/* FFTW's AVX probe answered with 0.  Loaded first in a link-map namespace of
 * its own, with the single-precision FFTW library as its dependency, this
 * definition comes before FFTW's own in that namespace's lookup scope: the
 * library there calls it through its procedure linkage table, sees no AVX
 * and plans with its SSE2 codelets, on any processor and without CPUID
 * faulting.  The copy of FFTW the process loads normally is not affected. */
int fftwf_have_simd_avx(void);

int fftwf_have_simd_avx(void) {
    return 0;
}
