// Pin create and close on the simulated device: the name's checks, formats,
// instance limits, injected failures, kernel clients, filters closed first.
#include <cstring>

#include "SimTestSupport.h"

namespace kp::simtest {
namespace {

using kp::ks::KsFilter;
using kp::ks::KsPin;

class PinCreateTest : public SimTest {};

TEST_F(PinCreateTest, APinOpensWithAFormatInItsRangesAndKeepsItsState) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    KsPin pin;
    ASSERT_EQ(pin.Create(f, 0, kp::ks::PcmFormat(16000, 16, 2)), STATUS_SUCCESS);
    EXPECT_EQ(Device()->OpenPinCount(), 1u);
    KSSTATE state = KSSTATE_RUN;
    EXPECT_EQ(pin.GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
    for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_STOP}) {
        EXPECT_EQ(pin.SetState(s), STATUS_SUCCESS);
    }
    ULONG bad = 7;
    EXPECT_EQ(pin.SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &bad, 4),
              STATUS_INVALID_PARAMETER);
    // The data format: a point in the ranges replaces it, anything else does not match.
    EXPECT_EQ(pin.SetDataFormat(kp::ks::PcmFormat(8000, 8, 1)), STATUS_SUCCESS);
    EXPECT_EQ(pin.SetDataFormat(kp::ks::PcmFormat(8000, 24, 1)), STATUS_NO_MATCH);
    std::vector<uint8_t> current(82);
    ULONG returned = 0;
    EXPECT_EQ(pin.GetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                              current.data(), 82, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(current, kp::ks::PcmFormat(8000, 8, 1));
    auto records = Device()->PinRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].CreateFormat, kp::ks::PcmFormat(16000, 16, 2));
    EXPECT_EQ(records[0].FormatsSet.size(), 1u);
    EXPECT_EQ(records[0].States, (std::vector<KSSTATE>{KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE,
                                                       KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_STOP}));
    // Pin properties go to pins; pin-set queries go to the filter.
    ULONG v;
    EXPECT_EQ(pin.GetProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &v, 4),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(pin.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->OpenPinCount(), 0u);
    EXPECT_TRUE(Device()->PinRecords()[0].Closed);
}

