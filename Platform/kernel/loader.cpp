// Driver image loader and the machine folder.
//
// A driver image is a shared object that exports DriverEntry only.  It is opened
// with local symbols, so two images that link the same static library each keep
// their own copy of its globals, as two .sys files would.  Drivers registered
// in-process by service name are taken before any image.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "kp/thread.h"

#include <map>
#include <vector>

#include "io_internal.h"
#include "kp/pnp.h"
#include "kp/registry.h"

namespace fs = std::filesystem;

namespace {

std::mutex g_loaderLock;                                  // loads and unloads, one at a time
std::mutex g_tableLock;                                   // the tables below
std::map<std::u16string, PDRIVER_INITIALIZE> g_builtins;  // upper-case service -> entry
std::map<std::u16string, PDRIVER_OBJECT> g_drivers;       // upper-case service -> loaded driver
fs::path g_machineFolder;
// machine.lock of the folder this process booted, from KpMachineLoadRegistry
// until KpMachineSaveRegistry or another folder.
std::unique_ptr<KpMachineFileLock> g_machineLock;

std::u16string ServiceKey(std::u16string_view service) {
    return std::u16string(kKpServicesPath) + u"\\" + std::u16string(service);
}

// Finds an existing entry of `dir` whose name equals `name` without regard to case.
std::optional<fs::path> MatchComponent(const fs::path& dir, std::u16string_view name) {
    fs::path exact = dir / kp::reg::Utf16ToUtf8(name);
    std::error_code ec;
    if (fs::exists(exact, ec)) return exact;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::u16string candidate;
        if (kp::reg::Utf8ToUtf16(entry.path().filename().string(), &candidate) &&
            kp::reg::NamesEqual(candidate, name)) {
            return entry.path();
        }
    }
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------
// Machine folder
// ---------------------------------------------------------------------------
bool KpMachineSetFolder(const fs::path& Folder, std::string* Error) {
    std::error_code ec;
    for (const char* sub : {"Windows/System32/drivers", "Windows/Temp", "Program Files"}) {
        fs::create_directories(Folder / sub, ec);
        if (ec) {
            if (Error) *Error = "cannot create " + (Folder / sub).string() + ": " + ec.message();
            return false;
        }
    }
    std::lock_guard<std::mutex> guard(g_tableLock);
    fs::path folder = fs::absolute(Folder);
    if (folder != g_machineFolder) g_machineLock.reset();
    g_machineFolder = folder;
    return true;
}

fs::path KpMachineFolder(void) {
    std::lock_guard<std::mutex> guard(g_tableLock);
    return g_machineFolder;
}

std::optional<fs::path> KpMapWindowsPath(std::u16string_view path) {
    fs::path root = KpMachineFolder();
    if (root.empty()) return std::nullopt;
    std::u16string text(path);
    std::u16string upper = kp::io::Upper(text);
    auto strip = [&](std::u16string_view prefix) {
        if (upper.compare(0, prefix.size(), prefix) != 0) return false;
        text.erase(0, prefix.size());
        upper.erase(0, prefix.size());
        return true;
    };
    std::u16string rest;
    if (strip(u"\\??\\")) {
        // a DOS path follows
    }
    if (strip(u"\\SYSTEMROOT\\") || strip(u"%SYSTEMROOT%\\") || strip(u"%WINDIR%\\") ||
        strip(u"C:\\WINDOWS\\")) {
        rest = u"Windows\\" + text;
    } else if (strip(u"C:\\")) {
        rest = text;
    } else if (upper.compare(0, 9, u"SYSTEM32\\") == 0) {
        rest = u"Windows\\" + text;
    } else {
        return std::nullopt;
    }
    // "." and ".." are resolved inside the drive, ".." at its root staying
    // there as on the platform: no path leaves the machine folder.  "/"
    // separates as "\\" does.
    std::vector<std::u16string> components;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find_first_of(u"\\/", start);
        if (end == std::u16string::npos) end = rest.size();
        std::u16string component = rest.substr(start, end - start);
        if (component == u"..") {
            if (!components.empty()) components.pop_back();
        } else if (!component.empty() && component != u".") {
            components.push_back(component);
        }
        start = end + 1;
    }
    fs::path current = root;
    for (const std::u16string& component : components) {
        auto match = MatchComponent(current, component);
        current = match ? *match : current / kp::reg::Utf16ToUtf8(component);
    }
    return current;
}

