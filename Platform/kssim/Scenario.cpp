#include "Scenario.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <deque>
#include <limits>

#include <thread>

#include "kp/clock.h"
#include "kp/io.h"
#include "kp/simaudio.h"
#include "kp/thread.h"

namespace kp::scenario {
using ks::KsFilter;
using ks::KsPin;

namespace {

// The first streaming pin of a filter with the given dataflow.
NTSTATUS FindPin(KsFilter& filter, KSPIN_DATAFLOW flow, ULONG* pinId) {
    ULONG count = 0;
    NTSTATUS status = filter.PinCount(&count);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG id = 0; id < count; ++id) {
        ULONG dataflow = 0, communication = 0;
        if (!NT_SUCCESS(
                filter.GetPinProperty(id, KSPROPERTY_PIN_DATAFLOW, &dataflow, sizeof dataflow)) ||
            !NT_SUCCESS(filter.GetPinProperty(id, KSPROPERTY_PIN_COMMUNICATION, &communication,
                                              sizeof communication))) {
            continue;
        }
        if (dataflow != static_cast<ULONG>(flow) || communication != KSPIN_COMMUNICATION_SINK)
            continue;
        *pinId = id;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_FOUND;
}

// A 16-bit PCM range of a pin's DATARANGES list.
struct PcmRange {
    ULONG MinRate, MaxRate, MaxChannels;
};

std::vector<PcmRange> PcmRanges(const std::vector<uint8_t>& list) {
    std::vector<PcmRange> ranges;
    KSMULTIPLE_ITEM head{};
    if (list.size() < sizeof head) return ranges;
    std::memcpy(&head, list.data(), sizeof head);
    size_t end = std::min<size_t>(head.Size, list.size());
    size_t at = sizeof head;
    for (ULONG i = 0; i < head.Count && at + sizeof(KSDATARANGE) <= end; ++i) {
        KSDATARANGE_AUDIO r{};
        std::memcpy(&r.DataRange, list.data() + at, sizeof(KSDATARANGE));
        size_t size = r.DataRange.FormatSize;
        if (size < sizeof(KSDATARANGE) || size > end - at) break;
        if (size >= sizeof r && r.DataRange.MajorFormat == KSDATAFORMAT_TYPE_AUDIO &&
            r.DataRange.SubFormat == KSDATAFORMAT_SUBTYPE_PCM) {
            std::memcpy(&r, list.data() + at, sizeof r);
            if (r.MinimumBitsPerSample <= 16 && r.MaximumBitsPerSample >= 16)
                ranges.push_back(
                    {r.MinimumSampleFrequency, r.MaximumSampleFrequency, r.MaximumChannels});
        }
        at += (size + 7) & ~size_t{7};
    }
    return ranges;
}

// "8000 Hz, 16000 Hz" or "8000-48000 Hz", lowest first.
std::string RatesText(std::vector<PcmRange> ranges) {
    if (ranges.empty()) return "no 16-bit PCM rate";
    std::sort(ranges.begin(), ranges.end(), [](const PcmRange& a, const PcmRange& b) {
        return a.MinRate != b.MinRate ? a.MinRate < b.MinRate : a.MaxRate < b.MaxRate;
    });
    std::string text;
    for (size_t i = 0; i < ranges.size(); ++i) {
        const PcmRange& r = ranges[i];
        if (i > 0 && r.MinRate == ranges[i - 1].MinRate && r.MaxRate == ranges[i - 1].MaxRate)
            continue;
        if (!text.empty()) text += ", ";
        text += std::to_string(r.MinRate);
        if (r.MaxRate != r.MinRate) text += "-" + std::to_string(r.MaxRate);
        text += " Hz";
    }
    return text;
}

struct Side {
    KsFilter Filter;
    KsPin Pin;
    WAVEFORMATEX Wave{};
    std::deque<std::shared_ptr<ks::StreamRequest>> InFlight;
};

// Opens the first device of the category at the options' rate, 16 bit, with
// at most Channels channels.  *NotOffered tells a rate outside the pin's
// ranges (the caller's error) from a pin that failed.
NTSTATUS OpenSide(const GUID& category, KSPIN_DATAFLOW flow, const Options& o, ULONG channels,
                  Side* side, std::string* error, bool* notOffered) {
    const std::string pin = flow == KSPIN_DATAFLOW_IN ? "the render pin" : "the capture pin";
    auto links = ks::FindDevices(category);
    if (links.empty()) {
        *error = "no device of the category";
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = side->Filter.Open(links[0]);
    if (!NT_SUCCESS(status)) {
        *error = "cannot open the filter";
        return status;
    }
    ULONG pinId = 0;
    status = FindPin(side->Filter, flow, &pinId);
    if (!NT_SUCCESS(status)) {
        *error = "no streaming pin";
        return status;
    }
    std::vector<uint8_t> list;
    ULONG widest = 0;  // the most channels of a listed range holding the rate
    if (NT_SUCCESS(side->Filter.DataRanges(pinId, &list))) {
        std::vector<PcmRange> ranges = PcmRanges(list);
        for (const PcmRange& r : ranges) {
            if (r.MinRate <= o.Rate && o.Rate <= r.MaxRate)
                widest = std::max(widest, r.MaxChannels);
        }
        if (widest == 0) {
            *error = "not offered: " + pin + " offers " + RatesText(ranges);
            *notOffered = true;
            return STATUS_NOT_SUPPORTED;
        }
    }
    std::vector<uint8_t> format;
    status = side->Filter.Intersect(pinId, ks::OfferPoint(o.Rate, 16, channels), &format);
    // A pin whose ranges at the rate all have more channels than offered may
    // answer with its default format, of another rate: offer their channels.
    if (NT_SUCCESS(status) && ks::WaveOf(format).nSamplesPerSec != o.Rate && widest > channels)
        status = side->Filter.Intersect(pinId, ks::OfferPoint(o.Rate, 16, widest), &format);
    if (!NT_SUCCESS(status)) {
        *error = "no format in common";
        return status;
    }
    status = side->Pin.Create(side->Filter, pinId, format);
    if (!NT_SUCCESS(status)) {
        *error = "pin create failed";
        return status;
    }
    side->Wave = ks::WaveOf(side->Pin.Format());
    // Figures of another format than the one asked for would be taken as its.
    if (side->Wave.nSamplesPerSec != o.Rate || side->Wave.wBitsPerSample != 16) {
        *error = pin + " opened at " + std::to_string(side->Wave.nSamplesPerSec) + " Hz " +
                 std::to_string(side->Wave.wBitsPerSample) + " bit, not the " +
                 std::to_string(o.Rate) + " Hz 16 bit asked for";
        return STATUS_NO_MATCH;
    }
    return STATUS_SUCCESS;
}

double Looped(const std::vector<float>& signal, double t, ULONG rate) {
    return signal[static_cast<size_t>(t * rate) % signal.size()];
}

int16_t Pcm16(double v) {
    return static_cast<int16_t>(std::lround(std::clamp(v, -1.0, 32767.0 / 32768.0) * 32768.0));
}

// The far end at the render pin's rate and channels, as 16-bit bytes.
std::vector<uint8_t> FarBytes(const Options& o, const WAVEFORMATEX& w, ULONGLONG firstFrame,
                              ULONG frames, std::vector<float>* played) {
    std::vector<uint8_t> out(static_cast<size_t>(frames) * w.nBlockAlign);
    for (ULONG f = 0; f < frames; ++f) {
        double t = static_cast<double>(firstFrame + f) / w.nSamplesPerSec;
        double v;
        if (o.FarEnd.empty()) {
            double sweep = std::fmod(t, 2.0);
            v = 0.4 * std::sin(2.0 * M_PI * (200.0 * sweep + 400.0 * sweep * sweep));
        } else {
            v = Looped(o.FarEnd, t, o.FarRate);
        }
        int16_t s = Pcm16(v);
        played->push_back(static_cast<float>(s / 32768.0));
        for (ULONG c = 0; c < w.nChannels; ++c) {
            int16_t own =
                c == 1 && !o.FarEndRight.empty() ? Pcm16(Looped(o.FarEndRight, t, o.FarRate)) : s;
            std::memcpy(&out[f * w.nBlockAlign + c * 2], &own, 2);
        }
    }
    return out;
}

void AppendCapture(const uint8_t* data, ULONG bytes, const WAVEFORMATEX& w,
                   std::vector<float>* out) {
    for (ULONG at = 0; at + w.nBlockAlign <= bytes; at += w.nBlockAlign) {
        int16_t s;
        std::memcpy(&s, data + at, 2);
        out->push_back(static_cast<float>(s / 32768.0));
    }
}

// Calls Use with the capturing device's record of the file's pin, if any.
void ForCaptureRecord(PFILE_OBJECT file,
                      const std::function<void(const kp::sim::PinRecord&)>& use) {
    if (file == nullptr) return;
    for (auto& device : kp::sim::SimAudioDevice::All()) {
        for (auto& record : device->PinRecords()) {
            if (record.File == file) use(record);
        }
    }
}

}  // namespace

Result Run(const Options& o) {
    Result r;
    auto hostStart = std::chrono::steady_clock::now();
    KpClockMode savedMode = KpClockGetMode();
    if (o.ManualClock) KpClockSetMode(KpClockMode::Manual);
    Side render, capture;
    r.Status = OpenSide(KSCATEGORY_RENDER, KSPIN_DATAFLOW_IN, o, o.RenderChannels, &render,
                        &r.Error, &r.RateNotOffered);
    if (NT_SUCCESS(r.Status))
        r.Status = OpenSide(KSCATEGORY_CAPTURE, KSPIN_DATAFLOW_OUT, o, 2, &capture, &r.Error,
                            &r.RateNotOffered);
    if (!NT_SUCCESS(r.Status)) {
        if (o.ManualClock) KpClockSetMode(savedMode);
        return r;
    }
    r.RenderFormat = render.Pin.Format();
    r.CaptureFormat = capture.Pin.Format();
    r.PlayRate = render.Wave.nSamplesPerSec;
    r.CaptureRate = capture.Wave.nSamplesPerSec;
    // The device's own record of the application's capture pin: the same file
    // object reaches it through any filters above.
    PFILE_OBJECT captureFile = nullptr;
    PVOID object = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(capture.Pin.Handle(), 0, *IoFileObjectType, KernelMode,
                                             &object, nullptr))) {
        captureFile = static_cast<PFILE_OBJECT>(object);
    }
    for (Side* s : {&render, &capture}) s->Pin.SetState(KSSTATE_PAUSE);
    bool running = false;
    std::vector<TimedAction> actions = o.Actions;
    std::stable_sort(actions.begin(), actions.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.At < b.At; });
    size_t nextAction = 0;
    ULONG_PTR threadMark = 0;  // the newest system thread before the pins ran

    ULONG writeFrames = render.Wave.nSamplesPerSec * o.WriteMs / 1000;
    ULONG readBytes = capture.Wave.nAvgBytesPerSec * o.ReadMs / 1000;
    readBytes -= readBytes % capture.Wave.nBlockAlign;
    ULONGLONG nextFrame = 0;
    LONGLONG start = KpClockNow();
    r.StartSinceBoot = static_cast<double>(start - KpClockBootTime()) / 1e7;
    LONGLONG end = start + static_cast<LONGLONG>(o.Seconds * 1e7);
    double nextProgress = 1.0;
    while (KpClockNow() < end && NT_SUCCESS(r.Status)) {
        double elapsed = (KpClockNow() - start) / 1e7;
        while (nextAction < actions.size() && actions[nextAction].At <= elapsed) {
            if (actions[nextAction].Do) actions[nextAction].Do();
            ++nextAction;
        }
        while (render.InFlight.size() < o.InFlight) {
            auto bytes = FarBytes(o, render.Wave, nextFrame, writeFrames, &r.Played);
            nextFrame += writeFrames;
            ks::Chunk c{static_cast<ULONG>(bytes.size()), static_cast<ULONG>(bytes.size()),
                        bytes.data()};
            std::shared_ptr<ks::StreamRequest> req;
            NTSTATUS status = render.Pin.Submit(true, {c}, o.HeaderSize, &req);
            if (!NT_SUCCESS(status)) r.Status = status, r.Error = "write refused";
            r.BytesWritten += bytes.size();
            render.InFlight.push_back(req);
        }
        while (capture.InFlight.size() < o.InFlight) {
            std::shared_ptr<ks::StreamRequest> req;
            NTSTATUS status =
                capture.Pin.Submit(false, {ks::Chunk{readBytes, 0, nullptr}}, o.HeaderSize, &req);
            if (!NT_SUCCESS(status)) r.Status = status, r.Error = "read refused";
            capture.InFlight.push_back(req);
        }
        if (!running) {  // both pins start together, with their first requests queued
            for (const KpSystemThreadInfo& t : KpSystemThreads())
                threadMark = std::max(threadMark, t.Id);
            for (Side* s : {&render, &capture}) s->Pin.SetState(KSSTATE_RUN);
            running = true;
        }
        if (o.ManualClock) {
            // A TSan build on a busy host can take half a second of host time
            // for a step of one-second buffers.
            r.UnsettledSteps += kp::sim::StepMachine(10, 10000);
        } else {
            render.InFlight.front()->Wait();
        }
        while (!render.InFlight.empty() && render.InFlight.front()->Done()) {
            if (!NT_SUCCESS(render.InFlight.front()->Status()))
                r.Status = render.InFlight.front()->Status();
            ++r.WritesCompleted;
            render.InFlight.pop_front();
        }
        while (!capture.InFlight.empty() && capture.InFlight.front()->Done()) {
            auto& req = capture.InFlight.front();
            if (!NT_SUCCESS(req->Status())) r.Status = req->Status();
            for (size_t h = 0; h < req->HeaderCount(); ++h) {
                r.BytesRead += req->DataUsed(h);
                AppendCapture(req->Data(h), req->DataUsed(h), capture.Wave, &r.Captured);
            }
            ++r.ReadsCompleted;
            capture.InFlight.pop_front();
        }
        double machine = (KpClockNow() - start) / 1e7;
        if (o.Progress && machine >= nextProgress) {
            o.Progress(machine);
            nextProgress += 1.0;
        }
    }
    r.MachineSeconds = (KpClockNow() - start) / 1e7;
    render.Pin.GetPosition(&r.RenderPosition);
    capture.Pin.GetPosition(&r.CapturePosition);
    // What the device delivered while streaming ran; what it puts into the
    // requests the stop cancels is not the application's.
    size_t rawBytes = 0;
    ForCaptureRecord(captureFile,
                     [&](const kp::sim::PinRecord& record) { rawBytes = record.Captured.size(); });
    auto stop = [&] {
        for (Side* s : {&render, &capture}) s->Pin.SetState(KSSTATE_STOP);
        // STOP completes what was queued; wait for each and drop the rest of the data.
        kp::sim::DrainCompletions();
        for (Side* s : {&render, &capture}) {
            for (auto& req : s->InFlight) req->Wait();
            s->InFlight.clear();
            s->Pin.Close();
            s->Filter.Close();
        }
    };
    if (o.ManualClock) {
        // A filter may finish its STOP only as the devices play on (its
        // processing thread waits for their data before it exits), so the
        // clock keeps moving while another thread stops and closes.
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            stop();
            stopped = true;
        });
        for (kp::sim::SettleMachine(200); !stopped; kp::sim::SettleMachine(200))
            KpClockAdvance(KpMs(10));
        stopper.join();
    } else {
        stop();
    }
    ULONGLONG cpu = 0, asleep = 0;
    for (const KpSystemThreadInfo& t : KpSystemThreads()) {
        if (t.Id <= threadMark || o.ThreadImage.empty() || t.Image != o.ThreadImage) continue;
        cpu += t.CpuTime100ns;
        asleep += t.SleepCpuTime100ns;
        ++r.ThreadsMeasured;
    }
    r.ThreadCpuSeconds = r.ThreadsMeasured != 0 ? cpu / 1e7 : std::nan("");
    r.ThreadSleepCpuSeconds = r.ThreadsMeasured != 0 ? asleep / 1e7 : std::nan("");
    ForCaptureRecord(captureFile, [&](const kp::sim::PinRecord& record) {
        r.RawCaptured.clear();
        AppendCapture(record.Captured.data(),
                      static_cast<ULONG>(std::min(record.Captured.size(), rawBytes)), capture.Wave,
                      &r.RawCaptured);
    });
    if (captureFile != nullptr) ObDereferenceObject(captureFile);
    r.HostSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - hostStart).count();
    if (o.ManualClock) KpClockSetMode(savedMode);
    return r;
}

