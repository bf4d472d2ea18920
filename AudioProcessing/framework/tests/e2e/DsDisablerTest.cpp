// The DirectSound disabler on a device of the machine, called from the
// framework linked into the test program.
#include <atomic>
#include <thread>
#include <vector>

#include "DSDisblr.h"
#include "DrvMain.h"
#include "MemAlloc.h"
#include "ZvKAPFWi.h"
#include "E2ESupport.h"
#include "kp/io.h"
#include "kp/pool.h"
#include "kp/pnp.h"
#include "kp/registry.h"

namespace zvtest {
namespace {

class DsDisablerTest : public E2ETest {
protected:
    void SetUp() override {
        E2ETest::SetUp();
        DsRegistryKeyType = PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
    }
    ULONG Count(bool render) {
        return DsValue("1", render, "Device Presence", u"ZVDSDisableCount");
    }
    ULONG Presence(bool render, const char16_t* name) {
        return DsValue("1", render, "Device Presence", name);
    }
    ULONG Mixer(bool render, const char16_t* name) {
        return DsValue("1", render, "Mixer Defaults", name);
    }
};

std::string ProfileKeys(ULONG vxd, ULONG wdm, ULONG acceleration) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Hardware "
                  "Profiles\\Current\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_"
                  "ABCD\\1\\DirectSound\\Device Presence]\r\n"
                  "\"VxD\"=dword:%08x\r\n\"WDM\"=dword:%08x\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Hardware "
                  "Profiles\\Current\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_"
                  "ABCD\\1\\DirectSound\\Mixer Defaults]\r\n"
                  "\"Acceleration\"=dword:%08x\r\n\r\n",
                  vxd, wdm, acceleration);
    return text;
}

TEST_F(DsDisablerTest, DisablesNestAndTheLastEnableRestoresTheDevicesOwnValues) {
    WriteMachine({{"1", {}, {}, 1, 0, ProfileKeys(0, 0, 3)}});
    PDEVICE_OBJECT pdo = Plug("1");
    EXPECT_EQ(DisableDirectSound(pdo, DS_DIRECTION_RENDER), 1u);
    EXPECT_EQ(DisableDirectSound(pdo, DS_DIRECTION_RENDER), 1u);
    EXPECT_EQ(Count(true), 2u);
    EXPECT_EQ(Presence(true, u"VxDOrig"), 0u);
    EXPECT_EQ(Mixer(true, u"AccelerationOrig"), 3u);
    EXPECT_EQ(EnableDirectSound(pdo, DS_DIRECTION_RENDER), 1u);
    EXPECT_EQ(Count(true), 1u);
    EXPECT_EQ(Presence(true, u"VxD"), 1u);
    EXPECT_EQ(Presence(true, u"WDM"), 1u);
    EXPECT_EQ(Mixer(true, u"Acceleration"), 15u);
    EXPECT_EQ(EnableDirectSound(pdo, DS_DIRECTION_RENDER), 1u);
    EXPECT_EQ(Count(true), 0u);
    EXPECT_EQ(Presence(true, u"VxD"), 0u);
    EXPECT_EQ(Presence(true, u"WDM"), 0u);
    EXPECT_EQ(Mixer(true, u"Acceleration"), 3u);
    // Never below zero, nothing restored.
    EXPECT_EQ(EnableDirectSound(pdo, DS_DIRECTION_RENDER), 1u);
    EXPECT_EQ(Count(true), 0u);
    EXPECT_EQ(Presence(true, u"VxD"), 0u);
    // The capture keys were never touched.
    EXPECT_EQ(Count(false), 0xFFFFFFFFu);
}

TEST_F(DsDisablerTest, AFirstDisableCreatesTheKeysAndAnEnableAtZeroWritesNothing) {
    WriteMachine({{"1", {}, {}, 1}});
    PDEVICE_OBJECT pdo = Plug("1");
    EXPECT_EQ(EnableDirectSound(pdo, DS_DIRECTION_CAPTURE), 1u);
    EXPECT_EQ(Count(false), 0u);  // the read wrote the count back
    EXPECT_EQ(Presence(false, u"VxDOrig"), 0xFFFFFFFFu);
    EXPECT_EQ(Mixer(false, u"AccelerationOrig"), 0xFFFFFFFFu);
    EXPECT_EQ(DisableDirectSound(pdo, DS_DIRECTION_CAPTURE), 1u);
    EXPECT_EQ(Count(false), 1u);
    EXPECT_EQ(Presence(false, u"VxDOrig"), 1u);
    EXPECT_EQ(Presence(false, u"WDMOrig"), 1u);
    EXPECT_EQ(Mixer(false, u"AccelerationOrig"), 15u);
    EXPECT_EQ(Mixer(false, u"Acceleration"), 15u);
    EXPECT_EQ(Count(true), 0xFFFFFFFFu);  // render untouched
}

