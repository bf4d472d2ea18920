// The kernel-streaming client against the simulated master device: which
// filter it takes, the connect block and pin name the device parses, pin
// listing, the ring a stream gets, and every create failure leaving nothing
// open behind.
#include <cstring>
#include <string>
#include <vector>

#include "BridgeFixture.h"
#include "ZvStatus.h"
#include "kp/io.h"
#include "kp/pool.h"

namespace zvbridge {
namespace {

using KsClientTest = BridgeTest;

std::u16string LastComponent(PCWSTR link) {
    std::u16string text(link);
    return text.substr(text.rfind(u'\\') + 1);
}

// The device registers "global"; the test adds "GLOBAL2" and "wave" to the
// same physical device.  The first link whose last component begins with the
// name, whatever its case, is taken; none: success and no filter.
TEST_F(KsClientTest, TheFilterIsTheFirstLinkWhoseLastComponentBeginsWithTheName) {
    BootMaster();
    std::vector<UNICODE_STRING> extra;
    for (const WCHAR* reference : {u"GLOBAL2", u"wave"}) {
        UNICODE_STRING ref, link{};
        RtlInitUnicodeString(&ref, reference);
        ASSERT_EQ(IoRegisterDeviceInterface(m_pdo, &KSCATEGORY_CAPTURE, &ref, &link),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
        extra.push_back(link);
    }
    struct Case {
        const WCHAR* name;
        const WCHAR* taken;  // null: no filter
    };
    const Case cases[] = {
        {u"global", u"global"},
        {u"GLOBAL2", u"GLOBAL2"},
        {u"Wav", u"wave"},
        {u"camera", nullptr},
        {u"global-and-a-longer-name", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
        KsFilterEnumerator enumerator;
        ASSERT_EQ(
            enumerator.EnumFilters(m_pdo, m_lower, c.name, &KSCATEGORY_CAPTURE, 1, TRUE, TRUE),
            STATUS_SUCCESS);
        auto filter = static_cast<CKsFilter*>(enumerator.m_listFilters.GetHead());
        if (c.taken == nullptr) {
            EXPECT_EQ(filter, nullptr);
            continue;
        }
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(LastComponent(filter->SymbolicLink()), std::u16string(c.taken));
        EXPECT_EQ(filter->PinCount(), 1u);
        EXPECT_EQ(m_device->OpenFilterCount(), 1u);
    }
    EXPECT_EQ(m_device->OpenFilterCount(), 0u);
    for (UNICODE_STRING& link : extra) {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
    }
}

// The pin-create name is KSSTRING_Pin, one separator and the connect block,
// exactly 78 + block bytes; the device takes the connect data and the format
// from it.
TEST_F(KsClientTest, ThePinNameCarriesTheConnectBlockAndNothingPastIt) {
    BootMaster();
    for (bool render : {false, true}) {
        SCOPED_TRACE(render ? "render" : "capture");
        OpenFilter(render ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE, render ? 0 : 1);
        WAVEFORMATEX format = Pcm(8000, 16, 1);
        m_pin = render ? m_filter->CreateRenderPin(&format) : m_filter->CreateCapturePin(&format);
        ASSERT_NE(m_pin, nullptr);
        ASSERT_EQ(m_pin->ConnectBlockSize(), 146u);
        PFILE_OBJECT file = m_pin->Target().m_pFile;
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->FileName.Length, 78u + 146u);
        EXPECT_EQ(std::memcmp(file->FileName.Buffer, KSSTRING_Pin u"\\", 78), 0);
        EXPECT_EQ(std::memcmp(reinterpret_cast<const UCHAR*>(file->FileName.Buffer) + 78,
                              m_pin->ConnectBlock(), 146),
                  0);
        EXPECT_EQ(m_pin->Target().m_pRelated, m_filter->Target().m_pFile);
        EXPECT_EQ(m_pin->Target().m_pDevice, m_lower);

        KSPIN_CONNECT connect;
        KSDATAFORMAT head;
        WAVEFORMATEX wave;
        std::memcpy(&connect, m_pin->ConnectBlock(), sizeof connect);
        std::memcpy(&head, m_pin->ConnectBlock() + 64, sizeof head);
        std::memcpy(&wave, m_pin->ConnectBlock() + 128, sizeof wave);
        EXPECT_EQ(connect.Interface.Set, KSINTERFACESETID_Standard);
        EXPECT_EQ(connect.Interface.Id, 0u);
        EXPECT_EQ(connect.Medium.Set, KSMEDIUMSETID_Standard);
        EXPECT_EQ(connect.PinId, render ? 0u : 1u);
        EXPECT_EQ(connect.PinToHandle, 0u);
        EXPECT_EQ(connect.Priority.PriorityClass, 0x40000000u);
        EXPECT_EQ(connect.Priority.PrioritySubClass, 1u);
        EXPECT_EQ(head.FormatSize, 82u);
        EXPECT_EQ(head.SampleSize, 2u);
        EXPECT_EQ(head.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
        EXPECT_EQ(head.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
        EXPECT_EQ(head.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
        EXPECT_EQ(std::memcmp(&wave, &format, sizeof wave), 0);
        const auto records = m_device->PinRecords();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().PinId, render ? 0u : 1u);
        EXPECT_EQ(records.back().CreateFormat,
                  std::vector<uint8_t>(m_pin->ConnectBlock() + 64, m_pin->ConnectBlock() + 146));
        CloseAll();
    }
    EXPECT_EQ(m_device->OpenPinCount(), 0u);
}

TEST_F(KsClientTest, AnExtensibleFormatGrowsTheBlockAndAPcmOneShrinksItBack) {
    BootMaster();
    OpenFilter(KSCATEGORY_CAPTURE, 1);
    NTSTATUS status;
    CKsPin pin(m_filter, 1, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE ext{};
    ext.Format = Pcm(48000, 16, 2);
    ext.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    ext.Format.cbSize = 22;
    ext.Samples.wValidBitsPerSample = 16;
    ext.dwChannelMask = 3;
    ext.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    ASSERT_EQ(pin.SetFormat(&ext.Format), STATUS_SUCCESS);
    EXPECT_EQ(pin.ConnectBlockSize(), 168u);
    KSDATAFORMAT head;
    std::memcpy(&head, pin.ConnectBlock() + 64, sizeof head);
    EXPECT_EQ(head.FormatSize, 104u);
    EXPECT_EQ(head.SampleSize, 4u);
    EXPECT_EQ(std::memcmp(pin.ConnectBlock() + 128, &ext, 40), 0);
    KSPIN_CONNECT connect;
    std::memcpy(&connect, pin.ConnectBlock(), sizeof connect);
    EXPECT_EQ(connect.PinId, 1u);  // the block kept its start
    WAVEFORMATEX pcm = Pcm(8000, 16, 1);
    ASSERT_EQ(pin.SetFormat(&pcm), STATUS_SUCCESS);
    EXPECT_EQ(pin.ConnectBlockSize(), 146u);
    // A format too large for a name's 16-bit length is refused.
    ext.Format.cbSize = 0xFFF0;
    EXPECT_EQ(pin.SetFormat(&ext.Format), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pin.SetFormat(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pin.SetDataFlow(2), STATUS_INVALID_PARAMETER);
}

TEST_F(KsClientTest, APinIdBeyondThePinTypesGivesNoPin) {
    BootMaster();
    OpenFilter(KSCATEGORY_CAPTURE, 4);  // the "full" device has four pin types
    EXPECT_EQ(m_filter->PinCount(), 0u);
    WAVEFORMATEX format = Pcm(8000, 16, 1);
    EXPECT_EQ(m_filter->CreateCapturePin(&format), nullptr);
}

// Streams: the ring holds whole 10 ms blocks; a running pin pauses on
// CreateStream; a pin that is not running refuses 0 ms.
TEST_F(KsClientTest, StreamsGetTheirRingAndPauseThroughCreateStream) {
    BootMaster();
    StartPin(false, 45);
    EXPECT_EQ(m_pin->GetCircBuff()->Size(), 640u);  // 4 x 160
    EXPECT_EQ(m_pin->IsRunning(), 1u);
    EXPECT_EQ(m_pin->Run(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_pin->CreateStream(40), STATUS_SUCCESS);  // pauses
    EXPECT_EQ(m_pin->IsRunning(), 0u);
    EXPECT_EQ(m_pin->CreateStream(0), STATUS_INVALID_PARAMETER);  // no ring of 0 bytes
    EXPECT_EQ(m_pin->CreateStream(40), STATUS_UNSUCCESSFUL);      // it has its stream
    UCHAR data[16];
    ULONG count = sizeof data;
    EXPECT_EQ(m_pin->ReadData(data, &count, FALSE), 0u);  // not running
    EXPECT_EQ(m_pin->SetRate(44100), STATUS_SUCCESS);
    EXPECT_EQ(m_pin->RateValue(), 44100u);
    const auto states = m_device->PinRecords().back().States;
    const std::vector<KSSTATE> expected = {KSSTATE_STOP, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE,
                                           KSSTATE_STOP};
    EXPECT_EQ(states, expected);
    EXPECT_EQ(m_pin->DestroyStream(), STATUS_SUCCESS);
    EXPECT_EQ(m_pin->DestroyStream(), STATUS_UNSUCCESSFUL);
}

// Every way the open can fail leaves no handle, file object or block behind.
// The allocator's pool requests of an open come in this order: the filter,
// the pin, the pin's connect block.
TEST_F(KsClientTest, EveryCreateFailureLeavesNothingOpen) {
    enum Failure {
        kPinCreate,
        kPinReference,
        kFilterReference,
        kFilterMemory,
        kPinMemory,
        kBlockMemory
    };
    for (Failure failure :
         {kPinCreate, kPinReference, kFilterReference, kFilterMemory, kPinMemory, kBlockMemory}) {
        SCOPED_TRACE(failure);
        BootMaster();
        const ULONG files = KpIoLiveFileObjectCount();
        m_enumerator = new KsFilterEnumerator;
        ASSERT_NE(m_enumerator, nullptr);
        if (failure == kFilterReference) FailReferenceByHandle(1);
        if (failure >= kFilterMemory) FailAllocation(ZV_POOL_TAG_ZCAM, failure - kFilterMemory + 1);
        NTSTATUS status = m_enumerator->EnumFilters(m_pdo, m_lower, kFilterName,
                                                    &KSCATEGORY_CAPTURE, 1, TRUE, TRUE);
        KpPoolClearFailures();
        m_filter = static_cast<CKsFilter*>(m_enumerator->m_listFilters.GetHead());
        if (failure >= kFilterReference) {
            EXPECT_NE(status, STATUS_SUCCESS);
            EXPECT_EQ(m_filter, nullptr);
        } else {
            ASSERT_NE(m_filter, nullptr);
            if (failure == kPinCreate) {
                kp::sim::Fault fault;
                fault.Major = IRP_MJ_CREATE;
                fault.PinId = 1;
                fault.Status = STATUS_NO_MATCH;
                m_device->AddFault(fault);
            }
            if (failure == kPinReference) FailReferenceByHandle(1);
            WAVEFORMATEX format = Pcm(8000, 16, 1);
            EXPECT_EQ(m_filter->CreateCapturePin(&format), nullptr);
            EXPECT_EQ(KpIoLiveFileObjectCount(), files + 1);  // the filter's
            EXPECT_EQ(m_device->OpenPinCount(), 0u);
        }
        CloseAll();
        EXPECT_EQ(KpIoLiveFileObjectCount(), files);
        EXPECT_EQ(m_device->OpenFilterCount(), 0u);
        EXPECT_EQ(MemCheckLiveLists(), 0);
        m_device.reset();
        kp::machine::Shutdown();
    }
}

TEST_F(KsClientTest, AnOutputLengthWithoutABufferSendsNothing) {
    BootMaster();
    OpenFilter(KSCATEGORY_CAPTURE, 1);
    const size_t before = m_device->Requests().size();
    KsTarget target = m_filter->Target();
    KSPROPERTY property = {KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
    ULONG returned = 7;
    EXPECT_EQ(
        target.SyncIoctl(IOCTL_KS_PROPERTY, &property, sizeof property, nullptr, 4, &returned),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(m_device->Requests().size(), before);
    ULONG count = 0;
    EXPECT_EQ(target.SyncIoctl(IOCTL_KS_PROPERTY, &property, sizeof property, &count, sizeof count,
                               &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(returned, 4u);
}

}  // namespace
}  // namespace zvbridge