TEST_F(PinCreateTest, CreatesAreCheckedAgainstThePinTable) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    KsPin a, b;
    EXPECT_EQ(a.Create(f, 9, kp::ks::PcmFormat(16000, 16, 1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(a.Create(f, 1, kp::ks::PcmFormat(16000, 16, 2)),
              STATUS_NO_MATCH);  // capture has one channel
    EXPECT_EQ(a.Create(f, 0, kp::ks::PcmFormat(96000, 16, 2)), STATUS_NO_MATCH);  // above the rates
    auto lying = kp::ks::PcmFormat(16000, 16, 2);
    lying[64 + 9] = 0;  // nAvgBytesPerSec no longer matches
    EXPECT_EQ(a.Create(f, 0, lying), STATUS_NO_MATCH);
    EXPECT_EQ(a.Create(f, 2, kp::ks::PcmFormat(16000, 16, 1)), STATUS_NO_MATCH);  // a bridge pin
    ASSERT_EQ(a.Create(f, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    EXPECT_EQ(b.Create(f, 1, kp::ks::PcmFormat(16000, 16, 1)),
              STATUS_UNSUCCESSFUL);  // one instance
    auto pins = Device()->Pins();
    pins[1].InstanceLimitStatus = STATUS_DEVICE_BUSY;
    Device()->SetPins(pins);
    EXPECT_EQ(b.Create(f, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_DEVICE_BUSY);
    a.Close();
    EXPECT_EQ(b.Create(f, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
}

// Opens a name relative to the filter (or to nothing) with the given bytes.
NTSTATUS OpenRaw(HANDLE root, const std::u16string& device, const std::vector<uint8_t>& bytes,
                 HANDLE* handle) {
    std::vector<char16_t> name(device.begin(), device.end());
    size_t at = name.size() * 2;
    name.resize(name.size() + (bytes.size() + 1) / 2);
    std::memcpy(reinterpret_cast<uint8_t*>(name.data()) + at, bytes.data(), bytes.size());
    UNICODE_STRING text;
    text.Buffer = name.data();
    text.Length = text.MaximumLength = static_cast<USHORT>(at + bytes.size());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK iosb;
    return NtCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, 0, 0,
                        FILE_OPEN, 0, nullptr, 0);
}

std::vector<uint8_t> PinName(ULONG pinId, const std::vector<uint8_t>& format) {
    std::vector<uint8_t> bytes(78 + 64 + format.size());
    std::memcpy(bytes.data(), KSSTRING_Pin, 76);
    bytes[76] = '\\';
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.PinId = pinId;
    connect.Priority = {KSPRIORITY_NORMAL, 1};
    std::memcpy(bytes.data() + 78, &connect, sizeof connect);
    std::memcpy(bytes.data() + 142, format.data(), format.size());
    return bytes;
}

TEST_F(PinCreateTest, TruncatedAndUnrelatedPinNamesAreRefused) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    HANDLE h = nullptr;
    auto name = PinName(0, kp::ks::PcmFormat(16000, 16, 2));
    // The format claims more than the name holds.
    auto cut = name;
    cut.resize(name.size() - 10);
    EXPECT_EQ(OpenRaw(f.Handle(), u"", cut, &h), STATUS_INVALID_PARAMETER);
    cut.resize(100);  // not even a whole KSPIN_CONNECT
    EXPECT_EQ(OpenRaw(f.Handle(), u"", cut, &h), STATUS_INVALID_PARAMETER);
    auto small = name;
    ULONG tiny = 12;
    std::memcpy(small.data() + 142, &tiny, 4);
    EXPECT_EQ(OpenRaw(f.Handle(), u"", small, &h), STATUS_INVALID_PARAMETER);
    // A pin name relative to a pin rather than to a filter.
    kp::ks::KsPin pin;
    ASSERT_EQ(pin.Create(f, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    EXPECT_EQ(OpenRaw(pin.Handle(), u"", name, &h), STATUS_INVALID_DEVICE_REQUEST);
    // Two extra bytes after the format (a kernel client's terminator) are fine.
    auto longer = name;
    longer.push_back(0), longer.push_back(0);
    ASSERT_EQ(OpenRaw(f.Handle(), u"", longer, &h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(PinCreateTest, InjectedCreateFailuresAndStrictFormats) {
    Boot();
    auto device = Device();
    kp::sim::Fault fault;
    fault.Major = IRP_MJ_CREATE;
    fault.PinId = 1;
    fault.Status = STATUS_INSUFFICIENT_RESOURCES;
    device->AddFault(fault);
    KsFilter f;
    OpenFilter(&f);
    KsPin pin;
    EXPECT_EQ(pin.Create(f, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pin.Create(f, 1, kp::ks::PcmFormat(16000, 16, 1)), STATUS_SUCCESS);
    pin.Close();
    auto pins = device->Pins();
    pins[0].StrictCreate = true;
    device->SetPins(pins);
    EXPECT_EQ(pin.Create(f, 0, kp::ks::PcmFormat(16000, 16, 2)),
              STATUS_NO_MATCH);  // no intersection yet
    std::vector<uint8_t> answer;
    ASSERT_EQ(f.Intersect(0, kp::ks::OfferPoint(16000, 16, 2), &answer), STATUS_SUCCESS);
    EXPECT_EQ(pin.Create(f, 0, kp::ks::PcmFormat(8000, 16, 2)), STATUS_NO_MATCH);
    EXPECT_EQ(pin.Create(f, 0, answer), STATUS_SUCCESS);
}

TEST_F(PinCreateTest, APinOutlivesItsFilterAndKernelClientsCreatePinsToo) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    KsPin pin;
    ASSERT_EQ(pin.Create(f, 0, kp::ks::PcmFormat(16000, 16, 2)), STATUS_SUCCESS);
    f.Close();  // the filter's handle goes; its close waits for the pin's reference
    EXPECT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Device()->OpenFilterCount(), 1u);
    EXPECT_EQ(pin.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->OpenFilterCount(), 0u);

    // A kernel client: ZwCreateFile on the link, KsCreatePin relative to it.
    auto links = kp::ks::FindDevices(KSCATEGORY_CAPTURE);
    ASSERT_EQ(links.size(), 1u);
    UNICODE_STRING name;
    name.Buffer = links[0].data();
    name.Length = name.MaximumLength = static_cast<USHORT>(links[0].size() * 2);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    HANDLE filter = nullptr, pinHandle = nullptr;
    ASSERT_EQ(ZwCreateFile(&filter, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, 0, 0,
                           FILE_OPEN, 0, nullptr, 0),
              STATUS_SUCCESS);
    std::vector<uint8_t> block(64 + 82);
    KSPIN_CONNECT connect{};
    connect.PinId = 1;
    std::memcpy(block.data(), &connect, sizeof connect);
    auto format = kp::ks::PcmFormat(8000, 16, 1);
    std::memcpy(block.data() + 64, format.data(), format.size());
    ASSERT_EQ(KsCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(block.data()), GENERIC_READ,
                          &pinHandle),
              STATUS_SUCCESS);
    KSPROPERTY p{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET};
    ULONG state = 9, returned = 0;
    EXPECT_EQ(KernelGetUlong(pinHandle, &p, sizeof p, &state, &returned), STATUS_SUCCESS);
    EXPECT_EQ(state, static_cast<ULONG>(KSSTATE_STOP));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(KernelGetUlong(pinHandle, &p, sizeof p, nullptr, &returned),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(pinHandle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(filter), STATUS_SUCCESS);
    auto log = Device()->Requests();
    EXPECT_EQ(log.back().Major, IRP_MJ_CLOSE);
}

TEST_F(PinCreateTest, HandshakesAreCountedAndAnsweredAsConfigured) {
    Boot();
    KsFilter f;
    OpenFilter(&f);
    EXPECT_EQ(f.Handshake(nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    Device()->SetHandshakeStatus(STATUS_NOT_SUPPORTED);
    EXPECT_EQ(f.Handshake(nullptr, 0, nullptr, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Device()->HandshakeCount(), 2u);
}

}  // namespace
}  // namespace kp::simtest
