// Channel mix: every width and layout against a plain weighted mean, the
// named cases, in-place runs, and the module contract.
#include <CKAUDPCMix.h>

#include <random>
#include <vector>

#include "ModuleContract.h"

namespace zvmodtest {
namespace {

class CMixTest : public OneModuleTest<CKAUDPCMix> {
protected:
    void Configure(ULONG bits, ULONG channels, ULONG mask) {
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPCMix::kPropBits, bits), ZV_OK);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPCMix::kPropChannels, channels), ZV_OK);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPCMix::kPropMask, mask), ZV_OK);
    }
    ZvStatus RunInPlace(std::vector<UCHAR>& buf) {
        return m_module->SubmitPinData(0, buf.data(), static_cast<ULONG>(buf.size()), buf.data(),
                                       static_cast<ULONG>(buf.size()), nullptr);
    }
};

// Sample codec of the reference: 8-bit unsigned with 128 as zero, 32-bit
// written with the lowest byte cleared.
long long Decode(const UCHAR* p, ULONG bits) {
    if (bits == 8) return static_cast<long long>(p[0]) - 128;
    if (bits == 16) return Get16(p);
    return static_cast<LONG>(Get32(p));
}
void Encode(UCHAR* p, ULONG bits, long long v) {
    if (bits == 8) p[0] = static_cast<UCHAR>(v + 128);
    if (bits == 16) Put16(p, static_cast<LONG>(v));
    if (bits == 32) Put32(p, static_cast<ULONG>(v) & ~0xFFu);
}

struct Layout {
    ULONG mask;
    std::vector<int> weights;  // by frame position
    int divisor;               // 0: the channel count
};

TEST_F(CMixTest, EveryWidthAndLayoutAgainstThePlainWeightedMean) {
    const Layout layouts[] = {
        {0x4, {1, 0, 0, 0, 0, 0}, 1},   {0x3, {1, 1, 0, 0, 0, 0}, 2},
        {0x33, {1, 1, 1, 1, 0, 0}, 4},  {0x107, {1, 1, 1, 1, 0, 0}, 4},
        {0x3F, {1, 1, 1, 5, 1, 1}, 10}, {0x60, {1, 1, 1, 1, 1, 1}, 0},
    };
    std::mt19937 rng(99);
    for (ULONG bits : {8u, 16u, 32u}) {
        for (const Layout& layout : layouts) {
            for (ULONG channels = 1; channels <= 6; ++channels) {
                SCOPED_TRACE(::testing::Message()
                             << bits << " bits, mask 0x" << std::hex << layout.mask << std::dec
                             << ", " << channels << " channels");
                Configure(bits, channels, layout.mask);
                const ULONG bytes = bits / 8, frames = 40;
                const long long lo = -(1LL << (bits - 1)), hi = (1LL << (bits - 1)) - 1;
                std::vector<UCHAR> buf(frames * channels * bytes);
                // Boundary values first, then random samples.
                const long long edges[] = {lo, lo + 1, -1, 0, 1, hi - 1, hi};
                for (ULONG i = 0; i < frames * channels; ++i) {
                    long long v = i < 7 * channels
                                      ? edges[(i / channels + i % channels) % 7]
                                      : std::uniform_int_distribution<long long>(lo, hi)(rng);
                    Encode(&buf[i * bytes], bits, v);
                }
                const std::vector<UCHAR> original = buf;
                ASSERT_EQ(RunInPlace(buf), ZV_OK);
                const long long divisor = layout.divisor != 0 ? layout.divisor : channels;
                for (ULONG f = 0; f < frames; ++f) {
                    long long sum = 0;
                    for (ULONG ch = 0; ch < channels; ++ch) {
                        sum += layout.weights[ch] *
                               Decode(&original[(f * channels + ch) * bytes], bits);
                    }
                    std::vector<UCHAR> want(bytes);
                    Encode(want.data(), bits, sum / divisor);
                    for (ULONG ch = 0; ch < channels; ++ch) {
                        for (ULONG b = 0; b < bytes; ++b) {
                            ASSERT_EQ(buf[(f * channels + ch) * bytes + b], want[b])
                                << "frame " << f << " channel " << ch;
                        }
                    }
                }
            }
        }
    }
}