namespace {

// In-place iterative radix-2 transform of a power-of-two length; Inverse
// leaves the result unscaled.
void Fft(std::vector<std::complex<double>>& a, bool inverse) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        double angle = 2.0 * M_PI / static_cast<double>(len) * (inverse ? 1 : -1);
        std::complex<double> step(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w(1.0);
            for (size_t k = 0; k < len / 2; ++k) {
                std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}

}  // namespace

EchoEstimate MeasureEcho(const std::vector<float>& played, ULONG playRate,
                         const std::vector<float>& captured, ULONG captureRate, double maxMs) {
    EchoEstimate e;
    if (played.empty() || captured.empty() || playRate == 0 || captureRate == 0) return e;
    const size_t n = captured.size();
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i) {
        auto j = static_cast<size_t>(static_cast<double>(i) * playRate / captureRate);
        x[i] = j < played.size() ? played[j] : 0.0;
    }
    auto maxLag = std::min(static_cast<size_t>(maxMs * captureRate / 1000.0), n - 1);
    // Every lag's cross term at once through the transform (zero-padded past
    // the longest lag, so nothing wraps); the energies from running sums.
    size_t size = 1;
    while (size < n + maxLag + 1) size <<= 1;
    std::vector<std::complex<double>> c(size), p(size);
    for (size_t i = 0; i < n; ++i) c[i] = captured[i], p[i] = x[i];
    Fft(c, false);
    Fft(p, false);
    for (size_t i = 0; i < size; ++i) c[i] *= std::conj(p[i]);
    Fft(c, true);
    std::vector<double> xxHead(n + 1, 0.0), yyHead(n + 1, 0.0);  // sums of the first i squares
    for (size_t i = 0; i < n; ++i) {
        xxHead[i + 1] = xxHead[i] + x[i] * x[i];
        yyHead[i + 1] = yyHead[i] + static_cast<double>(captured[i]) * captured[i];
    }
    double best = -1;
    for (size_t lag = 0; lag <= maxLag; ++lag) {
        double xy = c[lag].real() / static_cast<double>(size);
        double xx = xxHead[n - lag], yy = yyHead[n] - yyHead[lag];
        if (xx <= 0 || yy <= 0) continue;
        double corr = xy / std::sqrt(xx * yy);
        if (corr > best) {
            best = corr;
            e.Correlation = corr;
            e.DelayMs = lag * 1000.0 / captureRate;
            e.Gain = xy / xx;
        }
    }
    return e;
}

