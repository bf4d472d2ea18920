// Host-only: the simulated KS audio devices ("KpSimAudio", a built-in driver the
// PnP manager loads from Services\KpSimAudio like any other) and the room that
// couples them.
//
// A device's pin table comes from its Enum key's "Device Parameters":
//   "SimProfile" (REG_SZ): "camera" (capture pin 1 only), "speaker" (render pin 0
//     only), "full" (render, capture, two bridge pins; the default) or "extended"
//     (full, then a MIDI-like pin 4, a capture pin 5 with a 96-byte range and a
//     capture pin 6 at 44.1 kHz 24-bit stereo only);
//   "RoomName" (REG_SZ): the device's name in the room (default: the instance path);
//   "CaptureSource" (REG_SZ): "silence", "ramp", "sine" or "room" (default "room");
//   "CaptureChannels" (REG_DWORD): the capture range's maximum channels (default 1);
//   "FilterName" (REG_SZ): the reference string of the device's interfaces
//     (default "Wave"; "global" for a device whose filter is the global one);
//   "DisconnectOnRemoval" (REG_DWORD): non-zero makes the device answer its queued
//     and new stream requests STATUS_DEVICE_NOT_CONNECTED after a surprise removal,
//     as an unplugged USB device does (default 0: queued ones STATUS_CANCELLED, new
//     ones STATUS_DELETE_PENDING, the answer of a stack going away);
//   "ClockOffsetPpm" (REG_DWORD, read as a signed value): the device's sample
//     clock runs at (1 + ppm / 10^6) times the machine clock, so its streams
//     consume and produce that many more (or fewer) frames per machine second,
//     its positions move with them and its frames sit on the room's timeline by
//     its own clock: the room meets a loudspeaker and a microphone in machine
//     time (the microphone interpolating between the loudspeaker's frames), so
//     clocks p ppm apart move the echo by p microseconds a second (default 0);
//   "KernelStreamMdl" (REG_DWORD): non-zero attaches to each kernel-mode stream
//     request an MDL chain describing its data buffers, locked, as a real
//     device's lower edge does; the request's sender unlocks and frees it when
//     the request comes back (default 0: no MDL).
// Tests change anything else through SimAudioDevice before opening it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ksmedia.h"

