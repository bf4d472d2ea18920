// The libFuzzer entry of the interceptor's fuzz target (fuzz preset): one
// machine booted on the first input and kept; an input that breaks a promise
// of the filter-logic contract stops the run, as a sanitizer report does.
#include <cstdio>
#include <cstdlib>

#include "InterceptFuzz.h"

namespace {
zvfuzz::InterceptFuzzTest* g_pMachine = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    ::testing::InitGoogleTest(argc, *argv);
    g_pMachine = new zvfuzz::InterceptFuzzTest;
    g_pMachine->SetUpMachine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string broken = g_pMachine->RunInput(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "filter-logic contract broken:\n%s", broken.c_str());
        std::abort();
    }
    return 0;
}
