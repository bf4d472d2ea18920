// Streaming on the simulated device: requests in flight consumed and filled as
// the machine clock moves, positions, STOP, cancellation, completion levels and
// malformed stream headers.
#include <atomic>
#include <cstring>

#include "SimTestSupport.h"
#include "kp/io.h"

namespace kp::simtest {
namespace {

using kp::ks::Chunk;
using kp::ks::KsFilter;
using kp::ks::KsPin;
using kp::ks::StreamRequest;
using Request = std::shared_ptr<StreamRequest>;

class StreamTest : public SimTest {
protected:
    void TearDown() override {
        pin_.Close();
        filter_.Close();
        SimTest::TearDown();
    }
    void OpenPin(ULONG pinId, ULONG channels = 1, const std::string& extra = "") {
        Boot({}, extra);
        OpenFilter(&filter_);
        ASSERT_EQ(pin_.Create(filter_, pinId, kp::ks::PcmFormat(16000, 16, channels)),
                  STATUS_SUCCESS);
    }
    KSAUDIO_POSITION Position() {
        KSAUDIO_POSITION p{};
        EXPECT_EQ(pin_.GetPosition(&p), STATUS_SUCCESS);
        return p;
    }
    Request Read(std::vector<ULONG> extents, ULONG headerSize = sizeof(KSSTREAM_HEADER)) {
        std::vector<Chunk> chunks;
        for (ULONG e : extents) chunks.push_back({e, 0, nullptr});
        Request r;
        EXPECT_EQ(pin_.Submit(false, chunks, headerSize, &r), STATUS_PENDING);
        return r;
    }

