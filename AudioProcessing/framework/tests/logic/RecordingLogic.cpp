// The framework's smallest filter logic, and the example of writing one: it
// includes only the framework's public headers (FilterLogic.h for the
// descriptor and the contract, FilterLogicServices.h for what it may call)
// and the logic kit's LogicDescriptor.h (the descriptor's callback slots),
// and defines what every logic defines: the callbacks, one descriptor, a
// loaded flag, and the driver's three tables (PnpStateBits,
// InterceptedPropertySets, InternalDeviceList).  It is linked whole into the
// framework's test programs and test driver images (kp_link_logic,
// kp_driver_image(... LOGIC ...)).
//
// Every callback writes one line into the I/O trace (who = the driver name,
// device = the filter device) and acts as the drivers' logics do where the
// framework depends on it:
//  - a driver-wide loaded flag, set by a successful master OnFilterLoad and
//    cleared by the master's OnFilterUnload; while it is clear every other
//    callback answers ZV_NOT_READY (OnKSProperty STATUS_UNSUCCESSFUL);
//  - a slave OnFilterLoad does nothing and answers ZV_OK;
//  - OnDecidePinDirs stores VID_INST_PINDIRS: 2 on the master and 1 elsewhere
//    (Echowell build) or 3 everywhere (Mutewell build);
//  - OnSharedVariableChange copies VID_SHARED_PROCESS into VID_SHARED_DSDISABLE.
#include <atomic>
#include <cstdio>

#include "FilterLogic.h"
#include "FilterLogicServices.h"
#include "LogicDescriptor.h"
#include "kp/io.h"

#ifdef ZV_TEST_LOGIC_MUTEWELL
#include "MutewellControl.h"
#define ZV_TEST_DRIVER_NAME "Mutewell"
#define ZV_TEST_PREFIX u"ZSAM"
#define ZV_TEST_PNP_BITS 2u
#else
#include "EchowellControl.h"
#define ZV_TEST_DRIVER_NAME "Echowell"
#define ZV_TEST_PREFIX u"ZAEC"
#define ZV_TEST_PNP_BITS 0u
#endif

