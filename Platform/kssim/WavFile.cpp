#include "WavFile.h"

#include <sndfile.h>

namespace kp::scenario {

bool ReadWavMono(const std::filesystem::path& path, std::vector<float>* samples, ULONG* rate,
                 std::string* error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        *error = path.string() + ": " + sf_strerror(nullptr);
        return false;
    }
    std::vector<float> interleaved(static_cast<size_t>(info.frames) * info.channels);
    sf_count_t got = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    samples->assign(static_cast<size_t>(got), 0.0f);
    for (sf_count_t f = 0; f < got; ++f) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c) sum += interleaved[f * info.channels + c];
        (*samples)[f] = sum / info.channels;
    }
    *rate = static_cast<ULONG>(info.samplerate);
    return true;
}

bool WriteWav16(const std::filesystem::path& path, const std::vector<float>& samples, ULONG rate,
                std::string* error) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        *error = path.string() + ": " + sf_strerror(nullptr);
        return false;
    }
    sf_count_t wrote =
        sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    if (wrote != static_cast<sf_count_t>(samples.size())) {
        *error = path.string() + ": short write";
        return false;
    }
    return true;
}

}  // namespace kp::scenario
