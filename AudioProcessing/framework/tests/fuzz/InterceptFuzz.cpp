#include "InterceptFuzz.h"

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzProgram.h"
#include "StreamLogic.h"

namespace zvfuzz {
namespace {

// The echo canceller's private set, which reaches the logic's OnKSProperty.
constexpr GUID kPrivateSet = {
    0x05F610B4, 0xA4F5, 0x4471, {0x9B, 0xF6, 0x5A, 0x17, 0xB4, 0xD1, 0x3E, 0x7F}};

}  // namespace

std::string InterceptFuzzTest::RunInput(const uint8_t* data, size_t size) {
    zvstream::ClearCalls();
    std::string broken;
    ProgramTarget target;
    target.Filters = kp::ks::FindDevices(KSCATEGORY_AUDIO);
    target.Filters.resize(std::min<size_t>(target.Filters.size(), 1));
    target.PrivateSet = kPrivateSet;
    target.AdvanceMs = [this](LONGLONG ms) { AdvanceMs(ms); };
    const ProgramResult run = RunProgram(data, size, target);
    if (!run.Opened) broken += "the filter could not be opened\n";
    if (!run.AllDone) broken += "a request was never completed\n";
    const ULONG captureBlock = run.CaptureBlock;
    const std::vector<zvstream::Call> calls = zvstream::Calls();
    m_calls += calls.size();
    for (const zvstream::Call& c : calls) {
        if (c.What == "OnBuffer") ++m_buffers;
        if (c.What == "OnSetStreamState" && c.Value > KSSTATE_RUN)
            broken += "OnSetStreamState told state " + std::to_string(c.Value) + "\n";
        if (c.What != "OnBuffer") continue;
        if (c.Value == 0) broken += "OnBuffer with length 0\n";
        if (c.Used.empty()) broken += "OnBuffer without a header\n";
        for (size_t h = 0; h < c.Used.size(); ++h) {
            if (!c.SystemData[h] && c.Used[h] != 0)
                broken += "OnBuffer header " + std::to_string(h) + " not mapped\n";
            if (c.Used[h] > c.Extent[h])
                broken += "OnBuffer header " + std::to_string(h) + " uses more than its extent\n";
            // The first header of a capture request has its extent cut to
            // whole blocks on the way down (one shorter than a block keeps
            // it) and OnBuffer sees the application's extent again: the
            // device never filled past the cut.  It may fill less: a STOP
            // completes a read with what has been captured so far.
            if (c.Direction == 2 && h == 0 && captureBlock != 0 && c.Extent[h] >= captureBlock &&
                c.Used[h] > c.Extent[h] / captureBlock * captureBlock)
                broken += "capture of " + std::to_string(c.Used[h]) + " bytes in an extent of " +
                          std::to_string(c.Extent[h]) + " not cut to 10 ms blocks of " +
                          std::to_string(captureBlock) + "\n";
        }
    }
    return broken;
}

}  // namespace zvfuzz
