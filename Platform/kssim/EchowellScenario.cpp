// The echo-cancelling scenario: the default machine with the filter image as
// the camera's upper filter (the master; it hooks the sound card as slave at
// run time).  An application plays the far end on the sound card while
// another records the camera; the room carries the loudspeaker's echo into the
// camera's microphone.  The near end stays off for a first phase, so that the
// echo return loss enhancement can be measured over its converged end; then
// both talk.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "EchowellControl.h"
#include "Runner.h"
#include "kp/simaudio.h"

namespace fs = std::filesystem;

namespace kp::scenario {
namespace {

// The driver key option that makes the filter on the camera the master.
constexpr char kMasterOption[] = ECHOWELL_OPTION_MASTER;
// The rate mode of the filter's private property set on the camera's filter.
constexpr ULONG kRateModeId = 9;
// Setting it non-zero makes the filter's wave correlator estimate the echo delay anew.
constexpr ULONG kRecorrelateId = 12;
// The least normalised correlation at which a lag counts as measured.
constexpr double kMinCorrelation = 0.3;

// Sets one of the filter's controls on the first capture filter (the camera,
// the master), as a control application does.
NTSTATUS SetControl(ULONG id, ULONG value) {
    auto links = kp::ks::FindDevices(KSCATEGORY_CAPTURE);
    kp::ks::KsFilter filter;
    NTSTATUS status = links.empty() ? STATUS_NO_SUCH_DEVICE : filter.Open(links[0]);
    if (NT_SUCCESS(status))
        status = filter.SetProperty(KSPROPSETID_AecControl, id, &value, sizeof value);
    return status;
}

bool SetRateMode(LONG mode) {
    NTSTATUS status = SetControl(kRateModeId, static_cast<ULONG>(mode));
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "kssim: the rate mode %d was refused (0x%08X)\n",
                     static_cast<int>(mode), static_cast<unsigned>(status));
        return false;
    }
    return true;
}

kp::machine::DefaultMachine EchowellMachine(const fs::path& image) {
    kp::machine::DefaultMachine machine;
    if (image.empty()) return machine;  // no filter: the plain default machine
    std::string service = image.stem().string();
    machine.Kind = "echowell";
    for (kp::machine::SimDevice& device : machine.Devices) {
        if (device.Profile != "camera") continue;
        device.UpperFilters = {service};
        device.DriverOptions = {{kMasterOption, 1}};
    }
    machine.Extra = kp::machine::ServiceText(service, image.filename().string());
    return machine;
}

std::vector<float> Slice(const std::vector<float>& v, size_t from, size_t to) {
    from = std::min(from, v.size());
    to = std::clamp(to, from, v.size());
    return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(to)};
}

void SetNearEnds(const std::vector<std::string>& rooms, bool enabled) {
    for (const std::string& room : rooms) kp::sim::RoomEnableNearEnd(room, enabled);
}

// The lags searched for the echo, and the stretch of far end that a
// measurement needs (half a second more than the lags).
constexpr double kSearchMs = 1000;
constexpr double kMeasuredMs = kSearchMs + 500;
// The stretch measured at either end of a long far-end phase.
constexpr double kEndMs = 2000;

// The echo over the far-end phase [0, Frames) of the capture: over all of it,
// and over its first and last kEndMs when it holds both apart.  Not measured
// when the phase is too short or no lag correlates (Best then holds the
// lag that came nearest).
struct EchoPhase {
    size_t Frames = 0;
    bool Measured = false;
    bool Slid = false;  // the start and the end differ: a drifting clock
    EchoEstimate Whole, Start, End;
    size_t EndFrom = 0;  // the end stretch's first frame
};

