#include "ParamsProbe.h"

namespace zvmodtest {

// Three rows of REG_DWORD values, one of another type, the ending row and a
// row after it that must never be reached.
const ModuleParamEntry<CKAUDPParamsProbe> CKAUDPParamsProbe::s_Params[] = {
    {u"_AutoOff_", 4, kModuleParamTypeDword, &CKAUDPParamsProbe::m_ulAutoOff},
    {u"_TailLength_", 4, kModuleParamTypeDword, &CKAUDPParamsProbe::m_ulTailLength},
    {u"_Text_", 4, 1, &CKAUDPParamsProbe::m_ulText},
    {u"_ComfortNoiseLvl_", 4, kModuleParamTypeDword, &CKAUDPParamsProbe::m_ulComfortNoise},
    {{0}, 0, 0, nullptr},
    {u"_AfterTheEnd_", 4, kModuleParamTypeDword, &CKAUDPParamsProbe::m_ulAutoOff},
};

CKAUDPParamsProbe::CKAUDPParamsProbe(_DEVICE_OBJECT* deviceObject, ULONG instanceCode,
                                     PULONG status)
    : CKAUDPModule(deviceObject, instanceCode, ZvFourCC("GAEC")) {
    m_loaded = TransferParams(this, s_Params, false);
    m_ulInitialised = 1;
    *status = ZV_OK;
}

CKAUDPParamsProbe::~CKAUDPParamsProbe() {
    TransferParams(this, s_Params, true);
}

ZvStatus CKAUDPParamsProbe::GetProperty(ULONG, PVOID, PULONG) {
    return ZV_FAILED;
}
ZvStatus CKAUDPParamsProbe::SetProperty(ULONG, PVOID, ULONG) {
    return ZV_FAILED;
}
ZvStatus CKAUDPParamsProbe::GetPropertyDword(ULONG, PULONG) {
    return ZV_FAILED;
}
ZvStatus CKAUDPParamsProbe::SetPropertyDword(ULONG, ULONG) {
    return ZV_FAILED;
}
ZvStatus CKAUDPParamsProbe::SubmitPinData(ULONG, PVOID, ULONG, PVOID, ULONG, PULONGLONG) {
    return ZV_FAILED;
}

void CKAUDPParamsProbe::LoadFrom(HANDLE key) {
    TransferParamsOnKey(this, s_Params, key, false);
}
void CKAUDPParamsProbe::SaveTo(HANDLE key) {
    TransferParamsOnKey(this, s_Params, key, true);
}

}  // namespace zvmodtest
