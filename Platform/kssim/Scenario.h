// The backbone scenario on a booted machine: an application plays a far-end
// signal on the first render device while another records from the first
// capture device, both through KsClient, with several requests in flight.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "KsClient.h"

namespace kp::scenario {

// Something the runner does once the machine clock has run At seconds since
// the pins started (before the requests of that step are queued).
struct TimedAction {
    double At = 0;
    std::function<void()> Do;
};

struct Options {
    double Seconds = 5.0;
    ULONG Rate = 16000;        // both pins' (16 bit); a pin that cannot take it fails the run
    ULONG RenderChannels = 1;  // offered maximum
    ULONG WriteMs = 10;        // application buffer lengths
    ULONG ReadMs = 25;
    ULONG InFlight = 4;  // requests kept queued per pin
    ULONG HeaderSize = sizeof(KSSTREAM_HEADER);
    std::vector<float> FarEnd;  // mono at FarRate, looped; empty: a chirped tone
    ULONG FarRate = 16000;
    // The second render channel's own signal (mono at FarRate, looped) in
    // place of the far end, which every other channel carries.  Played keeps
    // the first channel's.
    std::vector<float> FarEndRight;
    bool ManualClock = true;  // advance the machine clock by hand (fast, deterministic)
    std::function<void(double machineSeconds)> Progress;  // about once a machine second
    std::vector<TimedAction> Actions;                     // in any order
    // The image (file name, for example "Echowell.sys") whose system threads
    // created after the pins started are measured: their CPU time in the result.
    std::string ThreadImage;
};

struct Result {
    NTSTATUS Status = STATUS_SUCCESS;
    std::string Error;
    // The rate asked for is outside a pin's ranges (Error names those it
    // offers); a pin opened at another format fails without it.
    bool RateNotOffered = false;
    std::vector<uint8_t> RenderFormat, CaptureFormat;
    ULONGLONG BytesWritten = 0, BytesRead = 0;
    ULONG WritesCompleted = 0, ReadsCompleted = 0;
    KSAUDIO_POSITION RenderPosition{}, CapturePosition{};  // just before STOP
    std::vector<float> Played, Captured;                   // mono, at the pins' rates
    // What the capture device itself delivered into the application's requests,
    // before any filter above it changed the data (mono, at the capture rate).
    std::vector<float> RawCaptured;
    // CPU seconds of ThreadImage's threads made after the pins started, and
    // how many there were (none: NaN seconds); of them, the seconds the host
    // charged while the threads slept in the stand-in's waits.
    double ThreadCpuSeconds = 0;
    double ThreadSleepCpuSeconds = 0;
    ULONG ThreadsMeasured = 0;
    ULONG PlayRate = 0, CaptureRate = 0;
    // Machine seconds from the boot to the pins' start (room changes are timed from the boot).
    double StartSinceBoot = 0;
    // Machine seconds streamed (the stop not included) and host seconds of the whole run.
    double MachineSeconds = 0, HostSeconds = 0;
    // Manual-clock steps after which the machine did not come to rest in
    // time (a thread that never sleeps): the run's timing then depended on
    // the host.
    ULONG UnsettledSteps = 0;
};

Result Run(const Options& options);

// The echo path seen in a recording: the lag (0 to MaxMs) of the largest
// normalised cross-correlation between played (resampled to the capture rate)
// and captured, and the least-squares gain at that lag.  The default range
// covers the canceller's 500 ms with the render queue's 70 ms hold-back and
// an application's buffering on top.
struct EchoEstimate {
    double DelayMs = 0;
    double Gain = 0;
    double Correlation = 0;
};
EchoEstimate MeasureEcho(const std::vector<float>& played, ULONG playRate,
                         const std::vector<float>& captured, ULONG captureRate,
                         double maxMs = 1000.0);

// Echo return loss enhancement in dB: the median over windows of Window
// samples in Raw[From, To) of the energy of Raw over that of Processed Lag
// samples later (the processed signal's delay), counting the windows within
// 30 dB of the loudest (those with echo in them), and an output muted to zero
// as one 16-bit step.  NaN when a range is outside its signal or no window has
// echo.
double ErleDb(const std::vector<float>& raw, const std::vector<float>& processed, size_t from,
              size_t to, size_t lag, size_t window);

}  // namespace kp::scenario
