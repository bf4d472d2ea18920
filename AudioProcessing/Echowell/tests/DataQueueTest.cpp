// DataQueue against a plain model of a byte stream: every operation is
// followed by the invariant check (offsets, fill state and readable bytes
// agree with what went in and out).
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "DataQueue.h"
#include "FrameworkTestSupport.h"
#include "MemAlloc.h"
#include "kp/thread.h"

namespace {

ChannelFormat Format(ULONG rate, ULONG bits, ULONG channels) {
    ChannelFormat f{};
    f.FormatTagAndChannels = 1 | (channels << 16);
    f.SamplesPerSec = rate;
    f.BitsPerSample = bits;
    f.AvgBytesPerSec = rate * bits * channels / 8;
    f.ChannelMask = channels == 1 ? 4 : 3;
    return f;
}

// Offsets in range, fill state and unread bytes agreeing with the model's count.
void ExpectConsistent(DataQueue* q, ULONG modelUnread) {
    const char* why = nullptr;
    ASSERT_TRUE(q->CheckInvariant(&why)) << why;
    DataQueueState s;
    q->GetState(&s);
    ASSERT_EQ(s.HasRing, s.RingSize != 0);
    if (s.RingSize == 0) return;
    ASSERT_LT(s.Read, s.RingSize);
    ASSERT_LT(s.Write, s.RingSize);
    ASSERT_TRUE(s.FillState == DataQueue::kEmpty || s.FillState == DataQueue::kFull);
    ASSERT_EQ(s.RingSize % s.BytesPerFrame, 0u);
    ASSERT_EQ(s.StartThreshold % s.BytesPerFrame, 0u);
    ULONG unread = s.Write == s.Read ? (s.FillState == DataQueue::kFull ? s.RingSize : 0)
                                     : (s.Write + s.RingSize - s.Read) % s.RingSize;
    ASSERT_EQ(unread, modelUnread);
    ASSERT_EQ(q->GetLevel(), modelUnread);
    ULONG readable = q->GetReadable();
    ASSERT_LE(readable, modelUnread);
}

class DataQueueTest : public zvtest::FrameworkTest {
protected:
    DataQueue* Make(ULONG ms, const ChannelFormat& f, ULONG startMs = 0, ULONG prefill = 0,
                    ULONG noOverflowDrift = 0, ULONG noShortReadDrift = 1) {
        auto* q = new DataQueue(1);
        EXPECT_NE(q, nullptr);
        EXPECT_EQ(q->Init(ms, &f, startMs, 10, 1000, noShortReadDrift, noOverflowDrift, prefill),
                  1u);
        queues_.push_back(q);
        return q;
    }
    void TearDown() override {
        for (DataQueue* q : queues_) delete q;
        FrameworkTest::TearDown();
    }
    static LONGLONG Pending(DataQueue* q) {
        DataQueueState s;
        q->GetState(&s);
        return s.PendingDrift;
    }
    // Waits until `n` threads are blocked in a kernel wait.
    static void AwaitBlocked(ULONG n) {
        while (KpBlockedWaiterCount() < n) std::this_thread::yield();
    }
    std::vector<DataQueue*> queues_;
};

std::vector<UCHAR> Bytes(size_t n, UCHAR start = 1) {
    std::vector<UCHAR> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<UCHAR>(start + i * 7);
    return v;
}

TEST_F(DataQueueTest, SizesInWholeFramesAndHoldsBackTheStartThreshold) {
    struct Case {
        ULONG Rate, Bits, Channels, Ms, StartMs, Prefill;
        ULONG Ring, Threshold, ReadableAtOnce;
    } cases[] = {
        {8000, 16, 1, 500, 70, 0, 8000, 1120, 0},
        {16000, 16, 1, 570, 70, 1, 18240, 0, 2240},  // queue 2: prefill readable at once
        {11025, 16, 1, 570, 70, 1, 12568, 0, 1542},  // 1543.5 bytes of hold-back: 771 frames
        {22050, 8, 1, 500, 70, 0, 11025, 1543, 0},   // 8-bit: every byte a frame
        {48000, 32, 6, 4000, 0, 0, 4608000, 0, 0},   // beyond 32 bits when multiplied
        {44100, 16, 2, 500, 35, 0, 88200, 6172, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Rate << " Hz " << c.Bits << " bits " << c.Channels);
        DataQueue* q = Make(c.Ms, Format(c.Rate, c.Bits, c.Channels), c.StartMs, c.Prefill);
        DataQueueState s;
        q->GetState(&s);
        EXPECT_EQ(s.RingSize, c.Ring);
        EXPECT_EQ(s.StartThreshold, c.Threshold);
        EXPECT_EQ(q->GetReadable(), c.ReadableAtOnce);
        ExpectConsistent(q, c.ReadableAtOnce);
    }
}

TEST_F(DataQueueTest, ReaderSeesNothingUntilTheThresholdThenEverything) {
    DataQueue* q = Make(500, Format(8000, 16, 1), 70);
    auto data = Bytes(1200);
    LONG n = 1000;
    ASSERT_EQ(q->WriteData(data.data(), &n, 0), 1u);
    EXPECT_EQ(q->GetReadable(), 0u);
    n = 120;
    ASSERT_EQ(q->WriteData(data.data() + 1000, &n, 0), 1u);
    EXPECT_EQ(q->GetReadable(), 1120u);
    std::vector<UCHAR> out(1120);
    n = 1120;
    ASSERT_EQ(q->ReadData(out.data(), &n, 0), 1u);
    EXPECT_EQ(n, 1120);
    EXPECT_EQ(0, std::memcmp(out.data(), data.data(), 1120));
    // Once reached, the threshold is gone for good.
    n = 2;
    ASSERT_EQ(q->WriteData(data.data(), &n, 0), 1u);
    EXPECT_EQ(q->GetReadable(), 2u);
    ExpectConsistent(q, 2);
}

TEST_F(DataQueueTest, ShortReadsFillWithSilenceAndOversizedRequestsMoveNothing) {
    struct Case {
        ULONG Bits;
        UCHAR Silence;
    } cases[] = {{16, 0x00}, {8, 0x80}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bits);
        DataQueue* q = Make(500, Format(8000, c.Bits, 1));
        auto data = Bytes(100);
        LONG n = 100;
        ASSERT_EQ(q->WriteData(data.data(), &n, 0), 1u);
        std::vector<UCHAR> out(320, 0x55);
        n = 320;
        ASSERT_EQ(q->ReadData(out.data(), &n, 0), 1u);
        EXPECT_EQ(n, 100);
        EXPECT_EQ(0, std::memcmp(out.data(), data.data(), 100));
        for (size_t i = 100; i < 320; ++i) ASSERT_EQ(out[i], c.Silence) << i;
        EXPECT_EQ(Pending(q), 0) << "no short-read drift on these queues";

        DataQueueState s;
        q->GetState(&s);
        std::vector<UCHAR> big(s.RingSize + 2);
        n = static_cast<LONG>(big.size());
        EXPECT_EQ(q->WriteData(big.data(), &n, 0), 0u);
        EXPECT_EQ(n, static_cast<LONG>(s.RingSize));
        n = static_cast<LONG>(big.size());
        EXPECT_EQ(q->ReadData(big.data(), &n, 1), 0u);
        EXPECT_EQ(n, 0);
        ExpectConsistent(q, 0);
    }
}

