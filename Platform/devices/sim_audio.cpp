// The simulated KS audio function driver: a filter with a configurable pin
// table, property answers, pin create and close, and the bookkeeping tests read.
// Streaming lives in sim_stream.cpp, the room in sim_room.cpp.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "kp/clock.h"
#include "kp/io.h"
#include "kp/pnp.h"
#include "platform/zw.h"
#include "sim_internal.h"

namespace kp::sim {
namespace {

std::atomic<ULONGLONG> g_sequence{0};

constexpr ULONG kMaxPropertyInput = 64 * 1024;
constexpr ULONG kPinNameBytes = KSSTRING_Pin_Chars * 2;                  // 76
constexpr ULONG kConnectOffset = kPinNameBytes + 2;                      // 78: text and separator
constexpr ULONG kFormatOffset = kConnectOffset + sizeof(KSPIN_CONNECT);  // 142

// The pin-create part of a create's file name (a name opened on the device
// itself arrives with its leading separator), when it is one.
bool PinCreateName(PFILE_OBJECT file, const uint8_t** bytes, ULONG* length) {
    *bytes = reinterpret_cast<const uint8_t*>(file->FileName.Buffer);
    *length = file->FileName.Length;
    if (*length >= 2 && file->FileName.Buffer[0] == u'\\') *bytes += 2, *length -= 2;
    return *length >= kPinNameBytes && std::memcmp(*bytes, KSSTRING_Pin, kPinNameBytes) == 0;
}

// A read or write stream request (the ones the removal answer applies to).
bool IsStreamRequest(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return false;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    return code == IOCTL_KS_READ_STREAM || code == IOCTL_KS_WRITE_STREAM;
}

// The function device's extension: its Device and a remove lock, as a real
// function driver keeps one, so that a request arriving as the device is
// removed is refused instead of reaching a Device being torn down.
struct SimExtension {
    Device* D;
    LONG Holders;    // 1 (the device's own) plus one per request inside
    LONG Removing;   // set once by the removal
    KEVENT Drained;  // set when the last holder left after the removal began
};

SimExtension* ExtensionOf(PDEVICE_OBJECT fdo) {
    return static_cast<SimExtension*>(fdo->DeviceExtension);
}

Device* FromFdo(PDEVICE_OBJECT fdo) {
    return ExtensionOf(fdo)->D;
}

void DropHold(SimExtension* x) {
    if (InterlockedDecrement(&x->Holders) == 0) KeSetEvent(&x->Drained, IO_NO_INCREMENT, FALSE);
}

bool TakeHold(SimExtension* x) {
    InterlockedIncrement(&x->Holders);
    if (InterlockedCompareExchange(&x->Removing, 1, 1) != 0) {
        DropHold(x);
        return false;
    }
    return true;
}

// Refuses every later request and waits until none is inside.  PASSIVE_LEVEL.
void DrainHolds(SimExtension* x) {
    InterlockedExchange(&x->Removing, 1);
    DropHold(x);
    KeWaitForSingleObject(&x->Drained, Executive, KernelMode, FALSE, nullptr);
}

AudioRange Range(ULONG maxChannels, ULONG minBits, ULONG maxBits) {
    AudioRange r;
    r.MaxChannels = maxChannels;
    r.MinBits = minBits;
    r.MaxBits = maxBits;
    return r;
}

// DataRanges as the device lists them: a KSMULTIPLE_ITEM with 8-byte aligned items.
std::vector<uint8_t> RangeList(const PinConfig& pin) {
    std::vector<uint8_t> out(sizeof(KSMULTIPLE_ITEM));
    for (const AudioRange& r : pin.Ranges) {
        KSDATARANGE_AUDIO a{};
        a.DataRange.FormatSize = r.FormatSize;
        a.DataRange.MajorFormat = r.Major;
        a.DataRange.SubFormat = r.Sub;
        a.DataRange.Specifier = r.Specifier;
        a.MaximumChannels = r.MaxChannels;
        a.MinimumBitsPerSample = r.MinBits;
        a.MaximumBitsPerSample = r.MaxBits;
        a.MinimumSampleFrequency = r.MinRate;
        a.MaximumSampleFrequency = r.MaxRate;
        size_t at = out.size();
        out.resize(at + ((r.FormatSize + 7) & ~7u));
        std::memcpy(out.data() + at, &a, std::min<size_t>(r.FormatSize, sizeof a));
    }
    KSMULTIPLE_ITEM head{static_cast<ULONG>(out.size()), static_cast<ULONG>(pin.Ranges.size())};
    std::memcpy(out.data(), &head, sizeof head);
    return out;
}

bool IsAudioRange(const AudioRange& r) {
    return r.FormatSize >= sizeof(KSDATARANGE_AUDIO) && r.Major == KSDATAFORMAT_TYPE_AUDIO &&
           r.Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
}

bool PointAllowed(const PinConfig& pin, ULONG rate, ULONG bits) {
    for (auto& p : pin.Rejected) {
        if (p.Rate == rate && p.Bits == bits) return false;
    }
    if (pin.Supported.empty()) return true;
    for (auto& p : pin.Supported) {
        if (p.Rate == rate && p.Bits == bits) return true;
    }
    return false;
}

// A PCM wave format, in the 82-byte or the 104-byte form.
std::vector<uint8_t> WaveFormat(ULONG rate, ULONG bits, ULONG channels, bool extensible) {
    WAVEFORMATEXTENSIBLE w{};
    w.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    w.Format.nChannels = static_cast<WORD>(channels);
    w.Format.nSamplesPerSec = rate;
    w.Format.nBlockAlign = static_cast<WORD>(bits * channels / 8);
    w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * rate;
    w.Format.wBitsPerSample = static_cast<WORD>(bits);
    w.Format.cbSize = extensible ? 22 : 0;
    w.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
    w.dwChannelMask =
        channels == 1 ? SPEAKER_FRONT_CENTER : SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    KSDATAFORMAT f{};
    f.FormatSize =
        extensible ? sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) : sizeof(KSDATAFORMAT_WAVEFORMATEX);
    f.SampleSize = w.Format.nBlockAlign;
    f.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::vector<uint8_t> out(f.FormatSize);
    std::memcpy(out.data(), &f, sizeof f);
    std::memcpy(out.data() + sizeof f, &w, extensible ? sizeof w : sizeof(WAVEFORMATEX));
    return out;
}

// Checks a format against a pin's ranges; fills the wave format of audio ones.
bool FormatInRanges(const PinConfig& pin, const uint8_t* format, ULONG size, WAVEFORMATEX* wfx,
                    bool* isAudio) {
    if (size < sizeof(KSDATAFORMAT)) return false;
    KSDATAFORMAT f;
    std::memcpy(&f, format, sizeof f);
    if (f.FormatSize != size) return false;
    *isAudio = false;
    for (const AudioRange& r : pin.Ranges) {
        if (!(f.MajorFormat == r.Major && f.SubFormat == r.Sub && f.Specifier == r.Specifier))
            continue;
        if (!IsAudioRange(r)) return true;
        if (size < sizeof(KSDATAFORMAT_WAVEFORMATEX)) return false;
        WAVEFORMATEX w;
        std::memcpy(&w, format + sizeof(KSDATAFORMAT), sizeof w);
        if (w.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
            if (size < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) || w.cbSize < 22) return false;
            WAVEFORMATEXTENSIBLE x;
            std::memcpy(&x, format + sizeof(KSDATAFORMAT), sizeof x);
            if (!(x.SubFormat == KSDATAFORMAT_SUBTYPE_PCM)) return false;
        } else if (w.wFormatTag != WAVE_FORMAT_PCM) {
            return false;
        }
        ULONG maxChannels = r.MaxChannels == 0xFFFFFFFFu ? 0xFFFFu : r.MaxChannels;
        if (w.nChannels < 1 || w.nChannels > maxChannels) continue;
        if (w.wBitsPerSample % 8 != 0 || w.wBitsPerSample < r.MinBits ||
            w.wBitsPerSample > r.MaxBits)
            continue;
        if (w.nSamplesPerSec < r.MinRate || w.nSamplesPerSec > r.MaxRate) continue;
        if (w.nBlockAlign != w.nChannels * w.wBitsPerSample / 8) continue;
        if (w.nAvgBytesPerSec != w.nBlockAlign * w.nSamplesPerSec) continue;
        if (!PointAllowed(pin, w.nSamplesPerSec, w.wBitsPerSample)) continue;
        *wfx = w;
        *isAudio = true;
        return true;
    }
    return false;
}

