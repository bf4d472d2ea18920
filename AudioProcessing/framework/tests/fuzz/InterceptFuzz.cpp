#include "InterceptFuzz.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <memory>
#include <vector>

#include "StreamLogic.h"
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

// The sets the interceptor answers or follows, and the echo canceller's
// private set, which reaches the logic's OnKSProperty.
constexpr GUID kPrivateSet = {
    0x05F610B4, 0xA4F5, 0x4471, {0x9B, 0xF6, 0x5A, 0x17, 0xB4, 0xD1, 0x3E, 0x7F}};
const GUID kSets[] = {KSPROPSETID_Pin, KSPROPSETID_Connection, KSPROPSETID_Audio, kPrivateSet};

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
    KsPin Pin;
    ULONG Direction = 0;   // 1 render (pin 0), 2 capture (pin 1)
    ULONG BlockBytes = 0;  // 10 ms of the format it runs, 0 when not known
};

class Session {
public:
    explicit Session(InterceptFuzzTest* owner) : m_owner(owner) {}

    // False when the filter could not be opened: the input was not run.
    bool Run(Bytes& in) {
        const std::vector<std::u16string> links = kp::ks::FindDevices(KSCATEGORY_AUDIO);
        if (links.empty() || !NT_SUCCESS(m_filter.Open(links[0]))) return false;
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
                    m_filter, capture ? 1 : 0, kp::ks::PcmFormat(f.Rate, f.Bits, f.Channels));
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
                    slot.Pin.SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                         &state, sizeof state);
                break;
            }
            case 2:  // a read or a write with headers of any shape
                Stream(in, slot);
                break;
            case 3: {  // a known format set on a pin
                const Pcm& f = kFormats[in.U8() % std::size(kFormats)];
                if (slot.Pin.IsOpen() && NT_SUCCESS(slot.Pin.SetDataFormat(
                                             kp::ks::PcmFormat(f.Rate, f.Bits, f.Channels)))) {
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
                m_owner->AdvanceClockMs(in.U8() % 64);
                break;
        }
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
        KsObject& target = slot.Pin.IsOpen() && (in.U8() & 1) ? static_cast<KsObject&>(slot.Pin)
                                                              : static_cast<KsObject&>(m_filter);
        std::vector<uint8_t> input(sizeof(KSPROPERTY) + in.U8() % 24, 0);
        KSPROPERTY header{};
        header.Set = kSets[in.U8() % std::size(kSets)];
        header.Id = in.U8() % 24;
        header.Flags = in.U8() < 128 ? KSPROPERTY_TYPE_GET : in.U32();
        std::memcpy(input.data(), &header, sizeof header);
        for (size_t i = sizeof header; i < input.size(); ++i) input[i] = in.U8();
        if (in.U8() % 4 == 0) input.resize(in.U8() % sizeof header);
        std::vector<uint8_t> out = in.Blob(96);
        if (in.U8() % 2 == 0) out.resize(out.size() + in.U8() % 64, 0);
        ULONG returned = 0;
        target.Control(code, input.empty() ? nullptr : input.data(),
                       static_cast<ULONG>(input.size()), out.empty() ? nullptr : out.data(),
                       static_cast<ULONG>(out.size()), &returned);
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
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, m_filter.Handle(),
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
            s.Pin.SetState(KSSTATE_STOP);
            s.Pin.Cancel();
        }
        Settle();
        for (Slot& s : m_slots) s.Pin.Close();
        m_filter.Close();
        Settle();
    }

    void Settle() {
        for (int i = 0; i < 2000 && !AllDone(); ++i) {
            m_owner->AdvanceClockMs(10);
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
    InterceptFuzzTest* m_owner;
    KsFilter m_filter;
    Slot m_slots[2];
    std::vector<std::unique_ptr<Pending>> m_pending;
    ULONG m_captureBlock = 0;
    bool m_captureMixed = false;
};

}  // namespace

std::string InterceptFuzzTest::RunInput(const uint8_t* data, size_t size) {
    zvstream::ClearCalls();
    Bytes in(data, size);
    std::string broken;
    ULONG captureBlock = 0;
    {
        Session session(this);
        if (!session.Run(in)) broken += "the filter could not be opened\n";
        if (!session.AllDone()) {
            broken += "a request was never completed\n";
            session.Abandon();
        }
        captureBlock = session.CaptureBlock();
    }
    const std::vector<zvstream::Call> calls = zvstream::Calls();
    m_calls += calls.size();
    for (const zvstream::Call& c : calls) {
        if (c.What == "OnBuffer") ++m_buffers;
        if (c.What == "OnSetStreamState" && c.Value > KSSTATE_RUN)
            broken += "OnSetStreamState told state " + std::to_string(c.Value) + "\n";
        if (c.What != "OnBuffer") continue;
        if (c.Value == 0) broken += "OnBuffer with length 0\n";
        if (c.Used.empty()) broken += "OnBuffer without a header\n";
        for (size_t h = 0; h < c.Used.size(); ++h) {
            if (!c.SystemData[h] && c.Used[h] != 0)
                broken += "OnBuffer header " + std::to_string(h) + " not mapped\n";
            if (c.Used[h] > c.Extent[h])
                broken += "OnBuffer header " + std::to_string(h) + " uses more than its extent\n";
            // The first header of a capture request has its extent cut to
            // whole blocks on the way down (one shorter than a block keeps
            // it) and OnBuffer sees the application's extent again: the
            // device never filled past the cut.  It may fill less: a STOP
            // completes a read with what has been captured so far.
            if (c.Direction == 2 && h == 0 && captureBlock != 0 && c.Extent[h] >= captureBlock &&
                c.Used[h] > c.Extent[h] / captureBlock * captureBlock)
                broken += "capture of " + std::to_string(c.Used[h]) + " bytes in an extent of " +
                          std::to_string(c.Extent[h]) + " not cut to 10 ms blocks of " +
                          std::to_string(captureBlock) + "\n";
        }
    }
    return broken;
}

}  // namespace zvfuzz
