#include <kp/registry.h>

#include "FrameworkTestSupport.h"

namespace zvtest {

void ClearKorvaneKeys() {
    if (kp::reg::KeyExists(u"\\Registry\\Machine\\Software\\Korvane")) {
        kp::reg::DeleteTree(u"\\Registry\\Machine\\Software\\Korvane");
    }
}

void RegisterAllLogModules() {
    FrameworkLogModules::RegisterAll(nullptr);
}

void FrameworkTest::SetUp() {
    kp::testing::KernelTest::SetUp();
    ClearKorvaneKeys();
    ZDebugSetDriverName("Echowell");
    ProbeEnable();
    MemInitialize();
    ProbeInitInterfaceList();
}

void FrameworkTest::TearDown() {
    ProbeReleaseAllInterfaces();
    MemStatistics stats;
    MemGetStatistics(&stats);
    if (m_checkLeaks) {
        EXPECT_EQ(stats.NonPagedBytes, 0u) << "non-paged blocks left live";
        EXPECT_EQ(stats.PagedBytes, 0u) << "paged blocks left live";
        EXPECT_EQ(MemCheckLiveLists(), 0) << "live blocks left, or a broken live list";
    }
    MemShutdown();
    ProbeDisable();
    ZDebugSetDriverName(nullptr);
    ClearKorvaneKeys();
    kp::testing::KernelTest::TearDown();
}

}  // namespace zvtest
