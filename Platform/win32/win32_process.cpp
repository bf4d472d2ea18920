// Win32 stand-in: processes.  A Windows program of the machine is a host
// program in the machine folder; starting one spawns it with the command line's
// arguments, and every start, wait and kill is recorded in the machine's
// journal (<folder>/journal.log), which every process appends to.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <shellapi.h>
#include <shlwapi.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "kp/pnp.h"
#include "kp/win32.h"
#include "win32_internal.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace kp::win32;

// A process handle: the child's pid and, once it has been reaped, its exit code.
struct KpWin32Process : Object {
    KpWin32Process() : Object(Kind::Process) {}
    pid_t Pid = 0;
    bool Ended = false;
    DWORD ExitCode = 0;
};

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        char next = text[++i];
        out.push_back(next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next);
    }
    return out;
}

bool IsHostProgram(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    char magic[4] = {};
    in.read(magic, sizeof magic);
    bool elf = in.gcount() == 4 && std::memcmp(magic,
                                               "\x7f"
                                               "ELF",
                                               4) == 0;
    bool script = in.gcount() >= 2 && magic[0] == '#' && magic[1] == '!';
    return (elf || script) && access(file.c_str(), X_OK) == 0;
}

// The host file of a Windows path when it names an existing regular file.
std::optional<fs::path> ExistingFile(const std::string& path) {
    std::u16string wide;
    if (!Widen(path, &wide)) return std::nullopt;
    Sync();  // chooses the mode and the folder
    auto mapped = KpMapWindowsPath(wide);
    std::error_code ec;
    if (!mapped || !fs::is_regular_file(*mapped, ec)) return std::nullopt;
    return mapped;
}

