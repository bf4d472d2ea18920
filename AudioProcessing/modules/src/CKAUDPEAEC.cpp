#include "CKAUDPEAEC.h"

#include <AecEngine.h>
#include <ZDebug.h>

#include "FloatingPointScope.h"
#include "ModuleEngineCalls.h"

namespace {

using ThisModule = LogModule<LogModuleFilterLogic>;

constexpr ULONG kDefaultAutoOff = 0;
constexpr ULONG kDefaultStateMachine = 10;
constexpr ULONG kDefaultTailLength = 64;
constexpr ULONG kDefaultComfortNoiseLvl = 2;
// The engine takes 16-bit values; anything wider is out of every range.
constexpr ULONG kMaxValue = 0xFFFF;

bool IsParam(ULONG id) {
    return id >= AEC_PROP_AUTO_OFF && id <= AEC_PROP_COMFORT_NOISE;
}

bool IsSettable(ULONG id) {
    return id >= AEC_PROP_AUTO_OFF && id <= AEC_PROP_SAMPLE_RATE && id != AEC_PROP_BITS_PER_SAMPLE;
}

// The engine answers AecSubmit with copies of the module status codes: this
// module bridges the two, so the copies are checked equal here.
constexpr bool SameCode(uint32_t engine, ZvStatus module) {
    return engine == static_cast<uint32_t>(module);
}
static_assert(SameCode(AEC_ZV_SUCCESS, ZV_OK) && SameCode(AEC_ZV_FAILED, ZV_FAILED) &&
                  SameCode(AEC_ZV_NOT_READY, ZV_NOT_READY) &&
                  SameCode(AEC_ZV_DELAY_TOO_SHORT, ZV_DELAY_TOO_SHORT) &&
                  SameCode(AEC_ZV_DELAY_TOO_LONG, ZV_DELAY_TOO_LONG),
              "the engine's status codes are the module's");

// The engine's 0/1 result of a property set as a module status.
ZvStatus SetResult(uint32_t result) {
    return result == 0 ? ZV_OK : ZV_FAILED;
}

// The near-end delay from the side value: its low 32 bits as a signed count
// of ms, saturated to 16 bits so that a huge value reads as too long rather
// than as its low 16 bits.
int16_t DelayFromSide(ULONGLONG side) {
    const LONG ms = static_cast<LONG>(static_cast<ULONG>(side));
    if (ms > 32767) return 32767;
    if (ms < -32768) return -32768;
    return static_cast<int16_t>(ms);
}

}  // namespace

const ModuleParamEntry<CKAUDPEAEC> CKAUDPEAEC::s_Params[] = {
    {u"_AutoOff_", 4, kModuleParamTypeDword, &CKAUDPEAEC::m_ulAutoOff},
    {u"_StateMachine_", 4, kModuleParamTypeDword, &CKAUDPEAEC::m_ulStateMachine},
    {u"_TailLength_", 4, kModuleParamTypeDword, &CKAUDPEAEC::m_ulTailLength},
    {u"_ComfortNoiseLvl_", 4, kModuleParamTypeDword, &CKAUDPEAEC::m_ulComfortNoiseLvl},
    {{0}, 0, 0, nullptr},
};

CKAUDPEAEC::CKAUDPEAEC(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, PULONG status)
    : CKAUDPModule(deviceObject, instanceCode, ZvFourCC("GAEC")),
      m_ulAutoOff(kDefaultAutoOff),
      m_ulStateMachine(kDefaultStateMachine),
      m_ulTailLength(kDefaultTailLength),
      m_ulComfortNoiseLvl(kDefaultComfortNoiseLvl),
      m_ulLogFlag(0),
      m_ulEngineReady(0),
      m_pEngine(nullptr) {
    // The engine's only failure is memory (its default configuration is valid).
    ZvStatus result = ZV_NO_MEMORY;
    {
        FloatingPointScope fp;
        if (!fp.Saved()) {
            result = ZV_FAILED;
        } else {
            AecState* engine = nullptr;
            if (ZvModAecCreate(&engine) == 0) {
                m_pEngine = engine;
                m_ulEngineReady = 1;
            } else if (engine != nullptr) {
                // A configuration that failed hands out a built engine.
                ZvModAecDestroy(engine);
            }
        }
    }
    TransferParams(this, s_Params, false);
    if (m_ulEngineReady != 0) {
        result = PushParams();
        m_ulInitialised = 1;
    }
    if (status != nullptr) *status = result;
}

CKAUDPEAEC::~CKAUDPEAEC() {
    SaveParams();
    if (m_pEngine != nullptr) {
        FloatingPointScope fp;
        // Without a save the engine is not touched; its memory goes all the same.
        ZvModAecDestroy(m_pEngine);
    }
}

ULONG CKAUDPEAEC::SaveParams() {
    return TransferParams(this, s_Params, true);
}

ULONG* CKAUDPEAEC::ParamField(ULONG id) {
    switch (id) {
        case AEC_PROP_AUTO_OFF:
            return &m_ulAutoOff;
        case AEC_PROP_STATE_MACHINE:
            return &m_ulStateMachine;
        case AEC_PROP_TAIL_LENGTH:
            return &m_ulTailLength;
        default:
            return &m_ulComfortNoiseLvl;
    }
}

