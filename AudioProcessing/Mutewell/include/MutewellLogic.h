// Mutewell's switch-and-mute filter logic: the callbacks the framework calls
// through the driver's descriptor, the driver-wide state behind them, the two
// switch graphs and the private property set.
//
// The logic serves one master device (the camera, whose own audio filter the
// bridge opens from kernel mode through the audio source and sink modules)
// and any number of slave devices.  The first pin of each direction on a
// slave takes channel 1: while the switch is on its render buffers go to the
// master (speaker graph -> sink) and its capture buffers are filled from the
// master (source -> microphone graph).  Either direction can be muted with a
// fade.  Pins on the master device get no channel and only the mute paths
// touch them.
//
// Locks and threads:
//  - g_SwitchMutex (a kernel mutex, PASSIVE_LEVEL, initialised once per
//    image) serialises everything that changes a bridge module's state, a
//    graph or the modules themselves: SwitchControl (from the property set),
//    OnSetStreamState and OnSetChannelState (from the streams), OnFilterLoad
//    and OnFilterUnload.  Each tests the loaded flag again once it holds the
//    mutex.  Order: the framework's sync-control lock -> g_SwitchMutex.
//  - OnKSProperty counts itself in g_PropertiesInFlight; the master's unload
//    clears the loaded flag, waits those calls out, then takes the mutex.
//  - OnBuffer runs under the sync-control lock and takes no lock of its own;
//    it counts itself in g_BuffersInFlight[direction].  A control path that
//    pauses or stops a direction's module or frees its graph first clears
//    the direction's started flag, then waits until no OnBuffer of that
//    direction is in flight (their ring waits are bounded), and only then
//    touches the module or the graph.
//  - The flags and counts below are 32-bit words written and read with
//    interlocked operations; the mute counts are written without a lock.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "BufferPool.h"
#include "CKAUDPModule.h"
#include "MutewellControl.h"
#include "FilterLogic.h"
#include "LogicCommon.h"

class CKAUDPASrc;
class CKAUDPASnk;
class CKAUDPSiBu;
class CKAUDPFCnv;
class CKAUDPBRes;

enum MuteMode : ULONG {
    MUTE_NONE = 0,
    MUTE_MIC = 1,
    MUTE_SPEAKER = 2,
    MUTE_BOTH = 3,
};

enum SwitchMuteId : ULONG {
    KSPROPERTY_SWITCHMUTE_BWLIMIT = 3,
    KSPROPERTY_SWITCHMUTE_PROCESS = 4,
    KSPROPERTY_SWITCHMUTE_SWITCH = 5,
    KSPROPERTY_SWITCHMUTE_MUTE = 6,
};

// ---------------------------------------------------------------------------
// Switch graphs
// ---------------------------------------------------------------------------
inline constexpr ULONG kSwitchGraphStages = 15;

// One stage: an allocator stage (a one-buffer pool that provides the output
// of the next module stage; in the Out graph's first entry also the buffer
// the audio source fills) or a module stage.
struct SwitchGraphStage {
    ULONG InUse;      // 0 ends the chain
    ULONG Allocator;  // the stage owns Pool
    ULONG Source;     // filled from the audio source
    CKAUDPModule* Module;
    IBufferPool* Pool;
    PVOID Buffer;  // held for the current piece
};

// A graph runs its direction in whole 10 ms pieces of the slave's format
// (PieceBytes, whole frames).  The bytes of a buffer beyond its last whole
// piece are carried to the next buffer: render data waits in Carry until a
// piece is complete; converted capture data not yet copied waits there for
// the next buffer.
struct SwitchGraph {
    SwitchGraphStage Stages[kSwitchGraphStages];
    ULONG PieceBytes;
    PUCHAR Carry;  // PieceBytes bytes, owned
    ULONG CarryBytes;
    ULONG CarryOffset;  // capture: where the carried bytes begin
};

// ---------------------------------------------------------------------------
// Driver-wide state (owned by the master's OnFilterLoad .. OnFilterUnload)
// ---------------------------------------------------------------------------
extern volatile LONG g_bSwitch;
extern volatile LONG g_ulMuteMode;  // MuteMode
extern volatile LONG g_bSourceStarted, g_bSinkStarted;
extern CKAUDPASrc* g_pAudioSource;
extern CKAUDPASnk* g_pAudioSink;
extern CKAUDPSiBu *InCSiBu, *InCSiBuAux, *OutCSiBu, *OutCSiBuAux;
extern CKAUDPFCnv *InCFCnv1, *InCFCnv2, *OutCFCnv1, *OutCFCnv2;
extern CKAUDPBRes *InCBRes, *OutCBRes;
// Channel 1's formats as the direction's graph was last built.
extern ChannelFormat g_SavedRenderFormat, g_SavedCaptureFormat;
// Start of the side value of a buffer's pieces (0 restarts a module).
extern volatile LONG g_lSpeakerMuteCount, g_lMicMuteCount;
extern volatile LONG g_lSpeakerBridgeCount, g_lMicBridgeCount;
extern volatile LONG g_lSpeakerFadeCount;
extern SwitchGraph g_InGraph, g_OutGraph;
extern KMUTEX g_SwitchMutex;
// OnBuffer calls in progress by direction (1, 2); always open: a control
// path waits them out after it cleared the direction's started flag.
extern CallCount g_BuffersInFlight[3];
// Private property requests in progress; the master's unload waits them out.
extern CallCount g_PropertiesInFlight;
// Work items that pause the direction of a channel whose pin closed while
// running; the master's unload waits them out too.
extern CallCount g_ControlWorkItems;
// Initialises g_SwitchMutex and the counts on the image's first call; later
// calls (master reloads included) leave them alone.  PASSIVE_LEVEL.
void InitLogicObjects();

