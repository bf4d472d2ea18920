// Drift corrector: the pieces it hands to the output callback, the pending
// count, the module contract, and a reference model over random blocks.
#include <CKAUDPDrft.h>

#include <random>
#include <vector>

#include "ModuleContract.h"

namespace zvmodtest {
namespace {

// Records every piece the corrector outputs.
struct Recorder {
    struct Piece {
        std::vector<UCHAR> bytes;
        const UCHAR* data;
        ULONG flag;
    };
    std::vector<Piece> pieces;
    ULONG failOnCall = 0;  // 1-based call that fails; 0: none

    static ULONG Callback(PVOID context, PVOID data, PULONG bytes, ULONG flag) {
        auto* self = static_cast<Recorder*>(context);
        const auto* p = static_cast<const UCHAR*>(data);
        self->pieces.push_back({std::vector<UCHAR>(p, p + *bytes), p, flag});
        return self->pieces.size() == self->failOnCall ? 0 : 1;
    }
    std::vector<UCHAR> Stream() const {
        std::vector<UCHAR> all;
        for (const Piece& piece : pieces)
            all.insert(all.end(), piece.bytes.begin(), piece.bytes.end());
        return all;
    }
};

ULONGLONG Pending(LONG d) {
    return static_cast<ULONGLONG>(static_cast<LONGLONG>(d));
}
LONG PendingValue(ULONGLONG p) {
    return static_cast<LONG>(static_cast<LONGLONG>(p));
}

class DrftTest : public OneModuleTest<CKAUDPDrft> {
protected:
    void SetUp() override {
        OneModuleTest::SetUp();
        ASSERT_EQ(m_module->SetOutput(&Recorder::Callback, &m_rec), ZV_OK);
    }
    void Configure(ULONG bits, ULONG channels, ULONG num, ULONG den) {
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropBits, bits), ZV_OK);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropChannels, channels), ZV_OK);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropRatioNumerator, num), ZV_OK);
        ASSERT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropRatioDenominator, den), ZV_OK);
    }
    // 16-bit mono block whose sample n is n * 10 - 700 (negatives included).
    static std::vector<UCHAR> Ramp16(ULONG frames) {
        std::vector<UCHAR> block(frames * 2);
        for (ULONG n = 0; n < frames; ++n) Put16(&block[2 * n], static_cast<LONG>(n) * 10 - 700);
        return block;
    }
    ZvStatus Submit(std::vector<UCHAR>& block, ULONGLONG* pending) {
        return m_module->SubmitPinData(0, block.data(), static_cast<ULONG>(block.size()), nullptr,
                                       0, pending);
    }

    Recorder m_rec;
};

// Expected piece lengths in frames of a 16-bit mono run: positive numbers are
// runs of input frames, 0 stands for one interpolated sample.
void ExpectPieceFrames(const Recorder& rec, const std::vector<ULONG>& frames) {
    ASSERT_EQ(rec.pieces.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "piece " << i);
        EXPECT_EQ(rec.pieces[i].bytes.size(), frames[i] == 0 ? 2u : frames[i] * 2u);
    }
}

TEST_F(DrftTest, PlusFiveOn160FramesInsertsFourMeans) {
    Configure(16, 1, 20, 1000);
    auto block = Ramp16(160);
    ULONGLONG pending = Pending(5);
    ASSERT_EQ(Submit(block, &pending), ZV_OK);
    EXPECT_EQ(PendingValue(pending), 1);
    ExpectPieceFrames(m_rec, {32, 0, 32, 0, 32, 0, 32, 0, 32});
    // Unchanged pieces go out in place.
    EXPECT_EQ(m_rec.pieces[0].data, block.data());
    EXPECT_EQ(m_rec.pieces[2].data, block.data() + 64);
    EXPECT_EQ(m_rec.pieces[8].data, block.data() + 256);
    // The mean of frames 31 and 32: (-390 + -380) / 2 = -385.
    EXPECT_EQ(Get16(m_rec.pieces[1].bytes.data()), -385);
    EXPECT_EQ(m_rec.Stream().size(), 164u * 2);
}

