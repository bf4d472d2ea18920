// The exact output of every real-FFT member: a hash of the bits each member
// writes at every order 0 to 18 (every path of every member), forward and inverse, in the packed
// and the internal order, with the forward and the inverse scaled, out of place and in place.  The
// speed work on the transforms (which pass does what, in which buffer) must leave every bit where
// it was; these hashes were taken before that work and hold for every later build.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "sp_fft_simd.h"
#include "sp_reference.h"
#include "sp_test_support.h"

namespace {

struct Transforms {
    const char* name;
    int32_t variant;
    sp_status (*init)(sp_rfft_spec**, int32_t, int32_t, int32_t);
    sp_status (*forward)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*inverse)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*forwardPerm)(const float*, float*, const sp_rfft_spec*, uint8_t*);
    sp_status (*inversePerm)(const float*, float*, const sp_rfft_spec*, uint8_t*);
};

#define SP_BITS_MEMBER(label, var, sfx)                                                    \
    Transforms {                                                                           \
        label, var, sp_rfft_spec_init_##sfx, sp_rfft_forward_##sfx, sp_rfft_inverse_##sfx, \
            sp_rfft_forward_perm_##sfx, sp_rfft_inverse_perm_##sfx                         \
    }

const Transforms kAll[] = {
    {"generic", sp_variant_generic, sp_rfft_spec_init, sp_rfft_forward, sp_rfft_inverse,
     sp_rfft_forward_perm, sp_rfft_inverse_perm},
    SP_BITS_MEMBER("SSE", sp_variant_sse, sse),
    SP_BITS_MEMBER("SSE2", sp_variant_sse2, sse2),
    SP_BITS_MEMBER("SSE3", sp_variant_sse3, sse3),
};

constexpr int32_t kLastOrder = 18;

void Mix(uint64_t& h, const float* data, size_t n) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    for (size_t i = 0; i < 4 * n; ++i) {
        h ^= bytes[i];
        h *= 0x100000001b3ull;  // FNV-1a
    }
}

// One member at one order: every operation's output bits folded into one hash.
// Each in-place run must also give the out-of-place bits (any difference is
// folded in too, so it cannot hide behind an equal hash).
uint64_t Fingerprint(const Transforms& t, int32_t order) {
    const size_t n = size_t{1} << order;
    const std::vector<float> x = sptest::RandomSignal(n, 300 + order);
    const std::vector<float> spectrum = sptest::RandomSignal(n, 600 + order);
    uint64_t h = 0xcbf29ce484222325ull;
    for (int32_t flag : {sp_rfft_scale_forward, sp_rfft_scale_inverse, sp_rfft_scale_sqrt}) {
        sp_rfft_spec* spec = nullptr;
        EXPECT_EQ(sp_status_ok, t.init(&spec, order, flag, 0));
        if (spec == nullptr) return 0;
        using Op = sp_status (*)(const float*, float*, const sp_rfft_spec*, uint8_t*);
        const struct {
            Op op;
            const std::vector<float>* in;
        } runs[] = {{t.forward, &x},
                    {t.inverse, &spectrum},
                    {t.forwardPerm, &x},
                    {t.inversePerm, &spectrum}};
        for (const auto& run : runs) {
            std::vector<float> out(n, -1.0f), inPlace(*run.in);
            EXPECT_EQ(sp_status_ok, run.op(run.in->data(), out.data(), spec, nullptr));
            EXPECT_EQ(sp_status_ok, run.op(inPlace.data(), inPlace.data(), spec, nullptr));
            Mix(h, out.data(), n);
            if (memcmp(out.data(), inPlace.data(), 4 * n) != 0) {
                ADD_FAILURE() << "in place differs from out of place, flag " << flag;
                Mix(h, inPlace.data(), n);
            }
        }
        EXPECT_EQ(sp_status_ok, sp_rfft_spec_free(spec));
    }
    return h;
}

