// The integer vector rows in every member against the plain 64-bit references:
// every length class, every byte offset of the arrays (odd ones included),
// arrays against guard pages at either end, sentinels past the written range.
#include <string.h>

#include <functional>
#include <random>

#include "sp_ref_vector.h"
#include "sp_test_support.h"
#include "sp_vector_internal.h"

using sp_internal::ScaleSumToI32;

namespace {

using sptest::GuardedBuffer;
using sptest::I16s;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::vector<int32_t> Lengths() {
    if (kSanitized) return {1, 2, 3, 7, 8, 9, 16, 17, 19, 23, 33, 100, 5000};
    return {1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 18, 19, 22, 23, 31, 32, 33, 64, 100, 1000, 5000};
}
std::vector<size_t> Offsets() {
    if (kSanitized) return {0, 1, 2, 6, 8, 15};
    std::vector<size_t> all;
    for (size_t o = 0; o < 16; ++o) all.push_back(o);
    return all;
}

// Data kinds: random, all extremes, small values (ties for the scaled rows).
I16s Data(int kind, int32_t len, uint32_t seed) {
    I16s x = sptest::RandomI16(len, seed);
    for (int16_t& v : x) {
        if (kind == 1) v = (v & 1) != 0 ? 32767 : -32768;
        if (kind == 2) v = static_cast<int16_t>(v % 4);
    }
    return x;
}

constexpr size_t kPad = 24;  // sentinel elements after a front-guarded array
constexpr unsigned char kSentinel = 0xA5;

// A 16-bit array at a byte offset after a guard page (followed by sentinels)
// or ending against one.  Elements are copied in and out with memcpy: the
// arrays may be at odd addresses.
class Array {
public:
    Array(int32_t len, size_t offset, bool front)
        : len_(len),
          front_(front),
          buf_(front ? GuardedBuffer::AtFront((len + kPad) * 2, offset)
                     : GuardedBuffer::AtEnd(len * 2u)) {}
    int16_t* p() const { return buf_.As<int16_t>(); }
    void Set(const I16s& x) {
        memcpy(buf_.Data(), x.data(), len_ * 2u);
        if (front_) memset(buf_.Data() + len_ * 2u, kSentinel, kPad * 2);
    }
    I16s Get() const {
        I16s x(len_);
        memcpy(x.data(), buf_.Data(), len_ * 2u);
        return x;
    }
    bool PadIntact() const {
        for (size_t i = 0; front_ && i < kPad * 2; ++i)
            if (buf_.Data()[len_ * 2u + i] != kSentinel) return false;
        return true;
    }

private:
    int32_t len_;
    bool front_;
    GuardedBuffer buf_;
};

// Inputs and outputs of one length and offset, both placements: inputs after
// a front guard and output against an end guard, and the other way round.  The
// second input and the output take other offsets than the first (each still
// meets every offset over the table), so their relative alignment varies too.
struct Buffers {
    Buffers(int32_t len, size_t off)
        : a{Array(len, off, true), Array(len, 0, false)},
          b{Array(len, (off * 7 + 3) % 16, true), Array(len, 0, false)},
          d{Array(len, 0, false), Array(len, (off * 5 + 1) % 16, true)} {}
    Array a[2], b[2], d[2];
};

// Runs fn(len, off, kind, buffers) over every case of the table.
void ForEachCase(const std::function<void(int32_t, size_t, int, Buffers&)>& fn) {
    for (int32_t len : Lengths()) {
        for (size_t off : Offsets()) {
            Buffers buffers(len, off);
            for (int kind = 0; kind < 3; ++kind) {
                SCOPED_TRACE(testing::Message()
                             << "len " << len << " offset " << off << " data " << kind);
                fn(len, off, kind, buffers);
                if (testing::Test::HasFatalFailure()) return;
            }
        }
    }
}

// One element-wise row on both placements: out = call(in1, in2, out), compared
// with want, sentinels intact.  An in-place row writes over in1.
using MapCall = std::function<sp_status(const int16_t*, const int16_t*, int16_t*)>;
void CheckMap(Buffers& bufs, const I16s& x, const I16s& y, const I16s& want, bool inPlace,
              const MapCall& call) {
    for (int place = 0; place < 2; ++place) {
        Array& out = inPlace ? bufs.a[place] : bufs.d[place];
        bufs.a[place].Set(x);
        bufs.b[place].Set(y);
        if (!inPlace) out.Set(I16s(x.size(), 0x3C3C));
        ASSERT_EQ(call(bufs.a[place].p(), bufs.b[place].p(), out.p()), sp_status_ok);
        ASSERT_EQ(out.Get(), want) << "placement " << place;
        ASSERT_TRUE(out.PadIntact()) << "placement " << place;
    }
}

// ---- Saturating arithmetic --------------------------------------------------------------

class SaturatingRows : public sptest::VariantTest {};

TEST_P(SaturatingRows, MatchReference) {
    auto sub = Member<sp_entry_sp_sub_sat_i16>();
    auto add = Member<sp_entry_sp_add_sat_i16>();
    auto abs = Member<sp_entry_sp_abs_sat_i16_inplace>();
    ForEachCase([&](int32_t len, size_t, int kind, Buffers& bufs) {
        const I16s x = Data(kind, len, len * 3 + kind), y = Data(kind, len, len * 5 + 1);
        CheckMap(bufs, x, y, sptest::SubSatRef(x, y), false,
                 [&](const int16_t* a, const int16_t* b, int16_t* d) { return sub(a, b, d, len); });
        CheckMap(bufs, x, y, sptest::AddSatRef(x, y), false,
                 [&](const int16_t* a, const int16_t* b, int16_t* d) { return add(a, b, d, len); });
        CheckMap(bufs, x, y, sptest::AbsSatRef(x), true,
                 [&](const int16_t*, const int16_t*, int16_t* d) { return abs(d, len); });
    });
}

TEST_P(SaturatingRows, EdgeValues) {
    auto sub = Member<sp_entry_sp_sub_sat_i16>();
    auto add = Member<sp_entry_sp_add_sat_i16>();
    auto abs = Member<sp_entry_sp_abs_sat_i16_inplace>();
    // Each case at a length (and so a path) of its own.
    for (int32_t len : {1, 18, 19, 22, 23, 40}) {
        I16s s1(len, -1), s2(len, 32767), d(len);
        ASSERT_EQ(sub(s1.data(), s2.data(), d.data(), len), sp_status_ok);
        EXPECT_EQ(d, I16s(len, 32767));
        s1.assign(len, 1), s2.assign(len, -32768);
        ASSERT_EQ(sub(s1.data(), s2.data(), d.data(), len), sp_status_ok);
        EXPECT_EQ(d, I16s(len, -32768));
        s1.assign(len, -32768), s2.assign(len, 0);
        ASSERT_EQ(sub(s1.data(), s2.data(), d.data(), len), sp_status_ok);
        EXPECT_EQ(d, I16s(len, 32767));
        ASSERT_EQ(add(s2.data(), s1.data(), d.data(), len), sp_status_ok);
        EXPECT_EQ(d, I16s(len, -32768));
        I16s a(len, -32768);
        a[0] = -32767;
        ASSERT_EQ(abs(a.data(), len), sp_status_ok);
        EXPECT_EQ(a, I16s(len, 32767));
    }
}

SP_INSTANTIATE_VARIANTS(SaturatingRows);

// ---- Shifts ---------------------------------------------------------------------------------

class ShiftRows : public sptest::VariantTest {};

TEST_P(ShiftRows, MatchReferenceForShiftsZeroToTwenty) {
    auto rshift = Member<sp_entry_sp_rshift_i16>();
    auto rshiftIn = Member<sp_entry_sp_rshift_i16_inplace>();
    auto lshiftIn = Member<sp_entry_sp_lshift_i16_inplace>();
    ForEachCase([&](int32_t len, size_t off, int kind, Buffers& bufs) {
        if (kind == 2) return;
        const I16s x = Data(kind, len, len + 77 * off);
        for (int32_t shift = 0; shift <= 20; ++shift) {
            SCOPED_TRACE(shift);
            CheckMap(bufs, x, x, sptest::RShiftRef(x, shift), false,
                     [&](const int16_t* a, const int16_t*, int16_t* d) {
                         return rshift(a, shift, d, len);
                     });
            CheckMap(bufs, x, x, sptest::RShiftRef(x, shift), true,
                     [&](const int16_t*, const int16_t*, int16_t* d) {
                         return rshiftIn(shift, d, len);
                     });
            CheckMap(bufs, x, x, sptest::LShiftRef(x, shift), true,
                     [&](const int16_t*, const int16_t*, int16_t* d) {
                         return lshiftIn(shift, d, len);
                     });
        }
    });
}

TEST_P(ShiftRows, EdgeValues) {
    auto rshift = Member<sp_entry_sp_rshift_i16>();
    auto lshiftIn = Member<sp_entry_sp_lshift_i16_inplace>();
    I16s x = {0x4000, 32767, 1, -1, -32768, 5, -5};
    ASSERT_EQ(lshiftIn(1, x.data(), 2), sp_status_ok);
    EXPECT_EQ(x[0], -32768);
    EXPECT_EQ(x[1], -2);
    ASSERT_EQ(lshiftIn(15, x.data() + 2, 2), sp_status_ok);
    EXPECT_EQ(x[2], -32768);
    EXPECT_EQ(x[3], -32768);
    const I16s y = {-32768, -1, 32767, 0, -5, 5};
    I16s d(6);
    ASSERT_EQ(rshift(y.data(), 15, d.data(), 6), sp_status_ok);
    EXPECT_EQ(d, (I16s{-1, -1, 0, 0, -1, 0}));
    ASSERT_EQ(rshift(y.data(), 20, d.data(), 6), sp_status_ok);
    EXPECT_EQ(d, (I16s{-1, -1, 0, 0, -1, 0}));
    ASSERT_EQ(rshift(y.data(), 0, d.data(), 6), sp_status_ok);
    EXPECT_EQ(d, y);
}

SP_INSTANTIATE_VARIANTS(ShiftRows);

// ---- Extremes --------------------------------------------------------------------------------

class ExtremeRows : public sptest::VariantTest {};

TEST_P(ExtremeRows, MatchReference) {
    auto max = Member<sp_entry_sp_max_i16>();
    auto min = Member<sp_entry_sp_min_i16>();
    auto maxIndex = Member<sp_entry_sp_max_index_i16>();
    ForEachCase([&](int32_t len, size_t off, int kind, Buffers& bufs) {
        I16s x = Data(kind, len, len * 7 + off);
        if (kind == 1) {
            // The only extreme at the very end.
            for (int16_t& v : x) v = 0;
            x.back() = (off & 1) != 0 ? -32768 : 32767;
        }
        int32_t wantIndex = -1;
        const int16_t wantMax = sptest::ExtremeRef(x, true, &wantIndex);
        const int16_t wantMin = sptest::ExtremeRef(x, false, nullptr);
        for (int place = 0; place < 2; ++place) {
            Array& a = bufs.a[place];
            a.Set(x);
            int16_t got = 0;
            int32_t index = -7;
            ASSERT_EQ(max(a.p(), len, &got), sp_status_ok);
            ASSERT_EQ(got, wantMax);
            ASSERT_EQ(min(a.p(), len, &got), sp_status_ok);
            ASSERT_EQ(got, wantMin);
            ASSERT_EQ(maxIndex(a.p(), len, &got, &index), sp_status_ok);
            ASSERT_EQ(got, wantMax);
            ASSERT_EQ(index, wantIndex);
            got = 0;
            ASSERT_EQ(maxIndex(a.p(), len, &got, nullptr), sp_status_ok);
            ASSERT_EQ(got, wantMax);
            ASSERT_EQ(a.Get(), x);
        }
    });
}

TEST_P(ExtremeRows, FirstOccurrenceAcrossBlocks) {
    // Equal maxima in different 4096-element blocks: the first one's index.
    auto maxIndex = Member<sp_entry_sp_max_index_i16>();
    I16s x(12000, -5);
    for (int32_t at : {5000, 9000, 11999}) x[at] = 700;
    x[3] = 700;
    int16_t m = 0;
    int32_t index = -1;
    ASSERT_EQ(maxIndex(x.data(), 12000, &m, &index), sp_status_ok);
    EXPECT_EQ(m, 700);
    EXPECT_EQ(index, 3);
    x[3] = -5;
    ASSERT_EQ(maxIndex(x.data(), 12000, &m, &index), sp_status_ok);
    EXPECT_EQ(index, 5000);
}

SP_INSTANTIATE_VARIANTS(ExtremeRows);

// ---- Scaled sum and difference ------------------------------------------------------------

class ScaledRows : public sptest::VariantTest {};

TEST_P(ScaledRows, MatchReference) {
    auto sum = Member<sp_entry_sp_sum_i16_scaled>();
    auto subConst = Member<sp_entry_sp_sub_const_i16_scaled>();
    ForEachCase([&](int32_t len, size_t off, int kind, Buffers& bufs) {
        const I16s x = Data(kind, len, len * 11 + off);
        // Every scale at a few lengths, a spread of them elsewhere.
        std::vector<int32_t> scales = {-17, -16, -15, -1, 0, 1, 2, 15, 16, 17, 48, 49};
        if (off == 3 && (len == 7 || len == 100 || len == 5000)) {
            scales.clear();
            for (int32_t s = -40; s <= 60; ++s) scales.push_back(s);
        }
        for (int32_t scale : scales) {
            SCOPED_TRACE(scale);
            for (int place = 0; place < 2; ++place) {
                bufs.a[place].Set(x);
                int16_t got = 0x5A5A;
                ASSERT_EQ(sum(bufs.a[place].p(), len, &got, scale), sp_status_ok);
                ASSERT_EQ(got, sptest::SumScaledRef(x, scale));
            }
            for (int16_t val :
                 {int16_t{0}, int16_t{1}, int16_t{-3}, int16_t{32767}, int16_t{-32768}}) {
                SCOPED_TRACE(val);
                CheckMap(bufs, x, x, sptest::SubConstScaledRef(x, val, scale), false,
                         [&](const int16_t* a, const int16_t*, int16_t* d) {
                             return subConst(a, val, d, len, scale);
                         });
            }
        }
    });
}

struct SumCase {
    I16s x;
    int32_t scale;
    int16_t want;
};

TEST_P(ScaledRows, EdgeValues) {
    auto sum = Member<sp_entry_sp_sum_i16_scaled>();
    const SumCase cases[] = {
        {I16s(65536, 32767), 0, 32767},
        {I16s(65536, 32767), 16, 32767},
        {I16s(65536, -32768), 0, -32768},
        {I16s(70000, 32767), 0, 32767},
        {{1, 2}, 1, 2},
        {{3}, 1, 2},
        {{5}, 1, 2},
        {{-3}, 1, -2},
        {{-1}, 1, 0},
        {{1}, 1, 0},
        {{32767, 32767}, 49, 0},
        {{20000}, -1, 32767},
        {{0, 0}, -40, 0},
        {{0}, INT32_MIN, 0},
        {{0}, INT32_MAX, 0},
        {{3, -4}, INT32_MIN, -32768},
        {{1}, INT32_MIN, 32767},
        {{-32768}, INT32_MAX, 0},
    };
    for (const SumCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x.size() << " elements, scale " << c.scale);
        int16_t got = 0;
        ASSERT_EQ(sum(c.x.data(), static_cast<int32_t>(c.x.size()), &got, c.scale), sp_status_ok);
        EXPECT_EQ(got, c.want);
    }
    auto subConst = Member<sp_entry_sp_sub_const_i16_scaled>();
    const I16s src = {5, 7, -5, 0, 1, 3};
    I16s d(6);
    ASSERT_EQ(subConst(src.data(), 0, d.data(), 6, 1), sp_status_ok);
    EXPECT_EQ(d, (I16s{2, 4, -2, 0, 0, 2}));
    ASSERT_EQ(subConst(src.data(), 0, d.data(), 6, 17), sp_status_ok);
    EXPECT_EQ(d, I16s(6, 0));
    ASSERT_EQ(subConst(src.data(), 0, d.data(), 6, -16), sp_status_ok);
    EXPECT_EQ(d, (I16s{32767, 32767, -32768, 0, 32767, 32767}));
    const I16s big = {32767, -32768};
    ASSERT_EQ(subConst(big.data(), -32768, d.data(), 2, 1), sp_status_ok);
    EXPECT_EQ(d[0], 32767);  // 65535 / 2 rounds to 32768, clamped
    EXPECT_EQ(d[1], 0);
}

