// The interceptor's records (open filters, pin records, open pins, request
// contexts), its preference tables, and the format and range routines that
// work on KS data formats as byte layouts.
//
// Formats arrive from applications in unaligned, untrusted buffers (a pin
// create carries its format inside the file name), so every routine here reads
// fields through the byte accessors below and takes the buffer length it may
// read: nothing is read past it.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "FilterLogic.h"

// A list lookup that only finds, or that adds what it does not find.
enum class ListLookup : ULONG { Find = 0, FindOrAdd = 1 };

// ---------------------------------------------------------------------------
// Byte offsets of the fields read in a KSDATAFORMAT_WAVEFORMATEX (extensible
// form included) and in a KSDATARANGE_AUDIO.
// ---------------------------------------------------------------------------
#define ZV_FMT_SIZE_HEADER 64u       // KSDATAFORMAT
#define ZV_FMT_SIZE_WAVE 82u         // KSDATAFORMAT_WAVEFORMATEX
#define ZV_FMT_SIZE_VALIDBITS 84u    // up to wValidBitsPerSample
#define ZV_FMT_SIZE_MASK 88u         // up to dwChannelMask
#define ZV_FMT_SIZE_EXTENSIBLE 104u  // KSDATAFORMAT_WAVEFORMATEXTENSIBLE
#define ZV_FMT_OFF_TAG 64u
#define ZV_FMT_OFF_CHANNELS 66u
#define ZV_FMT_OFF_RATE 68u
#define ZV_FMT_OFF_AVGBYTES 72u
#define ZV_FMT_OFF_BLOCKALIGN 76u
#define ZV_FMT_OFF_BITS 78u
#define ZV_FMT_OFF_CBSIZE 80u
#define ZV_FMT_OFF_VALIDBITS 82u
#define ZV_FMT_OFF_MASK 84u
#define ZV_RANGE_SIZE_AUDIO 88u  // KSDATARANGE_AUDIO

