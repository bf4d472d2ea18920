#include "FuzzProgram.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "kp/io.h"

namespace zvfuzz {
namespace {

using kp::ks::KsFilter;
using kp::ks::KsObject;
using kp::ks::KsPin;
using kp::ks::UserBlock;

// Reads the input front to back; past its end every read gives zero.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_at >= m_size; }
    uint8_t U8() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    // Up to max bytes of the input, as many as it says.
    std::vector<uint8_t> Blob(size_t max) {
        size_t n = U8() % (max + 1);
        std::vector<uint8_t> b;
        for (size_t i = 0; i < n; ++i) b.push_back(U8());
        return b;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// The formats a pin is created or set with: (rate, bits, channels).
struct Pcm {
    ULONG Rate, Bits, Channels;
};
constexpr Pcm kFormats[] = {
    {16000, 16, 1}, {8000, 16, 1}, {48000, 16, 2}, {44100, 16, 2}, {16000, 8, 1}, {48000, 32, 2},
};

// One application request in flight and what it owns.
struct Pending {
    std::atomic<bool> Done{false};
    UserBlock Headers;
    std::vector<UserBlock> Data;
    static void OnDone(PVOID context, PIO_STATUS_BLOCK) {
        static_cast<Pending*>(context)->Done.store(true);
    }
};

struct Slot {
    KsFilter* Filter = nullptr;
    KsPin Pin;
    ULONG Direction = 0;   // 1 render (pin 0), 2 capture (pin 1)
    ULONG BlockBytes = 0;  // 10 ms of the format it runs, 0 when not known
};

class Session {
public:
    explicit Session(const ProgramTarget& target)
        : m_target(target),
          m_sets{KSPROPSETID_Pin, KSPROPSETID_Connection, KSPROPSETID_Audio, target.PrivateSet} {}

    // False when a filter could not be opened: the input was not run.
    bool Run(Bytes& in) {
        const size_t count = std::min<size_t>(m_target.Filters.size(), std::size(m_filters));
        for (size_t i = 0; i < count; ++i)
            if (!NT_SUCCESS(m_filters[i].Open(m_target.Filters[i]))) {
                Finish();
                return false;
            }
        if (count == 0) return false;
        for (size_t i = 0; i < std::size(m_slots); ++i) m_slots[i].Filter = &m_filters[i % count];
        for (int op = 0; op < 64 && !in.Empty(); ++op) Step(in);
        Finish();
        return true;
    }

private:
    Slot& SlotOf(uint8_t b) { return m_slots[b % 2]; }

    void Step(Bytes& in) {
        const uint8_t op = in.U8();
        Slot& slot = SlotOf(in.U8());
        switch (op % 9) {
            case 0: {  // create a pin of a known format
                const Pcm& f = kFormats[in.U8() % std::size(kFormats)];
                const bool capture = (in.U8() & 1) != 0;
                slot.Pin.Close();
                slot.BlockBytes = 0;
                const NTSTATUS created = slot.Pin.Create(
                    *slot.Filter, capture ? 1 : 0, kp::ks::PcmFormat(f.Rate, f.Bits, f.Channels));
                // The logic hears of the pin in a work item, as an application's
                // next request normally finds it.
                KpIoDrainWorkQueues();
                if (NT_SUCCESS(created)) {
                    slot.Direction = capture ? 2 : 1;
                    slot.BlockBytes = f.Rate / 100 * f.Bits / 8 * f.Channels;
                    NoteFormat(slot);
                }
                break;
            }
            case 1: {  // a stream state, sometimes one outside STOP..RUN
                const uint8_t pick = in.U8();
                ULONG state = pick < 200 ? pick % 4 : in.U32();
                if (slot.Pin.IsOpen())
                    WhileTimeMoves([&] {
                        return slot.Pin.SetProperty(KSPROPSETID_Connection,
                                                    KSPROPERTY_CONNECTION_STATE, &state,
                                                    sizeof state);
                    });
                break;
            }
            case 2:  // a read or a write with headers of any shape
                Stream(in, slot);
                break;
            case 3: {  // a known format set on a pin
                const Pcm& f = kFormats[in.U8() % std::size(kFormats)];
                if (slot.Pin.IsOpen() && NT_SUCCESS(WhileTimeMoves([&] {
                        return slot.Pin.SetDataFormat(
                            kp::ks::PcmFormat(f.Rate, f.Bits, f.Channels));
                    }))) {
                    slot.BlockBytes = f.Rate / 100 * f.Bits / 8 * f.Channels;
                    NoteFormat(slot);
                }
                break;
            }
            case 4:  // a property request of any shape, on the pin or the filter
                Control(in, slot, IOCTL_KS_PROPERTY);
                break;
            case 5:  // a method request
                Control(in, slot, IOCTL_KS_METHOD);
                break;
            case 6: {  // any other control request
                const ULONG codes[] = {IOCTL_KS_RESET_STATE, IOCTL_KS_ENABLE_EVENT,
                                       IOCTL_KS_HANDSHAKE, in.U32()};
                Control(in, slot, codes[in.U8() % 4]);
                break;
            }
            case 7:
                RawCreate(in);
                break;
            default:
                m_target.AdvanceMs(in.U8() % 64);
                break;
        }
    }

    // A control request of the application, sent on a thread of its own.  One
    // the logic answers only as the device plays (a STOP waits for what the
    // device still holds of the driver's own) gets machine time, as on a
    // running machine; the others complete before the clock moves.
    template <class Request>
    NTSTATUS WhileTimeMoves(Request request) {
        auto done = std::async(std::launch::async, request);
        while (done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
            m_target.AdvanceMs(5);
        return done.get();
    }

    // Headers built field by field: size, extent, bytes used, and a buffer
    // that is whole, missing, or an address in the first 64 KiB.
    void Stream(Bytes& in, Slot& slot) {
        if (!slot.Pin.IsOpen()) return;
        const bool write = (in.U8() & 1) != 0;
        const ULONG count = in.U8() % 4;
        const ULONG sizes[] = {sizeof(KSSTREAM_HEADER), sizeof(KSSTREAM_HEADER) + 8,
                               sizeof(KSSTREAM_HEADER) - 8, in.U8()};
        const ULONG headerSize = sizes[in.U8() % 4];
        auto p = std::make_unique<Pending>();
        const ULONG length = count * headerSize + (in.U8() % 8 == 0 ? in.U8() % 16 : 0);
        p->Headers = UserBlock(length != 0 ? length : 8);
        std::memset(p->Headers.Get(), 0, p->Headers.Size());
        for (ULONG i = 0; i < count; ++i) {
            KSSTREAM_HEADER h{};
            h.Size = headerSize;
            h.FrameExtent = in.U16() % 8192;
            h.DataUsed = in.U16() % 8192;
            const uint8_t kind = in.U8() % 8;
            if (kind == 0) {
                h.Data = nullptr;
            } else if (kind == 1) {
                h.Data = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(in.U16()));
            } else {
                p->Data.emplace_back(h.FrameExtent != 0 ? h.FrameExtent : 1);
                std::memset(p->Data.back().Get(), 0x5A, p->Data.back().Size());
                h.Data = p->Data.back().Get();
            }
            const size_t at = static_cast<size_t>(i) * headerSize;
            if (at < p->Headers.Size())
                std::memcpy(p->Headers.Get() + at, &h, std::min(sizeof h, p->Headers.Size() - at));
        }
        const NTSTATUS status = KpDeviceIoControlAsync(
            slot.Pin.Handle(), write ? IOCTL_KS_WRITE_STREAM : IOCTL_KS_READ_STREAM, nullptr, 0,
            p->Headers.Get(), length, Pending::OnDone, p.get());
        (void)status;  // completed or not, the callback tells
        m_pending.push_back(std::move(p));
    }

    void Control(Bytes& in, Slot& slot, ULONG code) {
        KsObject& target = slot.Pin.IsOpen() && (in.U8() & 1)
                               ? static_cast<KsObject&>(slot.Pin)
                               : static_cast<KsObject&>(*slot.Filter);
        std::vector<uint8_t> input(sizeof(KSPROPERTY) + in.U8() % 24, 0);
        KSPROPERTY header{};
        header.Set = m_sets[in.U8() % std::size(m_sets)];
        header.Id = in.U8() % 24;
        header.Flags = in.U8() < 128 ? KSPROPERTY_TYPE_GET : in.U32();
        std::memcpy(input.data(), &header, sizeof header);
        for (size_t i = sizeof header; i < input.size(); ++i) input[i] = in.U8();
        if (in.U8() % 4 == 0) input.resize(in.U8() % sizeof header);
        std::vector<uint8_t> out = in.Blob(96);
        if (in.U8() % 2 == 0) out.resize(out.size() + in.U8() % 64, 0);
        ULONG returned = 0;
        WhileTimeMoves([&] {
            return target.Control(
                code, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
                out.empty() ? nullptr : out.data(), static_cast<ULONG>(out.size()), &returned);
        });
        // A set on the pin may have changed the format it runs.
        if (&target == &slot.Pin) {
            slot.BlockBytes = 0;
            NoteFormat(slot);
        }
    }

    // Capture is cut to whole 10 ms blocks of the format the pin runs; the
    // check is made when one capture format held for the whole input.
    void NoteFormat(const Slot& slot) {
        if (slot.Direction != 2) return;
        if (slot.BlockBytes == 0 || (m_captureBlock != 0 && m_captureBlock != slot.BlockBytes))
            m_captureMixed = true;
        m_captureBlock = slot.BlockBytes;
    }

    // A pin-create name of any bytes, relative to the filter.
    void RawCreate(Bytes& in) {
        std::vector<uint8_t> bytes = in.Blob(200);
        if (bytes.size() % 2 != 0) bytes.pop_back();
        std::vector<char16_t> name(bytes.size() / 2 + 1, 0);
        if (!bytes.empty()) std::memcpy(name.data(), bytes.data(), bytes.size());
        UNICODE_STRING text;
        text.Buffer = name.data();
        text.Length = text.MaximumLength = static_cast<USHORT>(bytes.size());
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, m_filters[0].Handle(),
                                   nullptr);
        IO_STATUS_BLOCK iosb;
        HANDLE handle = nullptr;
        if (NT_SUCCESS(NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb,
                                    nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, 0, nullptr, 0)))
            ZwClose(handle);
    }

