// WAV files through libsndfile: mono floats in, 16-bit PCM out.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/ntdef.h"

namespace kp::scenario {

// Reads any file libsndfile knows; several channels are averaged.
bool ReadWavMono(const std::filesystem::path& path, std::vector<float>* samples, ULONG* rate,
                 std::string* error);
bool WriteWav16(const std::filesystem::path& path, const std::vector<float>& samples, ULONG rate,
                std::string* error);

}  // namespace kp::scenario
