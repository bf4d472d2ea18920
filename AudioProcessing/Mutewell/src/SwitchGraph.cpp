// The switch graphs: the speaker (In) graph turns the slave's render data into
// the bridge format for the audio sink, the microphone (Out) graph turns the
// audio source's data into the slave's capture format.  Both run in whole
// 10 ms pieces of the slave's format, so that every stage's input is exactly
// what its one-buffer pool was sized for.
#include <cstring>

#include "CKAUDPASrc.h"
#include "CKAUDPBRes.h"
#include "CKAUDPFCnv.h"
#include "CKAUDPSiBu.h"
#include "FilterLogicServices.h"
#include "MemAlloc.h"
#include "MutewellLogic.h"
#include "ZDebug.h"

namespace {

using Log = LogModule<LogModuleFilterLogic>;

constexpr ULONG kPieceMs = 10;
// The mapping of the format converter that uses its conversion table.
constexpr ULONG kLayoutMapping = 1;
constexpr ULONG kResamplerQuality = 1;

void ConfigureMute(CKAUDPSiBu* mute, const ChannelFormat& format) {
    if (mute == nullptr) return;
    (void)mute->SetPropertyDword(CKAUDPSiBu::kPropBits, FormatBits(format));
    (void)mute->SetPropertyDword(CKAUDPSiBu::kPropChannels, FormatChannels(format));
    (void)mute->SetPropertyDword(CKAUDPSiBu::kPropRate, format.SamplesPerSec);
    (void)mute->SetPropertyDword(CKAUDPSiBu::kPropSilent, 1);
}

// Appends an allocator stage of one 10 ms buffer in (rate, bits, channels).
ZvStatus AddPool(SwitchGraph* graph, ULONG* next, ULONG rate, ULONG bits, ULONG channels,
                 ULONG source) {
    if (*next >= kSwitchGraphStages) return ZV_FAILED;
    IBufferPool* pool = new BufferPool();
    ZvStatus status = pool == nullptr ? ZV_NO_MEMORY
                                      : pool->InitFormat(1, rate, static_cast<USHORT>(bits),
                                                         static_cast<USHORT>(channels), kPieceMs);
    if (status != ZV_OK) {
        Log::ModulePrint(1, "InitGraph> Allocator Init Failed status - 0x%lx \n", status);
        delete pool;
        return status;
    }
    SwitchGraphStage& stage = graph->Stages[(*next)++];
    stage.InUse = 1;
    stage.Allocator = 1;
    stage.Source = source;
    stage.Pool = pool;
    return ZV_OK;
}

ZvStatus AddModule(SwitchGraph* graph, ULONG* next, CKAUDPModule* module) {
    if (*next >= kSwitchGraphStages || module == nullptr) return ZV_FAILED;
    SwitchGraphStage& stage = graph->Stages[(*next)++];
    stage.InUse = 1;
    stage.Module = module;
    return ZV_OK;
}

ZvStatus SetConverter(CKAUDPFCnv* converter, const ChannelFormat& from, const ChannelFormat& to) {
    const ULONG values[][2] = {
        {CKAUDPFCnv::kPropInBits, FormatBits(from)},
        {CKAUDPFCnv::kPropInChannels, FormatChannels(from)},
        {CKAUDPFCnv::kPropInMask, from.ChannelMask},
        {CKAUDPFCnv::kPropOutBits, FormatBits(to)},
        {CKAUDPFCnv::kPropOutChannels, FormatChannels(to)},
        {CKAUDPFCnv::kPropOutMask, to.ChannelMask},
        {CKAUDPFCnv::kPropMapping, kLayoutMapping},
    };
    for (const auto& v : values) {
        ZvStatus status = converter->SetPropertyDword(v[0], v[1]);
        if (status != ZV_OK) return status;
    }
    return ZV_OK;
}

ZvStatus SetResampler(CKAUDPBRes* resampler, ULONG from, ULONG to) {
    ZvStatus status = resampler->SetPropertyDword(CKAUDPBRes::kPropInputRate, from);
    if (status == ZV_OK) status = resampler->SetPropertyDword(CKAUDPBRes::kPropOutputRate, to);
    if (status == ZV_OK)
        status = resampler->SetPropertyDword(CKAUDPBRes::kPropQuality, kResamplerQuality);
    return status;
}

// Adds the stages from `current` to `target`: [16-bit mono converter] and a
// resampler when the rates differ, then a converter to the target's width and
// channels when those differ.  `current` follows.
ZvStatus AddConversion(SwitchGraph* graph, ULONG* next, ChannelFormat* current,
                       const ChannelFormat& target, CKAUDPFCnv* first, CKAUDPBRes* resampler,
                       CKAUDPFCnv* last) {
    ZvStatus status = ZV_OK;
    if (current->SamplesPerSec != target.SamplesPerSec) {
        if (FormatBits(*current) != 16 || FormatChannels(*current) != 1) {
            const ChannelFormat mono = Mono16Format(current->SamplesPerSec);
            status = AddPool(graph, next, mono.SamplesPerSec, 16, 1, 0);
            if (status == ZV_OK) status = SetConverter(first, *current, mono);
            if (status == ZV_OK) status = AddModule(graph, next, first);
            if (status != ZV_OK) return status;
            *current = mono;
        }
        status = AddPool(graph, next, target.SamplesPerSec, 16, 1, 0);
        if (status == ZV_OK)
            status = SetResampler(resampler, current->SamplesPerSec, target.SamplesPerSec);
        if (status == ZV_OK) status = AddModule(graph, next, resampler);
        if (status != ZV_OK) return status;
        *current = Mono16Format(target.SamplesPerSec);
    }
    if (FormatBits(*current) == FormatBits(target) &&
        FormatChannels(*current) == FormatChannels(target))
        return ZV_OK;
    status =
        AddPool(graph, next, target.SamplesPerSec, FormatBits(target), FormatChannels(target), 0);
    if (status == ZV_OK) status = SetConverter(last, *current, target);
    if (status == ZV_OK) status = AddModule(graph, next, last);
    if (status == ZV_OK) *current = target;
    return status;
}

// 10 ms of `format` in whole frames, and the carry buffer of that size.
ZvStatus InitCarry(SwitchGraph* graph, const ChannelFormat& format) {
    const ULONG frame = FrameBytesOf(format);
    const ULONGLONG bytes =
        static_cast<ULONGLONG>(format.SamplesPerSec / (1000 / kPieceMs)) * frame;
    if (bytes == 0 || bytes > MEM_MAX_REQUEST) return ZV_FAILED;
    graph->Carry = static_cast<PUCHAR>(MemAlloc(static_cast<ULONG>(bytes)));
    if (graph->Carry == nullptr) return ZV_NO_MEMORY;
    graph->PieceBytes = static_cast<ULONG>(bytes);
    graph->CarryBytes = 0;
    graph->CarryOffset = 0;
    return ZV_OK;
}

void FreeSwitchGraph(SwitchGraph* graph) {
    for (SwitchGraphStage& stage : graph->Stages) {
        if (!stage.InUse) break;
        if (!stage.Allocator || stage.Pool == nullptr) continue;
        if (stage.Buffer != nullptr) (void)stage.Pool->PutBuffer(stage.Buffer);
        (void)stage.Pool->Free();
        delete stage.Pool;
    }
    MemFree(graph->Carry);
    RtlZeroMemory(graph, sizeof *graph);
}

void ReleaseBuffers(SwitchGraph* graph) {
    for (SwitchGraphStage& stage : graph->Stages) {
        if (!stage.InUse) break;
        if (stage.Allocator && stage.Buffer != nullptr) {
            (void)stage.Pool->PutBuffer(stage.Buffer);
            stage.Buffer = nullptr;
        }
    }
}

// The machine time by which the bridge's waits for one buffer of the
// application end.
ULONGLONG BufferDeadline() {
    return KeQueryInterruptTime() + static_cast<ULONGLONG>(kBridgeWaitMs) * 10000;
}

// Runs the stages after the first `from` over one piece; *data and *bytes
// follow the last stage's output.  The module stages' last status; a stage
// that fails ends the walk.
ZvStatus WalkStages(SwitchGraph* graph, ULONG from, PVOID* data, ULONG* bytes, ULONGLONG side) {
    ZvStatus status = ZV_OK;
    PVOID held = nullptr;
    ULONG heldBytes = 0;
    for (ULONG i = from; i < kSwitchGraphStages && graph->Stages[i].InUse; ++i) {
        SwitchGraphStage& stage = graph->Stages[i];
        if (stage.Allocator) {
            status = stage.Pool->GetBuffer(&stage.Buffer, 0);
            if (status == ZV_OK) status = stage.Pool->GetBufferSize(&heldBytes);
            if (status != ZV_OK) return status;
            held = stage.Buffer;
            continue;
        }
        ULONGLONG value = side;
        status = stage.Module->SubmitPinData(0, *data, *bytes, held, heldBytes, &value);
        if (status != ZV_OK) return status;
        *data = held;
        *bytes = heldBytes;
    }
    return status;
}

// The bridge's format and the channel's, logged under `caller` when either
// cannot be had; the channel's format becomes the direction's saved format
// and configures its mute module.
ZvStatus GraphFormats(PCSTR caller, LONG channel, ULONG direction, ChannelFormat* required,
                      ChannelFormat* format) {
    ZvStatus status = GetRequiredFunctionFormat(channel, direction, required);
    if (status != ZV_OK) {
        Log::ModulePrint(1, "%s> GetRequiredFunctionFormat() Failed status - 0x%lx \n", caller,
                         status);
        return status;
    }
    status = GetChannelFormat(channel, direction, format);
    if (status != ZV_OK) {
        Log::ModulePrint(1, "%s> GetChannelFormat() Failed status - 0x%lx \n", caller, status);
        return status;
    }
    const bool render = direction == CHANNEL_RENDER;
    (render ? g_SavedRenderFormat : g_SavedCaptureFormat) = *format;
    ConfigureMute(render ? InCSiBu : OutCSiBu, *format);
    return ZV_OK;
}

}  // namespace

