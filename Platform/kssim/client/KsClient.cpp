// The application side of kernel streaming.
#include "KsClient.h"

#include <atomic>
#include <cstring>

#include "kp/io.h"
#include "kp/irql.h"

namespace kp::ks {
namespace {

std::atomic<ULONG> g_violations{0};

// After each call the thread must be back where an application thread lives.
void CheckThread() {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || KpHeldSpinLockCount() != 0) ++g_violations;
}

}  // namespace

ULONG ClientRuleViolations() {
    return g_violations;
}

UserBlock::UserBlock(size_t bytes) : size_(bytes) {
    data_ = static_cast<uint8_t*>(KpUserAlloc(bytes == 0 ? 1 : bytes));
    if (data_ == nullptr) size_ = 0;
}
UserBlock::~UserBlock() {
    if (data_ != nullptr) KpUserFree(data_);
}
UserBlock::UserBlock(UserBlock&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
}
UserBlock& UserBlock::operator=(UserBlock&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr) KpUserFree(data_);
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

std::vector<std::u16string> FindDevices(const GUID& category) {
    std::vector<std::u16string> links;
    PWSTR list = nullptr;
    if (!NT_SUCCESS(IoGetDeviceInterfaces(&category, nullptr, 0, &list)) || list == nullptr)
        return links;
    for (PWSTR p = list; *p != 0;) {
        std::u16string link(p);
        p += link.size() + 1;
        links.push_back(std::move(link));
    }
    ExFreePool(list);
    return links;
}

NTSTATUS KsObject::Close() {
    if (handle_ == nullptr) return STATUS_SUCCESS;
    NTSTATUS status = ZwClose(handle_);
    handle_ = nullptr;
    CheckThread();
    return status;
}

NTSTATUS KsObject::Control(ULONG code, const void* in, ULONG inSize, void* out, ULONG outSize,
                           ULONG* returned) {
    UserBlock inBlock(inSize), outBlock(outSize);
    if ((inSize && !inBlock.Get()) || (outSize && !outBlock.Get()))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (inSize) std::memcpy(inBlock.Get(), in, inSize);
    if (outSize && out != nullptr) std::memcpy(outBlock.Get(), out, outSize);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, &iosb, code,
                                            inSize ? inBlock.Get() : nullptr, inSize,
                                            outSize ? outBlock.Get() : nullptr, outSize);
    if (outSize && out != nullptr) std::memcpy(out, outBlock.Get(), outSize);
    if (returned != nullptr) *returned = static_cast<ULONG>(iosb.Information);
    CheckThread();
    return status;
}

NTSTATUS KsObject::Property(const void* header, ULONG headerSize, void* value, ULONG valueSize,
                            ULONG* returned) {
    return Control(IOCTL_KS_PROPERTY, header, headerSize, value, valueSize, returned);
}

NTSTATUS KsObject::GetProperty(const GUID& set, ULONG id, void* value, ULONG valueSize,
                               ULONG* returned) {
    KSPROPERTY p{set, id, KSPROPERTY_TYPE_GET};
    return Property(&p, sizeof p, value, valueSize, returned);
}

NTSTATUS KsObject::SetProperty(const GUID& set, ULONG id, const void* value, ULONG valueSize) {
    KSPROPERTY p{set, id, KSPROPERTY_TYPE_SET};
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(value),
                              static_cast<const uint8_t*>(value) + valueSize);
    return Property(&p, sizeof p, copy.data(), valueSize);
}

NTSTATUS KsObject::Handshake(const void* in, ULONG inSize, void* out, ULONG outSize,
                             ULONG* returned) {
    return Control(IOCTL_KS_HANDSHAKE, in, inSize, out, outSize, returned);
}

NTSTATUS KsFilter::Open(const std::u16string& link) {
    Close();
    UNICODE_STRING name;
    std::u16string text = link;
    name.Buffer = text.data();
    name.Length = name.MaximumLength = static_cast<USHORT>(text.size() * 2);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = NtCreateFile(&handle_, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb,
                                   nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, 0, nullptr, 0);
    if (!NT_SUCCESS(status)) handle_ = nullptr;
    CheckThread();
    return status;
}

NTSTATUS KsFilter::PinCount(ULONG* count) {
    return GetProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, count, sizeof *count);
}