EchoPhase MeasureEchoPhase(const Result& r, size_t frames) {
    EchoPhase e;
    const ULONG rate = r.CaptureRate;
    auto toPlayed = [&](size_t f) {
        return static_cast<size_t>(static_cast<double>(f) * r.PlayRate / rate);
    };
    auto measure = [&](size_t from, size_t to) {
        return MeasureEcho(Slice(r.Played, toPlayed(from), toPlayed(to)), r.PlayRate,
                           Slice(r.RawCaptured, from, to), rate, kSearchMs);
    };
    e.Frames = std::min(frames, r.RawCaptured.size());
    e.Frames = std::min(e.Frames, static_cast<size_t>(static_cast<double>(r.Played.size()) * rate /
                                                      std::max<ULONG>(r.PlayRate, 1)));
    if (e.Frames < static_cast<size_t>(kMeasuredMs * rate / 1000)) return e;
    e.Whole = measure(0, e.Frames);
    e.Start = e.End = e.Whole;
    const auto end = static_cast<size_t>(kEndMs * rate / 1000);
    if (e.Frames >= 2 * end) {
        e.EndFrom = e.Frames - end;
        EchoEstimate start = measure(0, end), last = measure(e.EndFrom, e.Frames);
        if (start.Correlation >= kMinCorrelation && last.Correlation >= kMinCorrelation &&
            std::abs(start.DelayMs - last.DelayMs) > 0.5) {
            e.Slid = true;
            e.Start = start;
            e.End = last;
        }
    }
    e.Measured = e.Slid || e.Whole.Correlation >= kMinCorrelation;
    return e;
}

double GainDb(const EchoEstimate& e) {
    return 20.0 * std::log10(std::max(std::abs(e.Gain), 1e-9));
}

void PrintEchoPhase(const EchoPhase& e, ULONG rate) {
    const double seconds = static_cast<double>(e.Frames) / rate;
    if (e.Frames < static_cast<size_t>(kMeasuredMs * rate / 1000)) {
        std::printf(
            "echo:    delay not measured (a far-end phase of %.2f s; lags up to %.0f ms need "
            "%.1f s)\n",
            seconds, kSearchMs, kMeasuredMs / 1000);
    } else if (!e.Measured) {
        std::printf(
            "echo:    delay not measured (no lag up to %.0f ms correlates over the far-end "
            "phase of %.1f s: at best %.2f, at %.1f ms)\n",
            kSearchMs, seconds, e.Whole.Correlation, e.Whole.DelayMs);
    } else if (e.Slid) {
        std::printf(
            "echo:    delay %.1f ms over 0.0-%.1f s and %.1f ms over %.1f-%.1f s from the played "
            "far end to the raw capture (the echo moved), gain %.1f dB (correlation %.2f, "
            "%.2f)\n",
            e.Start.DelayMs, kEndMs / 1000, e.End.DelayMs, static_cast<double>(e.EndFrom) / rate,
            seconds, GainDb(e.End), e.Start.Correlation, e.End.Correlation);
    } else {
        std::printf(
            "echo:    delay %.1f ms from the played far end to the raw capture, gain %.1f "
            "dB (correlation %.2f)\n",
            e.Whole.DelayMs, GainDb(e.Whole), e.Whole.Correlation);
    }
}

}  // namespace

