// The audio source and sink modules: processing modules that stand for the
// master device's own audio filter.  The source (tag "ASrc") opens its capture
// pin and hands what the master captured to the microphone graph; the sink
// (tag "ASnk") opens its render pin and takes the speaker graph's data.  Both
// find the filter through the kernel-streaming client by interface category
// and filter name, and open, run, pause and close the bridged stream when
// their stream-state property changes:
//
//   STATE_STOP  -> STATE_PAUSE  filter and pin opened, ring and stream built
//   STATE_PAUSE -> STATE_START  ring reset, streaming thread started
//   STATE_START -> STATE_PAUSE  streaming stopped, pin and ring kept
//   any         -> STATE_STOP   everything closed and deleted
//
// Properties (4 bytes unless said; source id / sink id):
//   0/0 read-only 1        1/1 read-only 0
//   2/2 physical device object of the master (pointer-sized)
//   3/3 lower device object of the master's stack (pointer-sized)
//   4/4 bits               5/6 rate, Hz          -/5 channels
//   6/7 stream state       7/8 16-byte value (only while a pin exists)
//   8/9 rate value (only while a pin exists)    9/10 buffer length, ms
// The two device objects are pointers: set them with a pointer-sized buffer
// or with SetDevices.
//
// Threads: property and state calls come from the filter logic's control
// paths at PASSIVE_LEVEL, serialised by the logic; SubmitPinData comes from
// the buffer paths, which the logic keeps away from a state change.  Neither
// keeps registry parameters.
#pragma once

#include <ks.h>

#include "CKAUDPModule.h"

class KsFilterEnumerator;
class CKsFilter;
class CKsPin;
class CircBuff;
class AudioStream;

enum BridgeStreamState : ULONG {
    STATE_STOP = 0,
    STATE_PAUSE = 1,
    STATE_START = 2,
};

// The longest a bridge read or write waits on its ring before it goes on
// with silence (read) or drops what does not fit (write).
inline constexpr ULONG kBridgeWaitMs = 20;

class CKAUDPABridge : public CKAUDPModule {
public:
    // What a property id of a module stands for.
    enum Field : ULONG {
        kFieldConstOne,
        kFieldConstZero,
        kFieldPdo,
        kFieldLower,
        kFieldBits,
        kFieldRate,
        kFieldChannels,
        kFieldState,
        kFieldValue16,
        kFieldRateValue,
        kFieldLength,
    };

    ~CKAUDPABridge() override;  // closes a stream that is not stopped

    ZvStatus GetProperty(ULONG id, PVOID buffer, PULONG size) override;
    ZvStatus SetProperty(ULONG id, PVOID buffer, ULONG size) override;
    ZvStatus GetPropertyDword(ULONG id, PULONG value) override;
    ZvStatus SetPropertyDword(ULONG id, ULONG value) override;

    // Typed setter of the two device objects (properties 2 and 3).
    ZvStatus SetDevices(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower);
    // 0 STATE_STOP (close), 1 STATE_PAUSE (open), 2 STATE_START (run); other
    // values STATUS_UNSUCCESSFUL.  The state changes only on success.
    // PASSIVE_LEVEL.
    NTSTATUS SetStreamState(ULONG state);
    ULONG StreamState() const { return m_ulState; }
    // The opened pin, null in STATE_STOP (tests, diagnostics).
    CKsPin* Pin() const { return m_pPin; }

    // The source: (pin, none, 0, output, bytes, none) fills `output` from
    // the ring, waiting at most kBridgeWaitMs for the data; what did not
    // come is silence.  ZV_OK when something was read, else ZV_FAILED.
    // The sink: (pin, input, bytes, none, 0, none) the ring's drift-corrected
    // write, waiting at most kBridgeWaitMs for room; what does not fit then
    // is dropped, and counted by the ring as frames its corrector need not
    // drop.  ZV_OK on success, else ZV_FAILED.
    // The side value, when given, is the machine time (KeQueryInterruptTime)
    // at which those waits end in place of kBridgeWaitMs: the pieces of one
    // caller's buffer share one bound.
    // Both first answer 1/3 as CheckCallable, 3 unless running with a pin,
    // 11 for a null buffer or zero bytes.
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG side) override;

protected:
    // `fields` maps property ids 0.. to what they stand for; `render` picks
    // the pin (render pin of the sink, capture pin of the source) and the
    // direction of SubmitPinData.
    CKAUDPABridge(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, ULONG tag, const Field* fields,
                  ULONG fieldCount, ULONG channels, ULONG pinId, ULONG render, PCSTR name);

private:
    CKsPin* m_pPin;
    NTSTATUS OpenStream();
    NTSTATUS StartStream();
    NTSTATUS CloseStream();
    // The field a property id stands for; false for an unknown id.
    bool FieldOf(ULONG id, Field* field) const;

    const Field* m_pFields;
    ULONG m_ulFieldCount;
    PCSTR m_pszName;  // "CKAUDPASrc" / "CKAUDPASnk", for the log
    ULONG m_ulRender;
    ULONG m_ulConstOne;
    ULONG m_ulConstZero;
    PDEVICE_OBJECT m_pLowerDevice;  // m_pDeviceObject is the master's PDO
    ULONG m_ulBits;
    ULONG m_ulRate;
    ULONG m_ulChannels;
    volatile ULONG m_ulState;  // BridgeStreamState
    UCHAR m_Value16[16];
    ULONG m_ulRateValue;
    ULONG m_ulLengthMs;
    ULONG m_ulPinId;
    WCHAR m_wszFilterName[260];
    GUID m_Category;
    KsFilterEnumerator* m_pEnumerator;
    CKsFilter* m_pFilter;
    CircBuff* m_pCircBuff;
    AudioStream* m_pStream;
};

// Reads the master's capture ring.
class CKAUDPASrc : public CKAUDPABridge {
public:
    enum PropertyId : ULONG {
        kPropPdo = 2,
        kPropLower = 3,
        kPropBits = 4,
        kPropRate = 5,
        kPropState = 6,
        kPropValue16 = 7,
        kPropRateValue = 8,
        kPropLength = 9,
    };
    CKAUDPASrc(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
};

// Writes the master's render ring.
class CKAUDPASnk : public CKAUDPABridge {
public:
    enum PropertyId : ULONG {
        kPropPdo = 2,
        kPropLower = 3,
        kPropBits = 4,
        kPropChannels = 5,
        kPropRate = 6,
        kPropState = 7,
        kPropValue16 = 8,
        kPropRateValue = 9,
        kPropLength = 10,
    };
    CKAUDPASnk(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
};
