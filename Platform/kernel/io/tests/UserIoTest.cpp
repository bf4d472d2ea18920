// Requests from an application: opens by interface link, buffers in
// application memory, the mapping discipline that memory enforces, requests
// that pend, are cancelled or complete at DISPATCH_LEVEL.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "IoTestSupport.h"
#include "TestDriverProtocol.h"
#include "kp/clock.h"
#include "kp/simaudio.h"

namespace kp::iotest {
namespace {

class UserIoTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        machine_ = new TestMachine();
        machine_->WriteRegistry(StandardServices() + TestDevice("20", false));
        ASSERT_EQ(KpPnpBoot(), STATUS_SUCCESS);
        pdo_ = KpPnpFindPdo(u"USB\\VID_1234&PID_ABCD\\20");
        ASSERT_NE(pdo_, nullptr);
    }
    void TearDown() override {
        if (file_ != nullptr) ZwClose(file_);
        delete machine_;
        IoTest::TearDown();
    }

    // Opens the device the way a program does, through "\\?\" and its interface link.
    NTSTATUS Open() {
        std::u16string link =
            u"\\\\?\\usb#vid_1234&pid_abcd#20#{5a0e1c2b-7f31-4d6a-9b1e-2c4d6e8f0a11}\\global";
        UNICODE_STRING name;
        name.Buffer = link.data();
        name.Length = name.MaximumLength = static_cast<USHORT>(link.size() * 2);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        return NtCreateFile(&file_, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, 0, 0,
                            FILE_OPEN, 0, nullptr, 0);
    }

    NTSTATUS Control(ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                     IO_STATUS_BLOCK* iosb) {
        return NtDeviceIoControlFile(file_, nullptr, nullptr, nullptr, iosb, code, in, inLength,
                                     out, outLength);
    }

    TestMachine* machine_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    HANDLE file_ = nullptr;
};

struct UserBuffer {
    explicit UserBuffer(SIZE_T size) : Data(static_cast<char*>(KpUserAlloc(size))) {}
    ~UserBuffer() { KpUserFree(Data); }
    char* Data;
};

TEST_F(UserIoTest, NeitherRequestsReachTheDriverWithUserAddressesItMustMap) {
    KpIoTraceClear();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    auto trace = KpIoTraceEntries();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].Major, IRP_MJ_CREATE);
    EXPECT_EQ(trace[0].RequestorMode, UserMode);
    ASSERT_NE(trace[0].FileObject, nullptr);
    EXPECT_EQ(trace[0].FileObject->DeviceObject, pdo_);  // the named device: the PDO
    UserBuffer in(5000), out(5000);
    ASSERT_NE(in.Data, nullptr);
    for (int i = 0; i < 5000; i++) in.Data[i] = static_cast<char>(i * 7);
    IO_STATUS_BLOCK iosb{};
    // Offsets that straddle pages.
    ASSERT_EQ(Control(IOCTL_KPTEST_ECHO_NEITHER, in.Data + 100, 4500, out.Data + 300, 4500, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4500u);
    EXPECT_EQ(std::string(out.Data + 300, 4500), std::string(in.Data + 100, 4500));
    EXPECT_EQ(KpMmLiveSystemMappingCount(), 0u);

    // With the program's view shut, mapping still works: the driver never touches
    // a user address.
    out.Data[300] = 0;
    KpSetUserMemoryAccessible(FALSE);
    NTSTATUS status = Control(IOCTL_KPTEST_ECHO_NEITHER, in.Data, 16, out.Data + 300, 16, &iosb);
    KpSetUserMemoryAccessible(TRUE);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(out.Data[300], in.Data[0]);
}

TEST_F(UserIoTest, ADriverThatDereferencesAUserAddressIsCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    UserBuffer in(16);
    in.Data[0] = 1;
    IO_STATUS_BLOCK iosb{};
    // With the view open the bug goes unseen...
    EXPECT_EQ(Control(IOCTL_KPTEST_RAW_NEITHER, in.Data, 4, nullptr, 0, &iosb), STATUS_SUCCESS);
    // ...with it shut the driver faults on the address it should have mapped.
    EXPECT_DEATH(
        {
            KpSetUserMemoryAccessible(FALSE);
            Control(IOCTL_KPTEST_RAW_NEITHER, in.Data, 4, nullptr, 0, &iosb);
        },
        "");
}

