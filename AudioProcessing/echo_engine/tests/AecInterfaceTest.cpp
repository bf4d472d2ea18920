// The engine's entry points: creation (with every allocation failing in
// turn), the configuration paths with their corrections, the properties and
// the submit router's checks and status mapping.
#include "AecHarness.h"

using namespace aec;
using namespace aectest;

namespace {

constexpr uint32_t kUnset = 0xDEADBEEF;

uint32_t Get(AecState* s, uint32_t id) {
    uint32_t v = kUnset;
    EXPECT_EQ(AecGetPropertyDword(s, id, &v), 0u);
    return v;
}

TEST(AecInterface, CreationGivesTheDefaultConfiguration) {
    Engine e;
    AecState* s = e.get();
    EXPECT_EQ(Get(s, AEC_PROP_PRESENT), 1u);
    EXPECT_EQ(Get(s, AEC_PROP_VERSION), 0x1040002u);
    EXPECT_EQ(Get(s, AEC_PROP_AUTO_OFF), 0u);
    EXPECT_EQ(Get(s, AEC_PROP_STATE_MACHINE), 10u);
    EXPECT_EQ(Get(s, AEC_PROP_TAIL_LENGTH), 64u);
    EXPECT_EQ(Get(s, AEC_PROP_COMFORT_NOISE), 3u);
    EXPECT_EQ(Get(s, AEC_PROP_BITS_PER_SAMPLE), 16u);
    EXPECT_EQ(Get(s, AEC_PROP_SAMPLE_RATE), 8000u);
    // Nothing is written for id 6 and ids above 8.
    EXPECT_EQ(Get(s, AEC_PROP_REAPPLY), kUnset);
    EXPECT_EQ(Get(s, 9), kUnset);
    EXPECT_EQ(Get(s, 0xFFFFFFFF), kUnset);
    EXPECT_EQ(s->magic, AEC_MAGIC);
    EXPECT_EQ(e.canceller().magic, AEC_MAGIC);
    EXPECT_EQ(e.canceller().fullLength, 512);
    EXPECT_EQ(e.canceller().activeLength, 256);
    EXPECT_EQ(e.canceller().mode, 1);
    EXPECT_EQ(e.canceller().active, 1);
    EXPECT_EQ(e.canceller().comfortNoise.level, 2);
    AecConfig config;
    AecReadConfig(s, &config);
    EXPECT_EQ(config.active, 1);
}

TEST(AecInterface, GetPropertyReportsTheSizeOfDefinedValues) {
    Engine e;
    for (uint32_t id = 0; id <= 10; ++id) {
        SCOPED_TRACE(id);
        uint32_t value = kUnset, size = 99;
        EXPECT_EQ(AecGetProperty(e.get(), id, &value, &size), 0u);
        EXPECT_EQ(size, (id == AEC_PROP_REAPPLY || id > 8) ? 0u : 4u);
    }
}

TEST(AecInterface, EveryFailedAllocationOfCreationFailsCleanly) {
    const uint64_t before = zvtest::GetAllocatorCounts().liveBlocks;
    uint64_t allocations = zvtest::ForEachAllocationFailure([&](uint64_t k) {
        AecState* s = reinterpret_cast<AecState*>(0x1);
        uint32_t result = AecCreate(&s);
        if (zvtest::GetAllocatorCounts().failures != 0) {
            EXPECT_EQ(result, 1u) << "allocation " << k;
            EXPECT_EQ(s, nullptr) << "allocation " << k;
            EXPECT_EQ(zvtest::GetAllocatorCounts().liveBlocks, before) << "allocation " << k;
        } else {
            EXPECT_EQ(result, 0u);
            AecDestroy(s);
        }
    });
    EXPECT_EQ(allocations, 6u);  // the record and five buffers
    EXPECT_EQ(zvtest::GetAllocatorCounts().liveBlocks, before);
    EXPECT_EQ(AecDestroy(nullptr), 0u);
}

TEST(AecInterface, FullPathCorrectsEveryField) {
    Engine e;
    AecConfig config{44100, 48, 7, 9, 2, 0};
    EXPECT_EQ(AecApplyConfig(e.get(), &config), AEC_STATUS_CORRECTED);
    EXPECT_EQ(config.sampleRate, 8000);
    EXPECT_EQ(config.tailLength, 64);
    EXPECT_EQ(config.stateMachine, 1);
    EXPECT_EQ(config.comfortNoise, 3);
    EXPECT_EQ(config.autoOff, 0);
    AecConfig back;
    AecReadConfig(e.get(), &back);
    EXPECT_EQ(back.sampleRate, 8000);
    EXPECT_EQ(back.tailLength, 64);
    EXPECT_EQ(back.stateMachine, 1);
    EXPECT_EQ(back.comfortNoise, 3);
    EXPECT_EQ(back.autoOff, 0);
}

TEST(AecInterface, ConfigureCorrectsRateAndTail) {
    Engine e;
    EXPECT_EQ(AecConfigure(e.get(), 8000, 48, 0), AEC_STATUS_BAD_TAIL_LENGTH);
    EXPECT_EQ(e.canceller().fullLength, 256);
    EXPECT_EQ(AecConfigure(e.get(), 44100, 64, 0), AEC_STATUS_BAD_SAMPLE_RATE);
    EXPECT_EQ(e.get()->sampleRate, 8000);
    EXPECT_EQ(e.canceller().fullLength, 512);
    EXPECT_EQ(AecConfigure(e.get(), 16000, 32, 0), AEC_STATUS_SUCCESS);
    EXPECT_EQ(e.canceller().fullLength, 512);
    EXPECT_EQ(e.get()->frameLength, 160);
    EXPECT_EQ(e.canceller().subFrames, 2);
}

TEST(AecInterface, StateMachineAcceptsOnlyZeroAndTen) {
    Engine e;
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_STATE_MACHINE, 5), 1u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_STATE_MACHINE), 10u);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_STATE_MACHINE, 0), 0u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_STATE_MACHINE), 0u);
    EXPECT_EQ(e.canceller().hold[0], 16);  // only the first state's hold shortens
    EXPECT_EQ(e.canceller().hold[1], 32);
    EXPECT_EQ(e.canceller().hold[2], 25);
    EXPECT_EQ(e.canceller().hold[3], 100);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_STATE_MACHINE, 10), 0u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_STATE_MACHINE), 10u);
    EXPECT_EQ(e.canceller().hold[0], 32);
}

