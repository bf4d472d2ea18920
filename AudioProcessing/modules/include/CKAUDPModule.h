// Base class of every audio processing module of both drivers, and the
// registry-backed parameter tables the modules keep in the device's driver key.
//
// Every operation of every module answers, before any work of its own and in
// this order: ZV_FAILED above DISPATCH_LEVEL, ZV_NOT_READY while the
// constructor has not completed; then the operation's own argument checks.
#pragma once

#include <wdm.h>

#include "PoolObject.h"
#include "ZvStatus.h"

struct _DEVICE_OBJECT;

// Four characters packed in memory order, as module tags and instance codes
// are held: ZvFourCC("ZAEC") lies in memory as 'Z','A','E','C'.
constexpr ULONG ZvFourCC(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24);
}

// Characters of the middle part of a parameter's value name, and of the whole
// value name (tag + middle part + instance code, zero-terminated).
constexpr ULONG kModuleParamNameChars = 80;
constexpr ULONG kModuleParamValueNameChars = 100;
// Registry type of the only rows that are read and written.
constexpr ULONG kModuleParamTypeDword = 4;

// One row of a module's parameter table; a row whose size is 0 ends the table.
template <class Module>
struct ModuleParamEntry {
    WCHAR name[kModuleParamNameChars];  // middle part of the value name
    ULONG size;                         // 4; 0 ends the table
    ULONG type;                         // only kModuleParamTypeDword rows are used
    ULONG Module::*field;               // the u32 field of the module that holds the value
};

// Builds tag(4) + name + instance(4) into `out`, a buffer of
// kModuleParamValueNameChars characters that is cleared first.  A name too
// long for the buffer is cut so that the result stays terminated.
void ModuleBuildValueName(PWCHAR out, PCWSTR tag, PCWSTR name, PCWSTR instance);

// Opens the driver key of `deviceObject` for the parameters; null without a
// device object or when the key cannot be opened.  PASSIVE_LEVEL.
HANDLE ModuleOpenParamKey(_DEVICE_OBJECT* deviceObject);
void ModuleCloseParamKey(HANDLE key);
// Reads one REG_DWORD parameter: a value that is absent, unreadable or
// 0xFFFFFFFF leaves *field as it is.
void ModuleReadParam(HANDLE key, PCWSTR valueName, ULONG* field);
// Writes one REG_DWORD parameter; a failed write is ignored.
void ModuleWriteParam(HANDLE key, PCWSTR valueName, ULONG value);

// One row of a module's property table, indexed by property id: the field
// the id reads and its size (a 4-byte field converts by itself).
struct ModulePropertyField {
    constexpr ModulePropertyField(const ULONG* field) : Field(field), Size(sizeof(ULONG)) {}
    constexpr ModulePropertyField(const void* field, ULONG size) : Field(field), Size(size) {}
    const void* Field;
    ULONG Size;
};

class CKAUDPModule : public CPoolObject {
public:
    virtual ~CKAUDPModule();

    // Reads property `id` into `buffer`; *size holds the buffer's size and
    // returns the property's size (0 for an unknown id).
    virtual ZvStatus GetProperty(ULONG id, PVOID buffer, PULONG size) = 0;
    virtual ZvStatus SetProperty(ULONG id, PVOID buffer, ULONG size) = 0;
    virtual ZvStatus GetPropertyDword(ULONG id, PULONG value) = 0;
    virtual ZvStatus SetPropertyDword(ULONG id, ULONG value) = 0;
    // Hands one pin's buffer to the module.  What the pin, the output and the
    // 64-bit side value mean is each module's business.
    virtual ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                                   ULONG outputBytes, PULONGLONG side) = 0;

    // Wide forms of the tag and of the instance code (4 characters each).
    PCWSTR Tag() const { return m_wszTag; }
    PCWSTR InstanceName() const { return m_wszInstance; }