TEST_P(ScaledRows, PartsOfSixtyFourKiElementsAtAnyStart) {
    auto sum = Member<sp_entry_sp_sum_i16_scaled>();
    for (int32_t len : {65535, 65536, 65537, 65543}) {
        const I16s x = Data(1, len, len);
        std::vector<unsigned char> bytes(2 * len + 8);
        for (size_t off : {0, 1, 2, 6}) {
            memcpy(bytes.data() + off, x.data(), 2 * len);
            for (int32_t scale : {0, 3, 17}) {
                int16_t got = 0;
                ASSERT_EQ(
                    sum(reinterpret_cast<const int16_t*>(bytes.data() + off), len, &got, scale),
                    sp_status_ok);
                ASSERT_EQ(got, sptest::SumScaledRef(x, scale)) << len << " +" << off;
            }
        }
    }
}

SP_INSTANTIATE_VARIANTS(ScaledRows);

// The SSE2 and SSE3 scaled sums halve or double the exact double sum once per
// step of the scale.  Clamping the count of steps must change no value (and
// makes a scale near +-2^31 as quick as any other): the double path against
// the integer one for every sum magnitude and every scale around the clamps.
TEST(ScaledSumKernels, RepeatedHalvingEqualsTheIntegerScalingAtEveryScale) {
    int32_t (*const scales[])(double, int32_t) = {sp_scale_f64_to_i32_sse2,
                                                  sp_scale_f64_to_i32_sse3};
    std::vector<int64_t> sums = {0,
                                 1,
                                 -1,
                                 2,
                                 3,
                                 -3,
                                 5,
                                 20000,
                                 -20000,
                                 INT32_MAX,
                                 INT32_MIN,
                                 int64_t{1} << 45,
                                 -(int64_t{1} << 45) - 12345};
    std::mt19937_64 rng(5);
    for (int k = 0; k < 40; ++k)
        sums.push_back(static_cast<int64_t>(rng() >> 18) - (int64_t{1} << 45));
    std::vector<int32_t> ks = {INT32_MIN, INT32_MIN + 1, -100000, INT32_MAX, INT32_MAX - 1, 100000};
    for (int32_t k = -80; k <= 80; ++k) ks.push_back(k);
    for (int32_t k = 1090; k <= 1110; ++k) ks.push_back(k);
    for (int v = 0; v < 2; ++v) {
        if (v == 1 && !sptest::VariantRunsHere(sp_variant_sse3)) continue;
        for (int64_t s : sums) {
            for (int32_t k : ks) {
                ASSERT_EQ(scales[v](static_cast<double>(s), k), ScaleSumToI32(s, k))
                    << "sum " << s << " scale " << k;
            }
        }
    }
}

