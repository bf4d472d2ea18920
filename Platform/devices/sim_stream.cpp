// Streaming on the simulated audio device: stream requests queued per pin and
// consumed or filled as the machine clock moves, the set of live devices and
// the clock hook that drives them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "kp/clock.h"
#include "kp/io.h"
#include "kp/thread.h"
#include "sim_internal.h"

namespace kp::sim {
namespace {

struct World {
    std::mutex Lock;
    std::vector<std::shared_ptr<Device>> Devices;
    bool ListenerAdded = false;
    std::thread Ticker;
    bool TickerStop = false;
    std::mutex TickLock;  // one tick at a time, across the listener and the ticker
};

World& TheWorld() {
    static World* world =
        new World;  // lives to the end of the process: the clock keeps its listener
    return *world;
}

void OnClock(void*, LONGLONG) {
    TickAll();
}

void TickerLoop() {
    World& w = TheWorld();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(w.Lock);
            if (w.TickerStop) return;
        }
        if (KpClockGetMode() == KpClockMode::Manual) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(5));  // the listener drives a manual clock
            continue;
        }
        KpClockSleepUntil(KpClockNow() + KpMs(10));
        TickAll();
    }
}

}  // namespace

void AddLiveDevice(const std::shared_ptr<Device>& device) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> lock(w.Lock);
    w.Devices.push_back(device);
    if (!w.ListenerAdded) {
        KpClockAddListener(OnClock, nullptr);
        w.ListenerAdded = true;
    }
    if (!w.Ticker.joinable()) {
        w.TickerStop = false;
        w.Ticker = std::thread(TickerLoop);
    }
}

void RemoveLiveDevice(const std::shared_ptr<Device>& device) {
    World& w = TheWorld();
    std::thread stop;
    {
        std::lock_guard<std::mutex> lock(w.Lock);
        w.Devices.erase(std::remove(w.Devices.begin(), w.Devices.end(), device), w.Devices.end());
        if (w.Devices.empty() && w.Ticker.joinable()) {
            w.TickerStop = true;
            stop = std::move(w.Ticker);
        }
    }
    if (stop.joinable()) stop.join();
}

std::shared_ptr<Device> DeviceOf(PDEVICE_OBJECT fdo) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> lock(w.Lock);
    for (auto& d : w.Devices) {
        if (d->Fdo == fdo) return d;
    }
    return nullptr;
}

std::vector<std::shared_ptr<SimAudioDevice>> SimAudioDevice::All() {
    World& w = TheWorld();
    std::lock_guard<std::mutex> lock(w.Lock);
    std::vector<std::shared_ptr<SimAudioDevice>> out;
    for (auto& d : w.Devices) out.push_back(std::make_shared<SimAudioDevice>(d));
    return out;
}

void TickAll() {
    World& w = TheWorld();
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard<std::mutex> lock(w.Lock);
        devices = w.Devices;
    }
    std::lock_guard<std::mutex> tick(w.TickLock);
    LONGLONG now = KpClockNow();
    std::vector<std::pair<Device*, std::vector<Completion>>> done;
    for (auto& d : devices) {
        done.push_back({d.get(), {}});
        d->TickRender(now, done.back().second);
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        devices[i]->TickCapture(now, done[i].second);
        devices[i]->TickDelayed(now, done[i].second);
    }
    for (auto& [d, list] : done) d->CompleteAll(list);
}

void DrainCompletions() {
    World& w = TheWorld();
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard<std::mutex> lock(w.Lock);
        devices = w.Devices;
    }
    for (auto& d : devices) d->CompletionsIdle();
}

namespace {

// No work item queued, and every one running asleep in a wait: a stop that
// waits for the sound card to play what it holds lets the clock move on.
bool WorkItemsIdle() {
    return KpIoQueuedWorkItemCount() <= KpSleepingWorkItemCount();
}

}  // namespace

BOOLEAN SettleMachine(ULONG HostMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(HostMs);
    while (std::chrono::steady_clock::now() < until) {
        DrainCompletions();
        ULONGLONG before = 0, after = 0;
        if (WorkItemsIdle() && KpSystemThreadsIdle(&before)) {
            DrainCompletions();
            if (WorkItemsIdle() && KpSystemThreadsIdle(&after) && after == before) return TRUE;
        }
        std::this_thread::yield();
    }
    return FALSE;
}

