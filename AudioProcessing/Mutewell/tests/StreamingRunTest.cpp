// The streaming thread over seconds of machine time (minutes in the slow run):
// eight requests in flight, every byte once and in order, nothing allocated
// after the start, priority 24.
#include <cstring>
#include <vector>

#include "BridgeFixture.h"
#include "kp/io.h"
#include "kp/pool.h"

#ifndef ZV_BRIDGE_RUN_SECONDS
#define ZV_BRIDGE_RUN_SECONDS 3
#endif

namespace zvbridge {
namespace {

using StreamingRunTest = BridgeTest;
constexpr ULONG kSteps = ZV_BRIDGE_RUN_SECONDS * 100;
constexpr ULONG kBlock = 160;

// Capture: the ring is read down to one block after every 10 ms, which keeps
// it inside its steering band; once the drift the empty start asked for has
// been applied, what comes out is the device's ramp without a gap or a repeat.
TEST_F(StreamingRunTest, CaptureKeepsEightReadsInFlightAndLosesNoByte) {
    BootMaster();
    StartPin(false);
    WaitUntil([this] { return m_device->QueuedStreamRequests() == kTransfersInFlight; },
              "eight reads queued");
    EXPECT_EQ(KeQueryPriorityThread(m_pin->GetStream()->Thread()), 24);
    const ULONGLONG allocations = KpPoolUsage(0).TotalAllocations;
    std::vector<UCHAR> read;
    bool settled = false;
    ULONG settledAt = 0;
    for (ULONG step = 0; step < kSteps; ++step) {
        Step();
        EXPECT_EQ(KpIoLiveIrpCount(), kTransfersInFlight);
        ULONG level = 0;
        m_pin->GetCircBuff()->GetCount(&level, CircBuff::kReadable);
        ASSERT_GE(level, kBlock) << step;
        if (!settled && m_pin->GetCircBuff()->PendingDrift() == 0) {
            settled = true;
            settledAt = step;
        }
        std::vector<UCHAR> out(level - kBlock + 1);
        ULONG count = level - kBlock;
        if (count == 0) continue;
        ASSERT_EQ(m_pin->ReadData(out.data(), &count, FALSE), 1u);
        // The block that used the last of the drift is still corrected, and its
        // tail stays in the ring for one more step.
        if (settled && step > settledAt + 1)
            read.insert(read.end(), out.begin(), out.begin() + count);
    }
    ASSERT_TRUE(settled);
    EXPECT_LT(settledAt, 40u);
    EXPECT_EQ(KpPoolUsage(0).TotalAllocations, allocations) << "allocated while streaming";
    ASSERT_GE(read.size(), (kSteps - settledAt - 3) * kBlock);
    for (size_t i = 1; i < read.size(); ++i)
        ASSERT_EQ(read[i], (read[i - 1] + 1) % 251) << "byte " << i;
    const kp::sim::PinRecord record = m_device->PinRecords().back();
    EXPECT_EQ(record.BytesDelivered, record.BytesProduced) << "the device ran out of requests";
}

// Render: the ring is fed a counter pattern a block per 10 ms (uncorrected, so
// the pattern is what the thread must carry); the device plays it back exactly.
// The first request alone is marked as a discontinuity; the pin runs only once
// the eight are queued; an empty ring sends silence.
TEST_F(StreamingRunTest, RenderPlaysTheRingsBytesInOrderThenSilence) {
    BootMaster();
    StartPin(true);
    CircBuff* ring = m_pin->GetCircBuff();
    ULONG next = 0;
    auto feed = [&](ULONG blocks) {
        for (ULONG b = 0; b < blocks; ++b) {
            std::vector<UCHAR> data(kBlock);
            for (UCHAR& v : data) v = static_cast<UCHAR>(next++ % 253);
            ULONG count = kBlock;
            ASSERT_EQ(ring->WriteData(data.data(), &count, TRUE), 1u);
        }
    };
    feed(kTransfersInFlight + 3);  // waits while the thread takes its first eight
    WaitUntil([this] { return m_device->QueuedStreamRequests() == kTransfersInFlight; },
              "eight writes queued");
    WaitUntil([this] { return m_device->PinRecords().back().States.back() == KSSTATE_RUN; },
              "the pin running");
    const ULONGLONG allocations = KpPoolUsage(0).TotalAllocations;
    for (ULONG step = 0; step < kSteps; ++step) {
        Step();
        feed(1);
    }
    EXPECT_EQ(KpPoolUsage(0).TotalAllocations, allocations) << "allocated while streaming";
    for (ULONG step = 0; step < 20; ++step) Step();  // the ring runs dry
    const kp::sim::PinRecord record = m_device->PinRecords().back();
    ASSERT_GE(record.Rendered.size(), static_cast<size_t>(next));
    for (ULONG i = 0; i < next; ++i) ASSERT_EQ(record.Rendered[i], i % 253) << "byte " << i;
    for (size_t i = next; i < record.Rendered.size(); ++i) ASSERT_EQ(record.Rendered[i], 0) << i;
    ASSERT_GE(record.Writes.size(), kTransfersInFlight);
    for (size_t i = 0; i < record.Writes.size(); ++i) {
        EXPECT_EQ(record.Writes[i].OptionsFlags,
                  i == 0 ? ULONG{KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY} : 0u)
            << "write " << i;
    }
    // PAUSE, and RUN only after the eighth write had reached the device.
    std::vector<ULONGLONG> stateSets, writes;
    for (const kp::sim::RequestRecord& r : m_device->Requests()) {
        if (r.IsProperty && r.Set == KSPROPSETID_Connection && (r.Flags & KSPROPERTY_TYPE_SET))
            stateSets.push_back(r.Sequence);
        if (r.IoControl == IOCTL_KS_WRITE_STREAM) writes.push_back(r.Sequence);
    }
    ASSERT_EQ(stateSets.size(), 2u);
    ASSERT_GE(writes.size(), kTransfersInFlight);
    EXPECT_LT(stateSets[0], writes[0]);
    EXPECT_GT(stateSets[1], writes[kTransfersInFlight - 1]);
    const std::vector<KSSTATE> states = {KSSTATE_STOP, KSSTATE_PAUSE, KSSTATE_RUN};
    EXPECT_EQ(record.States, states);
}

}  // namespace
}  // namespace zvbridge
