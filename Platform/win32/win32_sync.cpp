// Win32 stand-in: named mutexes, waits and CloseHandle.  A named mutex is the
// lock file <folder>/mutex/<name> under flock, so every process of the machine
// that opens the name shares it.  The owner writes its pid into the file and
// clears it on release: a waiter that finds the pid of a process that has died
// gets WAIT_ABANDONED (and the mutex, as on the platform).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "win32_internal.h"

namespace fs = std::filesystem;
using namespace kp::win32;

namespace {

// One handle of a named mutex.  Threads of this process take Taken in turn
// (under State); the flock on Fd serialises processes.
struct Mutex : Object {
    Mutex() : Object(Kind::Mutex) {}
    ~Mutex() override {
        if (Fd >= 0) close(Fd);
    }
    // Lets the next thread of this process try for the file lock.
    void Leave() {
        std::lock_guard<std::mutex> guard(State);
        Taken = false;
        Turn.notify_one();
    }
    int Fd = -1;
    std::mutex State;  // Taken, Owner, Count
    std::condition_variable Turn;
    bool Taken = false;
    std::thread::id Owner;
    ULONG Count = 0;
};

std::string OwnerText() {
    return std::to_string(getpid()) + "\n";
}

// Reads the pid the last owner left; 0 when none.
DWORD LastOwner(int fd) {
    char text[32] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? static_cast<DWORD>(std::strtoul(text, nullptr, 10)) : 0;
}

bool LockFile(int fd, DWORD milliseconds, std::chrono::steady_clock::time_point deadline) {
    if (milliseconds == INFINITE) {
        int rc;
        do rc = flock(fd, LOCK_EX);
        while (rc != 0 && errno == EINTR);
        return rc == 0;
    }
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

DWORD WaitForMutex(Mutex* mutex, DWORD milliseconds) {
    {
        std::lock_guard<std::mutex> guard(mutex->State);
        if (mutex->Count > 0 && mutex->Owner == std::this_thread::get_id()) {
            mutex->Count++;
            return WAIT_OBJECT_0;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    {
        std::unique_lock<std::mutex> guard(mutex->State);
        auto free = [mutex] { return !mutex->Taken; };
        if (milliseconds == INFINITE)
            mutex->Turn.wait(guard, free);
        else if (!mutex->Turn.wait_until(guard, deadline, free))
            return WAIT_TIMEOUT;
        mutex->Taken = true;
    }
    if (!LockFile(mutex->Fd, milliseconds, deadline)) {
        mutex->Leave();
        return WAIT_TIMEOUT;
    }
    DWORD last = LastOwner(mutex->Fd);
    bool abandoned = last != 0 && !ProcessAlive(last);
    std::string owner = OwnerText();
    if (ftruncate(mutex->Fd, 0) != 0 ||
        pwrite(mutex->Fd, owner.data(), owner.size(), 0) != static_cast<ssize_t>(owner.size())) {
        // Ownership that cannot be recorded could not be seen as abandoned either.
        std::fprintf(stderr, "kp win32: cannot record the owner of a mutex\n");
    }
    std::lock_guard<std::mutex> guard(mutex->State);
    mutex->Owner = std::this_thread::get_id();
    mutex->Count = 1;
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

}  // namespace

// ---------------------------------------------------------------------------
// CreateMutexA
// ---------------------------------------------------------------------------
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName) {
    const char* unmodelled = lpMutexAttributes != nullptr        ? "security attributes"
                             : bInitialOwner                     ? "initial ownership"
                             : lpName == nullptr || *lpName == 0 ? "an unnamed mutex"
                                                                 : nullptr;
    if (unmodelled != nullptr) {
        Unmodelled("CreateMutexA", unmodelled);
        return nullptr;
    }
    if (std::strpbrk(lpName, "\\/") != nullptr) {
        Unmodelled("CreateMutexA", "a name with a namespace or path");
        return nullptr;
    }
    if (DWORD error = InjectedFault("CreateMutexA", lpName)) {
        SetLastError(error);
        return nullptr;
    }
    fs::path folder = MachineFolder();
    if (!HoldsMachine(folder)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    std::error_code ec;
    fs::create_directories(folder / "mutex", ec);
    std::string name = lpName;
    for (char& c : name) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    fs::path file = folder / "mutex" / name;
    bool existed = fs::exists(file, ec);
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto mutex = new Mutex();
    mutex->Fd = fd;
    Register(mutex);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return mutex;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto mutex = static_cast<Mutex*>(Lookup(hMutex, Kind::Mutex));
    if (mutex == nullptr) return Fail(ERROR_INVALID_HANDLE);
    {
        std::lock_guard<std::mutex> guard(mutex->State);
        if (mutex->Count == 0 || mutex->Owner != std::this_thread::get_id())
            return Fail(ERROR_NOT_OWNER);
        if (--mutex->Count > 0) return TRUE;
        mutex->Owner = std::thread::id();
    }
    if (ftruncate(mutex->Fd, 0) != 0)
        std::fprintf(stderr, "kp win32: cannot clear the owner of a mutex\n");
    flock(mutex->Fd, LOCK_UN);
    mutex->Leave();
    return TRUE;
}

// ---------------------------------------------------------------------------
// WaitForSingleObject / CloseHandle
// ---------------------------------------------------------------------------
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (DWORD error = InjectedFault("WaitForSingleObject")) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    if (Lookup(hHandle, Kind::Process) != nullptr) return WaitForProcess(hHandle, dwMilliseconds);
    if (auto mutex = static_cast<Mutex*>(Lookup(hHandle, Kind::Mutex)))
        return WaitForMutex(mutex, dwMilliseconds);
    if (Lookup(hHandle, Kind::Thread) != nullptr || Lookup(hHandle, Kind::Token) != nullptr) {
        Unmodelled("WaitForSingleObject", "a wait on a thread or token");
        return WAIT_FAILED;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (CloseProcessHandle(hObject) || Close(hObject, Kind::Token)) return TRUE;
    if (auto mutex = static_cast<Mutex*>(Lookup(hObject, Kind::Mutex))) {
        // A handle closed by its owner gives the mutex up, as the owner's death would.
        bool owned;
        {
            std::lock_guard<std::mutex> guard(mutex->State);
            owned = mutex->Count > 0 && mutex->Owner == std::this_thread::get_id();
        }
        if (owned) {
            flock(mutex->Fd, LOCK_UN);
            mutex->Leave();
        }
        Close(hObject, Kind::Mutex);
        return TRUE;
    }
    return Fail(ERROR_INVALID_HANDLE);
}
