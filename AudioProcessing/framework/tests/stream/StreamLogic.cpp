#include "StreamLogic.h"

#include <cstring>

#include "EchowellControl.h"
#include "FilterLogicServices.h"
#include "LogicDescriptor.h"
#include "kp/io.h"
#include "kp/simaudio.h"

namespace zvstream {
namespace {
std::mutex g_lock;
std::condition_variable g_cv;
std::vector<Call> g_calls;
Control g_control;
std::atomic<LONG> g_loaded{0};
ULONG g_held = 0;
bool g_release = false;

Call Make(const char* what, ULONG direction = 0, LONG channel = -1, ULONG value = 0) {
    Call c;
    c.What = what;
    c.Sequence = kp::sim::NextSequence();
    c.Thread = std::this_thread::get_id();
    c.Irql = KeGetCurrentIrql();
    c.Direction = direction;
    c.Channel = channel;
    c.Value = value;
    return c;
}

void Record(Call c) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.push_back(std::move(c));
}

ZvStatus OnFilterLoad(CGenDisp*, ULONG isMaster, PDEVICE_OBJECT, PDEVICE_OBJECT) {
    Record(Make("OnFilterLoad", 0, -1, isMaster));
    if (isMaster != 0) g_loaded.store(1);
    return ZV_OK;
}

ZvStatus OnFilterUnload(CGenDisp*, ULONG isMaster) {
    Record(Make("OnFilterUnload", 0, -1, isMaster));
    if (isMaster == 0) return ZV_OK;
    g_loaded.store(0);
    (void)ReleaseChannel(1, CHANNEL_RENDER);
    return ReleaseChannel(1, CHANNEL_CAPTURE);
}

ZvStatus OnDecidePinDirs(CGenDisp* genDisp, ULONG) {
    if (g_loaded.load() == 0) return ZV_NOT_READY;
    ULONG dirs = g_control.PinDirs;
    return SetInstantiatedVariable(genDisp, VID_INST_PINDIRS, &dirs, sizeof dirs);
}

ZvStatus OnGetRequiredFunctionFormat(LONG, ULONG, ChannelFormat*) {
    return ZV_NOT_READY;
}
ZvStatus OnSetChannelState(LONG, ULONG, ULONG) {
    return ZV_OK;
}
ZvStatus OnSharedVariableChange(ULONG, PVOID, ULONG) {
    return ZV_OK;
}

NTSTATUS OnKSProperty(CGenDisp*, PKSPROPERTY property, ULONG, PVOID, PULONG byteCount) {
    Record(Make("OnKSProperty", 0, -1, property != nullptr ? property->Id : ~0u));
    if (g_loaded.load() == 0) return STATUS_UNSUCCESSFUL;
    if (g_control.PropertyAnswer != STATUS_NOT_SUPPORTED && byteCount != nullptr)
        *byteCount = g_control.PropertyBytes;
    return g_control.PropertyAnswer;
}

ZvStatus OnOpen(CGenDisp*, ULONG direction, ChannelFormat* format, PLONG channel,
                PDEVICE_OBJECT lower, PFILE_OBJECT pinFile, PDEVICE_OBJECT fdo) {
    Call c = Make("OnOpen", direction, *channel);
    c.Value = format->SamplesPerSec;
    c.Channels = format->FormatTagAndChannels >> 16;
    c.Bits = format->BitsPerSample;
    c.Mask = format->ChannelMask;
    c.AvgBytes = format->AvgBytesPerSec;
    if (g_loaded.load() == 0) {
        Record(c);
        return ZV_NOT_READY;
    }
    ZvStatus status = AcquireChannel(1, direction, lower, pinFile, fdo);
    if (status != ZV_OK) {
        *channel = -1;
    } else {
        *channel = 1;
        status = SetChannelFormat(1, direction, format);
    }
    c.Channel = *channel;
    Record(c);
    return status;
}

ZvStatus OnClose(CGenDisp*, ULONG direction, LONG channel) {
    Record(Make("OnClose", direction, channel));
    if (g_loaded.load() == 0) return ZV_NOT_READY;
    return ReleaseChannel(channel, direction);
}

ZvStatus OnSetFormat(CGenDisp*, ULONG direction, ChannelFormat* format, LONG channel) {
    Call c = Make("OnSetFormat", direction, channel, format->SamplesPerSec);
    c.Channels = format->FormatTagAndChannels >> 16;
    Record(c);
    return g_loaded.load() != 0 ? SetChannelFormat(channel, direction, format) : ZV_NOT_READY;
}

ZvStatus OnSetStreamState(CGenDisp*, ULONG direction, KSSTATE state, LONG channel) {
    Record(Make("OnSetStreamState", direction, channel, static_cast<ULONG>(state)));
    if (g_loaded.load() == 0) return ZV_NOT_READY;
    if (state == KSSTATE_ACQUIRE) return ZV_OK;
    return SetChannelState(channel, direction, state == KSSTATE_STOP ? 1 : state);
}

ZvStatus OnGetAudioPosition(CGenDisp*, ULONG direction, PKSAUDIO_POSITION position, LONG channel) {
    Record(Make("OnGetAudioPosition", direction, channel));
    if (g_loaded.load() == 0) return ZV_NOT_READY;
    position->WriteOffset += g_control.AddWriteOffset;
    return ZV_OK;
}

ZvStatus OnBuffer(CGenDisp*, ULONG direction, PVOID headers, ULONG length, LONG channel,
                  PFILE_OBJECT) {
    Call c = Make("OnBuffer", direction, channel, length);
    c.HeadersSystem = KpIsSystemMapping(headers) || !KpIsUserAddress(headers, 1);
    int x = g_control.XorBuffers.load();
    ULONG offset = 0;
    while (offset + sizeof(KSSTREAM_HEADER) <= length) {
        KSSTREAM_HEADER h;
        std::memcpy(&h, static_cast<UCHAR*>(headers) + offset, sizeof h);
        if (h.Size < sizeof h) break;
        c.Used.push_back(h.DataUsed);
        c.Extent.push_back(h.FrameExtent);
        c.SystemData.push_back(h.Data != nullptr && KpIsSystemMapping(h.Data));
        auto* bytes = static_cast<UCHAR*>(h.Data);
        ULONG n = direction == CHANNEL_RENDER ? h.DataUsed : h.DataUsed;
        c.Bytes.emplace_back(bytes, bytes + (n < 64 ? n : 64));
        if (x != 0) {
            for (ULONG i = 0; i < n; ++i) bytes[i] ^= static_cast<UCHAR>(x);
        }
        offset += h.Size;
    }
    Record(c);
    if (g_control.HoldBuffers.load()) {
        std::unique_lock<std::mutex> guard(g_lock);
        ++g_held;
        g_cv.notify_all();
        g_cv.wait(guard, [] { return g_release; });
        --g_held;
    }
    return g_loaded.load() != 0 ? ZV_OK : ZV_NOT_READY;
}

FilterLogicDescriptor Descriptor = {
    .DriverName = "Echowell",
    .RegistryPrefix = u"ZAEC",
    ZV_LOGIC_CALLBACKS,
    .SyncControlEnabled = 1,
};

const GUID InterceptedSets[] = {KSPROPSETID_AecControl, KSPROPSETID_Audio};
const InterceptedPropertySetTable InterceptedTable = {2, InterceptedSets};
InternalDeviceTable NoInternalDevices = {0, nullptr};
}  // namespace

