// The thirteen callback slots of a FilterLogicDescriptor, each filled with the
// callback of the same name in the scope where the descriptor is written:
//
//   const FilterLogicDescriptor Descriptor = {
//       .DriverName = "Name", .RegistryPrefix = u"ZNAM", ZV_LOGIC_CALLBACKS,
//       .SyncControlEnabled = 1};
//
// A logic names its callbacks as the contract does (OnFilterLoad ...
// OnBuffer), so the slots are written once for every logic, the test logics'
// (whose callbacks have internal linkage) included.  Needs FilterLogic.h only.
#pragma once

#include "FilterLogic.h"

#define ZV_LOGIC_CALLBACKS                                                                    \
    .OnFilterLoad = OnFilterLoad, .OnFilterUnload = OnFilterUnload,                           \
    .OnDecidePinDirs = OnDecidePinDirs,                                                       \
    .OnGetRequiredFunctionFormat = OnGetRequiredFunctionFormat,                               \
    .OnSetChannelState = OnSetChannelState, .OnSharedVariableChange = OnSharedVariableChange, \
    .OnKSProperty = OnKSProperty, .OnOpen = OnOpen, .OnClose = OnClose,                       \
    .OnSetFormat = OnSetFormat, .OnSetStreamState = OnSetStreamState,                         \
    .OnGetAudioPosition = OnGetAudioPosition, .OnBuffer = OnBuffer
