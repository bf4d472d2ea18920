// What a machine's saved registry.reg holds, for tests that shut a machine down.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace zvecho {

inline std::string ReadSavedRegistry(const std::filesystem::path& folder) {
    std::ifstream in(folder / "registry.reg", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The echo canceller writes its four parameters into the camera's driver key
// when the master's unload destroys it.
inline void ExpectCancellerParametersSaved(const std::string& saved) {
    for (const char* name : {"GAEC_AutoOff_ZAEC", "GAEC_StateMachine_ZAEC", "GAEC_TailLength_ZAEC",
                             "GAEC_ComfortNoiseLvl_ZAEC"})
        EXPECT_NE(saved.find(std::string("\"") + name + "\"=dword:"), std::string::npos) << name;
}

}  // namespace zvecho