namespace kp::sim {

inline constexpr const char16_t* kServiceName = u"KpSimAudio";
// Registers the built-in driver under kServiceName (idempotent).
void RegisterDriver();

// A sequence number on one counter shared by every device and by the recording
// logic of tests, so that logs of different parties can be ordered.
ULONGLONG NextSequence();

// The byte a "ramp" capture source puts at stream offset Offset.
inline uint8_t RampByte(ULONGLONG Offset) {
    return static_cast<uint8_t>(Offset % 251);
}

struct AudioRange {
    GUID Major = KSDATAFORMAT_TYPE_AUDIO;
    GUID Sub = KSDATAFORMAT_SUBTYPE_PCM;
    GUID Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    ULONG FormatSize = sizeof(KSDATARANGE_AUDIO);  // 64: a plain KSDATARANGE (no audio limits)
    ULONG MaxChannels = 2;
    ULONG MinBits = 16, MaxBits = 16;
    ULONG MinRate = 8000, MaxRate = 48000;
};

struct FormatPoint {
    ULONG Rate, Bits;
};

enum class CaptureSource { Silence, Ramp, Sine, Room };

struct PinConfig {
    GUID Category = KSCATEGORY_AUDIO;
    KSPIN_DATAFLOW Dataflow = KSPIN_DATAFLOW_IN;
    KSPIN_COMMUNICATION Communication = KSPIN_COMMUNICATION_SINK;
    std::vector<AudioRange> Ranges;
    ULONG MaxInstances = 1;
    NTSTATUS InstanceLimitStatus = STATUS_UNSUCCESSFUL;
    // Intersection knobs.
    ULONG OnlyChannels = 0;              // answer this many channels whatever was offered
    std::vector<FormatPoint> Supported;  // when not empty, only these (rate, bits) points
    std::vector<FormatPoint> Rejected;   // never these
    bool ExtensibleAnswer = false;       // 104-byte answers instead of 82
    bool StrictCreate = false;           // create accepts only the pin's last intersection answer
    // Streaming knobs.
    CaptureSource Source = CaptureSource::Room;
    double SineHz = 440.0, SineAmplitude = 0.25;
    bool StopCancels =
        false;  // STOP completes queued requests cancelled (else success, bytes held)
    bool FailWriteInStop = false;
};

// The volume node.  KSPROPERTY_AUDIO_VOLUMELEVEL (1/65536 dB, channels 0 and 1)
// is answered on the filter and, for its filter, on any of its pins; a set is
// clamped to the device's range and stored unquantised.  Channel 0's level is
// the microphone's gain: everything the room delivers to the device's capture
// pins is scaled by
//     gain_dB = (level of channel 0 - Unity) / 65536
// and clipped at full scale when the samples are written (16 bits: -32768 ..
// 32767).  Ramp, sine and silence sources are not scaled.
// The default range is -96 .. 0 dB in half-dB steps with unity at 0 dB (a
// level only attenuates).  The "camera" profile is a USB microphone's
// preamplifier: 0 .. 60 dB (0 .. 3932160), unity and starting level 3537609
// (about 54 dB), so a level of 3537609 + 65536 x g captures g dB louder than
// the room's signal.  Its range covers every level a gain control of a
// speech device steers between (2980778 .. 3932160).
struct VolumeRange {
    LONG Min = -96 * 65536;
    LONG Max = 0;
    LONG Step = 32768;  // as reported by BASICSUPPORT
    LONG Unity = 0;     // the level that captures the room's signal unscaled
};
VolumeRange CameraVolumeRange();

enum class RequestClass { Create, Close, Property, Stream, Handshake, Count };
struct CompletionMode {
    bool Async = false;          // pend and complete from the device's completion thread
    KIRQL Irql = PASSIVE_LEVEL;  // level of asynchronous and clock-driven completions
    LONGLONG Delay =
        0;  // asynchronous: complete when the machine clock has moved this far (100 ns)
};

// Fails (or answers) the Nth request from now that matches; fields left at their
// wildcard match anything.
struct Fault {
    int Major = -1;
    ULONG IoControl = 0;  // 0: any
    bool MatchSet = false;
    GUID Set{};
    ULONG Id = ~0u;     // property id
    ULONG PinId = ~0u;  // property pin id, or the pin of a create or stream request
    ULONG Nth = 1;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    ULONG_PTR Information = 0;
    bool NeverComplete = false;  // hold it pending until cancelled or the file closes
};

struct RequestRecord {
    ULONGLONG Sequence = 0;
    UCHAR Major = 0, Minor = 0;
    ULONG IoControl = 0;
    PFILE_OBJECT File = nullptr;
    bool IsProperty = false;
    GUID Set{};
    ULONG Id = 0, Flags = 0, PinId = ~0u;
    ULONG InputLength = 0, OutputLength = 0;
    NTSTATUS Status = STATUS_PENDING;  // updated at completion
    ULONG_PTR Information = 0;
    KPROCESSOR_MODE Mode = KernelMode;
    KIRQL Irql = PASSIVE_LEVEL;
    std::thread::id Thread;
};

struct WriteHeaderRecord {
    PVOID Data;  // as the sender gave it
    ULONG FrameExtent, DataUsed;
    std::vector<uint8_t> Bytes;  // the DataUsed bytes as they were at dispatch
    ULONG OptionsFlags = 0;      // KSSTREAM_HEADER_OPTIONSF_* of the header
};

// What one pin instance saw; kept after the pin closes.
struct PinRecord {
    ULONG PinId = 0;
    PFILE_OBJECT File = nullptr;
    std::vector<uint8_t> CreateFormat;
    std::vector<std::vector<uint8_t>> FormatsSet;
    std::vector<KSSTATE> States;
    ULONGLONG BytesConsumed = 0, BytesReceived = 0;   // render, since the last STOP
    ULONGLONG BytesProduced = 0, BytesDelivered = 0;  // capture, since the last STOP
    ULONGLONG TotalConsumed = 0, TotalDelivered = 0;  // never reset
    std::vector<ULONG> ReadFrameExtents;
    std::vector<WriteHeaderRecord> Writes;
    std::vector<uint8_t> Rendered;  // every byte consumed from write requests
    std::vector<uint8_t> Captured;  // every byte delivered in read requests
    ULONG CompletedRequests = 0;
    bool Closed = false;
};

class Device;  // the driver's device (internal)

// A test's handle on one device; valid while the device exists.
class SimAudioDevice {
public:
    // The device on this physical device object's stack, or null.
    static std::shared_ptr<SimAudioDevice> FromPdo(PDEVICE_OBJECT Pdo);
    static std::vector<std::shared_ptr<SimAudioDevice>> All();

    explicit SimAudioDevice(std::shared_ptr<Device> d) : d_(std::move(d)) {}
    PDEVICE_OBJECT Fdo() const;
    std::string RoomName() const;

    // Configuration (before the pins are used).
    std::vector<PinConfig> Pins() const;
    void SetPins(std::vector<PinConfig> Pins);
    void SetCompletion(RequestClass Class, CompletionMode Mode);
    void AddFault(const Fault& F);
    void ClearFaults();
    void SetHandshakeStatus(NTSTATUS Status);
    // As the Device Parameters values of the same names; from the next tick or
    // request on.
    void SetClockOffsetPpm(LONG Ppm);
    void SetKernelStreamMdl(bool Attach);

