// The test fixture's own checks: they must catch what a test leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "kp/testing.h"
#include "platform/ex.h"
#include "kp/pool.h"
#include "platform/ob.h"

namespace {

using ::testing::HasSubstr;

constexpr ULONG kLeakTag = 0x4C65616B;  // 'Leak'
const KP_OBJECT_TYPE kType = {"Dummy", nullptr};

TEST(KernelChecksTest, ProblemsNameEachLeftOver) {
    kp::testing::KernelChecks checks;
    void* block = ExAllocatePoolWithTag(NonPagedPool, 24, kLeakTag);
    int object = 0;
    HANDLE handle = KpCreateHandle(&object, &kType);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    std::vector<std::string> problems = checks.Problems();
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_THAT(problems[0],
                HasSubstr("pool blocks leaked: 1 block(s), 24 bytes: 'Leak' 24 bytes"));
    EXPECT_THAT(problems[1], HasSubstr("open handles"));
    EXPECT_THAT(problems[2], HasSubstr("ended at IRQL 1"));
    KeLowerIrql(old);
    ZwClose(handle);
    ExFreePool(block);
    EXPECT_TRUE(checks.Problems().empty());
}

TEST(KernelChecksTest, VerifyFailsTheTestAndRestoresPassiveLevel) {
    EXPECT_NONFATAL_FAILURE(
        {
            kp::testing::KernelChecks checks;
            static void* block;
            block = ExAllocatePoolWithTag(PagedPool, 5, kLeakTag);
            checks.Verify();
            ExFreePool(block);
        },
        "'Leak' 5 bytes");
    EXPECT_NONFATAL_FAILURE(
        {
            kp::testing::KernelChecks checks;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            checks.Verify();
        },
        "ended at IRQL 2");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KernelChecksTest, InjectionsDoNotOutliveTheChecks) {
    {
        kp::testing::KernelChecks checks;
        KpPoolFailAllocation(0, 1);
        checks.Verify();
    }
    void* block = ExAllocatePoolWithTag(NonPagedPool, 1, kLeakTag);
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
}

TEST(KernelChecksTest, ListenerChecksAroundEachTest) {
    static ::testing::TestEventListener* listener;
    listener = kp::testing::NewKernelCheckListener();
    const ::testing::TestInfo& info = *::testing::UnitTest::GetInstance()->current_test_info();
    static const ::testing::TestInfo* current;
    current = &info;
    static void* block;
    EXPECT_NONFATAL_FAILURE(
        {
            listener->OnTestStart(*current);
            block = ExAllocatePoolWithTag(NonPagedPool, 7, kLeakTag);
            listener->OnTestEnd(*current);
        },
        "'Leak' 7 bytes");
    ExFreePool(block);
    listener->OnTestStart(info);
    listener->OnTestEnd(info);  // clean: no failure
    delete listener;
}

}  // namespace