ZvStatus InitGraph(CGenDisp* genDisp, ULONG direction, ULONG state, LONG channel) {
    (void)genDisp;
    (void)state;
    ChannelFormat required, format;
    ZvStatus status = GraphFormats("InitGraph", channel, direction, &required, &format);
    if (status != ZV_OK) return status;
    FreeInGraph();
    status = InitCarry(&g_InGraph, format);
    if (status != ZV_OK) return status;
    ULONG next = 0;
    ChannelFormat current = format;
    return AddConversion(&g_InGraph, &next, &current, required, InCFCnv1, InCBRes, InCFCnv2);
}

ZvStatus InitOutGraph(CGenDisp* genDisp, ULONG direction, ULONG state, LONG channel) {
    (void)genDisp;
    (void)state;
    ChannelFormat required, format;
    ZvStatus status = GraphFormats("InitOutGraph", channel, direction, &required, &format);
    if (status != ZV_OK) return status;
    FreeOutGraph();
    status = InitCarry(&g_OutGraph, format);
    if (status != ZV_OK) return status;
    ULONG next = 0;
    if (direction == CHANNEL_CAPTURE) {
        status = AddPool(&g_OutGraph, &next, 8000, 16, 1, 1);
        if (status != ZV_OK) return status;
    }
    ChannelFormat current = required;
    return AddConversion(&g_OutGraph, &next, &current, format, OutCFCnv1, OutCBRes, OutCFCnv2);
}

