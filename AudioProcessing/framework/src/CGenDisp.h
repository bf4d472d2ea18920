// The per-device kernel-streaming interceptor: it recognises the KS requests
// that applications send to the audio device below (filter and pin creates,
// closes, property requests, stream reads and writes, handshakes), keeps its
// own record of the open filters and pins, answers the pin property requests
// with rewritten data ranges, and hands the events and buffers of the pins it
// follows to the filter logic.
//
// Threads and levels: requests arrive at PASSIVE_LEVEL; completion routines run
// at up to DISPATCH_LEVEL and never wait there: work that needs the list
// mutexes or a callback is done inline at PASSIVE_LEVEL, else in an I/O work
// item that completes the request afterwards.  Lock order: the filter-list
// mutex before the open-pin-list mutex; the sync-control lock is never taken
// while either is held, and no callback runs under a list mutex except OnOpen
// and OnClose.
#pragma once

#include <wdm.h>

#include "CKsIrpTarget.h"
#include "GenDispTypes.h"
#include "OSDep.h"
#include "RemoveLock.h"

class CDevice;

// What a stream request's dispatch learnt of its pin, its headers mapped.
struct StreamRequestInfo {
    PMDL HeaderMdl;    // maps UserBuffer (null when nothing needed mapping)
    PVOID Headers;     // system address of the KSSTREAM_HEADERs
    ULONG Length;      // OutputBufferLength
    ULONG BlockAlign;  // of the pin's format (never 0)
    ULONG Rate;        // nSamplesPerSec of the pin's format
    ULONG Direction;
    LONG Channel;
    PFILE_OBJECT PinFile;
};

// The list mutexes a request answered here still holds when it is answered.
enum class ListsHeld : ULONG {
    None,
    Filter,            // the filter-list mutex
    FilterAndOpenPin,  // both list mutexes
    OpenPin,           // the open-pin-list mutex
};

// A property request the interceptor answers itself: the request, its two
// mappings (undone with the answer) and the list mutexes it holds.
struct KsReply {
    PIRP Irp;
    PMDL InputMdl;
    PMDL OutputMdl;
    PULONG Taken;
    ListsHeld Held;
};

// Where an intercepted property's handler runs: the mutexes taken for it and
// what is found for it first.
enum class PropertyScope : ULONG {
    PinRecord,    // the filter-list mutex; the pin's record (made when new), only
                  // while processing is on and the pin is not left alone
    OpenPinSet,   // both list mutexes; the request's open pin, active, with the
                  // record of its pin, which is neither left alone nor unused
    OpenPinRead,  // the open-pin-list mutex; the request's open pin, active
};

// An intercepted property request as its handler sees it; the scope's
// mutexes are held.
struct PropertyRequest {
    KsReply Reply;
    const KSPROPERTY* Property;
    PUCHAR Data;  // the output buffer at its system address (OutLength bytes)
    ULONG InLength;
    ULONG OutLength;
    ULONG PinId;          // PinRecord scope
    PinRecord* Record;    // PinRecord and OpenPinSet scopes
    OpenPinEntry* Entry;  // OpenPinSet and OpenPinRead scopes
};

// The channel word of a pin that holds none.
inline constexpr LONG NoChannel = -1;

// A property request followed down to the device: its context (null: not
// followed), the pin's channel and direction, and a state (STOP, ACQUIRE or
// PAUSE) to tell the logic before the request goes down (~0: none).
struct FollowedProperty {
    IrpContext* Context = nullptr;
    LONG Channel = NoChannel;
    ULONG Direction = 0;
    ULONG StateToTell = ~0u;
};

class CGenDisp : public CKsIrpTarget {
public:
    CGenDisp();
    ~CGenDisp();

    NTSTATUS Init(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo, CDevice* device,
                  PRemoveLock removeLock);
    // taken 1: this object owns the request (and the remove-lock hold that
    // came with it) until it finishes; 0: the caller passes it down.
    NTSTATUS Dispatch(PIRP irp, PULONG taken);

