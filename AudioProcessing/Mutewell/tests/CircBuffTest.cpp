// CircBuff against a plain model of its bytes: every operation is followed by
// the ring's own invariant check; then steering, drift correction, waits on
// the manual clock, flushes and two threads at once.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

#include "CircBuff.h"
#include "ModuleTestSupport.h"
#include "kp/thread.h"

namespace {

using zvmodtest::ModuleTest;

constexpr ULONG kBlock = 160;  // 10 ms of 8 kHz 16-bit mono

class CircBuffTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        m_ring = new CircBuff;
        ASSERT_NE(m_ring, nullptr);
    }
    void TearDown() override {
        delete m_ring;
        ModuleTest::TearDown();
    }
    void Create(ULONG size, ULONG render = 0, ULONG bits = 16) {
        ASSERT_EQ(m_ring->Create(size, render, 1, 8000, bits, kBlock), 1u);
    }
    void ExpectConsistent() {
        const char* why = nullptr;
        EXPECT_TRUE(m_ring->CheckInvariant(&why)) << why;
    }
    ULONG Count(ULONG mode) {
        ULONG count = 0;
        m_ring->GetCount(&count, mode);
        return count;
    }

    CircBuff* m_ring = nullptr;
};

std::vector<UCHAR> Counter(ULONG n, ULONG& next) {
    std::vector<UCHAR> v(n);
    for (UCHAR& b : v) b = static_cast<UCHAR>(next++ % 251);
    return v;
}

// Without waiting, against a model: what each write takes and each read gives,
// the ring's counts and the invariant after every step.
TEST_F(CircBuffTest, WritesAndReadsWithoutWaitingAgreeWithAModel) {
    enum Op { kWrite, kRead, kFlush, kReset };
    struct Step {
        Op op;
        ULONG bytes;
        ULONG result;  // the call's answer
        ULONG count;   // *count afterwards
    };
    const Step steps[] = {
        {kWrite, 100, 1, 100},  // 640-byte ring holding 100
        {kRead, 160, 1, 100},   // 100 data bytes, then 60 of silence
        {kWrite, 700, 0, 640},  // more than the ring: nothing, count = writable
        {kWrite, 600, 1, 600}, {kRead, 500, 1, 500}, {kWrite, 540, 1, 540},  // wraps to full
        {kWrite, 10, 1, 0},                                                  // full: nothing fits
        {kRead, 640, 1, 640},                                                // wraps, empty again
        {kWrite, 640, 1, 640},  // equal positions after a write: full
        {kFlush, 0, 1, 0},     {kWrite, 10, 0, 0},   {kRead, 10, 0, 0},  // flushed
        {kReset, 0, 1, 0},     {kWrite, 10, 1, 10},  {kRead, 10, 1, 10},
    };
    Create(640);
    std::deque<UCHAR> model;
    ULONG next = 0;
    bool flushed = false;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        const Step& s = steps[i];
        SCOPED_TRACE(::testing::Message() << "step " << i);
        ULONG count = s.bytes;
        switch (s.op) {
            case kWrite: {
                ULONG before = next;
                std::vector<UCHAR> data = Counter(s.bytes, next);
                EXPECT_EQ(m_ring->WriteData(data.data(), &count, FALSE), s.result);
                EXPECT_EQ(count, s.count);
                ULONG taken = s.result != 0 && !flushed ? count : 0;
                model.insert(model.end(), data.begin(), data.begin() + taken);
                next = before + taken;
                break;
            }
            case kRead: {
                std::vector<UCHAR> out(s.bytes, 0xEE);
                EXPECT_EQ(m_ring->ReadData(out.data(), &count, FALSE), s.result);
                EXPECT_EQ(count, s.count);
                if (s.result != 0) {
                    for (ULONG b = 0; b < s.bytes; ++b) {
                        UCHAR expected = b < count ? model[b] : 0;
                        ASSERT_EQ(out[b], expected) << "byte " << b;
                    }
                    model.erase(model.begin(), model.begin() + count);
                }
                break;
            }
            case kFlush:
                EXPECT_EQ(m_ring->Flush(), 1u);
                model.clear();
                flushed = true;
                break;
            case kReset:
                m_ring->Reset();
                flushed = false;
                break;
        }
        EXPECT_EQ(Count(CircBuff::kReadable), model.size());
        EXPECT_EQ(Count(CircBuff::kWritable), 640 - model.size());
        ExpectConsistent();
    }
}