ZvStatus InitChannelGraph(CGenDisp* genDisp, ULONG direction, ULONG state, LONG channel) {
    return direction == CHANNEL_RENDER ? InitGraph(genDisp, direction, state, channel)
                                       : InitOutGraph(genDisp, direction, state, channel);
}

void FreeInGraph() {
    FreeSwitchGraph(&g_InGraph);
}
void FreeOutGraph() {
    FreeSwitchGraph(&g_OutGraph);
}
void FreeGraph(ULONG direction) {
    if (direction == CHANNEL_RENDER) {
        FreeInGraph();
    } else {
        FreeOutGraph();
    }
}
void ReleaseInGraphBuffers() {
    ReleaseBuffers(&g_InGraph);
}
void ReleaseOutGraphBuffers() {
    ReleaseBuffers(&g_OutGraph);
}

// The slave's render data goes to the master in whole 10 ms pieces (a rest
// waits in the carry for the next buffer); each piece is converted and
// written to the sink, and a piece whose conversion failed is not sent.  Then
// the slave's own loudspeaker data fades out in place.  Returns ZV_FAILED when
// the sink refused a piece, else the last module status.
ZvStatus ProcessBuffer(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length,
                       LONG channel, PFILE_OBJECT pinFile) {
    (void)genDisp;
    (void)direction;
    (void)channel;
    (void)pinFile;
    const ChannelFormat format = g_SavedRenderFormat;
    SwitchGraph* graph = &g_InGraph;
    if (format.AvgBytesPerSec == 0 || graph->Carry == nullptr) return ZV_FAILED;
    ULONGLONG side = static_cast<ULONG>(InterlockedRead(&g_lSpeakerBridgeCount));
    ZvStatus last = ZV_OK;
    bool sinkFailed = false;
    // Every stream of every hooked device waits while this buffer is in
    // the sink: its pieces share one bound for their waits on the ring.
    ULONGLONG deadline = BufferDeadline();
    const ULONG piece = graph->PieceBytes;

    ForEachHeaderData(headers, length, [&](PUCHAR data, ULONG used) {
        for (ULONG offset = 0; offset < used && !sinkFailed;) {
            PVOID current;
            if (graph->CarryBytes != 0 || used - offset < piece) {
                ULONG n = piece - graph->CarryBytes;
                if (n > used - offset) n = used - offset;
                std::memcpy(graph->Carry + graph->CarryBytes, data + offset, n);
                graph->CarryBytes += n;
                offset += n;
                if (graph->CarryBytes < piece) break;
                graph->CarryBytes = 0;
                current = graph->Carry;
            } else {
                current = data + offset;
                offset += piece;
            }
            ULONG bytes = piece;
            last = WalkStages(graph, 0, &current, &bytes, side++);
            if (last == ZV_OK && g_pAudioSink->SubmitPinData(0, current, bytes, nullptr, 0,
                                                             &deadline) == ZV_FAILED) {
                Log::ModulePrint(
                    1, "ProcessBuffer> SubmitPinData( Write ) Failed status - 0x%lx \n", ZV_FAILED);
                sinkFailed = true;
            }
            ReleaseInGraphBuffers();
        }
    });
    // The slave's own loudspeaker fades out and falls silent while bridged,
    // whatever the sink answered.  Each piece takes the count as it passes (a
    // fade count of 0 restarts the fade at the first piece only), so the fade
    // is over after 1/20 s of frames however the application cuts its buffers.
    ForEachMutePiece(headers, length, format, [&](PUCHAR data, ULONG bytes) {
        ULONGLONG value = static_cast<ULONG>(InterlockedIncrement(&g_lSpeakerFadeCount) - 1);
        (void)InCSiBu->SubmitPinData(0, data, bytes, data, bytes, &value);
    });
    if (sinkFailed) {
        graph->CarryBytes = 0;
        return ZV_FAILED;
    }
    return last;
}

