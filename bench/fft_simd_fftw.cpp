// Speed of every real-FFT member (generic, SSE, SSE2, SSE3) against FFTW in
// single precision, with all its SIMD code, with its SSE2 code only, and with
// none (FFTW_NO_SIMD), at orders 6 to 16 (or as the command line says): one
// call is a forward and an inverse transform, and the wave correlator's shape (two forward
// transforms, the conjugate product and one inverse, each into its own buffer) at orders 12 to 14.
// FFTW is planned with FFTW_MEASURE before any timing.  Members and FFTW run interleaved round by
// round; the median time per call and the per-round ratios are printed with their 10th-90th
// percentile spread.  FFTW is loaded at run time (libfftw3f.so.3, Debian's libfftw3-dev); without
// it only our members are timed.
//
// FFTW picks its codelets from what the processor reports, and has no public
// switch that keeps it to SSE2.  A second copy of the library is loaded in a
// namespace of its own behind a small library that answers FFTW's AVX probe
// with 0 (peer/fftw_sse2_probe.c), so that copy plans with its SSE2 codelets
// while the first copy keeps everything.  Where that library was not built,
// the second copy is planned while CPUID faults instead (the kernel's CPUID
// faulting, Linux arch_prctl): the fault handler answers with the AVX, AVX2
// and AVX-512 bits cleared.  Either way the plan's own description must name
// SSE2 codelets and no AVX ones, or the column reads "-".
#include <asm/prctl.h>
#include <cpuid.h>
#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "fftw_peer.h"
#include "interleaved.h"
#include "sp_fft_simd.h"
#include "sp_primitives.h"

namespace {

using kpbench::Fftw;
using kpbench::kFftwMeasure;
using kpbench::kFftwNoSimd;

// CPUID answered with the vector extensions past SSE4 cleared (AVX, its OS
// state bits, FMA, F16C; AVX2 and AVX-512 in leaf 7; the extended-state
// leaf 0xD empty).
void OnCpuidFault(int, siginfo_t*, void* context) {
    greg_t* regs = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(regs[REG_RIP]);
    if (ip[0] != 0x0f || ip[1] != 0xa2) {  // not CPUID: a real fault
        signal(SIGSEGV, SIG_DFL);
        return;
    }
    const unsigned leaf = unsigned(regs[REG_RAX]), sub = unsigned(regs[REG_RCX]);
    unsigned a, b, c, d;
    syscall(SYS_arch_prctl, ARCH_SET_CPUID, 1);
    __cpuid_count(leaf, sub, a, b, c, d);
    syscall(SYS_arch_prctl, ARCH_SET_CPUID, 0);
    if (leaf == 1) c &= ~((1u << 12) | (1u << 27) | (1u << 28) | (1u << 29));
    if (leaf == 7 && sub == 0) {
        b &= ~((1u << 5) | (1u << 16) | (1u << 17) | (1u << 21) | (1u << 26) | (1u << 27) |
               (1u << 28) | (1u << 30) | (1u << 31));
        c &= ~((1u << 1) | (1u << 6) | (1u << 11) | (1u << 12) | (1u << 14));
        d &= ~((1u << 2) | (1u << 3) | (1u << 8) | (1u << 23));
    }
    if (leaf == 0xd) a = b = c = d = 0;
    regs[REG_RAX] = a;
    regs[REG_RBX] = b;
    regs[REG_RCX] = c;
    regs[REG_RDX] = d;
    regs[REG_RIP] += 2;
}

// Runs `plan` with CPUID faulting on; false when the kernel or processor
// has no CPUID faulting.
template <typename F>
bool WithSse2OnlyCpuid(F plan) {
    struct sigaction action = {}, old = {};
    action.sa_sigaction = OnCpuidFault;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, &old);
    const bool faulting = syscall(SYS_arch_prctl, ARCH_SET_CPUID, 0) == 0;
    if (faulting) {
        plan();
        syscall(SYS_arch_prctl, ARCH_SET_CPUID, 1);
    }
    sigaction(SIGSEGV, &old, nullptr);
    return faulting;
}

int g_rounds = 21;

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

std::vector<float> Random(int order, int seed) {
    std::mt19937 gen(unsigned(order * 7 + seed));
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(size_t{1} << order);
    for (float& x : v) x = dist(gen);
    return v;
}

