// Win32 stand-in: the service control manager.  A service's record is its key
// under Services, the key the PnP manager's loader reads ImagePath from.
#include "kp/pnp.h"
#include "win32_internal.h"

using namespace kp::win32;

struct KpWin32ScObject : Object {
    explicit KpWin32ScObject(Kind kind) : Object(kind) {}
    ACCESS_MASK Access = 0;
    std::u16string Service;  // a service handle's service
};

namespace {

ACCESS_MASK MapManagerAccess(DWORD desired) {
    ACCESS_MASK access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ)
        access |= SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (desired & GENERIC_WRITE)
        access |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (desired & GENERIC_EXECUTE) access |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (desired & GENERIC_ALL) access |= SC_MANAGER_ALL_ACCESS;
    return access | SC_MANAGER_CONNECT;
}

ACCESS_MASK MapServiceAccess(DWORD desired) {
    ACCESS_MASK access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ)
        access |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    if (desired & GENERIC_WRITE) access |= SERVICE_CHANGE_CONFIG;
    if (desired & GENERIC_EXECUTE)
        access |=
            SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    if (desired & GENERIC_ALL) access |= SERVICE_ALL_ACCESS;
    return access;
}

std::u16string ServiceKey(const std::u16string& name) {
    return std::u16string(kKpServicesPath) + u"\\" + name;
}

