// Channel table, shared and instantiated variables and the helpers, with the
// recording test logic behind the descriptor.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "CGenDisp.h"
#include "DrvMain.h"
#include "FrameworkTestSupport.h"
#include "ZvKAPFWi.h"
#include "ZvKAPFWiTables.h"
#include "kp/io.h"

void RecordingLogicReset();
extern InternalDeviceTable RecordingInternalDevices;

namespace {

class ChannelTableTest : public zvtest::FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        InitializeListHead(&PdoList);
        KeInitializeSpinLock(&PdoListLock);
        InitializeChannelAndVariableTables();
        RecordingLogicReset();
        KpIoTraceClear();
        LogModule<LogModuleZvKAPFWi>::ModuleSetLevel(1, 1);
    }
    void TearDown() override {
        LogModule<LogModuleZvKAPFWi>::ModuleSetLevel(2, 0);
        RecordingLogicReset();
        FrameworkTest::TearDown();
    }

    static std::vector<std::string> LogicCalls() {
        std::vector<std::string> out;
        for (auto& e : KpIoTraceEntries()) {
            if (e.Who == "Echowell") out.push_back(e.Event);
        }
        return out;
    }
    static bool Logged(const std::string& text) {
        auto lines = DbgLines();
        return std::any_of(lines.begin(), lines.end(),
                           [&](auto& l) { return l.find(text) != std::string::npos; });
    }
};

TEST_F(ChannelTableTest, EveryChannelServiceRefusesABadChannelOrDirection) {
    ChannelFormat format{};
    ULONG state = 0;
    ULONGLONG count = 0;
    for (auto [channel, direction] : {std::pair<LONG, ULONG>{-1, 1}, {10, 1}, {1, 0}, {1, 3}}) {
        SCOPED_TRACE(channel * 10 + static_cast<LONG>(direction));
        EXPECT_EQ(GetChannelFormat(channel, direction, &format), ZV_INVALID_PARAMETER);
        EXPECT_EQ(SetChannelFormat(channel, direction, &format), ZV_INVALID_PARAMETER);
        EXPECT_EQ(AcquireChannel(channel, direction, nullptr, nullptr, nullptr),
                  ZV_INVALID_PARAMETER);
        EXPECT_EQ(ReleaseChannel(channel, direction), ZV_INVALID_PARAMETER);
        EXPECT_EQ(GetChannelInfo(channel, direction, nullptr, nullptr, &count, nullptr),
                  ZV_INVALID_PARAMETER);
        EXPECT_EQ(GetChannelState(channel, direction, &state), ZV_INVALID_PARAMETER);
        EXPECT_EQ(SetChannelState(channel, direction, 1), ZV_INVALID_PARAMETER);
        EXPECT_EQ(GetChannelPosition(channel, direction, &count), ZV_INVALID_PARAMETER);
        EXPECT_EQ(UpdateChannelPosition(channel, direction, 5, CountUpdate::Add),
                  ZV_INVALID_PARAMETER);
        EXPECT_EQ(UpdateChannelTransferCount(channel, direction, 5, CountUpdate::Add),
                  ZV_INVALID_PARAMETER);
    }
    // A null output wins over a good channel.
    EXPECT_EQ(GetChannelFormat(1, 1, nullptr), ZV_INVALID_PARAMETER);
    EXPECT_EQ(GetChannelState(1, 1, nullptr), ZV_INVALID_PARAMETER);
    for (const ChannelRecord& record : ChannelTable) EXPECT_EQ(record.Acquired, 0u);
}

