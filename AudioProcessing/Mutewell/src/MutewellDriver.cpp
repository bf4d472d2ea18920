// The driver objects the framework reads: Mutewell's descriptor and tables.
#include "MutewellLogic.h"

namespace {

const FilterLogicDescriptor kMutewell = LogicDescriptor("Mutewell", u"ZSAM");
const GUID kInterceptedSets[] = {KSPROPSETID_SwitchMute, KSPROPSETID_Pin, KSPROPSETID_Connection};
const InterceptedPropertySetTable kIntercepted = {.Count = 3, .Sets = kInterceptedSets};

}  // namespace

const FilterLogicDescriptor* const g_FilterLogic = &kMutewell;
const ULONG PnpStateBits = 2;
const InterceptedPropertySetTable* const InterceptedPropertySets = &kIntercepted;
const InternalDeviceTable* const InternalDeviceList = &kNoInternalDevices;
