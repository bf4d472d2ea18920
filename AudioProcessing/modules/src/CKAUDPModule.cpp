// Base class of the processing modules: the common answers of every
// operation, the size protocol of the 4-byte properties and the parameter
// transfer between a module's fields and the device's driver key.
#include "CKAUDPModule.h"

#include <MemAlloc.h>
#include <Registry.h>

namespace {

// The driver key is opened with the standard rights only; kernel-mode callers
// read and write its values through that handle.
constexpr ACCESS_MASK kParamKeyAccess = STANDARD_RIGHTS_REQUIRED;

// Each byte of a four-character code, in memory order, widened to one
// character; the fifth character terminates.
void WidenFourCC(PWCHAR out, ULONG code) {
    for (ULONG i = 0; i < 4; ++i) out[i] = static_cast<WCHAR>((code >> (8 * i)) & 0xFF);
    out[4] = 0;
}

}  // namespace

void ModuleBuildValueName(PWCHAR out, PCWSTR tag, PCWSTR name, PCWSTR instance) {
    for (ULONG i = 0; i < kModuleParamValueNameChars; ++i) out[i] = 0;
    ULONG at = 0;
    const ULONG last = kModuleParamValueNameChars - 1;  // keeps the terminator
    for (ULONG i = 0; i < 4 && tag[i] != 0 && at < last; ++i) out[at++] = tag[i];
    for (ULONG i = 0; i < kModuleParamNameChars && name[i] != 0 && at < last; ++i)
        out[at++] = name[i];
    for (ULONG i = 0; i < 4 && instance[i] != 0 && at < last; ++i) out[at++] = instance[i];
}

HANDLE ModuleOpenParamKey(_DEVICE_OBJECT* deviceObject) {
    if (deviceObject == nullptr) return nullptr;
    HANDLE key = nullptr;
    NTSTATUS status =
        IoOpenDeviceRegistryKey(deviceObject, PLUGPLAY_REGKEY_DRIVER, kParamKeyAccess, &key);
    if (!NT_SUCCESS(status)) return nullptr;
    return key;
}

void ModuleCloseParamKey(HANDLE key) {
    if (key != nullptr) ZwClose(key);
}

void ModuleReadParam(HANDLE key, PCWSTR valueName, ULONG* field) {
    constexpr ULONG kAbsent = 0xFFFFFFFF;
    ULONG found = 0;
    ULONG value = RegistryReadDwordEx(key, valueName, kAbsent, &found);
    // A stored 0xFFFFFFFF cannot be told from an absent value: both keep the default.
    if (value != kAbsent) *field = value;
}

void ModuleWriteParam(HANDLE key, PCWSTR valueName, ULONG value) {
    (void)RegistryWriteDword(key, valueName, value);
}

CKAUDPModule::CKAUDPModule(_DEVICE_OBJECT* deviceObject, ULONG instanceCode, ULONG tag)
    : m_pDeviceObject(deviceObject), m_ulInstanceCode(instanceCode), m_ulInitialised(0) {
    WidenFourCC(m_wszTag, tag);
    WidenFourCC(m_wszInstance, instanceCode);
}

CKAUDPModule::~CKAUDPModule() = default;

ZvStatus CKAUDPModule::CheckCallable() const {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) return ZV_FAILED;
    if (m_ulInitialised == 0) return ZV_NOT_READY;
    return ZV_OK;
}

ZvStatus CKAUDPModule::AnswerGetProperty(const void* field, ULONG fieldSize, PVOID buffer,
                                         PULONG size) const {
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (buffer == nullptr || size == nullptr || *size == 0) return ZV_INVALID_PARAMETER;
    if (field == nullptr) {
        *size = 0;
        return ZV_FAILED;
    }
    if (*size < fieldSize) {
        *size = fieldSize;
        return ZV_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, field, fieldSize);
    *size = fieldSize;
    return ZV_OK;
}

ZvStatus CKAUDPModule::CheckSetProperty(PCVOID buffer, ULONG size) const {
    ZvStatus status = CheckCallable();
    if (status != ZV_OK) return status;
    if (buffer == nullptr || size == 0) return ZV_INVALID_PARAMETER;
    if (size < sizeof(ULONG)) return ZV_BUFFER_TOO_SMALL;
    return ZV_OK;
}