// The steering asks for a third of a block when the paced side finds the
// level out of band, but not again while that correction is still pending,
// not while the other side is idle (a mute), not at the waiting reads that
// fill the device's queue, and never beyond two blocks of frames.
TEST_F(CircBuffTest, SteeringAsksOnceWhileTheOtherSideMoves) {
    // 10 ms blocks of 160 in an 800-byte ring: under 320 readable (a read
    // leaves less than a block) inserts, from 640 on drops, 53 frames each.
    Create(800, 1);
    std::vector<UCHAR> data(800, 1), out(800);
    auto write = [&](ULONG n) {
        ULONG count = n;
        ASSERT_EQ(m_ring->WriteData(data.data(), &count, FALSE), 1u);
    };
    auto read = [&](ULONG n, ULONG wait = CircBuff::kNoWait) {
        ULONG count = n;
        m_ring->ReadData(out.data(), &count, wait);
    };
    write(330);
    read(10, CircBuff::kWaitForever);  // fills the device's queue: two blocks stay behind it
    EXPECT_EQ(Count(CircBuff::kReadable), 320u);
    read(150);
    EXPECT_EQ(m_ring->PendingDrift(), 0);
    write(10);
    read(10);  // the device's pace: low
    EXPECT_EQ(m_ring->PendingDrift(), 53);
    write(10);
    read(10);
    EXPECT_EQ(m_ring->PendingDrift(), 53) << "asked again while the correction is pending";
    m_ring->AddPendingDrift(-53);
    read(10);
    EXPECT_EQ(m_ring->PendingDrift(), 0) << "steered while nothing was written";
    write(10);
    read(10);
    EXPECT_EQ(m_ring->PendingDrift(), 53);
    write(700);  // high: the other way is asked for at once
    read(10);
    EXPECT_EQ(m_ring->PendingDrift(), 0);
    write(10);
    read(10);
    EXPECT_EQ(m_ring->PendingDrift(), -53);
    m_ring->AddPendingDrift(-10000);
    EXPECT_EQ(m_ring->PendingDrift(), -160) << "two blocks of frames at most";

    // A capture ring steers at its paced writes, once its reader has moved.
    Create(800, 0);
    m_ring->Reset();
    ULONG count = 160;
    ASSERT_EQ(m_ring->WriteCorrected(data.data(), &count, FALSE), 1u);
    EXPECT_EQ(count, 160u) << "steered before anything was read";
    for (LONGLONG left : {51, 49}) {
        read(Count(CircBuff::kReadable));
        count = 160;
        ASSERT_EQ(m_ring->WriteCorrected(data.data(), &count, FALSE), 1u);
        EXPECT_EQ(count, 164u);
        EXPECT_EQ(m_ring->PendingDrift(), left);
    }
    ExpectConsistent();
}

// A correction asked while the other side stopped (a mute) is void once the
// level starts again, a render ring dry or a capture ring trimmed after it
// overflowed: carried over, it would be applied to the next stretch of sound.
TEST_F(CircBuffTest, ARestartedLevelCarriesNoCorrection) {
    std::vector<UCHAR> data(800, 1);
    auto io = [&](bool write, ULONG n) {
        write ? m_ring->WriteData(data.data(), &n, FALSE)
              : m_ring->ReadData(data.data(), &n, FALSE);
    };
    for (ULONG render : {1u, 0u}) {
        Create(800, render);
        m_ring->Reset();
        io(true, render ? 480 : 800);  // a render ring's cushion, a capture ring full
        io(false, kBlock);             // the sound starts
        m_ring->AddPendingDrift(53);
        if (!render) io(true, 320);                     // overflows while nobody reads
        for (int i = 0; i < 3; ++i) io(false, kBlock);  // a render ring runs dry
        EXPECT_EQ(m_ring->PendingDrift(), 0) << render;
    }
}

