// Debugger output: DbgPrint and its sink, DbgBreakPoint.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "ke_private.h"
#include "kp/dbgsink.h"
#include "platform/rtl.h"

namespace {

constexpr size_t kMaxRecords = 100000;

struct Sink {
    std::mutex Lock;
    std::deque<std::string> Records;
    bool Echo = std::getenv("KP_DBGPRINT") != nullptr;
};

Sink& TheSink() {
    static Sink* sink = new Sink;  // usable during exit
    return *sink;
}

std::atomic<ULONG> gBreaks{0};

void Record(std::string Text) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.Lock);
    if (sink.Echo) {
        std::fputs(Text.c_str(), stderr);
        std::fflush(stderr);
    }
    if (sink.Records.size() == kMaxRecords) sink.Records.pop_front();
    sink.Records.push_back(std::move(Text));
}

}  // namespace

// ---------------------------------------------------------------------------
// DbgPrint / DbgPrintEx / vDbgPrintEx
// ---------------------------------------------------------------------------
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list ArgList) {
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    Record(KiFormat(Format, ArgList));
    return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG status = vDbgPrintEx(0, 0, Format, ap);
    va_end(ap);
    return status;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG status = vDbgPrintEx(ComponentId, Level, Format, ap);
    va_end(ap);
    return status;
}

// ---------------------------------------------------------------------------
// DbgBreakPoint
// ---------------------------------------------------------------------------
void DbgBreakPoint(void) {
    ++gBreaks;
    if (std::getenv("KP_DBGBREAK") != nullptr) std::raise(SIGTRAP);
}

std::vector<std::string> KpDbgRecords(void) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.Lock);
    return std::vector<std::string>(sink.Records.begin(), sink.Records.end());
}

std::string KpDbgText(void) {
    std::string text;
    for (const std::string& record : KpDbgRecords()) text += record;
    return text;
}

std::vector<std::string> KpDbgLines(void) {
    std::string text = KpDbgText();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

void KpDbgClear(void) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.Lock);
    sink.Records.clear();
}

void KpDbgSetEcho(bool Echo) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.Lock);
    sink.Echo = Echo;
}

ULONG KpDbgBreakCount(void) {
    return gBreaks.load();
}

void KpDbgResetBreakCount(void) {
    gBreaks = 0;
}
