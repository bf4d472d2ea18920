// The gain control: the grading of blocks and the cycle's decisions on the
// logic alone, then on the default machine, where it steers the camera's
// volume node and the camera's capture follows.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "CKAUDPEAEC.h"
#include "FilterLogicServices.h"
#include "LogicTestSupport.h"
#include "AgcMachine.h"
#include "MemAlloc.h"
#include "kp/io.h"

namespace zvecho {
namespace {

constexpr LONG kPreset = AgcMachineTest::kPreset;

// A 10 ms block of 16 kHz mono: `count` samples of `value`, the rest 0.
std::vector<SHORT> Block(SHORT value, ULONG count = 160) {
    std::vector<SHORT> b(160, 0);
    for (ULONG i = 0; i < count && i < b.size(); ++i) b[i] = value;
    return b;
}
const std::vector<SHORT> kLoud = Block(20000);      // every sample at or above 13000: -100
const std::vector<SHORT> kSpeech = Block(1000);     // all in 400-3999: +100
const std::vector<SHORT> kQuiet = Block(0);         // nothing in 400-3999: 0
const std::vector<SHORT> kPeaks = Block(13000, 2);  // 12 per mille at 13000: -100

class AgcTest : public LogicTest {
protected:
    void SetUp() override {
        LogicTest::SetUp();
        LoadMaster();
        g_ProcessFormat = Pcm(16000, 16, 1);
        ResetAGC();
        g_Agc.Volume = kPreset;
    }
    static void Feed(const std::vector<SHORT>& block, ULONG times = 1) {
        for (ULONG i = 0; i < times; ++i)
            DoAGC(const_cast<SHORT*>(block.data()), static_cast<ULONG>(block.size() * 2));
    }
};

TEST_F(AgcTest, SamplesCountInTheHighestBandTheirMagnitudeReaches) {
    const ULONG thresholds[3] = {400, 4000, 13000};
    struct Case {
        SHORT Sample;
        ULONG Band;
    } const cases[] = {
        {0, 0},     {399, 0},    {400, 1},   {-400, 1},   {3999, 1},
        {4000, 2},  {-4000, 2},  {12999, 2}, {13000, 3},  {-13000, 3},
        {32767, 3}, {-32767, 3}, {-399, 0},  {-32768, 0},  // no 16-bit magnitude: the lowest band
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Sample);
        const SHORT samples[3] = {c.Sample, c.Sample, c.Sample};
        ULONG counts[4] = {9, 9, 9, 9};
        CountSampleLevels(samples, 3, thresholds, counts);
        for (ULONG b = 0; b < 4; ++b) EXPECT_EQ(counts[b], b == c.Band ? 3u : 0u) << "band " << b;
    }
}

TEST_F(AgcTest, ACycleOfThirtyGradesStepsByItsAverageWithHysteresis) {
    struct Case {
        const char* Name;
        LONG UpThreshold;  // as a previous step left it
        std::vector<std::pair<const std::vector<SHORT>*, ULONG>> Blocks;
        LONG Volume;  // after the cycle
        ULONG SkipCount;
    } const cases[] = {
        {"loud", 20, {{&kLoud, 30}}, kPreset - 103784, 500},
        {"a few peaks", 20, {{&kPeaks, 30}}, kPreset - 103784, 500},
        {"an average of exactly 20 steps up",
         20,
         {{&kSpeech, 6}, {&kQuiet, 24}},
         kPreset + 103784,
         500},
        {"not after a step down", 50, {{&kSpeech, 6}, {&kQuiet, 24}}, kPreset, 0},
        {"an average of exactly -20 steps down",
         20,
         {{&kLoud, 6}, {&kQuiet, 24}},
         kPreset - 103784,
         500},
        {"undecided", 20, {{&kQuiet, 30}}, kPreset, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ResetAGC();
        g_Agc.Volume = kPreset;
        g_Agc.UpThreshold = c.UpThreshold;
        for (auto& [block, times] : c.Blocks) Feed(*block, times);
        EXPECT_EQ(g_Agc.Volume, c.Volume);
        EXPECT_EQ(g_Agc.GradeCount, 0u) << "a new cycle";
        EXPECT_EQ(g_Agc.SkipCount, c.SkipCount);
        EXPECT_EQ(g_Agc.UpThreshold, c.Volume < kPreset ? 50 : 20);
        EXPECT_EQ(g_Agc.DownThreshold, c.Volume > kPreset ? -50 : -20);
    }
    // 1 sample of 160 is 6 per mille: not too loud, and below 10 per mille
    // in 400-3999 it grades 0.
    ResetAGC();
    g_Agc.Volume = kPreset;
    Feed(Block(13000, 1), 30);
    EXPECT_EQ(g_Agc.Volume, kPreset);
    EXPECT_EQ(g_Agc.SkipCount, 0u);
}

TEST_F(AgcTest, AnUndecidedCycleSkipsTheNextFiveHundredBlocks) {
    Feed(kQuiet, 30);
    ASSERT_EQ(g_Agc.SkipCount, 0u);
    Feed(kLoud, 500);  // the pause: counted, not graded
    EXPECT_EQ(g_Agc.Started, 0u);
    EXPECT_EQ(g_Agc.GradeCount, 0u);
    EXPECT_EQ(g_Agc.Volume, kPreset);
    Feed(kLoud, 29);
    EXPECT_EQ(g_Agc.Volume, kPreset) << "29 grades are no cycle";
    Feed(kLoud);
    EXPECT_EQ(g_Agc.Volume, kPreset - 103784);
}

// A count left past a cycle (as an unlocked reset beside the thread could
// leave it) decides at once and writes nothing beyond the history.
TEST_F(AgcTest, ACountPastACycleDecidesAtOnce) {
    for (ULONG count : {30u, 31u, 32u, 200u}) {
        SCOPED_TRACE(count);
        ResetAGC();
        Feed(kQuiet);  // starts the cycle
        g_Agc.GradeCount = count;
        const LONG volume = g_Agc.Volume;
        Feed(kLoud);
        EXPECT_EQ(g_Agc.GradeCount, 0u);
        EXPECT_EQ(g_Agc.SkipCount, 0u) << "the stored grades average 0: undecided";
        EXPECT_EQ(g_Agc.Volume, volume);
        EXPECT_EQ(g_Agc.Grades[30], 0);
        EXPECT_EQ(g_Agc.Grades[31], 0);
    }
}

TEST_F(AgcTest, BlocksWithoutWholeSamplesAreNotGraded) {
    const std::vector<SHORT> block = kLoud;
    DoAGC(const_cast<SHORT*>(block.data()), 1);
    DoAGC(nullptr, 320);
    g_ProcessFormat = ChannelFormat{};  // no format: no sample size to divide by
    DoAGC(const_cast<SHORT*>(block.data()), 320);
    EXPECT_EQ(g_Agc.Started, 0u);
    EXPECT_EQ(g_Agc.GradeCount, 0u);
}

TEST_F(AgcTest, ModesPresetTheirVolumeAndStartACycle) {
    struct Case {
        ULONG Mode;
        LONG Volume;  // 7: unchanged
    } const cases[] = {{1, 3537609}, {3, 2980778}, {4, 3537609}, {5, 3780421},
                       {6, 3932160}, {0, 7},       {2, 7},       {7, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Mode);
        g_Agc.Volume = 7;
        g_Agc.GradeCount = 5;
        g_Agc.UpThreshold = 50;
        InitAGC(c.Mode);
        EXPECT_EQ(g_Agc.Volume, c.Volume);
        EXPECT_EQ(g_Agc.GradeCount, c.Volume == 7 ? 5u : 0u);
        EXPECT_EQ(g_Agc.UpThreshold, c.Volume == 7 ? 50 : 20);
    }
}

// A device below that answers the node-list query with bytes a test chose:
// the first answer (the header) and the second (the list), each with the
// byte count it claims.
struct NodeAnswer {
    std::vector<uint8_t> Bytes;
    ULONG_PTR Claimed;
};
NodeAnswer g_Answers[2];
ULONG g_Asked;

NTSTATUS AnswerNodes(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const NodeAnswer& a = g_Answers[g_Asked++ % 2];
    const ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    std::memcpy(irp->UserBuffer, a.Bytes.data(), std::min<size_t>(a.Bytes.size(), room));
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = a.Claimed;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
void NodeDriverUnload(PDRIVER_OBJECT) {}
NTSTATUS NodeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = AnswerNodes;
    driver->DriverUnload = NodeDriverUnload;
    return STATUS_SUCCESS;
}

std::vector<uint8_t> NodeList(ULONG size, ULONG count, std::vector<GUID> nodes) {
    std::vector<uint8_t> b(sizeof(KSMULTIPLE_ITEM) + nodes.size() * sizeof(GUID));
    KSMULTIPLE_ITEM head{size, count};
    std::memcpy(b.data(), &head, sizeof head);
    if (!nodes.empty()) std::memcpy(b.data() + sizeof head, nodes.data(), nodes.size() * 16);
    return b;
}

// The node list is read only as far as the device's answers hold it: a
// header whose Size cannot hold a list is not allocated for, and a list is
// scanned only when its Size and the bytes returned hold every GUID counted.
TEST_F(AgcTest, TheNodeListIsReadOnlyAsFarAsTheDevicesAnswersHoldIt) {
    const GUID other = KSNODETYPE_MICROPHONE, volume = KSNODETYPE_VOLUME;
    const std::vector<GUID> four = {other, other, other, volume};
    const std::vector<uint8_t> header = NodeList(72, 4, {});
    const std::vector<uint8_t> list = NodeList(72, 4, four);
    struct Case {
        const char* Name;
        NodeAnswer First, Second;
        NTSTATUS Status;
        ULONG Node;
        ULONG Asked;
    } const cases[] = {
        {"volume at index 3", {header, 8}, {list, 72}, STATUS_SUCCESS, 3, 2},
        {"no volume node",
         {header, 8},
         {NodeList(72, 4, {other, other, other, other}), 72},
         STATUS_SUCCESS,
         2,
         2},
        {"Size 0", {NodeList(0, 0, {}), 8}, {list, 72}, STATUS_INVALID_BUFFER_SIZE, 2, 1},
        {"Size 7", {NodeList(7, 0, {}), 8}, {list, 72}, STATUS_INVALID_BUFFER_SIZE, 2, 1},
        {"a header of 4 bytes", {header, 4}, {list, 72}, STATUS_INVALID_BUFFER_SIZE, 2, 1},
        {"Size beyond any topology",
         {NodeList(0xFFFFFFF0u, 4, {}), 8},
         {list, 72},
         STATUS_INVALID_BUFFER_SIZE,
         2,
         1},
        {"a count beyond Size",
         {header, 8},
         {NodeList(72, 5, four), 72},
         STATUS_INVALID_BUFFER_SIZE,
         2,
         2},
        {"a count whose bytes wrap 32 bits",
         {header, 8},
         {NodeList(72, 0x10000000u, four), 72},
         STATUS_INVALID_BUFFER_SIZE,
         2,
         2},
        {"fewer bytes returned than counted",
         {header, 8},
         {list, 8 + 2 * 16},
         STATUS_INVALID_BUFFER_SIZE,
         2,
         2},
        {"a second Size beyond the first",
         {NodeList(40, 2, {}), 8},
         {list, 72},
         STATUS_INVALID_BUFFER_SIZE,
         2,
         2},
    };
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(KpLoadBuiltinDriver(u"AgcNodeDevice", NodeDriverEntry, &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &device),
              STATUS_SUCCESS);
    FILE_OBJECT filter{};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        g_Answers[0] = c.First;
        g_Answers[1] = c.Second;
        g_Asked = 0;
        const ULONGLONG live = LiveBytes();
        PULONG nodes = reinterpret_cast<PULONG>(&filter);
        EXPECT_EQ(FindVolumeNode(device, &filter, &nodes), c.Status);
        EXPECT_EQ(g_Asked, c.Asked);
        EXPECT_EQ(VolumeNodeIndex(nodes), c.Node);
        EXPECT_EQ(nodes == nullptr, c.Status != STATUS_SUCCESS);
        if (nodes != nullptr) MemFree(nodes);
        EXPECT_EQ(LiveBytes(), live);
    }
    EXPECT_EQ(FindVolumeNode(device, &filter, nullptr), STATUS_INVALID_PARAMETER);
    IoDeleteDevice(device);
    EXPECT_EQ(KpUnloadDriver(driver), STATUS_SUCCESS);
    KpUnregisterBuiltinDriver(u"AgcNodeDevice");
}

// ---------------------------------------------------------------------------
// On the default machine
// ---------------------------------------------------------------------------
DEFINE_GUID(kOther, 0x0E3C4A51, 0x1B2F, 0x4C6D, 0x8E, 0x9A, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB);

// A loud near end steps the camera's volume down after 30 blocks, before or
// after the canceller, and the camera's capture falls by the step's gain.
TEST_F(AgcMachineTest, ALoudNearEndStepsTheCamerasVolumeDownAfterThirtyBlocks) {
    for (ULONG position : {1u, 2u}) {
        SCOPED_TRACE(testing::Message() << "position " << position);
        LoudNearEnd(0.6);
        SetControl(10, 1);
        SetControl(11, position);
        const size_t first = Device(kCamera)->PinRecords().back().Captured.size() / 320;
        Start();
        if (HasFatalFailure()) return;
        EXPECT_EQ(CameraVolume(), kPreset) << "mode 1 starts at its preset";
        StreamBlocks(29, silence_);
        ASSERT_TRUE(AwaitOutPasses(29));
        EXPECT_EQ(CameraVolume(), kPreset) << "29 grades are no cycle";
        StreamBlocks(1, silence_);
        ASSERT_TRUE(AwaitOutPasses(30));
        EXPECT_EQ(CameraVolume(), kPreset - 103784);
        StreamBlocks(10, silence_);
        const double before = CapturedRms(first + 18, first + 28);
        const double after = CapturedRms(first + 32, first + 40);
        EXPECT_NEAR(after / before, std::pow(10.0, -103784.0 / 65536 / 20), 0.002);
        // The next cycle steps again: the tone is still loud.
        StreamBlocks(20, silence_);
        ASSERT_TRUE(AwaitOutPasses(60));
        EXPECT_EQ(CameraVolume(), kPreset - 2 * 103784);
        ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(mic_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    }
}

// Mode 5 while the canceller runs: 3780421 at once, no steps after.
TEST_F(AgcMachineTest, APresetModeSetsTheVolumeAtOnceAndNeverSteps) {
    LoudNearEnd(0.6);
    Start();
    if (HasFatalFailure()) return;
    SetControl(10, 5);
    EXPECT_EQ(CameraVolume(), 3780421);
    StreamBlocks(40, silence_);
    ASSERT_TRUE(AwaitOutPasses(40));
    EXPECT_EQ(CameraVolume(), 3780421);
    ULONG mode = 0;
    ASSERT_EQ(Control(10, KSPROPERTY_TYPE_GET, &mode), STATUS_SUCCESS);
    EXPECT_EQ(mode, 5u);
    // Off and on again while running: mode 1 presets its own level.
    SetControl(10, 0);
    SetControl(10, 1);
    EXPECT_EQ(CameraVolume(), kPreset);
}

// The volume requests go to the node the camera's topology names, on the
// capture pin, with a topology property's flags; a node list the device
// answers badly leaves the default node and reads nothing past the answer.
TEST_F(AgcMachineTest, VolumeRequestsFindTheNodeWhereTheTopologyPutsIt) {
    const kp::sim::Fault nodesAnswer = [] {
        kp::sim::Fault f;
        f.MatchSet = true;
        f.Set = KSPROPSETID_Topology;
        f.Id = KSPROPERTY_TOPOLOGY_NODES;
        f.Status = STATUS_SUCCESS;
        return f;
    }();
    struct Case {
        const char* Name;
        ULONG Nth;              // the node list answer replaced (0: none)
        ULONG_PTR Information;  // its byte count; the buffer stays as the logic gave it
        LONG Volume;            // after a start in mode 5
    } const cases[] = {
        {"the node at index 3", 0, 0, 3780421}, {"a header of Size 0", 1, 8, kPreset},
        {"a short header", 1, 4, kPreset},      {"a list shorter than its count", 2, 8, kPreset},
        {"a list that failed", 2, 0, kPreset},
    };
    auto camera = Device(kCamera);
    camera->SetTopologyNodes({kOther, kOther, kOther, KSNODETYPE_VOLUME});
    PFILE_OBJECT pin = nullptr;
    ASSERT_EQ(GetChannelInfo(1, CHANNEL_CAPTURE, nullptr, &pin, nullptr, nullptr), ZV_OK);
    SetControl(10, 5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        camera->ClearFaults();
        if (c.Nth != 0) {
            kp::sim::Fault f = nodesAnswer;
            f.Nth = c.Nth;
            f.Information = c.Information;
            if (c.Information == 0) f.Status = STATUS_INVALID_DEVICE_REQUEST;
            camera->AddFault(f);
        }
        LONG level = kPreset;
        KSNODEPROPERTY_AUDIO_CHANNEL reset{
            {{KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET}, 3, 0}, 0, 0};
        ASSERT_EQ(mic_.Property(&reset, sizeof reset, &level, sizeof level), STATUS_SUCCESS);
        Start();
        if (HasFatalFailure()) return;
        EXPECT_EQ(CameraVolume(), c.Volume);
        EXPECT_EQ(Device(kCamera)->VolumeLevel(1), kPreset) << "channel 0 only";
        const std::vector<kp::sim::RequestRecord> sets = VolumeSets();
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].Flags, 0x10000002u);
        EXPECT_EQ(sets[0].File, pin) << "on the capture pin";
        EXPECT_EQ(sets[0].InputLength, 40u);
        EXPECT_EQ(sets[0].OutputLength, 4u);
        ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(mic_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    }
}

// While the gain control runs, applications' volume sets on the camera are
// taken as done without reaching it; otherwise they reach it, and reads
// always do.
TEST_F(AgcMachineTest, ApplicationsVolumeSetsWaitWhileTheGainControlRuns) {
    struct Case {
        ULONG Mode;
        bool Running;
        LONG Expected;  // the camera's level after a set of 3000000
    } const cases[] = {
        {1, true, kPreset},
        {5, true, 3780421},
        {0, true, 3000000},
        {1, false, 3000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.Mode << " running " << c.Running);
        SetControl(10, c.Mode);
        if (c.Running) {
            Start();
            if (HasFatalFailure()) return;
        }
        KSNODEPROPERTY_AUDIO_CHANNEL p{
            {{KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET}, 0, 0}, 0, 0};
        LONG level = 3000000;
        EXPECT_EQ(captureFilter_.Property(&p, sizeof p, &level, sizeof level), STATUS_SUCCESS);
        EXPECT_EQ(CameraVolume(), c.Expected);
        p.NodeProperty.Property.Flags = KSPROPERTY_TYPE_GET;
        level = 0;
        ULONG returned = 0;
        EXPECT_EQ(captureFilter_.Property(&p, sizeof p, &level, sizeof level, &returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(level, c.Expected) << "a read reaches the camera";
        ASSERT_EQ(speaker_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(mic_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        level = kPreset;
        p.NodeProperty.Property.Flags = KSPROPERTY_TYPE_SET;
        ASSERT_EQ(captureFilter_.Property(&p, sizeof p, &level, sizeof level), STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace zvecho