// Pending drift changes the written length by the frames the corrector
// applies (2 of an 80-frame block at 20 in 1000) and keeps the rest pending;
// a block too short to correct goes in unchanged.  A capture ring's first
// block after a reset goes in behind two and a half blocks of silence.
TEST_F(CircBuffTest, DriftPendingChangesTheWrittenLengthByTheAppliedFrames) {
    struct Case {
        ULONG render;
        LONGLONG pending;
        ULONG bytes;
        ULONG written;
        LONGLONG left;
        ULONG readable;
    };
    const Case cases[] = {
        {1, 10, 160, 164, 8, 164}, {1, -10, 160, 156, -8, 156}, {1, 0, 160, 160, 0, 160},
        {1, 10, 4, 4, 10, 4},      // two frames: too short, written as they are
        {0, 0, 160, 160, 0, 560},  // a capture ring nobody read yet steers not
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.render << " " << c.pending << " " << c.bytes);
        Create(800, c.render);
        m_ring->Reset();
        m_ring->AddPendingDrift(c.pending);
        std::vector<UCHAR> data(c.bytes, 0x40);
        ULONG count = c.bytes;
        EXPECT_EQ(m_ring->WriteCorrected(data.data(), &count, FALSE), 1u);
        EXPECT_EQ(count, c.written);
        EXPECT_EQ(Count(CircBuff::kReadable), c.readable);
        EXPECT_EQ(m_ring->PendingDrift(), c.left);
        ExpectConsistent();
    }
}

TEST_F(CircBuffTest, FormatsTheCorrectorCannotTakeAreRefused) {
    EXPECT_EQ(m_ring->Create(0, 0, 1, 8000, 16, kBlock), 0u);
    EXPECT_EQ(m_ring->Create(640, 0, 1, 8000, 32, kBlock), 0u);
    EXPECT_EQ(m_ring->Create(640, 0, 6, 8000, 16, kBlock), 0u);
    FailAllocation(1);
    EXPECT_EQ(m_ring->Create(640, 0, 1, 8000, 16, kBlock), 0u);
    FailAllocation(2);  // the corrector
    EXPECT_EQ(m_ring->Create(640, 0, 1, 8000, 16, kBlock), 0u);
    KpPoolClearFailures();
    EXPECT_EQ(m_ring->Size(), 0u);
    ExpectConsistent();
    EXPECT_EQ(m_ring->Create(640, 0, 1, 8000, 8, kBlock), 1u);
    UCHAR out[4];
    ULONG count = sizeof out;
    m_ring->ReadData(out, &count, FALSE);
    EXPECT_EQ(out[3], 0x80);  // 8-bit silence
}

// Waiting calls on the manual clock: they wait across 5 ms time-outs and are
// released by data, by room, or by a flush.
class CircBuffWaitTest : public CircBuffTest {
protected:
    void SetUp() override {
        CircBuffTest::SetUp();
        UseManualClock();
    }
    // Runs `call` on its own thread once it blocks in the ring's wait.
    template <class F>
    std::thread Blocked(F call, std::atomic<bool>& done) {
        const ULONG waiting = KpBlockedWaiterCount();
        std::thread t([&done, call] {
            call();
            done = true;
        });
        while (KpBlockedWaiterCount() == waiting && !done) std::this_thread::yield();
        return t;
    }
    // Joins `t` once `done` holds; a call that never returns fails the run
    // within seconds rather than hanging it.
    static void Join(std::thread& t, const std::atomic<bool>& done, const char* what) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
        if (!done) {
            ADD_FAILURE() << what << " never returned";
            std::abort();  // the thread cannot be joined
        }
        t.join();
    }
};

