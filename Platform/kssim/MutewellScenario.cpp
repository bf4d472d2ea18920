// The switch-and-mute scenario: a machine of its own with the filter image
// above the camera ("full", its interfaces under the reference string
// "global"), the master by its driver-key option; the sound card ("full", its
// own microphone silent) is hooked as slave at run time.  An application
// plays a tone on the sound card and another records from it, both opening
// the card by its own links (the camera's pins are the bridge's).  The bridge
// is switched on through the private property set on the camera's filter,
// then each mute mode in turn and mute off.  The camera's render pin gets
// what the bridge delivered; the card's recording is filled from the camera's
// microphone (the near talker of the room).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>

#include "MutewellControl.h"
#include "Runner.h"
#include "kp/clock.h"
#include "kp/pnp.h"
#include "kp/simaudio.h"
#include "kp/thread.h"

namespace fs = std::filesystem;

namespace kp::scenario {
namespace {

constexpr char kMasterOption[] = MUTEWELL_OPTION_MASTER;
// Of the private property set: 4 processing, 5 switch, 6 mute mode.
constexpr ULONG kIdSwitch = 5, kIdMute = 6;
constexpr double kToneHz = 500.0;
constexpr ULONG kRate = 16000;       // the card's pins, 16 bit
constexpr ULONG kBridgeRate = 8000;  // the camera's render pin

kp::machine::DefaultMachine MutewellMachine(const fs::path& image) {
    kp::machine::DefaultMachine machine;
    std::string service = image.stem().string();
    machine.Kind = "mutewell";
    for (kp::machine::SimDevice& device : machine.Devices) {
        device.Profile = "full";
        if (device.RoomName == "camera") {
            device.FilterName = "global";
            device.UpperFilters = {service};
            device.DriverOptions = {{kMasterOption, 1}};
        } else {
            device.CaptureSource = "silence";  // the recording shows where it came from
        }
    }
    machine.Extra = kp::machine::ServiceText(service, image.filename().string());
    return machine;
}

// The physical device object of the default machine's device in `room`.
PDEVICE_OBJECT PdoOfRoom(const std::string& room) {
    for (const auto& d : kp::machine::DefaultDevices())
        if (d.RoomName == room)
            return KpPnpFindPdo(std::u16string(d.Instance.begin(), d.Instance.end()));
    return nullptr;
}

std::shared_ptr<kp::sim::SimAudioDevice> DeviceOfRoom(const std::string& room) {
    for (const auto& device : kp::sim::SimAudioDevice::All())
        if (device->RoomName() == room) return device;
    return nullptr;
}

std::vector<float> RenderedOf(const kp::sim::SimAudioDevice& device) {
    std::vector<float> out;
    for (const auto& r : device.PinRecords()) {
        if (r.PinId != 0) continue;
        for (size_t i = 0; i + 1 < r.Rendered.size(); i += 2) {
            int16_t s;
            std::memcpy(&s, &r.Rendered[i], 2);
            out.push_back(static_cast<float>(s / 32768.0));
        }
    }
    return out;
}

// RMS level in dBFS; -inf for exact zeros.
double LevelDb(const std::vector<float>& x, size_t from, size_t to) {
    double sum = 0;
    to = std::min(to, x.size());
    for (size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
    return to > from ? 10 * std::log10(sum / static_cast<double>(to - from)) : std::nan("");
}

size_t NonZero(const std::vector<float>& x, size_t from, size_t to) {
    size_t n = 0;
    for (size_t i = from; i < std::min(to, x.size()); ++i) n += x[i] != 0;
    return n;
}

// The best-fitting sine's signal to residual ratio (dB) of each one-period
// window: windows with a drift correction's phase step or a gap fail, the
// windows between them show the conversion's quality.
std::vector<double> WindowSnrsDb(const std::vector<float>& x, size_t from, size_t to, double hz,
                                 double rate) {
    const auto n = static_cast<size_t>(rate / hz + 0.5);
    std::vector<double> snr;
    for (size_t at = from; at + n <= std::min(to, x.size()); at += n) {
        double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
        for (size_t i = 0; i < n; ++i) {
            const double w = 2 * M_PI * hz * static_cast<double>(i) / rate;
            ss += std::sin(w) * std::sin(w), cc += std::cos(w) * std::cos(w);
            sc += std::sin(w) * std::cos(w);
            xs += x[at + i] * std::sin(w), xc += x[at + i] * std::cos(w);
        }
        const double det = ss * cc - sc * sc;
        const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
        double signal = 0, residual = 0;
        for (size_t i = 0; i < n; ++i) {
            const double w = 2 * M_PI * hz * static_cast<double>(i) / rate;
            const double fit = a * std::sin(w) + b * std::cos(w);
            signal += fit * fit;
            residual += (x[at + i] - fit) * (x[at + i] - fit);
        }
        snr.push_back(10 * std::log10((signal + 1e-20) / (residual + 1e-12)));
    }
    return snr;
}

// The median of the windows' ratios.
double ToneSnrDb(const std::vector<float>& x, size_t from, size_t to, double hz, double rate) {
    std::vector<double> snr = WindowSnrsDb(x, from, to, hz, rate);
    if (snr.empty()) return std::nan("");
    std::nth_element(snr.begin(), snr.begin() + static_cast<long>(snr.size() / 2), snr.end());
    return snr[snr.size() / 2];
}

// The share of windows whose ratio reaches 30 dB: clean periods.
double CleanShare(const std::vector<float>& x, size_t from, size_t to, double hz, double rate) {
    const std::vector<double> snr = WindowSnrsDb(x, from, to, hz, rate);
    if (snr.empty()) return std::nan("");
    return static_cast<double>(
               std::count_if(snr.begin(), snr.end(), [](double db) { return db >= 30; })) /
           static_cast<double>(snr.size());
}

// A stretch of the camera's sound that begins at its first sample at or
// after `from` and lasts to `to`: where its windows start (its first whole
// period after 20 ms: the start is heard too) and its longest run of exact
// silence between two samples of sound (a gap the camera played), in ms.
struct Stretch {
    size_t From;
    double GapMs;
};
Stretch StretchOf(const std::vector<float>& x, size_t from, size_t to, double rate) {
    to = std::min(to, x.size());
    size_t first = from, last = to, run = 0, longest = 0;
    while (first < to && x[first] == 0) ++first;
    while (last > first && x[last - 1] == 0) --last;
    for (size_t i = first; i < last; ++i)
        longest = std::max(longest, run = x[i] == 0 ? run + 1 : 0);
    return {first + static_cast<size_t>(rate / 50), 1000.0 * static_cast<double>(longest) / rate};
}

// Waits until `done` with the clock moving only while the machine rests,
// so the run sounds the same on a busy host.  At most 1 s of machine time.
bool WaitMachine(const std::function<bool()>& done, bool caller) {
    return kp::sim::AdvanceWhileResting(done, caller, 1000);
}

struct Phase {
    const char* Name;
    ULONG Mute;
    bool CameraSilent, RecordingSilent;
};

// The applications on the card: a tone played at 16 kHz stereo and a 16 kHz
// mono recording, four 10 ms requests queued on each.
class CardApps {
public:
    bool Open(std::string* error) {
        auto links = KpPnpInterfaceLinks(PdoOfRoom("speaker"), true);
        if (links.empty() || !NT_SUCCESS(filter_.Open(links[0]))) {
            *error = "cannot open the sound card by its own links";
            return false;
        }
        if (!NT_SUCCESS(speaker_.Create(filter_, 0, ks::PcmFormat(kRate, 16, 2))) ||
            !NT_SUCCESS(mic_.Create(filter_, 1, ks::PcmFormat(kRate, 16, 1)))) {
            *error = "cannot create the card's pins";
            return false;
        }
        for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_RUN}) {
            if (!NT_SUCCESS(speaker_.SetState(s)) || !NT_SUCCESS(mic_.SetState(s))) {
                *error = "cannot run the card's pins";
                return false;
            }
        }
        return true;
    }
    // One more request each, then 10 ms of machine time, with the machine at
    // rest before and after the step; the oldest are waited for once four are
    // queued.
    bool Tick(std::string* error) {
        std::vector<uint8_t> tone(kRate / 100 * 4);
        for (ULONG i = 0; i < kRate / 100; ++i, ++frames_) {
            const auto v =
                static_cast<int16_t>(8000 * std::sin(2 * M_PI * kToneHz * frames_ / kRate));
            for (int c = 0; c < 2; ++c) std::memcpy(&tone[i * 4 + c * 2], &v, 2);
            Played.push_back(static_cast<float>(v / 32768.0));
        }
        std::atomic<bool> sent{false};
        std::thread sender([&] {
            // A render write may wait in the filter for room in the bridge's ring.
            std::shared_ptr<ks::StreamRequest> write, read;
            const auto n = static_cast<ULONG>(tone.size());
            if (NT_SUCCESS(
                    speaker_.Submit(true, {{n, n, tone.data()}}, sizeof(KSSTREAM_HEADER), &write)))
                writes_.push_back(write);
            if (NT_SUCCESS(mic_.Submit(false, {{320, 0, nullptr}}, sizeof(KSSTREAM_HEADER), &read)))
                reads_.push_back(read);
            sent = true;
        });
        bool ok = WaitMachine([&] { return sent.load(); }, true);
        sender.join();
        UnsettledSteps += kp::sim::StepMachine(10, 10000);
        while (ok && !writes_.empty() && (writes_.size() > 4 || writes_.front()->Done())) {
            ok = WaitMachine([&] { return writes_.front()->Done(); }, false);
            if (ok) writes_.pop_front();
        }
        while (ok && !reads_.empty() && (reads_.size() > 4 || reads_.front()->Done())) {
            ok = WaitMachine([&] { return reads_.front()->Done(); }, false);
            if (!ok) break;
            auto r = reads_.front();
            reads_.pop_front();
            for (ULONG at = 0; r->Status() == STATUS_SUCCESS && at + 1 < r->DataUsed(0); at += 2) {
                int16_t s;
                std::memcpy(&s, r->Data(0) + at, 2);
                Recorded.push_back(static_cast<float>(s / 32768.0));
            }
        }
        if (!ok) *error = "a request of the card never came back";
        return ok;
    }
    void Close() {
        for (ks::KsPin* pin : {&speaker_, &mic_}) {
            if (pin->IsOpen()) (void)pin->SetState(KSSTATE_STOP);
            pin->Close();
        }
        writes_.clear();
        reads_.clear();
        filter_.Close();
    }
    std::vector<float> Played, Recorded;  // mono, 16 kHz
    // Steps after which the machine did not come to rest in time.
    ULONG UnsettledSteps = 0;

private:
    ks::KsFilter filter_;
    ks::KsPin speaker_, mic_;
    ULONGLONG frames_ = 0;
    std::deque<std::shared_ptr<ks::StreamRequest>> writes_, reads_;
};

}  // namespace

