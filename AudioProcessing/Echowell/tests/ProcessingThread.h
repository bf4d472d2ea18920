// The processing chains built as a start builds them (ChainTest), and the
// audio processing thread over them, in-process (ThreadTest): a test feeds
// 10 ms blocks into queues 1 and 3 and lets the thread run until the Out
// chain has made as many passes.
#pragma once

#include <thread>
#include <vector>

#include "LogicTestSupport.h"
#include "kp/thread.h"

namespace zvecho {

class ChainTest : public LogicTest {
protected:
    // Channel 1 of each direction open with its format, both chains built at
    // the rate mode, the queues sized and the timing reset, as a start
    // leaves them.
    static void BuildChains(const ChannelFormat& render, const ChannelFormat& capture, ULONG mode) {
        OpenChannel(1, render);
        OpenChannel(2, capture);
        g_ulRateMode = mode;
        ASSERT_EQ(InitOutGraph(2, 1), ZV_OK);
        ASSERT_EQ(InitInGraph(1, 1), ZV_OK);
        InitQueues();
        ResetAecTiming();
    }
};

class ThreadTest : public ChainTest {
protected:
    void Start(const ChannelFormat& render, const ChannelFormat& capture, ULONG mode,
               LONG processing = 1) {
        LoadMaster();
        InterlockedExchange(&g_bProcessing, processing);
        ASSERT_NO_FATAL_FAILURE(BuildChains(render, capture, mode));
        // As a start does: no own render request is out.
        KeSetEvent(&g_AllIrpsCompleteEvent, IO_NO_INCREMENT, FALSE);
        ASSERT_TRUE(NT_SUCCESS(StartAudioProcThread()));
        InterlockedExchange(&g_bAecActive, 1);
    }
    void Stop() {
        InterlockedExchange(&g_bAecActive, 0);
        for (DataQueue* q : {g_pDataQueue1, g_pDataQueue2, g_pDataQueue3, g_pDataQueue4})
            q->Abort();
        EXPECT_EQ(StopAudioProcThread(), STATUS_SUCCESS);
    }
    static void Write(DataQueue* q, const std::vector<UCHAR>& data) {
        ULONG n = static_cast<ULONG>(data.size());
        ASSERT_EQ(q->PutData(data.data(), &n, 1), 1u);
    }
    static void AwaitOutPasses(ULONGLONG n) {
        while (static_cast<ULONGLONG>(InterlockedExchangeAdd64(&g_AecTiming.OutPasses, 0)) < n ||
               KpBlockedWaiterCount() == 0)
            std::this_thread::yield();
    }
};

// 16-bit noise of `bytes`, a sequence fixed by `seed`.
inline std::vector<UCHAR> Tone(size_t bytes, ULONG seed) {
    std::vector<UCHAR> v(bytes);
    ULONG x = seed;
    for (size_t i = 0; i < bytes; i += 2) {
        x = x * 1103515245 + 12345;
        SHORT s = static_cast<SHORT>((x >> 16) % 8000 - 4000);
        v[i] = static_cast<UCHAR>(s);
        if (i + 1 < bytes) v[i + 1] = static_cast<UCHAR>(s >> 8);
    }
    return v;
}

}  // namespace zvecho