TEST_F(DrftTest, MinusFiveOn160FramesReplacesThreeFramesByTwoFourTimes) {
    Configure(16, 1, 20, 1000);
    auto block = Ramp16(160);
    ULONGLONG pending = Pending(-5);
    ASSERT_EQ(Submit(block, &pending), ZV_OK);
    EXPECT_EQ(PendingValue(pending), -1);
    ExpectPieceFrames(m_rec, {31, 0, 0, 29, 0, 0, 29, 0, 0, 29, 0, 0, 30});
    EXPECT_EQ(m_rec.pieces[3].data, block.data() + 34 * 2);
    EXPECT_EQ(m_rec.pieces[12].data, block.data() + 130 * 2);
    // Frames 31, 32, 33 (-390, -380, -370) become -385 and -375.
    EXPECT_EQ(Get16(m_rec.pieces[1].bytes.data()), -385);
    EXPECT_EQ(Get16(m_rec.pieces[2].bytes.data()), -375);
    EXPECT_EQ(m_rec.Stream().size(), 156u * 2);
}

TEST_F(DrftTest, EightBitMeansAreUnsignedAndNotRecentred) {
    Configure(8, 1, 1000, 1000);
    std::vector<UCHAR> block(12, 250);
    for (size_t i = 6; i < block.size(); ++i) block[i] = 10;
    ULONGLONG pending = Pending(1);  // segment 6: the mean of frames 5 and 6
    ASSERT_EQ(Submit(block, &pending), ZV_OK);
    ASSERT_EQ(m_rec.pieces.size(), 3u);
    ASSERT_EQ(m_rec.pieces[1].bytes.size(), 1u);
    EXPECT_EQ(m_rec.pieces[1].bytes[0], 130);
}

TEST_F(DrftTest, CorrectionIsCappedAtThirtyPercentOfTheBlock) {
    Configure(16, 1, 1000, 1000);
    auto block = Ramp16(50);
    ULONGLONG pending = Pending(40);
    ASSERT_EQ(Submit(block, &pending), ZV_OK);
    EXPECT_EQ(PendingValue(pending), 25);  // c = 15
    EXPECT_EQ(m_rec.Stream().size(), 65u * 2);
    EXPECT_EQ(m_rec.pieces[0].bytes.size(), 3u * 2);  // segment 3
}

TEST_F(DrftTest, BlockTooShortToCorrectOutputsNothing) {
    Configure(16, 1, 1000, 1000);
    auto block = Ramp16(10);
    ULONGLONG pending = Pending(3);
    EXPECT_EQ(Submit(block, &pending), ZV_FAILED);
    EXPECT_TRUE(m_rec.pieces.empty());
    EXPECT_EQ(PendingValue(pending), 3);
}

TEST_F(DrftTest, BlockShorterThanOneFrameOutputsNothing) {
    Configure(16, 2, 1000, 1000);
    std::vector<UCHAR> block(3, 0x11);
    ULONGLONG pending = Pending(-2);
    EXPECT_EQ(Submit(block, &pending), ZV_FAILED);
    EXPECT_TRUE(m_rec.pieces.empty());
    EXPECT_EQ(PendingValue(pending), -2);
}

TEST_F(DrftTest, NoPendingDriftPassesTheWholeBlockInOneCall) {
    // Works before bits and channels are set: nothing needs a frame size.
    auto block = Ramp16(7);
    block.push_back(0x5A);                      // a partial frame goes along
    ULONGLONG pending = 0xABCDEF0000000000ull;  // only the low 32 bits count
    ASSERT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropCallbackFlag, 0x77), ZV_OK);
    ASSERT_EQ(Submit(block, &pending), ZV_OK);
    ASSERT_EQ(m_rec.pieces.size(), 1u);
    EXPECT_EQ(m_rec.pieces[0].data, block.data());
    EXPECT_EQ(m_rec.pieces[0].bytes, block);
    EXPECT_EQ(m_rec.pieces[0].flag, 0x77u);
    EXPECT_EQ(pending, 0xABCDEF0000000000ull);
}

