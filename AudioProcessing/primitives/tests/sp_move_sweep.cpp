// Long copies and moves: every source and destination offset at lengths past
// 64 Ki elements, and overlapping moves of a million elements.
#include <string.h>

#include <vector>

#include "sp_test_support.h"

namespace {

class MoveSweep : public sptest::VariantTest {};

TEST_P(MoveSweep, LongArraysAtEveryOffsetPair) {
    auto move = Member<sp_entry_sp_move_f32>();
    auto copy = Member<sp_entry_sp_copy_f32>();
    auto moveI16 = Member<sp_entry_sp_move_i16>();
    const int32_t len = 65537;
    const size_t bytes = len * 4u;
    std::vector<unsigned char> src(bytes + 16), dst(bytes + 16), want;
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 131 + 7);
    for (size_t so = 0; so < 16; ++so) {
        for (size_t dof = 0; dof < 16; ++dof) {
            for (int r = 0; r < 3; ++r) {
                memset(dst.data(), 0xEE, dst.size());
                want = dst;
                const size_t n = r == 2 ? bytes / 2 : bytes;
                memcpy(want.data() + dof, src.data() + so, n);
                const auto* s = src.data() + so;
                auto* d = dst.data() + dof;
                sp_status st =
                    r == 0
                        ? move(reinterpret_cast<const float*>(s), reinterpret_cast<float*>(d), len)
                    : r == 1
                        ? copy(reinterpret_cast<const float*>(s), reinterpret_cast<float*>(d), len)
                        : moveI16(reinterpret_cast<const int16_t*>(s),
                                  reinterpret_cast<int16_t*>(d), len);
                ASSERT_EQ(st, sp_status_ok);
                ASSERT_TRUE(dst == want) << "row " << r << " src +" << so << " dst +" << dof;
            }
        }
    }
}

TEST_P(MoveSweep, MillionElementOverlaps) {
    auto move = Member<sp_entry_sp_move_i16>();
    const int32_t len = 1 << 20;
    std::vector<int16_t> arena(len + 80);
    for (int32_t by : {-33, -17, -8, -1, 1, 7, 16, 33}) {
        for (size_t i = 0; i < arena.size(); ++i) arena[i] = static_cast<int16_t>(i * 40503u);
        std::vector<int16_t> want = arena;
        memmove(want.data() + 40 + by, want.data() + 40, len * 2u);
        ASSERT_EQ(move(arena.data() + 40, arena.data() + 40 + by, len), sp_status_ok);
        ASSERT_TRUE(arena == want) << "by " << by;
    }
}

SP_INSTANTIATE_VARIANTS(MoveSweep);

}  // namespace