// The first offered range that intersects one of the pin's gives the answer.
bool Intersect(const PinConfig& pin, const uint8_t* offered, ULONG length,
               std::vector<uint8_t>* answer) {
    if (length < sizeof(KSMULTIPLE_ITEM)) return false;
    KSMULTIPLE_ITEM head;
    std::memcpy(&head, offered, sizeof head);
    ULONG bound = std::min<ULONG>(length, head.Size);
    ULONG at = sizeof head;
    for (ULONG i = 0; i < head.Count && at + sizeof(KSDATARANGE) <= bound; ++i) {
        KSDATARANGE_AUDIO o{};
        std::memcpy(&o, offered + at, sizeof(KSDATARANGE));
        ULONG size = o.DataRange.FormatSize;
        if (size < sizeof(KSDATARANGE) || size > bound - at) return false;
        std::memcpy(&o, offered + at, std::min<size_t>(size, sizeof o));
        for (const AudioRange& r : pin.Ranges) {
            if (!(o.DataRange.MajorFormat == r.Major && o.DataRange.SubFormat == r.Sub &&
                  o.DataRange.Specifier == r.Specifier)) {
                continue;
            }
            if (!IsAudioRange(r)) {  // a plain range: the answer is the pin's own
                KSDATAFORMAT f{};
                f.FormatSize = sizeof f;
                f.MajorFormat = r.Major;
                f.SubFormat = r.Sub;
                f.Specifier = r.Specifier;
                answer->assign(reinterpret_cast<uint8_t*>(&f),
                               reinterpret_cast<uint8_t*>(&f) + sizeof f);
                return true;
            }
            if (size < sizeof(KSDATARANGE_AUDIO)) continue;
            if (o.MaximumChannels == 0) continue;
            ULONG lowBits = std::max(o.MinimumBitsPerSample, r.MinBits);
            ULONG highBits = std::min(o.MaximumBitsPerSample, r.MaxBits);
            ULONG lowRate = std::max(o.MinimumSampleFrequency, r.MinRate);
            ULONG highRate = std::min(o.MaximumSampleFrequency, r.MaxRate);
            if (lowBits > highBits || lowRate > highRate) continue;
            ULONG rate = 0, bits = 0;
            if (pin.Supported.empty()) {
                rate = highRate;
                bits = highBits & ~7u;
                if (bits < lowBits || !PointAllowed(pin, rate, bits)) continue;
            } else {
                for (auto& p : pin.Supported) {
                    if (p.Rate >= lowRate && p.Rate <= highRate && p.Bits >= lowBits &&
                        p.Bits <= highBits && PointAllowed(pin, p.Rate, p.Bits) &&
                        (p.Rate > rate || (p.Rate == rate && p.Bits > bits))) {
                        rate = p.Rate;
                        bits = p.Bits;
                    }
                }
                if (rate == 0) continue;
            }
            ULONG channels = pin.OnlyChannels;
            if (channels == 0) {
                ULONG offeredMax =
                    o.MaximumChannels == 0xFFFFFFFFu ? r.MaxChannels : o.MaximumChannels;
                channels = std::min(offeredMax, r.MaxChannels == 0xFFFFFFFFu ? 2u : r.MaxChannels);
            }
            *answer = WaveFormat(rate, bits, channels, pin.ExtensibleAnswer);
            return true;
        }
        at += (size + 7) & ~7u;
    }
    return false;
}

// The size protocol of a fixed-size answer: no room asks for the size, too
// little is an error, enough gets the value.
NTSTATUS Answer(uint8_t* out, ULONG outLength, const void* value, ULONG size, ULONG_PTR* info) {
    *info = size;
    if (outLength == 0) return STATUS_BUFFER_OVERFLOW;
    if (outLength < size) {
        *info = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, value, size);
    return STATUS_SUCCESS;
}

// A KSMULTIPLE_ITEM answer: also its header alone into exactly 8 bytes.
NTSTATUS AnswerList(uint8_t* out, ULONG outLength, const std::vector<uint8_t>& list,
                    ULONG_PTR* info) {
    if (outLength == sizeof(KSMULTIPLE_ITEM) && list.size() > sizeof(KSMULTIPLE_ITEM)) {
        std::memcpy(out, list.data(), sizeof(KSMULTIPLE_ITEM));
        *info = sizeof(KSMULTIPLE_ITEM);
        return STATUS_SUCCESS;
    }
    return Answer(out, outLength, list.data(), static_cast<ULONG>(list.size()), info);
}

ULONG ReadDword(HANDLE key, PCWSTR name, ULONG fallback) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 4];
    ULONG length;
    auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info,
                                    sizeof buffer, &length)) ||
        info->Type != REG_DWORD || info->DataLength != 4) {
        return fallback;
    }
    ULONG value;
    std::memcpy(&value, info->Data, 4);
    return value;
}

std::u16string ReadString(HANDLE key, PCWSTR name) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    std::vector<UCHAR> buffer(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 512);
    ULONG length;
    auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info,
                                    static_cast<ULONG>(buffer.size()), &length)) ||
        info->Type != REG_SZ) {
        return {};
    }
    std::u16string text(info->DataLength / 2, u'\0');
    std::memcpy(text.data(), info->Data, text.size() * 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

void SetInterfaces(Device* d, BOOLEAN enable) {
    for (UNICODE_STRING& link : d->Links) IoSetDeviceInterfaceState(&link, enable);
}

NTSTATUS DispatchPnp(Device* d, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(d->Lower, irp);
            if (NT_SUCCESS(status)) SetInterfaces(d, TRUE);
            return CompleteNow(irp, status);
        }
        case IRP_MN_QUERY_PNP_DEVICE_STATE: {
            NTSTATUS status = ForwardAndWait(d->Lower, irp);
            ULONG_PTR bits = NT_SUCCESS(status) ? irp->IoStatus.Information : 0;
            return CompleteNow(irp, STATUS_SUCCESS, bits | PNP_DEVICE_NOT_DISABLEABLE);
        }
        case IRP_MN_SURPRISE_REMOVAL:
            SetInterfaces(d, FALSE);
            d->Shutdown();
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(d->Lower, irp);
        case IRP_MN_REMOVE_DEVICE: {
            DrainHolds(ExtensionOf(d->Fdo));
            SetInterfaces(d, FALSE);
            d->Shutdown();
            std::shared_ptr<Device> self = d->shared_from_this();
            RemoveLiveDevice(self);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(d->Lower, irp);
            PDEVICE_OBJECT fdo = d->Fdo;
            IoDetachDevice(d->Lower);
            for (UNICODE_STRING& link : d->Links) RtlFreeUnicodeString(&link);
            d->Links.clear();
            ExtensionOf(fdo)->D = nullptr;
            IoDeleteDevice(fdo);
            return status;
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            [[fallthrough]];
        default:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(d->Lower, irp);
    }
}