// ---- Dot products --------------------------------------------------------------------------

class DotRows : public sptest::VariantTest {};

// sp_dot_i16_to_i64 is no dispatch row: its members by variant.
sp_status (*const kDotI64[4])(const int16_t*, const int16_t*, int32_t, int64_t*) = {
    sp_dot_i16_to_i64, sp_dot_i16_to_i64_sse, sp_dot_i16_to_i64_sse2, sp_dot_i16_to_i64_sse3};

TEST_P(DotRows, MatchReference) {
    auto dotF = Member<sp_entry_sp_dot_i16_to_f32>();
    auto dotI = kDotI64[Variant()];
    ForEachCase([&](int32_t len, size_t off, int kind, Buffers& bufs) {
        const I16s x = Data(kind, len, len + off), y = Data(kind, len, len * 3 + off + 1);
        const int64_t want = sptest::DotRef(x, y);
        for (int place = 0; place < 2; ++place) {
            bufs.a[place].Set(x);
            bufs.b[place].Set(y);
            int64_t got = 0;
            float gotF = 0;
            ASSERT_EQ(dotI(bufs.a[place].p(), bufs.b[place].p(), len, &got), sp_status_ok);
            ASSERT_EQ(got, want);
            ASSERT_EQ(dotF(bufs.a[place].p(), bufs.b[place].p(), len, &gotF), sp_status_ok);
            ASSERT_EQ(gotF, static_cast<float>(want));
        }
    });
}

