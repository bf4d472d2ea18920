// Double talk on the recorded speech, for the tests and the benchmarks of the
// echo canceller: the far-end clip through a room echo path (100 ms delay,
// 10 dB echo return loss, 64 ms tail), the near-end clip talking over it from
// a given sample on, and background noise at -60 dBFS.  The parts are kept
// apart, so that a measurement knows the echo and the near talker each on
// its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace echotest {

struct DoubleTalkScene {
    std::vector<double> far, echo, nearTalk, noise;  // all of one length
    size_t talkFrom = 0;                             // the near talker's first sample
};

// Reads far_talker_16k.wav and near_talker_16k.wav from `speechDir`, halved
// to 8 kHz for a `rate` of 8000.  The scene is `samples` long (0: as long as
// the far-end clip) and the near talker starts at `talkFrom` (0: half-way).
// False when a clip is missing.
bool MakeDoubleTalkScene(const std::string& speechDir, int rate, size_t samples, size_t talkFrom,
                         DoubleTalkScene* scene);

// What the microphone hears: echo, near talker and noise, in 16-bit PCM.
std::vector<int16_t> Microphone(const DoubleTalkScene& scene);

}  // namespace echotest
