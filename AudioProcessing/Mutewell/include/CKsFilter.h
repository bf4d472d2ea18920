// The kernel-streaming client of the bridge: it opens the master device's own
// audio filter from kernel mode and one pin of it, as an application would
// through the KS interface, so that the bridge can write the master's render
// pin and read its capture pin.
//
//   KsFilterEnumerator  finds the filter among the interface links of a
//                       category on the master's physical device object
//   CKsFilter           the opened filter and the pins listed on it
//   CKsPin              one opened pin with its wave format, its ring
//                       (CircBuff) and its streaming thread (AudioStream)
//
// Every request goes to the master's lower device object (the device below
// our own filter) with the filter's or the pin's file object, so none passes
// through our own filter again.  Everything here runs at PASSIVE_LEVEL (file
// creation, synchronous requests, waits) unless said otherwise.
#pragma once

#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>

#include "PoolObject.h"

class CircBuff;
class AudioStream;
struct StreamParams;

// The head of a filter, a pin and a stream: where requests go and with which
// file object.
struct KsTarget {
    PDEVICE_OBJECT m_pDevice;      // the master's lower device object: requests go here
    PFILE_OBJECT m_pFile;          // the opened filter or pin
    PFILE_OBJECT m_pRelated;       // a pin: its file's related file object (the filter's)
    PDEVICE_OBJECT m_pFileDevice;  // a filter: the device object related to its file

    // Sends `code` synchronously with the head's file object in the next stack
    // location and waits for it; *returned (optional) gets the byte count.
    // STATUS_INVALID_PARAMETER (nothing sent) for a length without a buffer
    // or a head without device or file; STATUS_INSUFFICIENT_RESOURCES when no
    // request can be built.  The framework's request sender does the work.
    NTSTATUS SyncIoctl(ULONG code, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength,
                       PULONG returned);
    // IOCTL_KS_PROPERTY SET of (set, id): a KSPROPERTY followed by `extra` as
    // input, `value` as the output buffer.
    NTSTATUS KsSetProperty(const GUID& set, ULONG id, PVOID value, ULONG valueLength, PVOID extra,
                           ULONG extraLength);
};

// KSPROPERTY_CONNECTION_STATE SET on the target's pin; a failure is logged.
NTSTATUS SetState(KsTarget* target, KSSTATE state);

enum KsOpenStep : ULONG { kKsOpenCreate = 1, kKsOpenReference = 2 };
// Opens `name` (relative to the file `root` when given) for reading and
// writing with a kernel handle, and references its file object.  On failure
// *failedStep says which step failed; a failed reference closes the handle
// again, so nothing stays open.
NTSTATUS KsOpenObject(PUNICODE_STRING name, HANDLE root, PHANDLE handle, PFILE_OBJECT* file,
                      KsOpenStep* failedStep);
// Undoes KsOpenObject (either may be null already); both are cleared.
void KsCloseObject(PHANDLE handle, PFILE_OBJECT* file);

// A list of pointers; nodes come from the driver allocator, one per entry.
class PtrList {
public:
    PtrList() : m_pHead(nullptr), m_pTail(nullptr), m_ulCount(0) {}
    ~PtrList();  // frees the nodes (not what they point to)
    PtrList(const PtrList&) = delete;
    PtrList& operator=(const PtrList&) = delete;

    // 0 when no node can be allocated.
    ULONG AddTail(PVOID value);
    // The first value into *value and its node freed; 0 when empty.
    ULONG RemoveHead(PVOID* value);
    // The first value, null when empty.
    PVOID GetHead() const;
    ULONG Count() const { return m_ulCount; }

private:
    struct Node {
        Node* next;
        Node* previous;
        PVOID value;
    };
    Node* m_pHead;
    Node* m_pTail;
    ULONG m_ulCount;
};

class CKsPin;

class CKsFilter : public CPoolObject {
public:
    static constexpr ULONG kLinkChars = 260;

    // Keeps the lower device object and up to 259 characters of the link.
    // *status: STATUS_INVALID_PARAMETER without a link, else STATUS_SUCCESS.
    CKsFilter(PDEVICE_OBJECT lowerDevice, PCWSTR symbolicLink, NTSTATUS* status);
    ~CKsFilter();  // Destroy
    CKsFilter(const CKsFilter&) = delete;
    CKsFilter& operator=(const CKsFilter&) = delete;

    // Opens the link and references its file object.  STATUS_UNSUCCESSFUL
    // when the open fails; a failed reference closes the handle again.
    NTSTATUS Instantiate();
    // KSPROPERTY_TYPE_GET of (set, id) for one pin (a KSP_PIN request).
    NTSTATUS GetPinProperty(ULONG pinId, const GUID& set, ULONG id, PVOID output,
                            ULONG outputLength, PULONG returned);
    // Adds pin `pinId` to the pin list when the filter has that many pin
    // types; otherwise no pin and the count query's status.
    NTSTATUS EnumeratePins(ULONG pinId);
    // Sets up and opens the first pin of the list with this format and data
    // flow (0 capture, 1 render).  Null when there is no pin or a step failed;
    // the pin stays the filter's either way.
    CKsPin* CreatePin(const WAVEFORMATEX* format, ULONG dataFlow);
    CKsPin* CreateRenderPin(const WAVEFORMATEX* format) { return CreatePin(format, 1); }
    CKsPin* CreateCapturePin(const WAVEFORMATEX* format) { return CreatePin(format, 0); }
    // Deletes every pin, closes the handle and dereferences the file object.
    void Destroy();