// Runs a few seconds of echo so that the filter has taps worth keeping.
void Converge(Engine& e, int rate = 8000) {
    Scene s;
    s.rate = rate;
    s.seconds = 3;
    s.farSpurts = false;
    s.Build();
    RunEngine(e.get(), rate, s.far, s.mic, 100);
}

TEST(AecInterface, ComfortNoiseAndStateMachineChangesKeepTheFilter) {
    Engine e;
    Converge(e);
    const AecCanceller& c = e.canceller();
    std::vector<int16_t> taps(c.taps, c.taps + kMaxTaps);
    ASSERT_GT(c.tapEnergyTotal, 0);
    const int16_t bulk = c.bulkDelay;
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_COMFORT_NOISE, 2), 0u);
    EXPECT_EQ(c.comfortNoiseOn, 1);
    EXPECT_EQ(c.comfortNoise.level, 1);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_COMFORT_NOISE, 0), 0u);
    EXPECT_EQ(c.comfortNoiseOn, 0);
    EXPECT_EQ(Get(e.get(), AEC_PROP_COMFORT_NOISE), 0u);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_COMFORT_NOISE, 4), 1u);  // refused
    EXPECT_EQ(c.comfortNoiseOn, 0);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_STATE_MACHINE, 0), 0u);
    EXPECT_EQ(std::vector<int16_t>(c.taps, c.taps + kMaxTaps), taps);
    EXPECT_EQ(c.bulkDelay, bulk);
    EXPECT_EQ(e.get()->alignmentPending, 0);
    // An unchanged tail or rate re-initialises nothing either.
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_TAIL_LENGTH, 64), 0u);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_SAMPLE_RATE, 8000), 0u);
    EXPECT_EQ(std::vector<int16_t>(c.taps, c.taps + kMaxTaps), taps);
}