Control& Settings() {
    return g_control;
}

std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_calls;
}

std::vector<Call> CallsOf(const std::string& what) {
    std::vector<Call> out;
    for (auto& c : Calls()) {
        if (c.What == what) out.push_back(c);
    }
    return out;
}

void Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.clear();
    g_control.PinDirs = 3;
    g_control.BufferSlot = true;
    g_control.XorBuffers.store(0);
    g_control.HoldBuffers.store(false);
    g_control.AddWriteOffset = 0;
    g_control.PropertyAnswer = STATUS_NOT_SUPPORTED;
    g_control.PropertyBytes = 0;
    g_release = false;
    g_loaded.store(0);
    Descriptor.OnBuffer = OnBuffer;
}

void ClearCalls() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.clear();
}

void SetBufferSlot(bool present) {
    Descriptor.OnBuffer = present ? OnBuffer : nullptr;
}

void WaitHeld(ULONG n) {
    std::unique_lock<std::mutex> guard(g_lock);
    g_cv.wait(guard, [n] { return g_held >= n; });
}

void ReleaseHeld() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_release = true;
    g_cv.notify_all();
}

}  // namespace zvstream

const FilterLogicDescriptor* const g_FilterLogic = &zvstream::Descriptor;
const ULONG PnpStateBits = 0;
const InterceptedPropertySetTable* const InterceptedPropertySets = &zvstream::InterceptedTable;
const InternalDeviceTable* const InternalDeviceList = &zvstream::NoInternalDevices;
