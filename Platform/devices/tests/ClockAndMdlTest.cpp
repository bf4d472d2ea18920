// A device's own sample clock (an offset in parts per million against the
// machine clock) and the locked MDLs it attaches to kernel-mode stream
// requests, which their sender frees.
#include <cmath>

#include "SimTestSupport.h"
#include "kp/io.h"

namespace kp::simtest {
namespace {

using kp::ks::KsFilter;
using kp::ks::KsPin;
using Request = std::shared_ptr<kp::ks::StreamRequest>;

class ClockAndMdlTest : public SimTest {
protected:
    void TearDown() override {
        for (KsPin* p : {&capture_, &render_}) p->Close();
        filter_.Close();
        SimTest::TearDown();
    }
    void OpenPins(LONG ppm, bool mdl = false) {
        auto device = FullDevice();
        device.ClockOffsetPpm = ppm;
        device.KernelStreamMdl = mdl;
        Boot({device});
        OpenFilter(&filter_);
        ASSERT_EQ(render_.Create(filter_, 0, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
        ASSERT_EQ(capture_.Create(filter_, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    }
    KsFilter filter_;
    KsPin render_, capture_;
};

TEST_F(ClockAndMdlTest, StreamsAndPositionsRunByTheDevicesOwnClock) {
    struct Case {
        LONG Ppm;
    } cases[] = {{0}, {1000}, {-500}, {50000}, {-50000}, {37}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Ppm);
        OpenPins(c.Ppm);
        // More than 1.1 s of room in each direction.
        std::vector<uint8_t> play(40000, 0x11);
        Request write, read;
        ASSERT_EQ(
            render_.Submit(true, {{40000, 40000, play.data()}}, sizeof(KSSTREAM_HEADER), &write),
            STATUS_PENDING);
        ASSERT_EQ(capture_.Submit(false, {{40000, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &read),
                  STATUS_PENDING);
        ASSERT_EQ(render_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        for (int step = 0; step < 103; ++step) AdvanceMs(10);  // 1.03 s of machine time
        // Frames owed after 1.03 s at 16 kHz by a clock (1 + ppm/10^6) fast,
        // whole frames only: the remainder carries over between ticks.
        auto frames =
            static_cast<ULONGLONG>(std::floor(1.03 * 16000.0 * (1.0 + c.Ppm / 1e6) + 1e-9));
        KSAUDIO_POSITION played{}, captured{};
        ASSERT_EQ(render_.GetPosition(&played), STATUS_SUCCESS);
        ASSERT_EQ(capture_.GetPosition(&captured), STATUS_SUCCESS);
        EXPECT_EQ(played.PlayOffset, 2 * frames);
        EXPECT_EQ(captured.PlayOffset, 2 * frames) << "delivered";
        EXPECT_EQ(captured.WriteOffset, 2 * frames) << "produced";
        for (KsPin* p : {&render_, &capture_}) ASSERT_EQ(p->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        write->Wait();
        read->Wait();
        // The ramp source filled what it produced, byte for byte.
        ASSERT_GE(read->DataUsed(0), 2 * frames);
        for (ULONG i = 0; i < read->DataUsed(0); ++i)
            ASSERT_EQ(read->Data(0)[i], kp::sim::RampByte(i)) << i;
        TearDown();
        SetUp();
    }
}

// A kernel client's write request on a pin, sent straight to the stack's top
// as a driver sends its own; the completion frees what the device attached.
struct KernelWrite {
    KSSTREAM_HEADER Headers[2]{};
    std::vector<uint8_t> Data[2];
    ULONG Mdls = 0;      // MDLs found on the request when it came back
    bool Locked = true;  // every one of them locked
    KEVENT Done;
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* w = static_cast<KernelWrite*>(context);
        for (PMDL m = irp->MdlAddress; m != nullptr;) {
            PMDL next = m->Next;
            ++w->Mdls;
            w->Locked = w->Locked && (m->MdlFlags & MDL_PAGES_LOCKED) != 0;
            MmUnlockPages(m);
            IoFreeMdl(m);
            m = next;
        }
        irp->MdlAddress = nullptr;
        IoFreeIrp(irp);
        KeSetEvent(&w->Done, 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

NTSTATUS SendKernelWrite(HANDLE pin, const std::vector<ULONG>& sizes, KernelWrite* w) {
    KeInitializeEvent(&w->Done, NotificationEvent, FALSE);
    PFILE_OBJECT file;
    NTSTATUS status = ObReferenceObjectByHandle(pin, 0, *IoFileObjectType, KernelMode,
                                                reinterpret_cast<PVOID*>(&file), nullptr);
    if (!NT_SUCCESS(status)) return status;
    for (size_t h = 0; h < sizes.size(); ++h) {
        w->Data[h].assign(sizes[h], static_cast<uint8_t>(h + 1));
        w->Headers[h].Size = sizeof(KSSTREAM_HEADER);
        w->Headers[h].FrameExtent = sizes[h];
        w->Headers[h].DataUsed = sizes[h];
        w->Headers[h].Data = sizes[h] != 0 ? w->Data[h].data() : nullptr;
    }
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = KernelMode;
    irp->UserBuffer = w->Headers;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_WRITE_STREAM;
    next->Parameters.DeviceIoControl.OutputBufferLength =
        static_cast<ULONG>(sizes.size() * sizeof(KSSTREAM_HEADER));
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    next->FileObject = file;
    IoSetCompletionRoutine(irp, KernelWrite::OnComplete, w, TRUE, TRUE, TRUE);
    status = IoCallDriver(top, irp);
    ObDereferenceObject(file);
    return status;
}

TEST_F(ClockAndMdlTest, KernelRequestsCarryALockedMdlPerBufferOnlyWithTheKnob) {
    struct Case {
        const char* Name;
        bool Knob;
        std::vector<ULONG> Sizes;
        ULONG Mdls;
    } cases[] = {
        {"knob off", false, {320}, 0},
        {"one buffer", true, {320}, 1},
        {"two buffers", true, {320, 640}, 2},
        {"an empty buffer has none", true, {0, 320}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ULONG before = KpIoLiveMdlCount();
        OpenPins(0, c.Knob);
        KernelWrite w;
        ASSERT_EQ(SendKernelWrite(render_.Handle(), c.Sizes, &w), STATUS_PENDING);
        ASSERT_EQ(render_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        for (int step = 0; step < 10 && KeReadStateEvent(&w.Done) == 0; ++step) AdvanceMs(10);
        ASSERT_NE(KeReadStateEvent(&w.Done), 0);
        EXPECT_EQ(w.Mdls, c.Mdls);
        EXPECT_TRUE(w.Locked);
        auto rec = Device()->PinRecords()[0];
        ULONG bytes = 0;
        for (ULONG s : c.Sizes) bytes += s;
        EXPECT_EQ(rec.Rendered.size(), bytes) << "played all the same";
        ASSERT_EQ(render_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        TearDown();
        EXPECT_EQ(KpIoLiveMdlCount(), before) << "balanced";
        SetUp();
    }
}

}  // namespace
}  // namespace kp::simtest
