#include <map>
#include <mutex>

#include "FrameworkTestSupport.h"

namespace zvtest {
namespace {

std::mutex g_lock;
std::vector<ProbeCall> g_calls;

void Record(ULONG slot, std::vector<LONGLONG> words, PCSTR text = nullptr) {
    std::lock_guard<std::mutex> guard(g_lock);
    ProbeCall call;
    call.Slot = slot;
    call.Words = std::move(words);
    if (text != nullptr) call.Text = text;
    g_calls.push_back(std::move(call));
}

template <ULONG Slot>
void RecordId(ULONG id) {
    Record(Slot, {id});
}
template <ULONG Slot>
void RecordId64(ULONG id, LONGLONG value) {
    Record(Slot, {id, value});
}
template <ULONG Slot>
void RecordIdName(ULONG id, PCSTR name) {
    Record(Slot, {id}, name);
}
void RecordTrace(ULONG level, PCSTR text) {
    Record(5, {level}, text);
}
void RecordSlot14(ULONG_PTR a) {
    Record(14, {static_cast<LONGLONG>(a)});
}
void RecordSlot16(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) {
    Record(16, {static_cast<LONGLONG>(a), static_cast<LONGLONG>(b), static_cast<LONGLONG>(c)});
}
ULONG_PTR RecordSlot22(ULONG_PTR a) {
    Record(22, {static_cast<LONGLONG>(a)});
    return 0;
}

}  // namespace

void RecordProbeSlots() {
    ClearProbeCalls();
    ProbeSlotTable& t = ProbeSlots;
    t.Trace.Set(&RecordTrace);
    t.Enter.Set(&RecordId<6>);
    t.Leave.Set(&RecordId<7>);
    t.DefineCounter.Set(&RecordId<8>);
    t.AddCounter.Set(&RecordId64<9>);
    t.SetCounter.Set(&RecordId64<10>);
    t.NameTimer.Set(&RecordIdName<11>);
    t.TimerStart.Set(&RecordId<12>);
    t.TimerStop.Set(&RecordId<13>);
    t.Slot14.Set(&RecordSlot14);
    t.NameValue.Set(&RecordIdName<15>);
    t.Slot16.Set(&RecordSlot16);
    t.SetValue.Set(&RecordId64<17>);
    t.Slot22.Set(&RecordSlot22);
}

std::vector<ProbeCall> ProbeCalls() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_calls;
}

std::vector<ProbeCall> ProbeCallsOf(ULONG slot) {
    std::vector<ProbeCall> matching;
    for (const ProbeCall& call : ProbeCalls()) {
        if (call.Slot == slot) matching.push_back(call);
    }
    return matching;
}

void ClearProbeCalls() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.clear();
}

LONGLONG ProbeCounter(ULONG counter) {
    LONGLONG value = 0;
    for (const ProbeCall& call : ProbeCalls()) {
        if (call.Words.empty() || call.Words[0] != static_cast<LONGLONG>(counter)) continue;
        if (call.Slot == 10) value = call.Words[1];
        if (call.Slot == 9) value += call.Words[1];
    }
    return value;
}

}  // namespace zvtest
