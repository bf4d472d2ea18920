// Mutewell's private property set (KSPROPSETID_SwitchMute), answered on the
// master device's stack: a control application reads and writes the
// bandwidth limit, switches processing and the bridge on and off and sets the
// mute mode.  Every other request the framework hands over (the pin and
// connection sets on the master's stack) is refused: the master device is
// the bridge's and stays hidden from applications.
#include "FilterLogicServices.h"
#include "MutewellLogic.h"
#include "ZDebug.h"

namespace {

using Log = LogModule<LogModuleFilterLogic>;

ZvStatus HandleKSGetProperty(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size) {
    (void)genDisp;
    if (value == nullptr || size == nullptr) return ZV_INVALID_PARAMETER;
    if (*size < sizeof(ULONG)) return ZV_BUFFER_TOO_SMALL;
    auto* word = static_cast<PULONG>(value);
    switch (id) {
        case 0:
        case 1:
        case 2:
            *word = 1;
            break;
        case KSPROPERTY_SWITCHMUTE_BWLIMIT:
        case KSPROPERTY_SWITCHMUTE_PROCESS: {
            ULONG length = sizeof(ULONG);
            ZvStatus status = GetSharedVariable(
                id == KSPROPERTY_SWITCHMUTE_BWLIMIT ? VID_SHARED_BWLIMIT : VID_SHARED_PROCESS,
                value, &length);
            *size = sizeof(ULONG);
            return status;
        }
        case KSPROPERTY_SWITCHMUTE_SWITCH:
            *word = static_cast<ULONG>(InterlockedRead(&g_bSwitch));
            break;
        case KSPROPERTY_SWITCHMUTE_MUTE:
            *word = static_cast<ULONG>(InterlockedRead(&g_ulMuteMode));
            break;
        default:
            *size = 0;
            return ZV_FAILED;
    }
    *size = sizeof(ULONG);
    return ZV_OK;
}

ZvStatus LoggedSwitchControl(CGenDisp* genDisp, ULONG value) {
    ZvStatus status = SwitchControl(genDisp, value);
    if (status != ZV_OK)
        Log::ModulePrint(1, "HandleKSSetProperty> SwitchControl Failed status - 0x%lx \n", status);
    return status;
}

ZvStatus SetProcess(CGenDisp* genDisp, PVOID value, ULONG size) {
    ULONG before = 0, length = sizeof before;
    (void)GetSharedVariable(VID_SHARED_PROCESS, &before, &length);
    const ULONG word = *static_cast<PULONG>(value);
    ZvStatus status = SetSharedVariable(VID_SHARED_PROCESS, value, size);
    if (status != ZV_OK) {
        Log::ModulePrint(
            1, "HandleKSSetProperty> SetSharedVariable (Process) Failed status - 0x%lx \n", status);
        return status;
    }
    const bool switched = InterlockedRead(&g_bSwitch) != 0;
    if (word == 0 && switched) return LoggedSwitchControl(genDisp, 0);
    // A switch turned on while processing was off only stored its flag: the
    // bridge starts now.
    if (word != 0 && before == 0 && switched) return LoggedSwitchControl(genDisp, 1);
    return ZV_OK;
}

ZvStatus HandleKSSetProperty(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size) {
    if (value == nullptr || size == nullptr) return ZV_INVALID_PARAMETER;
    if (*size < sizeof(ULONG)) return ZV_BUFFER_TOO_SMALL;
    const ULONG word = *static_cast<PULONG>(value);
    switch (id) {
        case KSPROPERTY_SWITCHMUTE_BWLIMIT:
            return SetSharedVariable(VID_SHARED_BWLIMIT, value, *size);
        case KSPROPERTY_SWITCHMUTE_PROCESS:
            return SetProcess(genDisp, value, *size);
        case KSPROPERTY_SWITCHMUTE_SWITCH:
            return LoggedSwitchControl(genDisp, word);
        case KSPROPERTY_SWITCHMUTE_MUTE: {
            if (word > MUTE_BOTH) return ZV_INVALID_PARAMETER;
            ULONG mode = word;
            ZvStatus status = SetSharedVariable(VID_SHARED_MUTEMODE, &mode, sizeof mode);
            // The fades of the newly muted directions start again.
            if (word == MUTE_MIC || word == MUTE_BOTH) InterlockedExchange(&g_lMicMuteCount, 0);
            if (word == MUTE_SPEAKER || word == MUTE_BOTH)
                InterlockedExchange(&g_lSpeakerMuteCount, 0);
            InterlockedExchange(&g_ulMuteMode, static_cast<LONG>(word));
            return status;
        }
        default:
            return ZV_FAILED;
    }
}

const PrivatePropertySet kSwitchMuteSet = {
    .Set = &KSPROPSETID_SwitchMute,
    .Get = HandleKSGetProperty,
    .Put = HandleKSSetProperty,
};

}  // namespace

// The master's unload waits for the requests in progress; one that comes
// after it cleared the loaded flag sees it and is refused.
NTSTATUS OnKSProperty(CGenDisp* genDisp, PKSPROPERTY property, ULONG inputLength, PVOID output,
                      PULONG byteCount) {
    InitLogicObjects();
    if (!g_PropertiesInFlight.Enter()) return STATUS_UNSUCCESSFUL;
    NTSTATUS status =
        AnswerPrivateSet(kSwitchMuteSet, genDisp, property, inputLength, output, byteCount);
    g_PropertiesInFlight.Leave();
    return status;
}