TEST_F(CMixTest, NamedCases) {
    Configure(16, 2, 0x3);
    std::vector<UCHAR> buf(8);
    Put16(&buf[0], 1000), Put16(&buf[2], -3000), Put16(&buf[4], -1), Put16(&buf[6], 0);
    ASSERT_EQ(RunInPlace(buf), ZV_OK);
    EXPECT_EQ(Get16(&buf[0]), -1000);
    EXPECT_EQ(Get16(&buf[2]), -1000);
    EXPECT_EQ(Get16(&buf[4]), 0);
    EXPECT_EQ(Get16(&buf[6]), 0);

    Configure(16, 6, 0x3F);
    buf.assign(12, 0);
    Put16(&buf[6], 1000);  // the low-frequency channel alone
    ASSERT_EQ(RunInPlace(buf), ZV_OK);
    for (int ch = 0; ch < 6; ++ch) EXPECT_EQ(Get16(&buf[2 * ch]), 500) << ch;

    Configure(16, 4, 0x600);  // unlisted mask: plain average
    buf.assign(8, 0);
    Put16(&buf[0], 100), Put16(&buf[2], 200), Put16(&buf[4], 300), Put16(&buf[6], -203);
    ASSERT_EQ(RunInPlace(buf), ZV_OK);
    for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(Get16(&buf[2 * ch]), 99) << ch;

    Configure(8, 2, 0x3);
    buf = {0x00, 0xFF};
    ASSERT_EQ(RunInPlace(buf), ZV_OK);
    EXPECT_EQ(buf[0], 0x80);
    EXPECT_EQ(buf[1], 0x80);
}

TEST_F(CMixTest, MonoIsUnchanged) {
    Configure(16, 1, 0x4);
    std::vector<UCHAR> buf(64);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<UCHAR>(i * 37);
    const auto original = buf;
    ASSERT_EQ(RunInPlace(buf), ZV_OK);
    EXPECT_EQ(buf, original);
}

TEST_F(CMixTest, SeparateOutputAndSizes) {
    Configure(16, 2, 0x3);
    std::vector<UCHAR> in(4 * 3 + 1), out(in.size(), 0xEE);
    Put16(&in[0], 10), Put16(&in[2], 20);
    std::vector<UCHAR> shortOut(in.size() - 1, 0xEE);
    EXPECT_EQ(m_module->SubmitPinData(0, in.data(), 13, shortOut.data(), 12, nullptr),
              ZV_BUFFER_TOO_SMALL);
    for (UCHAR b : shortOut) EXPECT_EQ(b, 0xEE);
    ASSERT_EQ(m_module->SubmitPinData(0, in.data(), 13, out.data(), 13, nullptr), ZV_OK);
    EXPECT_EQ(Get16(&out[0]), 15);
    EXPECT_EQ(Get16(&out[2]), 15);
    EXPECT_EQ(out[12], 0xEE);  // the partial frame is left alone
    EXPECT_EQ(m_module->SubmitPinData(0, nullptr, 13, out.data(), 13, nullptr),
              ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, in.data(), 13, nullptr, 13, nullptr),
              ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, in.data(), 0, out.data(), 13, nullptr),
              ZV_INVALID_PARAMETER);
}

TEST_F(CMixTest, ChannelCountsAndBitsOutOfRangeAreRefused) {
    ULONG v = 0;
    std::vector<UCHAR> buf(8, 0);
    EXPECT_EQ(RunInPlace(buf), ZV_NOT_READY);
    for (ULONG bad : {0u, 7u})
        EXPECT_EQ(m_module->SetPropertyDword(CKAUDPCMix::kPropChannels, bad), ZV_INVALID_PARAMETER);
    for (ULONG bad : {0u, 12u, 24u})
        EXPECT_EQ(m_module->SetPropertyDword(CKAUDPCMix::kPropBits, bad), ZV_INVALID_PARAMETER);
    Configure(16, 2, 0x99);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPCMix::kPropChannels, 0), ZV_INVALID_PARAMETER);
    ASSERT_EQ(m_module->GetPropertyDword(CKAUDPCMix::kPropChannels, &v), ZV_OK);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(RunInPlace(buf), ZV_OK);
    const ULONG defaults[][2] = {{0, 1}, {1, 0}};
    for (const auto& d : defaults) {
        ASSERT_EQ(m_module->GetPropertyDword(d[0], &v), ZV_OK);
        EXPECT_EQ(v, d[1]);
    }
}

struct CMixTraits {
    using Module = CKAUDPCMix;
    static constexpr ULONG kTag = ZvFourCC("CMix");
    static constexpr PropertySpec kProperties[] = {
        {0, 4, true}, {1, 4, true}, {2, 4, false}, {3, 4, false}, {4, 4, false}};
    static constexpr ULONG kUnknownId = 5;
    static constexpr ULONG kRangedId = CKAUDPCMix::kPropChannels, kGoodValue = 2, kBadValue = 7;
    static inline UCHAR buf[24];
    static void Configure(Module* m) {
        m->SetPropertyDword(CKAUDPCMix::kPropBits, 16);
        m->SetPropertyDword(CKAUDPCMix::kPropChannels, 2);
        m->SetPropertyDword(CKAUDPCMix::kPropMask, 0x3);
    }
    static ZvStatus Submit(Module* m) {
        return m->SubmitPinData(0, buf, sizeof(buf), buf, sizeof(buf), nullptr);
    }
};
INSTANTIATE_TYPED_TEST_SUITE_P(CMix, ModuleContract, CMixTraits);

}  // namespace
}  // namespace zvmodtest
