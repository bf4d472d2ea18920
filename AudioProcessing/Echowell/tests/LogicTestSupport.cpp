#include "LogicTestSupport.h"

#include "CKAUDPBRes.h"
#include "CKAUDPCMix.h"
#include "CKAUDPEAEC.h"
#include "CKAUDPFCnv.h"
#include "CKAUDPWAVC.h"
#include "FilterLogicServices.h"
#include "FrameworkTesting.h"
#include "MemAlloc.h"
#include "kp/pool.h"

namespace zvecho {

ChannelFormat Pcm(ULONG rate, ULONG bits, ULONG channels) {
    ChannelFormat f{};
    f.FormatTagAndChannels = 1 | (channels << 16);
    f.SamplesPerSec = rate;
    f.AvgBytesPerSec = rate * bits * channels / 8;
    f.BitsPerSample = bits;
    f.ChannelMask = channels == 1 ? 4 : channels == 2 ? 3 : 0x3F;
    return f;
}

void LogicTest::LoadMaster() {
    ASSERT_EQ(OnFilterLoad(nullptr, 1, nullptr, nullptr), ZV_OK);
}

void LogicTest::OpenChannel(ULONG direction, const ChannelFormat& format) {
    ASSERT_EQ(AcquireChannel(1, direction, nullptr, nullptr, nullptr), ZV_OK);
    ASSERT_EQ(SetChannelFormat(1, direction, &format), ZV_OK);
}

void InitLogicQueues() {
    ChannelFormat render, capture;
    ASSERT_EQ(GetChannelFormat(1, CHANNEL_RENDER, &render), ZV_OK);
    ASSERT_EQ(GetChannelFormat(1, CHANNEL_CAPTURE, &capture), ZV_OK);
    ASSERT_EQ(g_pDataQueue1->Init(4000, &render, 0, 10, 1000, 1, 0, 0), 1u);
    ASSERT_EQ(g_pDataQueue2->Init(570, &render, 70, 10, 1000, 1, 0, 1), 1u);
    ASSERT_EQ(g_pDataQueue3->Init(500, &capture, 70, 10, 1000, 1, 0, 0), 1u);
    ASSERT_EQ(g_pDataQueue4->Init(500, &capture, 35, 10, 1000, 1, 0, 0), 1u);
}

std::string LogicTest::Describe(const AecGraph& graph) {
    const std::pair<const void*, const char*> names[] = {
        {g_pAecModule, "AEC"},
        {InFmtConv1, "InFmtConv1"},
        {InFmtConv2, "InFmtConv2"},
        {InResampler1, "InResampler1"},
        {OutFmtConv1, "OutFmtConv1"},
        {OutFmtConv2, "OutFmtConv2"},
        {OutFmtConv3, "OutFmtConv3"},
        {OutFmtConv4, "OutFmtConv4"},
        {OutResampler1, "OutResampler1"},
        {OutResampler2, "OutResampler2"},
    };
    const DataQueue* queues[] = {g_pDataQueue1, g_pDataQueue2, g_pDataQueue3, g_pDataQueue4};
    std::string out;
    for (const AecGraphStage& s : graph.Stages) {
        if (!s.InUse) break;
        if (!out.empty()) out += ' ';
        if (s.Allocator) {
            ULONG size = 0;
            s.Pool->GetBufferSize(&size);
            out += "A" + std::to_string(size);
        } else if (s.Queue != nullptr) {
            for (int i = 0; i < 4; ++i)
                if (queues[i] == s.Queue) out += (s.Read ? "R" : "W") + std::to_string(i + 1);
        } else {
            for (auto& n : names)
                if (n.first == s.Module) out += n.second;
            if (s.Pin != 0) out += "/" + std::to_string(s.Pin);
        }
    }
    return out;
}

ULONGLONG LogicTest::LiveBytes() {
    MemStatistics stats;
    MemGetStatistics(&stats);
    return stats.NonPagedBytes + stats.PagedBytes;
}

}  // namespace zvecho
