#include "sp_iir_reference.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <complex>
#include <random>

#include "sp_buffers.h"
#include "sp_iir_internal.h"
#include "sp_test_support.h"

namespace sptest {

IirRounding IirRoundingOf(int32_t variant) {
    return variant == sp_variant_generic ? IirRounding::kHalfAway : IirRounding::kNearestEven;
}

int16_t IirRoundReference(double y, int32_t scale, IirRounding rounding) {
    const double v = ldexp(y, -scale);
    if (std::isnan(v) || v <= -32768.0) return -32768;
    if (v >= 32767.0) return 32767;
    return static_cast<int16_t>(rounding == IirRounding::kHalfAway ? round(v) : nearbyint(v));
}

IirReference IirReference::Direct(const std::vector<float>& c, int32_t order) {
    IirReference r;
    Stage st;
    const double a0 = c[order + 1];
    for (int32_t k = 0; k <= order; ++k) {
        st.b.push_back(c[k] / a0);
        st.a.push_back(c[order + 1 + k] / a0);
    }
    st.d.assign(order + 1, 0.0);
    r.stages_.push_back(st);
    return r;
}

IirReference IirReference::Cascade(const std::vector<float>& sections) {
    IirReference r;
    for (size_t s = 0; s + 6 <= sections.size(); s += 6) {
        std::vector<float> c(sections.begin() + s, sections.begin() + s + 6);
        r.stages_.push_back(Direct(c, 2).stages_[0]);
    }
    return r;
}

double IirReference::Step(double x) {
    if (stages_.empty()) return 0.0;
    for (Stage& st : stages_) {
        const size_t n = st.b.size() - 1;
        const double y = st.b[0] * x + st.d[0];
        for (size_t k = 0; k < n; ++k) st.d[k] = st.b[k + 1] * x - st.a[k + 1] * y + st.d[k + 1];
        x = y;
    }
    return x;
}

std::vector<int16_t> IirReference::Run(const int16_t* x, int32_t len, int32_t scale,
                                       IirRounding rounding) {
    std::vector<int16_t> out(len);
    for (int32_t i = 0; i < len; ++i) out[i] = IirRoundReference(Step(x[i]), scale, rounding);
    return out;
}

namespace {

// Coefficients of prod (1 - r_i z^-1) over conjugate pairs (and one real root
// for an odd order), each root of radius at most 0.9.
std::vector<double> RandomPolynomial(int32_t order, std::mt19937& rng) {
    std::uniform_real_distribution<double> radius(0.0, 0.9), unit(0.0, 1.0);
    std::vector<std::complex<double>> poly = {1.0};
    auto multiply = [&poly](std::complex<double> root) {
        poly.push_back(0.0);
        for (size_t k = poly.size() - 1; k > 0; --k) poly[k] -= root * poly[k - 1];
    };
    // Each conjugate pair in its own band of angles: clustered roots make
    // coefficients whose f32 arithmetic loses most of its bits.
    const int32_t pairs = order / 2;
    for (int32_t k = 0; k < pairs; ++k) {
        const double angle = 3.14159265358979 * (k + unit(rng)) / pairs;
        const std::complex<double> root = std::polar(radius(rng), angle);
        multiply(root);
        multiply(std::conj(root));
    }
    if (order % 2 == 1) multiply(radius(rng) * (rng() % 2 ? 1.0 : -1.0));
    std::vector<double> real;
    for (const auto& c : poly) real.push_back(c.real());
    return real;
}

}  // namespace

std::vector<float> RandomStableDirect(int32_t order, uint32_t seed) {
    std::mt19937 rng(seed);
    const std::vector<double> b = RandomPolynomial(order, rng);
    const std::vector<double> a = RandomPolynomial(order, rng);
    std::uniform_real_distribution<double> gain(0.2, 1.0);
    const double g = gain(rng);
    std::vector<float> c;
    for (double v : b) c.push_back(static_cast<float>(g * v));
    for (double v : a) c.push_back(static_cast<float>(v));
    return c;
}

std::vector<float> RandomStableSections(int32_t count, uint32_t seed) {
    std::vector<float> c;
    for (int32_t s = 0; s < count; ++s) {
        const std::vector<float> one = RandomStableDirect(2, seed * 131 + s);
        c.insert(c.end(), one.begin(), one.end());
    }
    return c;
}

double IirPeakGain(IirReference filter) {
    double sum = 0.0;
    for (int32_t i = 0; i < 4096; ++i) sum += fabs(filter.Step(i == 0 ? 1.0 : 0.0));
    return sum;
}

std::vector<IirShape> IirTestShapes() {
    std::vector<IirShape> shapes;
    for (int32_t n = 0; n <= 10; ++n) shapes.push_back({n, 0});
    for (int32_t s = 1; s <= 3; ++s) shapes.push_back({2 * s, s});
    return shapes;
}

std::vector<int32_t> IirTestLengths(const IirShape& shape) {
    const int32_t unit = 4 * (shape.sections > 0 ? shape.sections : shape.order);
    std::vector<int32_t> lengths = {1, 2, 3, 1023, 1024, 1025, 3000};
    if (unit > 3) lengths.push_back(unit);
    if (unit + 1 > 3) lengths.push_back(unit + 1);
    return lengths;
}

IirReference IirReferenceOf(const IirShape& shape, uint32_t seed) {
    return shape.sections > 0
               ? IirReference::Cascade(RandomStableSections(shape.sections, seed))
               : IirReference::Direct(RandomStableDirect(shape.order, seed), shape.order);
}

std::vector<int16_t> IirTestSignal(IirReference ref, size_t n, int32_t scale, uint32_t seed) {
    const double amplitude = std::min(1.0, ldexp(12000.0, scale) / IirPeakGain(ref) / 32768);
    std::vector<int16_t> x = RandomI16(n, seed);
    for (int16_t& v : x) v = static_cast<int16_t>(lrint(v * amplitude));
    return x;
}

sp_iir_state* IirMakeShape(int32_t variant, const IirShape& shape, uint32_t seed, bool familyB) {
    sp_iir_state* s = nullptr;
    sp_status status;
    if (shape.sections > 0) {
        const std::vector<float> c = RandomStableSections(shape.sections, seed);
        status = BuildIirCascade(variant, familyB ? kIirKindCascadeB : kIirKindCascadeA, c.data(),
                                 shape.sections, nullptr, &s);
    } else {
        const std::vector<float> c = RandomStableDirect(shape.order, seed);
        status = familyB ? sp_dispatch_member<sp_entry_sp_iir_create_b>(variant)(
                               &s, c.data(), shape.order, nullptr)
                         : sp_dispatch_member<sp_entry_sp_iir_create_a>(variant)(
                               &s, c.data(), shape.order, nullptr);
    }
    EXPECT_EQ(sp_status_ok, status);
    return s;
}

sp_status IirFreeState(int32_t variant, sp_iir_state* state) {
    const bool familyA = state->kind == kIirKindDirectA || state->kind == kIirKindCascadeA;
    return familyA ? sp_dispatch_member<sp_entry_sp_iir_free_a>(variant)(state)
                   : sp_dispatch_member<sp_entry_sp_iir_free_b>(variant)(state);
}

void CheckIirCase(int32_t variant, const IirShape& shape, int32_t len, int32_t scale, size_t srcPad,
                  size_t dstOffset, uint32_t seed, bool familyB) {
    SCOPED_TRACE(testing::Message()
                 << "order " << shape.order << " sections " << shape.sections << " len " << len
                 << " scale " << scale << " pad " << srcPad << " offset " << dstOffset << " family "
                 << (familyB ? "b" : "a"));
    IirReference ref = IirReferenceOf(shape, seed);
    const std::vector<int16_t> x = IirTestSignal(ref, len, scale, seed);
    const std::vector<int16_t> want = ref.Run(x.data(), len, scale, IirRoundingOf(variant));
    const size_t bytes = 2 * static_cast<size_t>(len);
    GuardedBuffer src = GuardedBuffer::AtEnd(bytes + srcPad);
    GuardedBuffer dst = GuardedBuffer::AtFront(bytes, dstOffset);
    int16_t* s = reinterpret_cast<int16_t*>(src.Data() + srcPad);
    memcpy(s, x.data(), bytes);
    auto filter = familyB ? sp_dispatch_member<sp_entry_sp_iir_filter_b_i16_scaled>(variant)
                          : sp_dispatch_member<sp_entry_sp_iir_filter_i16_scaled>(variant);
    sp_iir_state* once = IirMakeShape(variant, shape, seed, familyB);
    sp_iir_state* again = IirMakeShape(variant, shape, seed, familyB);
    ASSERT_TRUE(once != nullptr && again != nullptr);
    EXPECT_EQ(sp_status_ok, filter(s, dst.As<int16_t>(), len, once, scale));
    const std::vector<int16_t> got(dst.As<int16_t>(), dst.As<int16_t>() + len);
    int32_t bad = 0;
    for (int32_t i = 0; i < len && bad < 3; ++i) {
        if (abs(got[i] - want[i]) > 1) {
            ADD_FAILURE() << "output " << i << ": " << got[i] << ", reference " << want[i];
            ++bad;
        }
    }
    const sp_status inPlace = familyB || seed % 4 < 2
                                  ? filter(s, s, len, again, scale)
                                  : sp_dispatch_member<sp_entry_sp_iir_filter_i16_scaled_inplace>(
                                        variant)(s, len, again, scale);
    EXPECT_EQ(sp_status_ok, inPlace);
    EXPECT_EQ(0, memcmp(s, got.data(), bytes)) << "in place differs";
    EXPECT_EQ(sp_status_ok, IirFreeState(variant, once));
    EXPECT_EQ(sp_status_ok, IirFreeState(variant, again));
}

sp_status BuildIirCascade(int32_t variant, uint32_t kind, const float* sections, int32_t count,
                          const float* delay, sp_iir_state** ppState) {
    const bool simd = variant != sp_variant_generic;
    const int64_t s = count;
    const sp_iir_shape shape = {5 * s,        2 * s, simd ? 3 * s : 0, simd ? 5 * s : 0,
                                simd ? s : 0, simd};
    const int64_t bytes = sp_iir_block_bytes(shape);
    if (bytes > INT32_MAX) return sp_status_no_memory;
    void* block = sp_alloc_bytes(static_cast<int32_t>(bytes));
    if (block == nullptr) return sp_status_no_memory;
    sp_iir_state* state = sp_iir_lay_out(block, shape, kind);
    state->length = 2 * count;
    state->sections = count;
    for (int32_t i = 0; i < 2 * count; ++i) state->delay[i] = delay ? delay[i] : 0.0f;
    static const sp_internal::IirTapsFn kSetUp[4] = {sp_iir_normalize_taps, sp_iir_build_tables_sse,
                                                     sp_iir_build_tables_sse2,
                                                     sp_iir_build_tables_sse3};
    sp_status status = sp_status_ok;
    for (int32_t k = 0; k < count; ++k) {
        // Each section is set up as a direct form of order 2 over its slice.
        sp_iir_state section{};
        section.length = 2;
        section.taps = state->taps + 5 * k;
        if (simd) {
            section.numerator = state->numerator + 3 * kIirLanes * k;
            section.lookahead = state->lookahead + 5 * kIirLanes * k;
        }
        const sp_status one = kSetUp[variant](sections + 6 * k, &section);
        if (one != sp_status_ok) status = one;
        if (simd) {
            const float* t = section.taps;
            const float row[8] = {t[0], t[1], t[2], 0.0f, -t[3], -t[4], 0.0f, 0.0f};
            std::copy(row, row + 8, state->sectionTable + 8 * k);
        }
    }
    state->ownsMemory = 1;
    *ppState = state;
    return status;
}

}  // namespace sptest
