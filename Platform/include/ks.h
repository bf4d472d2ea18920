// Kernel streaming as a kernel client sees it: I/O controls, property
// identifiers, pin connection and stream header layouts, the well-known sets
// and the two client services (pin creation, synchronous requests).
//
// Layouts are the 32-bit-packed ones kernel streaming defines, checked by size;
// the stream header keeps a native pointer (56 bytes on this 64-bit host).
#pragma once

#include <cstddef>

#include <wdm.h>

// ---------------------------------------------------------------------------
// I/O controls (all METHOD_NEITHER): property header in Type3InputBuffer and the
// value in UserBuffer; the stream requests carry their headers in UserBuffer and
// the headers' total size in OutputBufferLength.
// ---------------------------------------------------------------------------
#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_ENABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_DISABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_METHOD CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_WRITE_STREAM CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS)
#define IOCTL_KS_READ_STREAM CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS)
#define IOCTL_KS_RESET_STATE CTL_CODE(FILE_DEVICE_KS, 0x006, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_HANDSHAKE CTL_CODE(FILE_DEVICE_KS, 0x007, METHOD_NEITHER, FILE_ANY_ACCESS)
static_assert(IOCTL_KS_PROPERTY == 0x2F0003 && IOCTL_KS_HANDSHAKE == 0x2F001F);
static_assert(IOCTL_KS_READ_STREAM == 0x2F4017 && IOCTL_KS_WRITE_STREAM == 0x2F8013);

// ---------------------------------------------------------------------------
// Identifiers: property, method and event requests, interfaces and mediums.
// ---------------------------------------------------------------------------
typedef struct {
    GUID Set;
    ULONG Id;
    ULONG Flags;
} KSIDENTIFIER, *PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;
static_assert(sizeof(KSPROPERTY) == 24);

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

typedef struct {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
} KSP_PIN, *PKSP_PIN;
static_assert(sizeof(KSP_PIN) == 32);

typedef struct {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSP_NODE, *PKSP_NODE, KSNODEPROPERTY, *PKSNODEPROPERTY;
static_assert(sizeof(KSP_NODE) == 32);

typedef struct {
    KSNODEPROPERTY NodeProperty;
    LONG Channel;
    ULONG Reserved;
} KSNODEPROPERTY_AUDIO_CHANNEL, *PKSNODEPROPERTY_AUDIO_CHANNEL;
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40);

typedef struct {
    ULONG Size;  // of the header and every item
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);

// Basic-support answers.
typedef struct {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40);

