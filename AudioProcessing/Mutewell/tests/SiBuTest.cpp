// The mute module: the modules' contract, the fade's exact values against a
// plain reference loop, its end in silence and its argument checks.
#include <cstring>
#include <vector>

#include "CKAUDPSiBu.h"
#include "ModuleContract.h"

namespace {

using zvmodtest::Get16;
using zvmodtest::Get32;
using zvmodtest::Put16;
using zvmodtest::Put32;

struct SiBuTraits {
    using Module = CKAUDPSiBu;
    static constexpr ULONG kTag = ZvFourCC("SiBu");
    static constexpr zvmodtest::PropertySpec kProperties[] = {
        {0, 4, true}, {1, 4, true}, {2, 4, false}, {3, 4, false}, {4, 4, false}};
    static constexpr ULONG kUnknownId = 6;
    static constexpr ULONG kRangedId = 2, kGoodValue = 16, kBadValue = 24;
    static void Configure(Module* m) {
        m->SetPropertyDword(CKAUDPSiBu::kPropBits, 16);
        m->SetPropertyDword(CKAUDPSiBu::kPropChannels, 1);
        m->SetPropertyDword(CKAUDPSiBu::kPropRate, 8000);
    }
    static ZvStatus Submit(Module* m) {
        UCHAR buffer[160] = {};
        ULONGLONG side = 0;
        return m->SubmitPinData(0, buffer, sizeof buffer, buffer, sizeof buffer, &side);
    }
};

}  // namespace

namespace zvmodtest {
INSTANTIATE_TYPED_TEST_SUITE_P(SiBu, ModuleContract, SiBuTraits);
}

namespace {

class SiBuTest : public zvmodtest::OneModuleTest<CKAUDPSiBu> {
protected:
    void Configure(ULONG bits, ULONG channels, ULONG rate) {
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPSiBu::kPropBits, bits), ZV_OK);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPSiBu::kPropChannels, channels), ZV_OK);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPSiBu::kPropRate, rate), ZV_OK);
    }
    // One call on a copy of `in`, in place; the side value as given.
    std::vector<UCHAR> Submit(std::vector<UCHAR> in, ULONGLONG side = 1) {
        EXPECT_EQ(m_module->SubmitPinData(0, in.data(), static_cast<ULONG>(in.size()), in.data(),
                                          static_cast<ULONG>(in.size()), &side),
                  ZV_OK);
        return in;
    }
};

std::vector<UCHAR> Mono16(ULONG frames, LONG value) {
    std::vector<UCHAR> v(frames * 2);
    for (ULONG i = 0; i < frames; ++i) Put16(&v[i * 2], value + static_cast<LONG>(i % 7) - 3);
    return v;
}

// The reference: frame i of a call that fades n frames gets sample x (n - i) / n,
// truncated toward zero.
LONG Faded(LONG sample, ULONG i, ULONG n) {
    return static_cast<LONG>(static_cast<long long>(sample) * (n - i) / n);
}

// 8 kHz 16-bit mono in 10 ms pieces: a fade lasts 400 frames, so five pieces
// each fall from the full sample to 1/80 of it; every later piece is silent.
TEST_F(SiBuTest, PiecesOfTenMillisecondsFadeFiveTimesThenAreSilent) {
    Configure(16, 1, 8000);
    for (LONG level : {12000, -12001}) {
        SCOPED_TRACE(level);
        const std::vector<UCHAR> in = Mono16(80, level);
        for (int piece = 0; piece < 8; ++piece) {
            SCOPED_TRACE(piece);
            std::vector<UCHAR> out = Submit(in, piece == 0 ? 0 : 1);
            for (ULONG i = 0; i < 80; ++i) {
                const LONG expected = piece < 5 ? Faded(Get16(&in[i * 2]), i, 80) : 0;
                ASSERT_EQ(Get16(&out[i * 2]), expected) << "frame " << i;
            }
        }
    }
}

TEST_F(SiBuTest, EveryChannelOfAFrameGetsTheSameGainAndWidthsKeepTheirRules) {
    struct Case {
        ULONG bits, channels;
    };
    for (const Case& c : {Case{16, 2}, Case{32, 2}, Case{8, 2}, Case{32, 6}}) {
        SCOPED_TRACE(::testing::Message() << c.bits << " bits, " << c.channels << " channels");
        Configure(c.bits, c.channels, 8000);
        const ULONG frames = 40, sampleBytes = c.bits / 8;
        std::vector<UCHAR> in(frames * c.channels * sampleBytes);
        for (size_t k = 0; k < in.size() / sampleBytes; ++k) {
            UCHAR* p = &in[k * sampleBytes];
            if (c.bits == 8) *p = static_cast<UCHAR>(30 + k % 200);
            if (c.bits == 16) Put16(p, 9000 - static_cast<LONG>(k) * 37);
            if (c.bits == 32) Put32(p, 0x12345677u * static_cast<ULONG>(k + 1));
        }
        std::vector<UCHAR> out = Submit(in, 0);
        for (size_t k = 0; k < in.size() / sampleBytes; ++k) {
            const ULONG frame = static_cast<ULONG>(k / c.channels);
            const UCHAR* p = &in[k * sampleBytes];
            const UCHAR* q = &out[k * sampleBytes];
            if (c.bits == 8) {
                ASSERT_EQ(*q, Faded(*p - 128, frame, frames) + 128) << k;
            } else if (c.bits == 16) {
                ASSERT_EQ(Get16(q), Faded(Get16(p), frame, frames)) << k;
            }
            if (c.bits == 32) {
                const LONG expected = Faded(static_cast<LONG>(Get32(p)), frame, frames);
                ASSERT_EQ(Get32(q), static_cast<ULONG>(expected) & 0xFFFFFF00u) << k;
            }
        }
        // Once silent: 0x80 bytes for 8-bit samples, zeros otherwise.
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPSiBu::kPropSilent, 1), ZV_OK);
        out = Submit(in);
        EXPECT_EQ(out, std::vector<UCHAR>(in.size(), c.bits == 8 ? 0x80 : 0));
    }
}