inline USHORT ZvReadU16(const void* base, ULONG offset) {
    const UCHAR* p = static_cast<const UCHAR*>(base) + offset;
    return static_cast<USHORT>(p[0] | (p[1] << 8));
}
inline ULONG ZvReadU32(const void* base, ULONG offset) {
    const UCHAR* p = static_cast<const UCHAR*>(base) + offset;
    return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) |
           (static_cast<ULONG>(p[2]) << 16) | (static_cast<ULONG>(p[3]) << 24);
}
inline void ZvWriteU16(void* base, ULONG offset, USHORT value) {
    UCHAR* p = static_cast<UCHAR*>(base) + offset;
    p[0] = static_cast<UCHAR>(value);
    p[1] = static_cast<UCHAR>(value >> 8);
}
inline void ZvWriteU32(void* base, ULONG offset, ULONG value) {
    UCHAR* p = static_cast<UCHAR*>(base) + offset;
    for (int i = 0; i < 4; ++i) p[i] = static_cast<UCHAR>(value >> (8 * i));
}
// The FormatSize word of a format or range header (the first word).
inline ULONG ZvFormatSize(const void* format) {
    return ZvReadU32(format, 0);
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
// One pin id of one open KS filter.  Guarded by the filter-list mutex.
struct PinRecord {
    ULONG PinId;
    PFILE_OBJECT FilterFile;
    GUID Category;
    ULONG DataFlow;         // 1 render (KSPIN_DATAFLOW_IN), 2 capture
    ULONG Communication;    // answered to KSPROPERTY_PIN_COMMUNICATION; 1 for accepted pins
    ULONG fNotUsed;         // hidden from applications: its rewrite left no range
    ULONG fDontCare;        // passed through untouched; 1 until the pin is accepted
    ULONG RangeListSize;    // bytes of RangeList
    ULONG Reserved1;        // set to 1 at creation; nothing reads it
    PUCHAR RangeList;       // KSMULTIPLE_ITEM of KSDATARANGE_AUDIO (owned)
    PUCHAR DefaultFormat;   // KSDATAFORMAT_WAVEFORMATEX, FormatSize bytes (owned)
    ULONG ChannelLimit;     // MaximumChannels of the first rewritten (or chosen) range
    PUCHAR ChosenFormat;    // replaces the default in the create check when set (owned)
    ULONG FailureCount;     // mismatches and failed creates since the last good create
    ULONG IntersectCursor;  // which matching range the intersection answers with
    LIST_ENTRY Links;
};

// One open KS filter.  Guarded by the filter-list mutex.
struct FilterEntry {
    PFILE_OBJECT FilterFile;
    LONG PinCount;
    LIST_ENTRY Links;
    LIST_ENTRY Pins;  // of PinRecord
};

// One open pin instance.  Guarded by the open-pin-list mutex.
struct OpenPinEntry {
    PFILE_OBJECT PinFile;
    PFILE_OBJECT RFO;  // the filter it was created on; cleared when that filter closes first
    ULONG PinId;
    ULONG Direction;  // 1 render, 2 capture
    ULONG Active;     // the filter logic handles this direction on this device
    LONG Channel;     // -1 while the pin holds no channel; OnOpen writes it
    PUCHAR Format;    // copy of the create (or last set) format, FormatSize bytes (owned)
    LIST_ENTRY Links;
};

enum IrpContextKind : ULONG {
    IRP_CTX_CREATE = 1,
    IRP_CTX_CLOSE = 2,
    IRP_CTX_DATAFORMAT = 6,
    IRP_CTX_READ = 8,
    IRP_CTX_WRITE = 9,
    IRP_CTX_STATE = 10,
    IRP_CTX_POSITION = 11,
};

#define ZV_STREAM_MDLS 10

class CGenDisp;

// The completion context of one followed request (from the per-device
// lookaside list, zeroed when taken).
struct IrpContext {
    PIRP Irp;
    ULONG ForcePending;  // the request was answered STATUS_PENDING above: mark it pending
    CGenDisp* GenDisp;
    ULONG BlockSize;  // nBlockAlign of the stream (write accounting)
    LONG Channel;
    ULONG DontCare;  // no filter-logic callback at completion
    ULONG Kind;      // IrpContextKind
    PMDL OutputMdl;  // maps UserBuffer (property data or stream headers)
    PMDL InputMdl;   // maps Type3InputBuffer
    PMDL DataMdls[ZV_STREAM_MDLS];
    ULONG SavedFrameExtent;  // the first header's FrameExtent before the 10 ms cut
    ULONG SyncLockHeld;      // the request holds the sync-control lock
    // Completion work that needs PASSIVE_LEVEL and was deferred to a work item.
    PIO_WORKITEM WorkItem;
    ULONG Direction;   // of the pin (stream paths)
    ULONG CutApplied;  // the first header's FrameExtent was cut (restore at completion)
    ULONG State;       // the KSSTATE a state SET asked for, read once at dispatch
};

// ---------------------------------------------------------------------------
// Preference tables of the range rewrite
// ---------------------------------------------------------------------------
struct DataRangePreference {
    ULONG BitDepths[5];       // 0 ends the list early
    ULONG Rates[10];          // 0 ends the list early
    ULONG MinimumChannels;    // a device range offering fewer (and not all bits set) is skipped
    ULONG AdvertiseChannels;  // MaximumChannels of every rewritten range
};
static_assert(sizeof(DataRangePreference) == 17 * 4, "one level is 17 words");

struct DataRangePreferenceTable {
    ULONG Count;
    ULONG Pad;  // the records start on an 8-byte boundary
    DataRangePreference Levels[6];
};
extern const DataRangePreferenceTable RenderRangePreferences;
extern const DataRangePreferenceTable CaptureRangePreferences;
// The table of a dataflow (1 render, 2 capture); null for any other.
const DataRangePreferenceTable* RangePreferencesFor(ULONG dataFlow);

// Accepted pin categories per dataflow.
struct PinCategoryTable {
    ULONG Count;
    const GUID* Categories;
};
extern const PinCategoryTable RenderPinCategories;
extern const PinCategoryTable CapturePinCategories;

// ---------------------------------------------------------------------------
// Range rewrite and format routines (any IRQL; pure functions of their inputs)
// ---------------------------------------------------------------------------
// One level's rewrite of a device range list (a KSMULTIPLE_ITEM of deviceSize
// bytes at most).  BuildRangeListSize: the rewritten list's size (8 when empty)
// and whether any audio range exists; BuildRangeList writes the list into out
// (outSize bytes; it writes nothing past them).
void BuildRangeListSize(const void* deviceRanges, ULONG deviceSize,
                        const DataRangePreference* preference, PULONG sizeOut, PULONG foundOut,
                        ULONG bwLimit);
void BuildRangeList(const void* deviceRanges, ULONG deviceSize,
                    const DataRangePreference* preference, PVOID out, ULONG outSize, ULONG bwLimit);

// 1 when format (formatLength readable bytes) equals reference; formats under
// 82 bytes compare equal (nothing to compare).
ULONG CompareDataFormat(const void* format, ULONG formatLength, const void* reference,
                        ULONG maxChannels);
// 1 when a rewritten range of the record holds the format; with update the
// record's chosen format follows it.  May allocate (update): 0 when it cannot.
ULONG FindRangeForFormat(PinRecord* record, const void* format, ULONG formatLength, ULONG update);
// Converts a wave format to the channel table's form; formats under 82 bytes
// give a zeroed record.  Returns 1.
ULONG FormatToChannelFormat(const void* format, ULONG formatLength, ChannelFormat* out);
// The data intersection's choice among the record's rewritten ranges for the
// application's offered list (request: KSP_PIN + KSMULTIPLE_ITEM, inputLength
// bytes).  1 when it set a new chosen format.
ULONG IntersectDataFormat(PinRecord* record, const void* request, ULONG inputLength);
// The channel mask used when a default or chosen format is fitted to a range.
ULONG FittedChannelMask(ULONG channels, ULONG keep);
// Debug dumps (log lines only).
void DisplayDataFormat(const void* format, ULONG formatLength);
void DisplayMultipleItemDataRanges(const void* item, ULONG length);

// ---------------------------------------------------------------------------
// Stream headers
// ---------------------------------------------------------------------------
// Walks the KSSTREAM_HEADERs of a request (length bytes) and sums DataUsed
// (useDataUsed) or FrameExtent.  Returns 0 and leaves *sum as far as it got
// when a header's Size is below the header size or runs past the length, or
// when there are more than maxHeaders headers (0: no limit); 1 when the walk
// ended exactly at the length.  *count gets the number of headers walked.
ULONG WalkStreamHeaders(const void* headers, ULONG length, ULONG useDataUsed, ULONGLONG* sum,
                        PULONG count, ULONG maxHeaders);
// The sum of DataUsed or FrameExtent over the well-formed headers.
ULONGLONG CountStreamBytes(const void* headers, ULONG length, ULONG useDataUsed);
// 1 when there are 1 to 10 headers, every one well formed, no DataUsed beyond
// its FrameExtent and no FrameExtent without a Data pointer: the request may be
// handed to OnBuffer.
ULONG StreamHeadersUsable(const void* headers, ULONG length);