// The slave's capture data is replaced by the master's, converted: whole
// converted 10 ms blocks are copied into the buffer, and what a block has
// beyond the buffer's end is carried to the next buffer.  When the source
// has nothing (the master stopped streaming) or a stage fails, the rest of
// the buffer becomes silence and the result is 1: no raw microphone bytes of
// the slave stay behind.
ZvStatus ProcessOutBuffer(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length,
                          LONG channel, PFILE_OBJECT pinFile) {
    (void)genDisp;
    (void)direction;
    (void)channel;
    (void)pinFile;
    const ChannelFormat format = g_SavedCaptureFormat;
    SwitchGraph* graph = &g_OutGraph;
    if (format.AvgBytesPerSec == 0 || graph->Carry == nullptr) return ZV_FAILED;
    ULONGLONG side = static_cast<ULONG>(InterlockedRead(&g_lMicBridgeCount));
    ZvStatus last = ZV_OK;
    bool failed = false;
    const UCHAR silence = FormatBits(format) == 8 ? 0x80 : 0;
    ULONGLONG deadline = BufferDeadline();  // one bound for the whole buffer

    ForEachHeaderData(headers, length, [&](PUCHAR data, ULONG used) {
        ULONG offset = 0;
        while (offset < used && !failed) {
            if (graph->CarryBytes != 0) {
                ULONG n = graph->CarryBytes < used - offset ? graph->CarryBytes : used - offset;
                std::memcpy(data + offset, graph->Carry + graph->CarryOffset, n);
                graph->CarryOffset += n;
                graph->CarryBytes -= n;
                offset += n;
                continue;
            }
            SwitchGraphStage& first = graph->Stages[0];
            ULONG bytes = 0;
            PVOID current = nullptr;
            last =
                first.InUse && first.Source ? first.Pool->GetBuffer(&first.Buffer, 0) : ZV_FAILED;
            if (last == ZV_OK) last = first.Pool->GetBufferSize(&bytes);
            if (last == ZV_OK) {
                last = g_pAudioSource->SubmitPinData(0, nullptr, 0, first.Buffer, bytes, &deadline);
                if (last != ZV_OK) {
                    Log::ModulePrint(
                        1, "ProcessBuffer> SubmitPinData( Read ) Failed status - 0x%lx \n", last);
                }
            }
            current = first.Buffer;
            if (last == ZV_OK) last = WalkStages(graph, 1, &current, &bytes, side++);
            if (last != ZV_OK || current == nullptr || bytes == 0) {
                if (last == ZV_OK) {
                    Log::ModulePrint(
                        1, "ProcessOutBuffer> if(pv10msInBuffer && pcHdrBuffer)Failed!!! \n");
                    last = ZV_FAILED;
                }
                failed = true;
                ReleaseOutGraphBuffers();
                break;
            }
            ULONG n = bytes < used - offset ? bytes : used - offset;
            std::memcpy(data + offset, current, n);
            offset += n;
            if (n < bytes && bytes - n <= graph->PieceBytes) {
                std::memcpy(graph->Carry, static_cast<PUCHAR>(current) + n, bytes - n);
                graph->CarryOffset = 0;
                graph->CarryBytes = bytes - n;
            }
            ReleaseOutGraphBuffers();
        }
        if (failed) std::memset(data + offset, silence, used - offset);
    });
    return failed ? ZV_FAILED : last;
}
