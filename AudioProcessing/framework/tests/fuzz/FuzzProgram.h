// A small program of application requests decoded from fuzzer bytes (pin
// creates, states, reads and writes with headers of any shape, property,
// method and other control requests, raw pin-create names, clock steps) and
// run through the KS client against the filters of a booted machine.  Shared
// by the interceptor's target (the stream test logic, whose calls are checked
// against the contract) and the targets with a real logic loaded.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "KsClient.h"

namespace zvfuzz {

struct ProgramTarget {
    // The filters the program's two pin slots open pins on: slot i on
    // Filters[i % size]; raw pin-create names go to the first.
    std::vector<std::u16string> Filters;
    // The property set the program's control requests use beside the pin,
    // connection and audio sets (the logic's private set).
    GUID PrivateSet;
    // Moves the machine's clock.
    std::function<void(LONGLONG ms)> AdvanceMs;
};

struct ProgramResult {
    bool Opened = false;   // every filter opened and the program ran
    bool AllDone = false;  // every request it sent had come back
    // 10 ms of the one capture format the program used, 0 when it used none
    // or several.
    ULONG CaptureBlock = 0;
};

// Runs the program, then stops and closes what it opened and lets every
// request in flight end.  A request that never ended is left with its memory
// (its buffers may still be locked).
ProgramResult RunProgram(const uint8_t* data, size_t size, const ProgramTarget& target);

}  // namespace zvfuzz