bool KpMachineLoadRegistry(std::string* Error) {
    fs::path folder = KpMachineFolder();
    if (folder.empty()) {
        if (Error) *Error = "no machine folder set";
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(g_tableLock);
        if (!g_machineLock) {
            auto lock =
                std::make_unique<KpMachineFileLock>(folder, "machine.lock", LOCK_EX | LOCK_NB);
            if (!lock->Held()) {
                if (Error) *Error = "machine " + folder.string() + " is running in another process";
                return false;
            }
            g_machineLock = std::move(lock);
        }
    }
    return kp::reg::Machine().LoadFile(folder / "registry.reg", Error);
}

bool KpMachineSaveRegistry(std::string* Error) {
    fs::path folder = KpMachineFolder();
    if (folder.empty()) {
        if (Error) *Error = "no machine folder set";
        return false;
    }
    bool saved;
    {
        // Every writer of registry.reg holds registry.lock: the temporary file's
        // name is fixed.
        KpMachineFileLock writing(folder, "registry.lock", LOCK_EX);
        if (!writing.Held()) {
            if (Error) *Error = "cannot lock " + (folder / "registry.lock").string();
            return false;
        }
        saved = kp::reg::Machine().SaveFile(folder / "registry.reg", Error);
    }
    std::lock_guard<std::mutex> guard(g_tableLock);
    g_machineLock.reset();
    return saved;
}

