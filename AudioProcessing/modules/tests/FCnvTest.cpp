// Format converter: every conversion of the layout table against a weight
// matrix written out here, every width pair against plain arithmetic, and the
// module contract.
#include <CKAUDPFCnv.h>

#include <random>
#include <vector>

#include "ModuleContract.h"

namespace zvmodtest {
namespace {

struct OutRow {
    std::vector<int> weights;  // by input frame position; empty: silence
    int divisor;
};

struct Case {
    int number;
    ULONG inMask, outMask;
    ULONG inChannels;
    std::vector<OutRow> out;
};

const OutRow Z = {{}, 0};
OutRow W(std::vector<int> w, int d = 1) {
    return {std::move(w), d};
}

// Input frame order: mono [M]; stereo [FL FR]; quad [FL FR BL BR];
// 0x107 [FL FR FC BC]; 5.1 [FL FR FC LF BL BR].
std::vector<Case> Cases() {
    return {
        {1, 0x4, 0x3, 1, {W({1}), W({1})}},
        {2, 0x4, 0x33, 1, {W({1}), W({1}), W({1}), W({1})}},
        {3, 0x4, 0x107, 1, {W({1}), W({1}), W({1}), W({1})}},
        {4, 0x4, 0x3F, 1, {W({1}), W({1}), Z, Z, W({1}), W({1})}},
        {5, 0x3, 0x33, 2, {W({1, 0}), W({0, 1}), W({1, 0}), W({0, 1})}},
        {6, 0x3, 0x107, 2, {W({1, 0}), W({0, 1}), Z, W({1, 1}, 2)}},
        {7, 0x3, 0x3F, 2, {W({1, 0}), W({0, 1}), Z, Z, W({1, 0}), W({0, 1})}},
        {8, 0x33, 0x107, 4, {W({1, 0, 0, 0}), W({0, 1, 0, 0}), Z, W({0, 0, 1, 1}, 2)}},
        {9,
         0x33,
         0x3F,
         4,
         {W({1, 0, 0, 0}), W({0, 1, 0, 0}), Z, Z, W({0, 0, 1, 0}), W({0, 0, 0, 1})}},
        {10,
         0x107,
         0x3F,
         4,
         {W({1, 0, 0, 0}), W({0, 1, 0, 0}), W({0, 0, 1, 0}), Z, W({0, 0, 0, 1}), W({0, 0, 0, 1})}},
        {11,
         0x3F,
         0x107,
         6,
         {W({4, 0, 0, 1, 0, 0}, 5), W({0, 4, 0, 1, 0, 0}, 5), W({0, 0, 4, 1, 0, 0}, 5),
          W({0, 0, 0, 1, 2, 2}, 5)}},
        {12,
         0x3F,
         0x33,
         6,
         {W({4, 0, 2, 1, 0, 0}, 7), W({0, 4, 2, 1, 0, 0}, 7), W({0, 0, 0, 1, 4, 0}, 5),
          W({0, 0, 0, 1, 0, 4}, 5)}},
        {13, 0x3F, 0x3, 6, {W({2, 0, 1, 1, 2, 0}, 6), W({0, 2, 1, 1, 0, 2}, 6)}},
        {14, 0x3F, 0x4, 6, {W({1, 1, 1, 1, 1, 1}, 6)}},
        {15,
         0x107,
         0x33,
         4,
         {W({2, 0, 1, 0}, 3), W({0, 2, 1, 0}, 3), W({0, 0, 0, 1}), W({0, 0, 0, 1})}},
        {16, 0x107, 0x3, 4, {W({2, 0, 1, 1}, 4), W({0, 2, 1, 1}, 4)}},
        {17, 0x107, 0x4, 4, {W({1, 1, 1, 1}, 4)}},
        {18, 0x33, 0x3, 4, {W({1, 0, 1, 0}, 2), W({0, 1, 0, 1}, 2)}},
        {19, 0x33, 0x4, 4, {W({1, 1, 1, 1}, 4)}},
        {20, 0x3, 0x4, 2, {W({1, 1}, 2)}},
        {21, 0x4, 0x4, 1, {W({1})}},
        {22, 0x3, 0x3, 2, {W({1, 0}), W({0, 1})}},
        {23, 0x33, 0x33, 4, {W({1, 0, 0, 0}), W({0, 1, 0, 0}), W({0, 0, 1, 0}), W({0, 0, 0, 1})}},
        {24, 0x107, 0x107, 4, {W({1, 0, 0, 0}), W({0, 1, 0, 0}), W({0, 0, 1, 0}), W({0, 0, 0, 1})}},
        {25,
         0x3F,
         0x3F,
         6,
         {W({1, 0, 0, 0, 0, 0}), W({0, 1, 0, 0, 0, 0}), W({0, 0, 1, 0, 0, 0}),
          W({0, 0, 0, 1, 0, 0}), W({0, 0, 0, 0, 1, 0}), W({0, 0, 0, 0, 0, 1})}},
    };
}

class FCnvTest : public OneModuleTest<CKAUDPFCnv> {
protected:
    void Configure(ULONG inBits, ULONG inCh, ULONG inMask, ULONG outBits, ULONG outCh,
                   ULONG outMask, ULONG map) {
        const ULONG values[] = {inBits, inCh, inMask, outBits, outCh, outMask, map};
        for (ULONG id = 2; id <= 8; ++id)
            ASSERT_EQ(m_module->SetPropertyDword(id, values[id - 2]), ZV_OK) << id;
    }
    ZvStatus Run(std::vector<UCHAR>& in, std::vector<UCHAR>& out) {
        return m_module->SubmitPinData(0, in.data(), static_cast<ULONG>(in.size()), out.data(),
                                       static_cast<ULONG>(out.size()), nullptr);
    }
};

std::vector<LONG> Reference(const Case& c, const std::vector<LONG>& frame) {
    std::vector<LONG> out;
    for (const OutRow& row : c.out) {
        if (row.weights.empty()) {
            out.push_back(0);
            continue;
        }
        long long sum = 0;
        for (size_t i = 0; i < row.weights.size(); ++i)
            sum += static_cast<long long>(row.weights[i]) * frame[i];
        out.push_back(static_cast<LONG>(sum / row.divisor));
    }
    return out;
}

TEST_F(FCnvTest, EveryLayoutConversionMatchesItsWeightMatrix) {
    std::mt19937 rng(7);
    for (const Case& c : Cases()) {
        SCOPED_TRACE(::testing::Message() << "conversion " << c.number);
        const ULONG outCh = static_cast<ULONG>(c.out.size());
        Configure(16, c.inChannels, c.inMask, 16, outCh, c.outMask, 1);
        // One impulse per input channel, then frames of random samples.
        std::vector<std::vector<LONG>> frames;
        for (ULONG i = 0; i < c.inChannels; ++i) {
            std::vector<LONG> f(c.inChannels, 0);
            f[i] = 4200;
            frames.push_back(f);
        }
        for (int r = 0; r < 64; ++r) {
            std::vector<LONG> f(c.inChannels);
            for (auto& s : f) s = std::uniform_int_distribution<LONG>(-32768, 32767)(rng);
            frames.push_back(f);
        }
        std::vector<UCHAR> in(frames.size() * c.inChannels * 2);
        for (size_t f = 0; f < frames.size(); ++f)
            for (ULONG ch = 0; ch < c.inChannels; ++ch)
                Put16(&in[(f * c.inChannels + ch) * 2], frames[f][ch]);
        std::vector<UCHAR> out(frames.size() * outCh * 2, 0xEE);
        ASSERT_EQ(Run(in, out), ZV_OK);
        for (size_t f = 0; f < frames.size(); ++f) {
            const auto want = Reference(c, frames[f]);
            for (ULONG ch = 0; ch < outCh; ++ch) {
                ASSERT_EQ(Get16(&out[(f * outCh + ch) * 2]), static_cast<SHORT>(want[ch]))
                    << "frame " << f << " channel " << ch;
            }
        }
    }
}

TEST_F(FCnvTest, NamedCases) {
    // 5.1 -> stereo: left = (2FL + FC + 2BL + LF) / 6.
    Configure(16, 6, 0x3F, 16, 2, 0x3, 1);
    std::vector<UCHAR> in(12), out(4);
    const LONG s[] = {600, -300, 120, 60, -1200, 9};
    for (int i = 0; i < 6; ++i) Put16(&in[2 * i], s[i]);
    ASSERT_EQ(Run(in, out), ZV_OK);
    EXPECT_EQ(Get16(&out[0]), (2 * 600 + 120 + 2 * -1200 + 60) / 6);
    // Stereo -> mono: -3 and 0 give -1 (toward zero).
    Configure(16, 2, 0x3, 16, 1, 0x4, 1);
    in.assign(4, 0);
    Put16(&in[0], -3);
    out.assign(2, 0xEE);
    ASSERT_EQ(Run(in, out), ZV_OK);
    EXPECT_EQ(Get16(&out[0]), -1);
    // Mono 8-bit -> stereo 16-bit: 0x80 is 0, 0xFF is 127 << 8.
    Configure(8, 1, 0x4, 16, 2, 0x3, 1);
    in = {0x80, 0xFF};
    out.assign(8, 0xEE);
    ASSERT_EQ(Run(in, out), ZV_OK);
    EXPECT_EQ(Get16(&out[0]), 0);
    EXPECT_EQ(Get16(&out[2]), 0);
    EXPECT_EQ(Get16(&out[4]), 32512);
    EXPECT_EQ(Get16(&out[6]), 32512);
}

// Every width pair on the boundary values of the input width, against plain
// arithmetic: widening multiplies, narrowing keeps the top bits (floor).
TEST_F(FCnvTest, WidthsAgainstPlainArithmetic) {
    for (ULONG inBits : {8u, 16u, 32u}) {
        for (ULONG outBits : {8u, 16u, 32u}) {
            SCOPED_TRACE(::testing::Message() << inBits << " -> " << outBits << " bits");
            Configure(inBits, 1, 0x4, outBits, 1, 0x4, 0);
            const long long lo = -(1LL << (inBits - 1)), hi = (1LL << (inBits - 1)) - 1;
            for (long long v : {lo, lo + 1, -1LL, 0LL, 1LL, hi - 1, hi}) {
                SCOPED_TRACE(::testing::Message() << "value " << v);
                std::vector<UCHAR> in(inBits / 8);
                const unsigned long long raw =
                    static_cast<unsigned long long>(inBits == 8 ? v + 128 : v);
                for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<UCHAR>(raw >> (8 * i));
                std::vector<UCHAR> out(outBits / 8 + 1, 0xEE);
                ASSERT_EQ(
                    m_module->SubmitPinData(0, in.data(), static_cast<ULONG>(in.size()), out.data(),
                                            static_cast<ULONG>(out.size()), nullptr),
                    ZV_OK);
                long long want = v;
                if (outBits > inBits) want = v * (1LL << (outBits - inBits));
                if (outBits < inBits) {
                    const long long d = 1LL << (inBits - outBits);
                    want = v >= 0 ? v / d : -((-v + d - 1) / d);
                }
                unsigned long long wantRaw =
                    static_cast<unsigned long long>(outBits == 8 ? want + 128 : want);
                if (outBits == 32) wantRaw &= ~0xFFull;
                for (ULONG i = 0; i < outBits / 8; ++i) {
                    EXPECT_EQ(out[i], static_cast<UCHAR>(wantRaw >> (8 * i))) << "byte " << i;
                }
                EXPECT_EQ(out[outBits / 8], 0xEE);
            }
        }
    }
}

TEST_F(FCnvTest, NamedWidthCases) {
    std::vector<UCHAR> in(4), out(4, 0xEE);
    Configure(32, 1, 0x4, 16, 1, 0x4, 1);
    Put32(in.data(), 0x12345678);
    ASSERT_EQ(Run(in, out), ZV_OK);
    EXPECT_EQ(Get16(&out[0]), 0x1234);
    Configure(16, 1, 0x4, 32, 1, 0x4, 1);
    in.resize(2);
    Put16(in.data(), 0x1234);
    ASSERT_EQ(Run(in, out), ZV_OK);
    EXPECT_EQ(Get32(out.data()), 0x12340000u);
    Configure(32, 1, 0x4, 32, 1, 0x4, 1);
    in.resize(4);
    Put32(in.data(), 0x12345678);
    ASSERT_EQ(Run(in, out), ZV_OK);
    EXPECT_EQ(Get32(out.data()), 0x12345600u);
}

TEST_F(FCnvTest, MappingOffGivesEveryOutputTheFirstInputChannel) {
    Configure(16, 2, 0x3, 16, 2, 0x3, 0);
    std::vector<UCHAR> in(8), out(8, 0xEE);
    Put16(&in[0], 111), Put16(&in[2], -222), Put16(&in[4], -333), Put16(&in[6], 444);
    ASSERT_EQ(Run(in, out), ZV_OK);
    EXPECT_EQ(Get16(&out[0]), 111);
    EXPECT_EQ(Get16(&out[2]), 111);
    EXPECT_EQ(Get16(&out[4]), -333);
    EXPECT_EQ(Get16(&out[6]), -333);
}

TEST_F(FCnvTest, RemainderIsIgnoredAndExactlyTheFramesAreWritten) {
    Configure(16, 2, 0x3, 16, 1, 0x4, 1);
    std::vector<UCHAR> in(4 * 3 + 3, 0), out(3 * 2 + 4, 0xEE);
    ASSERT_EQ(Run(in, out), ZV_OK);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(out[i], 0) << i;
    for (size_t i = 6; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << i;
    // Less than one frame: nothing to do.
    std::vector<UCHAR> small(3, 0);
    EXPECT_EQ(Run(small, out), ZV_OK);
    EXPECT_EQ(out[6], 0xEE);
}

TEST_F(FCnvTest, InPlaceNarrowingStereo) {
    Configure(32, 2, 0x3, 16, 2, 0x3, 1);
    std::vector<UCHAR> buf(5 * 8);
    for (ULONG f = 0; f < 5; ++f) {
        Put32(&buf[8 * f], static_cast<ULONG>((1000 + f) << 16));
        Put32(&buf[8 * f + 4], static_cast<ULONG>(-static_cast<LONG>(2000 + f) * 65536));
    }
    ASSERT_EQ(m_module->SubmitPinData(0, buf.data(), 40, buf.data(), 40, nullptr), ZV_OK);
    for (ULONG f = 0; f < 5; ++f) {
        EXPECT_EQ(Get16(&buf[4 * f]), static_cast<LONG>(1000 + f));
        EXPECT_EQ(Get16(&buf[4 * f + 2]), -static_cast<LONG>(2000 + f));
    }
}

TEST_F(FCnvTest, UnmatchedMasksWithMappingGiveSilence) {
    Configure(8, 2, 0x3, 8, 2, 0x60, 1);
    std::vector<UCHAR> in = {0x10, 0xF0, 0x33, 0x44}, out(4, 0xEE);
    ASSERT_EQ(Run(in, out), ZV_OK);
    for (UCHAR b : out) EXPECT_EQ(b, 0x80);
}

TEST_F(FCnvTest, MaskWiderThanTheFrameReadsMissingChannelsAsSilence) {
    // A 5.1 mask on a two-channel frame: the four missing channels read as 0.
    Configure(16, 2, 0x3F, 16, 1, 0x4, 1);
    std::vector<UCHAR> in(4), out(2, 0xEE);
    Put16(&in[0], 600), Put16(&in[2], 1200);
    ASSERT_EQ(Run(in, out), ZV_OK);
    EXPECT_EQ(Get16(&out[0]), (600 + 1200) / 6);
}

TEST_F(FCnvTest, FormatRangesAndRebuild) {
    ULONG v = 0;
    for (ULONG id : {2u, 5u}) {
        for (ULONG bad : {0u, 4u, 24u, 64u})
            EXPECT_EQ(m_module->SetPropertyDword(id, bad), ZV_INVALID_PARAMETER);
    }
    ASSERT_EQ(m_module->SetPropertyDword(CKAUDPFCnv::kPropInChannels, 6), ZV_OK);
    for (ULONG id : {3u, 6u}) {
        for (ULONG bad : {0u, 7u, 100u})
            EXPECT_EQ(m_module->SetPropertyDword(id, bad), ZV_INVALID_PARAMETER);
    }
    ASSERT_EQ(m_module->GetPropertyDword(CKAUDPFCnv::kPropInChannels, &v), ZV_OK);
    EXPECT_EQ(v, 6u);
    const ULONG defaults[][2] = {{0, 1}, {1, 0}, {5, 0}, {8, 0}};
    for (const auto& d : defaults) {
        ASSERT_EQ(m_module->GetPropertyDword(d[0], &v), ZV_OK);
        EXPECT_EQ(v, d[1]);
    }
    // Until both formats are complete there is nothing to convert with.
    std::vector<UCHAR> in(12, 0), out(12, 0);
    EXPECT_EQ(Run(in, out), ZV_NOT_READY);
    Configure(16, 1, 0x4, 16, 1, 0x4, 0);
    EXPECT_EQ(Run(in, out), ZV_OK);
    // A mask set to 0 keeps the previous selection in force.
    ASSERT_EQ(m_module->SetPropertyDword(CKAUDPFCnv::kPropOutMask, 0), ZV_OK);
    EXPECT_EQ(Run(in, out), ZV_OK);
}

TEST_F(FCnvTest, ShortOutputIsRefusedWithNothingWritten) {
    Configure(16, 1, 0x4, 16, 2, 0x3, 1);
    std::vector<UCHAR> in(8, 0x11), out(15, 0xEE);
    EXPECT_EQ(Run(in, out), ZV_BUFFER_TOO_SMALL);
    for (UCHAR b : out) EXPECT_EQ(b, 0xEE);
    out.resize(16);
    EXPECT_EQ(Run(in, out), ZV_OK);
    std::vector<UCHAR> none;
    EXPECT_EQ(m_module->SubmitPinData(0, in.data(), 8, nullptr, 16, nullptr), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, in.data(), 8, out.data(), 0, nullptr),
              ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, nullptr, 8, out.data(), 16, nullptr),
              ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, in.data(), 0, out.data(), 16, nullptr),
              ZV_INVALID_PARAMETER);
}

struct FCnvTraits {
    using Module = CKAUDPFCnv;
    static constexpr ULONG kTag = ZvFourCC("FCnv");
    static constexpr PropertySpec kProperties[] = {{0, 4, true},  {1, 4, true},  {2, 4, false},
                                                   {3, 4, false}, {4, 4, false}, {5, 4, false},
                                                   {6, 4, false}, {7, 4, false}, {8, 4, false}};
    static constexpr ULONG kUnknownId = 9;
    static constexpr ULONG kRangedId = CKAUDPFCnv::kPropOutBits, kGoodValue = 16, kBadValue = 12;
    static inline UCHAR in[24], out[24];
    static void Configure(Module* m) {
        const ULONG values[] = {16, 2, 0x3, 16, 1, 0x4, 1};
        for (ULONG id = 2; id <= 8; ++id) m->SetPropertyDword(id, values[id - 2]);
    }
    static ZvStatus Submit(Module* m) {
        return m->SubmitPinData(0, in, sizeof(in), out, sizeof(out), nullptr);
    }
};
INSTANTIATE_TYPED_TEST_SUITE_P(FCnv, ModuleContract, FCnvTraits);

}  // namespace
}  // namespace zvmodtest