NTSTATUS DispatchPower(Device* d, PIRP irp) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(d->Lower, irp);
}

NTSTATUS DriverDispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    Device* d = FromFdo(fdo);
    if (d == nullptr) return CompleteNow(irp, STATUS_NO_SUCH_DEVICE);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    // The PnP manager sends one request at a time and the removal itself.
    if (major == IRP_MJ_PNP) return DispatchPnp(d, irp);
    SimExtension* x = ExtensionOf(fdo);
    if (!TakeHold(x)) return CompleteNow(irp, STATUS_DELETE_PENDING);
    NTSTATUS status;
    if (major == IRP_MJ_POWER) {
        status = DispatchPower(d, irp);
    } else if (major == IRP_MJ_SYSTEM_CONTROL) {
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(d->Lower, irp);
    } else {
        status = d->Dispatch(irp);
    }
    DropHold(x);
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SimExtension), nullptr, FILE_DEVICE_KS,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    SimExtension* extension = ExtensionOf(fdo);
    extension->D = nullptr;
    extension->Holders = 1;
    extension->Removing = 0;
    KeInitializeEvent(&extension->Drained, NotificationEvent, FALSE);
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto d = std::make_shared<Device>(fdo, lower, pdo);
    std::string profile = "full";
    ULONG channels = 1;
    CaptureSource source = CaptureSource::Room;
    HANDLE key;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        std::string p = Narrow(ReadString(key, u"SimProfile"));
        if (!p.empty()) profile = p;
        std::string room = Narrow(ReadString(key, u"RoomName"));
        if (!room.empty()) d->RoomName = room;
        std::u16string name = ReadString(key, u"FilterName");
        if (!name.empty()) d->FilterName = name;
        channels = ReadDword(key, u"CaptureChannels", 1);
        std::string s = Narrow(ReadString(key, u"CaptureSource"));
        if (s == "silence") source = CaptureSource::Silence;
        if (s == "ramp") source = CaptureSource::Ramp;
        if (s == "sine") source = CaptureSource::Sine;
        d->DisconnectOnRemoval = ReadDword(key, u"DisconnectOnRemoval", 0) != 0;
        d->ClockOffsetPpm = static_cast<LONG>(ReadDword(key, u"ClockOffsetPpm", 0));
        d->KernelStreamMdl = ReadDword(key, u"KernelStreamMdl", 0) != 0;
        ZwClose(key);
    }
    d->Pins = ProfilePins(profile, channels, source);
    if (d->Pins.empty()) {
        DbgPrint("KpSimAudio: unknown SimProfile \"%s\"\n", profile.c_str());
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        return STATUS_INVALID_PARAMETER;
    }
    if (d->RoomName.empty()) {
        WCHAR id[256];
        ULONG length = 0;
        if (NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, sizeof id,
                                           id, &length))) {
            d->RoomName = Narrow(std::u16string(id, length / 2));
        }
        while (!d->RoomName.empty() && d->RoomName.back() == '\0') d->RoomName.pop_back();
    }
    d->ResetVolume(profile == "camera" ? CameraVolumeRange() : VolumeRange{});
    bool render = false, capture = false;
    for (auto& pin : d->Pins) {
        if (pin.Communication != KSPIN_COMMUNICATION_SINK) continue;
        (pin.Dataflow == KSPIN_DATAFLOW_IN ? render : capture) = true;
    }
    std::vector<const GUID*> categories{&KSCATEGORY_AUDIO};
    if (render) categories.push_back(&KSCATEGORY_RENDER);
    if (capture) categories.push_back(&KSCATEGORY_CAPTURE);
    UNICODE_STRING reference;
    reference.Buffer = d->FilterName.data();
    reference.Length = reference.MaximumLength = static_cast<USHORT>(d->FilterName.size() * 2);
    for (const GUID* category : categories) {
        UNICODE_STRING link{};
        status = IoRegisterDeviceInterface(pdo, category, &reference, &link);
        if (!NT_SUCCESS(status)) {
            for (UNICODE_STRING& l : d->Links) RtlFreeUnicodeString(&l);
            d->Links.clear();
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
            return status;
        }
        d->Links.push_back(link);
    }
    extension->D = d.get();
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    d->StartThreads();
    AddLiveDevice(d);
    return STATUS_SUCCESS;
}

void DriverUnload(PDRIVER_OBJECT) {}

NTSTATUS SimDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = DriverDispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR info) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------------------
// Profiles
// ---------------------------------------------------------------------------
std::vector<PinConfig> ProfilePins(const std::string& profile, ULONG captureChannels,
                                   CaptureSource source) {
    PinConfig render;
    render.Category = KSCATEGORY_AUDIO;
    render.Dataflow = KSPIN_DATAFLOW_IN;
    render.Ranges = {Range(2, 8, 16)};
    PinConfig capture;
    capture.Category = KSCATEGORY_CAPTURE;
    capture.Dataflow = KSPIN_DATAFLOW_OUT;
    capture.Ranges = {Range(captureChannels == 0 ? 1 : captureChannels, 16, 16)};
    capture.Source = source;
    auto bridge = [](KSPIN_DATAFLOW flow, const GUID& category) {
        PinConfig b;
        b.Category = category;
        b.Dataflow = flow;
        b.Communication = KSPIN_COMMUNICATION_NONE;
        b.MaxInstances = 0;
        AudioRange r;
        r.FormatSize = sizeof(KSDATARANGE);
        r.Sub = KSDATAFORMAT_SUBTYPE_ANALOG;
        r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
        b.Ranges = {r};
        return b;
    };
    PinConfig unused;  // a placeholder pin nobody can open: no ranges
    unused.Ranges = {};
    unused.MaxInstances = 0;
    if (profile == "full") {
        return {render, capture, bridge(KSPIN_DATAFLOW_OUT, KSNODETYPE_SPEAKER),
                bridge(KSPIN_DATAFLOW_IN, KSNODETYPE_MICROPHONE)};
    }
    if (profile == "camera") {
        unused.Dataflow = KSPIN_DATAFLOW_IN;
        unused.Category = KSCATEGORY_AUDIO;
        unused.Communication = KSPIN_COMMUNICATION_NONE;
        return {unused, capture, bridge(KSPIN_DATAFLOW_IN, KSNODETYPE_MICROPHONE)};
    }
    if (profile == "speaker") return {render, bridge(KSPIN_DATAFLOW_OUT, KSNODETYPE_SPEAKER)};
    if (profile == "extended") {
        // The full device and three pins a filter's range handling must cope with:
        // 4, a MIDI-like pin (an audio category, no audio data range);
        // 5, a capture pin whose one range is 96 bytes long;
        // 6, a capture pin whose ranges lie outside usual rates and sizes (44.1 kHz, 24 bit).
        PinConfig midi;
        midi.Category = KSCATEGORY_AUDIO;
        AudioRange music;
        music.Major = KSDATAFORMAT_TYPE_MUSIC;
        music.Sub = KSDATAFORMAT_SUBTYPE_MIDI;
        music.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
        music.FormatSize = sizeof(KSDATARANGE);
        midi.Ranges = {music};
        PinConfig wide = capture;
        wide.Ranges[0].FormatSize = 96;
        PinConfig odd = capture;
        odd.Ranges = {Range(2, 24, 24)};
        odd.Ranges[0].MinRate = odd.Ranges[0].MaxRate = 44100;
        return {render,
                capture,
                bridge(KSPIN_DATAFLOW_OUT, KSNODETYPE_SPEAKER),
                bridge(KSPIN_DATAFLOW_IN, KSNODETYPE_MICROPHONE),
                midi,
                wide,
                odd};
    }
    return {};
}

