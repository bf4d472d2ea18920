// Test support for the processing modules: interrupt level, the driver-wide
// services, leak and balance checks around every test.
#pragma once

#include <wdm.h>

#include <gtest/gtest.h>
#include <kp/pool.h>
#include <kp/testing.h>

#include <optional>

#include "CKAUDPModule.h"
#include "FrameworkTestSupport.h"

namespace zvmodtest {

// Raises the calling thread's interrupt level for a scope.
class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL level) { KeRaiseIrql(level, &m_old); }
    ~ScopedIrql() { KeLowerIrql(m_old); }
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL m_old;
};

// A level above DISPATCH_LEVEL, where every module operation must refuse.
constexpr KIRQL kDeviceIrql = DISPATCH_LEVEL + 1;

// Fixture base: the driver-wide services run as in a loaded driver (the
// allocator with its lookaside lists); no allocator block may outlive the
// test, and afterwards the kernel checks find no pool block, handle, thread,
// raised interrupt level or open floating-point save left behind.
class ModuleTest : public zvtest::FrameworkTest {
protected:
    void SetUp() override {
        m_checks.emplace();
        FrameworkTest::SetUp();
    }
    void TearDown() override {
        KpPoolClearFailures();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        FrameworkTest::TearDown();
        m_checks->Verify();
    }

    // Live blocks of the driver allocator.
    static LONG LiveBlocks() { return MemCheckLiveLists(); }
    // The k-th allocation of the driver allocator from now fails.
    static void FailAllocation(ULONG k) { KpPoolFailAllocation(ZV_POOL_TAG_ZCAM, k); }

private:
    std::optional<kp::testing::KernelChecks> m_checks;
};

// A fixture around one module created without a device object.
template <class Module>
class OneModuleTest : public ModuleTest {
protected:
    static constexpr ULONG kInstance = ZvFourCC("ZTST");

    void SetUp() override {
        ModuleTest::SetUp();
        ULONG status = 0xDEAD;
        m_module = new Module(nullptr, kInstance, &status);
        ASSERT_NE(m_module, nullptr);
        ASSERT_EQ(status, ZV_OK);
    }
    void TearDown() override {
        delete m_module;
        m_module = nullptr;
        ModuleTest::TearDown();
    }

    Module* m_module = nullptr;
};

// True when a log line passed to the probe trace since the probe slots were
// set recording (zvtest::RecordProbeSlots) contains `text`.
inline bool LoggedLine(const char* text) {
    for (const zvtest::ProbeCall& call : zvtest::ProbeCallsOf(5)) {
        if (call.Text.find(text) != std::string::npos) return true;
    }
    return false;
}

// Little-endian sample helpers for building and reading PCM buffers.
inline void Put16(UCHAR* p, LONG v) {
    p[0] = static_cast<UCHAR>(v);
    p[1] = static_cast<UCHAR>(static_cast<ULONG>(v) >> 8);
}
inline LONG Get16(const UCHAR* p) {
    return static_cast<SHORT>(static_cast<USHORT>(p[0] | (p[1] << 8)));
}
inline void Put32(UCHAR* p, ULONG v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<UCHAR>(v >> (8 * i));
}
inline ULONG Get32(const UCHAR* p) {
    return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) |
           (static_cast<ULONG>(p[2]) << 16) | (static_cast<ULONG>(p[3]) << 24);
}

}  // namespace zvmodtest