TEST_F(DsDisablerTest, AKeyThatCannotBeOpenedChangesNothing) {
    WriteMachine({{"1", {}, {}, 1}});
    PDEVICE_OBJECT pdo = Plug("1");
    KpPnpFailRegistryKey(pdo, DsRegistryKeyType, STATUS_ACCESS_DENIED);
    EXPECT_EQ(DisableDirectSound(pdo, DS_DIRECTION_RENDER), 0u);
    EXPECT_EQ(EnableDirectSound(pdo, DS_DIRECTION_RENDER), 0u);
    KpPnpFailRegistryKey(pdo, DsRegistryKeyType, STATUS_SUCCESS);
    EXPECT_EQ(Count(true), 0xFFFFFFFFu);
}

TEST_F(DsDisablerTest, TheBusyFlagAdmitsOneHolderAtATime) {
    volatile LONG flag = 0;
    std::atomic<int> inside{0}, most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                AcquireDsBusy(&flag);
                int now = ++inside;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::yield();
                --inside;
                ReleaseDsBusy(&flag);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(flag, 0);
}

// More devices than one batch, listed as hooked devices are, and no memory to
// be had: every one of them still gets each change, exactly once.
TEST_F(DsDisablerTest, EveryListedDeviceGetsTheChangeWithoutMemory) {
    const int Devices = 20;
    std::vector<E2EDevice> described;
    for (int i = 1; i <= Devices; ++i) described.emplace_back(std::to_string(i));
    WriteMachine(described);
    std::vector<FilterDeviceExtension> ext(Devices);
    std::vector<DEVICE_OBJECT> fdo(Devices);
    std::vector<PdoListEntry> entries(Devices);
    volatile LONG busy = 0;
    InitializeListHead(&PdoList);
    KeInitializeSpinLock(&PdoListLock);
    for (int i = 0; i < Devices; ++i) {
        fdo[i].DeviceExtension = &ext[i];
        ext[i].DsBusyFlag = &busy;
        entries[i].Pdo = Plug(std::to_string(i + 1));
        entries[i].Fdo = &fdo[i];
        entries[i].DsPass = 0;
        InsertHeadList(&PdoList, &entries[i].Links);
    }
    for (ULONG value : {1u, 0u}) {
        SCOPED_TRACE(value);
        KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, 1, 1000);
        ApplyDsDisableToAllDevices(value);
        KpPoolClearFailures();
        for (int i = 1; i <= Devices; ++i) {
            EXPECT_EQ(DsValue(std::to_string(i), true, "Device Presence", u"ZVDSDisableCount"),
                      value)
                << i;
            EXPECT_EQ(DsValue(std::to_string(i), false, "Device Presence", u"ZVDSDisableCount"),
                      value)
                << i;
        }
    }
    InitializeListHead(&PdoList);
}

// Without a DsPresenceRecord the device shares the driver-wide busy flag and
// its count is left as it is: a second attach under the same failure must not
// zero a count that an active disable holds.
TEST_F(DsDisablerTest, WithoutARecordTheLeftOverCountIsKept) {
    WriteMachine({{"1", {}, {}, 1}});
    PDEVICE_OBJECT pdo = Plug("1");
    ASSERT_EQ(DisableDirectSound(pdo, DS_DIRECTION_RENDER), 1u);
    ASSERT_EQ(DisableDirectSound(pdo, DS_DIRECTION_CAPTURE), 1u);
    FilterDeviceExtension ext = {};
    DEVICE_OBJECT fdo = {};
    fdo.DeviceExtension = &ext;
    KpIoFailCall(KpFaultDriverObjectExtension, 1);
    EXPECT_EQ(ResetDsStateOnce(&fdo, pdo), STATUS_SUCCESS);
    KpIoClearFailures();
    EXPECT_EQ(ext.DsBusyFlag, &DsFallbackBusyFlag);
    EXPECT_EQ(Count(true), 1u);
    EXPECT_EQ(Count(false), 1u);
    EXPECT_EQ(Presence(true, u"VxD"), 1u);
    // With a record the left-over is undone once.
    EXPECT_EQ(ResetDsStateOnce(&fdo, pdo), STATUS_SUCCESS);
    EXPECT_NE(ext.DsBusyFlag, &DsFallbackBusyFlag);
    EXPECT_EQ(Count(true), 0u);
    EXPECT_EQ(Count(false), 0u);
}

}  // namespace
}  // namespace zvtest