    HANDLE Handle() const { return m_hFilter; }
    const KsTarget& Target() const { return m_Target; }
    PCWSTR SymbolicLink() const { return m_wszLink; }
    ULONG PinCount() const { return m_listPins.Count(); }

private:
    KsTarget m_Target;
    PtrList m_listPins;  // CKsPin, owned
    HANDLE m_hFilter;
    WCHAR m_wszLink[kLinkChars];
};

class KsFilterEnumerator : public CPoolObject {
public:
    KsFilterEnumerator() = default;
    virtual ~KsFilterEnumerator();  // Clear
    // Removes, destroys and frees every filter of m_listFilters.
    virtual void Clear();

    // Lists the links of `category` on `pdo` and takes the first whose last
    // component begins with `name` (compared without regard to case); opens
    // it (`instantiate`) and lists pin `pinId` (`enumeratePins`), then keeps
    // it in m_listFilters.  No matching link: success with no filter.
    NTSTATUS EnumFilters(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lowerDevice, PCWSTR name,
                         const GUID* category, ULONG pinId, BOOLEAN enumeratePins,
                         BOOLEAN instantiate);

    PtrList m_listFilters;  // CKsFilter, owned
};

class CKsPin : public CPoolObject {
public:
    // Connect block for PCM: KSPIN_CONNECT, KSDATAFORMAT and a WAVEFORMATEX.
    static constexpr ULONG kConnectHead = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);  // 128
    // The pin-create name: KSSTRING_Pin and one separator before the block.
    static constexpr ULONG kNamePrefixBytes = KSSTRING_Pin_Chars * sizeof(WCHAR) + sizeof(WCHAR);

    // Builds the connect block for pin `pinId` of `filter`.  *status:
    // STATUS_INSUFFICIENT_RESOURCES when the block cannot be allocated.
    CKsPin(CKsFilter* filter, ULONG pinId, NTSTATUS* status);
    ~CKsPin();  // destroys a stream, then Close and frees the blocks
    CKsPin(const CKsPin&) = delete;
    CKsPin& operator=(const CKsPin&) = delete;

    // Puts the format behind the KSDATAFORMAT (the block resized to 128 +
    // format size) and keeps a copy.  STATUS_UNSUCCESSFUL without a format or
    // block; STATUS_INVALID_PARAMETER for a format whose pin name would not fit
    // a name's 16-bit length; STATUS_INSUFFICIENT_RESOURCES without memory.
    NTSTATUS SetFormat(const WAVEFORMATEX* format);
    // 0 capture (we read), 1 render (we write); else STATUS_INVALID_PARAMETER.
    NTSTATUS SetDataFlow(ULONG dataFlow);
    // Opens the pin relative to the filter's handle.
    NTSTATUS Instantiate();
    // A running pin: stops its stream (the bridge pauses).  Otherwise builds
    // the ring of `milliseconds` (whole 10 ms blocks) and the stream; 11 for 0 ms.
    NTSTATUS CreateStream(ULONG milliseconds);
    // Starts the stream of a pin that is not running; "running" only on success.
    NTSTATUS Run();
    // Stops a running stream and deletes stream, ring and parameters.
    NTSTATUS DestroyStream();
    // Keeps the rate value of the ring's hand-shake (never waited for).  0.
    NTSTATUS SetRate(ULONG value);
    // The ring of a running capture pin (else 0).
    ULONG ReadData(PVOID buffer, PULONG count, ULONG wait);
    // The drift-corrected write of a running render pin (else 0).
    ULONG WriteData(PVOID buffer, PULONG count, ULONG wait);
    CircBuff* GetCircBuff() const { return m_pCircBuff; }
    AudioStream* GetStream() const { return m_pStream; }
    // Closes the pin handle and dereferences its file object.
    void Close();

    const KsTarget& Target() const { return m_Target; }
    const UCHAR* ConnectBlock() const { return m_pksPinCreate; }
    ULONG ConnectBlockSize() const { return m_ulPinCreateSize; }
    ULONG PinId() const { return m_ulPinId; }
    ULONG IsRunning() const { return m_fRunning; }
    ULONG RateValue() const { return m_ulRateValue; }

private:
    void FreeStream();

    KsTarget m_Target;
    ULONG m_ulPinId;
    CKsFilter* m_pFilter;              // its handle roots the pin's name
    PUCHAR m_pksPinCreate;             // the connect block
    ULONG m_ulPinCreateSize;           // its bytes
    PKSDATAFORMAT m_pksDataFormatWfx;  // inside the block
    PWAVEFORMATEX m_pWfx;              // copy of the format
    ULONG m_ulWfxSize;
    StreamParams* m_pParams;
    CircBuff* m_pCircBuff;
    AudioStream* m_pStream;
    ULONG m_ulDataFlow;  // 0 capture, 1 render, 255 until set
    ULONG m_fRunning;
    HANDLE m_hPin;
    ULONG m_ulRateValue;
};
