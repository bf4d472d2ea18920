// The room between the simulated devices: what a device renders is kept on a
// timeline of absolute frames; a capture reads every echo path that ends at its
// device (delay, direct gain, decaying tail), its near-end source and noise.
#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <mutex>

#include "sim_internal.h"

namespace kp::sim {
namespace {

constexpr size_t kHistory = 1 << 18;  // frames of rendered signal kept per device

struct Rendered {
    ULONG Rate = 0;
    LONG Ppm = 0;  // the rendering device's clock against the machine clock
    std::vector<float> Ring = std::vector<float>(kHistory);
    std::vector<LONGLONG> Frame = std::vector<LONGLONG>(kHistory, -1);  // the frame each slot holds
};

struct Path {
    EchoPath P;
    std::vector<double> Taps;  // at the rendering device's rate
    ULONG TapsRate = 0;
};

struct NoiseSource {
    double Rms = 0;
    uint64_t State = 7;
};

struct Room {
    std::mutex Lock;
    std::map<std::string, Rendered> Render;
    std::vector<Path> Paths;
    std::vector<PathChange> Changes;  // by time; each leaves when applied
    std::vector<double> ChangeTimes;
    std::map<std::string, NearEnd> Near;
    std::map<std::string, NoiseSource> Noise;
    std::map<std::string, double> CaptureGain;
};

Room& TheRoom() {
    static Room* room = new Room;
    return *room;
}

uint64_t Next(uint64_t& s) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return s >> 11;
}
double Uniform(uint64_t& s) {
    return static_cast<double>(Next(s)) / 9007199254740992.0 * 2.0 - 1.0;
}

void MakeTaps(Path& path, ULONG rate) {
    path.TapsRate = rate;
    size_t tail = static_cast<size_t>(path.P.TailMs * rate / 1000.0);
    path.Taps.assign(1 + tail, 0.0);
    path.Taps[0] = 1.0;
    uint64_t seed = path.P.Seed * 2654435761ULL + 1;
    double tau = std::max(path.P.TailDecayMs, 0.1) * rate / 1000.0;
    double energy = 0;
    for (size_t k = 1; k <= tail; ++k) {
        path.Taps[k] = std::exp(-static_cast<double>(k) / tau) * Uniform(seed);
        energy += path.Taps[k] * path.Taps[k];
    }
    // The tail carries its share of the direct tap's energy whatever its length.
    double scale = energy > 0 ? std::sqrt(std::max(path.P.TailEnergy, 0.0) / energy) : 0;
    for (size_t k = 1; k <= tail; ++k) path.Taps[k] *= scale;
}

// A speech-like near end: voiced bursts with a wandering pitch, syllable by syllable.
double SpeechLike(LONGLONG frame, ULONG rate) {
    double t = static_cast<double>(frame) / rate;
    double syllable = std::fmod(t, 0.25) / 0.25;
    double envelope = std::sin(M_PI * syllable);
    envelope *=
        std::fmod(std::floor(t / 0.25), 5.0) == 4.0 ? 0.0 : 1.0;  // a pause every fifth syllable
    double pitch = 140.0 + 30.0 * std::sin(2.0 * M_PI * 0.7 * t);
    double v = 0;
    for (int h = 1; h <= 6; ++h) v += std::sin(2.0 * M_PI * pitch * h * t) / h;
    return 0.3 * envelope * envelope * v;
}

// The path's output (direct tap and tail) at a whole frame of the rendering
// device's timeline.  A tail of a tenth of a second is thousands of taps for
// every captured sample: the hottest loop of a simulated call.  It reads only
// the room's own arrays, under the room's lock, which every writer takes in
// instrumented code; the thread sanitizer, which would otherwise check each of
// its reads and make the long simulated calls several times slower, leaves it
// out.
__attribute__((no_sanitize("thread"))) double Filtered(const Path& path, const Rendered& r,
                                                       LONGLONG base) {
    const double* taps = path.Taps.data();
    const float* ring = r.Ring.data();
    const LONGLONG* frames = r.Frame.data();
    double sum = 0;
    for (size_t k = 0, n = path.Taps.size(); k < n; ++k) {
        const LONGLONG frame = base - static_cast<LONGLONG>(k);
        const size_t i = static_cast<size_t>(frame) % kHistory;
        const float v = frame >= 0 && frames[i] == frame ? ring[i] : 0.0f;
        sum += taps[k] * v;
    }
    return sum;
}

// Where a capture frame falls on a rendering device's timeline.  Both count
// frames by their own clocks from the boot, so the capture frame's machine
// time, less the path's delay, read on the renderer's clock gives the place:
// an offset of p ppm between the two moves the echo by p us a second.
struct Timeline {
    double Ratio;  // render frames per capture frame
    double DelayFrames;
    Timeline(ULONG renderRate, LONG renderPpm, LONG capturePpm, double delayMs) {
        // Exactly 1 for equal clocks: the capture then reads the nearest frame,
        // as it always has.
        Ratio = renderPpm == capturePpm ? 1.0 : (1e6 + renderPpm) / (1e6 + capturePpm);
        DelayFrames = delayMs * renderRate / 1000.0 * (1.0 + renderPpm / 1e6);
    }
    double Source(LONGLONG captureFrame, ULONG renderRate, ULONG captureRate) const {
        return static_cast<double>(captureFrame) * renderRate / captureRate * Ratio - DelayFrames;
    }
};

// Four-point cubic (Catmull-Rom) between y1 (at 0) and y2 (at 1).
double Cubic(double y0, double y1, double y2, double y3, double t) {
    return y1 + 0.5 * t *
                    (y2 - y0 +
                     t * (2.0 * y0 - 5.0 * y1 + 4.0 * y2 - y3 + t * (3.0 * (y1 - y2) + y3 - y0)));
}

}  // namespace