TEST_F(DataQueueTest, AnOverflowingWriteKeepsWhatFitsAndCountsTheRestAsDrift) {
    DataQueue* q = Make(500, Format(8000, 16, 2));  // 16000-byte ring
    auto fill = Bytes(15800);
    LONG n = 15800;
    ASSERT_EQ(q->WriteData(fill.data(), &n, 0), 1u);
    auto more = Bytes(320, 9);
    n = 320;
    ASSERT_EQ(q->WriteData(more.data(), &n, 0), 1u);
    EXPECT_EQ(n, 200);
    EXPECT_EQ(Pending(q), 30);
    ExpectConsistent(q, 16000);
    DataQueueState s;
    q->GetState(&s);
    EXPECT_EQ(s.FillState, DataQueue::kFull);
}

TEST_F(DataQueueTest, RandomTrafficKeepsTheByteStreamIntact) {
    std::mt19937 rng(17);
    DataQueue* q = Make(100, Format(8000, 16, 1), 0, 0, 1);  // 1600-byte ring
    ULONGLONG written = 0, read = 0;
    for (int step = 0; step < 4000; ++step) {
        ULONG unread = static_cast<ULONG>(written - read);
        if (rng() % 2) {
            std::vector<UCHAR> chunk(1 + rng() % 700);
            for (size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = static_cast<UCHAR>((written + i) % 253);
            LONG n = static_cast<LONG>(chunk.size());
            ASSERT_EQ(q->WriteData(chunk.data(), &n, 0), 1u);
            ASSERT_EQ(static_cast<ULONG>(n), std::min<ULONG>(chunk.size(), 1600 - unread));
            written += n;
        } else {
            std::vector<UCHAR> out(1 + rng() % 700);
            LONG n = static_cast<LONG>(out.size());
            ASSERT_EQ(q->ReadData(out.data(), &n, 0), 1u);
            ASSERT_EQ(static_cast<ULONG>(n), std::min<ULONG>(out.size(), unread));
            for (LONG i = 0; i < n; ++i)
                ASSERT_EQ(out[i], static_cast<UCHAR>((read + i) % 253)) << "step " << step;
            read += n;
        }
        ExpectConsistent(q, static_cast<ULONG>(written - read));
        if (HasFatalFailure()) return;
    }
}

TEST_F(DataQueueTest, WaitingProducerAndConsumerOnTwoThreadsPassEveryByte) {
    DataQueue* q = Make(50, Format(8000, 16, 1));  // 800-byte ring
    constexpr ULONG kTotal = 200000;
    std::thread producer([&] {
        ULONG sent = 0;
        while (sent < kTotal) {
            UCHAR chunk[333];
            LONG n = static_cast<LONG>(std::min<ULONG>(sizeof chunk, kTotal - sent));
            for (LONG i = 0; i < n; ++i) chunk[i] = static_cast<UCHAR>((sent + i) % 251);
            ASSERT_EQ(q->WriteData(chunk, &n, 1), 1u);
            sent += n;
        }
    });
    ULONG got = 0;
    while (got < kTotal) {
        UCHAR out[160];
        LONG n = static_cast<LONG>(std::min<ULONG>(sizeof out, kTotal - got));
        ASSERT_EQ(q->ReadData(out, &n, 1), 1u);
        for (LONG i = 0; i < n; ++i) ASSERT_EQ(out[i], static_cast<UCHAR>((got + i) % 251));
        got += n;
    }
    producer.join();
    ExpectConsistent(q, 0);
}

TEST_F(DataQueueTest, BlockedReadersAndWritersWakeOnDataSpaceAndAbort) {
    DataQueue* q = Make(50, Format(8000, 16, 1));  // 800-byte ring
    auto data = Bytes(800);
    // A reader waits for the full count: a partial write does not release it.
    std::atomic<LONG> readCount{-1};
    std::thread reader([&] {
        std::vector<UCHAR> out(320);
        LONG n = 320;
        EXPECT_EQ(q->ReadData(out.data(), &n, 1), 1u);
        readCount = n;
    });
    AwaitBlocked(1);
    LONG n = 100;
    ASSERT_EQ(q->WriteData(data.data(), &n, 0), 1u);
    AwaitBlocked(1);
    EXPECT_EQ(readCount.load(), -1);
    n = 220;
    ASSERT_EQ(q->WriteData(data.data() + 100, &n, 0), 1u);
    reader.join();
    EXPECT_EQ(readCount.load(), 320);

    // A writer waits for room; a read makes it.
    n = 800;
    ASSERT_EQ(q->WriteData(data.data(), &n, 0), 1u);
    std::atomic<LONG> writeCount{-1};
    std::thread writer([&] {
        LONG m = 200;
        EXPECT_EQ(q->WriteData(data.data(), &m, 1), 1u);
        writeCount = m;
    });
    AwaitBlocked(1);
    std::vector<UCHAR> out(200);
    n = 200;
    ASSERT_EQ(q->ReadData(out.data(), &n, 0), 1u);
    writer.join();
    EXPECT_EQ(writeCount.load(), 200);
    ExpectConsistent(q, 800);

    // Abort releases a waiting writer (0, count 0) and a waiting reader (1,
    // what there was), refuses later writes and ends later waits at once.
    std::thread writer2([&] {
        LONG m = 200;
        EXPECT_EQ(q->WriteData(data.data(), &m, 1), 0u);
        EXPECT_EQ(m, 0);
    });
    AwaitBlocked(1);
    ASSERT_EQ(q->Abort(), 1u);
    writer2.join();
    for (int i = 0; i < 2; ++i) {
        LONG m = 320;
        EXPECT_EQ(q->ReadData(out.data(), &m, 1), 1u);
        EXPECT_EQ(m, 0);
    }
    n = 10;
    EXPECT_EQ(q->WriteData(data.data(), &n, 0), 0u);
    EXPECT_EQ(n, 0);
}

TEST_F(DataQueueTest, AbortReleasesAReaderWaitingOnAnEmptyQueue) {
    DataQueue* q = Make(500, Format(16000, 16, 1), 70);
    std::thread reader([&] {
        UCHAR out[320];
        LONG n = 320;
        EXPECT_EQ(q->ReadData(out, &n, 1), 1u);
        EXPECT_EQ(n, 0);
    });
    AwaitBlocked(1);
    q->Abort();
    reader.join();
}

TEST_F(DataQueueTest, PendingDriftChangesTheWrittenLengthByTheCorrectedFrames) {
    struct Case {
        ULONG Bits, Channels;
        LONGLONG Drift;
        ULONG Block;
        ULONG Written;
        LONGLONG Left;
    } cases[] = {
        {16, 1, 5, 320, 324, 3},  // 160 frames at 10/1000: 2 frames this block
        {16, 1, -5, 320, 316, -3},  {16, 2, 1, 640, 644, 0}, {8, 1, -1, 160, 159, 0},
        {16, 1, 1, 8, 8, 1},         // 4 frames: too short to correct, written as is
        {32, 2, 7, 1280, 1280, 0},   // the corrector cannot do 32 bits: uncorrected, drift cleared
        {16, 6, -3, 1920, 1920, 0},  // nor 6 channels
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Bits << " bits " << c.Channels << " ch drift "
                                        << c.Drift << " block " << c.Block);
        DataQueue* q = Make(500, Format(16000, c.Bits, c.Channels));
        q->AddDrift(c.Drift);
        auto data = Bytes(c.Block);
        ULONG n = c.Block;
        EXPECT_EQ(q->PutData(data.data(), &n, 0), 1u);
        EXPECT_EQ(q->GetLevel(), c.Written);
        EXPECT_EQ(Pending(q), c.Left);
        ExpectConsistent(q, c.Written);
    }
}

