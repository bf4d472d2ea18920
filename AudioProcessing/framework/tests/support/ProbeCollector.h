// A recording stand-in for the outside probe collector driver, and a device
// stack to find it on.
//
// TestDeviceStack has the PnP manager build a device (the bus driver's PDO and a
// pass-through function driver above it).  RecordingCollector answers
// IRP_MN_QUERY_INTERFACE on that PDO for the interfaces it offers, fills the
// function tables with recording functions and records every call it gets.
#pragma once

#include <string>
#include <vector>

#include "FrameworkTestSupport.h"

namespace zvtest {

class TestDeviceStack {
public:
    // Builds and starts the device "Root\ZVPROBE\<instance>".
    explicit TestDeviceStack(const char16_t* instance = u"0000");
    ~TestDeviceStack();
    TestDeviceStack(const TestDeviceStack&) = delete;
    TestDeviceStack& operator=(const TestDeviceStack&) = delete;

    NTSTATUS Status() const { return m_status; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    // The function driver's device, directly above the PDO.
    PDEVICE_OBJECT Fdo() const;
    // Writes a REG_DWORD into the PDO's device key (ZVPerfMode).
    void SetDeviceValue(const char16_t* name, ULONG value) const;

private:
    std::u16string m_instance;
    NTSTATUS m_status = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT m_pdo = nullptr;
};

enum class CollectorInterface { Trace, Main, Perf };

struct CollectorCall {
    std::string Function;          // "main.3", "perf.4", "trace.0", ...
    PDEVICE_OBJECT Pdo = nullptr;  // the first argument
    std::vector<LONGLONG> Words;   // the further arguments
    std::string Text;              // a text argument
};

class RecordingCollector {
public:
    RecordingCollector();
    ~RecordingCollector();  // stops answering
    RecordingCollector(const RecordingCollector&) = delete;
    RecordingCollector& operator=(const RecordingCollector&) = delete;

    // Starts answering queries on this PDO.
    void Attach(PDEVICE_OBJECT pdo);
    // Answers on the PDO of this Enum instance from its creation on, so that a
    // master that starts at the machine's boot binds to the collector.  The
    // machine must be shut down before the collector goes (the master's
    // removal releases the interfaces through it).
    void AttachAtBoot(const std::u16string& instancePath);
    // Keeps only the calls of these functions ("main.11", ...): a run of
    // seconds makes a call of every section entered.  Empty: all.
    void RecordOnly(std::vector<std::string> functions);
    // Which interfaces it offers (all three by default), and which of them
    // refuse to fill a function table.
    void Offer(CollectorInterface which, bool offered);
    void FailTableFill(CollectorInterface which, bool fail);
    // What the release routine of an interface answers (0 by default).
    void SetReleaseResult(CollectorInterface which, ULONG result);

    // What happened, in order.
    std::vector<std::string> Queries() const;  // "trace", "main", "perf", "other" per query seen
    std::vector<std::string> AfterQueries() const;  // interface per after-query call
    std::vector<std::string> Releases() const;      // interface per release call
    std::vector<CollectorCall> Calls() const;       // function table calls
    // The data of the SetValue calls (main.11) for one value, in order.
    std::vector<LONGLONG> Values(ULONG id) const;
    // The module table the trace interface received, and its count.
    ProbeModuleEntry* ReceivedModules() const;
    LONG ReceivedModuleCount() const;
    void ClearCalls();

    struct State;

private:
    State* m_state;
};

}  // namespace zvtest