ULONG StepMachine(ULONG Ms, ULONG HostMs) {
    ULONG unsettled = SettleMachine(HostMs) ? 0 : 1;
    KpClockAdvance(KpMs(Ms));
    return unsettled + (SettleMachine(HostMs) ? 0 : 1);
}

BOOLEAN CallersAsleep(void) {
    const ULONG system = KpRunningSystemThreadCount();
    // Work items asleep are not callers.
    const ULONG workItems = KpSleepingWorkItemCount(), waiters = KpBlockedWaiterCount();
    const ULONG blocked = waiters > workItems ? waiters - workItems : 0;
    return blocked > system && blocked >= system + KpIoThreadsInRequests();
}

BOOLEAN AdvanceWhileResting(const std::function<bool()>& Done, bool CallerInKernel, ULONG MaxMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (ULONG moved = 0; !Done(); std::this_thread::sleep_for(std::chrono::microseconds(100))) {
        if (std::chrono::steady_clock::now() > giveUp || moved == MaxMs) return FALSE;
        if (SettleMachine(50) && !Done() && (!CallerInKernel || CallersAsleep())) {
            KpClockAdvance(KpMs(1));
            ++moved;
        }
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// Samples
// ---------------------------------------------------------------------------
double ReadSample(const uint8_t* p, ULONG bits) {
    switch (bits) {
        case 8:
            return (static_cast<int>(p[0]) - 128) / 128.0;
        case 16:
            return static_cast<int16_t>(p[0] | (p[1] << 8)) / 32768.0;
        case 24: {
            int32_t v = (p[0] << 8) | (p[1] << 16) | (p[2] << 24);
            return v / 2147483648.0;
        }
        case 32: {
            int32_t v;
            std::memcpy(&v, p, 4);
            return v / 2147483648.0;
        }
        default:
            return 0.0;
    }
}

void WriteSample(uint8_t* p, ULONG bits, double value) {
    value = std::clamp(value, -1.0, 1.0);
    switch (bits) {
        case 8:
            p[0] = static_cast<uint8_t>(std::lround(std::min(value * 128.0 + 128.0, 255.0)));
            break;
        case 16: {
            auto v = static_cast<int16_t>(std::lround(std::min(value * 32768.0, 32767.0)));
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
            break;
        }
        case 24:
        case 32: {
            auto v =
                static_cast<int32_t>(std::llround(std::min(value * 2147483648.0, 2147483647.0)));
            if (bits == 24) {
                p[0] = static_cast<uint8_t>(v >> 8);
                p[1] = static_cast<uint8_t>(v >> 16);
                p[2] = static_cast<uint8_t>(v >> 24);
            } else {
                std::memcpy(p, &v, 4);
            }
            break;
        }
        default:
            break;
    }
}

// ---------------------------------------------------------------------------
// Stream requests
// ---------------------------------------------------------------------------
void Device::CancelQueued(PDEVICE_OBJECT fdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    std::shared_ptr<Device> d = DeviceOf(fdo);
    if (d == nullptr) return;
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> lock(d->Lock);
        for (auto& [file, pin] : d->PinFiles) {
            auto it = std::find_if(pin->Queue.begin(), pin->Queue.end(),
                                   [irp](StreamRequest* r) { return r->Irp == irp; });
            if (it != pin->Queue.end()) {
                StreamRequest* req = *it;
                pin->Queue.erase(it);
                done.push_back(d->FinishStream(req, STATUS_CANCELLED, *pin));
                break;
            }
        }
    }
    for (auto& c : done) c.Irql = PASSIVE_LEVEL;
    d->CompleteAll(done);
}

Completion Device::FinishStream(StreamRequest* req, NTSTATUS status, PinInstance& pin) {
    PIRP irp = req->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR info = 0;
    if (!req->Write) {
        for (StreamPart& part : req->Parts) part.Header->DataUsed = part.Done;
    }
    if (NT_SUCCESS(status)) info = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PinRecord& rec = Records[pin.Record];
    ++rec.CompletedRequests;
    if (req->LogGeneration == LogGeneration && req->LogIndex < Log.size()) {
        Log[req->LogIndex].Status = status;
        Log[req->LogIndex].Information = info;
    }
    Completion c{irp, status, info, Modes[static_cast<int>(RequestClass::Stream)].Irql};
    delete req;
    return c;
}

// The MDL chain a device's lower edge would build for a kernel-mode request:
// one locked MDL per data buffer, chained on the request, which its sender
// frees when the request comes back.  A request that came with MDLs keeps
// them as they are.  On failure nothing stays attached.
NTSTATUS AttachDataMdls(PIRP irp, const StreamRequest& req) {
    if (irp->MdlAddress != nullptr) return STATUS_SUCCESS;
    for (const StreamPart& part : req.Parts) {
        if (part.Extent == 0) continue;
        PMDL mdl =
            IoAllocateMdl(part.Data->Get(), part.Extent, irp->MdlAddress != nullptr, FALSE, irp);
        NTSTATUS status =
            mdl == nullptr
                ? STATUS_INSUFFICIENT_RESOURCES
                : KpProbeAndLockPages(mdl, KernelMode, req.Write ? IoReadAccess : IoWriteAccess);
        if (!NT_SUCCESS(status)) {
            for (PMDL m = irp->MdlAddress; m != nullptr;) {
                PMDL next = m->Next;
                if (m->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(m);
                IoFreeMdl(m);
                m = next;
            }
            irp->MdlAddress = nullptr;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Device::DispatchStream(PIRP irp, PIO_STACK_LOCATION stack, size_t log, bool write) {
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto req = std::make_unique<StreamRequest>();
    req->Irp = irp;
    req->Write = write;
    req->LogIndex = log;
    NTSTATUS status =
        length < sizeof(KSSTREAM_HEADER) ? STATUS_INVALID_BUFFER_SIZE : STATUS_SUCCESS;
    if (NT_SUCCESS(status)) {
        status = req->Headers.Map(irp->UserBuffer, length, irp->RequestorMode, IoModifyAccess);
    }
    // Walk the headers by their Size; each one is copied before it is trusted.
    ULONG at = 0;
    while (NT_SUCCESS(status) && at < length) {
        KSSTREAM_HEADER h;
        if (length - at < sizeof h) {
            status = STATUS_INVALID_BUFFER_SIZE;
            break;
        }
        std::memcpy(&h, req->Headers.Get() + at, sizeof h);
        if (h.Size < sizeof h || h.Size > length - at || h.Size % 8 != 0) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        if (write && h.DataUsed > h.FrameExtent) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        StreamPart part;
        part.Header = reinterpret_cast<KSSTREAM_HEADER*>(req->Headers.Get() + at);
        part.Extent = write ? h.DataUsed : h.FrameExtent;
        part.Data = std::make_unique<BufferView>();
        status = part.Data->Map(h.Data, part.Extent, irp->RequestorMode,
                                write ? IoReadAccess : IoWriteAccess);
        if (!NT_SUCCESS(status)) break;
        req->Parts.push_back(std::move(part));
        at += h.Size;
    }

    std::unique_lock<std::mutex> lock(Lock);
    auto it = PinFiles.find(stack->FileObject);
    if (NT_SUCCESS(status) && it == PinFiles.end()) status = STATUS_INVALID_DEVICE_REQUEST;
    PinInstance* pin = NT_SUCCESS(status) ? it->second.get() : nullptr;
    if (pin != nullptr) {
        const PinConfig& config = Pins[pin->Id];
        bool render = config.Dataflow == KSPIN_DATAFLOW_IN;
        if (render != write || !pin->IsAudio)
            status = STATUS_INVALID_DEVICE_REQUEST;
        else if (write && pin->State == KSSTATE_STOP && config.FailWriteInStop)
            status = STATUS_INVALID_DEVICE_STATE;
    }
    if (NT_SUCCESS(status) && KernelStreamMdl && irp->RequestorMode == KernelMode)
        status = AttachDataMdls(irp, *req);
    if (!NT_SUCCESS(status)) {
        req.reset();
        Log[log].Status = status;
        lock.unlock();
        return CompleteNow(irp, status);
    }
    PinRecord& rec = Records[pin->Record];
    at = 0;
    for (StreamPart& part : req->Parts) {
        KSSTREAM_HEADER h;
        std::memcpy(&h, part.Header, sizeof h);
        if (write) {
            WriteHeaderRecord w{h.Data, h.FrameExtent, part.Extent, {}, h.OptionsFlags};
            w.Bytes.assign(part.Data->Get(), part.Data->Get() + part.Extent);
            rec.Writes.push_back(std::move(w));
            rec.BytesReceived += part.Extent;
        } else {
            rec.ReadFrameExtents.push_back(part.Extent);
        }
    }
    req->LogGeneration = LogGeneration;
    IoMarkIrpPending(irp);
    StreamRequest* raw = req.release();
    pin->Queue.push_back(raw);
    IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        pin->Queue.pop_back();
        Completion c = FinishStream(raw, STATUS_CANCELLED, *pin);
        lock.unlock();
        CompleteNow(c.Irp, c.Status, c.Information);
    }
    return STATUS_PENDING;
}

namespace {

// Frames due on a running pin since its last tick.
LONGLONG FramesDue(const Device& d, PinInstance& pin, LONGLONG now) {
    LONGLONG elapsed = now - pin.LastTick;
    pin.LastTick = now;
    if (elapsed <= 0) return 0;
    return d.FramesIn(elapsed, pin.Wfx.nSamplesPerSec, &pin.Fraction);
}

}  // namespace

LONG Device::ClockPpm() const {
    return std::clamp<LONG>(ClockOffsetPpm, -100000, 100000);
}

LONGLONG Device::FramesIn(LONGLONG elapsed, ULONG rate, LONGLONG* fraction) const {
    // frames = elapsed x rate x (10^6 + ppm) / (10^7 x 10^6); wide enough for
    // any elapsed time a clock can hold.
    constexpr __int128 kDivisor = static_cast<__int128>(10000000) * 1000000;
    const LONG ppm = ClockPpm();
    __int128 acc = *fraction + static_cast<__int128>(elapsed) * rate * (1000000 + ppm);
    *fraction = static_cast<LONGLONG>(acc % kDivisor);
    return static_cast<LONGLONG>(acc / kDivisor);
}

void Device::TickRender(LONGLONG now, std::vector<Completion>& done) {
    std::lock_guard<std::mutex> lock(Lock);
    for (auto& [file, pinPtr] : PinFiles) {
        PinInstance& pin = *pinPtr;
        if (!pin.IsAudio || Pins[pin.Id].Dataflow != KSPIN_DATAFLOW_IN || pin.State != KSSTATE_RUN)
            continue;
        LONGLONG frames = FramesDue(*this, pin, now);
        if (frames <= 0) continue;
        ULONG block = pin.Wfx.nBlockAlign, bits = pin.Wfx.wBitsPerSample,
              channels = pin.Wfx.nChannels;
        std::vector<uint8_t> bytes(static_cast<size_t>(frames) * block, bits == 8 ? 0x80 : 0);
        size_t need = bytes.size(), got = 0;
        PinRecord& rec = Records[pin.Record];
        while (got < need && !pin.Queue.empty()) {
            StreamRequest* req = pin.Queue.front();
            while (got < need && req->Current < req->Parts.size()) {
                StreamPart& part = req->Parts[req->Current];
                size_t take = std::min<size_t>(need - got, part.Extent - part.Done);
                if (take > 0) std::memcpy(bytes.data() + got, part.Data->Get() + part.Done, take);
                part.Done += static_cast<ULONG>(take);
                got += take;
                if (part.Done == part.Extent) ++req->Current;
            }
            if (req->Current == req->Parts.size()) {
                if (IoSetCancelRoutine(req->Irp, nullptr) == nullptr)
                    break;  // its cancel routine has it
                pin.Queue.pop_front();
                done.push_back(FinishStream(req, STATUS_SUCCESS, pin));
            }
        }
        rec.Rendered.insert(rec.Rendered.end(), bytes.begin(),
                            bytes.begin() + static_cast<long>(got));
        rec.BytesConsumed += got;
        rec.TotalConsumed += got;
        // What reached the loudspeaker (silence where the queue ran dry), mixed to mono.
        std::vector<float> mono(static_cast<size_t>(frames));
        for (size_t f = 0; f < mono.size(); ++f) {
            double sum = 0;
            for (ULONG ch = 0; ch < channels; ++ch)
                sum += ReadSample(&bytes[f * block + ch * (bits / 8)], bits);
            mono[f] = static_cast<float>(sum / channels);
        }
        RoomRender(RoomName, pin.Wfx.nSamplesPerSec, ClockPpm(), pin.AbsoluteFrame, mono.data(),
                   mono.size());
        pin.AbsoluteFrame += frames;
    }
}

void Device::TickCapture(LONGLONG now, std::vector<Completion>& done) {
    std::lock_guard<std::mutex> lock(Lock);
    for (auto& [file, pinPtr] : PinFiles) {
        PinInstance& pin = *pinPtr;
        const PinConfig& config = Pins[pin.Id];
        if (!pin.IsAudio || config.Dataflow != KSPIN_DATAFLOW_OUT || pin.State != KSSTATE_RUN)
            continue;
        LONGLONG frames = FramesDue(*this, pin, now);
        if (frames <= 0) continue;
        ULONG block = pin.Wfx.nBlockAlign, bits = pin.Wfx.wBitsPerSample,
              channels = pin.Wfx.nChannels;
        PinRecord& rec = Records[pin.Record];
        std::vector<uint8_t> bytes(static_cast<size_t>(frames) * block);
        switch (config.Source) {
            case CaptureSource::Silence:
                std::memset(bytes.data(), bits == 8 ? 0x80 : 0, bytes.size());
                break;
            case CaptureSource::Ramp:
                for (size_t i = 0; i < bytes.size(); ++i)
                    bytes[i] = RampByte(rec.BytesProduced + i);
                break;
            case CaptureSource::Sine:
            case CaptureSource::Room: {
                std::vector<float> mono(static_cast<size_t>(frames));
                if (config.Source == CaptureSource::Room) {
                    RoomCapture(RoomName, pin.Wfx.nSamplesPerSec, ClockPpm(), pin.AbsoluteFrame,
                                mono.data(), mono.size());
                } else {
                    double step = 2.0 * M_PI * config.SineHz / pin.Wfx.nSamplesPerSec;
                    for (float& s : mono) {
                        s = static_cast<float>(config.SineAmplitude * std::sin(pin.Phase));
                        pin.Phase = std::fmod(pin.Phase + step, 2.0 * M_PI);
                    }
                }
                for (size_t f = 0; f < mono.size(); ++f) {
                    for (ULONG ch = 0; ch < channels; ++ch)
                        WriteSample(&bytes[f * block + ch * (bits / 8)], bits, mono[f]);
                }
                break;
            }
        }
        pin.AbsoluteFrame += frames;
        rec.BytesProduced += bytes.size();
        size_t given = 0;
        while (given < bytes.size() && !pin.Queue.empty()) {
            StreamRequest* req = pin.Queue.front();
            while (given < bytes.size() && req->Current < req->Parts.size()) {
                StreamPart& part = req->Parts[req->Current];
                size_t put = std::min<size_t>(bytes.size() - given, part.Extent - part.Done);
                if (put > 0) std::memcpy(part.Data->Get() + part.Done, bytes.data() + given, put);
                part.Done += static_cast<ULONG>(put);
                given += put;
                if (part.Done == part.Extent) ++req->Current;
            }
            if (req->Current == req->Parts.size()) {
                if (IoSetCancelRoutine(req->Irp, nullptr) == nullptr) break;
                pin.Queue.pop_front();
                done.push_back(FinishStream(req, STATUS_SUCCESS, pin));
            }
        }
        rec.Captured.insert(rec.Captured.end(), bytes.begin(),
                            bytes.begin() + static_cast<long>(given));
        rec.BytesDelivered += given;
        rec.TotalDelivered += given;
    }
}

}  // namespace kp::sim