TEST_F(DrftTest, StereoMeansPerChannelAndTrailingPartialFramePassesThrough) {
    Configure(16, 2, 1000, 1000);
    const ULONG frames = 12;
    std::vector<UCHAR> block(frames * 4 + 3);
    for (ULONG f = 0; f < frames; ++f) {
        Put16(&block[4 * f], 1000 + static_cast<LONG>(f));
        Put16(&block[4 * f + 2], -2000 - 3 * static_cast<LONG>(f));
    }
    block[48] = 1, block[49] = 2, block[50] = 3;
    ULONGLONG pending = Pending(1);  // segment 6: mean of frames 5 and 6
    ASSERT_EQ(Submit(block, &pending), ZV_OK);
    ASSERT_EQ(m_rec.pieces.size(), 4u);
    EXPECT_EQ(Get16(m_rec.pieces[1].bytes.data()), (1005 + 1006) / 2);
    EXPECT_EQ(Get16(m_rec.pieces[2].bytes.data()), (-2015 + -2018) / 2);  // -2016, toward zero
    const auto& rest = m_rec.pieces[3].bytes;
    ASSERT_EQ(rest.size(), 6u * 4 + 3);
    EXPECT_EQ(rest[24], 1);
    EXPECT_EQ(rest[26], 3);
}

TEST_F(DrftTest, FailingCallbackStopsTheBlockAfterPendingWasReduced) {
    Configure(16, 1, 20, 1000);
    auto block = Ramp16(160);
    m_rec.failOnCall = 4;
    ULONGLONG pending = Pending(5);
    EXPECT_EQ(Submit(block, &pending), ZV_FAILED);
    EXPECT_EQ(m_rec.pieces.size(), 4u);
    EXPECT_EQ(PendingValue(pending), 1);

    m_rec = Recorder{};
    m_rec.failOnCall = 1;
    pending = 0;
    EXPECT_EQ(Submit(block, &pending), ZV_FAILED);
    EXPECT_EQ(m_rec.pieces.size(), 1u);
}

TEST_F(DrftTest, UnconfiguredCorrectorRefusesDriftBeforeTouchingPending) {
    auto block = Ramp16(160);
    ULONGLONG pending = Pending(5);
    EXPECT_EQ(Submit(block, &pending), ZV_NOT_READY);
    EXPECT_EQ(PendingValue(pending), 5);
    ASSERT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropBits, 16), ZV_OK);
    EXPECT_EQ(Submit(block, &pending), ZV_NOT_READY);  // channels still 0
    EXPECT_EQ(PendingValue(pending), 5);
    EXPECT_TRUE(m_rec.pieces.empty());
}

TEST_F(DrftTest, SubmitArgumentsAndOutput) {
    auto block = Ramp16(10);
    ULONGLONG pending = 0;
    EXPECT_EQ(m_module->SubmitPinData(0, nullptr, 20, nullptr, 0, &pending), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, block.data(), 0, nullptr, 0, &pending),
              ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, block.data(), 20, nullptr, 0, nullptr),
              ZV_INVALID_PARAMETER);
    // Without callback or context: 3, even for bad arguments.
    ASSERT_EQ(m_module->SetOutput(&Recorder::Callback, nullptr), ZV_OK);
    EXPECT_EQ(m_module->SubmitPinData(0, nullptr, 0, nullptr, 0, &pending), ZV_NOT_READY);
    ASSERT_EQ(m_module->SetOutput(nullptr, &m_rec), ZV_OK);
    EXPECT_EQ(m_module->SubmitPinData(0, block.data(), 20, nullptr, 0, &pending), ZV_NOT_READY);
    EXPECT_TRUE(m_rec.pieces.empty());
}