ULONGLONG NextSequence() {
    return ++g_sequence;
}

void RegisterDriver() {
    KpRegisterBuiltinDriver(kServiceName, SimDriverEntry);
}

// ---------------------------------------------------------------------------
// Buffer views
// ---------------------------------------------------------------------------
NTSTATUS BufferView::Map(PVOID address, ULONG length, KPROCESSOR_MODE mode, LOCK_OPERATION access) {
    Release();
    if (length == 0) return STATUS_SUCCESS;
    if (address == nullptr) return STATUS_INVALID_USER_BUFFER;
    if (mode == KernelMode) {
        system_ = static_cast<uint8_t*>(address);
        return STATUS_SUCCESS;
    }
    mdl_ = IoAllocateMdl(address, length, FALSE, FALSE, nullptr);
    if (mdl_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = KpProbeAndLockPages(mdl_, UserMode, access);
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl_);
        mdl_ = nullptr;
        return status;
    }
    system_ = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl_, NormalPagePriority));
    if (system_ == nullptr) {
        MmUnlockPages(mdl_);
        IoFreeMdl(mdl_);
        mdl_ = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void BufferView::Release() {
    if (mdl_ != nullptr) {
        MmUnlockPages(mdl_);
        IoFreeMdl(mdl_);
        mdl_ = nullptr;
    }
    system_ = nullptr;
}

// ---------------------------------------------------------------------------
// The device
// ---------------------------------------------------------------------------
Device::Device(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo)
    : Fdo(fdo), Lower(lower), Pdo(pdo) {}

Device::~Device() {
    Shutdown();
    if (AsyncThread.joinable()) AsyncThread.join();
}

void Device::StartThreads() {
    AsyncThread = std::thread([this] {
        std::unique_lock<std::mutex> lock(AsyncLock);
        for (;;) {
            AsyncWake.wait(lock, [this] { return AsyncStop || !AsyncQueue.empty(); });
            if (AsyncQueue.empty()) break;
            Completion c = AsyncQueue.front();
            AsyncQueue.pop_front();
            AsyncBusy = true;
            lock.unlock();
            std::vector<Completion> one{c};
            CompleteAll(one);
            lock.lock();
            AsyncBusy = false;
            if (AsyncQueue.empty()) AsyncIdle.notify_all();
        }
        AsyncBusy = false;
        AsyncIdle.notify_all();
    });
}

void Device::QueueCompletion(const Completion& c) {
    std::lock_guard<std::mutex> lock(AsyncLock);
    AsyncQueue.push_back(c);
    AsyncWake.notify_one();
}

bool Device::CompletionsIdle() {
    std::unique_lock<std::mutex> lock(AsyncLock);
    AsyncIdle.wait(lock, [this] { return AsyncQueue.empty() && !AsyncBusy; });
    return true;
}

void Device::CompleteAll(std::vector<Completion>& done) {
    for (Completion& c : done) {
        KIRQL old = KeGetCurrentIrql();
        bool raise = c.Irql > old;
        if (raise) KeRaiseIrql(c.Irql, &old);
        CompleteNow(c.Irp, c.Status, c.Information);
        if (raise) KeLowerIrql(old);
    }
    done.clear();
}

void Device::Shutdown() {
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> lock(Lock);
        Removed = true;
        for (auto& [file, pin] : PinFiles) DrainPin(*pin, true, done);
        DrainHeld(nullptr, done);
    }
    TickDelayed(LLONG_MAX, done);
    CompleteAll(done);
    if (AsyncThread.joinable()) {
        CompletionsIdle();
        {
            std::lock_guard<std::mutex> lock(AsyncLock);
            AsyncStop = true;
            AsyncWake.notify_all();
        }
        if (AsyncThread.get_id() != std::this_thread::get_id()) AsyncThread.join();
    }
}

void Device::TickDelayed(LONGLONG now, std::vector<Completion>& done) {
    std::lock_guard<std::mutex> lock(Lock);
    for (auto it = Delayed.begin(); it != Delayed.end();) {
        if (it->Due > now) {
            ++it;
            continue;
        }
        done.push_back(it->C);
        it = Delayed.erase(it);
    }
}

const Fault* Device::MatchFault(const RequestRecord& r) {
    for (auto& [f, seen] : Faults) {
        if (f.Major >= 0 && f.Major != r.Major) continue;
        if (f.IoControl != 0 && f.IoControl != r.IoControl) continue;
        if (f.MatchSet && !(r.IsProperty && r.Set == f.Set)) continue;
        if (f.Id != ~0u && !(r.IsProperty && r.Id == f.Id)) continue;
        if (f.PinId != ~0u && r.PinId != f.PinId) continue;
        if (++seen == f.Nth) return &f;
    }
    return nullptr;
}

NTSTATUS Device::Finish(PIRP irp, NTSTATUS status, ULONG_PTR info, size_t log, RequestClass cls) {
    CompletionMode mode;
    {
        std::lock_guard<std::mutex> lock(Lock);
        if (log < Log.size()) {
            Log[log].Status = status;
            Log[log].Information = info;
        }
        mode = Modes[static_cast<int>(cls)];
        if (Removed) mode.Async = false;  // the completion thread is gone
    }
    if (!mode.Async || status == STATUS_PENDING) {
        if (status == STATUS_PENDING) return status;
        return CompleteNow(irp, status, info);
    }
    IoMarkIrpPending(irp);
    if (mode.Delay > 0) {
        std::lock_guard<std::mutex> lock(Lock);
        Delayed.push_back({{irp, status, info, mode.Irql}, KpClockNow() + mode.Delay});
        return STATUS_PENDING;
    }
    QueueCompletion({irp, status, info, mode.Irql});
    return STATUS_PENDING;
}

void Device::CancelHeld(PDEVICE_OBJECT fdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Device* d = FromFdo(fdo);
    bool found = false;
    if (d != nullptr) {
        std::lock_guard<std::mutex> lock(d->Lock);
        for (auto it = d->Held.begin(); it != d->Held.end(); ++it) {
            if (it->Irp == irp) {
                d->Held.erase(it);
                found = true;
                break;
            }
        }
    }
    if (found) CompleteNow(irp, STATUS_CANCELLED);
}

NTSTATUS Device::Hold(PIRP irp, PFILE_OBJECT file, const std::function<void(bool)>& hook) {
    if (hook) hook(false);
    IoMarkIrpPending(irp);
    NTSTATUS answer = STATUS_CANCELLED;
    {
        // One step against the drains (a removal's, a cleanup's): a request
        // held after the removal drained, or held before its cancel routine
        // is set (a drain leaves it then, as one being cancelled), would
        // never be ended.
        std::lock_guard<std::mutex> lock(Lock);
        if (Removed) {
            answer = CancelAnswer(irp);
        } else {
            IoSetCancelRoutine(irp, CancelHeld);
            if (!irp->Cancel || IoSetCancelRoutine(irp, nullptr) == nullptr) {
                Held.push_back({irp, file});  // a cancel routine already called finds it here
                answer = STATUS_PENDING;
            }
        }
    }
    if (answer != STATUS_PENDING) {
        CompleteNow(irp, answer);
    } else if (hook) {
        hook(true);
    }
    return STATUS_PENDING;
}

void Device::DrainHeld(PFILE_OBJECT file, std::vector<Completion>& done) {
    for (auto it = Held.begin(); it != Held.end();) {
        if (file != nullptr && it->File != file) {
            ++it;
            continue;
        }
        if (IoSetCancelRoutine(it->Irp, nullptr) == nullptr) {  // its cancel routine has it
            ++it;
            continue;
        }
        done.push_back({it->Irp, CancelAnswer(it->Irp), 0, PASSIVE_LEVEL});
        it = Held.erase(it);
    }
}