void RoomRender(const std::string& device, ULONG rate, LONG ppm, LONGLONG firstFrame,
                const float* samples, size_t count) {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    Rendered& r = room.Render[device];
    r.Ppm = ppm;
    if (r.Rate != rate) {
        r.Rate = rate;
        std::fill(r.Frame.begin(), r.Frame.end(), -1);
    }
    for (size_t i = 0; i < count; ++i) {
        LONGLONG frame = firstFrame + static_cast<LONGLONG>(i);
        size_t at = static_cast<size_t>(frame) % kHistory;
        r.Ring[at] = samples[i];
        r.Frame[at] = frame;
    }
}

namespace {

// Every path that ends at the device, for Count capture frames from FirstFrame.
void MixPaths(Room& room, const std::string& device, ULONG rate, LONG ppm, LONGLONG firstFrame,
              float* samples, size_t count) {
    for (Path& path : room.Paths) {
        if (path.P.To != device) continue;
        auto it = room.Render.find(path.P.From);
        if (it == room.Render.end() || it->second.Rate == 0) continue;
        const Rendered& r = it->second;
        if (path.TapsRate != r.Rate) MakeTaps(path, r.Rate);
        Timeline line(r.Rate, r.Ppm, ppm, path.P.DelayMs);
        // The path's output at the last few whole frames, each computed once.
        constexpr size_t kMemo = 8;
        LONGLONG memoFrame[kMemo];
        double memoValue[kMemo];
        std::fill(memoFrame, memoFrame + kMemo, LLONG_MIN);
        auto filtered = [&](LONGLONG frame) {
            size_t slot = static_cast<size_t>(frame) % kMemo;
            if (memoFrame[slot] != frame) {
                memoFrame[slot] = frame;
                memoValue[slot] = Filtered(path, r, frame);
            }
            return memoValue[slot];
        };
        for (size_t i = 0; i < count; ++i) {
            double source = line.Source(firstFrame + static_cast<LONGLONG>(i), r.Rate, rate);
            double sum;
            if (line.Ratio == 1.0) {
                sum = Filtered(path, r, static_cast<LONGLONG>(std::llround(source)));
            } else {
                // Clocks apart: the microphone samples the air between the
                // loudspeaker's frames.
                double whole = std::floor(source);
                auto base = static_cast<LONGLONG>(whole);
                sum = Cubic(filtered(base - 1), filtered(base), filtered(base + 1),
                            filtered(base + 2), source - whole);
            }
            samples[i] += static_cast<float>(path.P.Gain * sum);
        }
    }
}

// Applies a change to the room's paths.
void Apply(Room& room, const PathChange& change) {
    auto it = std::find_if(room.Paths.begin(), room.Paths.end(),
                           [&](const Path& p) { return p.P.Name == change.Path.Name; });
    if (change.Remove) {
        if (it != room.Paths.end()) room.Paths.erase(it);
    } else if (it != room.Paths.end()) {
        *it = {change.Path, {}, 0};
    } else {
        room.Paths.push_back({change.Path, {}, 0});
    }
}

// The first capture frame, by a clock of Ppm at Rate, at or after AtMs since the clock started.
LONGLONG FrameAt(double atMs, ULONG rate, LONG ppm) {
    return static_cast<LONGLONG>(std::ceil(atMs / 1000.0 * rate * (1.0 + ppm / 1e6) - 1e-9));
}

}  // namespace

