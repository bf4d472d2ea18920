// The application memory a stream request's pages are locked in is unlocked
// before the request is back, on the roads a plain application takes while
// the canceller runs and the sound card locks the data of every kernel-mode
// request (the driver's own render requests included): a request of three
// headers whose second cannot be locked or mapped, and requests of three
// headers that a cancel, a STOP or a close without STOP gives back.  The
// application frees each buffer as soon as its request is back.  The
// driver's own render requests give back every MDL a device chained on them.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "StreamPair.h"
#include "kp/io.h"

namespace zvecho {
namespace {

constexpr ULONG kHeaders = 3;
constexpr ULONG kBytes = 320;  // 10 ms of 16 kHz mono per header

// A stream request as an application builds it by hand: its headers, then
// each header's data, in one block of application memory.  A header's data
// may be given an address of its own (one no probe accepts).
class RawRequest {
public:
    RawRequest(HANDLE pin, bool write, PVOID badData = nullptr, ULONG badHeader = kHeaders) {
        m_Block = static_cast<uint8_t*>(KpUserAlloc(Size()));
        if (m_Block == nullptr) return;
        for (ULONG i = 0; i < kHeaders; ++i) {
            KSSTREAM_HEADER h{};
            h.Size = sizeof h;
            h.FrameExtent = kBytes;
            h.DataUsed = write ? kBytes : 0;
            h.Data = i == badHeader ? badData : Data(i);
            if (write) std::memset(Data(i), 0x11 * (i + 1), kBytes);
            std::memcpy(m_Block + i * sizeof h, &h, sizeof h);
        }
        m_Status = KpDeviceIoControlAsync(pin, write ? IOCTL_KS_WRITE_STREAM : IOCTL_KS_READ_STREAM,
                                          nullptr, 0, m_Block, kHeaders * sizeof(KSSTREAM_HEADER),
                                          OnDone, this);
    }
    // Freed only when nothing locks it any more (else the machine would
    // stop): a block still locked stays the driver's.
    ~RawRequest() {
        if (Done() && KpUserLockedMdlCount(m_Block) == 0) KpUserFree(m_Block);
    }
    bool Done() const { return m_Done; }
    NTSTATUS Status() const { return m_Done ? m_Result.load() : m_Status; }
    uint8_t* Data(ULONG header) const {
        return m_Block + kHeaders * sizeof(KSSTREAM_HEADER) + header * kBytes;
    }
    ULONG Locks() const { return KpUserLockedMdlCount(m_Block); }

private:
    static SIZE_T Size() { return kHeaders * (sizeof(KSSTREAM_HEADER) + kBytes); }
    static VOID OnDone(PVOID context, PIO_STATUS_BLOCK iosb) {
        auto* self = static_cast<RawRequest*>(context);
        self->m_Result = iosb->Status;
        self->m_Done = true;
    }
    uint8_t* m_Block = nullptr;
    NTSTATUS m_Status = STATUS_INSUFFICIENT_RESOURCES;
    std::atomic<NTSTATUS> m_Result{STATUS_PENDING};
    std::atomic<bool> m_Done{false};
};

class LockedMemoryTest : public EchowellPairTest {
protected:
    // Both streams run, the canceller with them, and the far end flows
    // through the driver's own render requests, which the sound card locks.
    void StartWithOwnRequestsLocked() {
        Device(kSpeaker)->SetKernelStreamMdl(true);
        ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(Active(), 1);
        StreamBlocks(8, tone_);
    }
    // Moves the clock until every request is back (half a second of it at
    // most), then until the machine rests.
    static bool AwaitBack(const std::vector<const RawRequest*>& requests) {
        auto back = [&] {
            for (const RawRequest* r : requests)
                if (!r->Done()) return false;
            return true;
        };
        for (int k = 0; k < 2000 && !back(); ++k) {
            if (k < 100) AdvanceMs(5);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return back();
    }
    // The headers the open render pin was given so far.
    static std::vector<kp::sim::WriteHeaderRecord> Writes() {
        for (const auto& pin : Device(kSpeaker)->PinRecords())
            if (pin.PinId == 0 && !pin.Closed) return pin.Writes;
        return {};
    }

    const std::vector<uint8_t> tone_ = [] {
        std::vector<uint8_t> b(kBytes);
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7);
        return b;
    }();
};

// How the second of three headers fails: its data lies where no application
// memory is, or the lock's MDL or the mapping cannot be had.
enum class SecondHeader { BadAddress, NoMdl, NoMapping };

struct SecondHeaderCase {
    bool Write;
    SecondHeader Failure;
};

class SecondHeaderTest : public LockedMemoryTest,
                         public ::testing::WithParamInterface<SecondHeaderCase> {};

// The filter locks the headers, then each header's data in turn: the
// second header's failure leaves the first unlocked again, the request goes
// on untouched (the device refuses an address it cannot reach either), and
// once it is back nothing of its block is locked.
TEST_P(SecondHeaderTest, LeavesNothingOfTheRequestLocked) {
    StartWithOwnRequestsLocked();
    if (HasFatalFailure()) return;
    const SecondHeaderCase c = GetParam();
    kp::ks::KsPin* pin = c.Write ? &speaker_ : &mic_;
    // Nothing else takes an MDL or a mapping while the request is sent: the
    // machine rests and the clock stands.
    ASSERT_TRUE(kp::sim::SettleMachine(1000));
    // The headers' lock and mapping come first, then the data's, header by
    // header: the third of each is the second header's.
    if (c.Failure == SecondHeader::NoMdl) KpIoFailCall(KpFaultAllocateMdl, 3);
    if (c.Failure == SecondHeader::NoMapping) KpIoFailCall(KpFaultMapLockedPages, 3);
    const size_t before = Writes().size();
    PVOID bad = c.Failure == SecondHeader::BadAddress ? reinterpret_cast<PVOID>(0x2000) : nullptr;
    RawRequest request(pin->Handle(), c.Write, bad, c.Failure == SecondHeader::BadAddress ? 1 : 3);
    KpIoClearFailures();
    ASSERT_TRUE(AwaitBack({&request})) << "the request comes back";
    EXPECT_EQ(request.Locks(), 0u) << "a request back with status 0x" << std::hex
                                   << request.Status() << " still has its buffer locked";
    if (c.Failure == SecondHeader::BadAddress) {
        EXPECT_FALSE(NT_SUCCESS(request.Status())) << "an address no probe accepts is refused";
    } else {
        EXPECT_EQ(request.Status(), STATUS_SUCCESS);
        if (c.Write) {
            // Not handed to the canceller: the device got the three headers
            // as the application wrote them.
            const auto writes = Writes();
            ASSERT_EQ(writes.size(), before + kHeaders);
            for (ULONG i = 0; i < kHeaders; ++i) {
                EXPECT_EQ(writes[before + i].Data, request.Data(i));
                EXPECT_EQ(writes[before + i].Bytes, std::vector<uint8_t>(kBytes, 0x11 * (i + 1)));
            }
        }
    }
    // The pair goes on: the canceller still runs on what follows.
    StreamBlocks(4, tone_);
    EXPECT_EQ(Active(), 1);
}

std::string SecondHeaderName(const ::testing::TestParamInfo<SecondHeaderCase>& info) {
    const char* failure[] = {"BadAddress", "NoMdl", "NoMapping"};
    return std::string(info.param.Write ? "Write" : "Read") +
           failure[static_cast<int>(info.param.Failure)];
}

INSTANTIATE_TEST_SUITE_P(Roads, SecondHeaderTest,
                         ::testing::Values(SecondHeaderCase{true, SecondHeader::BadAddress},
                                           SecondHeaderCase{true, SecondHeader::NoMdl},
                                           SecondHeaderCase{true, SecondHeader::NoMapping},
                                           SecondHeaderCase{false, SecondHeader::BadAddress},
                                           SecondHeaderCase{false, SecondHeader::NoMdl},
                                           SecondHeaderCase{false, SecondHeader::NoMapping}),
                         SecondHeaderName);

// How an application ends the requests it has in flight.
enum class Ending { Cancel, Stop, CloseWithoutStop };

class EndingTest : public LockedMemoryTest, public ::testing::WithParamInterface<Ending> {};

// Requests of three headers on both pins, some at the device behind the
// driver's own render requests, some whose capture waits for the device:
// whatever ends them gives every one back with nothing of it locked, and a
// fresh start processes again.
TEST_P(EndingTest, GivesEveryRequestOfThreeHeadersBackUnlocked) {
    StartWithOwnRequestsLocked();
    if (HasFatalFailure()) return;
    std::vector<std::unique_ptr<RawRequest>> requests;
    for (int i = 0; i < 4; ++i) {
        requests.push_back(std::make_unique<RawRequest>(speaker_.Handle(), true));
        requests.push_back(std::make_unique<RawRequest>(mic_.Handle(), false));
        AdvanceMs(10);
    }
    int pending = 0;
    for (auto& r : requests) pending += r->Status() == STATUS_PENDING ? 1 : 0;
    ASSERT_GE(pending, 6) << "most are still out when they are ended";
    switch (GetParam()) {
        case Ending::Cancel:
            EXPECT_EQ(KpCancelFileIo(mic_.Handle()), STATUS_SUCCESS);
            EXPECT_EQ(KpCancelFileIo(speaker_.Handle()), STATUS_SUCCESS);
            break;
        case Ending::Stop:
            ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_STOP), STATUS_SUCCESS);
            ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_STOP), STATUS_SUCCESS);
            break;
        case Ending::CloseWithoutStop:
            WhileClockRuns(
                [&] {
                    EXPECT_EQ(mic_.Close(), STATUS_SUCCESS);
                    EXPECT_EQ(speaker_.Close(), STATUS_SUCCESS);
                },
                "the closes");
            break;
    }
    std::vector<const RawRequest*> all;
    for (auto& r : requests) all.push_back(r.get());
    ASSERT_TRUE(AwaitBack(all)) << "every request comes back";
    for (auto& r : requests)
        EXPECT_EQ(r->Locks(), 0u) << "a request back with status 0x" << std::hex << r->Status()
                                  << " still has its buffer locked";
    requests.clear();  // the application frees them
    ASSERT_TRUE(kp::sim::SettleMachine(1000));
    if (GetParam() != Ending::Cancel) {
        ClosePins();
        OpenPins();
        if (HasFatalFailure()) return;
        ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_RUN), STATUS_SUCCESS);
    }
    const LONGLONG passes = InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0);
    StreamBlocks(12, tone_);
    EXPECT_EQ(Active(), 1);
    EXPECT_TRUE(AwaitOutPasses(passes + 3)) << "the canceller processes again";
}

