// A physical device object with a driver key, built by the stand-in's PnP
// manager over a minimal in-process function driver, so that module tests
// reach their parameters the way the drivers do (IoOpenDeviceRegistryKey).
#pragma once

#include <wdm.h>

#include <string>

namespace zvmodtest {

class TestDevice {
public:
    // Registers the device instance and the function driver, then adds the
    // device.  Pdo() is null when that failed.
    TestDevice();
    // Removes the device; the driver unloads with its last device object.
    ~TestDevice();
    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;

    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    // Kernel path of the device's driver (software) key.
    static std::u16string DriverKeyPath();

private:
    PDEVICE_OBJECT m_pdo = nullptr;
};

}  // namespace zvmodtest