TEST_P(DotRows, AllMinimumValuesAtEveryAlignment) {
    auto dotF = Member<sp_entry_sp_dot_i16_to_f32>();
    auto dotI = kDotI64[Variant()];
    const int32_t longest = kSanitized ? 20000 : 100000;
    const I16s m(longest, -32768);
    std::vector<unsigned char> a(2 * longest + 16), b(2 * longest + 16);
    for (size_t oa = 0; oa < 16; ++oa) {
        for (size_t ob : {0, 1, 2, 8, 15}) {
            memcpy(a.data() + oa, m.data(), 2 * longest);
            memcpy(b.data() + ob, m.data(), 2 * longest);
            const auto* x = reinterpret_cast<const int16_t*>(a.data() + oa);
            const auto* y = reinterpret_cast<const int16_t*>(b.data() + ob);
            for (int32_t len = 1; len <= 40; ++len) {
                int64_t got = 0;
                ASSERT_EQ(dotI(x, y, len, &got), sp_status_ok);
                ASSERT_EQ(got, int64_t{len} << 30) << len << " +" << oa << " +" << ob;
            }
            int64_t got = 0;
            ASSERT_EQ(dotI(x, y, longest, &got), sp_status_ok);
            ASSERT_EQ(got, int64_t{longest} << 30) << " +" << oa << " +" << ob;
        }
    }
    I16s big(1 << 20, -32768);
    int64_t got = 0;
    float gotF = 0;
    ASSERT_EQ(dotI(big.data(), big.data(), 1 << 20, &got), sp_status_ok);
    EXPECT_EQ(got, int64_t{1} << 50);
    ASSERT_EQ(dotF(big.data(), big.data(), 1 << 20, &gotF), sp_status_ok);
    EXPECT_EQ(gotF, 1125899906842624.0f);
    const I16s one = {1, -1}, w = {32767, 32767};
    ASSERT_EQ(dotI(one.data(), w.data(), 2, &got), sp_status_ok);
    EXPECT_EQ(got, 0);
}