// One member's buffers and plan at one order.
struct MemberRun {
    const Member& m;
    size_t n;
    std::vector<float> a, b, x, y, z;
    std::vector<uint8_t> work;
    sp_rfft_spec* spec = nullptr;
    MemberRun(const Member& member, int order)
        : m(member),
          n(size_t{1} << order),
          a(Random(order, 1)),
          b(Random(order, 2)),
          x(n),
          y(n),
          z(n) {
        if (m.init(&spec, order, sp_rfft_scale_inverse, 0) != sp_status_ok) return;
        int32_t bytes = 0;
        sp_rfft_get_buf_size(spec, &bytes);
        work.resize(static_cast<size_t>(bytes) + 16);
    }
    ~MemberRun() {
        if (spec != nullptr) sp_rfft_spec_free(spec);
    }
    void Pair() {
        m.forward(a.data(), x.data(), spec, work.data());
        m.inverse(x.data(), y.data(), spec, work.data());
    }
    void Correlation() {
        m.forward(a.data(), x.data(), spec, work.data());
        m.forward(b.data(), y.data(), spec, work.data());
        m.mulConj(y.data(), x.data(), static_cast<int32_t>(n));
        m.inverse(x.data(), z.data(), spec, work.data());
    }
};

// FFTW's buffers and plans at one order; the inverse writes its own output
// (FFTW's complex-to-real transform overwrites its input spectrum, which the
// next forward transform rebuilds).
struct FftwRun {
    const Fftw& f;
    int n;
    float *a, *b, *out;
    Fftw::Complex *x, *y;
    void *pa, *pb, *pi;
    FftwRun(const Fftw& fftw, int order, unsigned flags) : f(fftw), n(1 << order) {
        a = static_cast<float*>(f.alloc(sizeof(float) * size_t(n)));
        b = static_cast<float*>(f.alloc(sizeof(float) * size_t(n)));
        out = static_cast<float*>(f.alloc(sizeof(float) * size_t(n)));
        x = static_cast<Fftw::Complex*>(f.alloc(sizeof(Fftw::Complex) * size_t(n / 2 + 1)));
        y = static_cast<Fftw::Complex*>(f.alloc(sizeof(Fftw::Complex) * size_t(n / 2 + 1)));
        // Planning with FFTW_MEASURE overwrites the arrays: fill them after.
        pa = f.plan_r2c(n, a, x, kFftwMeasure | flags);
        pb = f.plan_r2c(n, b, y, kFftwMeasure | flags);
        pi = f.plan_c2r(n, x, out, kFftwMeasure | flags);
        const std::vector<float> ra = Random(order, 1), rb = Random(order, 2);
        memcpy(a, ra.data(), sizeof(float) * size_t(n));
        memcpy(b, rb.data(), sizeof(float) * size_t(n));
    }
    ~FftwRun() {
        f.destroy(pa);
        f.destroy(pb);
        f.destroy(pi);
        for (void* p : {static_cast<void*>(a), static_cast<void*>(b), static_cast<void*>(out),
                        static_cast<void*>(x), static_cast<void*>(y)})
            f.release(p);
    }
    void Pair() {
        f.execute(pa);
        f.execute(pi);
    }
    void Correlation() {
        f.execute(pa);
        f.execute(pb);
        kpbench::ProductWithConjugate(x, y, n / 2 + 1);
        f.execute(pi);
    }
};

#ifdef KP_FFTW_SSE2_PROBE
constexpr bool kProbe = true;
const char* const kProbePath = KP_FFTW_SSE2_PROBE;
#else
constexpr bool kProbe = false;
const char* const kProbePath = nullptr;
#endif

// Plans with the second copy: behind the probe as it is, else under the
// masked CPUID; false when neither can be had.
template <typename F>
bool AsSse2Only(F plan) {
    if (kProbe) {
        plan();
        return true;
    }
    return WithSse2OnlyCpuid(plan);
}

// Whether the second copy chooses SSE2 codelets and nothing wider (its plan
// names each codelet with its ISA).
bool HeldToSse2(const Fftw& f) {
    std::string text;
    const bool faulting = AsSse2Only([&] {
        const int n = 4096;
        float* in = static_cast<float*>(f.alloc(sizeof(float) * n));
        auto* out = static_cast<Fftw::Complex*>(f.alloc(sizeof(Fftw::Complex) * (n / 2 + 1)));
        void* plan = f.plan_r2c(n, in, out, kFftwMeasure);
        char* described = f.describe(plan);
        text = described;
        f.freeText(described);
        f.destroy(plan);
        f.release(in);
        f.release(out);
    });
    return faulting && text.find("_sse2") != std::string::npos &&
           text.find("_avx") == std::string::npos;
}