TEST_F(CircBuffWaitTest, AWaitingReadOutlastsTimeOutsAndTakesTheDataWhenItComes) {
    Create(640);
    std::atomic<bool> done{false};
    std::vector<UCHAR> out(200);
    ULONG count = 200, result = 9;
    std::thread reader =
        Blocked([&] { result = m_ring->ReadData(out.data(), &count, TRUE); }, done);
    ULONG next = 0;
    std::vector<UCHAR> first = Counter(120, next), second = Counter(120, next);
    ULONG n = 120;
    m_ring->WriteData(first.data(), &n, FALSE);
    Advance(KpMs(20));  // four time-outs
    EXPECT_FALSE(done);
    n = 120;
    m_ring->WriteData(second.data(), &n, FALSE);
    Join(reader, done, "the waiting read");
    EXPECT_EQ(result, 1u);
    ASSERT_EQ(count, 200u);
    for (ULONG i = 0; i < 200; ++i) ASSERT_EQ(out[i], i % 251) << i;
    EXPECT_EQ(Count(CircBuff::kReadable), 40u);
}

TEST_F(CircBuffWaitTest, AWaitingWriteTakesTheRoomAReadMakes) {
    Create(640);
    std::vector<UCHAR> fill(600, 1), more(100, 2), out(80);
    ULONG n = 600;
    m_ring->WriteData(fill.data(), &n, FALSE);
    std::atomic<bool> done{false};
    ULONG count = 100, result = 9;
    std::thread writer =
        Blocked([&] { result = m_ring->WriteData(more.data(), &count, TRUE); }, done);
    Advance(KpMs(12));
    EXPECT_FALSE(done);
    n = 80;
    m_ring->ReadData(out.data(), &n, FALSE);
    Join(writer, done, "the waiting write");
    EXPECT_EQ(result, 1u);
    EXPECT_EQ(count, 100u);
    EXPECT_EQ(Count(CircBuff::kReadable), 620u);
    ExpectConsistent();
}

// A bounded write that timed out leaves the writer late: the next ones drop
// what does not fit at once, so a stalled reader does not stall the
// writer's threads for every buffer, until a read has made room.
TEST_F(CircBuffWaitTest, AWriteThatTimedOutDropsAtOnceUntilTheReaderMoves) {
    Create(640);
    m_ring->SetWaitLimit(20);
    std::vector<UCHAR> data(640, 1);
    ULONG count = 640, read = kBlock;
    m_ring->WriteData(data.data(), &count, FALSE);
    auto bounded = [&] {
        count = kBlock;
        return m_ring->WriteData(data.data(), &count, CircBuff::kWaitBounded);
    };
    std::atomic<bool> done{false}, again{false};
    std::thread writer = Blocked(bounded, done);
    Advance(KpMs(20));
    Join(writer, done, "the bounded write");
    std::thread late = Blocked(bounded, again);
    EXPECT_TRUE(again) << "a late writer waited again";
    Advance(KpMs(20));  // releases it
    Join(late, again, "the late write");
    m_ring->ReadData(data.data(), &read, FALSE);
    EXPECT_EQ(bounded(), 1u);
    EXPECT_EQ(count, kBlock) << "the reader moved: the writer writes again";
}

// A flush ends every wait, also a second waiter whose abort the first took.
TEST_F(CircBuffWaitTest, AFlushReleasesAWaitingReaderAndAWaitingWriter) {
    Create(640);
    std::vector<UCHAR> fill(600, 1), more(100, 2), out(620);
    ULONG n = 600;
    m_ring->WriteData(fill.data(), &n, FALSE);
    std::atomic<bool> readerDone{false}, writerDone{false};
    ULONG readCount = 620, readResult = 9, writeCount = 100, writeResult = 9;
    std::thread reader =
        Blocked([&] { readResult = m_ring->ReadData(out.data(), &readCount, TRUE); }, readerDone);
    std::thread writer = Blocked(
        [&] { writeResult = m_ring->WriteData(more.data(), &writeCount, TRUE); }, writerDone);
    m_ring->Flush();
    for (int i = 0; i < 400 && !(readerDone && writerDone); ++i) {
        Advance(KpMs(5));
        std::this_thread::yield();
    }
    Join(reader, readerDone, "the waiting read");
    Join(writer, writerDone, "the waiting write");
    EXPECT_EQ(readResult, 0u);
    EXPECT_EQ(readCount, 0u);
    EXPECT_EQ(writeResult, 0u);
    EXPECT_EQ(writeCount, 0u);
    EXPECT_EQ(KeReadStateEvent(m_ring->FlushedEvent()), 1);
    ExpectConsistent();
}