TEST_F(ChannelTableTest, RecordsAreAcquiredOnceReleasedOnceAndStartClean) {
    auto lower = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
    auto pin = reinterpret_cast<PFILE_OBJECT>(0x2000);
    auto fdo = reinterpret_cast<PDEVICE_OBJECT>(0x3000);
    ASSERT_EQ(AcquireChannel(1, 1, lower, pin, fdo), ZV_OK);
    EXPECT_EQ(AcquireChannel(1, 1, nullptr, nullptr, nullptr), ZV_FAILED);
    EXPECT_TRUE(Logged("AcquireChannel> Channel already Acquired!!!"));
    PDEVICE_OBJECT gotLower = nullptr, gotFdo = nullptr;
    PFILE_OBJECT gotPin = nullptr;
    EXPECT_EQ(GetChannelInfo(1, 1, &gotLower, &gotPin, nullptr, &gotFdo), ZV_OK);
    EXPECT_EQ(gotLower, lower);
    EXPECT_EQ(gotPin, pin);
    EXPECT_EQ(gotFdo, fdo);
    // Direction 2 is its own record.
    EXPECT_EQ(GetChannelInfo(1, 2, nullptr, nullptr, nullptr, nullptr), ZV_NOT_READY);
    EXPECT_TRUE(Logged("GetChannelInfo> Channel NOT Acquired!!!"));
    EXPECT_EQ(IsChannelOwner(1, 1, pin), 1u);
    EXPECT_EQ(IsChannelOwner(1, 1, reinterpret_cast<PFILE_OBJECT>(0x2001)), 0u);

    ChannelFormat format{1u | (2u << 16), 48000, 192000, 16, 3};
    EXPECT_EQ(SetChannelFormat(1, 1, &format), ZV_OK);
    EXPECT_EQ(SetChannelState(1, 1, 3), ZV_OK);
    ASSERT_EQ(ReleaseChannel(1, 1), ZV_OK);
    EXPECT_EQ(ReleaseChannel(1, 1), ZV_FAILED);
    EXPECT_TRUE(Logged("ReleaseChannel> Channel not Acquired!!!"));
    EXPECT_EQ(IsChannelOwner(1, 1, pin), 0u);

    // Late completions of the old owner count into the free record ...
    EXPECT_EQ(UpdateChannelPosition(1, 1, 77, CountUpdate::Add), ZV_OK);
    EXPECT_EQ(UpdateChannelTransferCount(1, 1, 55, CountUpdate::Add), ZV_OK);
    // ... and the next owner still starts from zero.
    ASSERT_EQ(AcquireChannel(1, 1, lower, reinterpret_cast<PFILE_OBJECT>(0x2001), fdo), ZV_OK);
    ChannelFormat read{};
    ULONG state = 9;
    ULONGLONG position = 9, count = 9;
    EXPECT_EQ(GetChannelFormat(1, 1, &read), ZV_OK);
    EXPECT_EQ(read.SamplesPerSec, 0u);
    EXPECT_EQ(GetChannelState(1, 1, &state), ZV_OK);
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(GetChannelPosition(1, 1, &position), ZV_OK);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(ChannelTable[1].CompletedCount, 0u);
    (void)count;
    EXPECT_EQ(IsChannelOwner(1, 1, pin), 0u);
    EXPECT_EQ(ReleaseChannel(1, 1), ZV_OK);
}

TEST_F(ChannelTableTest, StateChangesCallTheLogicOnceOutsideTheLock) {
    EXPECT_EQ(SetChannelState(2, 1, 0), ZV_INVALID_PARAMETER);
    EXPECT_EQ(SetChannelState(2, 1, 4), ZV_INVALID_PARAMETER);
    EXPECT_EQ(SetChannelState(2, 1, 3), ZV_NOT_READY);
    EXPECT_TRUE(Logged("SetChannelState> Channel NOT Acquired!!!"));
    EXPECT_TRUE(LogicCalls().empty());
    ASSERT_EQ(AcquireChannel(2, 1, nullptr, nullptr, nullptr), ZV_OK);
    EXPECT_EQ(SetChannelState(2, 1, 2), ZV_OK);
    // The logic read the state back from inside its callback: no lock was held.
    EXPECT_EQ(LogicCalls(), std::vector<std::string>{"OnSetChannelState(2,1,2)"});
    EXPECT_EQ(ReleaseChannel(2, 1), ZV_OK);
}

TEST_F(ChannelTableTest, CountersSetOrAddWithCarryAndInfoPicksByDirection) {
    ASSERT_EQ(AcquireChannel(3, 1, nullptr, nullptr, nullptr), ZV_OK);
    ASSERT_EQ(AcquireChannel(3, 2, nullptr, nullptr, nullptr), ZV_OK);
    EXPECT_EQ(UpdateChannelPosition(3, 1, 0xFFFFFFFFull, CountUpdate::Add), ZV_OK);
    EXPECT_EQ(UpdateChannelPosition(3, 1, 0xFFFFFFFFull, CountUpdate::Add), ZV_OK);
    ULONGLONG value = 0;
    EXPECT_EQ(GetChannelPosition(3, 1, &value), ZV_OK);
    EXPECT_EQ(value, 0x1FFFFFFFEull);
    EXPECT_EQ(UpdateChannelPosition(3, 1, 7, CountUpdate::Set), ZV_OK);
    EXPECT_EQ(GetChannelPosition(3, 1, &value), ZV_OK);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(GetChannelInfo(3, 1, nullptr, nullptr, &value, nullptr), ZV_OK);
    EXPECT_EQ(value, 7u);  // render: the position
    EXPECT_EQ(UpdateChannelPosition(3, 2, 100, CountUpdate::Set), ZV_OK);
    EXPECT_EQ(UpdateChannelTransferCount(3, 2, 40, CountUpdate::Set), ZV_OK);
    EXPECT_EQ(UpdateChannelTransferCount(3, 2, 2, CountUpdate::Add), ZV_OK);
    EXPECT_EQ(GetChannelInfo(3, 2, nullptr, nullptr, &value, nullptr), ZV_OK);
    EXPECT_EQ(value, 42u);  // capture: the completed count
    EXPECT_EQ(GetChannelPosition(3, 2, nullptr), ZV_OK);
    EXPECT_EQ(ReleaseChannel(3, 1), ZV_OK);
    EXPECT_EQ(ReleaseChannel(3, 2), ZV_OK);
}

