// The simulated KS audio device's internals, shared by its source files.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "kp/simaudio.h"

namespace kp::sim {

// A view of a caller's buffer the device may touch: the address itself for
// kernel callers, a locked and mapped MDL for application memory.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { Release(); }
    NTSTATUS Map(PVOID address, ULONG length, KPROCESSOR_MODE mode, LOCK_OPERATION access);
    void Release();
    uint8_t* Get() const { return system_; }

private:
    PMDL mdl_ = nullptr;
    uint8_t* system_ = nullptr;
};

struct StreamPart {
    KSSTREAM_HEADER* Header = nullptr;  // in the mapped header array
    std::unique_ptr<BufferView> Data;
    ULONG Extent = 0;  // FrameExtent (read) or DataUsed (write) as captured at dispatch
    ULONG Done = 0;
};

struct StreamRequest {
    PIRP Irp = nullptr;
    bool Write = false;
    BufferView Headers;
    std::vector<StreamPart> Parts;
    size_t Current = 0;
    size_t LogIndex = 0;
    ULONGLONG LogGeneration = 0;
};

struct PinInstance {
    ULONG Id = 0;
    PFILE_OBJECT File = nullptr;
    KSSTATE State = KSSTATE_STOP;
    std::vector<uint8_t> Format;
    WAVEFORMATEX Wfx{};
    bool IsAudio = false;
    std::deque<StreamRequest*> Queue;
    LONGLONG LastTick = 0;
    LONGLONG Fraction = 0;       // frames x 10^13 carried between ticks (Device::FramesIn)
    LONGLONG AbsoluteFrame = 0;  // the room's frame index of the next frame
    double Phase = 0.0;
    size_t Record = 0;  // index into the device's pin records
};

struct Completion {
    PIRP Irp;
    NTSTATUS Status;
    ULONG_PTR Information;
    KIRQL Irql;
};

struct DelayedCompletion {
    Completion C;
    LONGLONG Due;
};

struct HeldRequest {
    PIRP Irp;
    PFILE_OBJECT File;
};

class Device : public std::enable_shared_from_this<Device> {
public:
    Device(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo);
    ~Device();

    NTSTATUS Dispatch(PIRP irp);
    void StartThreads();
    void Shutdown();  // cancels everything, stops the completion thread

    // Streaming on the machine clock (render pins first across devices).
    void TickRender(LONGLONG now, std::vector<Completion>& done);
    void TickCapture(LONGLONG now, std::vector<Completion>& done);
    // Delayed answers that are due (all of them when now is LLONG_MAX).
    void TickDelayed(LONGLONG now, std::vector<Completion>& done);

    mutable std::mutex Lock;
    PDEVICE_OBJECT Fdo, Lower, Pdo;
    std::string RoomName;
    std::u16string FilterName = u"Wave";
    std::vector<PinConfig> Pins;
    CompletionMode Modes[static_cast<int>(RequestClass::Count)];
    std::vector<std::pair<Fault, ULONG>> Faults;  // fault, matching requests seen
    NTSTATUS HandshakeStatus = STATUS_SUCCESS;
    ULONG Handshakes = 0;
    std::vector<RequestRecord> Log;
    ULONGLONG LogGeneration = 0;
    std::vector<PinRecord> Records;
    std::map<std::pair<ULONG, ULONG>, ULONG> Answered;
    std::map<PFILE_OBJECT, int> Filters;
    std::map<PFILE_OBJECT, std::unique_ptr<PinInstance>> PinFiles;
    std::map<ULONG, std::vector<uint8_t>> LastIntersection;
    std::vector<HeldRequest> Held;
    std::function<void(bool)> HoldHook;      // SimAudioDevice::SetHoldHook
    std::vector<DelayedCompletion> Delayed;  // asynchronous answers waiting for the clock
    LONG Volume[2] = {0, 0};
    VolumeRange VolumeBounds;
    std::vector<GUID> TopologyNodes{KSNODETYPE_VOLUME};
    // The id of the volume node, or -1 without one.
    LONG VolumeNodeId() const;
    // Both levels at the range's unity, the microphone's gain with them.
    void ResetVolume(const VolumeRange& range);
    // Hands channel 0's level to the room as the capture gain.
    void UpdateCaptureGain() const;
    std::vector<UNICODE_STRING> Links;
    bool Removed = false;
    // Device Parameters "DisconnectOnRemoval": after a surprise removal, stream
    // requests are answered STATUS_DEVICE_NOT_CONNECTED, as by an unplugged USB
    // device (else queued ones STATUS_CANCELLED, new ones STATUS_DELETE_PENDING).
    bool DisconnectOnRemoval = false;
    // Device Parameters "ClockOffsetPpm": the sample clock against the machine
    // clock, in parts per million, used within +-100000 (under Lock).
    LONG ClockOffsetPpm = 0;
    LONG ClockPpm() const;  // ClockOffsetPpm within its range (under Lock)
    // Device Parameters "KernelStreamMdl": kernel-mode stream requests get a
    // locked MDL chain for their data (under Lock).
    bool KernelStreamMdl = false;
    // Frames at Rate in Elapsed (100 ns) of machine time by this device's clock,
    // Fraction carrying the remainder between calls (frames x 10^13).
    LONGLONG FramesIn(LONGLONG elapsed, ULONG rate, LONGLONG* fraction) const;
    // What a stream request cancelled by the device itself is answered: the
    // removal answer once the device is gone, else STATUS_CANCELLED.
    NTSTATUS CancelAnswer(PIRP irp) const;

