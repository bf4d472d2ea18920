// DirectSound disabler: per device and direction, a disable count and the
// DirectSound values in the device's registry key.
#include "DSDisblr.h"

#include "DrvMain.h"
#include "Registry.h"
#include "OSDep.h"
#include "ZDebug.h"

volatile LONG DsFallbackBusyFlag = 0;

namespace {
constexpr ACCESS_MASK kDeviceKeyAccess = 0xF0000;

PCWSTR PresencePath(ULONG direction) {
    return direction != 0 ? u"DirectSound\\Device Presence"
                          : u"DirectSoundCapture\\Device Presence";
}
PCWSTR MixerPath(ULONG direction) {
    return direction != 0 ? u"DirectSound\\Mixer Defaults" : u"DirectSoundCapture\\Mixer Defaults";
}

HANDLE OpenDeviceKey(PDEVICE_OBJECT pdo) {
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, DsRegistryKeyType, kDeviceKeyAccess, &key)))
        return nullptr;
    return key;
}

// The device key given, or the PDO's own opened for the length of one
// operation.
class DeviceKey {
public:
    DeviceKey(HANDLE key, PDEVICE_OBJECT pdo) : m_key(key), m_owned(false) {
        if (m_key == nullptr) {
            m_key = OpenDeviceKey(pdo);
            m_owned = m_key != nullptr;
        }
    }
    ~DeviceKey() {
        if (m_owned) ZwClose(m_key);
    }
    HANDLE Get() const { return m_key; }

private:
    HANDLE m_key;
    bool m_owned;
};

// A subkey below the device key, created when missing; null when it cannot be.
class SubKey {
public:
    SubKey(HANDLE root, PCWSTR path) : m_key(nullptr) {
        if (root != nullptr &&
            !NT_SUCCESS(RegistryCreateKeyPath(root, KEY_ALL_ACCESS, path, &m_key)))
            m_key = nullptr;
    }
    ~SubKey() {
        if (m_key != nullptr) ZwClose(m_key);
    }
    HANDLE Get() const { return m_key; }

private:
    HANDLE m_key;
};

void Sleep10ms() {
    LARGE_INTEGER interval;
    interval.QuadPart = -100000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
}  // namespace

void ReadDsDisableCount(HANDLE key, PDEVICE_OBJECT pdo, PULONG count, ULONG direction) {
    *count = 0;
    DeviceKey device(key, pdo);
    SubKey presence(device.Get(), PresencePath(direction));
    if (presence.Get() == nullptr) return;
    *count = RegistryReadDword(presence.Get(), u"ZVDSDisableCount", 0);
    RegistryWriteDword(presence.Get(), u"ZVDSDisableCount", *count);
}

void WriteDsDisableCount(HANDLE key, PDEVICE_OBJECT pdo, ULONG count, ULONG direction) {
    DeviceKey device(key, pdo);
    SubKey presence(device.Get(), PresencePath(direction));
    if (presence.Get() != nullptr) RegistryWriteDword(presence.Get(), u"ZVDSDisableCount", count);
}

void ReadDsSettings(HANDLE key, PDEVICE_OBJECT pdo, ULONG saved, PULONG vxd, PULONG wdm,
                    PULONG acceleration, ULONG direction) {
    *vxd = 1;
    *wdm = 1;
    *acceleration = 15;
    DeviceKey device(key, pdo);
    SubKey presence(device.Get(), PresencePath(direction));
    if (presence.Get() != nullptr) {
        *vxd = RegistryReadDword(presence.Get(), saved != 0 ? u"VxDOrig" : u"VxD", 1);
        *wdm = RegistryReadDword(presence.Get(), saved != 0 ? u"WDMOrig" : u"WDM", 1);
    }
    SubKey mixer(device.Get(), MixerPath(direction));
    if (mixer.Get() != nullptr) {
        *acceleration =
            RegistryReadDword(mixer.Get(), saved != 0 ? u"AccelerationOrig" : u"Acceleration", 15);
    }
}

void WriteDsSettings(HANDLE key, PDEVICE_OBJECT pdo, ULONG saved, ULONG vxd, ULONG wdm,
                     ULONG acceleration, ULONG direction) {
    DeviceKey device(key, pdo);
    SubKey presence(device.Get(), PresencePath(direction));
    if (presence.Get() != nullptr) {
        RegistryWriteDword(presence.Get(), saved != 0 ? u"VxDOrig" : u"VxD", vxd);
        RegistryWriteDword(presence.Get(), saved != 0 ? u"WDMOrig" : u"WDM", wdm);
    }
    SubKey mixer(device.Get(), MixerPath(direction));
    if (mixer.Get() != nullptr) {
        RegistryWriteDword(mixer.Get(), saved != 0 ? u"AccelerationOrig" : u"Acceleration",
                           acceleration);
    }
}

