// The driver objects the framework reads: Echowell's descriptor and tables.
#include "EchowellLogic.h"

namespace {

const FilterLogicDescriptor kEchowell = LogicDescriptor("Echowell", u"ZAEC");
const GUID kInterceptedSets[] = {KSPROPSETID_AecControl, KSPROPSETID_Audio};
const InterceptedPropertySetTable kIntercepted = {.Count = 2, .Sets = kInterceptedSets};

}  // namespace

const FilterLogicDescriptor* const g_FilterLogic = &kEchowell;
const ULONG PnpStateBits = 0;
const InterceptedPropertySetTable* const InterceptedPropertySets = &kIntercepted;
const InternalDeviceTable* const InternalDeviceList = &kNoInternalDevices;