NTSTATUS Device::CancelAnswer(PIRP irp) const {
    return Removed && DisconnectOnRemoval && IsStreamRequest(irp) ? STATUS_DEVICE_NOT_CONNECTED
                                                                  : STATUS_CANCELLED;
}

void Device::ReleaseHeld(NTSTATUS status) {
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> lock(Lock);
        DrainHeld(nullptr, done);
    }
    for (auto& c : done) c.Status = status;
    CompleteAll(done);
}

NTSTATUS Device::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    RequestRecord r;
    r.Sequence = NextSequence();
    r.Major = stack->MajorFunction;
    r.Minor = stack->MinorFunction;
    r.File = stack->FileObject;
    r.Mode = irp->RequestorMode;
    r.Irql = KeGetCurrentIrql();
    r.Thread = std::this_thread::get_id();
    if (r.Major == IRP_MJ_DEVICE_CONTROL) {
        r.IoControl = stack->Parameters.DeviceIoControl.IoControlCode;
        r.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        r.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (r.IoControl == IOCTL_KS_PROPERTY && r.InputLength >= sizeof(KSPROPERTY)) {
            BufferView in;
            ULONG length = std::min<ULONG>(r.InputLength, sizeof(KSP_PIN));
            if (NT_SUCCESS(in.Map(stack->Parameters.DeviceIoControl.Type3InputBuffer, length,
                                  irp->RequestorMode, IoReadAccess))) {
                KSP_PIN p{};
                std::memcpy(&p, in.Get(), length);
                r.IsProperty = true;
                r.Set = p.Property.Set;
                r.Id = p.Property.Id;
                r.Flags = p.Property.Flags;
                if (length >= sizeof(KSP_PIN)) r.PinId = p.PinId;
            }
        }
    }
    size_t log;
    const Fault* fault;
    Fault copy;
    std::function<void(bool)> holdHook;
    {
        std::lock_guard<std::mutex> lock(Lock);
        if (r.File != nullptr &&
            (r.IoControl == IOCTL_KS_READ_STREAM || r.IoControl == IOCTL_KS_WRITE_STREAM)) {
            auto it = PinFiles.find(r.File);
            if (it != PinFiles.end()) r.PinId = it->second->Id;
        }
        const uint8_t* name;
        ULONG length;
        if (r.Major == IRP_MJ_CREATE && r.File != nullptr &&
            PinCreateName(r.File, &name, &length) &&
            length >= kConnectOffset + sizeof(KSPIN_CONNECT)) {
            KSPIN_CONNECT connect;
            std::memcpy(&connect, name + kConnectOffset, sizeof connect);
            r.PinId = connect.PinId;
        }
        log = Log.size();
        Log.push_back(r);
        fault = MatchFault(r);
        if (fault != nullptr) copy = *fault;
        if (fault != nullptr && copy.NeverComplete) holdHook = HoldHook;
        if (Removed && r.Major != IRP_MJ_CLOSE && r.Major != IRP_MJ_CLEANUP) {
            NTSTATUS gone = IsStreamRequest(irp) && DisconnectOnRemoval
                                ? STATUS_DEVICE_NOT_CONNECTED
                                : STATUS_DELETE_PENDING;
            Log[log].Status = gone;
            return CompleteNow(irp, gone);
        }
    }
    if (fault != nullptr) {
        if (copy.NeverComplete) return Hold(irp, r.File, holdHook);
        RequestClass cls = r.Major == IRP_MJ_CREATE  ? RequestClass::Create
                           : r.Major == IRP_MJ_CLOSE ? RequestClass::Close
                                                     : RequestClass::Property;
        return Finish(irp, copy.Status, copy.Information, log, cls);
    }
    switch (r.Major) {
        case IRP_MJ_CREATE:
            return DispatchCreate(irp, stack, log);
        case IRP_MJ_CLOSE:
            return DispatchClose(irp, stack, log);
        case IRP_MJ_CLEANUP:
            return DispatchCleanup(irp, stack, log);
        case IRP_MJ_DEVICE_CONTROL:
            return DispatchControl(irp, stack, log);
        default:
            return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0, log, RequestClass::Property);
    }
}

NTSTATUS Device::DispatchCreate(PIRP irp, PIO_STACK_LOCATION stack, size_t log) {
    PFILE_OBJECT file = stack->FileObject;
    if (file == nullptr)
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0, log, RequestClass::Create);
    const uint8_t* bytes;
    ULONG length;
    bool pinName = PinCreateName(file, &bytes, &length);
    if (!pinName) {  // a filter
        std::lock_guard<std::mutex> lock(Lock);
        Filters[file] = 1;
    }
    if (!pinName) return Finish(irp, STATUS_SUCCESS, 0, log, RequestClass::Create);

    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(Lock);
        KSPIN_CONNECT connect{};
        KSDATAFORMAT head{};
        if (length < kFormatOffset + sizeof(KSDATAFORMAT)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            std::memcpy(&connect, bytes + kConnectOffset, sizeof connect);
            std::memcpy(&head, bytes + kFormatOffset, sizeof head);
            if (head.FormatSize < sizeof(KSDATAFORMAT) ||
                head.FormatSize > length - kFormatOffset) {
                status = STATUS_INVALID_PARAMETER;
            }
        }
        if (NT_SUCCESS(status) &&
            (file->RelatedFileObject == nullptr || !Filters.count(file->RelatedFileObject))) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
        if (NT_SUCCESS(status) && connect.PinId >= Pins.size()) status = STATUS_INVALID_PARAMETER;
        WAVEFORMATEX wfx{};
        bool audio = false;
        if (NT_SUCCESS(status)) {
            const PinConfig& pin = Pins[connect.PinId];
            const uint8_t* format = bytes + kFormatOffset;
            bool match = FormatInRanges(pin, format, head.FormatSize, &wfx, &audio);
            if (match && pin.StrictCreate) {
                auto it = LastIntersection.find(connect.PinId);
                match = it != LastIntersection.end() && it->second.size() == head.FormatSize &&
                        std::memcmp(it->second.data(), format, head.FormatSize) == 0;
            }
            if (!match) status = STATUS_NO_MATCH;
        }
        if (NT_SUCCESS(status)) {
            ULONG open = 0;
            for (auto& [f, p] : PinFiles) open += p->Id == connect.PinId;
            if (open >= Pins[connect.PinId].MaxInstances)
                status = Pins[connect.PinId].InstanceLimitStatus;
        }
        if (NT_SUCCESS(status)) {
            auto pin = std::make_unique<PinInstance>();
            pin->Id = connect.PinId;
            pin->File = file;
            pin->Format.assign(bytes + kFormatOffset, bytes + kFormatOffset + head.FormatSize);
            pin->Wfx = wfx;
            pin->IsAudio = audio;
            pin->Record = Records.size();
            PinRecord rec;
            rec.PinId = connect.PinId;
            rec.File = file;
            rec.CreateFormat = pin->Format;
            rec.States.push_back(KSSTATE_STOP);
            Records.push_back(std::move(rec));
            PinFiles[file] = std::move(pin);
        }
    }
    return Finish(irp, status, 0, log, RequestClass::Create);
}

void Device::DrainPin(PinInstance& pin, bool cancel, std::vector<Completion>& done) {
    std::deque<StreamRequest*> keep;
    while (!pin.Queue.empty()) {
        StreamRequest* req = pin.Queue.front();
        pin.Queue.pop_front();
        if (IoSetCancelRoutine(req->Irp, nullptr) ==
            nullptr) {  // being cancelled: its routine takes it
            keep.push_back(req);
            continue;
        }
        done.push_back(FinishStream(req, cancel ? CancelAnswer(req->Irp) : STATUS_SUCCESS, pin));
    }
    pin.Queue = std::move(keep);
    DrainHeld(pin.File, done);
}