NTSTATUS KsFilter::GetPinProperty(ULONG pinId, ULONG id, void* value, ULONG valueSize,
                                  ULONG* returned) {
    KSP_PIN p{{KSPROPSETID_Pin, id, KSPROPERTY_TYPE_GET}, pinId, 0};
    return Property(&p, sizeof p, value, valueSize, returned);
}

NTSTATUS KsFilter::DataRanges(ULONG pinId, std::vector<uint8_t>* list) {
    ULONG size = 0;
    NTSTATUS status = GetPinProperty(pinId, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    list->assign(size, 0);
    return GetPinProperty(pinId, KSPROPERTY_PIN_DATARANGES, list->data(), size, &size);
}

NTSTATUS KsFilter::Intersect(ULONG pinId, const std::vector<uint8_t>& offered,
                             std::vector<uint8_t>* format) {
    std::vector<uint8_t> in(sizeof(KSP_PIN) + offered.size());
    KSP_PIN p{{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET}, pinId, 0};
    std::memcpy(in.data(), &p, sizeof p);
    if (!offered.empty()) std::memcpy(in.data() + sizeof p, offered.data(), offered.size());
    ULONG size = 0;
    NTSTATUS status = Property(in.data(), static_cast<ULONG>(in.size()), nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    format->assign(size, 0);
    return Property(in.data(), static_cast<ULONG>(in.size()), format->data(), size, &size);
}

std::vector<uint8_t> PcmFormat(ULONG rate, ULONG bits, ULONG channels) {
    KSDATAFORMAT_WAVEFORMATEX f{};
    f.DataFormat.FormatSize = sizeof f;
    f.DataFormat.SampleSize = bits * channels / 8;
    f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    f.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    f.WaveFormatEx.nChannels = static_cast<WORD>(channels);
    f.WaveFormatEx.nSamplesPerSec = rate;
    f.WaveFormatEx.nBlockAlign = static_cast<WORD>(bits * channels / 8);
    f.WaveFormatEx.nAvgBytesPerSec = rate * f.WaveFormatEx.nBlockAlign;
    f.WaveFormatEx.wBitsPerSample = static_cast<WORD>(bits);
    const auto* p = reinterpret_cast<const uint8_t*>(&f);
    return std::vector<uint8_t>(p, p + sizeof f);
}

std::vector<uint8_t> OfferPoint(ULONG rate, ULONG bits, ULONG maxChannels) {
    std::vector<uint8_t> out(sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO));
    KSMULTIPLE_ITEM head{static_cast<ULONG>(out.size()), 1};
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = sizeof r;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = maxChannels;
    r.MinimumBitsPerSample = r.MaximumBitsPerSample = bits;
    r.MinimumSampleFrequency = r.MaximumSampleFrequency = rate;
    std::memcpy(out.data(), &head, sizeof head);
    std::memcpy(out.data() + sizeof head, &r, sizeof r);
    return out;
}

WAVEFORMATEX WaveOf(const std::vector<uint8_t>& format) {
    WAVEFORMATEX w{};
    if (format.size() >= sizeof(KSDATAFORMAT_WAVEFORMATEX))
        std::memcpy(&w, format.data() + sizeof(KSDATAFORMAT), sizeof w);
    return w;
}

NTSTATUS KsPin::Create(const KsFilter& filter, ULONG pinId, const std::vector<uint8_t>& format) {
    Close();
    KSPIN_CONNECT connect{};
    connect.Interface = {KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0};
    connect.Medium = {KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, 0};
    connect.PinId = pinId;
    connect.Priority = {KSPRIORITY_NORMAL, 1};
    size_t bytes = KSSTRING_Pin_Chars * 2 + 2 + sizeof connect + format.size();
    std::vector<char16_t> name((bytes + 1) / 2);
    std::memcpy(name.data(), KSSTRING_Pin, KSSTRING_Pin_Chars * 2);
    name[KSSTRING_Pin_Chars] = u'\\';
    auto* at = reinterpret_cast<uint8_t*>(name.data()) + KSSTRING_Pin_Chars * 2 + 2;
    std::memcpy(at, &connect, sizeof connect);
    std::memcpy(at + sizeof connect, format.data(), format.size());
    UNICODE_STRING text;
    text.Buffer = name.data();
    text.Length = text.MaximumLength = static_cast<USHORT>(bytes);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, filter.Handle(), nullptr);
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = NtCreateFile(&handle_, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb,
                                   nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, 0, nullptr, 0);
    if (!NT_SUCCESS(status))
        handle_ = nullptr;
    else
        format_ = format;
    CheckThread();
    return status;
}