protected:
    // `deviceObject` (may be null: then no parameter is read or written) and
    // `instanceCode` tell the instance apart in the registry; `tag` is the
    // module's own 4-letter code.
    CKAUDPModule(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, ULONG tag);

    // ZV_FAILED above DISPATCH_LEVEL, ZV_NOT_READY before the constructor
    // completed, else ZV_OK.
    ZvStatus CheckCallable() const;

    // The read of a fixed-size property through the common size protocol.
    // `field` null means an unknown id.
    ZvStatus AnswerGetProperty(const void* field, ULONG fieldSize, PVOID buffer, PULONG size) const;
    // The same for property `id` of a table indexed by id; an id past the
    // table is unknown.
    template <ULONG Rows>
    ZvStatus AnswerGetProperty(const ModulePropertyField (&table)[Rows], ULONG id, PVOID buffer,
                               PULONG size) const {
        return id < Rows ? AnswerGetProperty(table[id].Field, table[id].Size, buffer, size)
                         : AnswerGetProperty(nullptr, sizeof(ULONG), buffer, size);
    }
    // The checks every SetProperty makes before looking at the id: those of
    // CheckCallable, ZV_INVALID_PARAMETER for a null buffer or a size of 0,
    // ZV_BUFFER_TOO_SMALL below 4 bytes.
    ZvStatus CheckSetProperty(PCVOID buffer, ULONG size) const;
    // Reads (save false) or writes (save true) the parameters of a module's table.
    // Result 1 when the driver key was opened, else 0.
    template <class Module>
    ULONG TransferParams(Module* module, const ModuleParamEntry<Module>* table, bool save) const;
    // The same on a key the caller opened.
    template <class Module>
    void TransferParamsOnKey(Module* module, const ModuleParamEntry<Module>* table, HANDLE key,
                             bool save) const;

    _DEVICE_OBJECT* m_pDeviceObject;
    ULONG m_ulInstanceCode;  // four characters in memory order
    WCHAR m_wszTag[5];
    WCHAR m_wszInstance[5];
    // Set by the derived constructor as its last step; until then every
    // operation answers ZV_NOT_READY.
    ULONG m_ulInitialised;
};

template <class Module>
ULONG CKAUDPModule::TransferParams(Module* module, const ModuleParamEntry<Module>* table,
                                   bool save) const {
    HANDLE key = ModuleOpenParamKey(m_pDeviceObject);
    if (key == nullptr) return 0;
    TransferParamsOnKey(module, table, key, save);
    ModuleCloseParamKey(key);
    return 1;
}

template <class Module>
void CKAUDPModule::TransferParamsOnKey(Module* module, const ModuleParamEntry<Module>* table,
                                       HANDLE key, bool save) const {
    // A table whose first row ends it is skipped whole.
    for (const ModuleParamEntry<Module>* row = table; row->size != 0; ++row) {
        if (row->type != kModuleParamTypeDword) continue;
        WCHAR valueName[kModuleParamValueNameChars];
        ModuleBuildValueName(valueName, m_wszTag, row->name, m_wszInstance);
        ULONG* field = &(module->*(row->field));
        if (save) {
            ModuleWriteParam(key, valueName, *field);
        } else {
            ModuleReadParam(key, valueName, field);
        }
    }
}

// Base of the modules whose 4-byte property forms go through GetProperty and
// SetProperty (one body for both forms), and whose parameter table is
// Derived::s_Params.
template <class Derived>
class CKAUDPPropertyModule : public CKAUDPModule {
public:
    // A null value pointer answers ZV_INVALID_PARAMETER (after the common
    // answers).
    ZvStatus GetPropertyDword(ULONG id, PULONG value) override {
        ULONG size = sizeof(ULONG);
        return GetProperty(id, value, &size);
    }
    ZvStatus SetPropertyDword(ULONG id, ULONG value) override {
        return SetProperty(id, &value, sizeof(value));
    }

protected:
    CKAUDPPropertyModule(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, ULONG tag)
        : CKAUDPModule(deviceObject, instanceCode, tag) {}

    // The derived constructor's last step: reads the parameters over the
    // defaults it set, marks the module ready and reports 0 in *status (when
    // given).  PASSIVE_LEVEL.
    void Start(PULONG status) {
        TransferParams(static_cast<Derived*>(this), Derived::s_Params, false);
        m_ulInitialised = 1;
        if (status != nullptr) *status = ZV_OK;
    }
    ULONG SaveParams() {
        return TransferParams(static_cast<Derived*>(this), Derived::s_Params, true);
    }
};
