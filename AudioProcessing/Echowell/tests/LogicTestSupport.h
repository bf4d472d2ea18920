// The echo-cancelling logic in-process: the framework's driver-wide services
// started as DriverEntry starts them (allocator, probe slots, channel table and
// variables), the logic as a freshly loaded driver has it, and helpers that
// give channel 1 a format the way an opened pin would.
#pragma once

#include <string>

#include "EchowellLogic.h"
#include "LogicFixture.h"

namespace zvecho {

ChannelFormat Pcm(ULONG rate, ULONG bits, ULONG channels);
// Queues 1-4 sized for channel 1's formats, as the stream start sizes them.
void InitLogicQueues();

class LogicTest : public zvlogic::LogicFixture {
protected:
    static void LoadMaster();
    // Channel 1 of `direction` acquired (no device objects) with `format`.
    static void OpenChannel(ULONG direction, const ChannelFormat& format);
    static void InitQueues() { InitLogicQueues(); }
    // The chain as text: "A<bytes>" an allocator stage, "R<n>"/"W<n>" a read
    // or write of queue n, module stages by their logic names.
    static std::string Describe(const AecGraph& graph);
    static ULONGLONG LiveBytes();
};

}  // namespace zvecho