TEST(AecInterface, RateTailAndAutoOffChangesRestartTheCanceller) {
    Engine e;
    Converge(e);
    // A new rate: 1024 taps for 64 ms at 16 kHz, delay learning from scratch,
    // while comfort noise and state machine keep their settings.
    e.Set(AEC_PROP_COMFORT_NOISE, 1);
    e.Set(AEC_PROP_STATE_MACHINE, 0);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_SAMPLE_RATE, 16000), 0u);
    EXPECT_EQ(e.canceller().fullLength, 1024);
    EXPECT_EQ(e.canceller().tapEnergyTotal, 0);
    EXPECT_EQ(e.get()->alignmentPending, 1);
    EXPECT_EQ(e.get()->learning, 1);
    EXPECT_EQ(Get(e.get(), AEC_PROP_SAMPLE_RATE), 16000u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_COMFORT_NOISE), 1u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_STATE_MACHINE), 0u);
    EXPECT_EQ(e.canceller().hold[0], 32);  // 16 sub-blocks x 2 sub-frames
    // Invalid values leave the setting and report 1.
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_SAMPLE_RATE, 11025), 1u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_SAMPLE_RATE), 16000u);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_TAIL_LENGTH, 50), 1u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_TAIL_LENGTH), 64u);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_TAIL_LENGTH, 32), 0u);
    EXPECT_EQ(e.canceller().fullLength, 512);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_AUTO_OFF, 2), 1u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_AUTO_OFF), 0u);
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_AUTO_OFF, 1), 0u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_AUTO_OFF), 1u);
    // Id 6 applies the whole configuration again.
    e.get()->alignmentPending = 0;
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_REAPPLY, 0), 0u);
    EXPECT_EQ(e.get()->alignmentPending, 1);
    EXPECT_EQ(Get(e.get(), AEC_PROP_AUTO_OFF), 1u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_TAIL_LENGTH), 32u);
    // Read-only and unknown ids do nothing.
    EXPECT_EQ(AecSetPropertyDword(e.get(), AEC_PROP_BITS_PER_SAMPLE, 8), 0u);
    EXPECT_EQ(AecSetPropertyDword(e.get(), 42, 8), 0u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_BITS_PER_SAMPLE), 16u);
}

TEST(AecInterface, SetPropertyReadsOneSixteenBitWord) {
    Engine e;
    int16_t value = 32;
    EXPECT_EQ(AecSetProperty(e.get(), AEC_PROP_TAIL_LENGTH, &value, sizeof(value)), 0u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_TAIL_LENGTH), 32u);
    value = 1;
    EXPECT_EQ(AecSetProperty(e.get(), AEC_PROP_VERSION, &value, sizeof(value)), 0u);
    EXPECT_EQ(AecSetProperty(e.get(), 9, &value, sizeof(value)), 0u);
    EXPECT_EQ(AecSetProperty(e.get(), AEC_PROP_AUTO_OFF, nullptr, 2), 1u);
    EXPECT_EQ(AecSetProperty(e.get(), AEC_PROP_AUTO_OFF, &value, 1), 1u);
    EXPECT_EQ(Get(e.get(), AEC_PROP_AUTO_OFF), 0u);
}