void SaveDsSettings(HANDLE key, PDEVICE_OBJECT pdo, ULONG direction) {
    ULONG vxd, wdm, acceleration;
    ReadDsSettings(key, pdo, 0, &vxd, &wdm, &acceleration, direction);
    WriteDsSettings(key, pdo, 1, vxd, wdm, acceleration, direction);
}

ULONG AcquireDsBusy(volatile LONG* flag) {
    if (InterlockedExchange(flag, 1) == 1) {
        LONG old;
        do {
            old = InterlockedExchange(flag, 1);
            Sleep10ms();
        } while (old == 1);
    }
    return 1;
}

ULONG ReleaseDsBusy(volatile LONG* flag) {
    InterlockedExchange(flag, 0);
    return 1;
}

void ApplyDsStateToDevice(PDEVICE_OBJECT pdo, volatile LONG* busyFlag, ULONG value) {
    AcquireDsBusy(busyFlag);
    if (value != 0) {
        DisableDirectSound(pdo, DS_DIRECTION_RENDER);
        DisableDirectSound(pdo, DS_DIRECTION_CAPTURE);
    } else {
        EnableDirectSound(pdo, DS_DIRECTION_RENDER);
        EnableDirectSound(pdo, DS_DIRECTION_CAPTURE);
    }
    ReleaseDsBusy(busyFlag);
}

ULONG DisableDirectSound(PDEVICE_OBJECT pdo, ULONG direction) {
    HANDLE key = OpenDeviceKey(pdo);
    if (key == nullptr) return 0;
    ULONG count;
    ReadDsDisableCount(key, pdo, &count, direction);
    ++count;
    WriteDsDisableCount(key, pdo, count, direction);
    if (count == 1) {
        SaveDsSettings(key, pdo, direction);
        WriteDsSettings(key, pdo, 0, 1, 1, 15, direction);
    }
    ZwClose(key);
    return 1;
}

ULONG EnableDirectSound(PDEVICE_OBJECT pdo, ULONG direction) {
    HANDLE key = OpenDeviceKey(pdo);
    if (key == nullptr) return 0;
    ULONG count;
    ReadDsDisableCount(key, pdo, &count, direction);
    if (count != 0) {
        --count;
        WriteDsDisableCount(key, pdo, count, direction);
        if (count == 0) {
            ULONG vxd, wdm, acceleration;
            ReadDsSettings(key, pdo, 1, &vxd, &wdm, &acceleration, direction);
            WriteDsSettings(key, pdo, 0, vxd, wdm, acceleration, direction);
        }
    }
    ZwClose(key);
    return 1;
}

void ResetDsState(HANDLE key, PDEVICE_OBJECT pdo, ULONG direction) {
    DeviceKey device(key, pdo);
    if (device.Get() == nullptr) return;
    ULONG count;
    ReadDsDisableCount(device.Get(), pdo, &count, direction);
    if (count == 0) return;
    WriteDsDisableCount(device.Get(), pdo, 0, direction);
    ULONG vxd, wdm, acceleration;
    ReadDsSettings(device.Get(), pdo, 1, &vxd, &wdm, &acceleration, direction);
    WriteDsSettings(device.Get(), pdo, 0, vxd, wdm, acceleration, direction);
}

NTSTATUS ResetDsStateOnce(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo) {
    FilterDeviceExtension* ext = FilterExtension(fdo);
    for (;;) {
        auto record =
            static_cast<DsPresenceRecord*>(IoGetDriverObjectExtension(pdo->DriverObject, pdo));
        if (record != nullptr) {
            while (static_cast<ULONG>(InterlockedRead(
                       reinterpret_cast<LONG volatile*>(&record->Marker))) != DS_PRESENCE_MARKER)
                Sleep10ms();
            ext->DsBusyFlag = &record->BusyFlag;
            return STATUS_SUCCESS;
        }
        PVOID allocated = nullptr;
        NTSTATUS status = IoAllocateDriverObjectExtension(pdo->DriverObject, pdo,
                                                          sizeof(DsPresenceRecord), &allocated);
        if (status == STATUS_OBJECT_NAME_COLLISION) continue;
        if (!NT_SUCCESS(status) || allocated == nullptr) {
            // No record: the device shares the driver-wide flag, so that every
            // caller still finds one.  The left-over counts are not reset:
            // without the record nothing tells a first attach from a later
            // one, and a later one would zero a count an active disable holds.
            ext->DsBusyFlag = &DsFallbackBusyFlag;
            return STATUS_SUCCESS;
        }
        ResetDsState(nullptr, pdo, DS_DIRECTION_RENDER);
        ResetDsState(nullptr, pdo, DS_DIRECTION_CAPTURE);
        record = static_cast<DsPresenceRecord*>(allocated);
        record->BusyFlag = 0;
        ext->DsBusyFlag = &record->BusyFlag;
        InterlockedExchange(reinterpret_cast<LONG volatile*>(&record->Marker),
                            static_cast<LONG>(DS_PRESENCE_MARKER));
        return STATUS_SUCCESS;
    }
}
