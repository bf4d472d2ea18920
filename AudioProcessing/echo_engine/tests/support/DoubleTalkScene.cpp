#include "DoubleTalkScene.h"

#include "EchoSignals.h"

namespace echotest {

namespace {

bool SpokenClip(const std::string& path, int rate, std::vector<double>* out) {
    std::vector<int16_t> clip;
    int clipRate = 0;
    if (!ReadWav16(path.c_str(), &clip, &clipRate)) return false;
    out->assign(clip.begin(), clip.end());
    if (rate == 8000) *out = Decimate2(*out);
    return true;
}

}  // namespace

bool MakeDoubleTalkScene(const std::string& speechDir, int rate, size_t samples, size_t talkFrom,
                         DoubleTalkScene* scene) {
    std::vector<double> nearClip;
    if (!SpokenClip(speechDir + "/far_talker_16k.wav", rate, &scene->far) ||
        !SpokenClip(speechDir + "/near_talker_16k.wav", rate, &nearClip))
        return false;
    if (samples != 0) scene->far.resize(samples);
    const size_t n = scene->far.size();
    scene->talkFrom = talkFrom != 0 ? talkFrom : n / 2;
    scene->nearTalk.assign(n, 0.0);
    for (size_t i = scene->talkFrom, j = 0; i < n && j < nearClip.size(); ++i, ++j)
        scene->nearTalk[i] = nearClip[j];
    EchoPathParams ep;
    ep.rate = rate;
    ep.delayMs = 100;
    ep.erlDb = 10;
    ep.lengthMs = 64;
    scene->echo = Convolve(scene->far, EchoImpulse(ep));
    scene->noise = Noise(5, n, -60, false);
    return true;
}

std::vector<int16_t> Microphone(const DoubleTalkScene& scene) {
    return ToPcm(Mix({scene.echo, scene.nearTalk, scene.noise}));
}

}  // namespace echotest