double ErleDb(const std::vector<float>& raw, const std::vector<float>& processed, size_t from,
              size_t to, size_t lag, size_t window) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (window == 0 || from >= to || to > raw.size() || to + lag > processed.size()) return nan;
    // Windows with echo in them: within 30 dB of the loudest one.
    std::vector<std::pair<double, double>> energies;  // raw, processed
    double loudest = 0;
    for (size_t at = from; at + window <= to; at += window) {
        double in = 0, out = 0;
        for (size_t n = at; n < at + window; ++n) {
            in += static_cast<double>(raw[n]) * raw[n];
            out += static_cast<double>(processed[n + lag]) * processed[n + lag];
        }
        energies.emplace_back(in, out);
        loudest = std::max(loudest, in);
    }
    // An output muted to zero is measured against the 16-bit step, not as infinity.
    const double floor = window / (32768.0 * 32768.0);
    std::vector<double> erle;
    for (const auto& [in, out] : energies) {
        if (in > 0 && in >= loudest * 1e-3)
            erle.push_back(10.0 * std::log10(in / std::max(out, floor)));
    }
    if (erle.empty()) return nan;
    std::sort(erle.begin(), erle.end());
    size_t mid = erle.size() / 2;
    return erle.size() % 2 != 0 ? erle[mid] : (erle[mid - 1] + erle[mid]) / 2;
}

}  // namespace kp::scenario
