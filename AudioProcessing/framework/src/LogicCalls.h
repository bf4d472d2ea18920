// The one place the framework calls its filter logic: one adapter per
// callback.  Each skips an empty slot and, in builds with assertions, checks
// the contract of FilterLogic.h before the call: PASSIVE_LEVEL, the lists
// held or not held by this thread, the sync-control lock taken where the
// contract says so.  A breach is a bug check, so that a change that calls a
// logic at the wrong level or under the wrong lock fails its tests.
#pragma once

#include "CGenDisp.h"
#include "FilterLogic.h"

namespace logic {

// What the caller holds for the call.
enum class Held {
    Nothing,       // neither list mutex, the sync-control lock as it may be
    Lists,         // the open-pin-list mutex (and the filter-list mutex)
    SyncControl,   // the sync-control lock, no list mutex
    CallersLocks,  // whatever the logic's own service call holds: only the level is checked
};

#ifdef NDEBUG
inline void CheckContract(const char*, CGenDisp*, Held) {}
#else
// Bug-checks with the callback's name when the caller breaks the contract.
void CheckContract(const char* callback, CGenDisp* genDisp, Held held);
#endif

inline ZvStatus OnFilterLoad(CGenDisp* genDisp, ULONG isMaster, PDEVICE_OBJECT pdo,
                             PDEVICE_OBJECT lower) {
    if (g_FilterLogic->OnFilterLoad == nullptr) return ZV_OK;
    CheckContract("OnFilterLoad", genDisp, Held::SyncControl);
    return g_FilterLogic->OnFilterLoad(genDisp, isMaster, pdo, lower);
}
inline ZvStatus OnFilterUnload(CGenDisp* genDisp, ULONG isMaster) {
    if (g_FilterLogic->OnFilterUnload == nullptr) return ZV_OK;
    CheckContract("OnFilterUnload", genDisp, Held::SyncControl);
    return g_FilterLogic->OnFilterUnload(genDisp, isMaster);
}
inline ZvStatus OnDecidePinDirs(CGenDisp* genDisp, ULONG isMaster) {
    if (g_FilterLogic->OnDecidePinDirs == nullptr) return ZV_OK;
    CheckContract("OnDecidePinDirs", genDisp, Held::Nothing);
    return g_FilterLogic->OnDecidePinDirs(genDisp, isMaster);
}
// An empty slot answers ZV_FAILED: the caller asked for a format.
inline ZvStatus OnGetRequiredFunctionFormat(LONG channel, ULONG direction, ChannelFormat* format) {
    if (g_FilterLogic->OnGetRequiredFunctionFormat == nullptr) return ZV_FAILED;
    CheckContract("OnGetRequiredFunctionFormat", nullptr, Held::CallersLocks);
    return g_FilterLogic->OnGetRequiredFunctionFormat(channel, direction, format);
}
inline ZvStatus OnSetChannelState(LONG channel, ULONG direction, ULONG state) {
    if (g_FilterLogic->OnSetChannelState == nullptr) return ZV_OK;
    CheckContract("OnSetChannelState", nullptr, Held::CallersLocks);
    return g_FilterLogic->OnSetChannelState(channel, direction, state);
}
inline ZvStatus OnSharedVariableChange(ULONG id, PVOID value, ULONG size) {
    if (g_FilterLogic->OnSharedVariableChange == nullptr) return ZV_OK;
    CheckContract("OnSharedVariableChange", nullptr, Held::CallersLocks);
    return g_FilterLogic->OnSharedVariableChange(id, value, size);
}
// An empty slot handles nothing: STATUS_NOT_SUPPORTED.
inline NTSTATUS OnKSProperty(CGenDisp* genDisp, PKSPROPERTY property, ULONG inputLength,
                             PVOID output, PULONG byteCount) {
    if (g_FilterLogic->OnKSProperty == nullptr) return STATUS_NOT_SUPPORTED;
    CheckContract("OnKSProperty", genDisp, Held::Nothing);
    return g_FilterLogic->OnKSProperty(genDisp, property, inputLength, output, byteCount);
}
inline ZvStatus OnOpen(CGenDisp* genDisp, ULONG direction, ChannelFormat* format, PLONG channel,
                       PDEVICE_OBJECT lower, PFILE_OBJECT pinFile, PDEVICE_OBJECT fdo) {
    if (g_FilterLogic->OnOpen == nullptr) return ZV_OK;
    CheckContract("OnOpen", genDisp, Held::Lists);
    return g_FilterLogic->OnOpen(genDisp, direction, format, channel, lower, pinFile, fdo);
}
inline ZvStatus OnClose(CGenDisp* genDisp, ULONG direction, LONG channel) {
    if (g_FilterLogic->OnClose == nullptr) return ZV_OK;
    CheckContract("OnClose", genDisp, Held::Lists);
    return g_FilterLogic->OnClose(genDisp, direction, channel);
}
inline ZvStatus OnSetFormat(CGenDisp* genDisp, ULONG direction, ChannelFormat* format,
                            LONG channel) {
    if (g_FilterLogic->OnSetFormat == nullptr) return ZV_OK;
    CheckContract("OnSetFormat", genDisp, Held::Nothing);
    return g_FilterLogic->OnSetFormat(genDisp, direction, format, channel);
}
// RUN is told under the sync-control lock, every other state outside it.
inline ZvStatus OnSetStreamState(CGenDisp* genDisp, ULONG direction, KSSTATE state, LONG channel) {
    if (g_FilterLogic->OnSetStreamState == nullptr) return ZV_OK;
    CheckContract("OnSetStreamState", genDisp,
                  state == KSSTATE_RUN ? Held::SyncControl : Held::Nothing);
    return g_FilterLogic->OnSetStreamState(genDisp, direction, state, channel);
}
inline ZvStatus OnGetAudioPosition(CGenDisp* genDisp, ULONG direction, PKSAUDIO_POSITION position,
                                   LONG channel) {
    if (g_FilterLogic->OnGetAudioPosition == nullptr) return ZV_OK;
    CheckContract("OnGetAudioPosition", genDisp, Held::Nothing);
    return g_FilterLogic->OnGetAudioPosition(genDisp, direction, position, channel);
}
inline bool HasOnBuffer() {
    return g_FilterLogic->OnBuffer != nullptr;
}
inline ZvStatus OnBuffer(CGenDisp* genDisp, ULONG direction, PVOID headers, ULONG length,
                         LONG channel, PFILE_OBJECT pinFile) {
    if (g_FilterLogic->OnBuffer == nullptr) return ZV_OK;
    CheckContract("OnBuffer", genDisp, Held::SyncControl);
    return g_FilterLogic->OnBuffer(genDisp, direction, headers, length, channel, pinFile);
}

}  // namespace logic
