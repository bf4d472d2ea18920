// Win32 stand-in: the device installer.  A device information set is a list of
// Enum instances (and, for an interface set, their interfaces from the PnP
// manager's DeviceClasses records), read when the set is made.
#include <setupapi.h>

#include "kp/pnp.h"
#include "win32_internal.h"

using namespace kp::win32;

namespace {

struct DeviceEntry {
    std::u16string Instance;  // below Enum
    GUID ClassGuid{};
    bool HaveParams = false;
    SP_PROPCHANGE_PARAMS Params{};
    DWORD Flags = 0;  // install-parameter flags after the last class-installer call
};

struct InterfaceEntry {
    std::u16string Link;  // "\??\..."
    GUID Class{};
    size_t Device = 0;
    bool Active = false;
};

struct DeviceSet : Object {
    DeviceSet() : Object(Kind::DeviceSet) {}
    std::vector<DeviceEntry> Devices;
    std::vector<InterfaceEntry> Interfaces;
};

std::u16string EnumKey(const std::u16string& instance) {
    return std::u16string(kKpEnumPath) + u"\\" + instance;
}

bool ParseGuidText(const std::u16string& text, GUID* guid) {
    std::string narrow = Narrow(text);
    unsigned d1, d2, d3, b[8];
    char close;
    if (narrow.size() != 38 ||
        std::sscanf(narrow.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3,
                    &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &close) != 12 ||
        close != '}') {
        return false;
    }
    guid->Data1 = d1;
    guid->Data2 = static_cast<USHORT>(d2);
    guid->Data3 = static_cast<USHORT>(d3);
    for (int i = 0; i < 8; i++) guid->Data4[i] = static_cast<UCHAR>(b[i]);
    return true;
}

size_t AddDevice(DeviceSet* set, const std::u16string& instance) {
    for (size_t i = 0; i < set->Devices.size(); i++) {
        if (kp::reg::NamesEqual(set->Devices[i].Instance, instance)) return i;
    }
    DeviceEntry entry;
    entry.Instance = instance;
    ParseGuidText(kp::reg::GetString(EnumKey(instance), u"ClassGUID").value_or(u""),
                  &entry.ClassGuid);
    set->Devices.push_back(entry);
    return set->Devices.size() - 1;
}

DeviceSet* SetOf(HDEVINFO handle) {
    auto set = static_cast<DeviceSet*>(Lookup(handle, Kind::DeviceSet));
    if (set == nullptr) Fail(ERROR_INVALID_HANDLE);
    return set;
}

// The set's device named by a caller's SP_DEVINFO_DATA; null with the last error set.
DeviceEntry* DeviceOf(DeviceSet* set, PSP_DEVINFO_DATA data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        Fail(data == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (data->DevInst == 0 || data->DevInst > set->Devices.size() ||
        data->Reserved != reinterpret_cast<ULONG_PTR>(set)) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set->Devices[data->DevInst - 1];
}

void FillDevInfo(DeviceSet* set, size_t index, PSP_DEVINFO_DATA data) {
    data->ClassGuid = set->Devices[index].ClassGuid;
    data->DevInst = static_cast<DWORD>(index + 1);
    data->Reserved = reinterpret_cast<ULONG_PTR>(set);
}

// The Enum value behind a device registry property, or null when not modelled.
const char16_t* PropertyValue(DWORD property) {
    switch (property) {
        case SPDRP_HARDWAREID:
            return u"HardwareID";
        case SPDRP_SERVICE:
            return u"Service";
        case SPDRP_UPPERFILTERS:
            return u"UpperFilters";
        case SPDRP_LOWERFILTERS:
            return u"LowerFilters";
        default:
            return nullptr;
    }
}

std::string PropertyName(DWORD property) {
    return std::to_string(property);
}

void ListInterfaces(DeviceSet* set, const GUID& cls) {
    std::u16string classKey = std::u16string(kKpDeviceClassesPath) + u"\\" + GuidText(cls);
    for (const std::u16string& record : kp::reg::SubKeyNames(classKey)) {
        std::u16string key = classKey + u"\\" + record;
        auto instance = kp::reg::GetString(key, u"DeviceInstance");
        auto link = kp::reg::GetString(key, u"SymbolicLink");
        if (!instance || !link || instance->empty()) continue;
        InterfaceEntry entry;
        entry.Link = *link;
        entry.Class = cls;
        entry.Device = AddDevice(set, *instance);
        // "Control" is volatile: only a machine running in this process has it.
        entry.Active = kp::reg::GetDword(key + u"\\Control", u"Linked").value_or(0) != 0;
        set->Interfaces.push_back(entry);
    }
}

void ListPresent(DeviceSet* set, const GUID& cls) {
    std::u16string enumKey(kKpEnumPath);
    for (auto& enumerator : kp::reg::SubKeyNames(enumKey)) {
        for (auto& device : kp::reg::SubKeyNames(enumKey + u"\\" + enumerator)) {
            for (auto& instance :
                 kp::reg::SubKeyNames(enumKey + u"\\" + enumerator + u"\\" + device)) {
                std::u16string path = enumerator + u"\\" + device + u"\\" + instance;
                GUID deviceClass{};
                if (!ParseGuidText(kp::reg::GetString(EnumKey(path), u"ClassGUID").value_or(u""),
                                   &deviceClass) ||
                    !(deviceClass == cls)) {
                    continue;
                }
                PDEVICE_OBJECT pdo = KpPnpFindPdo(path);
                if (pdo != nullptr && KpPnpGetState(pdo) == KpPnpStarted) AddDevice(set, path);
            }
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// SetupDiOpenClassRegKey
// ---------------------------------------------------------------------------
HKEY WINAPI SetupDiOpenClassRegKey(const GUID* ClassGuid, REGSAM samDesired) {
    auto invalid = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (ClassGuid == nullptr) {
        Unmodelled("SetupDiOpenClassRegKey", "the class branch itself (no GUID)");
        return invalid;
    }
    if (DWORD error = InjectedFault("SetupDiOpenClassRegKey")) {
        Fail(error);
        return invalid;
    }
    if (DWORD error = Sync()) {
        Fail(error);
        return invalid;
    }
    HKEY key =
        OpenKeyHandle(std::u16string(kKpClassPath) + u"\\" + GuidText(*ClassGuid), samDesired);
    if (key == nullptr) {
        Fail(ERROR_INVALID_CLASS);
        return invalid;
    }
    return key;
}

// ---------------------------------------------------------------------------
// SetupDiGetClassDevsA
// ---------------------------------------------------------------------------
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
    const char* unmodelled = ClassGuid == nullptr    ? "a set without a class"
                             : Enumerator != nullptr ? "an enumerator"
                             : hwndParent != nullptr ? "a parent window"
                             : Flags != DIGCF_PRESENT && Flags != DIGCF_DEVICEINTERFACE
                                 ? "this combination of flags"
                                 : nullptr;
    if (unmodelled != nullptr) {
        Unmodelled("SetupDiGetClassDevsA", unmodelled);
        return INVALID_HANDLE_VALUE;
    }
    if (DWORD error = InjectedFault("SetupDiGetClassDevsA")) {
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }
    if (DWORD error = Sync()) {
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }
    auto set = new DeviceSet();
    if (Flags == DIGCF_DEVICEINTERFACE)
        ListInterfaces(set, *ClassGuid);
    else
        ListPresent(set, *ClassGuid);
    Register(set);
    return set;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    return Close(DeviceInfoSet, Kind::DeviceSet) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------
// Enumeration
// ---------------------------------------------------------------------------
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    if (DeviceInfoData != nullptr) {
        Unmodelled("SetupDiEnumDeviceInterfaces", "a device filter");
        return FALSE;
    }
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DWORD error = InjectedFault("SetupDiEnumDeviceInterfaces")) return Fail(error);
    DWORD seen = 0;
    for (size_t i = 0; i < set->Interfaces.size(); i++) {
        const InterfaceEntry& entry = set->Interfaces[i];
        if (!(entry.Class == *InterfaceClassGuid)) continue;
        if (seen++ != MemberIndex) continue;
        DeviceInterfaceData->InterfaceClassGuid = entry.Class;
        DeviceInterfaceData->Flags = entry.Active ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = i + 1;
        return TRUE;
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData) {
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    if (DeviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (DWORD error = InjectedFault("SetupDiEnumDeviceInfo")) return Fail(error);
    if (MemberIndex >= set->Devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    FillDevInfo(set, MemberIndex, DeviceInfoData);
    return TRUE;
}

// ---------------------------------------------------------------------------
// SetupDiGetDeviceInterfaceDetailA: "\\?\" for "\??\"; the size with NULL.
// ---------------------------------------------------------------------------
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    if (DeviceInterfaceData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceData->Reserved == 0 ||
        DeviceInterfaceData->Reserved > set->Interfaces.size())
        return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD error = InjectedFault("SetupDiGetDeviceInterfaceDetailA")) return Fail(error);
    const InterfaceEntry& entry = set->Interfaces[DeviceInterfaceData->Reserved - 1];
    std::string path = Narrow(entry.Link);
    if (path.compare(0, 4, "\\??\\") == 0) path = "\\\\?\\" + path.substr(4);
    DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                        path.size() + 1);
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (DeviceInterfaceDetailData == nullptr) {
        return Fail(DeviceInterfaceDetailDataSize == 0 ? ERROR_INSUFFICIENT_BUFFER
                                                       : ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceDetailDataSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    if (DeviceInfoData != nullptr) FillDevInfo(set, entry.Device, DeviceInfoData);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Device registry properties: the Enum entry's values.
// ---------------------------------------------------------------------------
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    DeviceEntry* device = DeviceOf(set, DeviceInfoData);
    if (device == nullptr) return FALSE;
    const char16_t* name = PropertyValue(Property);
    if (name == nullptr) {
        Unmodelled("SetupDiGetDeviceRegistryPropertyA", "property " + PropertyName(Property));
        return FALSE;
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD error = InjectedFault("SetupDiGetDeviceRegistryPropertyA", PropertyName(Property)))
        return Fail(error);
    if (DWORD error = Sync()) return Fail(error);
    auto value = kp::reg::GetValue(EnumKey(device->Instance), name);
    if (!value) return Fail(ERROR_INVALID_DATA);
    std::vector<uint8_t> bytes = NarrowValue(value->Type, value->Data);
    if (PropertyRegDataType != nullptr) *PropertyRegDataType = value->Type;
    if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(bytes.size());
    if (PropertyBufferSize < bytes.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!bytes.empty()) std::memcpy(PropertyBuffer, bytes.data(), bytes.size());
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              const BYTE* PropertyBuffer,
                                              DWORD PropertyBufferSize) {
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    DeviceEntry* device = DeviceOf(set, DeviceInfoData);
    if (device == nullptr) return FALSE;
    if (Property != SPDRP_HARDWAREID && Property != SPDRP_UPPERFILTERS &&
        Property != SPDRP_LOWERFILTERS) {
        Unmodelled("SetupDiSetDeviceRegistryPropertyA", "property " + PropertyName(Property));
        return FALSE;
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD error = InjectedFault("SetupDiSetDeviceRegistryPropertyA", PropertyName(Property)))
        return Fail(error);
    std::vector<uint8_t> stored;
    if (PropertyBuffer != nullptr &&
        !WidenValue(REG_MULTI_SZ, PropertyBuffer, PropertyBufferSize, &stored)) {
        return Fail(ERROR_INVALID_DATA);
    }
    DWORD error = Change([&]() -> DWORD {
        std::u16string key = EnumKey(device->Instance);
        if (!kp::reg::KeyExists(key)) return ERROR_NO_SUCH_DEVINST;
        if (PropertyBuffer == nullptr) {
            NTSTATUS status = kp::reg::DeleteValue(key, PropertyValue(Property));
            return status == STATUS_OBJECT_NAME_NOT_FOUND ? 0 : ErrorFromStatus(status);
        }
        return ErrorFromStatus(kp::reg::SetValue(key, PropertyValue(Property), REG_MULTI_SZ,
                                                 stored.data(), stored.size()));
    });
    return error == 0 ? TRUE : Fail(error);
}

// ---------------------------------------------------------------------------
// SetupDiOpenDevRegKey: the software key, as the kernel's
// IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DRIVER) finds it.
// ---------------------------------------------------------------------------
HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 DWORD Scope, DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
    auto invalid = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return invalid;
    DeviceEntry* device = DeviceOf(set, DeviceInfoData);
    if (device == nullptr) return invalid;
    if (Scope != DICS_FLAG_GLOBAL || HwProfile != 0 || KeyType != DIREG_DRV) {
        Unmodelled("SetupDiOpenDevRegKey", "a key other than the global driver key");
        return invalid;
    }
    if (DWORD error = InjectedFault("SetupDiOpenDevRegKey")) {
        Fail(error);
        return invalid;
    }
    if (DWORD error = Sync()) {
        Fail(error);
        return invalid;
    }
    auto driver = kp::reg::GetString(EnumKey(device->Instance), u"Driver");
    if (!driver || driver->empty()) {
        Fail(ERROR_KEY_DOES_NOT_EXIST);
        return invalid;
    }
    std::u16string path = std::u16string(kKpClassPath) + u"\\" + *driver;
    if (!kp::reg::KeyExists(path)) {
        // The installer made the software key with the Driver value; make it as the kernel does.
        DWORD error =
            Change([&]() -> DWORD { return ErrorFromStatus(kp::reg::CreateKeyPath(path)); });
        if (error != 0) {
            Fail(error);
            return invalid;
        }
    }
    HKEY key = OpenKeyHandle(path, samDesired);
    if (key == nullptr) {
        Fail(ERROR_KEY_DOES_NOT_EXIST);
        return invalid;
    }
    return key;
}

// ---------------------------------------------------------------------------
// Class installer: DIF_PROPERTYCHANGE restarts the device.
// ---------------------------------------------------------------------------
BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                          DWORD ClassInstallParamsSize) {
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    if (DeviceInfoData == nullptr) {
        Unmodelled("SetupDiSetClassInstallParamsA", "parameters of the whole set");
        return FALSE;
    }
    DeviceEntry* device = DeviceOf(set, DeviceInfoData);
    if (device == nullptr) return FALSE;
    if (DWORD error = InjectedFault("SetupDiSetClassInstallParamsA")) return Fail(error);
    if (ClassInstallParams == nullptr) {
        if (ClassInstallParamsSize != 0) return Fail(ERROR_INVALID_PARAMETER);
        device->HaveParams = false;
        return TRUE;
    }
    if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (ClassInstallParams->InstallFunction != DIF_PROPERTYCHANGE) {
        Unmodelled("SetupDiSetClassInstallParamsA",
                   "an install function other than DIF_PROPERTYCHANGE");
        return FALSE;
    }
    if (ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS))
        return Fail(ERROR_INVALID_PARAMETER);
    std::memcpy(&device->Params, ClassInstallParams, sizeof device->Params);
    device->HaveParams = true;
    return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    if (InstallFunction != DIF_PROPERTYCHANGE) {
        Unmodelled("SetupDiCallClassInstaller",
                   "an install function other than DIF_PROPERTYCHANGE");
        return FALSE;
    }
    if (DeviceInfoData == nullptr) {
        Unmodelled("SetupDiCallClassInstaller", "a call for the whole set");
        return FALSE;
    }
    DeviceEntry* device = DeviceOf(set, DeviceInfoData);
    if (device == nullptr) return FALSE;
    const SP_PROPCHANGE_PARAMS& p = device->Params;
    if (!device->HaveParams || p.StateChange != DICS_PROPCHANGE ||
        p.Scope != DICS_FLAG_CONFIGSPECIFIC || p.HwProfile != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (DWORD error = InjectedFault("SetupDiCallClassInstaller")) return Fail(error);
    if (DWORD error = Sync()) return Fail(error);
    PDEVICE_OBJECT pdo = LiveMode() ? KpPnpFindPdo(device->Instance) : nullptr;
    if (pdo == nullptr) return Fail(ERROR_NO_SUCH_DEVINST);
    NTSTATUS status = KpPnpRestartDevice(pdo);
    // A device that would not let go of its stack (open handles, a refused
    // removal) keeps running with the old one until the machine restarts.
    device->Flags = NT_SUCCESS(status) ? 0 : DI_NEEDREBOOT;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    if (DeviceInfoData == nullptr) {
        Unmodelled("SetupDiGetDeviceInstallParamsA", "parameters of the whole set");
        return FALSE;
    }
    DeviceEntry* device = DeviceOf(set, DeviceInfoData);
    if (device == nullptr) return FALSE;
    if (DeviceInstallParams == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DWORD error = InjectedFault("SetupDiGetDeviceInstallParamsA")) return Fail(error);
    DWORD size = DeviceInstallParams->cbSize;
    std::memset(DeviceInstallParams, 0, sizeof *DeviceInstallParams);
    DeviceInstallParams->cbSize = size;
    DeviceInstallParams->Flags = device->Flags;
    return TRUE;
}