// The handle as the kind with the rights; null with the last error set otherwise.
KpWin32ScObject* Check(SC_HANDLE handle, Kind kind, ACCESS_MASK needed) {
    auto object = static_cast<KpWin32ScObject*>(Lookup(handle, kind));
    if (object == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((object->Access & needed) != needed) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return object;
}

SC_HANDLE NewService(const std::u16string& name, DWORD access) {
    auto service = new KpWin32ScObject(Kind::Service);
    service->Access = MapServiceAccess(access);
    service->Service = name;
    Register(service);
    return service;
}

bool ServiceName(LPCSTR text, std::u16string* name) {
    return text != nullptr && *text != 0 && std::strchr(text, '\\') == nullptr &&
           std::strchr(text, '/') == nullptr && Widen(text, name);
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
    if (lpMachineName != nullptr && *lpMachineName != 0) {
        Unmodelled("OpenSCManagerA", "a machine name (\"" + std::string(lpMachineName) + "\")");
        return nullptr;
    }
    if (lpDatabaseName != nullptr) {
        Unmodelled("OpenSCManagerA", "a database name");
        return nullptr;
    }
    if (DWORD error = InjectedFault("OpenSCManagerA")) {
        Fail(error);
        return nullptr;
    }
    if (DWORD error = Sync()) {
        Fail(error);
        return nullptr;
    }
    auto manager = new KpWin32ScObject(Kind::ScManager);
    manager->Access = MapManagerAccess(dwDesiredAccess);
    Register(manager);
    return manager;
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                                LPCSTR lpServiceStartName, LPCSTR lpPassword) {
    if (Check(hSCManager, Kind::ScManager, SC_MANAGER_CREATE_SERVICE) == nullptr) return nullptr;
    const char* unmodelled = lpLoadOrderGroup != nullptr     ? "a load-order group"
                             : lpdwTagId != nullptr          ? "a tag"
                             : lpDependencies != nullptr     ? "dependencies"
                             : lpServiceStartName != nullptr ? "an account"
                             : lpPassword != nullptr         ? "a password"
                                                             : nullptr;
    if (unmodelled != nullptr) {
        Unmodelled("CreateServiceA", unmodelled);
        return nullptr;
    }
    if (DWORD error =
            InjectedFault("CreateServiceA", lpServiceName != nullptr ? lpServiceName : "")) {
        Fail(error);
        return nullptr;
    }
    std::u16string name, display, image;
    if (!ServiceName(lpServiceName, &name)) {
        Fail(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (lpBinaryPathName == nullptr || !Widen(lpBinaryPathName, &image) ||
        (lpDisplayName != nullptr && !Widen(lpDisplayName, &display))) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (lpDisplayName == nullptr) display = name;
    DWORD error = Change([&]() -> DWORD {
        std::u16string key = ServiceKey(name);
        if (kp::reg::KeyExists(key)) return ERROR_SERVICE_EXISTS;
        NTSTATUS status = kp::reg::SetDword(key, u"Type", dwServiceType);
        if (NT_SUCCESS(status)) status = kp::reg::SetDword(key, u"Start", dwStartType);
        if (NT_SUCCESS(status)) status = kp::reg::SetDword(key, u"ErrorControl", dwErrorControl);
        if (NT_SUCCESS(status))
            status = kp::reg::SetString(key, u"ImagePath", image, REG_EXPAND_SZ);
        if (NT_SUCCESS(status)) status = kp::reg::SetString(key, u"DisplayName", display);
        return ErrorFromStatus(status);
    });
    if (error != 0) {
        Fail(error);
        return nullptr;
    }
    return NewService(name, dwDesiredAccess);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    if (Check(hSCManager, Kind::ScManager, SC_MANAGER_CONNECT) == nullptr) return nullptr;
    if (DWORD error =
            InjectedFault("OpenServiceA", lpServiceName != nullptr ? lpServiceName : "")) {
        Fail(error);
        return nullptr;
    }
    std::u16string name;
    if (!ServiceName(lpServiceName, &name)) {
        Fail(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (DWORD error = Sync()) {
        Fail(error);
        return nullptr;
    }
    if (!kp::reg::KeyExists(ServiceKey(name))) {
        Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return NewService(name, dwDesiredAccess);
}

BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig,
                                DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    KpWin32ScObject* service = Check(hService, Kind::Service, SERVICE_QUERY_CONFIG);
    if (service == nullptr) return FALSE;
    if (pcbBytesNeeded == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD error = InjectedFault("QueryServiceConfigA")) return Fail(error);
    if (DWORD error = Sync()) return Fail(error);
    std::u16string key = ServiceKey(service->Service);
    if (!kp::reg::KeyExists(key)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    auto text = [&](const char16_t* value) {
        return Narrow(kp::reg::GetString(key, value).value_or(u""));
    };
    std::string image = text(u"ImagePath"), group = text(u"Group"), account = text(u"ObjectName"),
                display = text(u"DisplayName");
    // The strings follow the record: each with its NUL, the dependencies as an
    // empty multi-string.
    size_t needed = sizeof(QUERY_SERVICE_CONFIGA) + image.size() + 1 + group.size() + 1 + 2 +
                    account.size() + 1 + display.size() + 1;
    *pcbBytesNeeded = static_cast<DWORD>(needed);
    if (lpServiceConfig == nullptr || cbBufSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    char* at = reinterpret_cast<char*>(lpServiceConfig + 1);
    auto place = [&](const std::string& s, size_t nuls) {
        char* start = at;
        std::memcpy(at, s.data(), s.size());
        at += s.size();
        for (size_t i = 0; i < nuls; i++) *at++ = 0;
        return start;
    };
    lpServiceConfig->dwServiceType = kp::reg::GetDword(key, u"Type").value_or(0);
    lpServiceConfig->dwStartType = kp::reg::GetDword(key, u"Start").value_or(0);
    lpServiceConfig->dwErrorControl = kp::reg::GetDword(key, u"ErrorControl").value_or(0);
    lpServiceConfig->dwTagId = kp::reg::GetDword(key, u"Tag").value_or(0);
    lpServiceConfig->lpBinaryPathName = place(image, 1);
    lpServiceConfig->lpLoadOrderGroup = place(group, 1);
    lpServiceConfig->lpDependencies = place("", 2);
    lpServiceConfig->lpServiceStartName = place(account, 1);
    lpServiceConfig->lpDisplayName = place(display, 1);
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    KpWin32ScObject* service = Check(hService, Kind::Service, DELETE);
    if (service == nullptr) return FALSE;
    if (DWORD error = InjectedFault("DeleteService")) return Fail(error);
    DWORD error = Change([&]() -> DWORD {
        std::u16string key = ServiceKey(service->Service);
        if (!kp::reg::KeyExists(key)) return ERROR_SERVICE_DOES_NOT_EXIST;
        return ErrorFromStatus(kp::reg::DeleteTree(key));
    });
    return error == 0 ? TRUE : Fail(error);
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    if (Close(hSCObject, Kind::ScManager) || Close(hSCObject, Kind::Service)) return TRUE;
    return Fail(ERROR_INVALID_HANDLE);
}