KpMachineFileLock::KpMachineFileLock(const fs::path& Folder, const char* Name, int Operation) {
    int fd = open((Folder / Name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    int rc;
    do rc = flock(fd, Operation);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

KpMachineFileLock::~KpMachineFileLock() {
    if (fd_ >= 0) close(fd_);  // closing the last descriptor drops the lock
}

// ---------------------------------------------------------------------------
// Drivers
// ---------------------------------------------------------------------------
void KpRegisterBuiltinDriver(const char16_t* ServiceName, PDRIVER_INITIALIZE DriverEntry) {
    std::lock_guard<std::mutex> guard(g_tableLock);
    g_builtins[kp::io::Upper(ServiceName)] = DriverEntry;
}

void KpUnregisterBuiltinDriver(const char16_t* ServiceName) {
    std::lock_guard<std::mutex> guard(g_tableLock);
    g_builtins.erase(kp::io::Upper(ServiceName));
}

NTSTATUS KpLoadBuiltinDriver(const char16_t* ServiceName, PDRIVER_INITIALIZE DriverEntry,
                             PDRIVER_OBJECT* DriverObject) {
    KpRegisterBuiltinDriver(ServiceName, DriverEntry);
    return KpLoadDriver(ServiceName, DriverObject);
}

PDRIVER_OBJECT KpFindDriver(const char16_t* ServiceName) {
    std::lock_guard<std::mutex> guard(g_tableLock);
    auto it = g_drivers.find(kp::io::Upper(ServiceName));
    return it == g_drivers.end() ? nullptr : it->second;
}

NTSTATUS KpLoadDriver(const char16_t* ServiceName, PDRIVER_OBJECT* DriverObject) {
    *DriverObject = nullptr;
    std::lock_guard<std::mutex> loading(g_loaderLock);
    std::u16string key = kp::io::Upper(ServiceName);
    PDRIVER_INITIALIZE entry = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_tableLock);
        auto loaded = g_drivers.find(key);
        if (loaded != g_drivers.end()) {
            *DriverObject = loaded->second;
            return STATUS_SUCCESS;
        }
        auto builtin = g_builtins.find(key);
        if (builtin != g_builtins.end()) entry = builtin->second;
    }
    void* image = nullptr;
    if (entry == nullptr) {
        std::u16string imagePath =
            kp::reg::GetString(ServiceKey(ServiceName), u"ImagePath")
                .value_or(u"System32\\drivers\\" + std::u16string(ServiceName) + u".sys");
        auto hostPath = KpMapWindowsPath(imagePath);
        std::error_code ec;
        if (!hostPath || !fs::exists(*hostPath, ec)) {
            DbgPrint("KP loader: image \"%s\" of service %s not found\n",
                     kp::io::Narrow(imagePath).c_str(), kp::io::Narrow(ServiceName).c_str());
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        image = dlopen(hostPath->c_str(), RTLD_NOW | RTLD_LOCAL);
        if (image == nullptr) {
            DbgPrint("KP loader: cannot load %s: %s\n", hostPath->c_str(), dlerror());
            return STATUS_INVALID_IMAGE_FORMAT;
        }
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
        if (entry == nullptr) {
            DbgPrint("KP loader: %s exports no DriverEntry\n", hostPath->c_str());
            dlclose(image);
            return STATUS_PROCEDURE_NOT_FOUND;
        }
    }
    PDRIVER_OBJECT driver;
    NTSTATUS status = kp::io::CreateDriverObject(ServiceName, entry, image, &driver);
    if (!NT_SUCCESS(status)) {
        DbgPrint("KP loader: DriverEntry of %s failed with 0x%08X\n",
                 kp::io::Narrow(ServiceName).c_str(), static_cast<unsigned>(status));
        if (image != nullptr) dlclose(image);
        return status;
    }
    driver->KpDriver->Builtin = image == nullptr;
    std::lock_guard<std::mutex> guard(g_tableLock);
    g_drivers[key] = driver;
    *DriverObject = driver;
    return STATUS_SUCCESS;
}

NTSTATUS KpUnloadDriver(PDRIVER_OBJECT DriverObject) {
    KpAssertIrql(PASSIVE_LEVEL, "DriverUnload");
    std::lock_guard<std::mutex> loading(g_loaderLock);
    KpDriverInternals* driver = kp::io::Internals(DriverObject);
    if (driver->DeviceObjects != 0 || driver->WorkItems != 0 || driver->StackUses != 0)
        return STATUS_DEVICE_BUSY;
    if (DriverObject->DriverUnload == nullptr) {
        DbgPrint("KP loader: driver %s has no unload routine and stays loaded\n",
                 kp::io::Narrow(driver->ServiceName).c_str());
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    DriverObject->DriverUnload(DriverObject);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "DriverUnload of %s returned at raised IRQL",
                   kp::io::Narrow(driver->ServiceName).c_str());
    }
    if (driver->Notifications != 0 || driver->WorkItems != 0 || driver->DeviceObjects != 0) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "driver %s unloaded with %d PnP notifications, %d work items and %d device "
                   "objects left",
                   kp::io::Narrow(driver->ServiceName).c_str(), driver->Notifications.load(),
                   driver->WorkItems.load(), driver->DeviceObjects.load());
    }
    kp::io::OnDriverUnloading(DriverObject);
    {
        std::lock_guard<std::mutex> guard(g_tableLock);
        g_drivers.erase(kp::io::Upper(driver->ServiceName));
    }
    void* image = driver->Image;
    kp::io::FreeDriverObject(DriverObject);
    if (image != nullptr) {
        // A thread the driver stopped may still be on its way out of the image.
        if (void* entry = dlsym(image, "DriverEntry")) KpWaitForSystemThreadsOfImage(entry);
        dlclose(image);
    }
    return STATUS_SUCCESS;
}

void KpPnpUnloadIdleDrivers(void) {
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard<std::mutex> guard(g_tableLock);
        for (auto& [name, driver] : g_drivers) drivers.push_back(driver);
    }
    for (PDRIVER_OBJECT driver : drivers) {
        KpDriverInternals* internals = kp::io::Internals(driver);
        if (internals->PnpLoaded && internals->DeviceObjects == 0 && internals->WorkItems == 0 &&
            internals->StackUses == 0 && driver->DriverUnload != nullptr) {
            KpUnloadDriver(driver);
        }
    }
}