    // Observations.
    std::vector<RequestRecord> Requests() const;
    void ClearRequests();
    std::vector<PinRecord> PinRecords() const;
    ULONG OpenFilterCount() const;
    ULONG OpenPinCount() const;
    ULONG HandshakeCount() const;
    ULONG QueuedStreamRequests() const;
    // Intersection and range queries answered, per pin id.
    ULONG QueriesAnswered(ULONG PinId, ULONG PropertyId) const;
    // Volume node level (1/65536 dB) of a channel.
    LONG VolumeLevel(ULONG Channel) const;
    // The volume node's range; both levels start again at its unity.
    VolumeRange GetVolumeRange() const;
    void SetVolumeRange(const VolumeRange& Range);
    // The topology's node types in node-id order (KSPROPERTY_TOPOLOGY_NODES);
    // the volume node is the first KSNODETYPE_VOLUME (none: no volume node,
    // its requests are answered STATUS_NOT_FOUND).  Default: the volume alone.
    void SetTopologyNodes(std::vector<GUID> Nodes);

    // Completes every request held by a NeverComplete fault with Status.
    void ReleaseHeld(NTSTATUS Status);
    // Runs on the sending thread of a request a NeverComplete fault matched:
    // with Held false once the log has it, before the device holds it, and
    // with Held true once the device does.  Tests open these windows to what
    // may arrive in them, a removal (empty: none).
    void SetHoldHook(std::function<void(bool Held)> Hook);

private:
    std::shared_ptr<Device> d_;
};

// Runs every device's streaming up to the current machine time now (the clock
// does this by itself on every manual advance and every 10 ms otherwise).
void TickAll();
// Waits until no asynchronous completion is outstanding on any device.
void DrainCompletions();
// Before a manual clock moves on, whatever the last step started finishes:
// the devices' completions, queued work items, and every system thread and
// running work item back asleep with nothing to do (a timed wait is asleep
// too; a work item waiting for the clock, as a stop waits for the sound card
// to play what it holds, lets it move), twice with no wake-up in between.  A step that moved on
// earlier would let the host's scheduling decide where the filters' threads fall against the
// devices, and the same run would sound different on a busy host.  Bounded by HostMs of host time,
// for a thread that never sleeps (a busy wait); FALSE when the bound was reached first.
BOOLEAN SettleMachine(ULONG HostMs);
// One step of a manual clock: the machine settles, the clock moves Ms, the
// machine settles again.  Answers how many of the two settles reached the
// bound of HostMs.
ULONG StepMachine(ULONG Ms, ULONG HostMs);
// With the system threads asleep (SettleMachine): an application thread
// sleeps in the kernel (the caller), and so does every other one inside a
// request, since one still working in a driver (a property request holding a
// lock the caller waits for) needs host time, not machine time.
BOOLEAN CallersAsleep(void);
// Waits in host time until Done.  The clock moves on, 1 ms at a time, only
// while the machine rests and, when CallerInKernel says an application thread
// is on its way through the kernel, while that thread waits there and every
// other application thread inside a request waits too: a thread still at work,
// however slowly the host runs it, never sees the clock move under it.  FALSE after 20 s of host
// time or MaxMs of machine time.
BOOLEAN AdvanceWhileResting(const std::function<bool()>& Done, bool CallerInKernel, ULONG MaxMs);

// ---------------------------------------------------------------------------
// The room.  Signals are mono floats in [-1, 1]; a device's capture mixes its
// near-end source, noise and every echo path that ends at it.
// ---------------------------------------------------------------------------
struct EchoPath {
    std::string Name;           // its key under the room's Paths, which changes name
    std::string From, To;       // room names of the rendering and capturing devices
    double DelayMs = 50.0;      // bulk delay
    double Gain = 0.5;          // of the direct tap
    double TailMs = 0.0;        // length of the decaying tail after the direct tap
    double TailDecayMs = 20.0;  // its amplitude's time constant
    // The tail's energy against the direct tap's: 0.25 is a direct-to-
    // reverberant ratio of 6 dB.
    double TailEnergy = 0.25;
    ULONG Seed = 1;
};
// At AtMs of machine time since the clock started a path takes new values (a path of
// that name appears when there is none) or goes.  A capture applies a change
// at its own frame of that time.
struct PathChange {
    double AtMs = 0;
    bool Remove = false;
    EchoPath Path;  // by Path.Name; every value as it is from then on
};
struct NearEnd {
    std::string Device;
    std::vector<float> Samples;  // looped; empty: a speech-like generator
    ULONG Rate = 16000;
    double Gain = 0.5;
    bool Enabled = true;
    // The capture frame (counted from the clock's start) at which the talker
    // begins: the recording (or the generator) plays from its start there.
    // RoomEnableNearEnd sets it to the first frame captured after the switch.
    LONGLONG StartFrame = 0;
};
void RoomClear();
void RoomAddPath(const EchoPath& Path);
void RoomAddChange(const PathChange& Change);
// The times (ms since the clock started) of the changes, applied or not, in order.
std::vector<double> RoomChangeTimesMs();
void RoomSetNearEnd(const NearEnd& Source);
// Switches a device's near-end source on or off, keeping it; false when the
// device has none.  Switched on, the talker begins anew at that machine time,
// so what is heard after the switch does not depend on how long the machine
// ran before it (a boot on the host's time).
bool RoomEnableNearEnd(const std::string& Device, bool Enabled);
void RoomSetNoise(const std::string& Device, double Rms, ULONG Seed = 7);

}  // namespace kp::sim
