#include "ToolProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <sstream>

#include <gtest/gtest.h>

#include "kp/machinetest.h"

extern char** environ;

namespace fs = std::filesystem;

namespace kp::tooltest {
namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    char text[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        std::snprintf(text, sizeof text, "%02x", bytes[i]);
        out += (i == 0 ? "" : ",") + std::string(text);
    }
    return out;
}

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment, int deadline) {
    static std::atomic<int> serial{0};
    fs::path base = fs::path(::testing::TempDir()) /
                    ("kp-tool-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    fs::path out = base.string() + ".out", err = base.string() + ".err";
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argvp;
    for (auto& a : argv) argvp.push_back(a.data());
    argvp.push_back(nullptr);
    std::vector<std::string> env;
    std::string sanitizer = "exitcode=" + std::to_string(kSanitizerExit);
    bool asanOptions = false;
    for (char** e = environ; *e != nullptr; ++e) {
        env.push_back(*e);
        if (env.back().rfind("ASAN_OPTIONS=", 0) == 0) {
            env.back() += ":" + sanitizer;
            asanOptions = true;
        }
    }
    if (!asanOptions) env.push_back("ASAN_OPTIONS=" + sanitizer);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // A group of its own, so that a hang is killed with every program it started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid;
    ProcessResult result;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argvp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << rc;
        return result;
    }
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(deadline);
    bool hung = false;
    while (true) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (!hung && std::chrono::steady_clock::now() >= end) {
            hung = true;
            kill(-pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(hung ? 1 : 5));
    }
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    result.Stdout = ReadFile(out);
    result.Stderr = ReadFile(err);
    if (hung) {
        ADD_FAILURE() << program << " still ran after " << deadline << " s (killed)";
        result.ExitCode = -SIGKILL;
    }
    if (result.ExitCode == kSanitizerExit)
        ADD_FAILURE() << program << " ended with a sanitizer report:\n" << result.Stderr;
    fs::remove(out);
    fs::remove(err);
    return result;
}

TempMachine::TempMachine(const std::string& name) {
    folder_ = kp::testing::NewTestFolder("kp-machine-" + name);
    fs::create_directories(folder_ / "Windows" / "System32" / "drivers");
}

TempMachine::~TempMachine() {
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

void TempMachine::WriteRegistry(const std::string& body) {
    std::ofstream out(folder_ / "registry.reg", std::ios::binary);
    out << "Windows Registry Editor Version 5.00\r\n\r\n" << body;
}

std::string TempMachine::RegistryBytes() const {
    return ReadFile(folder_ / "registry.reg");
}

std::unique_ptr<kp::reg::Store> TempMachine::Registry() const {
    auto store = std::make_unique<kp::reg::Store>();
    std::string error;
    EXPECT_TRUE(store->LoadFile(folder_ / "registry.reg", &error)) << error;
    return store;
}

void TempMachine::InstallImage(const fs::path& image, const std::string& name) {
    fs::copy_file(image, folder_ / "Windows" / "System32" / "drivers" / name,
                  fs::copy_options::overwrite_existing);
}

ProcessResult TempMachine::Run(const std::string& program, const std::vector<std::string>& args,
                               std::vector<std::string> environment, int deadline) const {
    environment.push_back("KP_MACHINE=" + folder_.string());
    return RunProcess(program, args, environment, deadline);
}

std::string RegValueText(const std::string& name, ULONG type, const std::string& bytes) {
    std::vector<uint8_t> data;
    bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    for (char c : bytes) {
        data.push_back(static_cast<uint8_t>(c));
        if (text) data.push_back(0);
    }
    char head[16];
    std::snprintf(head, sizeof head, "hex(%x):", static_cast<unsigned>(type));
    return "\"" + name + "\"=" + head + HexBytes(data) + "\r\n";
}

std::string InterfaceRecordText(const std::string& instance, const std::string& classGuid,
                                const std::string& reference) {
    std::string hashed = instance;
    for (char& c : hashed) c = c == '\\' ? '#' : c;
    std::string link = "\\??\\" + hashed + "#" + classGuid + "\\" + reference;
    std::string key = link;
    for (char& c : key) c = c == '\\' ? '#' : c;
    auto escape = [](const std::string& s) {
        std::string out;
        for (char c : s) {
            if (c == '\\' || c == '"') out.push_back('\\');
            out.push_back(c);
        }
        return out;
    };
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + classGuid +
           "\\" + key + "]\r\n\"DeviceInstance\"=\"" + escape(instance) +
           "\"\r\n\"SymbolicLink\"=\"" + escape(link) + "\"\r\n\"ReferenceString\"=\"" + reference +
           "\"\r\n\r\n";
}

std::optional<NarrowValue> ValueOf(const kp::reg::Store& store, const std::string& path,
                                   const std::string& name) {
    std::u16string wide, wideName;
    kp::reg::Utf8ToUtf16(path, &wide);
    kp::reg::Utf8ToUtf16(name, &wideName);
    auto kernelPath = kp::reg::KernelPathFromRegPath(wide);
    kp::reg::KeyRef key;
    kp::reg::ValueData value;
    if (!kernelPath || !NT_SUCCESS(store.OpenKey(nullptr, *kernelPath, &key)) ||
        !NT_SUCCESS(store.QueryValue(key, wideName, &value))) {
        return std::nullopt;
    }
    NarrowValue out;
    out.Type = value.Type;
    if (value.Type == REG_SZ || value.Type == REG_EXPAND_SZ || value.Type == REG_MULTI_SZ) {
        std::u16string text(value.Data.size() / 2, u'\0');
        if (!text.empty()) std::memcpy(text.data(), value.Data.data(), text.size() * 2);
        out.Bytes = kp::reg::Utf16ToUtf8(text);
    } else {
        out.Bytes.assign(value.Data.begin(), value.Data.end());
    }
    return out;
}

}  // namespace kp::tooltest
