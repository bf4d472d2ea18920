// End-to-end support: a machine folder with the two test driver images
// (ZvEchowell.sys, ZvMutewell.sys: the framework with the recording logic)
// and the in-process fake audio driver, devices described in .reg text, and
// views of stacks, filter extensions, the logic's calls and the DirectSound
// values.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <wdm.h>

#include "DrvMain.h"
#include "kp/testing.h"

namespace zvtest {

struct E2EDevice {
    E2EDevice(std::string instance, std::vector<std::string> upperFilters = {},
              std::vector<std::pair<std::string, ULONG>> options = {}, ULONG categories = 1,
              ULONG stateBits = 0, std::string extraKeys = "")
        : Instance(std::move(instance)),
          UpperFilters(std::move(upperFilters)),
          Options(std::move(options)),
          Categories(categories),
          StateBits(stateBits),
          ExtraKeys(std::move(extraKeys)) {}
    std::string Instance;                   // "1" -> USB\VID_1234&PID_ABCD\1, class key 0001
    std::vector<std::string> UpperFilters;  // "ZvEchowell", "ZvMutewell"
    std::vector<std::pair<std::string, ULONG>>
        Options;       // driver-key DWORDs ("ZAECAudioFilterMaster", 1)
    ULONG Categories;  // fake audio: 1 capture, 2 render
    ULONG StateBits;
    std::string ExtraKeys;  // .reg text placed in the registry as is
    std::string HardwareId = "USB\\VID_1234&PID_ABCD&REV_0102";
    ULONG PendStart = 0;  // fake audio: START pends and finishes on another thread
    ULONG FailStart = 0;  // fake audio: the status START ends with
};

class E2ETest : public kp::testing::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes registry.reg from the devices and loads it (no device is created).
    void WriteMachine(const std::vector<E2EDevice>& devices);
    // Creates and starts one described device; its PDO.
    PDEVICE_OBJECT Plug(const std::string& instance);

    static std::u16string InstancePath(const std::string& instance);
    // The device objects of the PDO's stack, bottom first, by driver name
    // ("\Driver\ZvEchowell").
    static std::vector<std::string> StackDrivers(PDEVICE_OBJECT pdo);
    // The filter device of one driver in the PDO's stack, or null.
    static PDEVICE_OBJECT FilterOf(PDEVICE_OBJECT pdo, const char16_t* driverName);
    static FilterDeviceExtension* ExtensionOf(PDEVICE_OBJECT pdo,
                                              const char16_t* driverName = u"\\Driver\\ZvEchowell");
    // The recording logic's calls of one driver ("Echowell"), optionally only
    // those made on one filter device.
    static std::vector<std::string> LogicCalls(const std::string& driver,
                                               PDEVICE_OBJECT fdo = nullptr);
    // Requests the fake audio driver saw on the PDO's stack ("0x00/0x00" major/minor).
    static std::vector<std::string> FakeAudioRequests(PDEVICE_OBJECT pdo);
    // A DirectSound value of the device ("Device Presence" or "Mixer Defaults").
    static ULONG DsValue(const std::string& instance, bool render, const char* subkey,
                         const char16_t* name, ULONG missing = 0xFFFFFFFF);

    std::filesystem::path m_folder;
};

}  // namespace zvtest
