// The interceptor's request paths driven by bytes: a small program of
// application requests (pin creates, states, reads and writes with headers of
// any shape, property, method and other control requests, raw pin-create
// names) is decoded from the input and sent through the KS client to the
// machine of the interceptor tests.  The stream test logic records what the
// framework told it; after each input every promise of the filter-logic
// contract that can be seen from there is checked.  Used by the corpus replay
// (a test in every build) and by the libFuzzer target of the fuzz preset.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "InterceptFixture.h"

namespace zvfuzz {

class InterceptFuzzTest : public zvstream::InterceptTest {
public:
    // Runs one input on the booted machine and closes everything it opened;
    // returns the broken promises, one per line (empty when all were kept).
    std::string RunInput(const uint8_t* data, size_t size);

    // For a program without a test runner (the libFuzzer target).
    void SetUpMachine() {
        SetUp();
        Boot();
    }
    void TestBody() override {}
    void AdvanceClockMs(LONGLONG ms) { AdvanceMs(ms); }

    // Logic calls and OnBuffer calls seen over every input run so far.
    size_t m_calls = 0;
    size_t m_buffers = 0;
};

}  // namespace zvfuzz