// [member][order], taken from the transforms as they were before their speed
// work.
const uint64_t kWant[4][kLastOrder + 1] = {
    {0xc8185e93daa17185ull, 0x0af28ce0982d44ddull, 0x85d9256ffa9b4980ull, 0x5b55dc11abb3bc01ull,
     0x093d780df821d04eull, 0x8d8426d4b5a202a4ull, 0x455ebdff66a5b255ull, 0x8337a2a1eabccd63ull,
     0x1d2621cc1e8edec8ull, 0x2a28564112d7d4a6ull, 0x84bd10db33dd96cdull, 0x60f6756a47045187ull,
     0x2d964fd991f691d3ull, 0xedd8287e8b75bca6ull, 0xbfa551ec21f87f51ull, 0x84fe27be7c18d078ull,
     0x29e9294bf510de49ull, 0x6e4ce40e3569d052ull, 0x28fe991347602268ull},  // generic
    {0xc8185e93daa17185ull, 0x0af28ce0982d44ddull, 0x85d9256ffa9b4980ull, 0x5b55dc11abb3bc01ull,
     0x093d780df821d04eull, 0x8d8426d4b5a202a4ull, 0x455ebdff66a5b255ull, 0x8337a2a1eabccd63ull,
     0x1d2621cc1e8edec8ull, 0x2a28564112d7d4a6ull, 0x84bd10db33dd96cdull, 0x60f6756a47045187ull,
     0x2d964fd991f691d3ull, 0xedd8287e8b75bca6ull, 0xbfa551ec21f87f51ull, 0x84fe27be7c18d078ull,
     0x29e9294bf510de49ull, 0x6e4ce40e3569d052ull, 0x28fe991347602268ull},  // SSE
    {0xc8185e93daa17185ull, 0x0af28ce0982d44ddull, 0x85d9256ffa9b4980ull, 0x5b55dc11abb3bc01ull,
     0x093d780df821d04eull, 0x8d8426d4b5a202a4ull, 0x455ebdff66a5b255ull, 0x8337a2a1eabccd63ull,
     0x1d2621cc1e8edec8ull, 0x2a28564112d7d4a6ull, 0x84bd10db33dd96cdull, 0x60f6756a47045187ull,
     0x9b46a3d484069fe2ull, 0x076f73bf6580f79dull, 0xaacd1cdb8e84aef1ull, 0x6fa249930cf955ebull,
     0xd6e52ecdea4addd5ull, 0x539f61971dea1650ull, 0x36f8341daafaadb4ull},  // SSE2
    {0xc8185e93daa17185ull, 0x0af28ce0982d44ddull, 0x85d9256ffa9b4980ull, 0x5b55dc11abb3bc01ull,
     0x093d780df821d04eull, 0x8d8426d4b5a202a4ull, 0x455ebdff66a5b255ull, 0x8337a2a1eabccd63ull,
     0x1d2621cc1e8edec8ull, 0x2a28564112d7d4a6ull, 0x84bd10db33dd96cdull, 0x60f6756a47045187ull,
     0x9b46a3d484069fe2ull, 0x076f73bf6580f79dull, 0xaacd1cdb8e84aef1ull, 0x6fa249930cf955ebull,
     0xd6e52ecdea4addd5ull, 0x81de34e0d6803be3ull, 0x8de7e9e5b6d2893cull},  // SSE3
};

TEST(RfftBits, EveryMemberKeepsItsExactOutputAtEveryOrder) {
    for (const Transforms& t : kAll) {
        if (!sptest::VariantRunsHere(t.variant)) continue;
        for (int32_t order = 0; order <= kLastOrder; ++order) {
            const uint64_t got = Fingerprint(t, order);
            EXPECT_EQ(kWant[t.variant][order], got)
                << t.name << " order " << order << " (got 0x" << std::hex << got << ")";
        }
    }
}

}  // namespace
