// Support for the I/O manager's tests: a fixture that checks the I/O manager's
// live objects around each test, small in-process drivers whose dispatch is a
// test's lambda, and a machine folder with the test driver images.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <wdm.h>

#include "kp/io.h"
#include "kp/pnp.h"
#include "kp/testing.h"

#include "kp/machine.h"

namespace kp::iotest {

// Fails the test for IRPs, MDLs, file objects, device objects, system mappings
// or notification registrations left behind; drains the work queues first.
class IoTest : public kp::testing::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    ULONG devices_ = 0;
    ULONG notifications_ = 0;
};

// A device whose every request goes to Handler.  Devices of one Lambda driver
// share an in-process driver object ("KpLambda").
using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
struct LambdaDevice {
    PDEVICE_OBJECT Device = nullptr;
    Handler OnIrp;
};
class LambdaDriver {
public:
    LambdaDriver();
    ~LambdaDriver();  // deletes what is left (detaching it) and unloads the driver
    PDRIVER_OBJECT Driver() const { return driver_; }
    // A new device; attached on top of Below's stack when given.
    PDEVICE_OBJECT Add(Handler handler, PDEVICE_OBJECT below = nullptr,
                       const char16_t* name = nullptr);
    // Detaches and deletes one device (top of its stack first).
    void Remove(PDEVICE_OBJECT device);
    // Drops the bookkeeping of a device the test deleted itself.
    void Forget(PDEVICE_OBJECT device);
    static PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return device->KpAttachedTo; }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<LambdaDevice*> devices_;
};

// Completes the request with a status (and information).
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Skips the location and calls the device below.
NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp);

// A machine folder under the test's temporary directory with the two test
// images in Windows\System32\drivers; its registry is written as a .reg file.
class TestMachine {
public:
    TestMachine();
    ~TestMachine();  // shuts the PnP manager down, clears the registry, removes the folder
    const std::filesystem::path& Folder() const { return folder_; }
    // Writes registry.reg ("Windows Registry Editor Version 5.00" is added).
    void WriteRegistry(const std::string& body);

private:
    std::filesystem::path folder_;
};

// .reg helpers: a hex(7) value of strings, a dword value.
// A .reg multi-string value: the machine helpers' own.
using kp::machine::RegMultiSz;
std::string RegDword(ULONG value);
// The standard description: the function driver and filter services, and a
// device of the test class at USB\VID_1234&PID_ABCD\<instance> with the filter
// as device upper filter (when withFilter) and extra lines in its key.
std::string StandardServices();
std::string TestDevice(const std::string& instance, bool withFilter, const std::string& extra = "",
                       const std::string& deviceParameters = "");

// Trace entries of one driver, as "major/minor" text for IRPs ("0x1b/0x00") and
// the event word otherwise.
std::vector<std::string> TraceOf(const std::string& who);
std::string IrpText(UCHAR major, UCHAR minor);

std::u16string U16(const std::string& text);
std::string Narrow(const std::u16string& text);

}  // namespace kp::iotest
