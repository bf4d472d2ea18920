// Test support for the tools: programs run as processes on a temporary machine
// folder (posix_spawn, safe under the sanitizers), the folder's registry.reg
// written from .reg text and read back, byte for byte or as a store.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kp/registry.h"

namespace kp::tooltest {

struct ProcessResult {
    int ExitCode = -1;  // the signal number, negated, when a signal ended it
    std::string Stdout;
    std::string Stderr;
};

// Runs Program with Args; Environment entries ("NAME=value") are added to this
// process's environment.  Waits for it, at most Deadline seconds: a program
// still running then is a hang, killed with what it started (its process
// group) and reported as a failure.  A sanitizer report in the program (a leak
// included) ends it with kSanitizerExit, which fails the test: the tools' own
// success code 1 is the sanitizers' default.
constexpr int kSanitizerExit = 23;
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment = {}, int deadline = 300);

// A machine folder below the test's temporary directory, removed afterwards.
class TempMachine {
public:
    explicit TempMachine(const std::string& name);
    ~TempMachine();
    const std::filesystem::path& Folder() const { return folder_; }
    // registry.reg from .reg text ("Windows Registry Editor Version 5.00" added).
    void WriteRegistry(const std::string& body);
    std::string RegistryBytes() const;
    // The registry.reg as a store, for value checks.
    std::unique_ptr<kp::reg::Store> Registry() const;
    // Copies an image into Windows\System32\drivers under Name.
    void InstallImage(const std::filesystem::path& image, const std::string& name);
    // Runs a tool with KP_MACHINE naming this folder.
    ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                      std::vector<std::string> environment = {}, int deadline = 300) const;

private:
    std::filesystem::path folder_;
};

// .reg text of one value: string types from narrow (ASCII) bytes, others raw.
std::string RegValueText(const std::string& name, ULONG type, const std::string& bytes);
// .reg text of a device-interface record as the PnP manager keeps it.
std::string InterfaceRecordText(const std::string& instance, const std::string& classGuid,
                                const std::string& reference);
// A value of a store as the Win32 calls return it: type and narrow bytes.
struct NarrowValue {
    ULONG Type = 0;
    std::string Bytes;
    bool operator==(const NarrowValue&) const = default;
};
std::optional<NarrowValue> ValueOf(const kp::reg::Store& store, const std::string& path,
                                   const std::string& name);

}  // namespace kp::tooltest
