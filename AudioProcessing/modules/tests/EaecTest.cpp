// Echo-canceller module: its four registry parameters by their exact names,
// pushed into the engine and read back from it; persistence on every set and
// at destruction; near-end delays out of range; argument checks; failures of
// the engine's creation; the floating-point save around every engine call;
// the engine driven end to end through the module (alone and behind the wave
// correlator); and the module contract.
#include <AecInternal.h>
#include <CKAUDPEAEC.h>
#include <CKAUDPWAVC.h>
#include <kp/registry.h>
#include <kp/thread.h>

#include <EchoSignals.h>
#include <FloatingPointScope.h>

#include <optional>
#include <string>
#include <vector>

#include "EngineCallRecorder.h"
#include "ModuleContract.h"
#include "TestDevice.h"

namespace zvmodtest {
namespace {

constexpr ULONG kZaec = ZvFourCC("ZAEC");
const char16_t* const kValueNames[] = {u"GAEC_AutoOff_ZAEC", u"GAEC_StateMachine_ZAEC",
                                       u"GAEC_TailLength_ZAEC", u"GAEC_ComfortNoiseLvl_ZAEC"};

// Property ids of the four parameters, in the order of kValueNames.
constexpr ULONG kParamIds[] = {AEC_PROP_AUTO_OFF, AEC_PROP_STATE_MACHINE, AEC_PROP_TAIL_LENGTH,
                               AEC_PROP_COMFORT_NOISE};

// A module on a device with a driver key, so that its parameters live where
// the driver keeps them.
class EaecTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ResetWatchedCalls();
        m_device.emplace();
        ASSERT_NE(m_device->Pdo(), nullptr);
        m_key = TestDevice::DriverKeyPath();
    }
    void TearDown() override {
        delete m_module;
        m_module = nullptr;
        m_device.reset();
        ModuleTest::TearDown();
    }
    // Creates the module on the device; the constructor's status.
    ULONG Create() {
        ULONG status = 0xDEAD;
        m_module = new CKAUDPEAEC(m_device->Pdo(), kZaec, &status);
        EXPECT_NE(m_module, nullptr);
        return status;
    }
    ULONG Property(ULONG id) {
        ULONG value = 0xFFFFFFFF;
        EXPECT_EQ(m_module->GetPropertyDword(id, &value), ZV_OK) << id;
        return value;
    }
    // The four parameters as the registry holds them (0xFFFFFFFF where absent).
    std::vector<ULONG> Stored() {
        std::vector<ULONG> values;
        for (const char16_t* name : kValueNames)
            values.push_back(kp::reg::GetDword(m_key, name).value_or(0xFFFFFFFF));
        return values;
    }
    void Store(const std::vector<ULONG>& values) {
        for (size_t i = 0; i < values.size(); ++i)
            kp::reg::SetDword(m_key, kValueNames[i], values[i]);
    }
    std::vector<ULONG> EngineParams() {
        std::vector<ULONG> values;
        for (ULONG id : kParamIds) values.push_back(Property(id));
        return values;
    }
    aec::AecCanceller& Canceller() { return m_module->EngineState()->canceller; }

    std::optional<TestDevice> m_device;
    std::u16string m_key;
    CKAUDPEAEC* m_module = nullptr;
};

using Values = std::vector<ULONG>;

TEST_F(EaecTest, WithoutRegistryValuesTheEngineRunsWithTheDefaults) {
    EXPECT_EQ(Create(), ZV_OK);
    EXPECT_EQ(EngineParams(), (Values{0, 10, 64, 2}));
    EXPECT_EQ(Canceller().stateMachineFlag, 1);
    EXPECT_EQ(Canceller().comfortNoiseOn, 1);
    EXPECT_EQ(Canceller().comfortNoise.level, 1);
    EXPECT_EQ(Canceller().fullLength, 512);
    EXPECT_EQ(Canceller().autoOff, 0);
    EXPECT_EQ(Property(AEC_PROP_PRESENT), 1u);
    EXPECT_EQ(Property(AEC_PROP_VERSION), AEC_VERSION);
    EXPECT_EQ(Property(AEC_PROP_BITS_PER_SAMPLE), 16u);
    EXPECT_EQ(Property(AEC_PROP_SAMPLE_RATE), 8000u);
    // Nothing is written before a parameter is set or the module goes.
    EXPECT_EQ(Stored(), (Values{~0u, ~0u, ~0u, ~0u}));
    delete m_module;
    m_module = nullptr;
    EXPECT_EQ(Stored(), (Values{0, 10, 64, 2}));
}