std::string EndingName(const ::testing::TestParamInfo<Ending>& info) {
    const char* names[] = {"Cancel", "Stop", "CloseWithoutStop"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Endings, EndingTest,
                         ::testing::Values(Ending::Cancel, Ending::Stop, Ending::CloseWithoutStop),
                         EndingName);

// A sound card's lower edge that describes a kernel-mode write's data in
// two MDLs chained on the request: the first half locked, the second built
// over the non-paged buffer (nothing to unlock), as a driver may for pool
// memory.  The request is answered at once.
NTSTATUS ChainedMdlDispatch(PDEVICE_OBJECT, PIRP irp) {
    auto* header = static_cast<PKSSTREAM_HEADER>(irp->UserBuffer);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    const ULONG half = header->DataUsed / 2;
    PMDL locked = IoAllocateMdl(header->Data, half, FALSE, FALSE, irp);
    PMDL built = IoAllocateMdl(static_cast<PUCHAR>(header->Data) + half, header->DataUsed - half,
                               TRUE, FALSE, irp);
    if (locked != nullptr && built != nullptr) {
        status = KpProbeAndLockPages(locked, KernelMode, IoReadAccess);
        MmBuildMdlForNonPagedPool(built);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? sizeof *header : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID ChainedMdlUnload(PDRIVER_OBJECT) {}

NTSTATUS ChainedMdlEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ChainedMdlDispatch;
    driver->DriverUnload = ChainedMdlUnload;
    return STATUS_SUCCESS;
}

// The driver's own render request comes back with whatever MDLs the device
// chained on it: each one goes, a locked one unlocked first, before the
// request and its buffer are given back.
TEST_F(LockedMemoryTest, OwnRenderRequestFreesEveryMdlChainedOnIt) {
    ASSERT_EQ(SetStateWhileClockRuns(&mic_, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(SetStateWhileClockRuns(&speaker_, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(Active(), 1);
    ASSERT_TRUE(kp::sim::SettleMachine(1000));
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(KpLoadBuiltinDriver(u"ChainedMdl", ChainedMdlEntry, &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &device),
              STATUS_SUCCESS);
    const ULONG mdls = KpIoLiveMdlCount();
    EXPECT_EQ(CreateAndSendIrp(device, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(AecOwnIrpsPending(), 0) << "the request is back";
    EXPECT_EQ(KpIoLiveMdlCount(), mdls) << KpIoDescribeLiveObjects();
    IoDeleteDevice(device);
    EXPECT_EQ(KpUnloadDriver(driver), STATUS_SUCCESS);
}

}  // namespace
}  // namespace zvecho