SP_INSTANTIATE_VARIANTS(DotRows);

// ---- Fills -----------------------------------------------------------------------------------

class FillRows : public sptest::VariantTest {};

TEST_P(FillRows, EveryElementAndNothingBeyond) {
    auto set16 = Member<sp_entry_sp_set_i16>();
    auto set32 = Member<sp_entry_sp_set_32>();
    std::vector<int32_t> lengths = Lengths();
    for (int32_t big : {5119, 5120, 10239, 10240, 12345}) lengths.push_back(big);
    for (int32_t len : lengths) {
        for (size_t off : Offsets()) {
            SCOPED_TRACE(testing::Message() << "len " << len << " offset " << off);
            for (int elementSize : {2, 4}) {
                const size_t bytes = static_cast<size_t>(len) * elementSize;
                GuardedBuffer front = GuardedBuffer::AtFront(bytes + 64, off);
                GuardedBuffer end = GuardedBuffer::AtEnd(bytes);
                for (GuardedBuffer* b : {&front, &end}) {
                    memset(b->Data(), kSentinel, b->Size());
                    const uint32_t word = 0x80017FFEu;
                    ASSERT_EQ(elementSize == 2 ? set16(-2, b->As<int16_t>(), len)
                                               : set32(word, b->Data(), len),
                              sp_status_ok);
                    for (size_t i = 0; i < bytes; i += elementSize) {
                        uint32_t got = 0;
                        memcpy(&got, b->Data() + i, elementSize);
                        ASSERT_EQ(got, elementSize == 2 ? 0xFFFEu : word) << "element " << i;
                    }
                    for (size_t i = bytes; i < b->Size(); ++i) ASSERT_EQ(b->Data()[i], kSentinel);
                }
            }
        }
    }
}

