// The echo canceller engine and the wave correlator as the filter drives them,
// without the machine around them, on an echo of falling level: the recorded
// far-end clip at 8 kHz through an echo path of 150 ms with a 30 ms tail (as
// the filter sees kssim's default room), at an echo return loss of 10 to
// 35 dB, noise at -70 dBFS, 10 s of far end alone.  The engine takes its delay
// three ways each level: the true delay; the 80 ms the filter starts with on
// that machine (from its streams' positions, the room's own delay unknown to
// it); and that seed until the correlator (fed far end and microphone in
// 10 ms blocks) publishes, then the correlator's value, as the filter does.
// Printed per level: the ERLE over the last 2 s of each way, when the
// correlator published and what, and how many of the microphone's 100 ms
// blocks reach -36 and -56 dBFS (the correlator counts a block as active from
// -56 dBFS on).
#include <stdio.h>

#include "AecEngine.h"
#include "CKAUDPWAVC.h"
#include "DoubleTalkScene.h"
#include "EchoSignals.h"

namespace {

constexpr int kRate = 8000;
constexpr size_t kFrame = 80;
constexpr int kSeedMs = 80, kEchoMs = 150;

enum class Delay { True, Seed, Correlator };

struct Outcome {
    double erleDb = 0;
    double publishedAt = -1;  // s; -1: never
    ULONGLONG published = 0;
};

Outcome Cancel(const std::vector<int16_t>& far, const std::vector<int16_t>& mic, Delay way) {
    AecState* aec = nullptr;
    WavcState* wavc = nullptr;
    AecCreate(&aec);
    WavcCreate(&wavc);
    std::vector<int16_t> out(mic.size());
    Outcome o;
    ULONGLONG side = way == Delay::True ? kEchoMs : kSeedMs;
    const size_t frames = mic.size() / kFrame;
    for (size_t f = 0; f < frames; ++f) {
        const size_t at = f * kFrame;
        auto* x = const_cast<int16_t*>(far.data() + at);
        auto* y = const_cast<int16_t*>(mic.data() + at);
        if (way == Delay::Correlator) {
            const ULONGLONG before = side;
            WavcProcess(wavc, 0, x, 2 * kFrame, nullptr);
            WavcProcess(wavc, 1, y, 2 * kFrame, &side);
            if (side != before && o.publishedAt < 0) o.publishedAt = double(at) / kRate;
        }
        int16_t delay = int16_t(side);
        AecSubmit(aec, AEC_PIN_FAR_END, x, 2 * kFrame, nullptr, 0, nullptr);
        AecSubmit(aec, AEC_PIN_NEAR_END, y, 2 * kFrame, out.data() + at, 2 * kFrame, &delay);
    }
    o.published = side;
    const size_t end = frames * kFrame;
    o.erleDb = echotest::ErleDb(mic, out, far, end - 2 * kRate, end, kFrame * 10);
    WavcDestroy(wavc);
    AecDestroy(aec);
    return o;
}

}  // namespace

int main() {
    echotest::DoubleTalkScene scene;
    if (!echotest::MakeDoubleTalkScene(ZV_SPEECH_DIR, kRate, 10 * kRate, 0, &scene)) {
        printf("speech clip not found in %s\n", ZV_SPEECH_DIR);
        return 1;
    }
    const std::vector<int16_t> far = echotest::ToPcm(scene.far);
    const std::vector<double> noise = echotest::Noise(5, far.size(), -70, false);
    printf(
        "ERL dB | ERLE dB: true delay, seed alone, seed then correlator | published | "
        "mic blocks from -36 dBFS, -56 dBFS\n");
    for (double erl : {10.0, 20.0, 25.0, 30.0, 35.0}) {
        echotest::EchoPathParams ep;
        ep.rate = kRate;
        ep.delayMs = kEchoMs;
        ep.lengthMs = 30;
        ep.erlDb = erl;
        const std::vector<int16_t> mic = echotest::ToPcm(
            echotest::Mix({echotest::Convolve(scene.far, echotest::EchoImpulse(ep)), noise}));
        size_t blocks = 0, loud = 0, active = 0;
        for (size_t at = 0; at + 800 <= mic.size(); at += 800, ++blocks) {
            const double ms = echotest::MeanSquare(mic.data(), at, at + 800);
            loud += ms >= 250000 ? 1 : 0;
            active += ms >= 2500 ? 1 : 0;
        }
        const Outcome t = Cancel(far, mic, Delay::True);
        const Outcome s = Cancel(far, mic, Delay::Seed);
        const Outcome c = Cancel(far, mic, Delay::Correlator);
        char when[40] = "never";
        if (c.publishedAt >= 0)
            snprintf(when, sizeof when, "%llu ms at %.1f s",
                     static_cast<unsigned long long>(c.published), c.publishedAt);
        printf("%6.0f | %5.1f %5.1f %5.1f | %s | %zu, %zu of %zu\n", erl, t.erleDb, s.erleDb,
               c.erleDb, when, loud, active, blocks);
    }
    return 0;
}