// ---------------------------------------------------------------------------
// Control
// ---------------------------------------------------------------------------
// Bridge on (non-zero) or off; see the logic's description.  Takes
// g_SwitchMutex.  PASSIVE_LEVEL.
ZvStatus SwitchControl(CGenDisp* genDisp, ULONG value);
// The open pin's format by its pin file object: ZV_OK found, ZV_FAILED not
// found, ZV_INVALID_PARAMETER for a null argument.  Takes the open-pin-list mutex.  PASSIVE_LEVEL.
ZvStatus GetOpenPinFormat(CGenDisp* genDisp, PFILE_OBJECT pinFile, ChannelFormat* format);

// ---------------------------------------------------------------------------
// Graphs (the caller holds g_SwitchMutex; nothing of the direction in flight)
// ---------------------------------------------------------------------------
ZvStatus InitGraph(CGenDisp* genDisp, ULONG direction, ULONG state, LONG channel);
ZvStatus InitOutGraph(CGenDisp* genDisp, ULONG direction, ULONG state, LONG channel);
ZvStatus InitChannelGraph(CGenDisp* genDisp, ULONG direction, ULONG state, LONG channel);
void FreeInGraph();
void FreeOutGraph();
void FreeGraph(ULONG direction);
void ReleaseInGraphBuffers();
void ReleaseOutGraphBuffers();
// Run a graph over one buffer's stream headers.
ZvStatus ProcessBuffer(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length,
                       LONG channel, PFILE_OBJECT pinFile);
ZvStatus ProcessOutBuffer(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length,
                          LONG channel, PFILE_OBJECT pinFile);

// Calls `piece` for each header's data in pieces of 10 ms of `format`
// (pieces = DataUsed x 1000 / bytes per second / 10, the whole data as one
// piece when that is 0; bytes per second = rate x block align, whatever the
// format's own byte rate says); pieces are whole frames, the last one takes
// the rest.  Returns the number of pieces; nothing for a format without a
// rate or a block align (the caller silences such a buffer).
template <class Piece>
ULONG ForEachMutePiece(PVOID headers, ULONG length, const ChannelFormat& format, Piece piece);
// Each header with data: fn(data, DataUsed).
template <class Fn>
void ForEachHeaderData(PVOID headers, ULONG length, Fn fn) {
    auto cursor = static_cast<PUCHAR>(headers);
    ULONG offset = 0;
    while (offset + sizeof(KSSTREAM_HEADER) <= length) {
        auto header = reinterpret_cast<PKSSTREAM_HEADER>(cursor + offset);
        if (header->Size < sizeof(KSSTREAM_HEADER)) break;  // the framework never sends these
        if (header->Data != nullptr && header->DataUsed != 0)
            fn(static_cast<PUCHAR>(header->Data), header->DataUsed);
        offset += header->Size;
    }
}

inline ULONG BlockAlignOf(const ChannelFormat& format) {
    return FormatChannels(format) * FormatBits(format) / 8;
}
inline ULONG FrameBytesOf(const ChannelFormat& format) {
    const ULONG bytes = BlockAlignOf(format);
    return bytes != 0 ? bytes : 1;
}

template <class Piece>
ULONG ForEachMutePiece(PVOID headers, ULONG length, const ChannelFormat& format, Piece piece) {
    const ULONG frame = BlockAlignOf(format);
    const ULONGLONG perSecond = static_cast<ULONGLONG>(format.SamplesPerSec) * frame;
    if (perSecond == 0) return 0;  // nothing to cut by
    ULONG total = 0;
    ForEachHeaderData(headers, length, [&](PUCHAR data, ULONG used) {
        ULONGLONG pieces = static_cast<ULONGLONG>(used) * 1000 / perSecond / 10;
        if (pieces == 0) pieces = 1;
        // Whole frames, so that no piece leaves a partial frame untouched.
        ULONG bytes = static_cast<ULONG>(used / pieces) / frame * frame;
        if (bytes == 0) bytes = used;
        for (ULONG offset = 0; offset < used; ++total) {
            ULONG n = used - offset;
            if (n >= 2 * bytes) n = bytes;  // the last piece takes the rest
            piece(data + offset, n);
            offset += n;
        }
    });
    return total;
}
