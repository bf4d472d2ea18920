// Echowell's private property set (KSPROPSETID_AecControl) and its watch on
// the audio set's volume: a control application reads and writes the
// bandwidth limit, switches processing on and off, sets the canceller's
// parameters, the processing rate and the gain control's mode and position,
// and asks for a new delay correlation.
#include "CKAUDPEAEC.h"
#include "CKAUDPWAVC.h"
#include "EchowellLogic.h"
#include "FilterLogicServices.h"

namespace {

enum AecControlId : ULONG {
    KSPROPERTY_AECCONTROL_BWLIMIT = 3,
    KSPROPERTY_AECCONTROL_PROCESS = 4,
    KSPROPERTY_AECCONTROL_AUTOOFF = 5,
    KSPROPERTY_AECCONTROL_STATEMACHINE = 6,
    KSPROPERTY_AECCONTROL_TAILLENGTH = 7,
    KSPROPERTY_AECCONTROL_COMFORTNOISELVL = 8,
    KSPROPERTY_AECCONTROL_RATEMODE = 9,
    KSPROPERTY_AECCONTROL_AGC = 10,
    KSPROPERTY_AECCONTROL_AGCPOSITION = 11,
    KSPROPERTY_AECCONTROL_RECORRELATE = 12,
};

bool Active() {
    return InterlockedRead(&g_bAecActive) != 0;
}

bool IsCancellerParameter(ULONG id) {
    return id >= KSPROPERTY_AECCONTROL_AUTOOFF && id <= KSPROPERTY_AECCONTROL_COMFORTNOISELVL;
}
// The canceller's property of one of its parameters' control ids (auto-off,
// state machine, tail length and comfort noise, in the same order).
ULONG CancellerProperty(ULONG id) {
    return id - KSPROPERTY_AECCONTROL_AUTOOFF + CKAUDPEAEC::kPropAutoOff;
}

ZvStatus HandleKSGetProperty(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size) {
    (void)genDisp;
    if (value == nullptr || size == nullptr) return ZV_INVALID_PARAMETER;
    if (*size < sizeof(ULONG)) return ZV_BUFFER_TOO_SMALL;
    auto* word = static_cast<PULONG>(value);
    if (id >= KSPROPERTY_AECCONTROL_RECORRELATE) {
        *size = 0;
        return ZV_FAILED;
    }
    if (id < KSPROPERTY_AECCONTROL_BWLIMIT) {
        *word = 1;
        *size = sizeof(ULONG);
        return ZV_OK;
    }
    if (id == KSPROPERTY_AECCONTROL_BWLIMIT || id == KSPROPERTY_AECCONTROL_PROCESS) {
        return GetSharedVariable(
            id == KSPROPERTY_AECCONTROL_BWLIMIT ? VID_SHARED_BWLIMIT : VID_SHARED_PROCESS, value,
            size);
    }
    if (IsCancellerParameter(id)) {
        MutexGuard lock(&g_EngineMutex);  // the unload destroys the module under it
        if (g_pAecModule == nullptr) {
            *size = 0;
            return ZV_NOT_READY;
        }
        *size = sizeof(ULONG);
        return g_pAecModule->GetPropertyDword(CancellerProperty(id), word);
    }
    MutexGuard lock(&g_EngineMutex);  // the gain control's mode and position change under it
    *word = id == KSPROPERTY_AECCONTROL_RATEMODE
                ? static_cast<ULONG>(InterlockedRead(&g_ulRateMode))
            : id == KSPROPERTY_AECCONTROL_AGC ? g_bAgcOn
                                              : g_ulAgcPosition;
    *size = sizeof(ULONG);
    return ZV_OK;
}

ZvStatus HandleKSSetProperty(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size) {
    (void)genDisp;
    if (value == nullptr || size == nullptr) return ZV_INVALID_PARAMETER;
    if (*size < sizeof(ULONG)) return ZV_BUFFER_TOO_SMALL;
    if (id < KSPROPERTY_AECCONTROL_BWLIMIT || id > KSPROPERTY_AECCONTROL_RECORRELATE)
        return ZV_FAILED;
    const ULONG word = *static_cast<PULONG>(value);
    switch (id) {
        case KSPROPERTY_AECCONTROL_BWLIMIT:
            return SetSharedVariable(VID_SHARED_BWLIMIT, value, *size);
        case KSPROPERTY_AECCONTROL_PROCESS: {
            ZvStatus status = SetSharedVariable(VID_SHARED_PROCESS, value, *size);
            if (status != ZV_OK) return status;
            InterlockedExchange(&g_bProcessing, static_cast<LONG>(word));
            (void)(word == 0 ? StopAEC() : StartAEC());
            return ZV_OK;
        }
        case KSPROPERTY_AECCONTROL_RATEMODE:
            if (word > 2) return ZV_INVALID_PARAMETER;
            InterlockedExchange(&g_ulRateMode, static_cast<LONG>(word));
            return ZV_OK;
        case KSPROPERTY_AECCONTROL_AGC: {
            // The processing thread grades blocks meanwhile: the mode, the
            // preset and the new cycle change between two of its blocks.
            MutexGuard lock(&g_EngineMutex);
            if (word != 0 && Active()) {
                if (word == 1 && g_bAgcOn != 1) {
                    InitAGC(1);
                    ResetAGC();
                } else {
                    InitAGC(word);
                }
            }
            g_bAgcOn = word;
            return ZV_OK;
        }
        case KSPROPERTY_AECCONTROL_AGCPOSITION: {
            if (word < 1 || word > 2) return ZV_INVALID_PARAMETER;
            MutexGuard lock(&g_EngineMutex);
            g_ulAgcPosition = word;
            return ZV_OK;
        }
        case KSPROPERTY_AECCONTROL_RECORRELATE: {
            if (word == 0) return ZV_OK;
            MutexGuard lock(&g_EngineMutex);  // the unload destroys the correlator under it
            if (g_pWaveCorr == nullptr) return ZV_OK;
            return g_pWaveCorr->SetPropertyDword(CKAUDPWAVC::kPropReset, 1);
        }
        default: {
            MutexGuard lock(&g_EngineMutex);
            if (g_pAecModule == nullptr) return ZV_NOT_READY;
            return g_pAecModule->SetPropertyDword(CancellerProperty(id), word);
        }
    }
}

const PrivatePropertySet kAecControlSet = {
    .Set = &KSPROPSETID_AecControl,
    .Get = HandleKSGetProperty,
    .Put = HandleKSSetProperty,
};

NTSTATUS HandleProperty(CGenDisp* genDisp, PKSPROPERTY property, ULONG inputLength, PVOID output,
                        PULONG byteCount) {
    if (LogicLoaded() && PropertyRequestWhole(property, inputLength) &&
        IsEqualGUID(property->Set, KSPROPSETID_Audio)) {
        // While the gain control steers the capture volume, applications'
        // volume sets would fight it: they are taken as done.
        if (property->Id != KSPROPERTY_AUDIO_VOLUMELEVEL ||
            (property->Flags & KSPROPERTY_TYPE_SET) == 0)
            return STATUS_NOT_SUPPORTED;
        MutexGuard lock(&g_EngineMutex);
        return g_bAgcOn != 0 && Active() ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    }
    return AnswerPrivateSet(kAecControlSet, genDisp, property, inputLength, output, byteCount);
}

}  // namespace

// Counted like a stream buffer: the master's unload (at a surprise removal
// or a removal query, while requests may still be inside this filter) clears
// the loaded flag and then waits for every call that found it set.
NTSTATUS OnKSProperty(CGenDisp* genDisp, PKSPROPERTY property, ULONG inputLength, PVOID output,
                      PULONG byteCount) {
    InitDriverObjects();
    if (!g_PropertiesInFlight.Enter()) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = HandleProperty(genDisp, property, inputLength, output, byteCount);
    g_PropertiesInFlight.Leave();
    return status;
}