TEST_F(ChannelTableTest, RequiredFormatComesFromTheLogic) {
    ChannelFormat format{};
    EXPECT_EQ(GetRequiredFunctionFormat(1, 2, &format), ZV_NOT_READY);  // logic not loaded
    ULONG one = 1;
    // A master load sets the logic's loaded flag.
    g_FilterLogic->OnFilterLoad(nullptr, 1, nullptr, nullptr);
    EXPECT_EQ(GetRequiredFunctionFormat(1, 2, &format), ZV_OK);
    EXPECT_EQ(format.SamplesPerSec, 8000u);
    (void)one;
}

TEST_F(ChannelTableTest, SharedVariablesStoreOnlyOnOffChangesAndAnnounceEachStore) {
    ULONG value = 0, size = 0;
    EXPECT_EQ(GetSharedVariable(1, &value, &size), ZV_INVALID_PARAMETER);  // size 0
    size = 3;
    EXPECT_EQ(GetSharedVariable(1, &value, &size), ZV_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 3u);  // left as it came
    size = 4;
    EXPECT_EQ(GetSharedVariable(5, &value, &size), ZV_INVALID_PARAMETER);
    EXPECT_EQ(GetSharedVariable(0, &value, &size), ZV_INVALID_PARAMETER);
    EXPECT_EQ(SetSharedVariable(2, &value, 3), ZV_BUFFER_TOO_SMALL);
    EXPECT_EQ(SetSharedVariable(2, nullptr, 4), ZV_BUFFER_TOO_SMALL);
    EXPECT_EQ(SetSharedVariable(5, &value, 4), ZV_INVALID_PARAMETER);
    EXPECT_TRUE(LogicCalls().empty());

    ULONG one = 1, five = 5, zero = 0;
    EXPECT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &one, 4), ZV_OK);
    // The logic copies id 2 into id 1, which announces itself too.
    EXPECT_EQ(LogicCalls(), (std::vector<std::string>{"OnSharedVariableChange(2,1)",
                                                      "OnSharedVariableChange(1,1)"}));
    EXPECT_EQ(ReadSharedValue(VID_SHARED_DSDISABLE), 1u);
    KpIoTraceClear();
    EXPECT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &five, 4), ZV_OK);
    EXPECT_EQ(ReadSharedValue(VID_SHARED_PROCESS), 1u);  // non-zero over non-zero: no store
    EXPECT_TRUE(LogicCalls().empty());
    EXPECT_EQ(SetSharedVariable(VID_SHARED_PROCESS, &zero, 8), ZV_OK);  // a larger source is fine
    EXPECT_EQ(ReadSharedValue(VID_SHARED_PROCESS), 0u);
    EXPECT_EQ(ReadSharedValue(VID_SHARED_DSDISABLE), 0u);
    KpIoTraceClear();
    // Ids 3 and 4 take any value and announce every store.
    EXPECT_EQ(SetSharedVariable(VID_SHARED_MUTEMODE, &five, 4), ZV_OK);
    EXPECT_EQ(SetSharedVariable(VID_SHARED_MUTEMODE, &five, 4), ZV_OK);
    EXPECT_EQ(ReadSharedValue(VID_SHARED_MUTEMODE), 5u);
    EXPECT_EQ(LogicCalls().size(), 2u);
}

TEST_F(ChannelTableTest, RacingStoresOfOneValueChangeItOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> go{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            while (go.load() == 0) std::this_thread::yield();
            ULONG one = 1;
            EXPECT_EQ(SetSharedVariable(VID_SHARED_DSDISABLE, &one, 4), ZV_OK);
        });
    }
    go.store(1);
    for (auto& t : threads) t.join();
    EXPECT_EQ(LogicCalls(), std::vector<std::string>{"OnSharedVariableChange(1,1)"});
    ULONG zero = 0;
    EXPECT_EQ(SetSharedVariable(VID_SHARED_DSDISABLE, &zero, 4), ZV_OK);
}