TEST_F(EaecTest, StoredValuesAreUsedFromTheFirstFrame) {
    Store({1, 0, 32, 0});
    EXPECT_EQ(Create(), ZV_OK);
    EXPECT_EQ(EngineParams(), (Values{1, 0, 32, 0}));
    EXPECT_EQ(Canceller().fullLength, 256);
    EXPECT_EQ(Canceller().stateMachineFlag, 0);
    EXPECT_EQ(Canceller().comfortNoiseOn, 0);
    EXPECT_EQ(Canceller().autoOff, 1);
}

// Values the engine does not take are replaced by what it runs with, in the
// fields and so in the registry when the module goes.
TEST_F(EaecTest, OutOfRangeStoredValuesAreNotKept) {
    Store({5, 7, 48, 9});
    EXPECT_EQ(Create(), ZV_FAILED);  // the comfort noise, pushed last, was refused
    // Comfort noise keeps the engine's own creation value (field 3).
    EXPECT_EQ(EngineParams(), (Values{0, 10, 64, 3}));
    delete m_module;
    m_module = nullptr;
    EXPECT_EQ(Stored(), (Values{0, 10, 64, 3}));
    // A value wider than 16 bits is out of range, not its low half.
    Store({0, 10, 0x10020, 1});
    EXPECT_EQ(Create(), ZV_OK);
    EXPECT_EQ(EngineParams(), (Values{0, 10, 64, 1}));
}

