// Entry points of the echo canceller engine: creation and destruction, the
// configuration with its corrections, the properties and the submit router.
#include "AecInternal.h"

#include <MemAlloc.h>

namespace aec {

namespace {

bool ValidRate(uint32_t rate) {
    return rate == 8000 || rate == 16000;
}
bool ValidTail(uint32_t tail) {
    return tail == 32 || tail == 64;
}

void FreeIfSet(void* p) {
    if (p != nullptr) MemFree(p);
}

// Frees the sub-buffers (newest first) and the record; accepts a half-built one.
void FreeState(AecState* state) {
    AecCanceller& c = state->canceller;
    FreeIfSet(c.peakHistory);
    FreeIfSet(c.history2Base);
    FreeIfSet(c.history1Base);
    FreeIfSet(c.backupTaps);
    FreeIfSet(c.taps);
    MemFree(state);
}

int16_t* AllocSamples(int count) {
    return static_cast<int16_t*>(MemAlloc(ULONG(count) * sizeof(int16_t)));
}

// Comfort noise field 0 -> off, 1..3 -> on at level field - 1.
void ApplyComfortNoise(AecCanceller* c, uint16_t field) {
    if (field == 0) {
        c->comfortNoiseOn = 0;
    } else {
        c->comfortNoiseOn = 1;
        c->comfortNoise.level = static_cast<int16_t>(field - 1);
    }
}

bool ReadDword(const AecState* state, uint32_t id, uint32_t* value) {
    AecConfig config;
    AecReadConfig(state, &config);
    switch (id) {
        case AEC_PROP_PRESENT:
            *value = 1;
            return true;
        case AEC_PROP_VERSION:
            *value = AEC_VERSION;
            return true;
        case AEC_PROP_AUTO_OFF:
            *value = config.autoOff;
            return true;
        case AEC_PROP_STATE_MACHINE:
            // Any state other than 0 or 1 leaves the value unwritten but still
            // counts as a defined property.
            if (config.stateMachine == 0)
                *value = 0;
            else if (config.stateMachine == 1)
                *value = 10;
            return true;
        case AEC_PROP_TAIL_LENGTH:
            *value = config.tailLength;
            return true;
        case AEC_PROP_COMFORT_NOISE:
            *value = config.comfortNoise;
            return true;
        case AEC_PROP_BITS_PER_SAMPLE:
            *value = 16;
            return true;
        case AEC_PROP_SAMPLE_RATE:
            *value = config.sampleRate;
            return true;
        default:
            return false;  // 6 and above 8: nothing to read
    }
}

}  // namespace

// Applies a whole configuration: every field is corrected to a valid value
// (reported as AEC_STATUS_CORRECTED) and the canceller, the FIFO and the
// delay learning start afresh.
AecStatus AecApplyConfig(AecState* state, AecConfig* config) {
    AecStatus corrected = AEC_STATUS_SUCCESS;
    if (config->autoOff > 1) {
        config->autoOff = 0;
        corrected = AEC_STATUS_CORRECTED;
    }
    if (!ValidRate(config->sampleRate)) {
        config->sampleRate = 8000;
        corrected = AEC_STATUS_CORRECTED;
    }
    if (!ValidTail(config->tailLength)) {
        config->tailLength = 64;
        corrected = AEC_STATUS_CORRECTED;
    }
    AecStatus configured =
        AecConfigure(state, config->sampleRate, config->tailLength, config->autoOff);
    AecCanceller& c = state->canceller;
    if (config->stateMachine <= 1) {
        c.stateMachineFlag = config->stateMachine;
    } else {
        c.stateMachineFlag = 1;
        config->stateMachine = 1;
        corrected = AEC_STATUS_CORRECTED;
    }
    CancellerResetHoldTimes(&c);
    if (config->comfortNoise <= 3) {
        ApplyComfortNoise(&c, config->comfortNoise);
    } else {
        c.comfortNoiseOn = 1;
        c.comfortNoise.level = 2;
        config->comfortNoise = 3;
        corrected = AEC_STATUS_CORRECTED;
    }
    return configured != AEC_STATUS_SUCCESS ? configured : corrected;
}

// Applies a configuration of which one field may have changed: comfort noise
// and state machine take effect at once; a change of rate, tail or auto-off
// restarts the canceller and the delay learning.
AecStatus AecUpdateConfig(AecState* state, AecConfig* config) {
    AecCanceller& c = state->canceller;
    AecStatus corrected = AEC_STATUS_SUCCESS;
    bool reinit = false;
    if (config->autoOff != c.autoOff) {
        if (config->autoOff > 1) {
            config->autoOff = c.autoOff;
            corrected = AEC_STATUS_CORRECTED;
        } else {
            reinit = true;
        }
    }
    uint16_t currentRate = static_cast<uint16_t>(state->frameLength * 100);
    if (config->sampleRate != currentRate) {
        if (!ValidRate(config->sampleRate)) {
            config->sampleRate = currentRate;
            corrected = AEC_STATUS_CORRECTED;
        } else {
            reinit = true;
        }
    }
    uint16_t currentTail = static_cast<uint16_t>(c.fullLength * 10 / state->frameLength);
    if (config->tailLength != currentTail) {
        if (!ValidTail(config->tailLength)) {
            config->tailLength = currentTail;
            corrected = AEC_STATUS_CORRECTED;
        } else {
            reinit = true;
        }
    }
    AecStatus configured = AEC_STATUS_SUCCESS;
    if (reinit) {
        // The re-initialisation resets the comfort noise and the state-machine
        // flag to their start values; the steps below put the configured ones back.
        configured = AecConfigure(state, config->sampleRate, config->tailLength, config->autoOff);
    }
    if (config->stateMachine <= 1) {
        c.stateMachineFlag = config->stateMachine;
        CancellerResetHoldTimes(&c);
    } else {
        corrected = AEC_STATUS_CORRECTED;
    }
    if (config->comfortNoise <= 3)
        ApplyComfortNoise(&c, config->comfortNoise);
    else
        corrected = AEC_STATUS_CORRECTED;
    return configured != AEC_STATUS_SUCCESS ? configured : corrected;
}

void AecReadConfig(const AecState* state, AecConfig* config) {
    const AecCanceller& c = state->canceller;
    config->sampleRate = static_cast<uint16_t>(state->frameLength * 100);
    config->tailLength =
        config->sampleRate == 0
            ? 0
            : static_cast<uint16_t>(int32_t(c.fullLength) * 1000 / config->sampleRate);
    config->stateMachine = c.stateMachineFlag;
    config->comfortNoise = c.comfortNoiseOn ? static_cast<uint16_t>(c.comfortNoise.level + 1) : 0;
    config->autoOff = c.autoOff;
    config->active = c.active;
}

AecStatus AecConfigure(AecState* state, uint16_t rate, uint16_t tail, uint16_t autoOff) {
    AecStatus status = AEC_STATUS_SUCCESS;
    if (!ValidRate(rate)) {
        rate = 8000;
        status = AEC_STATUS_BAD_SAMPLE_RATE;
    }
    int length;
    if (ValidTail(tail)) {
        length = int32_t(rate) * tail / 1000;
    } else {
        length = int32_t(rate) * 32 / 1000;
        status = AEC_STATUS_BAD_TAIL_LENGTH;
    }
    AecCanceller& c = state->canceller;
    state->sampleRate = rate;
    state->evaluateNow = 1;
    state->stepCounter = 0;
    state->delaySum = 0;
    state->stableFrames = 0;
    state->learning = 1;
    c.reinitRequest = 0;
    state->frameLength = static_cast<int16_t>(double(rate) * 0.01);
    int subFrames = state->frameLength / kPiece;
    bool ok = CancellerInit(&c, length, 0, autoOff, subFrames);
    state->smoothedResidual = 0.0;
    state->alignmentPending = 1;
    state->fifoTarget = 0;
    state->frameCount = 0;
    state->overflowCount = 0;
    state->magic = AEC_MAGIC;
    state->evaluationCounter = 0;
    fill16(state->lastFar, 0, 2 * kPiece);
    FifoReset(state);
    if (status != AEC_STATUS_SUCCESS) return status;
    return ok ? AEC_STATUS_SUCCESS : AEC_STATUS_CANCELLER_SETUP;
}

AecStatus AecSetMode(AecState* state, uint16_t mode) {
    AecCanceller& c = state->canceller;
    if (c.magic != AEC_MAGIC) return AEC_STATUS_NOT_INITIALISED;
    if (mode > 1) {
        c.mode = 0;
        return AEC_STATUS_BAD_MODE;
    }
    c.mode = mode;
    return AEC_STATUS_SUCCESS;
}

uint32_t AecStatusToZv(AecStatus status) {
    switch (status) {
        case AEC_STATUS_SUCCESS:
            return AEC_ZV_SUCCESS;
        case AEC_STATUS_NOT_INITIALISED:
            return AEC_ZV_NOT_READY;
        case AEC_STATUS_DELAY_TOO_SHORT:
            return AEC_ZV_DELAY_TOO_SHORT;
        case AEC_STATUS_DELAY_TOO_LONG:
            return AEC_ZV_DELAY_TOO_LONG;
        default:
            return AEC_ZV_FAILED;
    }
}

}  // namespace aec