TEST_F(DrftTest, PropertiesAndTheirRanges) {
    ULONG v = 0;
    const ULONG defaults[][2] = {{0, 1}, {1, 0}, {2, 0}, {3, 0}, {5, 0}, {7, 20}, {8, 1000}};
    for (const auto& d : defaults) {
        ASSERT_EQ(m_module->GetPropertyDword(d[0], &v), ZV_OK) << d[0];
        EXPECT_EQ(v, d[1]) << d[0];
    }
    for (ULONG bad : {0u, 7u, 24u, 32u})
        EXPECT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropBits, bad), ZV_INVALID_PARAMETER);
    for (ULONG bad : {0u, 3u, 6u})
        EXPECT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropChannels, bad), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropRatioDenominator, 0),
              ZV_INVALID_PARAMETER);
    ASSERT_EQ(m_module->GetPropertyDword(CKAUDPDrft::kPropRatioDenominator, &v), ZV_OK);
    EXPECT_EQ(v, 1000u);
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropRatioNumerator, 0), ZV_OK);
}

TEST_F(DrftTest, CallbackAndContextArePointerSizedProperties) {
    DrftOutputCallback callback = &Recorder::Callback;
    PVOID context = &m_rec;
    ULONG size = sizeof(PVOID);
    // A 4-byte form cannot carry a pointer.
    EXPECT_EQ(m_module->SetPropertyDword(CKAUDPDrft::kPropCallback, 1), ZV_BUFFER_TOO_SMALL);
    EXPECT_EQ(m_module->SetProperty(CKAUDPDrft::kPropContext, &context, 4), ZV_BUFFER_TOO_SMALL);
    ULONG low = 0;
    EXPECT_EQ(m_module->GetPropertyDword(CKAUDPDrft::kPropContext, &low), ZV_BUFFER_TOO_SMALL);

    ASSERT_EQ(m_module->SetOutput(nullptr, nullptr), ZV_OK);
    ASSERT_EQ(m_module->SetProperty(CKAUDPDrft::kPropCallback, &callback, sizeof(callback)), ZV_OK);
    ASSERT_EQ(m_module->SetProperty(CKAUDPDrft::kPropContext, &context, sizeof(context)), ZV_OK);
    PVOID read = nullptr;
    ASSERT_EQ(m_module->GetProperty(CKAUDPDrft::kPropContext, &read, &size), ZV_OK);
    EXPECT_EQ(size, sizeof(PVOID));
    EXPECT_EQ(read, context);
    auto block = Ramp16(4);
    ULONGLONG pending = 0;
    ASSERT_EQ(Submit(block, &pending), ZV_OK);
    EXPECT_EQ(m_rec.pieces.size(), 1u);
}

// Independent model: where the corrections fall and what the stream becomes.
struct Expected {
    ZvStatus status;
    LONG pendingAfter;
    std::vector<SHORT> stream;
};

Expected Model(const std::vector<SHORT>& in, LONG d, ULONG num, ULONG den) {
    const long long frames = static_cast<long long>(in.size());
    if (d == 0) return {ZV_OK, 0, in};
    const long long mag = d < 0 ? -static_cast<long long>(d) : d;
    long long c = std::min(mag, (frames * num + den - 1) / den);
    if (frames > 0 && c * 100 / frames > 30) c = std::min(mag, (frames * 300 + 999) / 1000);
    const long long seg = frames / (c + 1);
    if (seg < 3) return {ZV_FAILED, d, {}};
    auto mean = [&](long long a, long long b) { return static_cast<SHORT>((in[a] + in[b]) / 2); };
    std::vector<SHORT> out;
    long long k = 1;
    for (long long f = 0; f < frames; ++f) {
        const long long p = k * seg;
        if (k <= c && d > 0 && f == p) {
            out.push_back(mean(p - 1, p));
            ++k;
        }
        if (k <= c && d < 0 && f == p - 1) {
            out.push_back(mean(p - 1, p));
            out.push_back(mean(p, p + 1));
            f = p + 1;
            ++k;
            continue;
        }
        out.push_back(in[f]);
    }
    return {ZV_OK, static_cast<LONG>(d > 0 ? d - c : d + c), out};
}

