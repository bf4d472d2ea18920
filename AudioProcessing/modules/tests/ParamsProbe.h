// A module with a parameter table like the echo canceller's, to exercise the
// parameter mechanism every module shares.  Built like the modules (without
// RTTI), so its code lives in its own source file.
#pragma once

#include <CKAUDPModule.h>

namespace zvmodtest {

class CKAUDPParamsProbe : public CKAUDPModule {
public:
    // Tag "GAEC"; loads the table (m_loaded: 1 when the driver key opened).
    CKAUDPParamsProbe(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status);
    // Saves the table.
    ~CKAUDPParamsProbe() override;

    ZvStatus GetProperty(ULONG id, PVOID buffer, PULONG size) override;
    ZvStatus SetProperty(ULONG id, PVOID buffer, ULONG size) override;
    ZvStatus GetPropertyDword(ULONG id, PULONG value) override;
    ZvStatus SetPropertyDword(ULONG id, ULONG value) override;
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG side) override;

    // The table on a key the test opened.
    void LoadFrom(HANDLE key);
    void SaveTo(HANDLE key);

    ULONG m_loaded = 0;
    ULONG m_ulAutoOff = 0;
    ULONG m_ulTailLength = 64;
    ULONG m_ulText = 7;  // a row of another type: never read or written
    ULONG m_ulComfortNoise = 2;
    static const ModuleParamEntry<CKAUDPParamsProbe> s_Params[];
};

}  // namespace zvmodtest