int RunEchowellScenario(const Settings& s, Measures* measures) {
    std::optional<OneHostCpu> pin;  // before the boot: every machine thread inherits it
    if (s.OneCpu) pin.emplace();
    kp::machine::DefaultMachine machine = EchowellMachine(s.FilterImage);
    machine.Extra += s.MachineExtra;
    if (!PrepareMachine(s, machine, s.FilterImage)) return 1;
    if (!BootMachine(s)) return 1;
    if (s.RateMode >= 0 && !SetRateMode(s.RateMode)) {
        ShutdownMachine();
        return 1;
    }
    Options o = s.Stream;
    if (!s.FilterImage.empty()) o.ThreadImage = s.FilterImage.filename().string();
    double farOnly = s.FarOnly < 0 ? 0.6 * o.Seconds : std::min(s.FarOnly, o.Seconds);
    std::vector<std::string> rooms = CaptureRoomNames();
    SetNearEnds(rooms, farOnly <= 0);
    o.Actions.push_back({farOnly, [rooms] { SetNearEnds(rooms, true); }});
    std::vector<std::pair<double, NTSTATUS>> recorrelations;  // when, the filter's answer
    for (double at : s.RecorrelateAt) {
        o.Actions.push_back({at, [at, &recorrelations] {
                                 recorrelations.push_back({at, SetControl(kRecorrelateId, 1)});
                             }});
    }
    if (!s.Quiet) {
        std::printf(
            "kssim: machine %s booted; streaming %.1f s of machine time (%s clock), "
            "the far end alone for the first %.1f s\n",
            fs::absolute(s.Machine).c_str(), o.Seconds, o.ManualClock ? "stepped" : "real-time",
            farOnly);
        o.Progress = [](double seconds) {
            std::printf("\r  %5.1f s", seconds);
            std::fflush(stdout);
        };
    }
    Result r = Run(o);
    if (!s.Quiet) std::printf("\n");
    std::vector<double> changes;  // the room's changes, seconds after the pins started
    for (double ms : kp::sim::RoomChangeTimesMs()) changes.push_back(ms / 1000 - r.StartSinceBoot);
    bool saved = ShutdownMachine();
    if (r.RateNotOffered) {
        std::fprintf(stderr, "kssim: --rate %u: %s\n", static_cast<unsigned>(o.Rate),
                     r.Error.c_str());
        return 2;
    }
    if (!NT_SUCCESS(r.Status)) {
        std::fprintf(stderr, "kssim: scenario failed (0x%08X): %s\n",
                     static_cast<unsigned>(r.Status), r.Error.c_str());
        return 1;
    }
    if (!WriteWavs(s, {{"render.wav", &r.Played, r.PlayRate},
                       {"capture.wav", &r.Captured, r.CaptureRate},
                       {"capture-raw.wav", &r.RawCaptured, r.CaptureRate}}))
        return 1;

    const ULONG rate = r.CaptureRate;
    auto farEnd = static_cast<size_t>(farOnly * rate);
    size_t captured = std::min(r.Captured.size(), r.RawCaptured.size());
    // The delay the echo canceller has to find: from what the application
    // played to what the microphone delivered (the hold-back of the render
    // stream and the device's queue included), over the far-end phase as far
    // as both recordings reach.  On a drifting clock the echo slides through
    // the phase, and one figure over all of it is smeared: its first and last
    // seconds are measured apart, and both printed when they differ.
    EchoPhase echo = MeasureEchoPhase(r, std::min(farEnd, captured));
    // The capture latency the filter adds: the lag of the processed capture
    // behind the raw one while the near end (in both) talks, at most 3 s of it.
    // The lag is all that is measured here, not how well the near end came
    // through: a canceller that holds the near end down for part of the
    // double talk still leaves one lag standing out (0.44 against at most
    // 0.2 elsewhere in such a run), while no lag of unrelated speech comes
    // near 0.3.
    double latencyMs = std::nan("");
    if (captured > farEnd + rate / 2) {
        size_t to = std::min(captured, farEnd + 3 * static_cast<size_t>(rate));
        EchoEstimate lag = MeasureEcho(Slice(r.RawCaptured, farEnd, to), rate,
                                       Slice(r.Captured, farEnd, to), rate, 300);
        if (lag.Correlation > 0.3) latencyMs = lag.DelayMs;
    }
    // The enhancement over the converged end of the far-end phase: its last two
    // seconds (its second half when shorter), ending 100 ms before the near end
    // comes in so that the processed window holds no near-end speech.
    // Without the added latency the processed windows cannot be aligned with
    // the raw ones, and a figure from misaligned windows is no figure.
    double erle = std::nan("");
    size_t lagFrames = std::isnan(latencyMs) ? 0 : static_cast<size_t>(latencyMs * rate / 1000);
    size_t erleTo = farEnd > rate / 10 ? farEnd - rate / 10 : 0;
    erleTo = std::min(erleTo, captured > lagFrames ? captured - lagFrames : 0);
    size_t erleFrom = erleTo - std::min(erleTo / 2, 2 * static_cast<size_t>(rate));
    if (erleTo > erleFrom && !std::isnan(latencyMs))
        erle = ErleDb(r.RawCaptured, r.Captured, erleFrom, erleTo, lagFrames, rate / 10);

    // Each change of the room during the far-end phase: the enhancement over
    // the two seconds before it and over the two seconds before the next
    // change (or the phase's end), so a run shows whether it recovers.
    struct ChangeErle {
        double At, Before, After, AfterFrom, AfterTo;
    };
    std::vector<ChangeErle> changeErle;
    for (size_t c = 0; c < changes.size(); ++c) {
        double at = changes[c];
        double end = c + 1 < changes.size() ? changes[c + 1] : farOnly;
        if (at <= 0 || at >= farOnly) continue;
        auto frame = [&](double seconds) {
            return static_cast<size_t>(std::max(seconds, 0.0) * rate);
        };
        ChangeErle e{at, std::nan(""), std::nan(""), std::max(at, end - 2.1), end - 0.1};
        if (!std::isnan(latencyMs) && captured > lagFrames) {
            size_t last = captured - lagFrames;
            e.Before = ErleDb(r.RawCaptured, r.Captured, frame(at - 2.1),
                              std::min(frame(at - 0.1), last), lagFrames, rate / 10);
            e.After = ErleDb(r.RawCaptured, r.Captured, frame(e.AfterFrom),
                             std::min(frame(e.AfterTo), last), lagFrames, rate / 10);
        }
        changeErle.push_back(e);
    }

    if (measures != nullptr) {
        if (!changeErle.empty()) {
            (*measures)["erle_before_change_db"] = changeErle[0].Before;
            (*measures)["erle_after_change_db"] = changeErle[0].After;
        }
        (*measures)["erle_db"] = erle;
        (*measures)["echo_delay_ms"] = echo.Measured ? echo.Start.DelayMs : std::nan("");
        (*measures)["echo_delay_end_ms"] = echo.Measured ? echo.End.DelayMs : std::nan("");
        (*measures)["added_latency_ms"] = latencyMs;
        (*measures)["cpu_per_second"] = r.ThreadCpuSeconds / r.MachineSeconds;
        (*measures)["sleep_cpu_per_second"] = r.ThreadSleepCpuSeconds / r.MachineSeconds;
        (*measures)["one_cpu"] = pin && pin->Cpu() >= 0 ? 1 : 0;
        (*measures)["machine_seconds"] = r.MachineSeconds;
        (*measures)["host_seconds"] = r.HostSeconds;
    }
    if (!s.Quiet) {
        PrintStreams(r);
        PrintEchoPhase(echo, rate);
        if (std::isnan(erle) && std::isnan(latencyMs))
            std::printf("erle:    not measured (the added latency was not measured)\n");
        else if (std::isnan(erle))
            std::printf("erle:    not measured (too short a far-end phase)\n");
        else
            std::printf(
                "erle:    %.1f dB (median of 100 ms windows) over %.1f-%.1f s (far end "
                "alone)\n",
                erle, static_cast<double>(erleFrom) / rate, static_cast<double>(erleTo) / rate);
        for (const ChangeErle& e : changeErle) {
            auto figure = [](double db) {
                char text[32];
                if (std::isnan(db)) return std::string("not measured");
                std::snprintf(text, sizeof text, "%.1f dB", db);
                return std::string(text);
            };
            std::printf(
                "room:    changed at %.2f s; erle %s over the 2 s before, %s over %.1f-%.1f s\n",
                e.At, figure(e.Before).c_str(), figure(e.After).c_str(), e.AfterFrom, e.AfterTo);
        }
        for (const auto& [at, status] : recorrelations) {
            if (NT_SUCCESS(status))
                std::printf("recorrelate: asked for at %.2f s\n", at);
            else
                std::printf("recorrelate: asked for at %.2f s, refused (0x%08X)\n", at,
                            static_cast<unsigned>(status));
        }
        if (std::isnan(latencyMs))
            std::printf("latency: not measured (no double talk after the far-end phase)\n");
        else
            std::printf("latency: %.1f ms added to the capture\n", latencyMs);
        PrintThreadCpu(r, pin ? pin->Cpu() : -1);
    }
    if (!saved) return 1;
    for (const auto& [at, status] : recorrelations) {
        if (!NT_SUCCESS(status)) return 1;
    }
    if (!std::isnan(s.MinErle) && !(erle >= s.MinErle)) {
        std::fprintf(stderr, "kssim: ERLE %.1f dB is below the required %.1f dB\n", erle,
                     s.MinErle);
        return 1;
    }
    return 0;
}

}  // namespace kp::scenario