TEST_F(DrftTest, RandomBlocksMatchTheModel) {
    std::mt19937 rng(1234);
    for (int trial = 0; trial < 400; ++trial) {
        const ULONG frames = std::uniform_int_distribution<ULONG>(1, 700)(rng);
        const LONG d = std::uniform_int_distribution<LONG>(-300, 300)(rng);
        const ULONG num = std::uniform_int_distribution<ULONG>(0, 1500)(rng);
        const ULONG den = std::uniform_int_distribution<ULONG>(1, 1500)(rng);
        SCOPED_TRACE(::testing::Message()
                     << "frames " << frames << " d " << d << " ratio " << num << "/" << den);
        std::vector<SHORT> samples(frames);
        for (auto& s : samples)
            s = static_cast<SHORT>(std::uniform_int_distribution<int>(-32768, 32767)(rng));
        std::vector<UCHAR> block(frames * 2);
        for (ULONG i = 0; i < frames; ++i) Put16(&block[2 * i], samples[i]);

        m_rec = Recorder{};
        Configure(16, 1, num, den);
        ULONGLONG pending = Pending(d);
        const Expected want = Model(samples, d, num, den);
        ASSERT_EQ(Submit(block, &pending), want.status);
        ASSERT_EQ(PendingValue(pending), want.pendingAfter);
        if (want.status != ZV_OK) {
            ASSERT_TRUE(m_rec.pieces.empty());
            continue;
        }
        const auto stream = m_rec.Stream();
        ASSERT_EQ(stream.size(), want.stream.size() * 2);
        for (size_t i = 0; i < want.stream.size(); ++i)
            ASSERT_EQ(Get16(&stream[2 * i]), want.stream[i]) << i;
        const long long c = d > 0 ? d - want.pendingAfter : want.pendingAfter - d;
        // At most 30 % of the block counted in whole percent, or the cap of
        // 30 % rounded up.
        const long long cap = (static_cast<long long>(frames) * 300 + 999) / 1000;
        EXPECT_TRUE(c <= cap || c * 100 / frames <= 30) << "c " << c;
        EXPECT_LE(c, d < 0 ? -static_cast<long long>(d) : d);
        if (d > 0) {
            // The pieces handed out in place, put together, are the input:
            // only the interpolated samples (built elsewhere) were added.
            std::vector<UCHAR> kept;
            for (const auto& piece : m_rec.pieces) {
                if (piece.data >= block.data() && piece.data < block.data() + block.size()) {
                    kept.insert(kept.end(), piece.bytes.begin(), piece.bytes.end());
                }
            }
            EXPECT_EQ(kept, block);
        }
    }
}

// The module contract over the drift corrector.
struct DrftTraits {
    using Module = CKAUDPDrft;
    static constexpr ULONG kTag = ZvFourCC("Drft");
    static constexpr PropertySpec kProperties[] = {{0, 4, true},
                                                   {1, 4, true},
                                                   {2, 4, false},
                                                   {3, 4, false},
                                                   {4, sizeof(PVOID), false},
                                                   {5, 4, false},
                                                   {6, sizeof(PVOID), false},
                                                   {7, 4, false},
                                                   {8, 4, false}};
    static constexpr ULONG kUnknownId = 9;
    static constexpr ULONG kRangedId = CKAUDPDrft::kPropChannels, kGoodValue = 2, kBadValue = 3;
    static inline Recorder recorder;
    static inline UCHAR block[64];
    static void Configure(Module* m) {
        recorder = Recorder{};
        m->SetOutput(&Recorder::Callback, &recorder);
        m->SetPropertyDword(CKAUDPDrft::kPropBits, 16);
        m->SetPropertyDword(CKAUDPDrft::kPropChannels, 1);
    }
    static ZvStatus Submit(Module* m) {
        ULONGLONG pending = 1;
        return m->SubmitPinData(0, block, sizeof(block), nullptr, 0, &pending);
    }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Drft, ModuleContract, DrftTraits);

}  // namespace
}  // namespace zvmodtest