using namespace aec;

uint32_t AecCreate(AecState** out) {
    *out = nullptr;
    AecState* state = static_cast<AecState*>(MemAlloc(sizeof(AecState)));
    if (state == nullptr) return 1;
    memset(state, 0, sizeof(*state));
    AecCanceller& c = state->canceller;
    c.taps = AllocSamples(kMaxTaps);
    if (c.taps != nullptr) c.backupTaps = AllocSamples(kMaxTaps);
    if (c.backupTaps != nullptr) c.history1 = c.history1Base = AllocSamples(kHistory1Length);
    if (c.history1 != nullptr) c.history2 = c.history2Base = AllocSamples(kHistory2Length);
    if (c.history2 != nullptr) c.peakHistory = AllocSamples(kPeakHistoryLength);
    if (c.peakHistory == nullptr) {
        FreeState(state);
        return 1;
    }
    c.history1Length = kHistory1Length;
    c.history2Length = kHistory2Length;
    c.mode = 0;
    AecConfig config{8000, 64, 1, 3, 0, 0};
    AecStatus status = AecApplyConfig(state, &config);
    AecSetMode(state, 1);
    *out = state;
    return status != AEC_STATUS_SUCCESS ? 1 : 0;
}

uint32_t AecDestroy(AecState* state) {
    if (state != nullptr) FreeState(state);
    return 0;
}