NTSTATUS KsPin::SetState(KSSTATE state) {
    ULONG v = state;
    return SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &v, sizeof v);
}

NTSTATUS KsPin::GetState(KSSTATE* state) {
    ULONG v = 0;
    NTSTATUS status =
        GetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &v, sizeof v);
    *state = static_cast<KSSTATE>(v);
    return status;
}

NTSTATUS KsPin::SetDataFormat(const std::vector<uint8_t>& format) {
    NTSTATUS status = SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                                  format.data(), static_cast<ULONG>(format.size()));
    if (NT_SUCCESS(status)) format_ = format;
    return status;
}

NTSTATUS KsPin::GetPosition(KSAUDIO_POSITION* position) {
    return GetProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, position, sizeof *position);
}

NTSTATUS KsPin::Cancel() {
    NTSTATUS status = KpCancelFileIo(handle_);
    CheckThread();
    return status;
}

void StreamRequest::OnDone(PVOID context, PIO_STATUS_BLOCK iosb) {
    auto* self = static_cast<StreamRequest*>(context);
    std::lock_guard<std::mutex> lock(self->lock_);
    self->iosb_ = *iosb;
    self->done_ = true;
    self->cv_.notify_all();
}

bool StreamRequest::Done() const {
    std::lock_guard<std::mutex> lock(lock_);
    return done_;
}

void StreamRequest::Wait() const {
    std::unique_lock<std::mutex> lock(lock_);
    cv_.wait(lock, [this] { return done_; });
}

NTSTATUS StreamRequest::Status() const {
    std::lock_guard<std::mutex> lock(lock_);
    return done_ ? iosb_.Status : STATUS_PENDING;
}

ULONG_PTR StreamRequest::Information() const {
    std::lock_guard<std::mutex> lock(lock_);
    return iosb_.Information;
}

ULONG StreamRequest::DataUsed(size_t header) const {
    return Header(header).DataUsed;
}

ULONG StreamRequest::FrameExtent(size_t header) const {
    return Header(header).FrameExtent;
}

KSSTREAM_HEADER StreamRequest::Header(size_t header) const {
    KSSTREAM_HEADER h;
    std::memcpy(&h, block_.Get() + header * headerSize_, sizeof h);
    return h;
}

const uint8_t* StreamRequest::Data(size_t header) const {
    return block_.Get() + offsets_[header];
}
PVOID StreamRequest::DataAddress(size_t header) const {
    return block_.Get() + offsets_[header];
}

NTSTATUS KsPin::Submit(bool write, const std::vector<Chunk>& chunks, ULONG headerSize,
                       std::shared_ptr<StreamRequest>* request) {
    auto req = std::make_shared<StreamRequest>();
    req->headerSize_ = headerSize;
    req->headersBytes_ = static_cast<ULONG>(chunks.size() * headerSize);
    size_t total = req->headersBytes_;
    for (const Chunk& c : chunks) {
        req->offsets_.push_back(static_cast<ULONG>(total));
        req->extents_.push_back(c.Extent);
        total += (c.Extent + 15) & ~15u;
    }
    req->block_ = UserBlock(total);
    if (req->block_.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (size_t i = 0; i < chunks.size(); ++i) {
        KSSTREAM_HEADER h{};
        h.Size = headerSize;
        h.FrameExtent = chunks[i].Extent;
        h.DataUsed = write ? chunks[i].Used : 0;
        h.Data = req->block_.Get() + req->offsets_[i];
        if (write && chunks[i].Bytes != nullptr)
            std::memcpy(h.Data, chunks[i].Bytes, chunks[i].Used);
        std::memcpy(req->block_.Get() + i * headerSize, &h, sizeof h);
    }
    *request = req;
    NTSTATUS status = KpDeviceIoControlAsync(
        handle_, write ? IOCTL_KS_WRITE_STREAM : IOCTL_KS_READ_STREAM, nullptr, 0,
        req->block_.Get(), req->headersBytes_, StreamRequest::OnDone, req.get());
    CheckThread();
    return status;
}

}  // namespace kp::ks
