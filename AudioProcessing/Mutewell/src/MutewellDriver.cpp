// The driver objects the framework reads: Mutewell's descriptor and tables.
#include "MutewellLogic.h"

namespace {

const FilterLogicDescriptor kMutewell = {
    "Mutewell",
    u"ZSAM",
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

const GUID kInterceptedSets[] = {KSPROPSETID_SwitchMute, KSPROPSETID_Pin, KSPROPSETID_Connection};
const InterceptedPropertySetTable kIntercepted = {3, kInterceptedSets};
const InternalDeviceTable kInternalDevices = {0, nullptr};

}  // namespace

const FilterLogicDescriptor* const g_FilterLogic = &kMutewell;
const ULONG PnpStateBits = 2;
const InterceptedPropertySetTable* const InterceptedPropertySets = &kIntercepted;
const InternalDeviceTable* const InternalDeviceList = &kInternalDevices;
