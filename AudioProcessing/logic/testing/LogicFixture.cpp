#include "LogicFixture.h"

#include "FrameworkTesting.h"
#include "kp/pool.h"

namespace zvlogic {

void LogicFixture::SetUp() {
    FrameworkTest::SetUp();
    ResetChannelsAndVariables();
    ResetDeviceList();    // no devices: side effects reach none
    g_bFilterLoaded = 1;  // as a freshly loaded image holds it
}

void LogicFixture::TearDown() {
    KpPoolClearFailures();
    (void)OnFilterUnload(nullptr, 1);
    FrameworkTest::TearDown();
}

}  // namespace zvlogic