TEST_F(ChannelTableTest, BandwidthStoresFlagEveryListedDeviceForRebuild) {
    // Two listed devices with bare extensions.
    FilterDeviceExtension ext[2] = {};
    DEVICE_OBJECT fdo[2] = {};
    PdoListEntry entries[2] = {};
    for (int i = 0; i < 2; ++i) {
        fdo[i].DeviceExtension = &ext[i];
        entries[i].Fdo = &fdo[i];
        entries[i].Pdo = nullptr;
        InsertHeadList(&PdoList, &entries[i].Links);
    }
    ULONG limit = 2;
    EXPECT_EQ(SetSharedVariable(VID_SHARED_BWLIMIT, &limit, 4), ZV_OK);
    EXPECT_EQ(ext[0].RebuildFlag, 1);
    EXPECT_EQ(ext[1].RebuildFlag, 1);
    InitializeListHead(&PdoList);
}

TEST_F(ChannelTableTest, InstantiatedVariablesLiveInEachDevicesExtension) {
    FilterDeviceExtension ext[2] = {};
    DEVICE_OBJECT fdo[2] = {};
    CGenDisp genDisp[2];
    for (int i = 0; i < 2; ++i) {
        fdo[i].DeviceExtension = &ext[i];
        KeInitializeSpinLock(&ext[i].InstLock);
        ext[i].InstPinDirsPtr = &ext[i].HandledDirections;
        ext[i].InstPinDirsSize = 4;
        ext[i].InstMasterStackPtr = &ext[i].MasterFlag;
        ext[i].InstMasterStackSize = 4;
        ASSERT_EQ(genDisp[i].Init(&fdo[i], nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    }
    ULONG value = 0, size = 4;
    EXPECT_EQ(GetInstantiatedVariable(nullptr, 1, &value, &size), ZV_INVALID_PARAMETER);
    EXPECT_EQ(SetInstantiatedVariable(nullptr, 1, &value, 4), ZV_BUFFER_TOO_SMALL);
    EXPECT_EQ(SetInstantiatedVariable(&genDisp[0], 3, &value, 4), ZV_INVALID_PARAMETER);
    ULONGLONG wide = 0xAAAAAAAA00000003ull;
    EXPECT_EQ(SetInstantiatedVariable(&genDisp[0], VID_INST_PINDIRS, &wide, 8), ZV_OK);
    EXPECT_EQ(ext[0].HandledDirections, 3u);
    ULONG two = 2;
    EXPECT_EQ(SetInstantiatedVariable(&genDisp[1], VID_INST_PINDIRS, &two, 4), ZV_OK);
    size = 8;
    EXPECT_EQ(GetInstantiatedVariable(&genDisp[0], VID_INST_PINDIRS, &value, &size), ZV_OK);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(GetInstantiatedVariable(&genDisp[1], VID_INST_PINDIRS, &value, &size), ZV_OK);
    EXPECT_EQ(value, 2u);
    ext[1].MasterFlag = 1;
    EXPECT_EQ(GetInstantiatedVariable(&genDisp[1], VID_INST_MASTERSTACK, &value, &size), ZV_OK);
    EXPECT_EQ(value, 1u);
}

TEST_F(ChannelTableTest, TimeScalingIsExactAgainstAWideReference) {
    for (ULONGLONG frequency : {10000000ull, 3579545ull, 0xFFFFFFFFull}) {
        for (ULONGLONG counter : {0ull, 1ull, 123456789ull, 0xFFFFFFFFull, 0x123456789ABCull,
                                  1ull << 62, (1ull << 63) - 1, 1ull << 63}) {
            unsigned __int128 reference =
                static_cast<unsigned __int128>(counter) * 10000000u / frequency;
            // The 64-bit result wraps like the reference's low half.
            EXPECT_EQ(ScaleTo100ns(counter, frequency), static_cast<ULONGLONG>(reference))
                << counter << " at " << frequency;
        }
    }
    EXPECT_EQ(ScaleTo100ns(987654321ull, 10000000ull), 987654321ull);
}

TEST_F(ChannelTableTest, HardwareIdsParseUpperCasedWithShortAndMissingFields) {
    char16_t id[] = u"usb\\vid_1234&pid_abcd&rev_0102";
    ULONG vid = 0, pid = 0, rev = 0;
    ParseHardwareId(id, &vid, &pid, &rev);
    EXPECT_EQ(vid, 0x1234u);
    EXPECT_EQ(pid, 0xABCDu);
    EXPECT_EQ(rev, 0x102u);
    EXPECT_EQ(std::u16string(id), u"USB\\VID_1234&PID_ABCD&REV_0102");
    char16_t noRev[] = u"USB\\PID_00FF&VID_12";
    rev = 77;
    ParseHardwareId(noRev, &vid, &pid, &rev);
    EXPECT_EQ(vid, 0x12u);
    EXPECT_EQ(pid, 0xFFu);
    EXPECT_EQ(rev, 77u);
    ParseHardwareId(nullptr, &vid, &pid, &rev);
}

}  // namespace