int RunMutewellScenario(const Settings& s, Measures* measures) {
    if (s.FilterImage.empty()) {
        std::fprintf(stderr, "kssim: the mutewell scenario needs the Mutewell image\n");
        return 1;
    }
    if (!PrepareMachine(s, MutewellMachine(s.FilterImage), s.FilterImage)) return 1;
    if (!BootMachine(s)) return 1;
    const KpClockMode savedMode = KpClockGetMode();
    KpClockSetMode(KpClockMode::Manual);
    auto camera = DeviceOfRoom("camera");
    std::string error;
    CardApps apps;
    ks::KsFilter control;
    auto cameraLinks = KpPnpInterfaceLinks(PdoOfRoom("camera"), true);
    bool ok = camera != nullptr && !cameraLinks.empty() && NT_SUCCESS(control.Open(cameraLinks[0]));
    if (!ok) error = "cannot open the camera's filter";
    ok = ok && apps.Open(&error);
    // Switching a direction off waits for its buffers in flight, which may
    // wait on the bridge's ring for machine time: the clock moves meanwhile.
    auto set = [&](ULONG id, ULONG value) {
        std::atomic<bool> done{false};
        NTSTATUS status = STATUS_PENDING;
        std::thread request([&] {
            status = control.SetProperty(KSPROPSETID_SwitchMute, id, &value, sizeof value);
            done = true;
        });
        if (!WaitMachine([&] { return done.load(); }, true)) {
            std::fprintf(stderr, "kssim: a property request of the camera never returned\n");
            std::abort();
        }
        request.join();
        return NT_SUCCESS(status);
    };
    const Phase phases[] = {
        {"bridge on", 0, false, false},   {"mute mic", 1, false, true},
        {"mute speaker", 2, true, false}, {"mute both", 3, true, true},
        {"mute off", 0, false, false},
    };
    const int ticks = std::max(20, static_cast<int>(s.Stream.Seconds * 100 / 5));
    struct Mark {
        size_t Camera, Recorded;
    };
    std::vector<std::pair<Mark, Mark>> spans;  // each phase's second half
    std::vector<size_t> stretchStarts;         // where each phase's stretch of sound began
    size_t stretchStart = 0;
    double latencyMs = 0;
    if (ok && !set(kIdSwitch, 1)) ok = false, error = "the switch was refused";
    for (const Phase& p : phases) {
        if (!ok) break;
        if (!set(kIdMute, p.Mute)) {
            ok = false, error = "the mute mode was refused";
            break;
        }
        // A bridged loudspeaker after a muted one starts a stretch of sound.
        if (&p != &phases[0] && (&p)[-1].CameraSilent) stretchStart = RenderedOf(*camera).size();
        stretchStarts.push_back(stretchStart);
        Mark half{};
        double inFlightSum = 0;
        for (int t = 0; t < ticks && ok; ++t) {
            ok = apps.Tick(&error);
            const size_t rendered = RenderedOf(*camera).size();
            if (t == ticks / 2) half = {rendered, apps.Recorded.size()};
            // The bridge's latency: what the application has played but the
            // camera has not yet rendered (8 kHz), over the first phase's end.
            if (&p == &phases[0] && t >= ticks / 2)
                inFlightSum += static_cast<double>(apps.Played.size()) / kRate -
                               static_cast<double>(rendered) / kBridgeRate;
        }
        if (&p == &phases[0]) latencyMs = 1000 * inFlightSum / (ticks - ticks / 2);
        spans.push_back({half, {RenderedOf(*camera).size(), apps.Recorded.size()}});
    }
    if (ok && !set(kIdSwitch, 0)) ok = false, error = "the switch off was refused";
    std::vector<float> cameraRendered =
        camera != nullptr ? RenderedOf(*camera) : std::vector<float>{};
    apps.Close();
    control.Close();
    KpClockSetMode(savedMode);
    bool saved = ShutdownMachine();
    if (!ok) {
        std::fprintf(stderr, "kssim: scenario failed: %s\n", error.c_str());
        return 1;
    }
    if (apps.UnsettledSteps != 0 && !s.Quiet)
        std::printf(
            "warning: %lu steps moved on before the machine came to rest; the run's "
            "timing depended on the host\n",
            static_cast<unsigned long>(apps.UnsettledSteps));
    if (!WriteWavs(s, {{"render.wav", &apps.Played, kRate},
                       {"camera-render.wav", &cameraRendered, kBridgeRate},
                       {"slave-capture.wav", &apps.Recorded, kRate}}))
        return 1;

    int status = saved ? 0 : 1;
    // The bridge's first stretch of sound, from its first period on.
    const Stretch first =
        StretchOf(cameraRendered, 0, spans[0].second.Camera, static_cast<double>(kBridgeRate));
    const double snr =
        ToneSnrDb(cameraRendered, first.From, spans[0].second.Camera, kToneHz, kBridgeRate);
    const double clean =
        CleanShare(cameraRendered, first.From, spans[0].second.Camera, kToneHz, kBridgeRate);
    if (!s.Quiet)
        std::printf(
            "bridge:  latency %.1f ms, tone SNR %.1f dB (median), %.1f %% clean periods at the "
            "camera's render pin from 20 ms after the start\n",
            latencyMs, snr, 100 * clean);
    for (size_t i = 0; i < spans.size(); ++i) {
        const Phase& p = phases[i];
        const auto& [from, to] = spans[i];
        const double cameraDb = LevelDb(cameraRendered, from.Camera, to.Camera);
        const double recordDb = LevelDb(apps.Recorded, from.Recorded, to.Recorded);
        const size_t cameraNonZero = NonZero(cameraRendered, from.Camera, to.Camera);
        const size_t recordNonZero = NonZero(apps.Recorded, from.Recorded, to.Recorded);
        const Stretch stretch = StretchOf(cameraRendered, stretchStarts[i], to.Camera,
                                          static_cast<double>(kBridgeRate));
        if (!s.Quiet) {
            std::printf(
                "phase %-12s camera render %7.1f dBFS (%zu non-zero), slave recording %7.1f dBFS "
                "(%zu non-zero)",
                p.Name, cameraDb, cameraNonZero, recordDb, recordNonZero);
            // A bridged loudspeaker: the tone's median ratio and clean periods
            // (windows of one period whose sine fit reaches 30 dB) of its
            // stretch of sound so far, from the stretch's first period.
            if (!p.CameraSilent) {
                std::printf(
                    ", tone %.1f dB median, %.1f %% clean periods",
                    ToneSnrDb(cameraRendered, stretch.From, to.Camera, kToneHz, kBridgeRate),
                    100 *
                        CleanShare(cameraRendered, stretch.From, to.Camera, kToneHz, kBridgeRate));
            }
            std::printf("\n");
        }
        if (!p.CameraSilent && stretch.GapMs >= 2) {
            std::fprintf(stderr,
                         "kssim: phase %s: %.1f ms of exact silence inside the camera's sound\n",
                         p.Name, stretch.GapMs);
            status = 1;
        }
        if ((p.CameraSilent && cameraNonZero != 0) || (p.RecordingSilent && recordNonZero != 0) ||
            (!p.CameraSilent && cameraNonZero == 0) || (!p.RecordingSilent && recordNonZero == 0)) {
            std::fprintf(stderr,
                         "kssim: phase %s: a muted direction is not silent or a bridged one is\n",
                         p.Name);
            status = 1;
        }
    }
    if (measures != nullptr) {
        (*measures)["bridge_latency_ms"] = latencyMs;
        (*measures)["bridge_snr_db"] = snr;
        (*measures)["bridge_clean_share"] = clean;
    }
    if (!std::isnan(s.MinSnr) && !(snr >= s.MinSnr)) {
        std::fprintf(stderr, "kssim: bridge SNR %.1f dB is below the required %.1f dB\n", snr,
                     s.MinSnr);
        status = 1;
    }
    return status;
}

}  // namespace kp::scenario
