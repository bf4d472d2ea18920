// Base of the modules that wrap a small engine of their own (the resampler
// and the wave correlator): the engine is created once the (empty) parameter
// table has been read and destroyed once it has been written back; the 4-byte
// properties are the engine's, read and written straight from it; the buffer
// forms GetProperty / SetProperty are not supported.
//
// `Engine` describes the engine:
//   using State = ...;
//   static ULONG Create(State** out);       // ZV_OK, or a status such as ZV_NO_MEMORY
//   static ULONG Destroy(State* state);
//   static ULONG GetProperty(const State* state, ULONG id, PULONG value);
//   static ULONG SetProperty(State* state, ULONG id, ULONG value);
//   static constexpr char kCreateFailed[];  // log line with the status as %x
// `Derived` holds the parameter table s_Params.
#pragma once

#include <ZDebug.h>

#include "CKAUDPModule.h"

template <class Derived, class Engine>
class CKAUDPEngineModule : public CKAUDPModule {
public:
    using State = typename Engine::State;

    // Not supported: 1 once the common checks pass.
    ZvStatus GetProperty(ULONG id, PVOID buffer, PULONG size) override {
        (void)id;
        ZvStatus status = CheckCallable();
        if (status != ZV_OK) return status;
        if (buffer == nullptr || size == nullptr || *size == 0) return ZV_INVALID_PARAMETER;
        return ZV_FAILED;
    }
    ZvStatus SetProperty(ULONG id, PVOID buffer, ULONG size) override {
        (void)id;
        ZvStatus status = CheckSetProperty(buffer, size);
        if (status != ZV_OK) return status;
        return ZV_FAILED;
    }
    ZvStatus GetPropertyDword(ULONG id, PULONG value) override {
        ZvStatus status = CheckCallable();
        if (status != ZV_OK) return status;
        if (value == nullptr) return ZV_INVALID_PARAMETER;
        return static_cast<ZvStatus>(Engine::GetProperty(m_pState, id, value));
    }
    ZvStatus SetPropertyDword(ULONG id, ULONG value) override {
        ZvStatus status = CheckCallable();
        if (status != ZV_OK) return status;
        return static_cast<ZvStatus>(Engine::SetProperty(m_pState, id, value));
    }

    // The engine, for inspection by tests; null when it could not be created.
    const State* EngineState() const { return m_pState; }

protected:
    CKAUDPEngineModule(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, ULONG tag)
        : CKAUDPModule(deviceObject, instanceCode, tag), m_ulEngineReady(0), m_pState(nullptr) {}

    // The derived constructor's work: reads the parameters, creates the
    // engine and reports its status (a failure is logged and leaves the
    // module answering 3).  PASSIVE_LEVEL.
    void Start(PULONG status) {
        TransferParams(static_cast<Derived*>(this), Derived::s_Params, false);
        const ULONG result = Engine::Create(&m_pState);
        if (result != ZV_OK) {
            LogModule<LogModuleFilterLogic>::ModulePrint(1, Engine::kCreateFailed, result);
            m_pState = nullptr;
        } else {
            m_ulEngineReady = 1;
            m_ulInitialised = 1;
        }
        if (status != nullptr) *status = result;
    }
    // The derived destructor's work: writes the parameters back and destroys
    // the engine.  PASSIVE_LEVEL.
    void Finish() {
        TransferParams(static_cast<Derived*>(this), Derived::s_Params, true);
        if (m_pState != nullptr) Engine::Destroy(m_pState);
        m_pState = nullptr;
        m_ulEngineReady = 0;
    }

    ULONG m_ulEngineReady;  // 1 when the engine was created
    State* m_pState;        // owned
};
