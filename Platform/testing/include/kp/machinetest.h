// A simulated machine for the tests of a driver: a machine folder whose
// registry.reg kp::machine::RegistryText writes, booted on a manual clock with
// the driver under test as a built-in driver (its DriverEntry linked into the
// test) or as an image installed in the folder.  The application side is the
// KS client; TearDown shuts the machine down and fails the test when an IRP,
// an MDL, a KS client rule or a kernel check (leaks, handles, threads) says
// something was left behind.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KsClient.h"
#include "kp/machine.h"
#include "kp/simaudio.h"
#include "kp/testing.h"

namespace kp::testing {

// A new, empty folder below the test's temporary directory, named
// <prefix>-<process>-<serial>: each test's machine has a folder of its own,
// never one in the folder the test runs in.
std::filesystem::path NewTestFolder(const std::string& prefix);

class MachineTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The driver `service` is this DriverEntry (registered until TearDown).
    void UseBuiltinDriver(const std::string& service, PDRIVER_INITIALIZE entry);
    // The driver `service` is this image, copied into the machine's drivers
    // folder under its own file name.
    void UseDriverImage(const std::string& service, const std::filesystem::path& image);
    // Copies an image into the machine's drivers folder as FileName, with no
    // service: an image for a tool under test to install.
    void CopyDriverImage(const std::filesystem::path& image, const std::string& fileName);
    // Writes registry.reg (the devices, the services of the drivers above and
    // Extra) and boots the machine; the test fails when the boot fails.  The
    // work queues are drained afterwards, so that slave devices are hooked.
    void BootMachine(const std::vector<kp::machine::SimDevice>& devices,
                     const std::string& extra = "");

    static PDEVICE_OBJECT Pdo(const std::string& instance);
    static std::shared_ptr<kp::sim::SimAudioDevice> Device(const std::string& instance);
    // The device object that the driver `service` put on the instance's stack.
    static PDEVICE_OBJECT FilterDevice(const std::string& instance, const std::string& service);
    // Opens the Index-th filter of the category (interface links in the order
    // the devices registered them).
    static void OpenFilter(kp::ks::KsFilter* filter, const GUID& category = KSCATEGORY_AUDIO,
                           size_t index = 0);
    // The requests of a kind the device saw.
    static std::vector<kp::sim::RequestRecord> DeviceRequests(const std::string& instance,
                                                              UCHAR major, ULONG ioControl = 0);
    static void AdvanceMs(LONGLONG ms) { Advance(KpMs(ms)); }

    std::filesystem::path folder_;

private:
    std::vector<std::string> m_builtins;
    std::string m_services;
};

}  // namespace kp::testing