uint32_t AecGetPropertyDword(AecState* state, uint32_t id, uint32_t* value) {
    if (state == nullptr || value == nullptr) return 0;
    ReadDword(state, id, value);
    return 0;
}

uint32_t AecGetProperty(AecState* state, uint32_t id, uint32_t* value, uint32_t* size) {
    if (state == nullptr || value == nullptr || size == nullptr) return 0;
    *size = ReadDword(state, id, value) ? 4 : 0;
    return 0;
}

uint32_t AecSetPropertyDword(AecState* state, uint32_t id, uint16_t value) {
    if (state == nullptr) return 1;
    AecConfig config;
    AecReadConfig(state, &config);
    switch (id) {
        case AEC_PROP_AUTO_OFF:
            config.autoOff = value;
            break;
        case AEC_PROP_STATE_MACHINE:
            if (value == 0)
                config.stateMachine = 0;
            else if (value == 10)
                config.stateMachine = 1;
            else
                return 1;
            break;
        case AEC_PROP_TAIL_LENGTH:
            config.tailLength = value;
            break;
        case AEC_PROP_COMFORT_NOISE:
            config.comfortNoise = value;
            break;
        case AEC_PROP_SAMPLE_RATE:
            config.sampleRate = value;
            break;
        case AEC_PROP_REAPPLY:
            return AecApplyConfig(state, &config) != AEC_STATUS_SUCCESS ? 1 : 0;
        default:
            return 0;  // read-only or unknown ids
    }
    return AecUpdateConfig(state, &config) != AEC_STATUS_SUCCESS ? 1 : 0;
}

uint32_t AecSetProperty(AecState* state, uint32_t id, const int16_t* value, uint32_t size) {
    if (id < AEC_PROP_AUTO_OFF || id > AEC_PROP_SAMPLE_RATE) return 0;
    if (value == nullptr || size < sizeof(int16_t)) return 1;
    return AecSetPropertyDword(state, id, static_cast<uint16_t>(*value));
}

uint32_t AecSubmit(AecState* state, uint32_t pin, const int16_t* in, uint32_t inBytes, int16_t* out,
                   uint32_t outBytes, const int16_t* delay) {
    if (state == nullptr) return AEC_ZV_NOT_READY;
    if (in == nullptr) return AEC_ZV_FAILED;
    // The byte count is taken as a signed 16-bit value: anything that is not a
    // whole 80 or 160 samples then fails the frame check.
    int32_t samples = static_cast<int16_t>(static_cast<uint16_t>(inBytes)) / 2;
    uint16_t count = samples < 0 ? 0 : static_cast<uint16_t>(samples);
    AecStatus status;
    if (pin == AEC_PIN_FAR_END) {
        status = AecProcessFarEnd(state, in, count);
    } else if (pin == AEC_PIN_NEAR_END) {
        // The output must hold the whole frame: a short one is refused rather
        // than written past its end.
        if (out == nullptr || delay == nullptr || outBytes < uint32_t(count) * 2)
            return AEC_ZV_FAILED;
        status = AecProcessNearEnd(state, in, out, count, *delay);
    } else {
        return AEC_ZV_FAILED;
    }
    return AecStatusToZv(status);
}