TEST_F(EaecTest, EverySetOfAParameterIsPersistedAtOnceWithTheEnginesValue) {
    ASSERT_EQ(Create(), ZV_OK);
    struct Step {
        ULONG id, value;
        ZvStatus result;
        Values after;
    };
    const Step steps[] = {
        {AEC_PROP_STATE_MACHINE, 7, ZV_FAILED, {0, 10, 64, 2}},
        {AEC_PROP_STATE_MACHINE, 0, ZV_OK, {0, 0, 64, 2}},
        {AEC_PROP_STATE_MACHINE, 10, ZV_OK, {0, 10, 64, 2}},
        {AEC_PROP_TAIL_LENGTH, 50, ZV_FAILED, {0, 10, 64, 2}},
        {AEC_PROP_TAIL_LENGTH, 32, ZV_OK, {0, 10, 32, 2}},
        {AEC_PROP_TAIL_LENGTH, 0x10040, ZV_FAILED, {0, 10, 32, 2}},
        {AEC_PROP_COMFORT_NOISE, 0, ZV_OK, {0, 10, 32, 0}},
        {AEC_PROP_COMFORT_NOISE, 4, ZV_FAILED, {0, 10, 32, 0}},
        {AEC_PROP_AUTO_OFF, 1, ZV_OK, {1, 10, 32, 0}},
        {AEC_PROP_AUTO_OFF, 2, ZV_FAILED, {1, 10, 32, 0}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(::testing::Message() << "id " << step.id << " value " << step.value);
        // Something else in the registry first: the set writes all four.
        Store({99, 99, 99, 99});
        EXPECT_EQ(m_module->SetPropertyDword(step.id, step.value), step.result);
        EXPECT_EQ(Stored(), step.after);
        EXPECT_EQ(EngineParams(), step.after);
    }
    // Other ids are not parameters: the registry is left alone.
    Store({99, 99, 99, 99});
    EXPECT_EQ(m_module->SetPropertyDword(AEC_PROP_REAPPLY, 1), ZV_OK);
    EXPECT_EQ(m_module->SetPropertyDword(AEC_PROP_SAMPLE_RATE, 16000), ZV_OK);
    EXPECT_EQ(m_module->SetPropertyDword(AEC_PROP_SAMPLE_RATE, 44100), ZV_FAILED);
    EXPECT_EQ(Property(AEC_PROP_SAMPLE_RATE), 16000u);
    EXPECT_EQ(Canceller().fullLength, 512);  // 32 ms at 16 kHz
    // Read-only and unknown ids are refused.
    for (ULONG id : {0u, 1u, 7u, 9u}) EXPECT_EQ(m_module->SetPropertyDword(id, 1), ZV_FAILED);
    EXPECT_EQ(Stored(), (Values{99, 99, 99, 99}));
    // Above PASSIVE_LEVEL the set is not persisted until the module goes.
    {
        ScopedIrql raised(DISPATCH_LEVEL);
        EXPECT_EQ(m_module->SetPropertyDword(AEC_PROP_TAIL_LENGTH, 64), ZV_OK);
    }
    EXPECT_EQ(Stored(), (Values{99, 99, 99, 99}));
    delete m_module;
    m_module = nullptr;
    EXPECT_EQ(Stored(), (Values{1, 10, 64, 0}));
}

TEST_F(EaecTest, BufferFormsOfTheProperties) {
    ASSERT_EQ(Create(), ZV_OK);
    ULONG value = 0, size = 4;
    EXPECT_EQ(m_module->GetProperty(AEC_PROP_TAIL_LENGTH, &value, &size), ZV_OK);
    EXPECT_EQ(value, 64u);
    EXPECT_EQ(size, 4u);
    size = 4;
    EXPECT_EQ(m_module->GetProperty(AEC_PROP_REAPPLY, &value, &size), ZV_FAILED);
    EXPECT_EQ(size, 0u);
    Store({99, 99, 99, 99});
    value = 32;
    EXPECT_EQ(m_module->SetProperty(AEC_PROP_TAIL_LENGTH, &value, 4), ZV_OK);
    EXPECT_EQ(Property(AEC_PROP_TAIL_LENGTH), 32u);
    value = 0x10040;
    EXPECT_EQ(m_module->SetProperty(AEC_PROP_TAIL_LENGTH, &value, 4), ZV_FAILED);
    value = 50;
    EXPECT_EQ(m_module->SetProperty(AEC_PROP_TAIL_LENGTH, &value, 4), ZV_FAILED);
    EXPECT_EQ(Property(AEC_PROP_TAIL_LENGTH), 32u);
    // This road does not persist.
    EXPECT_EQ(Stored(), (Values{99, 99, 99, 99}));
}

class EaecSubmitTest : public EaecTest {
protected:
    void SetUp() override {
        EaecTest::SetUp();
        ASSERT_EQ(Create(), ZV_OK);
        for (size_t i = 0; i < 80; ++i) m_frame[i] = static_cast<SHORT>((i * 977) % 4001 - 2000);
    }
    ZvStatus Near(ULONGLONG side, ULONG outBytes = 160) {
        EXPECT_EQ(m_module->SubmitPinData(0, m_frame, 160, nullptr, 0, nullptr), ZV_OK);
        return m_module->SubmitPinData(1, m_frame, 160, m_out, outBytes, &side);
    }
    SHORT m_frame[80];
    SHORT m_out[81];
};

TEST_F(EaecSubmitTest, NearEndDelaysOutOfRange) {
    struct Case {
        ULONGLONG side;
        ZvStatus result;
        int16_t used;
    };
    const Case cases[] = {
        {100, ZV_OK, 100},
        {900, ZV_DELAY_TOO_LONG, 150},
        {600, ZV_DELAY_TOO_LONG, 500},
        {static_cast<ULONGLONG>(-5LL), ZV_DELAY_TOO_SHORT, 0},
        {0xFFFFFFFBull, ZV_DELAY_TOO_SHORT, 0},  // -5 in the low 32 bits
        // 65636 is not 100: saturated, it reads as far too long.
        {65636, ZV_DELAY_TOO_LONG, 150},
        {0x8000000000000064ull, ZV_OK, 100},  // the high half is not read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "side 0x" << std::hex << c.side);
        EXPECT_EQ(Near(c.side), c.result);
        EXPECT_EQ(m_module->EngineState()->currentDelay, c.used);
    }
}

TEST_F(EaecSubmitTest, PinsAndBuffers) {
    SHORT frame[80] = {};
    EXPECT_EQ(m_module->SubmitPinData(0, frame, 160, nullptr, 0, nullptr), ZV_OK);
    ULONGLONG side = 100;
    std::fill(std::begin(m_out), std::end(m_out), SHORT(0x4D4D));
    EXPECT_EQ(m_module->SubmitPinData(1, frame, 160, nullptr, 160, &side), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(1, frame, 160, m_out, 0, &side), ZV_INVALID_PARAMETER);
    // An output shorter than the input would be written past its end.
    EXPECT_EQ(m_module->SubmitPinData(1, frame, 160, m_out, 158, &side), ZV_INVALID_PARAMETER);
    for (SHORT v : m_out) ASSERT_EQ(v, 0x4D4D);
    EXPECT_EQ(m_module->SubmitPinData(0, nullptr, 160, nullptr, 0, nullptr), ZV_INVALID_PARAMETER);
    EXPECT_EQ(m_module->SubmitPinData(0, frame, 0, nullptr, 0, nullptr), ZV_INVALID_PARAMETER);
    // Refused by the engine: another pin, a frame that is not 10 ms, no delay.
    EXPECT_EQ(m_module->SubmitPinData(2, frame, 160, m_out, 160, &side), ZV_FAILED);
    EXPECT_EQ(m_module->SubmitPinData(0, frame, 120, nullptr, 0, nullptr), ZV_FAILED);
    EXPECT_EQ(m_module->SubmitPinData(1, frame, 160, m_out, 160, nullptr), ZV_FAILED);
    // A larger output is fine; nothing beyond the frame is written.
    EXPECT_EQ(m_module->SubmitPinData(1, frame, 160, m_out, 162, &side), ZV_OK);
    EXPECT_EQ(m_out[80], 0x4D4D);
}

// Every way the engine's creation can fail: the module reports 8, answers 3
// from then on, and nothing is left allocated.
TEST_F(EaecTest, FailedEngineCreationLeaksNothingAndAnswersNotReady) {
    // The object, the engine's record, its five buffers; then a creation
    // whose configuration fails and hands the built engine out.
    for (ULONG k = 2; k <= 8; ++k) {
        SCOPED_TRACE(k);
        const LONG live = LiveBlocks();
        if (k <= 7) {
            FailAllocation(k);
        } else {
            FailNextAecConfiguration();
        }
        Store({0, 10, 32, 1});
        ULONG status = Create();
        KpPoolClearFailures();
        EXPECT_EQ(status, ZV_NO_MEMORY);
        ASSERT_NE(m_module, nullptr);
        EXPECT_EQ(m_module->EngineState(), nullptr);
        ULONG value = 0, size = 4;
        SHORT frame[80] = {};
        ULONGLONG side = 100;
        EXPECT_EQ(m_module->GetPropertyDword(AEC_PROP_TAIL_LENGTH, &value), ZV_NOT_READY);
        EXPECT_EQ(m_module->GetProperty(AEC_PROP_TAIL_LENGTH, &value, &size), ZV_NOT_READY);
        EXPECT_EQ(m_module->SetPropertyDword(AEC_PROP_TAIL_LENGTH, 64), ZV_NOT_READY);
        EXPECT_EQ(m_module->SetProperty(AEC_PROP_TAIL_LENGTH, &value, 4), ZV_NOT_READY);
        EXPECT_EQ(m_module->SubmitPinData(1, frame, 160, frame, 160, &side), ZV_NOT_READY);
        delete m_module;
        m_module = nullptr;
        EXPECT_EQ(LiveBlocks(), live);
        // The parameters it read are written back unchanged.
        EXPECT_EQ(Stored(), (Values{0, 10, 32, 1}));
    }
    EXPECT_EQ(WatchedCallsOf(kCallAecDestroy).calls, 1u);  // the handed-out engine
}

TEST_F(EaecTest, EveryEngineCallRunsUnderAFloatingPointSave) {
    const ULONGLONG saves = KpFloatingPointSaves();
    ASSERT_EQ(Create(), ZV_OK);
    ULONG value = 0, size = 4;
    m_module->SetPropertyDword(AEC_PROP_TAIL_LENGTH, 32);
    m_module->SetProperty(AEC_PROP_COMFORT_NOISE, &value, 4);
    m_module->GetPropertyDword(AEC_PROP_TAIL_LENGTH, &value);
    m_module->GetProperty(AEC_PROP_TAIL_LENGTH, &value, &size);
    SHORT frame[80] = {}, out[80];
    ULONGLONG side = 100;
    for (int i = 0; i < 20; ++i) {
        m_module->SubmitPinData(0, frame, 160, nullptr, 0, nullptr);
        m_module->SubmitPinData(1, frame, 160, out, 160, &side);
    }
    delete m_module;
    m_module = nullptr;
    for (ULONG call = kCallAecCreate; call <= kCallAecSubmit; ++call) {
        SCOPED_TRACE(call);
        const WatchedCallCounts counts = WatchedCallsOf(static_cast<WatchedCall>(call));
        EXPECT_GT(counts.calls, 0u);
        EXPECT_EQ(counts.unsaved, 0u);
    }
    EXPECT_EQ(KpFloatingPointDepth(), 0u);
    EXPECT_GT(KpFloatingPointSaves() - saves, 40u);
}

// ---- end to end ----

struct Scene {
    std::vector<int16_t> far, echo, mic;
};

// Speech-like far end at -20 dBFS through a room at 10 dB echo return loss
// with a bulk delay, plus background noise at -60 dBFS.
Scene MakeScene(int rate, double seconds, double delayMs) {
    const size_t n = static_cast<size_t>(seconds * rate);
    echotest::SpeechParams speech;
    speech.rate = rate;
    speech.seed = 21;
    const std::vector<double> far = echotest::SpeechLike(speech, n);
    echotest::EchoPathParams path;
    path.rate = rate;
    path.delayMs = delayMs;
    const std::vector<double> echo = echotest::Convolve(far, echotest::EchoImpulse(path));
    return {echotest::ToPcm(far), echotest::ToPcm(echo),
            echotest::ToPcm(echotest::Mix({echo, echotest::Noise(5, n, -60.0, false)}))};
}

// The property sets the module makes at construction and the test after it,
// made on an engine of the test's own.
void ConfigureLikeTheModule(AecState* engine, ULONG rate) {
    const std::pair<ULONG, ULONG> sets[] = {
        {AEC_PROP_REAPPLY, 1},      {AEC_PROP_AUTO_OFF, 0},      {AEC_PROP_STATE_MACHINE, 10},
        {AEC_PROP_TAIL_LENGTH, 64}, {AEC_PROP_COMFORT_NOISE, 2}, {AEC_PROP_SAMPLE_RATE, rate},
        {AEC_PROP_COMFORT_NOISE, 0}};
    for (auto [id, value] : sets) AecSetPropertyDword(engine, id, static_cast<uint16_t>(value));
}

class EaecEndToEnd : public EaecTest, public ::testing::WithParamInterface<int> {};

// The module's output is the engine's own, sample for sample, and cancels the
// echo as well as the engine does on its own scenes.
TEST_P(EaecEndToEnd, OutputIsTheEnginesOwnWithItsErle) {
    const int rate = GetParam();
    const size_t frame = static_cast<size_t>(rate / 100);
    const Scene s = MakeScene(rate, 10, 100);
    ASSERT_EQ(Create(), ZV_OK);
    ASSERT_EQ(m_module->SetPropertyDword(AEC_PROP_SAMPLE_RATE, static_cast<ULONG>(rate)), ZV_OK);
    ASSERT_EQ(m_module->SetPropertyDword(AEC_PROP_COMFORT_NOISE, 0), ZV_OK);

    std::vector<int16_t> viaModule(s.mic.size()), direct(s.mic.size());
    ULONGLONG side = 100;
    for (size_t at = 0; at + frame <= s.mic.size(); at += frame) {
        const ULONG bytes = static_cast<ULONG>(frame * 2);
        ASSERT_EQ(m_module->SubmitPinData(0, const_cast<int16_t*>(&s.far[at]), bytes, nullptr, 0,
                                          nullptr),
                  ZV_OK);
        ASSERT_EQ(m_module->SubmitPinData(1, const_cast<int16_t*>(&s.mic[at]), bytes,
                                          &viaModule[at], bytes, &side),
                  ZV_OK);
    }
    {
        FloatingPointScope fp;
        AecState* engine = nullptr;
        ASSERT_EQ(AecCreate(&engine), 0u);
        ConfigureLikeTheModule(engine, static_cast<ULONG>(rate));
        const int16_t delay = 100;
        for (size_t at = 0; at + frame <= s.mic.size(); at += frame) {
            const uint32_t bytes = static_cast<uint32_t>(frame * 2);
            AecSubmit(engine, AEC_PIN_FAR_END, &s.far[at], bytes, nullptr, 0, nullptr);
            AecSubmit(engine, AEC_PIN_NEAR_END, &s.mic[at], bytes, &direct[at], bytes, &delay);
        }
        AecDestroy(engine);
    }
    EXPECT_EQ(viaModule, direct);
    const double erle = echotest::ErleDb(s.mic, viaModule, s.echo, static_cast<size_t>(3 * rate),
                                         viaModule.size(), static_cast<size_t>(rate / 10));
    EXPECT_GT(erle, 25.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, EaecEndToEnd, ::testing::Values(8000, 16000));

// The chain the echo-cancelling filter logic builds: the correlator finds the
// delay from the two streams and hands it to the canceller through the side
// value of its near-end call.
TEST_F(EaecTest, TheCorrelatorsDelayDrivesTheCanceller) {
    const Scene s = MakeScene(8000, 12, 120);
    ASSERT_EQ(Create(), ZV_OK);
    ASSERT_EQ(m_module->SetPropertyDword(AEC_PROP_COMFORT_NOISE, 0), ZV_OK);
    ULONG status = 0;
    CKAUDPWAVC* correlator = new CKAUDPWAVC(nullptr, kZaec, &status);
    ASSERT_NE(correlator, nullptr);
    ASSERT_EQ(status, ZV_OK);

    std::vector<int16_t> out(s.mic.size());
    ULONGLONG delay = 0;
    for (size_t at = 0; at + 80 <= s.mic.size(); at += 80) {
        auto* far = const_cast<int16_t*>(&s.far[at]);
        auto* mic = const_cast<int16_t*>(&s.mic[at]);
        ASSERT_EQ(correlator->SubmitPinData(0, far, 160, nullptr, 0, nullptr), ZV_OK);
        ASSERT_EQ(correlator->SubmitPinData(1, mic, 160, nullptr, 0, &delay), ZV_OK);
        ASSERT_EQ(m_module->SubmitPinData(0, far, 160, nullptr, 0, nullptr), ZV_OK);
        ASSERT_EQ(m_module->SubmitPinData(1, mic, 160, &out[at], 160, &delay), ZV_OK);
    }
    delete correlator;
    // The echo's first tap is 120 ms behind the far end.
    EXPECT_TRUE(delay == 119 || delay == 120) << delay;
    EXPECT_GT(echotest::ErleDb(s.mic, out, s.echo, 5 * 8000, out.size(), 800), 25.0);
}

struct EaecTraits {
    using Module = CKAUDPEAEC;
    static constexpr ULONG kTag = ZvFourCC("GAEC");
    static constexpr PropertySpec kProperties[] = {{0, 4, true},  {1, 4, true},  {2, 4, false},
                                                   {3, 4, false}, {4, 4, false}, {5, 4, false},
                                                   {7, 4, true},  {8, 4, false}};
    static constexpr ULONG kUnknownId = 9;
    static constexpr ULONG kRangedId = AEC_PROP_TAIL_LENGTH, kGoodValue = 32, kBadValue = 50;
    static constexpr ZvStatus kBadValueStatus = ZV_FAILED;
    static inline SHORT in[80];
    static void Configure(Module*) {}
    static ZvStatus Submit(Module* m) {
        return m->SubmitPinData(0, in, sizeof(in), nullptr, 0, nullptr);
    }
    // The object, then the engine's record.
    static ZvStatus FailNextConstruction() {
        KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 2);
        return ZV_NO_MEMORY;
    }
};
INSTANTIATE_TYPED_TEST_SUITE_P(GAEC, ModuleContract, EaecTraits);

}  // namespace
}  // namespace zvmodtest
