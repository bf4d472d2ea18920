// Integer rows over arrays past 64 Ki elements (the scaled sum's 65536-element
// parts, the index search's 4096-element blocks) at every byte offset.
#include <string.h>

#include "sp_ref_vector.h"
#include "sp_test_support.h"

namespace {

using sptest::I16s;

class IntegerSweep : public sptest::VariantTest {};

TEST_P(IntegerSweep, LongArraysAtEveryOffset) {
    auto sum = Member<sp_entry_sp_sum_i16_scaled>();
    auto dot = Member<sp_entry_sp_dot_i16_to_f32>();
    auto maxIndex = Member<sp_entry_sp_max_index_i16>();
    auto min = Member<sp_entry_sp_min_i16>();
    auto sub = Member<sp_entry_sp_sub_sat_i16>();
    for (int32_t len : {65536, 65537, 65543, 131075, 1 << 20}) {
        for (int kind = 0; kind < 2; ++kind) {
            I16s x = sptest::RandomI16(len, len + kind);
            if (kind == 1)
                for (int16_t& v : x) v = v < 0 ? -32768 : 32767;
            std::vector<unsigned char> a(2 * len + 16), b(2 * len + 16), d(2 * len + 16);
            int32_t wantIndex = 0;
            const int16_t wantMax = sptest::ExtremeRef(x, true, &wantIndex);
            const int16_t wantMin = sptest::ExtremeRef(x, false, nullptr);
            const I16s y = sptest::RandomI16(len, 3 * len);
            const I16s wantSub = sptest::SubSatRef(x, y);
            for (size_t off = 0; off < 16; ++off) {
                SCOPED_TRACE(testing::Message() << "len " << len << " offset " << off);
                memcpy(a.data() + off, x.data(), 2 * len);
                memcpy(b.data() + 15 - off, y.data(), 2 * len);
                const auto* p = reinterpret_cast<const int16_t*>(a.data() + off);
                const auto* q = reinterpret_cast<const int16_t*>(b.data() + 15 - off);
                for (int32_t scale : {-1, 0, 1, 7, 16, 30}) {
                    int16_t got = 0;
                    ASSERT_EQ(sum(p, len, &got, scale), sp_status_ok);
                    ASSERT_EQ(got, sptest::SumScaledRef(x, scale)) << "scale " << scale;
                }
                float f = 0;
                ASSERT_EQ(dot(p, q, len, &f), sp_status_ok);
                ASSERT_EQ(f, static_cast<float>(sptest::DotRef(x, y)));
                int16_t m = 0;
                int32_t index = -1;
                ASSERT_EQ(maxIndex(p, len, &m, &index), sp_status_ok);
                ASSERT_EQ(m, wantMax);
                ASSERT_EQ(index, wantIndex);
                ASSERT_EQ(min(p, len, &m), sp_status_ok);
                ASSERT_EQ(m, wantMin);
                auto* out = reinterpret_cast<int16_t*>(d.data() + (off * 7) % 16);
                ASSERT_EQ(sub(p, q, out, len), sp_status_ok);
                ASSERT_EQ(memcmp(out, wantSub.data(), 2 * len), 0);
            }
        }
    }
}

SP_INSTANTIATE_VARIANTS(IntegerSweep);

}  // namespace