bool HasExtension(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    size_t dot = path.find_last_of('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

bool IsDrivePath(const std::string& path) {
    return path.size() >= 3 && (path[0] == 'C' || path[0] == 'c') && path[1] == ':' &&
           path[2] == '\\';
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    auto named = [](const char* entry, const char* name) {
        size_t n = std::strlen(name);
        return std::strncmp(entry, name, n) == 0 && entry[n] == '=';
    };
    for (char** e = environ; *e != nullptr; ++e) {
        // Faults and delays are meant for the process a test starts, the service marker for
        // the service's own process; KP_MACHINE is given absolute below.
        if (named(*e, "KP_WIN32_FAULTS") || named(*e, "KP_WIN32_DELAYS") ||
            named(*e, "KP_SCM_SERVICE") || named(*e, "KP_MACHINE"))
            continue;
        env.push_back(*e);
    }
    env.push_back("KP_MACHINE=" + MachineFolder().string());
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// Reaps a child nobody will wait for, so that no zombie stays behind.
void ReapLater(pid_t pid) {
    std::thread([pid] {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

DWORD ExitCodeOf(int status) {
    return WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status))
                             : static_cast<DWORD>(128 + WTERMSIG(status));
}

}  // namespace

namespace kp::win32 {

void Journal(const std::vector<std::string>& fields) {
    fs::path folder = MachineFolder();
    if (folder.empty()) return;
    KpMachineFileLock lock(folder, "journal.lock", LOCK_EX);
    JournalLocked(folder, fields);
}

void JournalLocked(const fs::path& folder, const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); i++) line += (i ? "\t" : "") + Escape(fields[i]);
    line += "\n";
    int fd =
        open((folder / "journal.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

DWORD ParseCommandLine(const char* call, const std::string& line, CommandLine* out) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) return ERROR_FILE_NOT_FOUND;
    auto accept = [&](const std::string& module, const fs::path& host, size_t restAt) {
        out->Module = module;
        out->Host = host;
        size_t rest = line.find_first_not_of(" \t", std::min(restAt, line.size()));
        out->Rest = rest == std::string::npos ? "" : line.substr(rest);
        return DWORD(0);
    };
    auto resolve = [&](const std::string& name) -> std::optional<std::pair<std::string, fs::path>> {
        if (auto file = ExistingFile(name)) return std::make_pair(name, *file);
        if (!HasExtension(name)) {
            if (auto file = ExistingFile(name + ".exe"))
                return std::make_pair(name + ".exe", *file);
        }
        return std::nullopt;
    };
    if (line[start] == '"') {
        size_t close = line.find('"', start + 1);
        std::string name = line.substr(
            start + 1, close == std::string::npos ? std::string::npos : close - start - 1);
        if (!IsDrivePath(name)) return Unmodelled(call, "the module path \"" + name + "\"");
        auto found = resolve(name);
        if (!found) return ERROR_FILE_NOT_FOUND;
        return accept(found->first, found->second,
                      close == std::string::npos ? line.size() : close + 1);
    }
    // Unquoted: the shortest blank-separated prefix that names a file.
    size_t end = start;
    while (true) {
        end = line.find(' ', end + 1);
        std::string name =
            line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!IsDrivePath(name)) return Unmodelled(call, "the module path \"" + name + "\"");
        if (auto found = resolve(name)) return accept(found->first, found->second, end);
        if (end == std::string::npos) return ERROR_FILE_NOT_FOUND;
    }
}

// The C runtime's rules: blanks separate arguments outside quotes; 2n
// backslashes before a quote give n and the quote toggles quoting, 2n + 1 give
// n and a literal quote; other backslashes are literal; "" inside quotes is a
// literal quote.
std::vector<std::string> SplitArguments(const std::string& rest) {
    std::vector<std::string> args;
    std::string current;
    bool quoted = false, any = false;
    for (size_t i = 0; i < rest.size();) {
        char c = rest[i];
        if ((c == ' ' || c == '\t') && !quoted) {
            if (any) args.push_back(current);
            current.clear();
            any = false;
            i++;
            continue;
        }
        any = true;
        if (c == '\\') {
            size_t n = 0;
            while (i < rest.size() && rest[i] == '\\') n++, i++;
            if (i < rest.size() && rest[i] == '"') {
                current.append(n / 2, '\\');
                if (n % 2 == 1) {
                    current.push_back('"');
                    i++;
                }
            } else {
                current.append(n, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (quoted && i + 1 < rest.size() && rest[i + 1] == '"') {
                current.push_back('"');
                i += 2;
                continue;
            }
            quoted = !quoted;
            i++;
            continue;
        }
        current.push_back(c);
        i++;
    }
    if (any) args.push_back(current);
    return args;
}

DWORD StartProcess(const CommandLine& command, const std::string& line,
                   const std::vector<std::string>& extraEnvironment, const std::string& show,
                   HANDLE* handle, DWORD* pid) {
    if (!IsHostProgram(command.Host)) return ERROR_BAD_EXE_FORMAT;
    std::vector<std::string> argv = {command.Host.string()};
    for (std::string& arg : SplitArguments(command.Rest)) argv.push_back(arg);
    std::vector<char*> argvp;
    for (auto& a : argv) argvp.push_back(a.data());
    argvp.push_back(nullptr);
    std::vector<std::string> env = ChildEnvironment(extraEnvironment);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t child;
    {
        // The journal stays locked until the start is recorded, so the child's
        // own lines come after it.
        fs::path folder = MachineFolder();
        KpMachineFileLock lock(folder, "journal.lock", LOCK_EX);
        int rc =
            posix_spawn(&child, command.Host.c_str(), nullptr, nullptr, argvp.data(), envp.data());
        if (rc != 0) return rc == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BAD_EXE_FORMAT;
        JournalLocked(folder, {"start", command.Module, line, std::to_string(child), show});
    }
    if (pid != nullptr) *pid = static_cast<DWORD>(child);
    if (handle == nullptr) {
        ReapLater(child);
        return 0;
    }
    auto process = new KpWin32Process();
    process->Pid = child;
    Register(process);
    *handle = process;
    return 0;
}

bool ProcessAlive(DWORD pid) {
    if (pid == 0 || kill(static_cast<pid_t>(pid), 0) != 0) return false;
    // A zombie has ended: its parent just has not reaped it yet.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] != 'Z';
}

}  // namespace kp::win32

// ---------------------------------------------------------------------------
// Host controls (kp/win32.h)
// ---------------------------------------------------------------------------
namespace kp::win32 {

std::vector<std::vector<std::string>> ReadJournal(const fs::path& folder) {
    std::vector<std::vector<std::string>> entries;
    std::ifstream in(folder / "journal.log", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        size_t start = 0;
        while (true) {
            size_t tab = line.find('\t', start);
            fields.push_back(Unescape(line.substr(start, tab - start)));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        entries.push_back(fields);
    }
    return entries;
}

}  // namespace kp::win32

// ---------------------------------------------------------------------------
// GetSystemDirectoryA / GetModuleFileNameA / GetModuleHandleA
// ---------------------------------------------------------------------------
UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    return FolderCall("GetSystemDirectoryA", "C:\\WINDOWS\\system32", lpBuffer, uSize);
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr && hModule != GetModuleHandleA(nullptr)) {
        Unmodelled("GetModuleFileNameA", "a module other than the process's own");
        return 0;
    }
    if (DWORD error = InjectedFault("GetModuleFileNameA")) {
        SetLastError(error);
        return 0;
    }
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    auto path = ec ? std::nullopt : WindowsPathOf(self);
    if (!path) {
        Unmodelled("GetModuleFileNameA",
                   "a program outside the machine folder (" + self.string() + ")");
        return 0;
    }
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path->size() + 1 > nSize) {
        std::memcpy(lpFilename, path->data(), nSize - 1);
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path->c_str(), path->size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path->size());
}

// ---------------------------------------------------------------------------
// CreateProcessA
// ---------------------------------------------------------------------------
BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    const char* unmodelled = lpApplicationName != nullptr     ? "an application name"
                             : lpProcessAttributes != nullptr ? "process security"
                             : lpThreadAttributes != nullptr  ? "thread security"
                             : bInheritHandles                ? "handle inheritance"
                             : dwCreationFlags != 0           ? "creation flags"
                             : lpEnvironment != nullptr       ? "an environment"
                             : lpCurrentDirectory != nullptr  ? "a current directory"
                                                              : nullptr;
    if (unmodelled != nullptr) {
        Unmodelled("CreateProcessA", unmodelled);
        return FALSE;
    }
    if (lpCommandLine == nullptr || lpStartupInfo == nullptr || lpProcessInformation == nullptr ||
        lpStartupInfo->cb != sizeof(STARTUPINFOA))
        return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD error = InjectedFault("CreateProcessA")) return Fail(error);
    std::string line = lpCommandLine;
    CommandLine command;
    if (DWORD error = ParseCommandLine("CreateProcessA", line, &command)) return Fail(error);
    HANDLE process = nullptr;
    DWORD pid = 0;
    if (DWORD error = StartProcess(command, line, {}, "", &process, &pid)) return Fail(error);
    auto thread = new Object(Kind::Thread);
    Register(thread);
    lpProcessInformation->hProcess = process;
    lpProcessInformation->hThread = thread;
    lpProcessInformation->dwProcessId = pid;
    lpProcessInformation->dwThreadId = pid;
    return TRUE;
}

