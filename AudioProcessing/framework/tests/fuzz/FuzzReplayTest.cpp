// The fuzz target's corpus, replayed input by input on one machine: each input
// must end with every request completed and every promise of the filter-logic
// contract kept, and the machine must shut down clean.  The corpus holds the
// inputs that once broke a promise (a write header with bytes and no buffer, a
// write without a header, a state outside STOP..RUN, a buffer in the first
// 64 KiB) and a few that reach each request path.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "InterceptFuzz.h"

namespace zvfuzz {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

TEST_F(InterceptFuzzTest, EveryCorpusInputKeepsTheContract) {
    Boot();
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::directory_iterator(ZV_FUZZ_CORPUS)) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_GE(inputs.size(), 8u) << "corpus missing";
    for (const fs::path& path : inputs) {
        SCOPED_TRACE(path.filename().string());
        const std::vector<uint8_t> bytes = ReadFile(path);
        EXPECT_EQ(RunInput(bytes.data(), bytes.size()), "");
    }
    // The corpus reaches the logic, streams included.
    EXPECT_GT(m_calls, 0u);
    EXPECT_GT(m_buffers, 0u);
}

TEST_F(InterceptFuzzTest, SeededRandomInputsKeepTheContract) {
    Boot();
    std::mt19937 gen(20261209);
    for (int i = 0; i < 40; ++i) {
        std::vector<uint8_t> bytes(64 + gen() % 512);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen());
        SCOPED_TRACE(i);
        EXPECT_EQ(RunInput(bytes.data(), bytes.size()), "");
    }
}

}  // namespace
}  // namespace zvfuzz