    // Stops and closes what is open and lets every request in flight end:
    // the machine's clock moves while the stream worker and the device's
    // threads get the real time they need.
    void Finish() {
        for (Slot& s : m_slots) {
            if (!s.Pin.IsOpen()) continue;
            WhileTimeMoves([&] { return s.Pin.SetState(KSSTATE_STOP); });
            s.Pin.Cancel();
        }
        Settle();
        for (Slot& s : m_slots) s.Pin.Close();
        for (KsFilter& f : m_filters) f.Close();
        Settle();
    }

    void Settle() {
        for (int i = 0; i < 2000 && !AllDone(); ++i) {
            m_target.AdvanceMs(10);
            KpIoDrainWorkQueues();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        KpIoDrainWorkQueues();
    }

public:
    bool AllDone() const {
        for (const auto& p : m_pending)
            if (!p->Done.load()) return false;
        return true;
    }
    // Leaves the requests in flight and their memory as they are: a request
    // that never ended may still have its buffers locked.
    void Abandon() {
        for (auto& p : m_pending) p.release();
    }
    // 10 ms of the one capture format the input used, or 0.
    ULONG CaptureBlock() const { return m_captureMixed ? 0 : m_captureBlock; }

private:
    const ProgramTarget& m_target;
    const GUID m_sets[4];
    KsFilter m_filters[2];
    Slot m_slots[2];
    std::vector<std::unique_ptr<Pending>> m_pending;
    ULONG m_captureBlock = 0;
    bool m_captureMixed = false;
};

}  // namespace

ProgramResult RunProgram(const uint8_t* data, size_t size, const ProgramTarget& target) {
    Bytes in(data, size);
    ProgramResult result;
    Session session(target);
    result.Opened = session.Run(in);
    result.AllDone = session.AllDone();
    if (!result.AllDone) session.Abandon();
    result.CaptureBlock = session.CaptureBlock();
    return result;
}

}  // namespace zvfuzz