// ---------------------------------------------------------------------------
// WaitForSingleObject on a process (mutexes: win32_sync.cpp)
// ---------------------------------------------------------------------------
namespace kp::win32 {

DWORD WaitForProcess(HANDLE handle, DWORD milliseconds) {
    auto process = static_cast<KpWin32Process*>(Lookup(handle, Kind::Process));
    if (process == nullptr) return WAIT_FAILED;
    if (process->Ended) return WAIT_OBJECT_0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    int status = 0;
    while (true) {
        pid_t done = waitpid(process->Pid, &status, milliseconds == INFINITE ? 0 : WNOHANG);
        if (done == process->Pid) break;
        if (done < 0 && errno != EINTR) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (done == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    process->Ended = true;
    process->ExitCode = ExitCodeOf(status);
    Journal({"exit", std::to_string(process->Pid), std::to_string(process->ExitCode)});
    return WAIT_OBJECT_0;
}

bool CloseProcessHandle(HANDLE handle) {
    auto process = static_cast<KpWin32Process*>(Lookup(handle, Kind::Process));
    if (process == nullptr) return Close(handle, Kind::Thread);
    if (!process->Ended) ReapLater(process->Pid);
    return Close(handle, Kind::Process);
}

}  // namespace kp::win32

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    auto process = static_cast<KpWin32Process*>(Lookup(hProcess, Kind::Process));
    if (process == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (process->Ended) return Fail(ERROR_ACCESS_DENIED);
    kill(process->Pid, SIGKILL);
    int status;
    while (waitpid(process->Pid, &status, 0) < 0 && errno == EINTR) {
    }
    process->Ended = true;
    process->ExitCode = uExitCode;
    Journal({"terminate", std::to_string(process->Pid), std::to_string(uExitCode)});
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

// ---------------------------------------------------------------------------
// ShellExecuteExA
// ---------------------------------------------------------------------------
BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo) {
    if (pExecInfo == nullptr || pExecInfo->cbSize != sizeof(SHELLEXECUTEINFOA))
        return Fail(ERROR_INVALID_PARAMETER);
    SHELLEXECUTEINFOA& info = *pExecInfo;
    const char* unmodelled = (info.lpVerb != nullptr && !EqualNoCase(info.lpVerb, "open"))
                                 ? "a verb other than open"
                             : (info.fMask & ~SEE_MASK_NOCLOSEPROCESS) != 0 ? "a mask flag"
                             : info.lpDirectory != nullptr                  ? "a directory"
                             : info.lpFile == nullptr                       ? "no file"
                                                                            : nullptr;
    if (unmodelled != nullptr) {
        Unmodelled("ShellExecuteExA", unmodelled);
        return FALSE;
    }
    if (DWORD error = InjectedFault("ShellExecuteExA", info.lpFile)) return Fail(error);
    std::string file = info.lpFile;
    if (!IsDrivePath(file)) {
        Unmodelled("ShellExecuteExA", "the file path \"" + file + "\"");
        return FALSE;
    }
    auto host = ExistingFile(file);
    if (!host) return Fail(ERROR_FILE_NOT_FOUND);
    if (!IsHostProgram(*host)) {
        Unmodelled("ShellExecuteExA", "a document (\"" + file + "\")");
        return FALSE;
    }
    CommandLine command{file, *host, info.lpParameters != nullptr ? info.lpParameters : ""};
    std::string line = "\"" + file + "\"" + (command.Rest.empty() ? "" : " " + command.Rest);
    HANDLE process = nullptr;
    bool keep = (info.fMask & SEE_MASK_NOCLOSEPROCESS) != 0;
    if (DWORD error = StartProcess(command, line, {}, std::to_string(info.nShow),
                                   keep ? &process : nullptr, nullptr))
        return Fail(error);
    info.hProcess = process;
    info.hInstApp = reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(42));
    return TRUE;
}

// ---------------------------------------------------------------------------
// PathFileExistsA / PathRemoveFileSpecA
// ---------------------------------------------------------------------------
BOOL WINAPI PathFileExistsA(LPCSTR pszPath) {
    if (pszPath == nullptr) return FALSE;
    DWORD error = 0;
    auto mapped = MapFilePath("PathFileExistsA", pszPath, &error);
    if (!mapped) return Fail(error);
    std::error_code ec;
    if (!fs::exists(*mapped, ec)) return Fail(ERROR_FILE_NOT_FOUND);
    return TRUE;
}

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD error = 0;
    auto from = MapFilePath("CopyFileA", lpExistingFileName, &error);
    if (!from) return Fail(error);
    auto to = MapFilePath("CopyFileA", lpNewFileName, &error);
    if (!to) return Fail(error);
    std::error_code ec;
    if (!fs::is_regular_file(*from, ec)) return Fail(ERROR_FILE_NOT_FOUND);
    if (!fs::is_directory(to->parent_path(), ec)) return Fail(ERROR_PATH_NOT_FOUND);
    if (fs::exists(*to, ec) && bFailIfExists) return Fail(ERROR_FILE_EXISTS);
    if (!fs::copy_file(*from, *to, fs::copy_options::overwrite_existing, ec))
        return Fail(ERROR_ACCESS_DENIED);
    return TRUE;
}

BOOL WINAPI PathRemoveFileSpecA(LPSTR pszPath) {
    if (pszPath == nullptr) return FALSE;
    char* slash = std::strrchr(pszPath, '\\');
    if (slash == nullptr) {
        // A bare name: nothing of a folder remains.
        if (*pszPath == 0) return FALSE;
        *pszPath = 0;
        return TRUE;
    }
    // "C:\x" keeps "C:\", "C:\" itself stays.
    bool root = slash == pszPath + 2 && pszPath[1] == ':';
    char* cut = root ? slash + 1 : slash;
    if (*cut == 0) return FALSE;
    *cut = 0;
    return TRUE;
}