TEST(FillKernels, PackedPairsAfterTheHead) {
    // An address of the form 4k+2: one single store, then whole pairs.
    alignas(16) int16_t a[40];
    for (int32_t len : {1, 17}) {
        for (int16_t& v : a) v = 99;
        sp_set_i16_kernel(-7, a + 1, len);
        for (int32_t i = 0; i < 40; ++i) ASSERT_EQ(a[i], i >= 1 && i <= len ? -7 : 99) << i;
    }
}

SP_INSTANTIATE_VARIANTS(FillRows);

// ---- Statuses, control words and leaks, for every row ----------------------------------------

class IntegerRowChecks : public sptest::VariantTest {};

TEST_P(IntegerRowChecks, NullThenLengthThenShiftAndNothingWritten) {
    const int v = Variant();
    I16s x = {1, -2, 3, 4}, d(4, 77);
    const I16s d0 = d;
    int16_t out = 55;
    int32_t index = 66;
    int64_t dot = 44;
    float dotF = 33;
    // Each call with a pointer missing, then with lengths 0 and -1, then with a
    // negative shift where the row has one.
    struct Check {
        const char* row;
        std::function<sp_status(bool null, int32_t len, int32_t shift)> call;
        bool hasShift;
    };
    const Check checks[] = {
        {"sub_sat",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_sub_sat_i16>(v)(x.data(), n ? nullptr : x.data(),
                                                                   d.data(), l);
         },
         false},
        {"add_sat",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_add_sat_i16>(v)(n ? nullptr : x.data(), x.data(),
                                                                   d.data(), l);
         },
         false},
        {"abs",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_abs_sat_i16_inplace>(v)(n ? nullptr : d.data(),
                                                                           l);
         },
         false},
        {"sum",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_sum_i16_scaled>(v)(x.data(), l,
                                                                      n ? nullptr : &out, 1);
         },
         false},
        {"max",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_max_i16>(v)(n ? nullptr : x.data(), l, &out);
         },
         false},
        {"min",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_min_i16>(v)(x.data(), l, n ? nullptr : &out);
         },
         false},
        {"max_index",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_max_index_i16>(v)(x.data(), l,
                                                                     n ? nullptr : &out, &index);
         },
         false},
        {"rshift_inplace",
         [&](bool n, int32_t l, int32_t s) {
             return sp_dispatch_member<sp_entry_sp_rshift_i16_inplace>(v)(s, n ? nullptr : d.data(),
                                                                          l);
         },
         true},
        {"lshift_inplace",
         [&](bool n, int32_t l, int32_t s) {
             return sp_dispatch_member<sp_entry_sp_lshift_i16_inplace>(v)(s, n ? nullptr : d.data(),
                                                                          l);
         },
         true},
        {"rshift",
         [&](bool n, int32_t l, int32_t s) {
             return sp_dispatch_member<sp_entry_sp_rshift_i16>(v)(n ? nullptr : x.data(), s,
                                                                  d.data(), l);
         },
         true},
        {"dot_f32",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_dot_i16_to_f32>(v)(x.data(), x.data(), l,
                                                                      n ? nullptr : &dotF);
         },
         false},
        {"dot_i64",
         [&](bool n, int32_t l, int32_t) {
             return kDotI64[v](n ? nullptr : x.data(), x.data(), l, &dot);
         },
         false},
        {"set_i16",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_set_i16>(v)(9, n ? nullptr : d.data(), l);
         },
         false},
        {"set_32",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_set_32>(v)(9, n ? nullptr : d.data(),
                                                              l > 0 ? l / 2 : l);
         },
         false},
        {"sub_const",
         [&](bool n, int32_t l, int32_t) {
             return sp_dispatch_member<sp_entry_sp_sub_const_i16_scaled>(v)(
                 x.data(), 1, n ? nullptr : d.data(), l, 0);
         },
         false},
    };
    for (const Check& c : checks) {
        SCOPED_TRACE(c.row);
        EXPECT_EQ(c.call(true, 0, -1), sp_status_null_ptr);
        EXPECT_EQ(c.call(false, 0, -1), sp_status_bad_size);
        EXPECT_EQ(c.call(false, -1, -1), sp_status_bad_size);
        if (c.hasShift) {
            EXPECT_EQ(c.call(false, 4, -1), sp_status_negative_shift);
        }
        EXPECT_EQ(d, d0);
        EXPECT_EQ(out, 55);
        EXPECT_EQ(index, 66);
        EXPECT_EQ(dot, 44);
        EXPECT_EQ(dotF, 33);
        // A successful call leaves the floating-point control words as they were.
        EXPECT_TRUE(sptest::KeepsFpControl([&] { EXPECT_EQ(c.call(false, 4, 3), sp_status_ok); }));
        d = d0, out = 55, index = 66, dot = 44, dotF = 33;
    }
    EXPECT_EQ(sptest::LiveBlocks(), 0u);
}

SP_INSTANTIATE_VARIANTS(IntegerRowChecks);

}  // namespace