    // Asynchronous completions.
    void QueueCompletion(const Completion& c);
    bool CompletionsIdle();
    std::mutex AsyncLock;
    std::condition_variable AsyncWake, AsyncIdle;
    std::deque<Completion> AsyncQueue;
    bool AsyncBusy = false, AsyncStop = false;
    std::thread AsyncThread;

private:
    NTSTATUS DispatchCreate(PIRP irp, PIO_STACK_LOCATION stack, size_t log);
    NTSTATUS DispatchClose(PIRP irp, PIO_STACK_LOCATION stack, size_t log);
    NTSTATUS DispatchCleanup(PIRP irp, PIO_STACK_LOCATION stack, size_t log);
    NTSTATUS DispatchControl(PIRP irp, PIO_STACK_LOCATION stack, size_t log);
    NTSTATUS DispatchProperty(PIRP irp, PIO_STACK_LOCATION stack, size_t log);
    NTSTATUS DispatchStream(PIRP irp, PIO_STACK_LOCATION stack, size_t log, bool write);
    NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR info, size_t log, RequestClass cls);
    const Fault* MatchFault(const RequestRecord& r);
    NTSTATUS Hold(PIRP irp, PFILE_OBJECT file, const std::function<void(bool)>& hook);
    // Takes a pin's queued requests (and held ones of the file) for completion.
    void DrainPin(PinInstance& pin, bool cancel, std::vector<Completion>& done);
    void DrainHeld(PFILE_OBJECT file, std::vector<Completion>& done);

public:
    // Finishes a stream request: headers written back, views released, record kept.
    Completion FinishStream(StreamRequest* req, NTSTATUS status, PinInstance& pin);
    void CompleteAll(std::vector<Completion>& done);
    static void CancelQueued(PDEVICE_OBJECT device, PIRP irp);
    static void CancelHeld(PDEVICE_OBJECT device, PIRP irp);
    void ReleaseHeld(NTSTATUS status);
};

// The set of live devices, the clock hook and the real-time ticker.
void AddLiveDevice(const std::shared_ptr<Device>& device);
void RemoveLiveDevice(const std::shared_ptr<Device>& device);
std::shared_ptr<Device> DeviceOf(PDEVICE_OBJECT fdo);

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR info = 0);

// Sample conversion.
double ReadSample(const uint8_t* p, ULONG bits);
void WriteSample(uint8_t* p, ULONG bits, double value);

// Room: rendered signal and capture mix.  Frames are counted by the device's
// own clock (Ppm off the machine clock) from the boot; the room meets the two
// timelines in machine time.
void RoomRender(const std::string& device, ULONG rate, LONG ppm, LONGLONG firstFrame,
                const float* samples, size_t count);
void RoomCapture(const std::string& device, ULONG rate, LONG ppm, LONGLONG firstFrame,
                 float* samples, size_t count);
// The linear gain of the device's microphone, applied to everything its
// capture reads from the room (1 until set; kept by RoomClear: it is the
// device's, not the room's).
void RoomSetCaptureGain(const std::string& device, double gain);

// Pin table of a profile ("full", "camera", "speaker").
std::vector<PinConfig> ProfilePins(const std::string& profile, ULONG captureChannels,
                                   CaptureSource source);

}  // namespace kp::sim