// A flush from another thread (a stream that stops) while a reader drains
// the ring: every read before it gives the bytes in order, and once a read
// has found the flushed ring empty, it and every read after it take nothing.
TEST_F(CircBuffWaitTest, AFlushWhileAReaderDrainsEndsItsReadsCleanly) {
    Create(640);
    for (int round = 0; round < 200 && !HasFailure(); ++round) {
        SCOPED_TRACE(round);
        m_ring->Reset();
        ULONG next = 0;
        std::vector<UCHAR> data = Counter(600, next);
        ULONG n = 600;
        ASSERT_EQ(m_ring->WriteData(data.data(), &n, FALSE), 1u);
        std::atomic<bool> done{false};
        ULONG got = 0, lastCount = 9, misordered = 0, after = 0;
        std::thread reader([&] {
            for (;;) {
                UCHAR out[7];
                ULONG count = sizeof out;
                const ULONG result = m_ring->ReadData(out, &count, FALSE);
                for (ULONG i = 0; i < count; ++i) misordered += out[i] != (got + i) % 251;
                got += count;
                if (result == 0) {
                    lastCount = count;
                    break;
                }
            }
            UCHAR out[7];
            ULONG count = sizeof out;
            after = m_ring->ReadData(out, &count, FALSE) + count;
            done = true;
        });
        if (round % 2 == 1) std::this_thread::yield();
        m_ring->Flush();
        Join(reader, done, "the draining reader");
        EXPECT_EQ(misordered, 0u);
        EXPECT_LE(got, 600u);
        EXPECT_EQ(lastCount, 0u) << "the read that found the flush took nothing";
        EXPECT_EQ(after, 0u) << "a read after the flush";
        EXPECT_EQ(KeReadStateEvent(m_ring->FlushedEvent()), 1);
        ExpectConsistent();
    }
}

// A writer and a reader on their own threads, each with its own piece sizes
// (together never more than the ring, so that one can always go on), waiting
// on each other: every byte arrives once and in order.
TEST_F(CircBuffWaitTest, TwoThreadsPassEveryByteOnceInOrder) {
    Create(640);
    constexpr ULONG kTotal = 200000;
    std::atomic<bool> written{false};
    std::thread writer([&] {
        [&] {
            ULONG next = 0, sizes[] = {7, 160, 333, 250, 1};
            for (ULONG k = 0; next < kTotal; ++k) {
                ULONG n = std::min(sizes[k % 5], kTotal - next);
                std::vector<UCHAR> data = Counter(n, next);
                ULONG count = n;
                ASSERT_EQ(m_ring->WriteData(data.data(), &count, TRUE), 1u);
                ASSERT_EQ(count, n);
            }
        }();
        written = true;
    });
    ULONG got = 0, sizes[] = {160, 13, 300, 99};
    for (ULONG k = 0; got < kTotal; ++k) {
        ULONG n = std::min(sizes[k % 4], kTotal - got);
        std::vector<UCHAR> out(n);
        ULONG count = n;
        ASSERT_EQ(m_ring->ReadData(out.data(), &count, TRUE), 1u);
        ASSERT_EQ(count, n);
        for (ULONG i = 0; i < n; ++i) ASSERT_EQ(out[i], (got + i) % 251) << got + i;
        got += n;
    }
    Join(writer, written, "the writer");
    ExpectConsistent();
}

}  // namespace