// `sse2` is null where FFTW cannot be held to its SSE2 codelets: its columns
// then read "-".
void Row(const Fftw* fftw, const Fftw* sse2, int order, bool correlation) {
    std::vector<MemberRun*> members;
    std::vector<kpbench::System> systems;
    for (const Member& m : kMembers) {
        if (&m == &kMembers[3] && !__builtin_cpu_supports("sse3")) continue;
        MemberRun* r = new MemberRun(m, order);
        members.push_back(r);
        systems.push_back({m.name, [r, correlation] {
                               if (correlation)
                                   r->Correlation();
                               else
                                   r->Pair();
                           }});
    }
    // FFTW with all its SIMD code, with SSE2 only, with none.
    std::vector<FftwRun*> peers;
    if (fftw != nullptr) {
        peers.push_back(new FftwRun(*fftw, order, 0));
        FftwRun* onlySse2 = nullptr;
        if (sse2 != nullptr) AsSse2Only([&] { onlySse2 = new FftwRun(*sse2, order, 0); });
        peers.push_back(onlySse2);
        peers.push_back(new FftwRun(*fftw, order, kFftwNoSimd));
        const char* names[] = {"FFTW", "FFTW-SSE2", "FFTW-noSIMD"};
        for (size_t i = 0; i < peers.size(); ++i) {
            FftwRun* r = peers[i];
            if (r == nullptr) continue;
            systems.push_back({names[i], [r, correlation] {
                                   if (correlation)
                                       r->Correlation();
                                   else
                                       r->Pair();
                               }});
        }
    }
    const auto t = kpbench::RunRounds(systems, g_rounds, 0, 2.0);
    const size_t memberCount = members.size();
    // The fastest SIMD member by median.
    size_t best = 1;
    for (size_t i = 1; i < memberCount; ++i)
        if (kpbench::SpreadOf(t[i]).median < kpbench::SpreadOf(t[best]).median) best = i;
    // Where each peer's times are (none for a peer not run).
    const size_t none = systems.size();
    size_t column[3] = {none, none, none};
    for (size_t i = 0, next = memberCount; i < peers.size(); ++i)
        if (peers[i] != nullptr) column[i] = next++;
    printf("%-11s %2d", correlation ? "correlation" : "fwd+inv", order);
    for (size_t i = 0; i < memberCount; ++i) printf(" %9.0f", kpbench::SpreadOf(t[i]).median);
    if (fftw != nullptr) {
        for (size_t c : column) {
            if (c == none)
                printf(" %9s", "-");
            else
                printf(" %9.0f", kpbench::SpreadOf(t[c]).median);
        }
        printf("  %-7s", systems[best].name.c_str());
        for (const auto& [member, peer] :
             {std::pair{best, column[0]}, std::pair{best, column[1]}, std::pair{best, column[2]},
              std::pair{size_t{0}, column[2]}}) {
            if (peer == none) {
                printf(" %17s", "-");
                continue;
            }
            const kpbench::Spread s = kpbench::RatioSpread(t[member], t[peer]);
            printf(" %5.2f (%4.2f-%4.2f)", s.median, s.low, s.high);
        }
    }
    printf("\n");
    for (MemberRun* r : members) delete r;
    for (FftwRun* r : peers) delete r;
}

}  // namespace

// Arguments: the first and last order of the forward-and-inverse rows
// (default 6 and 16), and the number of rounds (default 21).
int main(int argc, char** argv) {
    const int first = argc > 1 ? atoi(argv[1]) : 6, last = argc > 2 ? atoi(argv[2]) : 16;
    if (argc > 3) g_rounds = atoi(argv[3]);
    Fftw fftw, sse2;
    bool haveFftw = fftw.Load(false) && sse2.Load(true, kProbePath);
    if (!haveFftw) printf("FFTW (libfftw3f.so.3) not found: only the members are timed\n");
    const bool sse2Held = haveFftw && HeldToSse2(sse2);
    if (haveFftw && !sse2Held)
        printf("FFTW cannot be held to SSE2 here (%s): its columns read -\n",
               kProbe ? "its plan still names other codelets" : "no CPUID faulting");
    printf("median ns per call; ratios: per-round median (10%%-90%%), below 1: faster\n");
    printf("%-11s %2s %9s %9s %9s %9s", "shape", "N", "generic", "SSE", "SSE2", "SSE3");
    if (haveFftw)
        printf(" %9s %9s %9s  %-7s %17s %17s %17s %17s", "FFTW", "FFTW-SSE2", "noSIMD", "best",
               "best/FFTW", "best/FFTW-SSE2", "best/noSIMD", "generic/noSIMD");
    printf("\n");
    for (int order = first; order <= last; ++order)
        Row(haveFftw ? &fftw : nullptr, sse2Held ? &sse2 : nullptr, order, false);
    for (int order : {12, 13, 14})
        Row(haveFftw ? &fftw : nullptr, sse2Held ? &sse2 : nullptr, order, true);
    return 0;
}
