// The stream worker's thread when its object cannot be referenced: the
// driver starts without the object and its unload still waits for the thread
// to end (on the thread's exit event) before it takes down what the thread
// uses.  The reference is made to fail in front of the framework's own call
// (linked with --wrap).
#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <kp/io.h>
#include <kp/testing.h>
#include <kp/thread.h>

#include "DrvMain.h"
#include "OSDep.h"

namespace {

bool g_failNextReference = false;

}  // namespace

extern "C" NTSTATUS __real_OsReferenceObjectByHandle(HANDLE handle, PVOID* object);
extern "C" NTSTATUS __wrap_OsReferenceObjectByHandle(HANDLE handle, PVOID* object) {
    if (g_failNextReference) {
        g_failNextReference = false;
        *object = nullptr;
        return STATUS_INVALID_HANDLE;
    }
    return __real_OsReferenceObjectByHandle(handle, object);
}

namespace {

class ThreadReferenceTest : public kp::testing::KernelTest {};

TEST_F(ThreadReferenceTest, AnUnreferencedWorkerIsWaitedForAtUnload) {
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "reference refused" : "reference taken");
        g_failNextReference = fail;
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(KpLoadBuiltinDriver(u"ZvThreadReference", DriverEntry, &driver), STATUS_SUCCESS);
        EXPECT_FALSE(g_failNextReference) << "the worker's reference was not asked for";
        EXPECT_EQ(ReadWriteThreadObject == nullptr, fail);
        EXPECT_EQ(InterlockedRead(&ReadWriteThreadRunning), 1);
        ASSERT_EQ(KpUnloadDriver(driver), STATUS_SUCCESS);
        KpUnregisterBuiltinDriver(u"ZvThreadReference");
        // The unload returned only once the thread had signalled its exit.
        EXPECT_EQ(KeReadStateEvent(&ThreadExitEvent), 1);
        EXPECT_EQ(InterlockedRead(&ReadWriteThreadRunning), 0);
        // Without a reference the driver cannot wait for the thread object
        // itself: the host thread may still be returning from the routine,
        // holding its object, when the unload is done.  Let it finish.
        for (int i = 0; i < 500 && KpRunningSystemThreadCount() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(KpRunningSystemThreadCount(), 0u);
    }
}

}  // namespace
