// The no-device fixture of a filter logic's tests: the framework's driver-wide
// services started as DriverEntry starts them (FrameworkTest), the channel
// table, the shared variables and the device list as a fresh image has them,
// and the logic loaded as a freshly loaded image holds it.  TearDown clears
// injected pool failures and unloads the master before the leak checks.  The
// test program defines the logic (it links the logic's library).
#pragma once

#include "FrameworkTestSupport.h"
#include "LogicCommon.h"

namespace zvlogic {

class LogicFixture : public zvtest::FrameworkTest {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace zvlogic