    KsFilter filter_;
    KsPin pin_;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return v;
}

TEST_F(StreamTest, WritesInFlightAreConsumedInOrderAsTheClockMoves) {
    OpenPin(0);
    std::vector<Request> writes;
    std::vector<uint8_t> all;
    for (uint8_t k = 0; k < 4; ++k) {
        auto data = Pattern(320, k);  // 10 ms at 16 kHz mono 16 bit
        all.insert(all.end(), data.begin(), data.end());
        Request r;
        ASSERT_EQ(pin_.Submit(true, {{320, 320, data.data()}}, sizeof(KSSTREAM_HEADER), &r),
                  STATUS_PENDING);
        writes.push_back(r);
    }
    AdvanceMs(20);  // nothing moves before RUN
    EXPECT_FALSE(writes[0]->Done());
    EXPECT_EQ(Position().WriteOffset, 1280u);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    AdvanceMs(25);
    EXPECT_TRUE(writes[0]->Done() && writes[1]->Done());
    EXPECT_FALSE(writes[2]->Done());
    KSAUDIO_POSITION p = Position();
    EXPECT_EQ(p.PlayOffset, 800u);
    EXPECT_EQ(p.WriteOffset, 1280u);
    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    AdvanceMs(100);  // a paused pin holds its queue
    EXPECT_EQ(Position().PlayOffset, 800u);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    AdvanceMs(15);
    for (auto& w : writes) {
        ASSERT_TRUE(w->Done());
        EXPECT_EQ(w->Status(), STATUS_SUCCESS);
        EXPECT_EQ(w->Information(), sizeof(KSSTREAM_HEADER));
    }
    auto rec = Device()->PinRecords()[0];
    EXPECT_EQ(rec.Rendered, all);
    EXPECT_EQ(rec.BytesConsumed, 1280u);
    ASSERT_EQ(rec.Writes.size(), 4u);
    EXPECT_EQ(rec.Writes[2].Data, writes[2]->DataAddress(0));  // the application's own address
    EXPECT_EQ(rec.Writes[2].Bytes, Pattern(320, 2));
    EXPECT_EQ(rec.CompletedRequests, 4u);
}

TEST_F(StreamTest, ReadsFillTheirHeadersInOrderAndStopCompletesTheRest) {
    OpenPin(1);
    std::vector<Request> reads;
    for (int i = 0; i < 3; ++i)
        reads.push_back(Read({400, 240}, 64));  // headers larger than the structure
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    AdvanceMs(30);  // 960 bytes
    ASSERT_TRUE(reads[0]->Done());
    EXPECT_FALSE(reads[1]->Done());
    EXPECT_EQ(reads[0]->Information(), 128u);
    EXPECT_EQ(reads[0]->DataUsed(0), 400u);
    EXPECT_EQ(reads[0]->DataUsed(1), 240u);
    for (ULONG i = 0; i < 400; ++i) ASSERT_EQ(reads[0]->Data(0)[i], kp::sim::RampByte(i)) << i;
    for (ULONG i = 0; i < 240; ++i)
        ASSERT_EQ(reads[0]->Data(1)[i], kp::sim::RampByte(400 + i)) << i;
    KSAUDIO_POSITION p = Position();
    EXPECT_EQ(p.PlayOffset, 960u);
    EXPECT_EQ(p.WriteOffset, 960u);

    ASSERT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    for (auto& r : reads) ASSERT_TRUE(r->Done());
    EXPECT_EQ(reads[1]->Status(), STATUS_SUCCESS);  // with the bytes it holds
    EXPECT_EQ(reads[1]->DataUsed(0), 320u);
    EXPECT_EQ(reads[1]->DataUsed(1), 0u);
    EXPECT_EQ(reads[1]->Data(0)[0], kp::sim::RampByte(640));
    EXPECT_EQ(reads[2]->DataUsed(0), 0u);
    p = Position();
    EXPECT_EQ(p.PlayOffset, 0u);
    EXPECT_EQ(p.WriteOffset, 0u);
    EXPECT_EQ(Device()->PinRecords()[0].ReadFrameExtents,
              (std::vector<ULONG>{400, 240, 400, 240, 400, 240}));
}

TEST_F(StreamTest, StopCancelsQueuedRequestsWhenAskedTo) {
    Boot();
    auto pins = Device()->Pins();
    pins[1].StopCancels = true;
    Device()->SetPins(pins);
    OpenFilter(&filter_);
    ASSERT_EQ(pin_.Create(filter_, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    Request r = Read({320});
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    AdvanceMs(5);
    ASSERT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_TRUE(r->Done());
    EXPECT_EQ(r->Status(), STATUS_CANCELLED);
}

TEST_F(StreamTest, CancelAndCloseTakeQueuedAndHeldRequests) {
    OpenPin(1);
    kp::sim::Fault hold;
    hold.IoControl = IOCTL_KS_READ_STREAM;
    hold.NeverComplete = true;
    Device()->AddFault(hold);
    Request held = Read({320});
    Request queued = Read({320});
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    AdvanceMs(10);
    EXPECT_FALSE(held->Done());  // the device never completes it
    EXPECT_TRUE(queued->Done());
    ASSERT_EQ(pin_.Cancel(), STATUS_SUCCESS);
    ASSERT_TRUE(held->Done());
    EXPECT_EQ(held->Status(), STATUS_CANCELLED);

    Request a = Read({320}), b = Read({320});
    EXPECT_EQ(Device()->QueuedStreamRequests(), 2u);
    ASSERT_EQ(pin_.Close(), STATUS_SUCCESS);
    ASSERT_TRUE(a->Done() && b->Done());
    EXPECT_EQ(a->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Device()->QueuedStreamRequests(), 0u);
}

struct AsyncResult {
    std::atomic<bool> Done{false};
    std::atomic<KIRQL> Irql{0};
    IO_STATUS_BLOCK Iosb{};
    static void OnDone(PVOID context, PIO_STATUS_BLOCK iosb) {
        auto* self = static_cast<AsyncResult*>(context);
        self->Iosb = *iosb;
        self->Irql = KeGetCurrentIrql();
        self->Done = true;
    }
};

TEST_F(StreamTest, ClockDrivenCompletionsRunAtTheChosenLevel) {
    OpenPin(1);
    for (KIRQL irql : {PASSIVE_LEVEL, DISPATCH_LEVEL}) {
        Device()->SetCompletion(kp::sim::RequestClass::Stream, {false, irql});
        kp::ks::UserBlock block(4096);
        KSSTREAM_HEADER h{};
        h.Size = sizeof h;
        h.FrameExtent = 320;
        h.Data = block.Get() + 512;
        std::memcpy(block.Get(), &h, sizeof h);
        AsyncResult result;
        ASSERT_EQ(KpDeviceIoControlAsync(pin_.Handle(), IOCTL_KS_READ_STREAM, nullptr, 0,
                                         block.Get(), sizeof h, AsyncResult::OnDone, &result),
                  STATUS_PENDING);
        ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        AdvanceMs(10);
        ASSERT_TRUE(result.Done);
        EXPECT_EQ(result.Irql, irql);
        EXPECT_EQ(result.Iosb.Status, STATUS_SUCCESS);
        ASSERT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
}

TEST_F(StreamTest, MalformedHeadersAreRefusedBeforeAnythingIsRead) {
    OpenPin(0);
    kp::ks::UserBlock block(8192);
    auto send = [&](std::vector<KSSTREAM_HEADER> headers, ULONG length,
                    ULONG code = IOCTL_KS_WRITE_STREAM) {
        for (size_t i = 0; i < headers.size(); ++i)
            std::memcpy(block.Get() + i * 56, &headers[i], 56);
        IO_STATUS_BLOCK iosb{};
        return NtDeviceIoControlFile(pin_.Handle(), nullptr, nullptr, nullptr, &iosb, code, nullptr,
                                     0, length ? block.Get() : nullptr, length);
    };
    KSSTREAM_HEADER h{};
    h.Size = sizeof h;
    h.FrameExtent = 64;
    h.DataUsed = 64;
    h.Data = block.Get() + 4096;
    KSSTREAM_HEADER small = h;
    small.Size = 40;
    EXPECT_EQ(send({small}, 56), STATUS_INVALID_PARAMETER);
    KSSTREAM_HEADER big = h;
    big.Size = 120;  // past the request's end
    EXPECT_EQ(send({big}, 56), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(send({h, h}, 100), STATUS_INVALID_BUFFER_SIZE);  // a second header cut short
    KSSTREAM_HEADER over = h;
    over.DataUsed = 65;
    EXPECT_EQ(send({over}, 56), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(send({}, 0), STATUS_INVALID_BUFFER_SIZE);
    uint8_t kernelMemory[64] = {};
    KSSTREAM_HEADER wild = h;
    wild.Data = kernelMemory;  // not the application's memory
    EXPECT_FALSE(NT_SUCCESS(send({wild}, 56)));
    EXPECT_EQ(send({h}, 56, IOCTL_KS_READ_STREAM), STATUS_INVALID_DEVICE_REQUEST);  // a render pin
    EXPECT_EQ(Device()->QueuedStreamRequests(), 0u);
    EXPECT_TRUE(Device()->PinRecords()[0].Writes.empty());
}

TEST_F(StreamTest, DelayedAnswersWaitForTheMachineClock) {
    OpenPin(1);
    Device()->SetCompletion(kp::sim::RequestClass::Property, {true, DISPATCH_LEVEL, KpMs(30)});
    kp::ks::UserBlock block(4096);
    KSPROPERTY p{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET};
    std::memcpy(block.Get(), &p, sizeof p);
    AsyncResult result;
    ASSERT_EQ(KpDeviceIoControlAsync(pin_.Handle(), IOCTL_KS_PROPERTY, block.Get(), sizeof p,
                                     block.Get() + 64, 4, AsyncResult::OnDone, &result),
              STATUS_PENDING);
    AdvanceMs(20);
    EXPECT_FALSE(result.Done);
    AdvanceMs(10);
    ASSERT_TRUE(result.Done);
    EXPECT_EQ(result.Iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Iosb.Information, 4u);
    EXPECT_EQ(result.Irql, DISPATCH_LEVEL);
    // One still waiting when the pin closes is answered then.
    AsyncResult late;
    ASSERT_EQ(KpDeviceIoControlAsync(pin_.Handle(), IOCTL_KS_PROPERTY, block.Get(), sizeof p,
                                     block.Get() + 64, 4, AsyncResult::OnDone, &late),
              STATUS_PENDING);
    Device()->SetCompletion(kp::sim::RequestClass::Property, {});
    pin_.Close();
    EXPECT_TRUE(late.Done);
}

// After a surprise removal the device ends its queued stream requests and
// refuses new ones; the "DisconnectOnRemoval" knob makes both answers those of
// an unplugged USB device.  Property requests get the answer of a stack that is
// going away either way.
TEST_F(StreamTest, SurpriseRemovalEndsQueuedStreamsAndRefusesNewRequests) {
    struct Case {
        const char* knob;  // Device Parameters text, empty: no value
        NTSTATUS queued, later;
    };
    const Case cases[] = {
        {"", STATUS_CANCELLED, STATUS_DELETE_PENDING},
        {"dword:00000000", STATUS_CANCELLED, STATUS_DELETE_PENDING},
        {"dword:00000001", STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.knob);
        std::string extra;
        if (*c.knob != 0) {
            extra = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" +
                    std::string(kFullDevice) +
                    "\\Device Parameters]\r\n\"DisconnectOnRemoval\"=" + c.knob + "\r\n\r\n";
        }
        OpenPin(1, 1, extra);
        Device()->SetCompletion(kp::sim::RequestClass::Property, {true, DISPATCH_LEVEL});
        Request queued = Read({320});
        ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        std::u16string instance(kFullDevice, kFullDevice + std::strlen(kFullDevice));
        PDEVICE_OBJECT pdo = KpPnpFindPdo(instance);
        // The removal falls just before, or just after, the device holds a
        // request it never completes: the drain ends it either way.
        kp::sim::Fault hold;
        hold.IoControl = IOCTL_KS_READ_STREAM;
        hold.NeverComplete = true;
        Device()->AddFault(hold);
        NTSTATUS removal = STATUS_PENDING;
        const bool atHeld = (&c - cases) % 2 == 1;
        Device()->SetHoldHook([&](bool held) {
            if (held == atHeld) removal = KpPnpSurpriseRemove(pdo);
        });
        Request held = Read({320});
        ASSERT_EQ(removal, STATUS_SUCCESS);
        ASSERT_TRUE(queued->Done());
        EXPECT_EQ(queued->Status(), c.queued);
        EXPECT_TRUE(held->Done()) << "held after the device drained on its removal";
        EXPECT_EQ(held->Status(), c.queued);
        EXPECT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_DELETE_PENDING);
        Request late;
        EXPECT_EQ(pin_.Submit(false, {{320, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &late), c.later);
        EXPECT_EQ(KpPnpRemove(pdo), STATUS_DEVICE_BUSY);  // files still open
        pin_.Close();
        filter_.Close();
        EXPECT_EQ(KpPnpRemove(pdo), STATUS_SUCCESS);
        EXPECT_EQ(kp::sim::SimAudioDevice::All().size(), 0u);
        kp::machine::Shutdown();
    }
}

}  // namespace
}  // namespace kp::simtest