// A call with fewer frames than the fade has left fades just those, from 1 to
// 1/frames; the fade ends after rate/20 frames in total, the last call taking
// only what remains and leaving the frames after it (and a partial frame) as
// they came.
TEST_F(SiBuTest, TheFadeEndsAfterOneTwentiethOfASecondOfFrames) {
    Configure(16, 1, 8000);
    std::vector<UCHAR> in = Mono16(150, 5000);
    in.push_back(0x5A);  // a byte that is not a whole frame
    std::vector<UCHAR> out = Submit(in, 0);
    for (ULONG i = 0; i < 150; ++i) ASSERT_EQ(Get16(&out[i * 2]), Faded(Get16(&in[i * 2]), i, 150));
    EXPECT_EQ(out.back(), 0x5A);
    out = Submit(in);  // 150 more: 300 of 400
    out = Submit(in);  // the last 100
    for (ULONG i = 0; i < 100; ++i) ASSERT_EQ(Get16(&out[i * 2]), Faded(Get16(&in[i * 2]), i, 100));
    // The fade ended inside the call: its raw end (and the partial frame)
    // is silence, not the input.
    for (size_t b = 200; b < in.size(); ++b) ASSERT_EQ(out[b], 0) << "byte " << b;
    out = Submit(in);
    EXPECT_EQ(out, std::vector<UCHAR>(in.size(), 0));
}

TEST_F(SiBuTest, ARestartMidFadeBeginsAgainAtFullLevel) {
    Configure(16, 1, 8000);
    const std::vector<UCHAR> in = Mono16(80, -7000);
    Submit(in, 0);
    Submit(in);
    std::vector<UCHAR> out = Submit(in, 0);
    EXPECT_EQ(Get16(&out[0]), Get16(&in[0]));
    for (int piece = 1; piece < 5; ++piece) out = Submit(in);
    EXPECT_NE(Get16(&out[0]), 0);  // still the fifth faded piece
    EXPECT_EQ(Submit(in), std::vector<UCHAR>(in.size(), 0));
}

TEST_F(SiBuTest, ArgumentsAreCheckedBeforeAnythingIsWritten) {
    UCHAR in[160], out[160];
    std::memset(in, 0x11, sizeof in);
    std::memset(out, 0x22, sizeof out);
    ULONGLONG side = 0;
    // Not configured, and each of bits, channels and rate missing.
    EXPECT_EQ(m_module->SubmitPinData(0, in, 160, out, 160, &side), ZV_NOT_READY);
    const ULONG setups[][3] = {{0, 1, 8000}, {16, 0, 8000}, {16, 1, 0}};
    for (const auto& s : setups) {
        CKAUDPSiBu module(nullptr, ZvFourCC("ZTST"), nullptr);
        if (s[0] != 0) module.SetPropertyDword(CKAUDPSiBu::kPropBits, s[0]);
        module.SetPropertyDword(CKAUDPSiBu::kPropChannels, s[1]);
        module.SetPropertyDword(CKAUDPSiBu::kPropRate, s[2]);
        EXPECT_EQ(module.SubmitPinData(0, in, 160, out, 160, &side), ZV_NOT_READY);
    }
    Configure(16, 1, 8000);
    EXPECT_EQ(m_module->SubmitPinData(0, in, 160, out, 158, &side), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, in, 0, out, 0, &side), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, nullptr, 160, out, 160, &side), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, in, 160, nullptr, 160, &side), ZV_INVALID_PARAMETER);
    for (UCHAR b : out) ASSERT_EQ(b, 0x22);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPSiBu::kPropChannels, 7), ZV_INVALID_PARAMETER);
    // The silent flag can be written, not read.
    ULONG value = 0, size = 4;
    EXPECT_EQ(m_module->GetProperty(CKAUDPSiBu::kPropSilent, &value, &size), ZV_FAILED);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPSiBu::kPropRate, 123456789), ZV_OK);
}

}  // namespace