TEST(AecInterface, SubmitChecksPinFrameAndBuffers) {
    Engine e;
    int16_t in[160] = {}, out[160];
    int16_t delay = 0;
    EXPECT_EQ(AecSubmit(e.get(), 2, in, 160, out, 160, &delay), AEC_ZV_FAILED);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, in, 120, nullptr, 0, nullptr), AEC_ZV_FAILED);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, in, 120, out, 120, &delay), AEC_ZV_FAILED);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, in, 160, nullptr, 0, nullptr), AEC_ZV_SUCCESS);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, in, 320, nullptr, 0, nullptr), AEC_ZV_SUCCESS);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, nullptr, 160, nullptr, 0, nullptr),
              AEC_ZV_FAILED);
    // The near end needs an output of the frame's size and a delay.
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, in, 160, nullptr, 160, &delay), AEC_ZV_FAILED);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, in, 160, out, 158, &delay), AEC_ZV_FAILED);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, in, 160, out, 160, nullptr), AEC_ZV_FAILED);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, in, 160, out, 160, &delay), AEC_ZV_SUCCESS);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, in, 160, in, 160, &delay),
              AEC_ZV_SUCCESS);  // in place
    // The byte count is read as a signed 16-bit value.
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, in, 0x10000 + 160, nullptr, 0, nullptr),
              AEC_ZV_SUCCESS);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, in, 0xFFA0, nullptr, 0, nullptr), AEC_ZV_FAILED);
    EXPECT_EQ(AecSubmit(nullptr, AEC_PIN_FAR_END, in, 160, nullptr, 0, nullptr), AEC_ZV_NOT_READY);
    // A state whose magic is broken is not initialised.
    e.get()->magic = 1;
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_FAR_END, in, 160, nullptr, 0, nullptr), AEC_ZV_NOT_READY);
    EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, in, 160, out, 160, &delay), AEC_ZV_NOT_READY);
    e.get()->magic = AEC_MAGIC;
    e.canceller().magic = 0;
    EXPECT_EQ(AecSetMode(e.get(), 1), AEC_STATUS_NOT_INITIALISED);
    e.canceller().magic = AEC_MAGIC;
    EXPECT_EQ(AecSetMode(e.get(), 3), AEC_STATUS_BAD_MODE);
    EXPECT_EQ(e.canceller().mode, 0);
}

TEST(AecInterface, StatusWordsMapOntoModuleStatuses) {
    EXPECT_EQ(AecStatusToZv(AEC_STATUS_SUCCESS), AEC_ZV_SUCCESS);
    EXPECT_EQ(AecStatusToZv(AEC_STATUS_NOT_INITIALISED), AEC_ZV_NOT_READY);
    EXPECT_EQ(AecStatusToZv(AEC_STATUS_DELAY_TOO_SHORT), AEC_ZV_DELAY_TOO_SHORT);
    EXPECT_EQ(AecStatusToZv(AEC_STATUS_DELAY_TOO_LONG), AEC_ZV_DELAY_TOO_LONG);
    for (AecStatus s : {AEC_STATUS_BAD_SAMPLE_RATE, AEC_STATUS_CANCELLER_SETUP,
                        AEC_STATUS_BAD_FRAME_LENGTH, AEC_STATUS_BAD_MODE,
                        AEC_STATUS_BAD_TAIL_LENGTH, AEC_STATUS_CORRECTED, AEC_STATUS_FRAME_REFUSED})
        EXPECT_EQ(AecStatusToZv(s), AEC_ZV_FAILED) << s;
}

TEST(AecInterface, OutOfRangeDelaysAreClampedAndTheFrameStillProcessed) {
    const struct {
        int16_t delay;
        uint32_t status;
        int16_t used;
    } cases[] = {{-5, AEC_ZV_DELAY_TOO_SHORT, 0},    {0, AEC_ZV_SUCCESS, 0},
                 {500, AEC_ZV_SUCCESS, 500},         {501, AEC_ZV_DELAY_TOO_LONG, 500},
                 {600, AEC_ZV_DELAY_TOO_LONG, 500},  {800, AEC_ZV_DELAY_TOO_LONG, 500},
                 {801, AEC_ZV_DELAY_TOO_LONG, 150},  {900, AEC_ZV_DELAY_TOO_LONG, 150},
                 {-32768, AEC_ZV_DELAY_TOO_SHORT, 0}};
    for (auto c : cases) {
        SCOPED_TRACE(c.delay);
        Engine e;
        int16_t in[80], out[80];
        for (int i = 0; i < 80; ++i) in[i] = int16_t(i * 37);
        int16_t delay = c.delay;
        EXPECT_EQ(AecSubmit(e.get(), AEC_PIN_NEAR_END, in, 160, out, 160, &delay), c.status);
        EXPECT_EQ(e.get()->currentDelay, c.used);
        // Still aligning: the frame comes out as it went in.
        EXPECT_EQ(std::vector<int16_t>(out, out + 80), std::vector<int16_t>(in, in + 80));
    }
}

}  // namespace