TEST_F(UserIoTest, BufferedAndDirectRequestsTakeOnlyApplicationMemory) {
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    UserBuffer out(64);
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(Control(IOCTL_KPTEST_COUNTER, nullptr, 0, out.Data, 4, &iosb), STATUS_SUCCESS);
    ULONG count;
    memcpy(&count, out.Data, 4);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(iosb.Information, 4u);

    ULONG kernelMemory = 0;
    EXPECT_EQ(Control(IOCTL_KPTEST_COUNTER, nullptr, 0, &kernelMemory, 4, &iosb),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Control(IOCTL_KPTEST_FILL_DIRECT, nullptr, 0, &kernelMemory, 4, &iosb),
              STATUS_ACCESS_VIOLATION);

    ASSERT_EQ(Control(IOCTL_KPTEST_FILL_DIRECT, nullptr, 0, out.Data, 64, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(std::string(out.Data, 64), std::string(64, '\xA5'));
    EXPECT_EQ(KpIoLiveMdlCount(), 0u);
}

TEST_F(UserIoTest, ProbesAcceptApplicationMemoryOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    UserBuffer user(32);
    char kernel[32];
    EXPECT_EQ(KpProbeForRead(user.Data, 32, 1), STATUS_SUCCESS);
    EXPECT_EQ(KpProbeForWrite(user.Data, 33, 1), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(KpProbeForRead(kernel, 32, 1), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(KpProbeForRead(user.Data + 1, 8, 4), STATUS_DATATYPE_MISALIGNMENT);
    PMDL mdl = IoAllocateMdl(kernel, sizeof kernel, FALSE, FALSE, nullptr);
    EXPECT_EQ(KpProbeAndLockPages(mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    // Without the status form the failure is an unhandled kernel exception.
    EXPECT_DEATH(MmProbeAndLockPages(mdl, UserMode, IoReadAccess), "STOP: 0x0000001E");
    IoFreeMdl(mdl);
    // Buffers in the first 64 KiB (the first page included, whose StartVa is
    // null) fail their probe; the address of the MDL is still the one given.
    for (ULONG_PTR low :
         {ULONG_PTR{0x10}, ULONG_PTR{0xFFF}, ULONG_PTR{0x1000}, ULONG_PTR{0xFFF0}}) {
        SCOPED_TRACE(low);
        PMDL lowMdl = IoAllocateMdl(reinterpret_cast<PVOID>(low), 640, FALSE, FALSE, nullptr);
        ASSERT_NE(lowMdl, nullptr);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(lowMdl)), low);
        EXPECT_EQ(KpProbeAndLockPages(lowMdl, UserMode, IoModifyAccess), STATUS_ACCESS_VIOLATION);
        IoFreeMdl(lowMdl);
    }
}

// The verifier counts the MDLs that lock each application block; a block freed
// under them, or an MDL freed while its record still locks the block (its
// flags lost the lock), stops the machine and names the locks and their code.
TEST_F(UserIoTest, LocksOnApplicationMemoryAreCountedAndNamed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char* block = static_cast<char*>(KpUserAlloc(8192));
    ASSERT_NE(block, nullptr);
    PMDL first = IoAllocateMdl(block + 100, 64, FALSE, FALSE, nullptr);
    PMDL second = IoAllocateMdl(block + 5000, 64, FALSE, FALSE, nullptr);
    ASSERT_EQ(KpProbeAndLockPages(first, UserMode, IoReadAccess), STATUS_SUCCESS);
    ASSERT_EQ(KpProbeAndLockPages(second, KernelMode, IoWriteAccess), STATUS_SUCCESS);
    EXPECT_EQ(KpUserLockedMdlCount(block + 8000), 2u);
    EXPECT_EQ(KpUserLockedMdlCount(&block), 0u) << "not application memory";
    EXPECT_DEATH(KpUserFree(block),
                 "freed with 2 MDLs still locking it:\n  MDL .*: .*, 64 bytes, locked from .*\n"
                 "  MDL .*: .*, 64 bytes, locked from ");
    MmUnlockPages(first);
    EXPECT_EQ(KpUserLockedMdlCount(block), 1u);
    second->MdlFlags &= ~MDL_PAGES_LOCKED;
    EXPECT_DEATH(IoFreeMdl(second), "still locks application memory");
    second->MdlFlags |= MDL_PAGES_LOCKED;
    MmUnlockPages(second);
    EXPECT_EQ(KpUserLockedMdlCount(block), 0u);
    IoFreeMdl(first);
    IoFreeMdl(second);
    KpUserFree(block);
}

struct Done {
    std::atomic<int> Calls{0};
    NTSTATUS Status = STATUS_PENDING;
    KIRQL Irql = HIGH_LEVEL;
};

VOID OnDone(PVOID context, PIO_STATUS_BLOCK iosb) {
    auto done = static_cast<Done*>(context);
    done->Status = iosb->Status;
    done->Irql = KeGetCurrentIrql();
    done->Calls++;
}

TEST_F(UserIoTest, PendedRequestsCompleteLaterAtDispatchLevelOrAreCancelled) {
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Done first, second;
    EXPECT_EQ(
        KpDeviceIoControlAsync(file_, IOCTL_KPTEST_PEND, nullptr, 0, nullptr, 0, OnDone, &first),
        STATUS_PENDING);
    EXPECT_EQ(first.Calls, 0);
    UserBuffer atDispatch(4);
    ULONG one = 1;
    memcpy(atDispatch.Data, &one, 4);
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(Control(IOCTL_KPTEST_RELEASE, atDispatch.Data, 4, nullptr, 0, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(first.Calls, 1);
    EXPECT_EQ(first.Status, STATUS_SUCCESS);
    EXPECT_EQ(first.Irql, DISPATCH_LEVEL);

    EXPECT_EQ(
        KpDeviceIoControlAsync(file_, IOCTL_KPTEST_PEND, nullptr, 0, nullptr, 0, OnDone, &second),
        STATUS_PENDING);
    EXPECT_EQ(KpCancelFileIo(file_), STATUS_SUCCESS);
    EXPECT_EQ(second.Calls, 1);
    EXPECT_EQ(second.Status, STATUS_CANCELLED);
    EXPECT_EQ(KpCancelFileIo(file_), STATUS_SUCCESS);  // nothing left in flight

    // Refused before it goes out: the callback still hears it.
    Done refused;
    ULONG kernelMemory;
    EXPECT_EQ(KpDeviceIoControlAsync(file_, IOCTL_KPTEST_COUNTER, nullptr, 0, &kernelMemory, 4,
                                     OnDone, &refused),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(refused.Calls, 1);
    EXPECT_EQ(refused.Status, STATUS_ACCESS_VIOLATION);
}

// A runner stepping the manual clock while a caller sleeps in the kernel
// leaves the clock alone as long as another application thread still works
// inside a request (a property request holding a lock the caller waits for,
// run slowly by a busy host): that thread needs host time, not machine time.
TEST_F(UserIoTest, AThreadStillWorkingInARequestKeepsTheClockFromMoving) {
    UseManualClock();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    UserBuffer flag(8);  // the release flag, and the driver's "at work"
    auto* flags = reinterpret_cast<ULONG*>(flag.Data);
    __atomic_store_n(&flags[0], 0, __ATOMIC_RELEASE);
    __atomic_store_n(&flags[1], 0, __ATOMIC_RELEASE);
    std::atomic<bool> pended{false}, busyDone{false};
    std::thread sleeper([&] {
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(Control(IOCTL_KPTEST_PEND, nullptr, 0, nullptr, 0, &iosb), STATUS_SUCCESS);
        pended = true;
    });
    std::thread busy([&] {
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(Control(IOCTL_KPTEST_BUSY_NEITHER, flag.Data, 8, nullptr, 0, &iosb),
                  STATUS_SUCCESS);
        busyDone = true;
    });
    // Both in the driver: one asleep, one at work (on its way there it may
    // have slept an instant on the I/O manager's objects, which is rest).
    while (KpBlockedWaiterCount() < 1 || KpIoThreadsInRequests() < 2 ||
           __atomic_load_n(&flags[1], __ATOMIC_ACQUIRE) == 0)
        std::this_thread::yield();
    // The busy request ends once the clock has moved under it, or after
    // 100 ms of host time.
    const LONGLONG start = KpClockNow();
    LONGLONG releasedAt = 0;
    std::thread releaser([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        while (KpClockNow() == start && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        releasedAt = KpClockNow();
        __atomic_store_n(&flags[0], 1, __ATOMIC_RELEASE);
    });
    EXPECT_TRUE(kp::sim::AdvanceWhileResting([&] { return busyDone.load(); }, true, 1000));
    releaser.join();
    busy.join();
    EXPECT_EQ(releasedAt, start) << "the clock moved while a request was still at work";
    EXPECT_EQ(KpIoThreadsInRequests(), 1u) << "the sleeper alone";
    EXPECT_FALSE(pended.load());
    // With only sleepers in the kernel the clock moves again.
    const LONGLONG before = KpClockNow();
    EXPECT_FALSE(kp::sim::AdvanceWhileResting([] { return false; }, true, 5));
    EXPECT_EQ(KpClockNow(), before + KpMs(5));
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(Control(IOCTL_KPTEST_RELEASE, nullptr, 0, nullptr, 0, &iosb), STATUS_SUCCESS);
    sleeper.join();
    EXPECT_TRUE(pended.load());
    EXPECT_EQ(KpIoThreadsInRequests(), 0u);
}

TEST_F(UserIoTest, RemovalWaitsForOpenFilesAndOpensFailAfterSurpriseRemoval) {
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(KpPnpSurpriseRemove(pdo_), STATUS_SUCCESS);
    HANDLE saved = file_;
    file_ = nullptr;
    EXPECT_EQ(Open(), STATUS_OBJECT_NAME_NOT_FOUND);  // the interface is gone
    EXPECT_EQ(KpPnpRemove(pdo_), STATUS_DEVICE_BUSY);
    ZwClose(saved);
    auto function = TraceOf(kKpTestFunctionLabel);
    ASSERT_GE(function.size(), 2u);
    EXPECT_EQ(function[function.size() - 2], IrpText(IRP_MJ_CLEANUP, 0));
    EXPECT_EQ(function.back(), IrpText(IRP_MJ_CLOSE, 0));
    EXPECT_EQ(KpPnpRemove(pdo_), STATUS_SUCCESS);
}

// Application memory given back and system views taken down fault when
// touched, and what a later allocation or mapping gets holds nothing of the
// block's earlier life but what the application wrote into it.
using ApplicationMemoryTest = IoTest;

TEST_F(ApplicationMemoryTest, FreedBlocksAndUnmappedViewsFaultAndReturnClean) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char* first = static_cast<char*>(KpUserAlloc(5000));
    ASSERT_NE(first, nullptr);
    std::memset(first, 0xAB, 5000);
    KpUserFree(first);
    EXPECT_FALSE(KpIsUserAddress(first, 1));
    EXPECT_DEATH(first[0] = 1, "");

    // A block of the same pages comes back cleared, to the end of its last page.
    char* block = static_cast<char*>(KpUserAlloc(6000));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(std::all_of(block, block + 2 * PAGE_SIZE, [](char c) { return c == 0; }));
    EXPECT_TRUE(KpIsUserAddress(block, 6000));
    EXPECT_FALSE(KpIsUserAddress(block, 6001));

    PMDL mdl = IoAllocateMdl(block + 100, 5000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    ASSERT_EQ(KpProbeAndLockPages(mdl, UserMode, IoModifyAccess), STATUS_SUCCESS);
    char* view = static_cast<char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ASSERT_NE(view, nullptr);
    std::memcpy(view, "view", 4);
    EXPECT_EQ(std::memcmp(block + 100, "view", 4), 0);
    MmUnmapLockedPages(view, mdl);
    EXPECT_FALSE(KpIsSystemMapping(view));
    EXPECT_DEATH(view[0] = 1, "");
    // Mapped again, the same pages show what was written through either view.
    block[104] = '!';
    char* again = static_cast<char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(KpIsSystemMapping(again));
    EXPECT_EQ(std::memcmp(again, "view!", 5), 0);
    again[4999] = 'e';
    EXPECT_EQ(block[5099], 'e');
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    EXPECT_DEATH(again[0] = 1, "");
    KpUserFree(block);
    EXPECT_DEATH(block[0] = 1, "");
}

}  // namespace
}  // namespace kp::iotest