NTSTATUS Device::DispatchCleanup(PIRP irp, PIO_STACK_LOCATION stack, size_t log) {
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> lock(Lock);
        auto it = PinFiles.find(stack->FileObject);
        if (it != PinFiles.end())
            DrainPin(*it->second, true, done);
        else
            DrainHeld(stack->FileObject, done);
        // Delayed answers on the file go now: the file's last handle is gone.
        for (auto d = Delayed.begin(); d != Delayed.end();) {
            if (IoGetCurrentIrpStackLocation(d->C.Irp)->FileObject != stack->FileObject) {
                ++d;
                continue;
            }
            done.push_back(d->C);
            d = Delayed.erase(d);
        }
    }
    CompleteAll(done);
    return Finish(irp, STATUS_SUCCESS, 0, log, RequestClass::Close);
}

NTSTATUS Device::DispatchClose(PIRP irp, PIO_STACK_LOCATION stack, size_t log) {
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> lock(Lock);
        auto it = PinFiles.find(stack->FileObject);
        if (it != PinFiles.end()) {
            DrainPin(*it->second, true, done);
            Records[it->second->Record].Closed = true;
            PinFiles.erase(it);
        }
        Filters.erase(stack->FileObject);
        DrainHeld(stack->FileObject, done);
    }
    CompleteAll(done);
    return Finish(irp, STATUS_SUCCESS, 0, log, RequestClass::Close);
}

NTSTATUS Device::DispatchControl(PIRP irp, PIO_STACK_LOCATION stack, size_t log) {
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_KS_PROPERTY:
            return DispatchProperty(irp, stack, log);
        case IOCTL_KS_WRITE_STREAM:
            return DispatchStream(irp, stack, log, true);
        case IOCTL_KS_READ_STREAM:
            return DispatchStream(irp, stack, log, false);
        case IOCTL_KS_HANDSHAKE: {
            NTSTATUS status;
            {
                std::lock_guard<std::mutex> lock(Lock);
                ++Handshakes;
                status = HandshakeStatus;
            }
            return Finish(irp, status, 0, log, RequestClass::Handshake);
        }
        default:
            return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0, log, RequestClass::Property);
    }
}