TEST_F(DataQueueTest, DriftAddedWhilePutDataWaitsIsKept) {
    DataQueue* q = Make(50, Format(16000, 16, 1));  // 1600-byte ring
    auto data = Bytes(1600);
    LONG n = 1500;
    ASSERT_EQ(q->WriteData(data.data(), &n, 0), 1u);
    q->AddDrift(5);
    std::thread producer([&] {
        ULONG m = 320;
        EXPECT_EQ(q->PutData(data.data(), &m, 1), 1u);
    });
    AwaitBlocked(1);  // inside the corrector's output, waiting for room
    q->AddDrift(4);
    std::vector<UCHAR> out(1000);
    n = 1000;
    ASSERT_EQ(q->ReadData(out.data(), &n, 0), 1u);
    producer.join();
    EXPECT_EQ(Pending(q), 5 - 2 + 4);
    EXPECT_EQ(q->GetLevel(), 500u + 324u);
}

TEST_F(DataQueueTest, AfterResetNothingMovesUntilInitAgain) {
    DataQueue* q = Make(500, Format(8000, 16, 1));
    auto data = Bytes(320);
    LONG n = 320;
    ASSERT_EQ(q->WriteData(data.data(), &n, 0), 1u);
    q->Abort();
    q->Reset();
    MemStatistics before;
    MemGetStatistics(&before);
    n = 320;
    EXPECT_EQ(q->WriteData(data.data(), &n, 0), 0u);
    n = 320;
    EXPECT_EQ(q->ReadData(data.data(), &n, 0), 0u);
    ULONG m = 320;
    EXPECT_EQ(q->PutData(data.data(), &m, 0), 0u);
    MemStatistics after;
    MemGetStatistics(&after);
    EXPECT_EQ(before.NonPagedBytes, after.NonPagedBytes);
    ExpectConsistent(q, 0);
    ChannelFormat f = Format(8000, 16, 1);
    ASSERT_EQ(q->Init(500, &f, 0, 10, 1000, 1, 0, 0), 1u);
    n = 320;
    EXPECT_EQ(q->WriteData(data.data(), &n, 0), 1u);
    EXPECT_EQ(n, 320);
}