typedef struct {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;
#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002

typedef struct {
    ULONG SteppingDelta;
    ULONG Reserved;
    struct {
        LONG SignedMinimum;
        LONG SignedMaximum;
    } Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);

// ---------------------------------------------------------------------------
// Data formats and ranges
// ---------------------------------------------------------------------------
typedef struct {
    ULONG FormatSize;  // of the whole format, specifier part included
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64);

#define KSDATAFORMAT_ATTRIBUTES 0x00000002
#define KSDATARANGE_ATTRIBUTES 0x00000002

// ---------------------------------------------------------------------------
// Pins
// ---------------------------------------------------------------------------
typedef enum {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT = 2,
} KSPIN_DATAFLOW,
    *PKSPIN_DATAFLOW;

typedef enum {
    KSPIN_COMMUNICATION_NONE = 0,
    KSPIN_COMMUNICATION_SINK = 1,
    KSPIN_COMMUNICATION_SOURCE = 2,
    KSPIN_COMMUNICATION_BOTH = 3,
    KSPIN_COMMUNICATION_BRIDGE = 4,
} KSPIN_COMMUNICATION,
    *PKSPIN_COMMUNICATION;

typedef enum {
    KSSTATE_STOP = 0,
    KSSTATE_ACQUIRE = 1,
    KSSTATE_PAUSE = 2,
    KSSTATE_RUN = 3,
} KSSTATE,
    *PKSSTATE;

typedef struct {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;
#define KSPRIORITY_LOW 0x00000001
#define KSPRIORITY_NORMAL 0x40000000
#define KSPRIORITY_HIGH 0x80000000
#define KSPRIORITY_EXCLUSIVE 0xFFFFFFFF

// The connection request of a pin create; it follows the pin-create name's text
// at a byte offset that is not 4-aligned, so readers copy it out first.
typedef struct {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    ULONG PinToHandle;  // a connection to another pin's handle; 0 for a sink pin
    KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;
static_assert(sizeof(KSPIN_CONNECT) == 64);
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48 && offsetof(KSPIN_CONNECT, PinToHandle) == 52);

#define KSINTERFACE_STANDARD_STREAMING 0
#define KSMEDIUM_TYPE_ANYINSTANCE 0

// Property ids.
#define KSPROPERTY_PIN_CINSTANCES 0
#define KSPROPERTY_PIN_CTYPES 1
#define KSPROPERTY_PIN_DATAFLOW 2
#define KSPROPERTY_PIN_DATARANGES 3
#define KSPROPERTY_PIN_DATAINTERSECTION 4
#define KSPROPERTY_PIN_INTERFACES 5
#define KSPROPERTY_PIN_MEDIUMS 6
#define KSPROPERTY_PIN_COMMUNICATION 7
#define KSPROPERTY_PIN_GLOBALCINSTANCES 8
#define KSPROPERTY_PIN_NECESSARYINSTANCES 9
#define KSPROPERTY_PIN_PHYSICALCONNECTION 10
#define KSPROPERTY_PIN_CATEGORY 11
#define KSPROPERTY_PIN_NAME 12

#define KSPROPERTY_CONNECTION_STATE 0
#define KSPROPERTY_CONNECTION_PRIORITY 1
#define KSPROPERTY_CONNECTION_DATAFORMAT 2
#define KSPROPERTY_CONNECTION_ALLOCATORFRAMING 3

#define KSPROPERTY_TOPOLOGY_CATEGORIES 0
#define KSPROPERTY_TOPOLOGY_NODES 1
#define KSPROPERTY_TOPOLOGY_CONNECTIONS 2
#define KSPROPERTY_TOPOLOGY_NAME 3

typedef struct {
    ULONG PossibleInstances;
    ULONG CurrentInstances;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;
#define KSFILTER_NODE ((ULONG)-1)

// ---------------------------------------------------------------------------
// Stream requests
// ---------------------------------------------------------------------------
typedef struct {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
} KSTIME, *PKSTIME;

typedef struct {
    ULONG Size;  // of this header; consumers walk the array by it
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;  // bytes the buffer holds
    ULONG DataUsed;     // bytes of valid data in it
    PVOID Data;
    ULONG OptionsFlags;
    ULONG Reserved;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;
static_assert(sizeof(KSSTREAM_HEADER) == 56);
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32 &&
              offsetof(KSSTREAM_HEADER, Data) == 40);

// The data does not follow on from the previous request's (the first of a stream).
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

// ---------------------------------------------------------------------------
// Sets, categories, interfaces and mediums
// ---------------------------------------------------------------------------
DEFINE_GUID(KSPROPSETID_Pin, 0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00,
            0x00);
DEFINE_GUID(KSPROPSETID_Connection, 0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1,
            0x00, 0x00);
DEFINE_GUID(KSPROPSETID_Topology, 0x720D4AC0, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1,
            0x00, 0x00);
DEFINE_GUID(KSINTERFACESETID_Standard, 0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04,
            0xC1, 0x00, 0x00);
DEFINE_GUID(KSMEDIUMSETID_Standard, 0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1,
            0x00, 0x00);
DEFINE_GUID(KSNAME_Pin, 0x146F1A80, 0x4791, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
DEFINE_GUID(KSNAME_Filter, 0x9B365890, 0x165F, 0x11D0, 0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56,
            0xE4);
// The pin-create name: this text, one separator, a KSPIN_CONNECT and its KSDATAFORMAT.
#define KSSTRING_Pin u"{146F1A80-4791-11D0-A5D6-28DB04C10000}"
inline constexpr ULONG KSSTRING_Pin_Chars = 38;

DEFINE_GUID(KSDATAFORMAT_TYPE_WILDCARD, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9,
            0x22, 0x31, 0x96);

// ---------------------------------------------------------------------------
// Client services
// ---------------------------------------------------------------------------
// Opens a pin of the filter FilterHandle: the name is KSSTRING_Pin, '\', the
// connection and the data format that follows it (FormatSize bytes).
NTSTATUS KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                     PHANDLE ConnectionHandle);
// Sends a METHOD_NEITHER control request to the top of the file's stack and
// waits for it; BytesReturned gets Information (also on failure).
NTSTATUS KsSynchronousIoControlDevice(PFILE_OBJECT FileObject, KPROCESSOR_MODE RequestorMode,
                                      ULONG IoControl, PVOID InBuffer, ULONG InSize,
                                      PVOID OutBuffer, ULONG OutSize, PULONG BytesReturned);