// ---------------------------------------------------------------------------
// Properties: one table entry per (set, id); the handler sees the captured input
// and the mapped output, with the device lock held.
// ---------------------------------------------------------------------------
namespace {

struct PropertyCall {
    Device* D;
    PinInstance* Pin;  // the pin of a pin file object, else null
    bool OnFilter;
    const uint8_t* In;
    ULONG InLength;
    uint8_t* Out;
    ULONG OutLength;
    ULONG Flags;
    ULONG_PTR Info = 0;
};
using PropertyHandler = NTSTATUS (*)(PropertyCall&);

// FilterOrPin: a filter's property that its pins answer too.
enum class Target { Filter, Pin, FilterOrPin };
struct PropertyEntry {
    const GUID* Set;
    ULONG Id;
    Target On;
    PropertyHandler Handler;
};

bool IsGet(const PropertyCall& c) {
    return (c.Flags & KSPROPERTY_TYPE_GET) != 0;
}
bool IsSet(const PropertyCall& c) {
    return (c.Flags & KSPROPERTY_TYPE_SET) != 0;
}

// The pin of a KSP_PIN request on a filter, or an error.
NTSTATUS PinOf(PropertyCall& c, const PinConfig** pin, ULONG* id) {
    if (!IsGet(c)) return STATUS_INVALID_DEVICE_REQUEST;
    if (c.InLength < sizeof(KSP_PIN)) return STATUS_INVALID_PARAMETER;
    KSP_PIN p;
    std::memcpy(&p, c.In, sizeof p);
    if (p.PinId >= c.D->Pins.size()) return STATUS_INVALID_PARAMETER;
    *pin = &c.D->Pins[p.PinId];
    *id = p.PinId;
    return STATUS_SUCCESS;
}

NTSTATUS PinCTypes(PropertyCall& c) {
    if (!IsGet(c)) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG count = static_cast<ULONG>(c.D->Pins.size());
    return Answer(c.Out, c.OutLength, &count, sizeof count, &c.Info);
}

NTSTATUS PinCInstances(PropertyCall& c) {
    const PinConfig* pin;
    ULONG id;
    NTSTATUS status = PinOf(c, &pin, &id);
    if (!NT_SUCCESS(status)) return status;
    KSPIN_CINSTANCES v{pin->MaxInstances, 0};
    for (auto& [f, p] : c.D->PinFiles) v.CurrentInstances += p->Id == id;
    return Answer(c.Out, c.OutLength, &v, sizeof v, &c.Info);
}

NTSTATUS PinDataflow(PropertyCall& c) {
    const PinConfig* pin;
    ULONG id;
    NTSTATUS status = PinOf(c, &pin, &id);
    if (!NT_SUCCESS(status)) return status;
    ULONG v = pin->Dataflow;
    return Answer(c.Out, c.OutLength, &v, sizeof v, &c.Info);
}

NTSTATUS PinCommunication(PropertyCall& c) {
    const PinConfig* pin;
    ULONG id;
    NTSTATUS status = PinOf(c, &pin, &id);
    if (!NT_SUCCESS(status)) return status;
    ULONG v = pin->Communication;
    return Answer(c.Out, c.OutLength, &v, sizeof v, &c.Info);
}

NTSTATUS PinCategory(PropertyCall& c) {
    const PinConfig* pin;
    ULONG id;
    NTSTATUS status = PinOf(c, &pin, &id);
    if (!NT_SUCCESS(status)) return status;
    return Answer(c.Out, c.OutLength, &pin->Category, sizeof(GUID), &c.Info);
}

NTSTATUS PinDataRanges(PropertyCall& c) {
    const PinConfig* pin;
    ULONG id;
    NTSTATUS status = PinOf(c, &pin, &id);
    if (!NT_SUCCESS(status)) return status;
    ++c.D->Answered[{id, KSPROPERTY_PIN_DATARANGES}];
    return AnswerList(c.Out, c.OutLength, RangeList(*pin), &c.Info);
}

NTSTATUS PinDataIntersection(PropertyCall& c) {
    const PinConfig* pin;
    ULONG id;
    NTSTATUS status = PinOf(c, &pin, &id);
    if (!NT_SUCCESS(status)) return status;
    ++c.D->Answered[{id, KSPROPERTY_PIN_DATAINTERSECTION}];
    std::vector<uint8_t> answer;
    if (!Intersect(*pin, c.In + sizeof(KSP_PIN), c.InLength - sizeof(KSP_PIN), &answer))
        return STATUS_NO_MATCH;
    status = Answer(c.Out, c.OutLength, answer.data(), static_cast<ULONG>(answer.size()), &c.Info);
    if (NT_SUCCESS(status)) c.D->LastIntersection[id] = answer;
    return status;
}

void RecordState(PropertyCall& c, KSSTATE state) {
    c.D->Records[c.Pin->Record].States.push_back(state);
}

NTSTATUS ConnectionState(PropertyCall& c) {
    if (IsSet(c)) {
        if (c.OutLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
        ULONG v;
        std::memcpy(&v, c.Out, sizeof v);
        if (v > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
        auto state = static_cast<KSSTATE>(v);
        PinInstance& pin = *c.Pin;
        if (state == KSSTATE_RUN && pin.State != KSSTATE_RUN) {
            // The pin's frames sit on the room's timeline from the moment it runs.
            pin.LastTick = KpClockNow();
            pin.Fraction = 0;
            LONGLONG ignored = 0;
            pin.AbsoluteFrame =
                c.D->FramesIn(pin.LastTick - KpClockBootTime(), pin.Wfx.nSamplesPerSec, &ignored);
        }
        pin.State = state;
        RecordState(c, state);
        return STATUS_SUCCESS;  // STOP's draining is done by the caller, outside the handler
    }
    if (!IsGet(c)) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG v = c.Pin->State;
    return Answer(c.Out, c.OutLength, &v, sizeof v, &c.Info);
}

NTSTATUS ConnectionDataFormat(PropertyCall& c) {
    PinInstance& pin = *c.Pin;
    if (IsSet(c)) {
        if (c.OutLength < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
        KSDATAFORMAT head;
        std::memcpy(&head, c.Out, sizeof head);
        if (head.FormatSize > c.OutLength) return STATUS_BUFFER_TOO_SMALL;
        WAVEFORMATEX wfx{};
        bool audio = false;
        if (!FormatInRanges(c.D->Pins[pin.Id], c.Out, head.FormatSize, &wfx, &audio))
            return STATUS_NO_MATCH;
        pin.Format.assign(c.Out, c.Out + head.FormatSize);
        pin.Wfx = wfx;
        pin.IsAudio = audio;
        c.D->Records[pin.Record].FormatsSet.push_back(pin.Format);
        return STATUS_SUCCESS;
    }
    if (!IsGet(c)) return STATUS_INVALID_DEVICE_REQUEST;
    return Answer(c.Out, c.OutLength, pin.Format.data(), static_cast<ULONG>(pin.Format.size()),
                  &c.Info);
}

NTSTATUS AudioPosition(PropertyCall& c) {
    if (!IsGet(c)) return STATUS_INVALID_DEVICE_REQUEST;
    const PinRecord& rec = c.D->Records[c.Pin->Record];
    KSAUDIO_POSITION p;
    if (c.D->Pins[c.Pin->Id].Dataflow == KSPIN_DATAFLOW_IN) {
        p = {rec.BytesConsumed, rec.BytesReceived};
    } else {
        p = {rec.BytesDelivered, rec.BytesProduced};
    }
    return Answer(c.Out, c.OutLength, &p, sizeof p, &c.Info);
}

// The volume node, per channel, in the device's range (kp/simaudio.h).
NTSTATUS AudioVolume(PropertyCall& c) {
    if (c.InLength < sizeof(KSNODEPROPERTY)) return STATUS_INVALID_PARAMETER;
    KSNODEPROPERTY_AUDIO_CHANNEL p{};
    std::memcpy(&p, c.In, std::min<size_t>(c.InLength, sizeof p));
    const LONG node = c.D->VolumeNodeId();
    if (node < 0 || p.NodeProperty.NodeId != static_cast<ULONG>(node)) return STATUS_NOT_FOUND;
    const VolumeRange& range = c.D->VolumeBounds;
    if (c.Flags & KSPROPERTY_TYPE_BASICSUPPORT) {
        struct {
            KSPROPERTY_DESCRIPTION Description;
            KSPROPERTY_MEMBERSHEADER Members;
            KSPROPERTY_STEPPING_LONG Range;
        } v{};
        v.Description.AccessFlags =
            KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
        v.Description.DescriptionSize = sizeof v;
        v.Description.MembersListCount = 1;
        v.Members = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1,
                     KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL};
        v.Range.SteppingDelta = static_cast<ULONG>(range.Step);
        v.Range.Bounds = {range.Min, range.Max};
        if (c.OutLength == sizeof(KSPROPERTY_DESCRIPTION)) {
            return Answer(c.Out, c.OutLength, &v.Description, sizeof v.Description, &c.Info);
        }
        return Answer(c.Out, c.OutLength, &v, sizeof v, &c.Info);
    }
    if (c.InLength < sizeof(KSNODEPROPERTY_AUDIO_CHANNEL)) return STATUS_INVALID_PARAMETER;
    if (p.Channel < 0 || p.Channel > 1) return STATUS_INVALID_PARAMETER;
    if (IsSet(c)) {
        if (c.OutLength < sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
        LONG v;
        std::memcpy(&v, c.Out, sizeof v);
        c.D->Volume[p.Channel] = std::clamp(v, range.Min, range.Max);
        if (p.Channel == 0) c.D->UpdateCaptureGain();
        return STATUS_SUCCESS;
    }
    if (!IsGet(c)) return STATUS_INVALID_DEVICE_REQUEST;
    return Answer(c.Out, c.OutLength, &c.D->Volume[p.Channel], sizeof(LONG), &c.Info);
}

NTSTATUS TopologyNodes(PropertyCall& c) {
    if (!IsGet(c)) return STATUS_INVALID_DEVICE_REQUEST;
    const std::vector<GUID>& nodes = c.D->TopologyNodes;
    std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM) + nodes.size() * sizeof(GUID));
    KSMULTIPLE_ITEM head{static_cast<ULONG>(list.size()), static_cast<ULONG>(nodes.size())};
    std::memcpy(list.data(), &head, sizeof head);
    if (!nodes.empty())
        std::memcpy(list.data() + sizeof head, nodes.data(), nodes.size() * sizeof(GUID));
    return AnswerList(c.Out, c.OutLength, list, &c.Info);
}

NTSTATUS TopologyConnections(PropertyCall& c) {
    if (!IsGet(c)) return STATUS_INVALID_DEVICE_REQUEST;
    // Render pin 0 -> volume -> the speaker bridge (pin 2 of the full profile).
    const LONG node = c.D->VolumeNodeId();
    const ULONG count = node < 0 ? 0 : 2;
    const auto id = static_cast<ULONG>(node);
    KSTOPOLOGY_CONNECTION links[2] = {{KSFILTER_NODE, 0, id, 1}, {id, 0, KSFILTER_NODE, 2}};
    std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM) + count * sizeof(KSTOPOLOGY_CONNECTION));
    KSMULTIPLE_ITEM head{static_cast<ULONG>(list.size()), count};
    std::memcpy(list.data(), &head, sizeof head);
    std::memcpy(list.data() + sizeof head, links, count * sizeof(KSTOPOLOGY_CONNECTION));
    return AnswerList(c.Out, c.OutLength, list, &c.Info);
}

const PropertyEntry kProperties[] = {
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, Target::Filter, PinCInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, Target::Filter, PinCTypes},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, Target::Filter, PinDataflow},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, Target::Filter, PinDataRanges},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, Target::Filter, PinDataIntersection},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, Target::Filter, PinCommunication},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, Target::Filter, PinCategory},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, Target::Pin, ConnectionState},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, Target::Pin, ConnectionDataFormat},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, Target::Pin, AudioPosition},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, Target::FilterOrPin, AudioVolume},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, Target::Filter, TopologyNodes},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, Target::Filter, TopologyConnections},
};

}  // namespace

