// The default simulated machine carries the camera whose audio interface the
// first option rule names, so the README's commands make it the master.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "AsciiText.h"
#include "DeviceIds.h"
#include "kp/machine.h"

TEST(DeviceIds, DefaultMachineHasTheMasterCameraInterface) {
    char vendor[16], product[16];
    std::snprintf(vendor, sizeof vendor, "vid_%04x", kKorvaneVendorId);
    std::snprintf(product, sizeof product, "pid_%04x", kCameraProductA);
    int matches = 0;
    for (const auto& device : kp::machine::DefaultDevices()) {
        std::string id = device.Instance;
        AsciiLowerInPlace(id.data());
        if (id.find(vendor) != std::string::npos && id.find(product) != std::string::npos &&
            id.find("mi_01") != std::string::npos) {
            matches++;
        }
    }
    EXPECT_EQ(matches, 1);
}

TEST(AsciiText, FoldsAsciiOnly) {
    EXPECT_TRUE(AsciiEqualNoCase("ZvEchowell", "zvECHOWELL"));
    EXPECT_FALSE(AsciiEqualNoCase("drv", "drv2"));
    EXPECT_FALSE(AsciiEqualNoCase("\xc3\x89", "\xc3\xa9"));  // É and é are not ASCII
}