void CKAUDPEAEC::ReadBackParam(ULONG id) {
    // The engine may leave a value unwritten (a state it cannot name): the
    // field then keeps what it holds.
    uint32_t value = *ParamField(id);
    ZvModAecGetPropertyDword(m_pEngine, id, &value);
    *ParamField(id) = value;
}

ZvStatus CKAUDPEAEC::PushParams() {
    FloatingPointScope fp;
    if (!fp.Saved()) return ZV_FAILED;
    ZvModAecSetPropertyDword(m_pEngine, AEC_PROP_REAPPLY, 1);
    ZvStatus result = ZV_OK;
    for (ULONG id = AEC_PROP_AUTO_OFF; id <= AEC_PROP_COMFORT_NOISE; ++id) {
        const ULONG value = *ParamField(id);
        result =
            value > kMaxValue
                ? ZV_FAILED
                : SetResult(ZvModAecSetPropertyDword(m_pEngine, id, static_cast<uint16_t>(value)));
    }
    // A value the engine corrected or refused is not kept: the fields (and so
    // the registry at the next save) hold what the engine runs with.
    for (ULONG id = AEC_PROP_AUTO_OFF; id <= AEC_PROP_COMFORT_NOISE; ++id) ReadBackParam(id);
    return result;
}

ZvStatus CKAUDPEAEC::GetProperty(ULONG id, PVOID buffer, PULONG size) {
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (buffer == nullptr || size == nullptr || *size == 0) return ZV_INVALID_PARAMETER;
    uint32_t value = 0;
    uint32_t valueSize = 0;
    {
        FloatingPointScope fp;
        if (!fp.Saved()) return ZV_FAILED;
        ZvModAecGetProperty(m_pEngine, id, &value, &valueSize);
    }
    // Read into a local first: the caller's buffer may be shorter than the value.
    return AnswerGetProperty(valueSize != 0 ? &value : nullptr, sizeof(value), buffer, size);
}

ZvStatus CKAUDPEAEC::SetProperty(ULONG id, PVOID buffer, ULONG size) {
    ZvStatus status = CheckSetProperty(buffer, size);
    if (status != ZV_OK) return status;
    if (!IsSettable(id)) return ZV_FAILED;
    ULONG value;
    std::memcpy(&value, buffer, sizeof(value));
    if (value > kMaxValue) return ZV_FAILED;
    const int16_t word = static_cast<int16_t>(static_cast<uint16_t>(value));
    FloatingPointScope fp;
    if (!fp.Saved()) return ZV_FAILED;
    return SetResult(ZvModAecSetProperty(m_pEngine, id, &word, sizeof(word)));
}

ZvStatus CKAUDPEAEC::GetPropertyDword(ULONG id, PULONG value) {
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (value == nullptr) return ZV_INVALID_PARAMETER;
    FloatingPointScope fp;
    if (!fp.Saved()) return ZV_FAILED;
    return SetResult(ZvModAecGetPropertyDword(m_pEngine, id, value));
}

ZvStatus CKAUDPEAEC::SetPropertyDword(ULONG id, ULONG value) {
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    // Read-only and unknown ids are refused, not silently ignored.
    if (!IsSettable(id)) return ZV_FAILED;
    ZvStatus result;
    {
        FloatingPointScope fp;
        if (!fp.Saved()) return ZV_FAILED;
        result =
            value > kMaxValue
                ? ZV_FAILED
                : SetResult(ZvModAecSetPropertyDword(m_pEngine, id, static_cast<uint16_t>(value)));
        if (!IsParam(id)) return result;
        ReadBackParam(id);
    }
    // The registry is reachable only at PASSIVE_LEVEL; from above it the
    // parameters are written at destruction.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) SaveParams();
    return result;
}

ZvStatus CKAUDPEAEC::SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                                   ULONG outputBytes, PULONGLONG side) {
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (input == nullptr || inputBytes == 0) return ZV_INVALID_PARAMETER;
    int16_t delay = 0;
    const int16_t* delayArg = nullptr;
    if (pin == AEC_PIN_NEAR_END) {
        // The engine writes as many samples as it takes.
        if (output == nullptr || outputBytes == 0 || outputBytes < inputBytes)
            return ZV_INVALID_PARAMETER;
        if (side != nullptr) {
            delay = DelayFromSide(*side);
            delayArg = &delay;
        }
    }
    ULONG result;
    {
        FloatingPointScope fp;
        if (!fp.Saved()) return ZV_FAILED;
        result = ZvModAecSubmit(m_pEngine, pin, static_cast<const int16_t*>(input), inputBytes,
                                static_cast<int16_t*>(output), outputBytes, delayArg);
    }
    if (result != ZV_OK && m_ulLogFlag != 0) {
        if (pin == AEC_PIN_NEAR_END) {
            ThisModule::ModulePrint(
                1, "CKAUDPEAEC>> NearEnd (Pin 1) SubmitPinData Failed status!!! - %d\n", result);
        } else {
            ThisModule::ModulePrint(
                1, "CKAUDPEAEC>> FarEnd (Pin 0) SubmitPinData Failed status!!! - %d\n", result);
        }
    }
    return static_cast<ZvStatus>(result);
}
