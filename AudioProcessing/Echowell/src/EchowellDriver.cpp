// The driver objects the framework reads: Echowell's descriptor and tables.
#include "EchowellLogic.h"

namespace {

const FilterLogicDescriptor kEchowell = {
    "Echowell",
    u"ZAEC",
    OnFilterLoad,
    OnFilterUnload,
    OnDecidePinDirs,
    OnGetRequiredFunctionFormat,
    OnSetChannelState,
    OnSharedVariableChange,
    OnKSProperty,
    OnOpen,
    OnClose,
    OnSetFormat,
    OnSetStreamState,
    OnGetAudioPosition,
    OnBuffer,
    1,  // SyncControlEnabled
};

const GUID kInterceptedSets[] = {KSPROPSETID_AecControl, KSPROPSETID_Audio};
const InterceptedPropertySetTable kIntercepted = {2, kInterceptedSets};
const InternalDeviceTable kInternalDevices = {0, nullptr};

}  // namespace

const FilterLogicDescriptor* const g_FilterLogic = &kEchowell;
const ULONG PnpStateBits = 0;
const InterceptedPropertySetTable* const InterceptedPropertySets = &kIntercepted;
const InternalDeviceTable* const InternalDeviceList = &kInternalDevices;