TEST_F(DataQueueTest, InitRefusesWhatCannotBeSizedAndFailedAllocationsLeaveNothing) {
    auto* q = new DataQueue(3);
    queues_.push_back(q);
    ChannelFormat zeroBits = Format(8000, 0, 1);
    ChannelFormat f = Format(8000, 16, 1);
    EXPECT_EQ(q->Init(0, &f, 0, 10, 1000, 1, 0, 0), 0u);
    EXPECT_EQ(q->Init(500, nullptr, 0, 10, 1000, 1, 0, 0), 0u);
    EXPECT_EQ(q->Init(500, &zeroBits, 0, 10, 1000, 1, 0, 0), 0u);
    EXPECT_EQ(q->Init(500, &f, 600, 10, 1000, 1, 0, 0), 0u) << "hold-back beyond the ring";
    for (ULONG nth = 1; nth <= 2; ++nth) {
        SCOPED_TRACE(nth);
        FailAllocation(ZV_POOL_TAG_ZCAM, nth);
        EXPECT_EQ(q->Init(500, &f, 0, 10, 1000, 1, 0, 0), 0u);
        DataQueueState s;
        q->GetState(&s);
        EXPECT_FALSE(s.HasRing);
    }
    EXPECT_EQ(q->Init(500, &f, 0, 10, 1000, 1, 0, 0), 1u);
}

}  // namespace