NTSTATUS Device::DispatchProperty(PIRP irp, PIO_STACK_LOCATION stack, size_t log) {
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (stack->FileObject == nullptr)
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0, log, RequestClass::Property);
    if (inLength < sizeof(KSPROPERTY))
        return Finish(irp, STATUS_INVALID_PARAMETER, 0, log, RequestClass::Property);
    if (inLength > kMaxPropertyInput)
        return Finish(irp, STATUS_INVALID_BUFFER_SIZE, 0, log, RequestClass::Property);
    // The input is captured once: the caller may change its memory meanwhile.
    BufferView inView, outView;
    NTSTATUS status = inView.Map(stack->Parameters.DeviceIoControl.Type3InputBuffer, inLength,
                                 irp->RequestorMode, IoReadAccess);
    if (NT_SUCCESS(status))
        status = outView.Map(irp->UserBuffer, outLength, irp->RequestorMode, IoModifyAccess);
    if (!NT_SUCCESS(status)) return Finish(irp, status, 0, log, RequestClass::Property);
    std::vector<uint8_t> in(inView.Get(), inView.Get() + inLength);
    KSPROPERTY p;
    std::memcpy(&p, in.data(), sizeof p);

    ULONG_PTR info = 0;
    bool stopped = false;
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> lock(Lock);
        const PropertyEntry* entry = nullptr;
        for (const PropertyEntry& e : kProperties) {
            if (*e.Set == p.Set && e.Id == p.Id) entry = &e;
        }
        auto pinIt = PinFiles.find(stack->FileObject);
        PinInstance* pin = pinIt == PinFiles.end() ? nullptr : pinIt->second.get();
        bool isFilter = Filters.count(stack->FileObject) != 0;
        if (entry == nullptr) {
            status = STATUS_NOT_FOUND;
        } else if (entry->On == Target::Filter        ? !isFilter
                   : entry->On == Target::FilterOrPin ? !isFilter && pin == nullptr
                                                      : pin == nullptr) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            PropertyCall call{this,     pin,           isFilter,  in.data(),
                              inLength, outView.Get(), outLength, p.Flags};
            KSSTATE before = pin != nullptr ? pin->State : KSSTATE_STOP;
            status = entry->Handler(call);
            info = call.Info;
            if (pin != nullptr && NT_SUCCESS(status) && p.Set == KSPROPSETID_Connection &&
                p.Id == KSPROPERTY_CONNECTION_STATE && (p.Flags & KSPROPERTY_TYPE_SET) &&
                pin->State == KSSTATE_STOP) {
                stopped = true;
                DrainPin(*pin, Pins[pin->Id].StopCancels, done);
                PinRecord& rec = Records[pin->Record];
                rec.BytesConsumed = rec.BytesReceived = rec.BytesProduced = rec.BytesDelivered = 0;
                pin->Fraction = 0;
                (void)before;
            }
        }
    }
    (void)stopped;
    CompleteAll(done);
    outView.Release();
    return Finish(irp, status, info, log, RequestClass::Property);
}

// ---------------------------------------------------------------------------
// The test's handle
// ---------------------------------------------------------------------------
std::shared_ptr<SimAudioDevice> SimAudioDevice::FromPdo(PDEVICE_OBJECT Pdo) {
    for (PDEVICE_OBJECT d = Pdo; d != nullptr; d = d->AttachedDevice) {
        if (auto device = DeviceOf(d)) return std::make_shared<SimAudioDevice>(device);
    }
    return nullptr;
}

PDEVICE_OBJECT SimAudioDevice::Fdo() const {
    return d_->Fdo;
}
std::string SimAudioDevice::RoomName() const {
    return d_->RoomName;
}

namespace {
// Runs f on the device with its lock held.
template <typename F>
auto Locked(const std::shared_ptr<Device>& d, F f) {
    std::lock_guard<std::mutex> lock(d->Lock);
    return f(*d);
}
}  // namespace

std::vector<PinConfig> SimAudioDevice::Pins() const {
    return Locked(d_, [](Device& d) { return d.Pins; });
}
void SimAudioDevice::SetPins(std::vector<PinConfig> Pins) {
    Locked(d_, [&](Device& d) { d.Pins = std::move(Pins); });
}
void SimAudioDevice::SetCompletion(RequestClass Class, CompletionMode Mode) {
    Locked(d_, [&](Device& d) { d.Modes[static_cast<int>(Class)] = Mode; });
}
void SimAudioDevice::AddFault(const Fault& F) {
    Locked(d_, [&](Device& d) { d.Faults.push_back({F, 0}); });
}
void SimAudioDevice::ClearFaults() {
    Locked(d_, [](Device& d) { d.Faults.clear(); });
}
void SimAudioDevice::SetHandshakeStatus(NTSTATUS Status) {
    Locked(d_, [&](Device& d) { d.HandshakeStatus = Status; });
}
void SimAudioDevice::SetClockOffsetPpm(LONG Ppm) {
    Locked(d_, [&](Device& d) { d.ClockOffsetPpm = Ppm; });
}
void SimAudioDevice::SetKernelStreamMdl(bool Attach) {
    Locked(d_, [&](Device& d) { d.KernelStreamMdl = Attach; });
}
std::vector<RequestRecord> SimAudioDevice::Requests() const {
    return Locked(d_, [](Device& d) { return d.Log; });
}
void SimAudioDevice::ClearRequests() {
    Locked(d_, [](Device& d) {
        d.Log.clear();
        ++d.LogGeneration;
    });
}
std::vector<PinRecord> SimAudioDevice::PinRecords() const {
    return Locked(d_, [](Device& d) { return d.Records; });
}
ULONG SimAudioDevice::OpenFilterCount() const {
    return Locked(d_, [](Device& d) { return static_cast<ULONG>(d.Filters.size()); });
}
ULONG SimAudioDevice::OpenPinCount() const {
    return Locked(d_, [](Device& d) { return static_cast<ULONG>(d.PinFiles.size()); });
}
ULONG SimAudioDevice::HandshakeCount() const {
    return Locked(d_, [](Device& d) { return d.Handshakes; });
}
ULONG SimAudioDevice::QueuedStreamRequests() const {
    return Locked(d_, [](Device& d) {
        ULONG n = 0;
        for (auto& [f, p] : d.PinFiles) n += static_cast<ULONG>(p->Queue.size());
        return n;
    });
}
ULONG SimAudioDevice::QueriesAnswered(ULONG PinId, ULONG PropertyId) const {
    return Locked(d_, [&](Device& d) {
        auto it = d.Answered.find({PinId, PropertyId});
        return it == d.Answered.end() ? 0u : it->second;
    });
}
LONG SimAudioDevice::VolumeLevel(ULONG Channel) const {
    return Locked(d_, [&](Device& d) { return Channel < 2 ? d.Volume[Channel] : 0; });
}
VolumeRange SimAudioDevice::GetVolumeRange() const {
    return Locked(d_, [](Device& d) { return d.VolumeBounds; });
}
void SimAudioDevice::SetVolumeRange(const VolumeRange& Range) {
    Locked(d_, [&](Device& d) { d.ResetVolume(Range); });
}
void SimAudioDevice::SetTopologyNodes(std::vector<GUID> Nodes) {
    Locked(d_, [&](Device& d) { d.TopologyNodes = std::move(Nodes); });
}

VolumeRange CameraVolumeRange() {
    // 0 .. 60 dB in the 1/256 dB steps of a USB audio volume control.
    return VolumeRange{0, 60 * 65536, 256, 3537609};
}

LONG Device::VolumeNodeId() const {
    for (size_t i = 0; i < TopologyNodes.size(); ++i) {
        if (TopologyNodes[i] == KSNODETYPE_VOLUME) return static_cast<LONG>(i);
    }
    return -1;
}

void Device::ResetVolume(const VolumeRange& range) {
    VolumeBounds = range;
    Volume[0] = Volume[1] = range.Unity;
    UpdateCaptureGain();
}

void Device::UpdateCaptureGain() const {
    const double db = (static_cast<double>(Volume[0]) - VolumeBounds.Unity) / 65536.0;
    RoomSetCaptureGain(RoomName, std::pow(10.0, db / 20.0));
}
void SimAudioDevice::ReleaseHeld(NTSTATUS Status) {
    d_->ReleaseHeld(Status);
}
void SimAudioDevice::SetHoldHook(std::function<void(bool)> Hook) {
    Locked(d_, [&](Device& d) { d.HoldHook = std::move(Hook); });
}

}  // namespace kp::sim