    PDEVICE_OBJECT Fdo() const { return m_fdo; }
    PDEVICE_OBJECT Lower() const { return m_lower; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    CDevice* Device() const { return m_device; }
    PRemoveLock GetRemoveLock() const { return m_removeLock; }
    // Diagnostics, readable from any thread.
    LONG PendingCount() const { return InterlockedRead(const_cast<volatile LONG*>(&m_pending)); }
    LONG FilterCount() const { return InterlockedRead(const_cast<volatile LONG*>(&m_filterCount)); }
    LONG OpenPinCount() const {
        return InterlockedRead(const_cast<volatile LONG*>(&m_openPinCount));
    }

    // List mutexes (PASSIVE_LEVEL, no time-out).
    void LockFilterList();
    void UnlockFilterList();
    void LockOpenPinList();
    void UnlockOpenPinList();
    // True when the calling thread holds the open-pin-list mutex (the logic
    // adapters' contract checks).
    bool OpenPinListHeldByCaller() const;

    // Lists (callers hold the list's mutex).
    ULONG GetFilterFromList(PIRP irp, PFILE_OBJECT filterFile, ULONG pinId, FilterEntry** filterOut,
                            PinRecord** pinOut, ListLookup add, RequestFile useRelated);
    ULONG GetPinFromList(PIRP irp, PFILE_OBJECT filterFile, ULONG pinId, FilterEntry* filter,
                         PinRecord** pinOut, ListLookup add, RequestFile useRelated);
    // dataFormat (FormatSize bytes, checked by the caller) is copied when an entry is added.
    ULONG GetOpenPinFromList(PIRP irp, PFILE_OBJECT pinFile, const void* dataFormat, ULONG pinId,
                             OpenPinEntry** out, ListLookup add);
    ULONG FindOpenPinByFilter(PIRP irp, PFILE_OBJECT filterFile, OpenPinEntry** out);
    ULONG RemoveFilter(PIRP irp, RequestFile useRelated);
    ULONG RemoveOpenPin(PIRP irp, RequestFile useRelated);
    ULONG RemovePinsFromFilter(FilterEntry* filter);
    void DeInitFilterAndOpenPinList();
    ULONG IsAcceptedPinCategory(PIRP irp, ULONG pinId, PinRecord* record);

    // The device's ranges of a pin, rewritten.  level: in, the first level to
    // try; out, the level whose rewrite is returned.
    NTSTATUS GetSupportedDataRangeSize(PIRP irp, ULONG pinId, ULONG dataFlow, PULONG sizeOut,
                                       ULONG bwLimit, PULONG level, PULONG foundOut,
                                       RequestFile useRelated);
    NTSTATUS GetSupportedDataRange(PIRP irp, ULONG pinId, ULONG dataFlow, PVOID buffer, ULONG size,
                                   ULONG bwLimit, ULONG level, RequestFile useRelated);
    // buffer: 32 bytes for the KSP_PIN, then the rewritten list (size bytes).
    // formatOut: a 104-byte block the caller frees (MemFree).
    NTSTATUS VerifyAndUpdateSupportedDataRanges(PIRP irp, PUCHAR buffer, ULONG size,
                                                PinRecord* record, const KSP_PIN* kspPin,
                                                PUCHAR* formatOut, PULONG formatSizeOut,
                                                RequestFile useRelated);

    // Finishes a request answered here (status and information), releasing
    // the list mutexes it holds and undoing both mappings.
    NTSTATUS CompleteKsIrp(const KsReply& reply, NTSTATUS status, ULONG_PTR information);
    // The size protocol of every value answered here: an empty buffer asks
    // for the size (STATUS_BUFFER_OVERFLOW with the size), a buffer of at
    // least `size` bytes gets the value, any other length is too small.
    NTSTATUS AnswerSized(const KsReply& reply, PVOID out, ULONG outLength, const void* value,
                         ULONG size);
    // The completion of a followed request (any IRQL up to DISPATCH_LEVEL).
    NTSTATUS CompletionRoutine(IrpContext* context);
    // The completion's PASSIVE_LEVEL part and the end of a followed request.
    void CompletionWork(IrpContext* context);
    void FinishContext(IrpContext* context);
    void PropertyCompletionWork(IrpContext* context);
    // Stream completions (any IRQL up to DISPATCH_LEVEL).
    NTSTATUS CompleteCaptureRequest(IrpContext* context);
    void CompleteRenderRequest(IrpContext* context);
    // The stream worker's part of one completed capture request.
    void FinishCaptureRequest(struct CaptureQueueEntry* entry);

    // The property requests the interceptor takes up, one row each (the
    // logic's own sets go to OnKSProperty before these): chosen by set, id,
    // kind and input size, the first match wins (every id of a set after the
    // ids named); the scope then finds the pin and the handler runs when the
    // output holds MinOutput bytes.  A null handler only makes the scope's
    // record.  Any request not answered goes down to the device.
    static constexpr ULONG AnyPropertyId = ~0u;
    struct PropertyRow {
        const GUID* Set;
        ULONG Id;    // AnyPropertyId: every id of the set
        ULONG Kind;  // KSPROPERTY_TYPE_GET or KSPROPERTY_TYPE_SET, as the request's flags carry it
        ULONG MinInput;   // bytes of input the row needs
        ULONG MinOutput;  // bytes of output the handler needs
        PropertyScope Scope;
        bool (CGenDisp::*Handle)(const PropertyRequest&, FollowedProperty*, NTSTATUS*);
    };
    // The table (for tests); its row count in *count.
    static const PropertyRow* InterceptedProperties(ULONG* count);
    // The row a property request of inLength input bytes takes, or null.
    static const PropertyRow* FindInterceptedProperty(const KSPROPERTY* property, ULONG inLength);

private:
    NTSTATUS HandleCreate(PIRP irp, PULONG taken);
    NTSTATUS HandleClose(PIRP irp, PULONG taken);
    NTSTATUS HandleKSHandShake(PIRP irp, PULONG taken);
    NTSTATUS HandleCreatePin(PIRP irp, const KSPIN_CONNECT* connect, const UCHAR* dataFormat,
                             OpenPinEntry** openPinOut);
    NTSTATUS HandleKSProperty(PIRP irp, PULONG taken);
    // The row's scope: takes its mutexes, finds its pin and calls its handler
    // when the request carries the row's output.  True: answered here (the
    // reply released the mutexes); false: nothing held, the request goes
    // down, followed when `followed` got a context.
    bool RunInterceptedProperty(const PropertyRow& row, ULONG process, PropertyRequest* request,
                                FollowedProperty* followed, NTSTATUS* status);
    bool FindOpenPinForSet(PropertyRequest* request);
    bool FindOpenPinForRead(PropertyRequest* request);
    // The handlers of the table's rows: true when answered here.
    bool AnswerPinCommunication(const PropertyRequest& request, FollowedProperty* followed,
                                NTSTATUS* status);
    bool AnswerPinDataRanges(const PropertyRequest& request, FollowedProperty* followed,
                             NTSTATUS* status);
    bool AnswerPinDataIntersection(const PropertyRequest& request, FollowedProperty* followed,
                                   NTSTATUS* status);
    bool FollowConnectionFormat(const PropertyRequest& request, FollowedProperty* followed,
                                NTSTATUS* status);
    bool FollowConnectionState(const PropertyRequest& request, FollowedProperty* followed,
                               NTSTATUS* status);
    bool FollowPositionRead(const PropertyRequest& request, FollowedProperty* followed,
                            NTSTATUS* status);
    static const PropertyRow kInterceptedProperties[];
    NTSTATUS HandleKSReadStream(PIRP irp, PULONG taken);
    NTSTATUS HandleKSWriteStream(PIRP irp, PULONG taken);

    IrpContext* AllocateContext(PIRP irp, ULONG kind);
    void FreeContext(IrpContext* context);
    NTSTATUS PassDownWithContext(PIRP irp, IrpContext* context, PULONG taken);
    // GetPinFromList's parts: the bandwidth limit the range rewrite works
    // to (VID_SHARED_BWLIMIT while processing is on, else 0), a new pin
    // record at the head of the filter's list, and the negotiation of its
    // data ranges, level by preference level (1: the pin is settled, as
    // followed or as left alone; 0: it could not be, and is left alone).
    ULONG RangeBandwidthLimit();
    PinRecord* AddPinRecord(PFILE_OBJECT filterFile, ULONG pinId, FilterEntry* filter);
    ULONG NegotiateDataRanges(PIRP irp, ULONG pinId, PinRecord* record, ULONG bwLimit,
                              RequestFile useRelated);
    void SetDefaultFormat(PinRecord* record, PUCHAR format, ULONG formatSize,
                          const UCHAR* firstRange);
    ULONG FallbackDefaultFormat(PinRecord* record, const UCHAR* firstRange);
    // 1 when the stream request is followed: its pin is active, has a channel
    // (or a mute mode is set) and a usable format, and its headers are mapped;
    // the pin's position has grown by the request's frames (DataUsed or
    // FrameExtent).  Nothing is held on return.
    ULONG BeginStreamRequest(PIRP irp, ULONG useDataUsed, StreamRequestInfo* info);
    // OnBuffer under the sync-control lock, with the data at their system addresses.
    void CallOnBuffer(PMDL* mdls, const StreamRequestInfo& info);

    PDEVICE_OBJECT m_fdo;
    PDEVICE_OBJECT m_lower;
    PDEVICE_OBJECT m_pdo;
    CDevice* m_device;
    volatile LONG m_pending;  // requests taken and not yet finished (interlocked)
    PRemoveLock m_removeLock;
    KMUTEX m_filterListMutex;
    KMUTEX m_openPinListMutex;
    PKTHREAD volatile m_openPinOwner;  // the thread holding the mutex (interlocked), or null
    LONG m_openPinDepth;               // its recursion depth (written by the owner only)
    LIST_ENTRY m_filterList;           // of FilterEntry
    LIST_ENTRY m_openPinList;          // of OpenPinEntry
    volatile LONG m_filterCount;  // changed under the filter-list mutex (interlocked for readers)
    volatile LONG
        m_openPinCount;  // changed under the open-pin-list mutex (interlocked for readers)
    NPAGED_LOOKASIDE_LIST m_contextLookaside;  // IrpContext, tag "ZVAP"
    ULONG m_cleared;
};

// The channel an open pin may act on: its own while it still owns it.  A pin
// whose channel was released (the master's unload releases channel 1 while
// slave pins stay open) and perhaps taken by another pin is a pin without a
// channel from then on.  The caller holds the open-pin-list mutex.
LONG OwnedChannel(OpenPinEntry* entry);

// The system's completion routine for every request passed down with an IrpContext.
NTSTATUS CompletionRoutineEntry(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// A completed capture request on its way to the stream worker thread.
struct CaptureQueueEntry {
    LIST_ENTRY Links;
    PIRP Irp;
    PDEVICE_OBJECT Fdo;
    PDEVICE_OBJECT Lower;
    CGenDisp* GenDisp;
    PRemoveLock RemoveLock;
    PMDL HeaderMdl;
    PMDL DataMdls[ZV_STREAM_MDLS];
    ULONG SavedFrameExtent;
    ULONG CutApplied;
    ULONG DataMapped;  // the data buffers were mapped at dispatch: OnBuffer may see them
};

// ---------------------------------------------------------------------------
// Buffer mapping (PASSIVE_LEVEL to map, up to DISPATCH_LEVEL to undo)
// ---------------------------------------------------------------------------
// How a property buffer's mapping is undone: the user address put back and
// the MDL freed, put back with the MDL kept, or the system address read again
// from the kept MDL.
enum class MappingUndo : ULONG { Release = 0, KeepMdl = 1, Reread = 2 };
// Which address of its data a stream header holds.
enum class DataAddress : ULONG { User = 0, System = 1 };
ULONG MapMdlBuffer(PVOID address, ULONG length, PMDL* mdlOut, PVOID* systemAddressOut,
                   KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);
ULONG UnmapMdlBuffer(PMDL mdl);
// Maps UserBuffer (OutputBufferLength bytes) and puts the system address in
// its place; 1 when nothing needs mapping (buffered, kernel mode, no length).
ULONG MapPropertyOutput(PIRP irp, PMDL* mdlOut);
void UndoPropertyOutput(PIRP irp, PMDL mdl, MappingUndo form);
ULONG MapPropertyInput(PIRP irp, PMDL* mdlOut);
void UndoPropertyInput(PIRP irp, PMDL mdl, MappingUndo form);
// Locks each header's data (FrameExtent bytes) into mdls[i] for header i
// (null for a header with no data); 0 and nothing kept when a header is
// malformed, there are more than 10, or a buffer cannot be mapped.
ULONG MapStreamBuffers(PIRP irp, PMDL* mdls, PVOID headers, ULONG length);
// Writes the system or user address of each mapped buffer into its header's
// Data.
void SetStreamDataAddresses(PMDL* mdls, PVOID headers, ULONG length, DataAddress system);
// Unlocks and frees the data MDLs (any IRQL up to DISPATCH_LEVEL).
void UnmapStreamBuffers(PMDL* mdls);

// The sync-control lock: serialises OnBuffer with stream-state changes.  A
// lock no thread owns, so that a completion may release what a dispatch took.
ULONG GetSyncControlLock();
void ReleaseSyncControlLock();
// The sync-control lock (TRUE), or FALSE without it as soon as a state request
// keeps it: such a request may be one the device ends only when told.
BOOLEAN GetSyncControlLockUnlessStateHolds();