void RoomCapture(const std::string& device, ULONG rate, LONG ppm, LONGLONG firstFrame,
                 float* samples, size_t count) {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    for (size_t i = 0; i < count; ++i) samples[i] = 0.0f;
    // The paths as they are at each frame: the changes that concern this
    // device's paths split the block where they fall.
    size_t done = 0;
    while (done < count) {
        size_t end = count;
        for (size_t c = 0; c < room.Changes.size();) {
            const PathChange& change = room.Changes[c];
            auto old = std::find_if(room.Paths.begin(), room.Paths.end(),
                                    [&](const Path& p) { return p.P.Name == change.Path.Name; });
            bool mine =
                change.Path.To == device || (old != room.Paths.end() && old->P.To == device);
            if (!mine) {
                ++c;
                continue;
            }
            LONGLONG at = FrameAt(change.AtMs, rate, ppm);
            if (at > firstFrame + static_cast<LONGLONG>(done)) {
                end = std::min(end, static_cast<size_t>(at - firstFrame));
                break;  // later ones wait for this one
            }
            Apply(room, change);
            room.Changes.erase(room.Changes.begin() + static_cast<long>(c));
        }
        MixPaths(room, device, rate, ppm, firstFrame + static_cast<LONGLONG>(done), samples + done,
                 end - done);
        done = end;
    }
    auto near = room.Near.find(device);
    if (near != room.Near.end() && near->second.Enabled) {
        NearEnd& n = near->second;
        if (n.StartFrame < 0) n.StartFrame = firstFrame;  // switched on since the last block
        for (size_t i = 0; i < count; ++i) {
            LONGLONG frame = firstFrame + static_cast<LONGLONG>(i) - n.StartFrame;
            if (frame < 0) continue;  // the talker has not begun
            double v;
            if (n.Samples.empty()) {
                v = SpeechLike(frame, rate);
            } else {
                auto at = static_cast<LONGLONG>(static_cast<double>(frame) * n.Rate / rate);
                v = n.Samples[static_cast<size_t>(at % static_cast<LONGLONG>(n.Samples.size()))];
            }
            samples[i] += static_cast<float>(n.Gain * v);
        }
    }
    auto noise = room.Noise.find(device);
    if (noise != room.Noise.end() && noise->second.Rms > 0) {
        NoiseSource& s = noise->second;
        // A sum of three uniforms: near-Gaussian with the requested RMS.
        for (size_t i = 0; i < count; ++i) {
            double v = (Uniform(s.State) + Uniform(s.State) + Uniform(s.State));
            samples[i] += static_cast<float>(s.Rms * v);
        }
    }
    auto gain = room.CaptureGain.find(device);
    if (gain != room.CaptureGain.end() && gain->second != 1.0) {
        for (size_t i = 0; i < count; ++i)
            samples[i] = static_cast<float>(samples[i] * gain->second);
    }
}

void RoomSetCaptureGain(const std::string& device, double gain) {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    room.CaptureGain[device] = gain;
}

void RoomClear() {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    room.Render.clear();
    room.Paths.clear();
    room.Changes.clear();
    room.ChangeTimes.clear();
    room.Near.clear();
    room.Noise.clear();
}

void RoomAddPath(const EchoPath& p) {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    room.Paths.push_back({p, {}, 0});
}

void RoomAddChange(const PathChange& change) {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    auto at = std::upper_bound(room.Changes.begin(), room.Changes.end(), change.AtMs,
                               [](double ms, const PathChange& c) { return ms < c.AtMs; });
    room.Changes.insert(at, change);
    room.ChangeTimes.insert(
        std::upper_bound(room.ChangeTimes.begin(), room.ChangeTimes.end(), change.AtMs),
        change.AtMs);
}

std::vector<double> RoomChangeTimesMs() {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    return room.ChangeTimes;
}

void RoomSetNearEnd(const NearEnd& source) {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    room.Near[source.Device] = source;
}

bool RoomEnableNearEnd(const std::string& device, bool enabled) {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    auto near = room.Near.find(device);
    if (near == room.Near.end()) return false;
    if (enabled && !near->second.Enabled) near->second.StartFrame = -1;  // the next frame captured
    near->second.Enabled = enabled;
    return true;
}

void RoomSetNoise(const std::string& device, double rms, ULONG seed) {
    Room& room = TheRoom();
    std::lock_guard<std::mutex> lock(room.Lock);
    room.Noise[device] = {rms, seed};
}

}  // namespace kp::sim
