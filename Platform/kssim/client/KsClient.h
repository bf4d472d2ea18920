// The application side of kernel streaming, acting as a user-mode program does
// through CreateFile and DeviceIoControl: every buffer it hands to the I/O
// manager is application memory, every request is a UserMode request.  Used by
// tests, benchmarks and the machine runner.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ksmedia.h"

namespace kp::ks {

// Application memory (KpUserAlloc) that frees itself.
class UserBlock {
public:
    UserBlock() = default;
    explicit UserBlock(size_t bytes);
    ~UserBlock();
    UserBlock(UserBlock&& other) noexcept;
    UserBlock& operator=(UserBlock&& other) noexcept;
    UserBlock(const UserBlock&) = delete;
    UserBlock& operator=(const UserBlock&) = delete;
    uint8_t* Get() const { return data_; }
    size_t Size() const { return size_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Interface links of a category ("\??\..."), enabled ones.
std::vector<std::u16string> FindDevices(const GUID& category);

// Reasons the front end found to complain after a call: the thread not back at
// PASSIVE_LEVEL or still holding spin locks.  Counted process-wide.
ULONG ClientRuleViolations();

// A handle opened with NtCreateFile; requests with NtDeviceIoControlFile.
class KsObject {
public:
    KsObject() = default;
    ~KsObject() { Close(); }
    KsObject(const KsObject&) = delete;
    KsObject& operator=(const KsObject&) = delete;
    HANDLE Handle() const { return handle_; }
    bool IsOpen() const { return handle_ != nullptr; }
    NTSTATUS Close();

    // A property request: Header (KSPROPERTY, KSP_PIN, KSP_NODE ...) as input,
    // the value in the output buffer.  Returned gets Information.
    NTSTATUS Property(const void* header, ULONG headerSize, void* value, ULONG valueSize,
                      ULONG* returned = nullptr);
    NTSTATUS GetProperty(const GUID& set, ULONG id, void* value, ULONG valueSize,
                         ULONG* returned = nullptr);
    NTSTATUS SetProperty(const GUID& set, ULONG id, const void* value, ULONG valueSize);
    // IOCTL_KS_HANDSHAKE with the given buffers.
    NTSTATUS Handshake(const void* in, ULONG inSize, void* out, ULONG outSize,
                       ULONG* returned = nullptr);
    // Any control request with application-memory copies of the buffers.
    NTSTATUS Control(ULONG code, const void* in, ULONG inSize, void* out, ULONG outSize,
                     ULONG* returned);

protected:
    HANDLE handle_ = nullptr;
};

class KsFilter : public KsObject {
public:
    NTSTATUS Open(const std::u16string& link);
    NTSTATUS PinCount(ULONG* count);
    // KSPROPSETID_Pin GET of one pin's property.
    NTSTATUS GetPinProperty(ULONG pinId, ULONG id, void* value, ULONG valueSize,
                            ULONG* returned = nullptr);
    // The DATARANGES list: the size first, then the list.
    NTSTATUS DataRanges(ULONG pinId, std::vector<uint8_t>* list);
    // DATAINTERSECTION with the offered KSMULTIPLE_ITEM list; the answer's size first.
    NTSTATUS Intersect(ULONG pinId, const std::vector<uint8_t>& offered,
                       std::vector<uint8_t>* format);
};

// A PCM wave format (82 bytes) and a one-range KSMULTIPLE_ITEM offering one point.
std::vector<uint8_t> PcmFormat(ULONG rate, ULONG bits, ULONG channels);
std::vector<uint8_t> OfferPoint(ULONG rate, ULONG bits, ULONG maxChannels);
WAVEFORMATEX WaveOf(const std::vector<uint8_t>& format);

struct Chunk {
    ULONG Extent = 0;                // FrameExtent
    ULONG Used = 0;                  // DataUsed (writes)
    const uint8_t* Bytes = nullptr;  // write data (Used bytes), copied into application memory
};

// One stream request in flight: its headers and buffers in application memory.
class StreamRequest {
public:
    bool Done() const;
    // Waits for completion; manual clocks need the clock advanced meanwhile.
    void Wait() const;
    NTSTATUS Status() const;
    ULONG_PTR Information() const;
    size_t HeaderCount() const { return extents_.size(); }
    ULONG DataUsed(size_t header) const;
    // The header's FrameExtent as the application reads it back.
    ULONG FrameExtent(size_t header) const;
    const uint8_t* Data(size_t header) const;
    PVOID DataAddress(size_t header) const;

private:
    friend class KsPin;
    static void OnDone(PVOID context, PIO_STATUS_BLOCK iosb);
    KSSTREAM_HEADER Header(size_t header) const;
    UserBlock block_;
    ULONG headerSize_ = 0, headersBytes_ = 0;
    std::vector<ULONG> extents_, offsets_;
    mutable std::mutex lock_;
    mutable std::condition_variable cv_;
    bool done_ = false;
    IO_STATUS_BLOCK iosb_{};
};

class KsPin : public KsObject {
public:
    // Builds the pin-create name (38 characters, '\', KSPIN_CONNECT, format) and
    // opens it relative to the filter.
    NTSTATUS Create(const KsFilter& filter, ULONG pinId, const std::vector<uint8_t>& format);
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS GetState(KSSTATE* state);
    NTSTATUS SetDataFormat(const std::vector<uint8_t>& format);
    NTSTATUS GetPosition(KSAUDIO_POSITION* position);
    // A read or write request with one header per chunk, each headerSize bytes
    // (at least sizeof(KSSTREAM_HEADER), a multiple of 8).
    NTSTATUS Submit(bool write, const std::vector<Chunk>& chunks, ULONG headerSize,
                    std::shared_ptr<StreamRequest>* request);
    // CancelIo on the pin's handle.
    NTSTATUS Cancel();
    const std::vector<uint8_t>& Format() const { return format_; }

private:
    std::vector<uint8_t> format_;
};

}  // namespace kp::ks