namespace {
std::atomic<LONG> Loaded{0};

void Record(PDEVICE_OBJECT fdo, const char* format, ULONG a = 0, ULONG b = 0, ULONG c = 0) {
    char text[96];
    std::snprintf(text, sizeof text, format, a, b, c);
    KpIoTraceEvent(ZV_TEST_DRIVER_NAME, text, fdo);
}

ZvStatus OnFilterLoad(CGenDisp* genDisp, ULONG isMaster, PDEVICE_OBJECT, PDEVICE_OBJECT) {
    Record(GetFilterDevice(genDisp), "OnFilterLoad(%lu)", isMaster);
    if (isMaster != 0) Loaded.store(1);
    return ZV_OK;
}

ZvStatus OnFilterUnload(CGenDisp* genDisp, ULONG isMaster) {
    Record(GetFilterDevice(genDisp), "OnFilterUnload(%lu)", isMaster);
    if (isMaster == 0) return ZV_OK;
    Loaded.store(0);
    (void)ReleaseChannel(1, CHANNEL_RENDER);
    return ReleaseChannel(1, CHANNEL_CAPTURE);
}

ZvStatus OnDecidePinDirs(CGenDisp* genDisp, ULONG isMaster) {
    Record(GetFilterDevice(genDisp), "OnDecidePinDirs(%lu)", isMaster);
    if (Loaded.load() == 0) return ZV_NOT_READY;
#ifdef ZV_TEST_LOGIC_MUTEWELL
    ULONG dirs = 3;
#else
    ULONG dirs = isMaster != 0 ? 2 : 1;
#endif
    return SetInstantiatedVariable(genDisp, VID_INST_PINDIRS, &dirs, sizeof dirs);
}

ZvStatus OnGetRequiredFunctionFormat(LONG channel, ULONG direction, ChannelFormat* format) {
    Record(nullptr, "OnGetRequiredFunctionFormat(%lu,%lu)", static_cast<ULONG>(channel), direction);
    if (Loaded.load() == 0) return ZV_NOT_READY;
    *format = ChannelFormat{1u | (1u << 16), 8000, 16000, 16, 4};
    return ZV_OK;
}

ZvStatus OnSetChannelState(LONG channel, ULONG direction, ULONG state) {
    // Reading the state back shows that no lock is held around the call.
    ULONG readBack = 0;
    (void)GetChannelState(channel, direction, &readBack);
    Record(nullptr, "OnSetChannelState(%lu,%lu,%lu)", static_cast<ULONG>(channel), direction,
           readBack == state ? state : 99);
    return Loaded.load() != 0 ? ZV_OK : ZV_NOT_READY;
}

ZvStatus OnSharedVariableChange(ULONG id, PVOID value, ULONG size) {
    ULONG v = 0;
    if (value != nullptr && size >= sizeof v) v = *static_cast<PULONG>(value);
    Record(nullptr, "OnSharedVariableChange(%lu,%lu)", id, v);
    if (id == VID_SHARED_PROCESS) return SetSharedVariable(VID_SHARED_DSDISABLE, value, size);
    return ZV_OK;
}

NTSTATUS OnKSProperty(CGenDisp* genDisp, PKSPROPERTY, ULONG, PVOID, PULONG) {
    Record(GetFilterDevice(genDisp), "OnKSProperty");
    return Loaded.load() != 0 ? STATUS_NOT_SUPPORTED : STATUS_UNSUCCESSFUL;
}

ZvStatus OnOpen(CGenDisp* genDisp, ULONG direction, ChannelFormat*, PLONG, PDEVICE_OBJECT,
                PFILE_OBJECT, PDEVICE_OBJECT) {
    Record(GetFilterDevice(genDisp), "OnOpen(%lu)", direction);
    return Loaded.load() != 0 ? ZV_OK : ZV_NOT_READY;
}

ZvStatus OnClose(CGenDisp* genDisp, ULONG direction, LONG channel) {
    Record(GetFilterDevice(genDisp), "OnClose(%lu,%lu)", direction, static_cast<ULONG>(channel));
    return Loaded.load() != 0 ? ZV_OK : ZV_NOT_READY;
}

ZvStatus OnSetFormat(CGenDisp* genDisp, ULONG direction, ChannelFormat*, LONG channel) {
    Record(GetFilterDevice(genDisp), "OnSetFormat(%lu,%lu)", direction,
           static_cast<ULONG>(channel));
    return Loaded.load() != 0 ? ZV_OK : ZV_NOT_READY;
}

ZvStatus OnSetStreamState(CGenDisp* genDisp, ULONG direction, KSSTATE state, LONG channel) {
    Record(GetFilterDevice(genDisp), "OnSetStreamState(%lu,%lu,%lu)", direction,
           static_cast<ULONG>(state), static_cast<ULONG>(channel));
    return Loaded.load() != 0 ? ZV_OK : ZV_NOT_READY;
}

ZvStatus OnGetAudioPosition(CGenDisp* genDisp, ULONG direction, PKSAUDIO_POSITION, LONG channel) {
    Record(GetFilterDevice(genDisp), "OnGetAudioPosition(%lu,%lu)", direction,
           static_cast<ULONG>(channel));
    return Loaded.load() != 0 ? ZV_OK : ZV_NOT_READY;
}

ZvStatus OnBuffer(CGenDisp* genDisp, ULONG direction, PVOID, ULONG length, LONG channel,
                  PFILE_OBJECT) {
    Record(GetFilterDevice(genDisp), "OnBuffer(%lu,%lu,%lu)", direction, length,
           static_cast<ULONG>(channel));
    return Loaded.load() != 0 ? ZV_OK : ZV_NOT_READY;
}

const FilterLogicDescriptor RecordingDescriptor = {
    .DriverName = ZV_TEST_DRIVER_NAME,
    .RegistryPrefix = ZV_TEST_PREFIX,
    ZV_LOGIC_CALLBACKS,
    .SyncControlEnabled = 1,
};

#ifdef ZV_TEST_LOGIC_MUTEWELL
const GUID InterceptedSets[] = {KSPROPSETID_SwitchMute, KSPROPSETID_Pin, KSPROPSETID_Connection};
#else
const GUID InterceptedSets[] = {KSPROPSETID_AecControl, KSPROPSETID_Audio};
#endif
const InterceptedPropertySetTable InterceptedTable = {
    sizeof InterceptedSets / sizeof InterceptedSets[0], InterceptedSets};
}  // namespace

// For tests linked with this logic: clears the loaded flag between tests.
void RecordingLogicReset() {
    Loaded.store(0);
}

// Tests linked with this logic may fill the device list.
InternalDeviceTable RecordingInternalDevices = {0, nullptr};

// What the framework reads of a logic.  The descriptor: the callbacks.
const FilterLogicDescriptor* const g_FilterLogic = &RecordingDescriptor;
// OR-ed into the lower driver's answer to IRP_MN_QUERY_PNP_DEVICE_STATE
// (PNP_DEVICE_* bits; 2, PNP_DEVICE_DONT_DISPLAY_IN_UI, hides the device).
const ULONG PnpStateBits = ZV_TEST_PNP_BITS;
// Property requests of these sets go to OnKSProperty, on the master's stack.
const InterceptedPropertySetTable* const InterceptedPropertySets = &InterceptedTable;
// When it has entries, only a listed device (vendor, product, revision) may
// become master.
const InternalDeviceTable* const InternalDeviceList = &RecordingInternalDevices;
